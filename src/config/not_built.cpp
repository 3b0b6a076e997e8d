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

int Config::config_cloudinit(int, char**) {
  return not_built("config_cloudinit");
}
int Config::config_cloudinit_no_disk(int, char**) {
  return not_built("config_cloudinit_no_disk");
}

}  // namespace tarvik
