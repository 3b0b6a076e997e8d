// "pagefile" (ISO mode): a page file for the offline installation when its setting is
// empty and the command asks for one.
#include <climits>
#include <cstdlib>

#include "config/config.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr char kMemoryManagement[] = "Control\\Session Manager\\Memory Management";
constexpr char kPagingFiles[] = "PagingFiles";
constexpr uint32_t kMaxGb = 8;

}  // namespace

int Config::iso_config_pagefile(int count, char** words) {
  utils::log("iso config pagefile.");
  std::string tag;
  GuestInfo::instance().get_version(tag);
  if (count < 6) {
    utils::log("Invalid args, please check your input.");
    utils::exit_report(0, "failed : Invalid pagefile args, please check your input.");
    return 0;
  }
  utils::log("Receive pagefile setting: %s, %s", words[4], words[5]);
  int memory_mb = decimal_int(words[5]);
  if (!contains_nocase(tag, "2003") && pagefile_wanted(words[4], memory_mb))
    enable_pagefile_with_hive();
  utils::exit_report(0, "success code: %d", 0);
  return 0;
}

int decimal_int(const char* text) {
  long long v = std::strtoll(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool pagefile_wanted(const std::string& setting, int memory_mb) {
  if (contains_nocase(setting, "enable")) return true;
  uint32_t gb = static_cast<uint32_t>(memory_mb) / 1024;
  utils::log("Get Memory Size: %d GB", static_cast<int>(gb));
  return contains_nocase(setting, "default") && gb <= kMaxGb;
}

int enable_pagefile_with_hive() {
  utils::log("--> Enable Page File in sperate interface.");
  GuestInfo& target = GuestInfo::instance();
  if (target.load_system_hive(true) != 0) return -1;
  RegKey control_set = target.open_control_set();
  if (!control_set) {
    target.load_system_hive(false);
    utils::exit_report(-1, "enable_pagefile reg open control fail");
    return -1;
  }
  set_paging_file_if_empty(control_set);
  control_set.close();
  target.load_system_hive(false);
  utils::log("--> Enable Page File function finishes.");
  return 0;
}

void set_paging_file_if_empty(const RegKey& control_set) {
  RegKey key;
  Status s = control_set.open(kMemoryManagement, reg::kKeyAllAccess, key);
  if (s != win::kSuccess) {
    utils::log("Open %s failed with code %d.", kMemoryManagement, static_cast<int>(s));
    return;
  }
  RegValue value;
  s = key.query(kPagingFiles, value);
  if (s != win::kSuccess) {
    // A missing value stays missing: only an empty one is filled in.
    utils::log("Query %s value failed with code %d.", kPagingFiles, static_cast<int>(s));
    return;
  }
  if (value.data.size() > 2) {
    utils::log("Page file value already set. Data size %d", static_cast<int>(value.data.size()));
    return;
  }
  // The single string and its terminator: 16 bytes.
  static constexpr char kPageFile[] = "?:\\pagefile.sys";
  s = key.set(kPagingFiles, RegValue{reg::kMultiSz, std::string(kPageFile, sizeof kPageFile)});
  utils::log("set Page file value result: %d", static_cast<int>(s));
}

}  // namespace tarvik
