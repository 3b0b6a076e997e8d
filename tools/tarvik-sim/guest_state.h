// What snapshot keeps of a guest and diff compares: every registry hive of every drive,
// every file on the drives and the machine's own disks, adapters and services.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/hive.h"

namespace tarvik_sim {

struct FileStamp {
  uint64_t size = 0;
  uint64_t hash = 0;  // FNV-1a of the bytes
};

// One disk, adapter or service of machine.ini, with what the agent may change of it.
struct MachineItem {
  std::string kind;  // "disk", "adapter", "service"
  std::string name;  // "Disk 1" (its number), "Ethernet 2" (its connection name), "W32Time"
  // Its keys in machine.ini's order, then those left unset at their defaults; a service's
  // state ("running" since it was started, until a restart; else "stopped") comes last.
  std::vector<std::pair<std::string, std::string>> settings;

  const std::string* setting(const std::string& key) const;
};

struct GuestState {
  // By the name a reader knows the hive under: "HKLM\SYSTEM" and "HKLM\SOFTWARE" for the
  // running system (its volatile keys included), "[D:\Windows\System32\config\SYSTEM]" for
  // the hive files of other drives and the running system's other hive files.
  std::map<std::string, tarvik::sim::HiveKey> hives;
  // By Windows path ("C:\ProgramData\..."); the hive files are left out.
  std::map<std::string, FileStamp> files;
  // By kind and name ("disk\tDisk 1").
  std::map<std::string, MachineItem> machine;
  bool has_machine = true;  // false for a snapshot kept before machines were
};

// The guest at root as it is now; false with error when the machine cannot be loaded.
bool read_guest_state(const std::string& root, GuestState& out, std::string& error);
// Keeps a state in folder (made) and reads it back.
bool save_guest_state(const GuestState& state, const std::string& folder, std::string& error);
bool load_guest_state(const std::string& folder, GuestState& out, std::string& error);

// The drives of a state moved as a boot from another drive moves them: letter gives each
// drive's new letter (0: the drive is gone), and the running system's hives follow its
// drive from old_system to C:. What lay on a drive that is gone is dropped.
void move_drives(GuestState& state, char old_system, const std::function<char(char)>& letter);
// A disk's letters ("d,e") under their new letters; a letter whose drive is gone is dropped,
// and an item that is not one letter is kept as it is.
std::string moved_letters(const std::string& letters, const std::function<char(char)>& letter);

}  // namespace tarvik_sim
