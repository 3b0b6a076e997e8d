// "cloudinit" and "cloudinit_nodisk": the cloud-init run, with or without data disks.
#include "cloudinit/cloud_init.h"
#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

int Config::config_cloudinit(int, char**) {
  utils::log("-->config_cloudinit");
  cloud_init::instance().run(true);
  utils::exit_report(0, "success");
  return 0;
}

int Config::config_cloudinit_no_disk(int, char**) {
  utils::log("-->config_cloudinit_no_disk");
  cloud_init::instance().run(false);
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace tarvik
