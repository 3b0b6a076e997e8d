// Driver packages of the medium added to the offline installation with dism, and dism's
// own log kept beside the agent's log on the target when dism fails.
#include <cctype>

#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr int kDismNotSupported = 50;

// dism adds the packages of tree\<dir>\<arch> below the agent's folder to the target;
// code and out get its exit code and output. False for a release without a driver
// directory (reported; dism is not run).
bool run_dism(const char* tree, const char* options, int& code, std::string& out) {
  GuestInfo& target = GuestInfo::instance();
  char drive = target.system_disk();
  std::string tag, arch;
  target.get_version_arch(tag, arch);
  std::string dir = guest::instance().driver_dir(tag);
  if (dir.empty()) {
    utils::log("TARVIK_REPORT_ERROR:%s %s", "unknown_win_version", tag.c_str());
    return false;
  }
  std::string folder =
      strformat("%s\\%s\\%s\\%s", utils::program_folder().c_str(), tree, dir.c_str(), arch.c_str());
  std::string cmd =
      strformat("dism /image:%c:\\ /add-driver /driver:%s %s", drive, folder.c_str(), options);
  out.clear();
  code = utils::run_cmd(cmd, out);
  utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), code, out.c_str());
  return true;
}

}  // namespace

int guest::install_kvm_drivers() {
  GuestInfo& target = GuestInfo::instance();
  char drive = target.system_disk();
  std::string tag, arch;
  target.get_version_arch(tag, arch);
  // The caller writes the boot driver of 2003 into the registry instead.
  if (contains_nocase(tag, "2003")) return -1;
  int code = 0;
  std::string out;
  if (!run_dism("kvm", "/ForceUnsigned", code, out)) return 0;
  if (code == 0) {
    FileVersion v;
    utils::get_file_version(image_driver_path(drive, "viostor.sys"), v);
    utils::log("version of virtio installed is %d.%d.%d.%d", v.major, v.minor, v.build, v.revision);
    return 0;
  }
  // 2008's boot driver then goes into the registry (the caller's part).
  if (code == kDismNotSupported && contains_nocase(tag, "2008")) return kDismNotSupported;
  copy_dism_log();
  utils::log("TARVIK_REPORT_ERROR:%s %s", "install_virtio_error", out.c_str());
  utils::exit_report(code, "dism intall driver fail err:%d", code);
  return -1;
}

int guest::install_zentrix_drivers() {
  int code = 0;
  std::string out;
  if (!run_dism("zeb", "/Recurse /ForceUnsigned", code, out) || code == 0) return 0;
  copy_dism_log();
  utils::log("TARVIK_REPORT_ERROR:%s %s", "install_virtio_error", out.c_str());
  utils::exit_report(code, "dism install ZenTrix related drivers fail err:%d", code);
  return -1;
}

void copy_dism_log() {
  // dism writes its log on the running system's drive, the medium's.
  char own = static_cast<char>(std::tolower(static_cast<unsigned char>(utils::system_drive())));
  std::string from = strformat("%c:\\Windows\\Logs\\DISM\\dism.log", own);
  std::string to = strformat("%c:\\ProgramData\\kovenu\\tarvik\\log\\dism_%lld.log",
                             GuestInfo::instance().system_disk(),
                             static_cast<long long>(platform().clock().unix_seconds()));
  Status s = platform().files().copy_file(from, to, false);
  if (s != win::kSuccess) utils::log("copy_dism_log err:%d", static_cast<int>(s));
}

}  // namespace tarvik
