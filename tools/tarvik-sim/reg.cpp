// Placeholder until the reg verb lands.
#include <cstdio>

#include "commands.h"

int reg_command(int, char**, const std::string&) {
  std::fprintf(stderr, "tarvik-sim: reg is not built yet\n");
  return 2;
}
