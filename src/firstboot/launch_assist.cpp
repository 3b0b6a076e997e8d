// The cloud assistant's installer, run once the guest is configured.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"
#include "image/assist.h"

namespace tarvik {

void launch_assist() {
  // With no version the path names no version folder, and the run fails. Any other text
  // counts as no version: it would choose which batch file runs, or split the command line.
  std::string version = assist::version(assist::config_path());
  if (!version.empty() && !assist::is_version(version)) {
    utils::log("launch_assist version %s is not a version, none taken", version.c_str());
    version.clear();
  }
  std::string script = assist::installer_path(version);
  std::string out;
  int code = utils::run_cmd(script, out);
  utils::log("launch_assist script:%s  code:%d  out:%s", script.c_str(), code, out.c_str());
  if (code != 0) utils::log("TARVIK_REPORT_ERROR:%s %s", "start_assist_error", out.c_str());
}

}  // namespace tarvik
