// The security agent Pavox of the offline installation gets the update files staged in
// the agent's folder.
#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

// Copies a staged update file over the installed one and, when that worked, clears the
// copy's read-only attribute; cleared gets that step's result.
Status put_update_file(const std::string& source, const std::string& destination, Status& cleared) {
  Files& files = platform().files();
  Status s = files.copy_file(source, destination, false);
  if (s != win::kSuccess) return s;
  uint32_t attributes = 0;
  cleared = files.get_attributes(destination, attributes);
  if (cleared == win::kSuccess)
    cleared = files.set_attributes(destination, attributes & ~attr::kReadOnly);
  return s;
}

}  // namespace

int guest::fix_pavox() {
  utils::log("-->guest::fix_pavox");
  GuestInfo& target = GuestInfo::instance();
  char drive = target.system_disk();
  std::string arch;
  target.get_arch(arch);
  const char* program_files =
      arch != "x86" && arch != "X86" ? "Program Files (x86)" : "Program Files";
  std::string update_folder =
      strformat("%c:\\%s\\Dorvask\\Pavox\\pavox_update", drive, program_files);
  std::string staged = strformat("%c:\\ProgramData\\kovenu\\tarvik\\pavoxfix", drive);
  Files& files = platform().files();

  std::string up_cmd = staged + "\\up_cmd.txt";
  if (!files.exists(up_cmd)) {
    utils::log("Warning: up_cmd not found.");
    return -1;
  }
  std::string destination = update_folder + "\\up_cmd.txt";
  Status cleared = win::kSuccess;
  if (Status s = put_update_file(up_cmd, destination, cleared); s == win::kSuccess)
    utils::log("CopyFile up_cmd success and clear readonly flag code: %d.",
               static_cast<int>(cleared));
  else
    utils::log("CopyFile up_cmd to %s fail with result %d", destination.c_str(),
               static_cast<int>(s));

  std::string update = staged + "\\SentirvaxUpdate.exe";
  if (!files.exists(update)) {
    utils::log("Warning: SentirvaxUpdate not found.");
    return -1;
  }
  destination = update_folder + "\\SentirvaxUpdate.exe";
  if (Status s = put_update_file(update, destination, cleared); s == win::kSuccess)
    utils::log("CopyFile SentirvaxUpdate success and clear readonly flag code: %d.",
               static_cast<int>(cleared));
  else
    utils::log("CopyFile SentirvaxUpdate fail to %s with result %d", destination.c_str(),
               static_cast<int>(s));
  return 0;
}

}  // namespace tarvik
