// The cloud assistant's installer, run once the guest is configured.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"
#include "image/assist.h"

namespace tarvik {

void launch_assist() {
  // With no version the path names no version folder, and the run fails.
  std::string script = assist::installer_path(assist::version(assist::config_path()));
  std::string out;
  int code = utils::run_cmd(script, out);
  utils::log("launch_assist script:%s  code:%d  out:%s", script.c_str(), code, out.c_str());
  if (code != 0) utils::log("TARVIK_REPORT_ERROR:%s %s", "start_assist_error", out.c_str());
}

}  // namespace tarvik
