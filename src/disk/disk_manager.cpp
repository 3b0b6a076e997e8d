#include "disk/disk_manager.h"

#include <algorithm>

#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr uint32_t kDiskpartWaitMs = 20000;
constexpr uint32_t kDiskpartOutputLimit = 65535;
// The layout buffer first holds 5 entries; it grows until the whole layout fits.
constexpr uint32_t kFirstLayoutEntries = 5;
constexpr uint32_t kMaxLayoutEntries = 1024;

constexpr uint8_t kPartitionLdm = 0x42;
constexpr const char* kImportGptTypes[] = {
    "{af9b60a0-1431-4f62-bc68-3311714a69ad}",  // LDM data
    "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}",  // basic data
};

bool marks_import(const DriveLayout& layout, const PartitionEntry& e) {
  if (layout.style == 0) return e.mbr_type == kPartitionLdm;
  if (layout.style == 1)
    return std::any_of(std::begin(kImportGptTypes), std::end(kImportGptTypes),
                       [&](const char* g) { return equals_nocase(e.gpt_type, g); });
  return false;
}

// The whole layout of a disk, asking again with a larger buffer while it does not fit.
Status read_layout(Disk& disk, DriveLayout& layout) {
  for (uint32_t entries = kFirstLayoutEntries;; entries *= 2) {
    Status s = disk.drive_layout(drive_layout_bytes(entries), layout);
    if (s != win::kInsufficientBuffer || entries >= kMaxLayoutEntries) return s;
  }
}

}  // namespace

disk_manager& disk_manager::instance() {
  static disk_manager manager;
  return manager;
}

bool disk_manager::run_diskpart(std::string& output, uint32_t wait_ms, const std::string& script) {
  platform().processes().run_with_input("diskpart", script, wait_ms, kDiskpartOutputLimit, output);
  utils::log("run_diskpart,input: %s output: %s", script.c_str(), output.c_str());
  return true;
}

bool disk_manager::extend_volume(bool target_offline) {
  char letter = target_offline ? GuestInfo::instance().system_disk() : utils::system_drive();
  std::string script = strformat("select volume %c\r\nextend\r\nexit\r\n", letter);
  std::string output;
  run_diskpart(output, kDiskpartWaitMs, script);
  if (target_offline &&
      !utils::contains_any(output, {"There is not enough usable free space on specified disk",
                                    "DiskPart successfully extended the volume"}))
    utils::log("TARVIK_REPORT_ERROR:%s %s", "extend_disk_error", output.c_str());
  return true;
}

int disk_manager::volume_disk_number(char letter) {
  std::unique_ptr<Disk> volume;
  if (platform().devices().open(strformat("\\\\.\\%c:", letter), volume) != win::kSuccess)
    return -1;
  uint32_t number = 0;
  if (volume->device_number(number) != win::kSuccess) return -1;
  return static_cast<int>(number);
}

std::vector<uint32_t> disk_manager::scan_disks() {
  std::vector<uint32_t> list;
  Devices& devices = platform().devices();
  std::vector<std::string> paths;
  if (devices.disk_interfaces(paths) != win::kSuccess) return list;
  for (const std::string& path : paths) {
    std::unique_ptr<Disk> disk;
    if (devices.open(path, disk) != win::kSuccess) continue;
    uint32_t number = 0;
    // One disk that cannot be read leaves the later disks to be looked at.
    if (disk->device_number(number) != win::kSuccess) continue;
    if (number == 0) continue;
    online_disk(number);
    DriveLayout layout;
    if (Status s = read_layout(*disk, layout); s != win::kSuccess) {
      utils::log("IOCTL_DISK_GET_DRIVE_LAYOUT_EX err is: %d\n", static_cast<int>(s));
      continue;
    }
    bool imported = false;
    for (const PartitionEntry& e : layout.partitions) {
      if (!marks_import(layout, e)) continue;
      utils::log("import dynamic disk : %d\n", static_cast<int>(number));
      import_disk(number);
      imported = true;
      break;
    }
    if (!imported) list.push_back(number);
  }
  return list;
}

std::vector<uint32_t> disk_manager::disks_without_letter() {
  std::vector<uint32_t> list = scan_disks();
  for (const std::string& root : platform().system().logical_drives()) {
    if (root.empty()) continue;
    int number = volume_disk_number(root[0]);
    if (number == -1) continue;
    auto it = std::find(list.begin(), list.end(), static_cast<uint32_t>(number));
    if (it != list.end()) list.erase(it);
  }
  return list;
}

void disk_manager::online_disk(uint32_t disk) {
  std::string output;
  run_diskpart(
      output, kDiskpartWaitMs,
      strformat("select disk %u\r\nattribute disk clear readonly\r\nonline disk\r\n", disk) +
          "exit\r\n");
}

void disk_manager::import_disk(uint32_t disk) {
  std::string output;
  run_diskpart(output, kDiskpartWaitMs,
               strformat("select disk %u\r\nattribute disk clear readonly\r\nimport\r\n", disk) +
                   "exit\r\n");
}

void disk_manager::create_partitions(const std::vector<uint32_t>& disks) {
  std::string tag, arch;
  utils::osinfo(tag, arch);
  bool old_release = tag.find("2003") != std::string::npos;
  for (uint32_t disk : disks) {
    std::string output;
    run_diskpart(
        output, kDiskpartWaitMs,
        strformat("select disk %u\r\ncreate partition primary %s\r\n%s\r\nassign\r\nexit\r\n", disk,
                  old_release ? "align=1024" : "", old_release ? "" : "format quick"));
    platform().clock().sleep_ms(3000);
  }
}

bool disk_manager::configure_disks() {
  create_partitions(disks_without_letter());
  for (int retry = 0; retry < 3; ++retry) {
    if (disks_without_letter().empty()) return true;
    platform().clock().sleep_ms(5000);
    create_partitions(disks_without_letter());
  }
  return false;
}

}  // namespace tarvik
