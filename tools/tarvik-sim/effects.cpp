// tarvik-sim effects: the agent's durable effects since the machine's last boot.
#include "platform/sim/effects.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "commands.h"

namespace tarvik_sim {

int effects_command(int argc, char**, const std::string& root) {
  if (argc != 0) {
    std::fprintf(stderr, "tarvik-sim effects: takes no arguments\n");
    return 2;
  }
  tarvik::sim::Machine m;
  std::string error;
  if (!m.load(root, error)) {
    std::fprintf(stderr, "tarvik-sim effects: %s\n", error.c_str());
    return 2;
  }
  std::printf("%" PRIu64 "\n", tarvik::sim::effects_since_boot(m));
  return 0;
}

}  // namespace tarvik_sim
