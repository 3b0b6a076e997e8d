// tarvik-sim diff NAME: what changed on the guest since snapshot NAME, one change a line:
//   reg added    HKLM\SYSTEM\ControlSet001\Services\tarvik.start
//   reg changed  HKLM\SYSTEM\...\Terminal Server /v fDenyTSConnections  REG_DWORD  0x1 -> 0x0
//   reg removed  HKLM\SYSTEM\ControlSet001\Services\tarvik /v ImagePath  REG_SZ  C:\...
//   file added   C:\ProgramData\kovenu\tarvik\2025.01.06.09.49.05.tarvik.ini  (83 bytes)
//   file changed C:\ProgramData\kovenu\tarvik\log\...  (120 -> 2512 bytes)
//   file removed C:\ProgramData\kovenu\tarvik\tarvik.ini
//   disk changed Disk 1  letters  (none) -> d
//   adapter added Ethernet 3
//   adapter added Ethernet 3  mac  02:00:4c:4f:4f:50
//   service changed W32Time  state  stopped -> running
// A key, disk, adapter or service that came or went is one line, followed by one line for
// each of its values or settings.
#include <cstdio>
#include <string>

#include "commands.h"
#include "guest_state.h"
#include "reg_text.h"

namespace tarvik_sim {

bool snapshot_folder(int argc, char** argv, const std::string& root, const char* verb,
                     std::string& folder);

namespace {

using namespace tarvik;
using namespace tarvik::sim;

std::string value_ref(const std::string& key, const std::string& name) {
  return key + (name.empty() ? " /ve" : " /v " + name);
}

std::string shown(const RegValue& v) {
  return std::string(reg_type_name(v.type)) + "  " + reg_value_text(v);
}

void print_line(const char* what, const std::string& text) {
  std::printf("%-12s %s\n", what, text.c_str());
}

// A whole key and its subtree, added or removed.
void print_key(const char* what, const std::string& path, const HiveKey& k) {
  print_line(what, path);
  for (const auto& [n, v] : k.values) print_line(what, value_ref(path, n) + "  " + shown(v));
  for (const auto& sub : k.subkeys) print_key(what, path + "\\" + sub->name, *sub);
}

void diff_key(const std::string& path, const HiveKey& before, const HiveKey& after) {
  for (const auto& [n, v] : before.values) {
    const RegValue* now = after.value(n);
    if (!now)
      print_line("reg removed", value_ref(path, n) + "  " + shown(v));
    else if (now->type != v.type)
      print_line("reg changed", value_ref(path, n) + "  " + shown(v) + " -> " + shown(*now));
    else if (now->data != v.data)
      print_line("reg changed", value_ref(path, n) + "  " + reg_type_name(v.type) + "  " +
                                    reg_value_text(v) + " -> " + reg_value_text(*now));
  }
  for (const auto& [n, v] : after.values)
    if (!before.value(n)) print_line("reg added", value_ref(path, n) + "  " + shown(v));
  for (const auto& sub : before.subkeys) {
    const HiveKey* now = after.child(sub->name);
    if (!now)
      print_key("reg removed", path + "\\" + sub->name, *sub);
    else
      diff_key(path + "\\" + sub->name, *sub, *now);
  }
  for (const auto& sub : after.subkeys)
    if (!before.child(sub->name)) print_key("reg added", path + "\\" + sub->name, *sub);
}

std::string setting_text(const std::string& value) {
  return value.empty() ? "(none)" : value;
}

// A whole disk, adapter or service, added or removed.
void print_item(const std::string& what, const MachineItem& item) {
  print_line(what.c_str(), item.name);
  for (const auto& [key, value] : item.settings)
    print_line(what.c_str(), item.name + "  " + key + "  " + setting_text(value));
}

void diff_item(const MachineItem& before, const MachineItem& after) {
  const std::string what = before.kind + " changed";
  auto changed = [&](const std::string& key, const std::string* was, const std::string* now) {
    std::string a = was ? *was : "", b = now ? *now : "";
    if (a != b)
      print_line(what.c_str(),
                 before.name + "  " + key + "  " + setting_text(a) + " -> " + setting_text(b));
  };
  for (const auto& [key, value] : before.settings) changed(key, &value, after.setting(key));
  for (const auto& [key, value] : after.settings)
    if (!before.setting(key)) changed(key, nullptr, &value);
}

// The machine's disks, adapters and services; a snapshot kept without them shows none.
void diff_machine(const GuestState& before, const GuestState& after) {
  if (!before.has_machine) return;
  for (const auto& [id, item] : before.machine) {
    auto now = after.machine.find(id);
    if (now == after.machine.end())
      print_item(item.kind + " removed", item);
    else
      diff_item(item, now->second);
  }
  for (const auto& [id, item] : after.machine)
    if (!before.machine.count(id)) print_item(item.kind + " added", item);
}

// Keys of a hive are shown below its name; the root's own values on the name itself.
void diff_hive(const std::string& name, const HiveKey* before, const HiveKey* after) {
  HiveKey empty;
  diff_key(name, before ? *before : empty, after ? *after : empty);
}

}  // namespace

int diff_command(int argc, char** argv, const std::string& root) {
  std::string folder, error;
  if (!snapshot_folder(argc, argv, root, "diff", folder)) return 2;
  GuestState before, after;
  if (!load_guest_state(folder, before, error) || !read_guest_state(root, after, error)) {
    std::fprintf(stderr, "tarvik-sim diff: %s\n", error.c_str());
    return 2;
  }
  for (const auto& [name, hive] : before.hives) {
    auto now = after.hives.find(name);
    diff_hive(name, &hive, now == after.hives.end() ? nullptr : &now->second);
  }
  for (const auto& [name, hive] : after.hives)
    if (!before.hives.count(name)) diff_hive(name, nullptr, &hive);

  for (const auto& [path, stamp] : before.files) {
    auto now = after.files.find(path);
    if (now == after.files.end())
      print_line("file removed", path);
    else if (now->second.size != stamp.size || now->second.hash != stamp.hash)
      print_line("file changed", path + "  (" + std::to_string(stamp.size) + " -> " +
                                     std::to_string(now->second.size) + " bytes)");
  }
  for (const auto& [path, stamp] : after.files)
    if (!before.files.count(path))
      print_line("file added", path + "  (" + std::to_string(stamp.size) + " bytes)");
  diff_machine(before, after);
  return 0;
}

}  // namespace tarvik_sim
