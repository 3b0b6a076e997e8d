// What snapshot keeps of a guest and diff compares: every registry hive of every drive and
// every file on the drives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/sim/hive.h"

namespace tarvik_sim {

struct FileStamp {
  uint64_t size = 0;
  uint64_t hash = 0;  // FNV-1a of the bytes
};

struct GuestState {
  // By the name a reader knows the hive under: "HKLM\SYSTEM" and "HKLM\SOFTWARE" for the
  // running system (its volatile keys included), "[D:\Windows\System32\config\SYSTEM]" for
  // the hive files of other drives and the running system's other hive files.
  std::map<std::string, tarvik::sim::HiveKey> hives;
  // By Windows path ("C:\ProgramData\..."); the hive files are left out.
  std::map<std::string, FileStamp> files;
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

}  // namespace tarvik_sim
