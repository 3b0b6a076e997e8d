// tarvik-sim stamp WINPATH A.B.C.D: a file that carries that file version.
#include <cstdio>
#include <string>

#include "commands.h"
#include "platform/sim/machine.h"
#include "platform/sim/version_stamp.h"

namespace tarvik_sim {

int stamp_command(int argc, char** argv, const std::string& root) {
  unsigned a, b, c, d;
  char extra;
  if (argc != 2 || std::sscanf(argv[1], "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4 ||
      a > 0xFFFF || b > 0xFFFF || c > 0xFFFF || d > 0xFFFF)
    return usage_error("stamp");
  tarvik::sim::Machine m;
  std::string error, host;
  if (!m.load(root, error)) {
    std::fprintf(stderr, "tarvik-sim: %s\n", error.c_str());
    return 2;
  }
  if (m.host_path(argv[0], host) != 0) {
    std::fprintf(stderr, "tarvik-sim stamp: '%s' is not a path on this guest\n", argv[0]);
    return 2;
  }
  tarvik::FileVersion v{static_cast<uint16_t>(a), static_cast<uint16_t>(b),
                        static_cast<uint16_t>(c), static_cast<uint16_t>(d)};
  if (!tarvik::sim::write_version_stamp(host, v)) {
    std::fprintf(stderr, "tarvik-sim stamp: cannot write %s\n", host.c_str());
    return 1;
  }
  return 0;
}

}  // namespace tarvik_sim
