// tarvik-sim reboot: volatile keys, hive mounts and DOS device names are gone.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"

namespace tarvik_sim {

int reboot_command(int argc, char**, const std::string& root) {
  if (argc != 0) {
    std::fprintf(stderr, "tarvik-sim reboot: takes no arguments\n");
    return 2;
  }
  for (const char* f : {"volatile.reg", "mounts.ini", "dosdevices.ini"})
    ::unlink((root + "/sim/" + f).c_str());
  std::printf("rebooted\n");
  return 0;
}

}  // namespace tarvik_sim
