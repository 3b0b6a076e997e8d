// tarvik-file-version WINPATH: the file version the agent reads from a file of the
// simulated guest named by TARVIK_SIM_ROOT (utils::get_file_version through the guest's
// own reader), as A.B.C.D. Exits 1 when the file carries none, 2 without a guest.
// scripts/package checks the version resource of the tarvik.exe it ships with it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame/utils.h"
#include "platform/sim/services.h"

int main(int argc, char** argv) {
  const char* root = std::getenv("TARVIK_SIM_ROOT");
  if (argc != 2 || root == nullptr || *root == '\0') {
    std::fprintf(stderr, "usage: TARVIK_SIM_ROOT=GUEST tarvik-file-version WINPATH\n");
    return 2;
  }
  std::string error;
  auto p = tarvik::sim::make_platform(root, error);
  if (!p) {
    std::fprintf(stderr, "tarvik-file-version: %s\n", error.c_str());
    return 2;
  }
  tarvik::install_platform(std::move(p));
  tarvik::FileVersion v;
  if (!tarvik::utils::get_file_version(argv[1], v)) {
    std::fprintf(stderr, "tarvik-file-version: %s carries no file version\n", argv[1]);
    return 1;
  }
  std::printf("%d.%d.%d.%d\n", v.major, v.minor, v.build, v.revision);
  return 0;
}
