// "network_reset": the paravirtual network device disabled and enabled again with devcon.
#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr uint32_t kPauseMs = 1000;

int devcon(const char* verb) {
  std::string cmd = devcon_command(
      strformat("%s \"PCI\\VEN_1AF4&DEV_1000&SUBSYS_00011AF4&REV_00\"", verb).c_str());
  std::string out;
  int code = utils::run_cmd(cmd, out);
  utils::log("network_reset cmd :%s result:%s", cmd.c_str(), out.c_str());
  return code;
}

}  // namespace

int Config::network_reset(int, char**) {
  utils::log("-->Config::network_reset");
  int result = devcon("disable");
  platform().clock().sleep_ms(kPauseMs);
  result |= devcon("enable");
  if (result != 0)
    utils::exit_report(-1, "error fail");
  else
    utils::exit_report(0, "success");
  return result;
}

}  // namespace tarvik
