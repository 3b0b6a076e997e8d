// Whether the first-boot driver update needs a restart, and the restart itself.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

bool device_installed(const std::string& hardware_id) {
  std::vector<DeviceInfo> devices;
  if (platform().devices().present_devices(devices) != win::kSuccess) return false;
  for (const DeviceInfo& d : devices)
    if (equals_nocase(d.hardware_id, hardware_id))
      return d.has_install_state && d.install_state == 0;
  return false;
}

bool tarvik2::need_reboot_after_dpinst() {
  std::string vendor;
  if (contains_nocase(utils::hypervisor_vendor(vendor), "kvm")) return false;
  // Xen (or an unknown host): the update takes effect at once only where the block and
  // network devices already have their drivers.
  return !(device_installed("xen\\vbd") && device_installed("xen\\vif"));
}

bool tarvik2::reboot() {
  utils::enable_privilege("SeShutdownPrivilege");
  Status s = platform().system().reboot(true);
  utils::log("tarvik2::reboot bret:%d last err :%d", s == win::kSuccess ? 1 : 0,
             static_cast<int>(s));
  return s == win::kSuccess;
}

}  // namespace tarvik
