// The offline Windows installation that ISO mode prepares: its drive, release and
// architecture, and the mount of its registry hives.
#pragma once

#include <string>

#include "platform/port.h"

namespace tarvik {

class GuestInfo {
 public:
  static GuestInfo& instance();
  // Forgets what was found, as a new process would start without it.
  static void reset();

  // The target drive letter (lower case); searches while none is known. Reports
  // "no_system_disk" and returns 0 when there is none.
  char system_disk();
  // 1 and the letter stored when a drive holds an installation, else 0.
  int find_disk();
  // Reads the release tag and architecture from the offline SOFTWARE hive.
  void init_info();
  void get_version(std::string& out);
  void get_arch(std::string& out);
  void get_version_arch(std::string& version, std::string& arch);
  // Mounts (true) or unmounts (false) the target's SYSTEM hive as HKLM\_SYSTEM;
  // 0 or -1.
  int load_system_hive(bool load);
  // HKLM\_system\ControlSetNNN of the mounted SYSTEM hive, or an invalid key (logged).
  RegKey open_control_set();
  // The registry's error of the last open_control_set that failed (0 before any).
  Status last_error() const { return last_error_; }

  char drive_letter() const { return drive_letter_; }

 private:
  char drive_letter_ = 0;
  std::string os_version_;
  std::string os_arch_;
  Status last_error_ = win::kSuccess;
};

}  // namespace tarvik
