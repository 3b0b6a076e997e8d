#include "frame/utils.h"
#include "image/drivers.h"

namespace tarvik {

// Not built yet: the first-boot driver update only says so.
int driver_inst::dpinst_driver() {
  utils::log("-->driver_inst::dpinst_driver");
  utils::log("driver_inst::dpinst_driver is not built yet");
  return 0;
}

}  // namespace tarvik
