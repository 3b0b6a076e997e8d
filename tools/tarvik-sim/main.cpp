// tarvik-sim: the simulated guest's own tool.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/sim/machine.h"

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

namespace {

struct Verb {
  const char* name;
  const char* synopsis;  // the verb and its arguments
  const char* summary;   // one line of the tool's usage
  const char* help;      // what `help VERB` adds below the synopsis
  bool needs_guest;
  int (*run)(int argc, char** argv, const std::string& root);
};

const Verb kVerbs[] = {
    {"init", "init DIR [--iso [--target-hives FOLDER]] [--hives reg|regf]",
     "make a ready guest (a medium with --iso)",
     "Makes a ready guest in DIR (made when absent; a DIR that holds machine.ini is refused).\n"
     "  (no option)            a running Windows Server 2019 guest on C: with the product folder\n"
     "                         staged under C:\\ProgramData\\kovenu, two virtio adapters, a\n"
     "                         system disk (Disk 0) with free space and a raw data disk (Disk 1)\n"
     "  --iso                  an installation medium on X: (isoMode=1, the agent in\n"
     "                         X:\\kovenu\\tarvik) and an offline installation on D:\n"
     "  --target-hives FOLDER  with --iso: the offline installation's SYSTEM and SOFTWARE are\n"
     "                         copies of FOLDER's hive files (an image's own, regf or text)\n"
     "  --hives reg|regf       every hive file as .reg text (reg, the default) or as a real\n"
     "                         Windows hive (regf)\n"
     "The guest has a virtual clock (machine.ini [clock] mode=virtual): the agent's sleeps take\n"
     "no real time but move the guest's clock on, so the times of its logs, of the archive's\n"
     "name and the ms of `calls` run ahead of the real clock by all the time slept since the\n"
     "guest was made. mode=real makes sleeps real. Its metadata service is 127.0.0.1:8169\n"
     "([network] metadata).\n",
     false, [](int argc, char** argv, const std::string&) { return init_command(argc, argv); }},
    {"hive", "hive convert FILE --to reg|regf [--codepage N]",
     "a hive file to .reg text or regf, in place",
     "Turns one hive file (a host path; no guest needed) into the other form in place, keeping\n"
     "every key and every value's type and bytes.\n"
     "  --to reg|regf   .reg text, or a real Windows hive (regf)\n"
     "  --codepage N    the code page of narrow text in the .reg text: 65001 (UTF-8, the\n"
     "                  default) or 1252; regf holds text values as UTF-16\n"
     "Nothing is converted, and the exit code is 2, when the target cannot hold something\n"
     "exactly (a name that holds a NUL, a character outside the code page).\n",
     false, [](int argc, char** argv, const std::string&) { return hive_command(argc, argv); }},
    {"reg", "reg [--hive WINPATH] query|add|delete|export|import ...",
     "reg.exe's arguments and output on the guest",
     "reg.exe's verbs, arguments and output, in the 64-bit view:\n"
     "  query KEY [/v NAME | /ve] [/s]\n"
     "  add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
     "  delete KEY [/v NAME | /ve | /va] [/f]\n"
     "  export KEY FILE [/y]\n"
     "  import FILE\n"
     "  /reg:32 or /reg:64   after the verb's arguments: the view of HKLM\\SOFTWARE\n"
     "  --hive WINPATH       before the verb: that hive file of the guest\n"
     "                       ('D:\\Windows\\System32\\config\\SYSTEM'), KEY relative to its root\n"
     "FILE is a Windows path on the guest or a host path. Exit codes: 0 done, 1 the registry\n"
     "refused, 2 bad arguments or guest.\n",
     true,
     [](int argc, char** argv, const std::string& root) { return reg_command(argc, argv, root); }},
    {"calls", "calls", "the processes the agent started",
     "The processes the agent started (sim/calls.jsonl), one line each:\n"
     "  #N MSms HOW/VIA exit=CODE  COMMAND LINE\n"
     "MS is the guest's clock when it started, in milliseconds: on a virtual clock (init's\n"
     "guests) the time slept on the guest since it was made, which runs ahead of real time;\n"
     "on a real clock the time since that agent's process began.\n"
     "HOW, how the agent started it:\n"
     "  run        waited for, its output captured (the first 4096 bytes)\n"
     "  stdin      a script given on its standard input, waited for up to a limit (diskpart)\n"
     "  detached   its output to a file, waited for up to a limit, then left running (user\n"
     "             data scripts)\n"
     "  nocapture  waited for, its output not captured\n"
     "  relaunch   the agent starting itself again on the desktop; not waited for\n"
     "  service    started as the service manager starts a service (tarvik-sim boot); not\n"
     "             waited for\n"
     "VIA, what answered it:\n"
     "  rule       a rule of sim/tools.ini\n"
     "  builtin    the simulated diskpart or devcon\n"
     "  exec       a program found on the guest's drives, run for real\n"
     "  missing    nothing: it did not start (exit 2, file not found; 1610 when sim/tools.ini\n"
     "             is malformed)\n"
     "CODE is the exit code, or the error of a start that failed. 259 is STILL_ACTIVE: the\n"
     "process was left running (not waited for, or still running when its wait ended).\n",
     true, calls_command},
    {"stamp", "stamp WINPATH A.B.C.D", "a file that carries that file version",
     "Writes a small file at WINPATH on the guest that carries the file version A.B.C.D\n"
     "(each 0..65535) as a version resource does, for driver files.\n",
     true, stamp_command},
    {"reboot", "reboot", "a simulated reboot",
     "A simulated restart: volatile keys (sim/volatile.reg), hive mounts (sim/mounts.ini),\n"
     "DOS device names and the services' running state are gone. Nothing is started.\n",
     true, reboot_command},
    {"boot", "boot [--from LETTER]", "a restart, then the agent's automatic services",
     "Everything reboot does; then every automatic service (Start 2) of the running system's\n"
     "SYSTEM hive whose ImagePath starts the agent is started (calls: service), and boot\n"
     "returns when they and what they left running have ended: the first-boot work is done.\n"
     "  --from LETTER   first make the installation on that drive the running system on C:\n"
     "                  (the medium is gone; machine.ini, disk letters and snapshots follow)\n"
     "TARVIK_SIM_AGENT names another agent binary than the one built beside tarvik-sim.\n",
     true, boot_command},
    {"snapshot", "snapshot NAME", "remember the guest's registry, files and machine",
     "Keeps the guest's registry (every hive of every drive), files and machine (disks,\n"
     "adapters, services) in ROOT/sim/snapshots/NAME, for diff. NAME is a name, not a path.\n",
     true, snapshot_command},
    {"diff", "diff NAME", "what changed since snapshot NAME",
     "What changed on the guest since snapshot NAME, one change a line: registry values\n"
     "(reg added|changed|removed), files (file added|changed|removed) and the machine's\n"
     "disks, adapters and services (disk|adapter|service added|changed|removed, a setting\n"
     "with its old and new value). Nothing changed: no output.\n",
     true, diff_command},
    {"metadata", "metadata --listen ADDR:PORT", "serve ROOT/metadata as the metadata service",
     "Serves ROOT/metadata over HTTP as the platform's metadata service until SIGINT or\n"
     "SIGTERM, one line a request on standard error. GET /a/b answers with ROOT/metadata/a/b\n"
     "(a path ending in / with the file index in that folder), 404 when absent; a file\n"
     "b.status beside it gives another status (its first line) and headers (further lines).\n"
     "Port 0 takes a free port, named in the first line. A port that another server listens\n"
     "on is refused: \"address in use\", exit code 2.\n",
     true, metadata_command},
    {"effects", "effects", "the agent's durable effects since the last boot",
     "Prints how many durable effects the agent had since the machine's last boot or\n"
     "reboot: registry changes, file and folder changes and process starts, in the order\n"
     "they happened (the log and the serial port do not count). machine.ini's [fault]\n"
     "crash_at=K cuts power when the K-th is about to happen.\n",
     true, effects_command},
};

const Verb* find_verb(const std::string& name) {
  for (const Verb& v : kVerbs)
    if (name == v.name) return &v;
  return nullptr;
}

void print_usage(FILE* to) {
  std::fprintf(to,
               "usage: tarvik-sim [--root DIR] VERB ...\n"
               "       tarvik-sim help [VERB]   (or VERB --help): the usage, or the verb's own\n"
               "       tarvik-sim --version     the project's version\n");
  for (const Verb& v : kVerbs) {
    if (std::strlen(v.synopsis) < 28)
      std::fprintf(to, "  %-29s%s\n", v.synopsis, v.summary);
    else
      std::fprintf(to, "  %s\n  %-29s%s\n", v.synopsis, "", v.summary);
  }
  std::fprintf(to,
               "The guest is named by --root DIR or TARVIK_SIM_ROOT (init and hive need none);\n"
               "tarvik-sim init DIR makes one.\n");
}

int verb_help(const Verb& v) {
  std::printf("usage: tarvik-sim %s\n%s", v.synopsis, v.help);
  return 0;
}

bool is_help(const char* arg) {
  return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

}  // namespace

int usage_error(const char* verb) {
  const Verb* v = find_verb(verb);
  std::fprintf(stderr, "tarvik-sim %s: usage: tarvik-sim %s (tarvik-sim help %s says more)\n", verb,
               v ? v->synopsis : verb, verb);
  return 2;
}

}  // namespace tarvik_sim

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("tarvik-sim %s\n", TARVIK_VERSION);
    return 0;
  }
  using namespace tarvik_sim;
  int i = 1;
  std::string root;
  if (const char* env = std::getenv("TARVIK_SIM_ROOT")) root = env;
  if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
    root = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    print_usage(stderr);
    return 2;
  }
  std::string name = argv[i];
  if (is_help(argv[i]) || name == "help") {
    if (name != "help" || i + 1 >= argc) {
      print_usage(stdout);
      return 0;
    }
    if (const Verb* v = find_verb(argv[i + 1])) return verb_help(*v);
    std::fprintf(stderr, "tarvik-sim help: unknown verb '%s'\n", argv[i + 1]);
    print_usage(stderr);
    return 2;
  }
  const Verb* verb = find_verb(name);
  if (!verb) {
    std::fprintf(stderr, "tarvik-sim: unknown verb '%s'\n", name.c_str());
    print_usage(stderr);
    return 2;
  }
  if (i + 1 < argc && is_help(argv[i + 1])) return verb_help(*verb);
  if (verb->needs_guest) {
    std::string error;
    if (root.empty()) {
      std::fprintf(stderr, "tarvik-sim: no guest: give --root DIR or set TARVIK_SIM_ROOT\n");
      return 2;
    }
    if (!tarvik::sim::holds_guest(root, error)) {
      std::fprintf(stderr, "tarvik-sim: %s\n", error.c_str());
      return 2;
    }
  }
  return verb->run(argc - i - 1, argv + i + 1, root);
}
