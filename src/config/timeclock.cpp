// "timezone_clock" (ISO mode): the time zone of the offline installation from a city, set
// with dism, and whether its hardware clock keeps UTC.
#include "config/config.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr size_t kWordBlock = 128;

// Word i of the command line as the 128-byte block holds it; "NULL" when it is missing.
std::string word_or_null(int count, char** words, int i) {
  return i < count ? std::string(words[i]).substr(0, kWordBlock - 1) : std::string("NULL");
}

bool is_null(const std::string& word) {
  return equals_nocase(word, "NULL");
}

}  // namespace

int Config::iso_config_timeclock(int count, char** words) {
  utils::log("-->Config::iso_config_timeclock");
  int result = config_timeclock_apply(count, words);
  if (result == 0)
    utils::exit_report(0, "success code: %d", result);
  else
    utils::exit_report(0, "failed code: %d", result);
  return 0;
}

int config_timeclock_apply(int count, char** words) {
  std::string city = word_or_null(count, words, 4);
  std::string mode = word_or_null(count, words, 5);
  utils::log("Param: City %s, utc %s", city.c_str(), mode.c_str());
  if (is_null(city)) {
    if (is_null(mode)) return 1;
    utils::log("Config utc or localtime:");
    return config_utc::iso_set_utc(mode);
  }
  std::string timezone = get_timezone_from_city(city);
  if (timezone.empty()) {
    utils::log("Check timezone from city failed");
    return -100;
  }
  if (is_null(mode)) {
    utils::log("Config timezone:");
    return set_timezone_offline(timezone);
  }
  utils::log("Config timezone and utc:");
  int result = set_timezone_offline(timezone);
  if (result != 0) {
    utils::log("Config timezone failed. Do not continue.");
    return result;
  }
  result = config_utc::iso_set_utc(mode);
  if (result != 0)
    utils::log("Config timezone success but config utc or localtime failed.");
  else
    utils::log("Config timezone and utc or localtime both success");
  return result;
}

std::string get_timezone_from_city(const std::string& city) {
  utils::log("--> --> get_timezone_from_city: %s ", city.c_str());
  std::string file = strformat("%c:\\ProgramData\\kovenu\\tarvik\\citymaptz.ini",
                               GuestInfo::instance().system_disk());
  Files& files = platform().files();
  std::string timezone;
  files.profile_get("timezone", city.c_str(), "China Standard Time", timezone, 1024, file);
  Status s = files.last_error();
  if (s != win::kSuccess) {
    utils::log("Failed to get timezone from map table file %s with code %d.", file.c_str(),
               static_cast<int>(s));
    return "";
  }
  utils::log("Get timezone success. Value is %s", timezone.c_str());
  return timezone;
}

int set_timezone_offline(const std::string& timezone) {
  GuestInfo& guest = GuestInfo::instance();
  char drive = guest.system_disk();
  std::string version, arch;
  guest.get_version_arch(version, arch);
  if (contains_nocase(version, "2003") || contains_nocase(version, "2008")) return -101;
  std::string cmd = strformat("dism /image:%c:\\ /Set-TimeZone:\"%s\"", drive, timezone.c_str());
  std::string out;
  int code = utils::run_cmd(cmd, out);
  utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), code, out.c_str());
  return code;
}

int config_utc::iso_set_utc(const std::string& mode) {
  GuestInfo& guest = GuestInfo::instance();
  if (guest.load_system_hive(true) != 0) return -1001;
  RegKey control_set = guest.open_control_set();
  if (!control_set) {
    guest.load_system_hive(false);
    utils::exit_report(-1, "inst_utctime reg open current control set fail");
    return -1001;
  }
  utils::log("-->config_utc::iso_set_utc with param %s", mode.c_str());
  int result = -1000;
  if (equals_nocase(mode, "utc"))
    result = change_UTC_Value(control_set, 1);
  else if (equals_nocase(mode, "localtime"))
    result = change_UTC_Value(control_set, 0);
  control_set.close();
  guest.load_system_hive(false);
  utils::log("-->config_utc::iso_set_utc return value %d", result);
  return result;
}

int change_UTC_Value(const RegKey& control_set, uint32_t value) {
  utils::log("-->-->change_UTC_Value");
  RegKey key;
  Status s = control_set.create("Control\\TimeZoneInformation", reg::kOptionNonVolatile,
                                reg::kKeyAllAccess, key);
  if (s != win::kSuccess) {
    utils::exit_report(static_cast<int>(s), "open TimeZoneInformation key failed.");
    return -1002;
  }
  s = key.set_dword("RealTimeIsUniversal", value);
  utils::log("-->-->change_UTC_Value with return value %d", static_cast<int>(s));
  return s == win::kSuccess ? 0 : -1003;
}

}  // namespace tarvik
