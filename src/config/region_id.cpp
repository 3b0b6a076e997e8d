// "installKovenuService": the cloud assistant's region id, stored in its region-id file.
#include "config/config.h"
#include "frame/utils.h"
#include "image/assist.h"

namespace tarvik {

namespace {

// The C runtime's error number for a Windows error of opening a file for writing, as the
// runtime maps it: ENOENT, EACCES, ENOSPC, EMFILE, or EINVAL for the rest.
int runtime_error_number(Status s) {
  switch (s) {
    case win::kFileNotFound:
    case win::kPathNotFound:
    case 15:   // ERROR_INVALID_DRIVE
    case 53:   // ERROR_BAD_NETPATH
    case 67:   // ERROR_BAD_NET_NAME
    case 161:  // ERROR_BAD_PATHNAME
    case 206:  // ERROR_FILENAME_EXCED_RANGE
      return 2;
    case 4:  // ERROR_TOO_MANY_OPEN_FILES
      return 24;
    case 112:  // ERROR_DISK_FULL
      return 28;
    case win::kAccessDenied:
    case 65:   // ERROR_NETWORK_ACCESS_DENIED
    case 82:   // ERROR_CANNOT_MAKE
    case 108:  // ERROR_DRIVE_LOCKED
      return 13;
    default:
      // ERROR_WRITE_PROTECT up to ERROR_SHARING_BUFFER_EXCEEDED, sharing violations included.
      return s >= 19 && s <= 36 ? 13 : 22;
  }
}

}  // namespace

int Config::install_kovenu_service(int count, char** words) {
  utils::log("-->Config::install_kovenu_service");
  if (!write_region_id(count > 1 ? words[1] : "")) {
    utils::exit_report(-1, "write region id fail");
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

bool Config::write_region_id(const std::string& region_id) {
  std::string path = assist::region_id_path();
  // A path too long for its buffer names no file: the open fails as for a missing one.
  Status s = path.empty() ? win::kFileNotFound : platform().files().write_file(path, region_id);
  if (s == win::kSuccess) return true;
  utils::log("Error: Unable to open file %s for write, error code: %d.", path.c_str(),
             runtime_error_number(s));
  return false;
}

}  // namespace tarvik
