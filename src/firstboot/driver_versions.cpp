// The versions of the paravirtual drivers the guest runs with.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

void log_driver_version(const std::string& name) {
  FileVersion v;
  utils::get_file_version("C:\\Windows\\System32\\drivers\\" + name, v);
  utils::log("version of %s is %d.%d.%d.%d", name.c_str(), v.major, v.minor, v.build, v.revision);
}

void tarvik2::log_virtio_versions() {
  // The 32-bit agent reads the 64-bit drivers folder.
  enable_wow64_fs_redirection(false);
  std::string vendor;
  if (contains_nocase(utils::hypervisor_vendor(vendor), "kvm"))
    for (const char* name : {"viostor.sys", "netkvm.sys", "vioser.sys"}) log_driver_version(name);
  enable_wow64_fs_redirection(true);
}

}  // namespace tarvik
