// Driver work outside the guest object: the first-boot driver update with dpinst inside
// the running guest, and the driver settings written into the offline SYSTEM hive
// (mounted by the caller).
#pragma once

#include <string>
#include <string_view>

#include "platform/port.h"

namespace tarvik {

class driver_inst {
 public:
  // First boot: the driver update for the host's hypervisor; 0.
  static int dpinst_driver();
  // First boot: dpinst on a driver folder; 0 whatever dpinst answered.
  static int update_drivers(const std::string& driver_folder);
  // Offline: the virtio storage driver registered as a boot driver of a 2003 or 2008
  // target; 1 written, 0 no control set (reported), -1 another release.
  static int viostor_inject();
};

class kvm_driver {
 public:
  // First boot on Xen or no known hypervisor: dpinst on the xen tree; 0.
  static int update_all_drivers();
  // Offline: services\viostor and its PnpInterface; 1 written, 0 a key not created.
  static int create_service(const RegKey& control_set);
  // Offline: the virtio block device bound to viostor; 1 written, 0 not created.
  static int add_critical_device(const RegKey& control_set);
};

// First boot on KVM: dpinst on the kvm tree; 0.
int update_kvm_driver();
// Offline: empties xenpci's hide_devices where xenpci is present; 0, -1 no control set.
int fix_xenpci();
// Offline: stornvme's IoTimeoutValue 0xFFFF; true when it was set.
bool modify_nvme_timeout();
// Empties "hide_devices" of the key path below base when that key exists (the Xen bus
// driver's list of emulated devices it hides); nothing when it does not.
void clear_hidden_devices(const RegKey& base, std::string_view path);

}  // namespace tarvik
