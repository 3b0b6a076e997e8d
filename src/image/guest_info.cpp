#include "image/guest_info.h"

#include <cctype>
#include <memory>

#include "frame/utils.h"

namespace tarvik {

namespace {

std::unique_ptr<GuestInfo>& slot() {
  static std::unique_ptr<GuestInfo> g;
  return g;
}

constexpr char kSoftwareMount[] = "_SOFTWARE";
constexpr char kSystemMount[] = "_SYSTEM";
constexpr char kSelectKey[] = "_system\\select";

// An earlier process that ended inside its mounted window (an exit report in ISO mode)
// leaves its mount behind, and loading the same name again would fail: such a mount is
// unloaded first. When that fails, the load that follows fails and is reported.
void unload_leftover(Registry& registry, const char* name) {
  RegKey leftover;
  if (registry.open(name, reg::kKeyRead, leftover) != win::kSuccess) return;
  leftover.close();
  Status s = registry.unload_hive(name);
  if (s == win::kSuccess)
    utils::log("unloaded the leftover mount %s", name);
  else
    utils::log("unloading the leftover mount %s failed, err:%d", name, static_cast<int>(s));
}

}  // namespace

GuestInfo& GuestInfo::instance() {
  if (!slot()) slot() = std::make_unique<GuestInfo>();
  return *slot();
}

void GuestInfo::reset() {
  slot().reset();
}

int GuestInfo::find_disk() {
  Files& files = platform().files();
  std::string sysdir = platform().system().system_directory();
  char own =
      sysdir.empty() ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(sysdir[0])));
  for (char c = 'a'; c <= 'y'; ++c) {
    if (c == own) continue;
    if (files.exists(strformat("%c:\\windows", c)) &&
        files.exists(strformat("%c:\\windows\\system32", c)) &&
        files.exists(strformat("%c:\\Program Files", c))) {
      drive_letter_ = c;
      return 1;
    }
  }
  return 0;
}

char GuestInfo::system_disk() {
  if (drive_letter_ != 0) return drive_letter_;
  if (find_disk() == 1) return drive_letter_;
  utils::log("TARVIK_REPORT_ERROR:%s %s", "no_system_disk", "find_disk fail");
  utils::exit_report(-1, "find_disk fail");
  return 0;
}

void GuestInfo::init_info() {
  utils::log("-->GuestInfo::init_info");
  Registry& registry = platform().registry();
  std::string path = strformat("%c:\\Windows\\System32\\config\\SOFTWARE", system_disk());
  unload_leftover(registry, kSoftwareMount);
  Status loaded = registry.load_hive(kSoftwareMount, path);
  if (loaded != win::kSuccess) {
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegLoadKey err:%d",
               static_cast<int>(loaded));
    utils::exit_report(static_cast<int>(loaded), "reg load software fail");
    return;
  }
  RegKey key;
  registry.open("_SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", reg::kKeyAllAccess, key);
  std::string buildlab;
  key.query_text("BuildLabEx", buildlab);
  utils::log("BuildLabEx value is :%s", buildlab.c_str());
  if (!buildlab.empty())
    os_arch_ = buildlab.find("amd64") != std::string::npos ? "amd64" : "x86";
  else
    os_arch_ = platform().files().exists(strformat("%c:\\Windows\\SysWOW64", system_disk()))
                   ? "amd64"
                   : "x86";
  // A failed ProductName query leaves the BuildLabEx text in the buffer, and the ladder
  // then runs on that.
  std::string product = buildlab;
  key.query_text("ProductName", product);
  utils::log("ProductName value is :%s", product.c_str());
  std::string tag = os_tag_of_product_name(product);
  if (tag.empty()) {
    std::string release;
    Status s = key.query_text("ReleaseId", release);
    if (s == win::kSuccess) {
      utils::log("ReleaseId value is: %s", release.c_str());
      tag = "2016";
    } else {
      utils::log("Get ReleaseId failed with error: %d", static_cast<int>(s));
      key.close();
      registry.unload_hive(kSoftwareMount);
      utils::exit_report(-1, "not suport %s", product.c_str());
      return;
    }
  }
  os_version_ = tag;
  key.close();
  registry.unload_hive(kSoftwareMount);
}

void GuestInfo::get_version(std::string& out) {
  if (os_version_.empty()) init_info();
  out = os_version_;
}

void GuestInfo::get_arch(std::string& out) {
  if (os_arch_.empty()) init_info();
  out = os_arch_;
}

void GuestInfo::get_version_arch(std::string& version, std::string& arch) {
  if (os_version_.empty() || os_arch_.empty()) init_info();
  version = os_version_;
  arch = os_arch_;
}

int GuestInfo::load_system_hive(bool load) {
  Registry& registry = platform().registry();
  if (load) {
    std::string path = strformat("%c:\\Windows\\System32\\config\\SYSTEM", system_disk());
    unload_leftover(registry, kSystemMount);
    Status s = registry.load_hive(kSystemMount, path);
    if (s == win::kSuccess) return 0;
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegLoadKey err:%d", static_cast<int>(s));
    utils::exit_report(static_cast<int>(s), "RegLoadKey err:%d", static_cast<int>(s));
    return -1;
  }
  Status s = registry.unload_hive(kSystemMount);
  if (s == win::kSuccess) return 0;
  utils::log("TARVIK_REPORT_ERROR:registry_access_error RegUnLoadKey err:%d", static_cast<int>(s));
  return -1;
}

RegKey GuestInfo::open_control_set() {
  Registry& registry = platform().registry();
  RegKey select;
  Status s = registry.open(kSelectKey, reg::kMaximumAllowed, select);
  if (s != win::kSuccess) {
    last_error_ = s;
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegOpenKey<%s> err:%d", kSelectKey,
               static_cast<int>(s));
    return RegKey();
  }
  uint32_t current = 0;
  s = select.query_dword("Current", current);
  select.close();
  if (s != win::kSuccess) {
    last_error_ = s;
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegQueryValueEx<%s> err:%d", kSelectKey,
               static_cast<int>(s));
    return RegKey();
  }
  std::string path = strformat("_system\\ControlSet%03u", current);
  RegKey control_set;
  s = registry.open(path, reg::kMaximumAllowed, control_set);
  if (s != win::kSuccess) {
    last_error_ = s;
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegOpenKey<%s> err:%d", path.c_str(),
               static_cast<int>(s));
    return RegKey();
  }
  return control_set;
}

}  // namespace tarvik
