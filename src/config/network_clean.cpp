// "network_clean": every adapter back to DHCP for its address and its DNS servers.
#include "config/config.h"
#include "config/retry.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr int kAttempts = 3;
constexpr uint32_t kAttemptPauseMs = 2000;

std::string run(const std::string& cmd, int& code) {
  std::string out;
  code = utils::run_cmd(cmd, out);
  return out;
}

// One attempt for one adapter, named by its quoted connection name or its index; judged
// by its last command.
int clean_adapter(const std::string& target, bool release_2008) {
  int code = 0;
  std::string cmd =
      strformat("netsh interface ip set address name=%s source = dhcp", target.c_str());
  std::string out = run(cmd, code);
  utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), code, out.c_str());
  cmd = strformat("netsh interface ip set dns name=%s source = dhcp", target.c_str());
  out = run(cmd, code);
  utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), code, out.c_str());
  if (release_2008) {
    cmd = "ipconfig /release";
    out = run(cmd, code);
    utils::log("cmd:%s code:%d out:%s", cmd.c_str(), code, out.c_str());
  }
  return code;
}

}  // namespace

int Config::network_clean(int, char**) {
  utils::log("-->Config::network_clean");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  bool by_name = contains_nocase(tag, "2003");
  bool release_2008 = contains_nocase(tag, "2008");

  std::vector<AdapterInfo> list;
  Status s = platform().network().adapters_info(list);
  // A guest without adapters has nothing to clean; a list that cannot be read is a failure.
  if (s != win::kSuccess && s != win::kNoData) {
    utils::exit_report(static_cast<int>(s), "GetAdaptersInfo fail");
    return -1;
  }
  for (const AdapterInfo& adapter : list) {
    std::string target =
        by_name ? strformat("\"%s\"", get_adapter_name_by_address(adapter.address).c_str())
                : strformat("%u", adapter.index);
    config::retry(kAttempts, kAttemptPauseMs, [&] { return clean_adapter(target, release_2008); });
  }
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace tarvik
