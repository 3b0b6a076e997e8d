// The agent's entry point: logs the command line, installs the crash handler, runs
// ISO mode's pre-steps and routes the command.
#include "frame/entry.h"

#include <cstring>

#include "config/config.h"
#include "firstboot/install_into_image.h"
#include "firstboot/tarvik2.h"
#include "frame/utils.h"
#include "image/guest.h"

namespace tarvik {

namespace {

void install_crash_handler() {
  static const bool installed = [] {
    platform().system().install_crash_handler();
    return true;
  }();
  (void)installed;
}

// The "service" command: the agent again, with the word tarvik, on the interactive
// desktop. COM1 is opened without sharing, so this process lets go of it first.
void relaunch_on_desktop() {
  std::string cmdline = platform().system().program_path() + " tarvik";
  utils::instance().close_serial_port();
  platform().processes().start_on_desktop(cmdline, "winsta0\\default");
}

}  // namespace

int run_agent(int argc, char** argv) {
  if (argc < 2) {
    platform().console().write_stdout(strformat("compile time is %s.%s", __DATE__, __TIME__));
    return 0;
  }
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    joined += argv[i];
    joined += ' ';
  }
  utils::log("tarvik.exe start cmd: %s", utils::loggable_command(joined).c_str());

  install_crash_handler();

  std::string user;
  if (platform().system().user_name(user) == win::kSuccess && equals_nocase(user, "system"))
    platform().system().hide_console();

  if (utils::iso_mode()) {
    if (std::strcmp(argv[1], "config") == 0 && argc >= 4 && equals_nocase(argv[3], "update_driver"))
      return guest::update_driver();
    install_into_image();
  }

  const std::string command = argv[1];
  if (command == "initialize") {
    guest::initialize(argc, argv);
    return 0;
  }
  if (command == "config") return Config::instance().dispatch(argc, argv);
  if (command == "service") {
    relaunch_on_desktop();
    return 0;
  }
  if (command == "tarvik") {
    tarvik2::dowork();
    return 0;
  }
  return 0;
}

}  // namespace tarvik
