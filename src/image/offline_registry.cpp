// Driver settings written into the offline installation's SYSTEM hive, which the caller
// has mounted: the virtio storage driver as a boot driver, the Xen bus driver's hidden
// devices and the NVMe driver's I/O timeout.
#include "frame/utils.h"
#include "image/drivers.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr char kViostorService[] = "services\\viostor";
constexpr char kViostorPnpInterface[] = "services\\viostor\\Parameters\\PnpInterface";
// The virtio block device (PCI vendor 1AF4, device 1001).
constexpr char kVirtioBlockDevice[] =
    "Control\\CriticalDeviceDatabase\\pci#ven_1af4&dev_1001&subsys_00021af4&rev_00";
// The SCSI adapter device class.
constexpr char kScsiAdapterClass[] = "{4d36e97b-e325-11ce-bfc1-08002be10318}";
constexpr char kXenpciParameters[] = "services\\xenpci\\Parameters";
constexpr char kStornvmeParameters[] = "Services\\stornvme\\Parameters";
constexpr uint32_t kNvmeIoTimeout = 0xFFFF;

}  // namespace

int driver_inst::viostor_inject() {
  utils::log("-->driver_inst::viostor_inject");
  GuestInfo& target = GuestInfo::instance();
  std::string tag;
  target.get_version(tag);
  if (!utils::contains_any(tag, {"2003", "2008"})) return -1;
  RegKey control_set = target.open_control_set();
  if (!control_set) {
    utils::exit_report(-1, "inst_viostor reg open control fail");
    return 0;
  }
  kvm_driver::create_service(control_set);
  kvm_driver::add_critical_device(control_set);
  return 1;
}

int kvm_driver::create_service(const RegKey& control_set) {
  utils::log("-->kvm_driver::create_service");
  RegKey service;
  Status s =
      control_set.create(kViostorService, reg::kOptionNonVolatile, reg::kGenericAll, service);
  if (s != win::kSuccess) {
    utils::exit_report(static_cast<int>(s), "reg create viostor fail");
    return 0;
  }
  // "DisplayName" holds its own name; "start" 0 is boot start, "type" 1 a kernel driver.
  service.set_text("DisplayName", "DisplayName");
  service.set_dword("ErrorControl", 1);
  service.set_text("Group", "SCSI miniport");
  service.set_text("ImagePath", "system32\\drivers\\viostor.sys");
  service.set_dword("start", 0);
  service.set_dword("type", 1);
  service.close();
  RegKey pnp;
  s = control_set.create(kViostorPnpInterface, reg::kOptionNonVolatile, reg::kGenericAll, pnp);
  if (s != win::kSuccess) {
    utils::exit_report(static_cast<int>(s), "reg create viostor PnpInterface fail");
    return 0;
  }
  pnp.set_dword("5", 1);
  return 1;
}

int kvm_driver::add_critical_device(const RegKey& control_set) {
  RegKey device;
  if (control_set.create(kVirtioBlockDevice, reg::kOptionNonVolatile, reg::kGenericAll, device) !=
      win::kSuccess)
    return 0;
  device.set_text("ClassGUID", kScsiAdapterClass);
  device.set_text("Service", "viostor");
  return 1;
}

void clear_hidden_devices(const RegKey& base, std::string_view path) {
  RegKey key;
  if (base.open(path, reg::kMaximumAllowed, key) != win::kSuccess) return;
  key.set("hide_devices", RegValue{reg::kMultiSz, std::string()});
}

int fix_xenpci() {
  RegKey control_set = GuestInfo::instance().open_control_set();
  if (!control_set) {
    utils::exit_report(-1, "fix_xenpci reg open control fail");
    return -1;
  }
  clear_hidden_devices(control_set, kXenpciParameters);
  return 0;
}

bool modify_nvme_timeout() {
  RegKey control_set = GuestInfo::instance().open_control_set();
  if (!control_set) return false;
  RegKey parameters;
  if (control_set.create(kStornvmeParameters, reg::kOptionNonVolatile, reg::kKeyAllAccess,
                         parameters) != win::kSuccess)
    return false;
  return parameters.set_dword("IoTimeoutValue", kNvmeIoTimeout) == win::kSuccess;
}

}  // namespace tarvik
