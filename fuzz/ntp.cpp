// The time servers from the metadata service: the server list of the lines' text, and
// the time service's peer list of it, which has one "NAME,0x9" a named server.
#include "check.h"
#include "config/config.h"

using namespace tarvik;

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

  std::string peers = ntp_peer_list(servers);
  size_t names = 0, start = 0;
  while (start <= servers.size()) {
    size_t comma = servers.find(',', start);
    if (comma == std::string::npos) comma = servers.size();
    names += comma > start;
    start = comma + 1;
  }
  FUZZ_CHECK(peers.empty() == (names == 0));
  size_t tags = 0;
  for (size_t at = peers.find(",0x9"); at != std::string::npos; at = peers.find(",0x9", at + 1))
    ++tags;
  FUZZ_CHECK(tags >= names);
  if (names > 0) FUZZ_CHECK(peers.size() >= 4 && peers.compare(peers.size() - 4, 4, ",0x9") == 0);
  return 0;
}
