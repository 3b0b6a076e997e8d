// tarvik-sim reboot: volatile keys, hive mounts and DOS device names are gone.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"

namespace tarvik_sim {

void forget_boot_state(const std::string& root) {
  // The effects are counted from each boot on; a power cut is forgotten.
  for (const char* f :
       {"volatile.reg", "mounts.ini", "dosdevices.ini", "effects.state", "power.lost"})
    ::unlink((root + "/sim/" + f).c_str());
}

int reboot_command(int argc, char**, const std::string& root) {
  if (argc != 0) {
    std::fprintf(stderr, "tarvik-sim reboot: takes no arguments\n");
    return 2;
  }
  forget_boot_state(root);
  std::printf("rebooted\n");
  return 0;
}

}  // namespace tarvik_sim
