// The medium's driver files (.sys) of the host's hypervisor copied straight into the
// offline installation's driver folder, and the comparison of their versions with those
// the installation already has.
#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

// The tree of the host's hypervisor below the agent's folder: "kvm", then "xen" (which
// wins when both names appear), else empty.
std::string hypervisor_folder() {
  std::string signature;
  utils::hypervisor_vendor(signature);
  std::string folder;
  if (contains_nocase(signature, "kvm")) folder = "kvm";
  if (contains_nocase(signature, "xen")) folder = "xen";
  return folder;
}

// What both operations need of the target; false for a release without a driver
// directory (reported).
struct DriverSource {
  char drive = 0;
  std::string tree, dir, arch;

  bool find() {
    tree = hypervisor_folder();
    GuestInfo& target = GuestInfo::instance();
    drive = target.system_disk();
    std::string tag;
    target.get_version_arch(tag, arch);
    dir = guest::instance().driver_dir(tag);
    if (!dir.empty()) return true;
    utils::log("TARVIK_REPORT_ERROR:%s %s", "unknown_win_version", tag.c_str());
    return false;
  }
  // <agent folder>\<tree>\<dir>\<arch>; an empty tree leaves two backslashes in a row,
  // which Windows takes as one.
  std::string folder() const {
    return strformat("%s\\%s\\%s\\%s", utils::program_folder().c_str(), tree.c_str(), dir.c_str(),
                     arch.c_str());
  }
};

}  // namespace

std::string image_driver_path(char drive, const std::string& name) {
  return strformat("%c:\\Windows\\System32\\drivers\\%s", drive, name.c_str());
}

bool guest::copy_driver_files() {
  DriverSource source;
  if (!source.find()) return false;
  std::string from = source.folder();
  std::string to = strformat("%c:\\Windows\\System32\\drivers", source.drive);
  utils::log("src is :%s dst is :%s", from.c_str(), to.c_str());
  if (!utils::instance().copy_folder(from, to, "*.sys")) {
    int error = static_cast<int>(platform().files().last_error());
    utils::log("TARVIK_REPORT_ERROR:%s err:%d", "copy_files", error);
    utils::exit_report(error, "copy viostor error");
    return false;
  }
  utils::log("Copy files success.");
  return true;
}

uint16_t guest::driver_build(bool on_medium, const std::string& file_name) {
  DriverSource source;
  if (!source.find()) return 0;
  std::string path =
      on_medium ? source.folder() + "\\" + file_name : image_driver_path(source.drive, file_name);
  // A file without a readable version counts as revision 0.
  FileVersion v;
  utils::get_file_version(path, v);
  return v.revision;
}

bool guest::virtio_outdated() {
  int netkvm_medium = driver_build(true, "netkvm.sys");
  int netkvm = driver_build(false, "netkvm.sys");
  int viostor_medium = driver_build(true, "viostor.sys");
  int viostor = driver_build(false, "viostor.sys");
  utils::log("netkvmInIso:%d netkvm:%d viostorInIso:%d viostor:%d", netkvm_medium, netkvm,
             viostor_medium, viostor);
  return netkvm_medium != netkvm || viostor_medium != viostor;
}

}  // namespace tarvik
