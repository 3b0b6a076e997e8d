#include "image/guest.h"

#include "frame/utils.h"

namespace tarvik {

// Offline image preparation is not built yet: both commands say so and fail.
int guest::initialize(int, char**) {
  utils::log("-->guest::initialize");
  utils::log("guest::initialize is not built yet");
  utils::exit_report(-1, "initialize not built");
  return -1;
}

int guest::update_driver() {
  utils::log("-->guest::update_driver");
  utils::log("guest::update_driver is not built yet");
  utils::exit_report(-1, "update_driver not built");
  return -1;
}

}  // namespace tarvik
