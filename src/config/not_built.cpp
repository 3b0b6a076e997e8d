// Operations whose handlers are not built yet. Each says so in the log and fails; the
// ones that end with an exit report report -1, never success.
#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

int not_built(const char* operation) {
  utils::log("%s is not built yet", operation);
  utils::exit_report(-1, "%s not built", operation);
  return -1;
}

}  // namespace

int Config::network_clean(int, char**) {
  return not_built("Config::network_clean");
}
int Config::network_reset(int, char**) {
  return not_built("Config::network_reset");
}
int Config::install_kovenu_service(int, char**) {
  return not_built("Config::install_kovenu_service");
}
int Config::iso_config_pagefile(int, char**) {
  return not_built("Config::iso_config_pagefile");
}
int d2sfix() {
  return not_built("d2sfix");
}

}  // namespace tarvik
