// Offline image preparation: the process-wide guest object with its driver directory
// table, the driver injection into the offline installation, the staging of the product
// folder into it, and the initialize command and driver update built on them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarvik {

class guest {
 public:
  static guest& instance();

  // Release tag to driver directory name ("2016" gives "Win10"); empty for a tag that is
  // not in the table (exact, case-sensitive lookup).
  std::string driver_dir(const std::string& tag) const;
  const std::map<std::string, std::string>& driver_dirs() const { return driver_dirs_; }

  // --- The commands. Each ends with one exit report; the result is 0.
  // The initialize command with the process's whole argument vector (argv[1]
  // "initialize", argv[3] the platform word, argv[4] the memory size in MB, argv[5] the
  // region id).
  static int initialize(int argc, char** argv);
  // ISO mode's "config <word> update_driver": the drivers of the offline installation.
  static int update_driver();
  // Whether the platform word selects the Zen-Trix driver tree for this target.
  static bool is_zentrix_target(const char* word);
  // Whether memory_mb (0: measured) is at most 8 GB.
  static bool small_memory(uint32_t memory_mb);

  // --- Driver injection into the offline installation.
  static int install_kvm_drivers();
  static int install_zentrix_drivers();
  static bool copy_driver_files();
  static uint16_t driver_build(bool on_medium, const std::string& file_name);
  static bool virtio_outdated();

  // --- Staging of files into the offline installation.
  static void copy_files();
  static bool stage_tree(const std::string& source, const std::string& destination);
  static bool need_update_assist();
  static void remove_readonly_attrib();
  static int fix_pavox();
  // The region id where the cloud assistant of the image reads it; false (logged) when
  // the file could not be written.
  static bool write_region_id(const std::string& region_id);

 private:
  guest();
  std::map<std::string, std::string> driver_dirs_;
};

// "%c:\Windows\System32\drivers\<name>": a driver file of the installation on drive.
std::string image_driver_path(char drive, const std::string& name);
// Copies the medium's dism log into the target's log folder as dism_<seconds>.log.
void copy_dism_log();
// Gives the mounted offline SYSTEM hive a page file when its setting is empty; 0, or -1
// when the control set cannot be opened.
int enable_pagefile();

// Version texts compared by their digit runs, dots and other runs: negative when a is
// older than b, 0 when equal, positive when newer.
int compare_version(const std::string& a, const std::string& b);
std::vector<std::string> split_version(const std::string& version);

}  // namespace tarvik
