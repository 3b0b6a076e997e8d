// tarvik for the Linux build: the agent against the simulated machine named by
// TARVIK_SIM_ROOT.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame/entry.h"
#include "platform/sim/effects.h"
#include "platform/sim/services.h"

int main(int argc, char** argv) {
  const char* root = std::getenv("TARVIK_SIM_ROOT");
  if (root == nullptr || *root == '\0') {
    std::fprintf(stderr, "tarvik: TARVIK_SIM_ROOT is not set; it names the simulated guest\n");
    return 2;
  }
  std::string error;
  auto p = tarvik::sim::make_platform(root, error);
  if (!p) {
    std::fprintf(stderr, "tarvik: %s\n", error.c_str());
    return 2;
  }
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) tarvik::sim::set_agent_binary(std::string(self, static_cast<size_t>(n)));
  // The agent's changes to the machine count as its durable effects (a planned power cut
  // falls on one of them).
  tarvik::sim::count_durable_effects();
  tarvik::install_platform(std::move(p));
  // The guest sees the agent under its Windows path, as the platform starts it there.
  std::string program = tarvik::platform().system().program_path();
  argv[0] = program.data();
  return tarvik::run_agent(argc, argv);
}
