// The running release as an OS version tag.
#include "frame/utils.h"

namespace tarvik {

std::string os_tag_of_product_name(const std::string& product_name) {
  // Order matters: "2008 R2" before "2008", "8" before "2012", "10" before "11".
  static const struct {
    const char* contains;
    const char* tag;
  } kLadder[] = {{"2003", "2003"}, {"2008 R2", "win7"}, {"2008", "2008"}, {"7", "win7"},
                 {"8", "win8"},    {"2012", "2012"},    {"10", "win10"},  {"11", "win11"},
                 {"2022", "2022"}, {"2016", "2016"}};
  for (const auto& rung : kLadder)
    if (product_name.find(rung.contains) != std::string::npos) return rung.tag;
  return {};
}

bool utils::osinfo(std::string& tag, std::string& arch) {
  arch = is_wow64() ? "amd64" : "x86";
  RegKey key;
  Status s = platform().registry().open("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                        reg::kKeyAllAccess | reg::kWow64_64Key, key);
  if (s != win::kSuccess) {
    log("utils::osinfo RegOpenKeyEx: failed with error: %d", static_cast<int>(s));
    return false;
  }
  std::string product;
  key.query_text("ProductName", product);
  log("utils::osinfo ProductName:%s,arch:%s", product.c_str(), arch.c_str());
  std::string found = os_tag_of_product_name(product);
  if (!found.empty()) {
    tag = found;
    return true;
  }
  std::string release;
  s = key.query_text("ReleaseId", release);
  if (s == win::kSuccess) {
    log("utils::osinfo ReleaseId: %s", release.c_str());
    tag = "2016";
  } else {
    log("utils::osinfo Get ReleaseId failed with error: %d", static_cast<int>(s));
  }
  return true;
}

}  // namespace tarvik
