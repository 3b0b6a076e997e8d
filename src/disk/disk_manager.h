// Disks: grows the system volume and brings data disks into use through diskpart
// scripts, after looking at the disks' numbers and layouts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik {

class disk_manager {
 public:
  static disk_manager& instance();

  // Feeds script to diskpart on its standard input, waits up to wait_ms and keeps what
  // it printed in output. Always true.
  bool run_diskpart(std::string& output, uint32_t wait_ms, const std::string& script);
  // Extends the system volume of the running system, or of the target installation
  // when target_offline. Always true.
  bool extend_volume(bool target_offline);
  // Partitions, formats and letters every data disk that has no letter, retrying;
  // true when none is left.
  bool configure_disks();
  std::vector<uint32_t> disks_without_letter();
  // Data disks other than disk 0 that are not for import; each is onlined on the way.
  std::vector<uint32_t> scan_disks();
  // The disk number behind a drive letter, or -1.
  int volume_disk_number(char letter);
  void online_disk(uint32_t disk);
  void import_disk(uint32_t disk);
  void create_partitions(const std::vector<uint32_t>& disks);
};

}  // namespace tarvik
