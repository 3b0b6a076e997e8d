// A page file for the offline installation whose page-file setting is empty; the caller
// has mounted its SYSTEM hive.
#include "config/config.h"
#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

int enable_pagefile() {
  utils::log("--> Enable Page File.");
  RegKey control_set = GuestInfo::instance().open_control_set();
  if (!control_set) {
    utils::exit_report(-1, "enable_pagefile reg open control fail");
    return -1;
  }
  set_paging_file_if_empty(control_set);
  control_set.close();
  utils::log("--> Enable Page File function finishes.");
  return 0;
}

}  // namespace tarvik
