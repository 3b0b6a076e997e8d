// tarvik-sim boot [--from LETTER]: a simulated restart, then the agent's services.
//
// Everything reboot does (volatile keys, mounts and DOS device names are gone). With
// --from, the installation on that drive becomes the running system on C: the medium
// (the drive the machine ran from) is gone, the drive folders are renamed (a C: that was
// there takes the installation's old letter), and machine.ini's system drive, program
// path, disk letters and sim/attributes.ini follow. Then every automatic service of the
// running system's SYSTEM hive (CurrentControlSet\services\*, Start 2) whose ImagePath
// starts the agent is started as the service manager starts it, one calls.jsonl line
// each (how "service"); boot then waits until every process they left running has ended
// (the first-boot work the service relaunched). A power cut in the agent's processes
// (machine.ini's [fault] crash_at) ends it: boot says so and starts nothing more.
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "guest_state.h"
#include "platform/sim/command_line.h"
#include "platform/sim/effects.h"
#include "platform/sim/ini.h"
#include "platform/sim/machine.h"
#include "platform/sim/registry.h"
#include "platform/sim/services.h"

namespace tarvik_sim {

namespace {

namespace fs = std::filesystem;
using namespace tarvik;
using namespace tarvik::sim;

constexpr char kAgentPath[] = "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe";

void set_key(IniFile& ini, const std::string& section, const std::string& key,
             const std::string& value) {
  for (auto& s : ini.sections)
    if (equals_nocase(s.name, section)) {
      for (auto& kv : s.keys)
        if (equals_nocase(kv.first, key)) {
          kv.second = value;
          return;
        }
      s.keys.emplace_back(key, value);
      return;
    }
  IniSection s;
  s.name = section;
  s.keys.emplace_back(key, value);
  ini.sections.push_back(std::move(s));
}

// The letter a drive has after the switch: from becomes c, c becomes from, the medium
// has none (0).
char new_letter(char letter, char from, char medium) {
  if (letter == medium) return 0;
  if (letter == from) return 'c';
  if (letter == 'c') return from;
  return letter;
}

bool rewrite_machine_ini(const std::string& root, char from, char medium, std::string& error) {
  std::string path = root + "/machine.ini", text;
  read_host_file(path, text);
  IniFile before;
  if (!parse_ini(text, before, error)) {
    error = path + ": line " + error;
    return false;
  }
  IniFile after = before;
  set_key(after, "system", "drive", "c");
  set_key(after, "system", "program", kAgentPath);
  for (auto& s : after.sections) {
    if (to_lower(s.name).rfind("disk.", 0) != 0) continue;
    for (auto& kv : s.keys)
      if (equals_nocase(kv.first, "letters"))
        kv.second = moved_letters(kv.second, [&](char c) { return new_letter(c, from, medium); });
  }
  return write_host_file_atomic(path, rewrite_ini(text, before, after));
}

// The attributes of the files on the renamed drives go with them.
void rewrite_attributes(const std::string& root, char from, char medium) {
  std::string path = root + "/sim/attributes.ini", text, error;
  IniFile ini;
  if (!read_host_file(path, text) || !parse_ini(text, ini, error)) return;
  for (auto& s : ini.sections) {
    std::vector<std::pair<std::string, std::string>> keys;
    for (auto& [k, v] : s.keys) {
      if (k.size() < 2 || k[1] != ':') {
        keys.emplace_back(k, v);
        continue;
      }
      char c = new_letter(to_lower(k.substr(0, 1))[0], from, medium);
      if (c != 0) keys.emplace_back(to_upper(std::string(1, c)) + k.substr(1), v);
    }
    s.keys = std::move(keys);
    s.key_lines.clear();
  }
  write_host_file_atomic(path, format_ini(ini));
}

// The snapshots taken before the switch see the drives under their new letters, so that a
// diff across it shows what changed on each drive rather than the switch itself.
void move_snapshot_drives(const std::string& root, char old_system, char from, char medium) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::path(root) / "sim" / "snapshots", ec)) {
    GuestState state;
    std::string error;
    if (!e.is_directory() || !load_guest_state(e.path().string(), state, error)) continue;
    move_drives(state, old_system, [&](char c) { return new_letter(c, from, medium); });
    save_guest_state(state, e.path().string(), error);
  }
}

// The installation on drive from becomes the running system on C:.
bool switch_system_drive(const std::string& root, char from, std::string& error) {
  Machine m;
  if (!m.load(root, error)) return false;
  char medium = m.system_drive() == from ? 0 : m.system_drive();
  fs::path r(root);
  std::error_code ec;
  if (!fs::is_directory(r / std::string(1, from))) {
    error = std::string("no drive ") + static_cast<char>(std::toupper(from)) + ": in " + root;
    return false;
  }
  if (medium != 0) fs::remove_all(r / std::string(1, medium), ec);
  if (from != 'c') {
    fs::path c = r / "c", swap = r / "c.boot";
    bool had_c = fs::exists(c);
    if (had_c) fs::rename(c, swap, ec);
    if (!ec) fs::rename(r / std::string(1, from), c, ec);
    if (!ec && had_c) fs::rename(swap, r / std::string(1, from), ec);
    if (ec) {
      error = "cannot rename the drive folders: " + ec.message();
      return false;
    }
  }
  rewrite_attributes(root, from, medium);
  move_snapshot_drives(root, m.system_drive(), from, medium);
  return rewrite_machine_ini(root, from, medium, error);
}

// The ImagePath of every automatic service that starts the agent.
std::vector<std::string> agent_services(const RegistryStore& store) {
  std::vector<std::string> out;
  RegLocation loc;
  if (store.resolve(RegLocation{}, "SYSTEM\\CurrentControlSet\\services", reg::kKeyRead, loc) !=
      win::kSuccess)
    return out;
  std::shared_ptr<const HiveKey> root;
  if (store.read(loc.hive, loc.path, root) != win::kSuccess) return out;
  const HiveKey* services = root->find(loc.path);
  if (!services) return out;
  std::string agent = store.machine().get("system", "program", kAgentPath);
  for (const auto& service : services->subkeys) {
    const RegValue* start = service->value("Start");
    const RegValue* image = service->value("ImagePath");
    uint32_t mode = 0;
    if (!start || !start->as_dword(mode) || mode != 2 || !image) continue;
    std::string cmdline = image->as_text();
    if (equals_nocase(program_word(cmdline), agent)) out.push_back(cmdline);
  }
  return out;
}

std::string agent_binary() {
  if (const char* env = std::getenv("TARVIK_SIM_AGENT"); env && *env) return env;
  return TARVIK_AGENT_BIN;
}

}  // namespace

int boot_command(int argc, char** argv, const std::string& root) {
  char from = 0;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--from" && i + 1 < argc && std::string(argv[i + 1]).size() == 1 &&
        std::isalpha(static_cast<unsigned char>(argv[i + 1][0]))) {
      from = static_cast<char>(std::tolower(static_cast<unsigned char>(argv[++i][0])));
    } else {
      return usage_error("boot");
    }
  }
  forget_boot_state(root);
  std::string error;
  if (from != 0 && !switch_system_drive(root, from, error)) {
    std::fprintf(stderr, "tarvik-sim boot: %s\n", error.c_str());
    return 2;
  }
  Machine m;
  if (!m.load(root, error)) {
    std::fprintf(stderr, "tarvik-sim boot: %s\n", error.c_str());
    return 2;
  }
  m.record_event(from != 0 ? std::string("\"event\":\"boot\",\"from\":\"") + from + "\""
                           : std::string("\"event\":\"boot\""));
  std::printf(from != 0 ? "booted from %c: as C:\n" : "booted\n",
              static_cast<char>(std::toupper(from)));

  // Processes the services leave running (the relaunched first-boot work) become ours,
  // so that boot ends when the machine has settled.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  set_agent_binary(agent_binary());
  RegistryStore store(m);
  for (const std::string& cmdline : agent_services(store)) {
    if (power_lost_at(m) != 0) break;  // the machine is off: nothing more starts
    Status s = start_service_program(m, cmdline);
    if (s != win::kSuccess)
      std::printf("service %s: start failed, error %u\n", cmdline.c_str(), s);
    else
      std::printf("service %s: started\n", cmdline.c_str());
    std::fflush(stdout);
  }
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  if (uint64_t k = power_lost_at(m)) std::printf("power lost at effect %" PRIu64 "\n", k);
  return 0;
}

}  // namespace tarvik_sim
