// "ntp": the time servers of the Windows time service.
#include <algorithm>

#include "config/config.h"
#include "config/retry.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

// What a host name or an address is written with: ASCII letters and digits, "." and "-",
// and ":" of an IPv6 address. Nothing else reaches w32tm's command line, where a quote
// or a blank would end the peer list and start a switch of its own.
bool server_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == ':';
}

}  // namespace

std::string ntp_peer_list(const std::string& servers, std::string* refused) {
  std::string peers;
  size_t start = 0;
  while (start <= servers.size()) {
    size_t comma = servers.find(',', start);
    if (comma == std::string::npos) comma = servers.size();
    if (comma > start) {
      std::string name = servers.substr(start, comma - start);
      if (!std::all_of(name.begin(), name.end(), server_name_char)) {
        if (refused != nullptr) *refused = name;
        return {};
      }
      if (!peers.empty()) peers += ' ';
      peers += name + ",0x9";
    }
    start = comma + 1;
  }
  return peers;
}

std::string ntp_servers_of_lines(std::string text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r') {
      out += text[i];
      continue;
    }
    out += ',';
    ++i;  // the character after the carriage return goes with it, where there is one
  }
  return out;
}

int Config::config_ntp(int, char** words) {
  utils::log("-->Config::config_ntp");
  Services& services = platform().services();
  if (services.open("W32Time") != win::kSuccess) {
    utils::exit_report(-1, "OpenService W32Time fail");
    return -1;
  }
  services.start("W32Time");

  std::string refused;
  std::string peers = ntp_peer_list(words[1], &refused);
  if (!refused.empty()) {
    utils::log("refused time server name %s", refused.c_str());
    utils::exit_report(-1, "invalid time server list");
    return -1;
  }
  utils::log("After convert, the ntp peers are %s ", peers.c_str());
  if (peers.empty()) {
    utils::exit_report(-1, "invalid time server list");
    return -1;
  }
  std::string cmd = "w32tm /config /manualpeerlist:\"" + peers + "\" /syncfromflags:manual /update";
  std::string out;
  int code = config::retry(3, 3000, [&] {
    out.clear();
    int c = utils::run_cmd(cmd, out);
    utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), c, out.c_str());
    return c;
  });
  if (code == 0) {
    utils::exit_report(0, "success");
    return 0;
  }
  utils::log("TARVIK_REPORT_ERROR:%s code=%d %s", "config_ntp_error", code, out.c_str());
  utils::exit_report(-1, "fail config ntp");
  return -1;
}

}  // namespace tarvik
