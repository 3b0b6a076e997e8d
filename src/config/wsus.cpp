// "wsus": the Windows Update server policy, in both registry views.
#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

int Config::config_wsus(int, char** words) {
  utils::log("-->Config::config_wsus");
  const std::string server = words[1];
  Registry& registry = platform().registry();
  // The 64-bit view first, then the process's own (the 32-bit one under WOW64).
  for (uint32_t view : {reg::kWow64_64Key, 0u}) {
    RegKey key;
    if (registry.create("Software\\Policies\\Microsoft\\Windows\\WindowsUpdate",
                        reg::kOptionNonVolatile, reg::kKeyAllAccess | view, key) == win::kSuccess) {
      key.set_text("WUServer", server);
      key.set_text("WUStatusServer", server);
    }
    RegKey au;
    if (registry.create("Software\\Policies\\Microsoft\\Windows\\WindowsUpdate\\AU",
                        reg::kOptionNonVolatile, reg::kKeyAllAccess | view, au) == win::kSuccess)
      au.set_dword("UseWUServer", 1);
  }
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace tarvik
