// The region id stored in the offline installation where its cloud assistant reads it.
#include "frame/utils.h"
#include "image/assist.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

bool guest::write_region_id(const std::string& region_id) {
  std::string path = assist::region_id_path(GuestInfo::instance().system_disk());
  utils::log("--> Write qor region id %s to file %s.", region_id.c_str(), path.c_str());
  // A path too long for its buffer names no file: the open fails as for a missing one.
  Status s = path.empty() ? win::kFileNotFound : platform().files().write_file(path, region_id);
  if (s != win::kSuccess) {
    utils::log("Error: Unable to open file %s for write, error code: %d.", path.c_str(),
               static_cast<int>(s));
    return false;
  }
  int length = static_cast<int>(region_id.size());
  utils::log("Writing %d bytes to %s.\n", length, path.c_str());
  utils::log("Wrote %d bytes to %s successfully.\n", length, path.c_str());
  utils::log("Write qor region success");
  return true;
}

}  // namespace tarvik
