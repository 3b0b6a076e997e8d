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

int Config::config_passwd(int, char**) {
  return not_built("Config::config_passwd");
}
int Config::network_clean(int, char**) {
  return not_built("Config::network_clean");
}
int Config::network_reset(int, char**) {
  return not_built("Config::network_reset");
}
int Config::config_hostname(int, char**) {
  return not_built("Config::config_hostname");
}
int Config::config_ntp(int, char**) {
  return not_built("Config::config_ntp");
}
int Config::config_wsus(int, char**) {
  return not_built("Config::config_wsus");
}
int Config::config_cloudinit(int, char**) {
  return not_built("config_cloudinit");
}
int Config::config_cloudinit_no_disk(int, char**) {
  return not_built("config_cloudinit_no_disk");
}
int Config::install_kovenu_service(int, char**) {
  return not_built("Config::install_kovenu_service");
}
int Config::iso_config_pagefile(int, char**) {
  return not_built("Config::iso_config_pagefile");
}
int Config::iso_config_timeclock(char**) {
  return not_built("Config::iso_config_timeclock");
}
int d2sfix() {
  return not_built("d2sfix");
}

// The offline host name emits no report of its own: the dispatcher records the command
// after it either way.
int Config::iso_config_hostname(char**) {
  utils::log("Config::iso_config_hostname is not built yet");
  return -1;
}

}  // namespace tarvik
