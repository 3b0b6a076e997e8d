// tarvik-sim: the simulated guest's own tool.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace tarvik_sim {

// The server is a program of its own (tools/metadata), built beside this one: this
// process becomes it, keeping its process id for whoever stops it.
int metadata_command(int argc, char** argv, const std::string& root) {
  const char* bin = std::getenv("TARVIK_SIM_METADATA");
  if (!bin || !*bin) bin = TARVIK_SIM_METADATA_BIN;
  std::vector<char*> args{const_cast<char*>(bin), const_cast<char*>(root.c_str())};
  for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  ::execv(bin, args.data());
  std::fprintf(stderr, "tarvik-sim metadata: cannot start %s\n", bin);
  return 1;
}

}  // namespace tarvik_sim

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: tarvik-sim [--root DIR] VERB ...\n"
               "  init DIR [--iso] [--hives reg|regf]\n"
               "                            make a ready guest (or a medium with --iso)\n"
               "  reg [--hive FILE] query|add|delete|export|import ...\n"
               "  hive convert FILE --to reg|regf  a hive file as .reg text or a real hive\n"
               "  calls                     the processes the agent started\n"
               "  stamp WINPATH A.B.C.D     a file that carries that file version\n"
               "  reboot                    a simulated reboot\n"
               "  boot [--from LETTER]      a restart (from another drive's installation),\n"
               "                            then the agent's automatic services\n"
               "  snapshot NAME             remember the guest's registry and files\n"
               "  diff NAME                 what changed since snapshot NAME\n"
               "  metadata --listen ADDR:PORT  serve ROOT/metadata as the metadata service\n"
               "The guest is named by --root or TARVIK_SIM_ROOT.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  std::string root;
  if (const char* env = std::getenv("TARVIK_SIM_ROOT")) root = env;
  if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
    root = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return usage();
  std::string verb = argv[i];
  int rest_argc = argc - i - 1;
  char** rest = argv + i + 1;
  if (verb == "init") return tarvik_sim::init_command(rest_argc, rest);
  if (verb == "hive") return tarvik_sim::hive_command(rest_argc, rest);
  if (root.empty()) {
    std::fprintf(stderr, "tarvik-sim: no guest: give --root DIR or set TARVIK_SIM_ROOT\n");
    return 2;
  }
  if (verb == "reg") return reg_command(rest_argc, rest, root);
  if (verb == "calls") return tarvik_sim::calls_command(rest_argc, rest, root);
  if (verb == "stamp") return tarvik_sim::stamp_command(rest_argc, rest, root);
  if (verb == "reboot") return tarvik_sim::reboot_command(rest_argc, rest, root);
  if (verb == "boot") return tarvik_sim::boot_command(rest_argc, rest, root);
  if (verb == "snapshot") return tarvik_sim::snapshot_command(rest_argc, rest, root);
  if (verb == "diff") return tarvik_sim::diff_command(rest_argc, rest, root);
  if (verb == "metadata") return tarvik_sim::metadata_command(rest_argc, rest, root);
  std::fprintf(stderr, "tarvik-sim: unknown verb '%s'\n", verb.c_str());
  return usage();
}
