// Remote Desktop connections allowed.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

void tarvik2::open_rdp() {
  utils::log("-->tarvik2::open_rdp");
  RegKey key;
  if (platform().registry().open("SYSTEM\\CurrentControlSet\\Control\\Terminal Server",
                                 reg::kMaximumAllowed, key) == win::kSuccess)
    key.set_dword("fDenyTSConnections", 0);
}

}  // namespace tarvik
