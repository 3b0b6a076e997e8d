// First boot, inside the running guest: the drivers of the host's hypervisor installed
// from the agent's driver trees with dpinst.
#include "frame/utils.h"
#include "image/drivers.h"
#include "image/guest.h"

namespace tarvik {

namespace {

constexpr char kXenpciParameters[] = "SYSTEM\\CurrentControlSet\\services\\xenpci\\Parameters";

}  // namespace

int driver_inst::dpinst_driver() {
  utils::log("-->driver_inst::dpinst_driver");
  std::string signature;
  utils::hypervisor_vendor(signature);
  utils::log("cpu sig is:%s", signature.c_str());
  if (contains_nocase(signature, "kvm"))
    update_kvm_driver();
  else
    kvm_driver::update_all_drivers();
  return 0;
}

int update_kvm_driver() {
  utils::log("-->update_kvm_driver");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  std::string dir = guest::instance().driver_dir(tag);
  if (dir.empty()) {
    utils::exit_report(-1, "not suppot os %s", tag.c_str());
    return 0;
  }
  driver_inst::update_drivers(
      strformat("%s\\kvm\\%s\\%s", utils::program_folder().c_str(), dir.c_str(), arch.c_str()));
  return 0;
}

int kvm_driver::update_all_drivers() {
  utils::log("-->kvm_driver::update_all_drivers");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  std::string dir = guest::instance().driver_dir(tag);
  if (dir.empty()) {
    utils::log("get verion err,exit");
    return 0;
  }
  driver_inst::update_drivers(
      strformat("%s\\xen\\%s\\%s\\", utils::program_folder().c_str(), dir.c_str(), arch.c_str()));
  // Whatever dpinst did, the Xen bus no longer hides the emulated devices.
  clear_hidden_devices(platform().registry().hklm(), kXenpciParameters);
  return 0;
}

int driver_inst::update_drivers(const std::string& driver_folder) {
  utils::log("-->driver_inst::update_drivers");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  std::string cmd =
      strformat("%s\\dpinst_%s.exe /LM /SW /PATH %s", utils::program_folder().c_str(),
                arch.find("64") != std::string::npos ? "x64" : "x86", driver_folder.c_str());
  std::string out;
  // dpinst's exit code counts its installed packages and reboot needs: not examined.
  utils::run_cmd(cmd, out);
  utils::log("driver_inst cmd :%s result:%s", cmd.c_str(), out.c_str());
  return 0;
}

}  // namespace tarvik
