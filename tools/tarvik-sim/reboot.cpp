// tarvik-sim reboot: volatile keys, hive mounts, DOS device names and running services are
// gone.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "platform/sim/services.h"

namespace tarvik_sim {

void forget_boot_state(const std::string& root) {
  // The effects are counted from each boot on; a power cut is forgotten.
  for (const char* f : {"volatile.reg", "mounts.ini", "dosdevices.ini",
                        tarvik::sim::kRunningServicesFile, "effects.state", "power.lost"})
    ::unlink((root + "/sim/" + f).c_str());
}

int reboot_command(int argc, char**, const std::string& root) {
  if (argc != 0) return usage_error("reboot");
  forget_boot_state(root);
  std::printf("rebooted\n");
  return 0;
}

}  // namespace tarvik_sim
