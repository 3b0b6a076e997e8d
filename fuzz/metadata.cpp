// Bodies from the metadata service: the host name's computer name, the update server
// written to the registry and read back, and a body taken in pieces no longer than the
// limit. The input is the host-name body, NUL, the update-server body, NUL, a body.
#include <cctype>

#include "agent.h"
#include "check.h"
#include "cloudinit/curl_util.h"
#include "config/config.h"
#include "platform/port.h"

using namespace tarvik;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::install_agent_guest();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto p = fuzz::parts(fuzz::input(data, size), 3);

  std::string name = computer_name_of(p[0]);
  FUZZ_CHECK(name.size() <= 15 && p[0].compare(0, name.size(), name) == 0);
  for (char c : name)
    FUZZ_CHECK(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_');

  if (!p[1].empty()) {
    std::string op = "wsus", server = p[1];
    char* words[] = {op.data(), server.data(), nullptr};
    Config::instance().config_wsus(2, words);
    RegKey key;
    std::string read;
    FUZZ_CHECK(platform().registry().open("Software\\Policies\\Microsoft\\Windows\\WindowsUpdate",
                                          reg::kKeyRead | reg::kWow64_64Key, key) == win::kSuccess);
    FUZZ_CHECK(key.query_text("WUServer", read) == win::kSuccess && read == server);
  }

  std::string body;
  size_t step = p[2].empty() ? 1 : static_cast<unsigned char>(p[2][0]) + 1;
  for (size_t at = 0; at < p[2].size(); at += step) {
    std::string piece = p[2].substr(at, step);
    size_t took = curl_util::write_body(piece.data(), 1, piece.size(), &body);
    FUZZ_CHECK(took == piece.size());
  }
  FUZZ_CHECK(body == p[2]);
  return 0;
}
