// The first-boot work of the agent's service: wait for Windows setup, install the
// certificates, finish a driver update left for first boot, replay the recorded
// configuration, open Remote Desktop, archive the configuration, start the cloud
// assistant's installer, tighten the product folder's permissions and remove the service.
#pragma once

#include <string>

namespace tarvik {

class tarvik2 {
 public:
  // The whole first-boot work, step by step; 0.
  static int dowork();
  // Whether driver injection left drivers for dpinst ("dpinst" under "update" of
  // C:\ProgramData\kovenu\tarvik\tarvik.ini is "1").
  static bool check_dpinst();
  // Waits, without limit, until Windows setup reports IMAGE_STATE_COMPLETE on two looks
  // in a row (or its state cannot be read).
  static void check_sysprep();
  // Whether the paravirtual devices still lack their drivers, so that the dpinst update
  // needs a reboot: never on KVM; elsewhere unless xen\vbd and xen\vif are both installed.
  static bool need_reboot_after_dpinst();
  // Restarts the machine at once; true when the shutdown was started.
  static bool reboot();
  // Sets the IP helper, DHCP client and DNS client to start automatically, and starts them.
  static void start_dependency();
  // Allows Remote Desktop connections (fDenyTSConnections 0); failures are silent.
  static void open_rdp();
  // Revokes the Users group's rights on the product folder tree.
  static void restrict_program_data();
  // On KVM, the versions of the virtio drivers in the 64-bit drivers folder.
  static void log_virtio_versions();
};

class CInit {
 public:
  // The platform's publisher certificate, and on Server 2008 two root certificates,
  // from the agent's folder into the machine's stores.
  static void inst_cer();
};

// Whether the first present device with this hardware id (any letter case) is installed.
bool device_installed(const std::string& hardware_id);
// Archives tarvik.ini under a time-stamped name, without the password commands that are
// still in it nor those of operations the replay does not know.
void delete_tarvik2();
// Removes the agent's service: the work does not run at later boots.
void delete_tarvik_service();
// Runs the cloud assistant's installer and waits for it; a failure is reported.
void launch_assist();
// "version of <name> is a.b.c.d" for C:\Windows\System32\drivers\<name>.
void log_driver_version(const std::string& name);

}  // namespace tarvik
