// The disk operations of the table: data disks and the system volume.
#include "config/config.h"
#include "disk/disk_manager.h"
#include "frame/utils.h"

namespace tarvik {

int Config::config_disk(int, char**) {
  utils::log("-->Config::config_disk");
  disk_manager& disks = disk_manager::instance();
  bool ok = disks.configure_disks() && disks.extend_volume(false);
  utils::exit_report(ok ? 0 : -1, ok ? "success" : "fail");
  return ok ? 0 : -1;
}

int Config::config_extend_sysvol(int, char**) {
  utils::log("-->Config::config_extend_sysvol");
  bool ok = disk_manager::instance().extend_volume(false);
  utils::exit_report(ok ? 0 : -1, ok ? "success" : "fail");
  return ok ? 0 : -1;
}

}  // namespace tarvik
