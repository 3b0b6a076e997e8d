#include "firstboot/tarvik2.h"

#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

int tarvik2::dowork() {
  utils::log("-->tarvik2::dowork()");
  utils::log("tarvik2::dowork is not built yet");
  return -1;
}

bool tarvik2::check_dpinst() {
  std::string value;
  platform().files().profile_get("update", "dpinst", "", value, 1024, Config::ini_path('C'));
  bool set = value == "1";
  utils::log(set ? "-->tarvik2::check_dpinst true" : "-->tarvik2::check_dpinst false");
  return set;
}

}  // namespace tarvik
