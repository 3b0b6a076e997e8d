// User data: a PowerShell or batch script, stored in the agent's userdata folder and
// started with its output going to a file beside it.
#include "cloudinit/cloud_init.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

bool starts_with_nocase(const std::string& data, std::string_view header) {
  return data.size() >= header.size() &&
         equals_nocase(std::string_view(data).substr(0, header.size()), header);
}

// Blanks a bracketed header at the start of data; true when it was there.
bool blank_header(std::string& data, std::string_view header) {
  if (!starts_with_nocase(data, header)) return false;
  data.replace(0, header.size(), header.size(), ' ');
  return true;
}

}  // namespace

int cloud_init::user_data(std::string& data) {
  utils::log("-->cloud_init::user_data");
  const char drive = utils::system_drive();
  Files& files = platform().files();
  std::string folder = strformat("%c:\\ProgramData\\kovenu\\tarvik\\userdata", drive);
  if (!files.exists(folder)) files.create_directories(folder);

  bool powershell = blank_header(data, "[powershell]");
  bool batch = blank_header(data, "[bat]");
  std::string script, cmdline;
  if (starts_with_nocase(data, "#powershell") || powershell) {
    std::string out;
    utils::run_cmd("powershell.exe Set-ExecutionPolicy RemoteSigned", out);
    utils::log("Set-ExecutionPolicy result: %s", out.c_str());
    script = folder + "\\script.ps1";
    cmdline = strformat("powershell \"%s\"", script.c_str());
  } else if (starts_with_nocase(data, "::bat") || batch) {
    script = folder + "\\script.bat";
    cmdline = script;
  } else {
    utils::log("user_data not invalid");
    return -1;
  }

  // The output file is made new on every run; without it the script runs all the same.
  std::string output = strformat("%s.log", script.c_str());
  if (files.write_file(output, "") != win::kSuccess) {
    utils::log("<--doUserData create log file fail");
    output.clear();
  }
  if (files.write_file(script, data) != win::kSuccess) {
    if (!files.exists(script)) utils::log("<--doUserData create script fail");
    utils::log("<--doUserData write file fail");
    return -1;
  }

  uint32_t exit_code = 0;
  enable_wow64_fs_redirection(false);
  Status started = platform().processes().start_detached(cmdline, output, 5000, exit_code);
  enable_wow64_fs_redirection(true);
  if (started != win::kSuccess) {
    utils::log("cloudinit create process fail");
    return -1;
  }
  utils::log("<--doUserData ok");
  return 0;
}

}  // namespace tarvik
