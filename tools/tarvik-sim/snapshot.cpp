// tarvik-sim snapshot NAME: the guest's registry and files, kept in ROOT/sim/snapshots/NAME
// for a later diff.
#include <cstdio>
#include <string>

#include "commands.h"
#include "guest_state.h"

namespace tarvik_sim {

bool snapshot_folder(int argc, char** argv, const std::string& root, const char* verb,
                     std::string& folder) {
  std::string name = argc == 1 ? argv[0] : "";
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    usage_error(verb);
    return false;
  }
  folder = root + "/sim/snapshots/" + name;
  return true;
}

int snapshot_command(int argc, char** argv, const std::string& root) {
  std::string folder, error;
  if (!snapshot_folder(argc, argv, root, "snapshot", folder)) return 2;
  GuestState state;
  if (!read_guest_state(root, state, error) || !save_guest_state(state, folder, error)) {
    std::fprintf(stderr, "tarvik-sim snapshot: %s\n", error.c_str());
    return 2;
  }
  std::printf("snapshot %s: %zu hives, %zu files\n", argv[0], state.hives.size(),
              state.files.size());
  return 0;
}

}  // namespace tarvik_sim
