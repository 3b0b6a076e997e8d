// "d2sfix" (ISO mode): the boot entries rebuilt for the offline installation.
#include "config/config.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

int d2sfix() {
  utils::log("-->d2sfix");
  std::string cmd = "bcdedit /delete {default}";
  std::string out;
  int result = utils::run_cmd(cmd, out);
  utils::log("cmd:%s code:%d out:%s", cmd.c_str(), result, out.c_str());
  // bcdboot runs whatever bcdedit gave: it writes the boot entries anew.
  cmd = strformat("bcdboot %c:\\windows", GuestInfo::instance().system_disk());
  out.clear();
  result |= utils::run_cmd(cmd, out);
  utils::log("cmd:%s code:%d out:%s", cmd.c_str(), result, out.c_str());
  if (result != 0)
    utils::exit_report(-1, "fail to fix boot");
  else
    utils::exit_report(0, "success");
  return result;
}

}  // namespace tarvik
