// The time servers from the metadata service or the ntp operation: the server list of the
// lines' text, the time service's peer list of it, which has one "NAME,0x9" a named server
// and refuses a list with a name that is not a host name or an address, and w32tm's
// command line, which splits into exactly its own words for an accepted list and is not
// started for a refused one.
#include "agent.h"
#include "check.h"
#include "config/config.h"
#include "platform/sim/command_line.h"

using namespace tarvik;

namespace {

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == ':';
}

// The non-empty names of a comma-separated list.
std::vector<std::string> names_of(const std::string& servers) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= servers.size()) {
    size_t comma = servers.find(',', start);
    if (comma == std::string::npos) comma = servers.size();
    if (comma > start) names.push_back(servers.substr(start, comma - start));
    start = comma + 1;
  }
  return names;
}

bool all_names(const std::string& name) {
  for (char c : name)
    if (!name_char(c)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::install_agent_guest();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(fuzz::input(data, size));
  std::string servers = ntp_servers_of_lines(text);
  FUZZ_CHECK(servers.find('\r') == std::string::npos);
  FUZZ_CHECK(servers.size() <= text.size());
  size_t crs = 0;
  for (char c : text) crs += c == '\r';
  size_t commas_in = 0, commas_out = 0;
  for (char c : text) commas_in += c == ',';
  for (char c : servers) commas_out += c == ',';
  FUZZ_CHECK(commas_out <= commas_in + crs);

  std::vector<std::string> names = names_of(servers);
  bool valid = true;
  for (const std::string& n : names) valid = valid && all_names(n);
  std::string refused;
  std::string peers = ntp_peer_list(servers, &refused);
  if (!valid) {
    // The first name with another character is the one named; nothing is left.
    FUZZ_CHECK(peers.empty() && !refused.empty() && !all_names(refused));
    bool first = false;
    for (const std::string& n : names)
      if (!all_names(n)) {
        first = n == refused;
        break;
      }
    FUZZ_CHECK(first);
  } else {
    FUZZ_CHECK(refused.empty());
    FUZZ_CHECK(peers.empty() == names.empty());
    std::string want;
    for (const std::string& n : names) want += (want.empty() ? "" : " ") + n + ",0x9";
    FUZZ_CHECK(peers == want);
  }

  // The operation as the cloud-init run and the command line give it the list (a word
  // ends at a NUL byte).
  std::string given = servers.substr(0, servers.find('\0'));
  std::string op = "ntp", arg = given;
  char* words[] = {op.data(), arg.data(), nullptr};
  fuzz::started_commands();
  int r = Config::instance().config_ntp(2, words);
  std::vector<std::string> started = fuzz::started_commands();
  std::string accepted = ntp_peer_list(given);
  FUZZ_CHECK((r == 0) == !accepted.empty());
  if (accepted.empty()) {
    FUZZ_CHECK(started.empty());
    return 0;
  }
  FUZZ_CHECK(started.size() == 1);
  std::vector<std::string> split = sim::split_command_line(started[0]);
  std::vector<std::string> intended = {"w32tm", "/config", "/manualpeerlist:" + accepted,
                                       "/syncfromflags:manual", "/update"};
  FUZZ_CHECK(split == intended);
  return 0;
}
