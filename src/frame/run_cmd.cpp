// The command runner.
#include "frame/utils.h"

namespace tarvik {

namespace {
constexpr uint32_t kOutputLimit = 4096;
}

int utils::run_cmd(const std::string& cmdline, std::string& out, int /*unused*/) {
  uint32_t exit_code = 0;
  Status s = platform().processes().run(cmdline, kOutputLimit, exit_code, out);
  return static_cast<int>(s == win::kSuccess ? exit_code : s);
}

void enable_wow64_fs_redirection(bool enable) {
  platform().processes().enable_wow64_fs_redirection(enable);
}

}  // namespace tarvik
