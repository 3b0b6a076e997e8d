#include "frame/utils.h"

namespace tarvik {

bool utils::copy_folder(std::string source, std::string target, const char* pattern) {
  Files& files = platform().files();
  if (!files.exists(source)) return false;
  if (!files.exists(target)) {
    if (Status s = files.create_directory(target); s != win::kSuccess) {
      exit_report(static_cast<int>(s), "copy_folder create dir err");
      return false;
    }
  }
  std::vector<DirEntry> entries;
  if (files.list(source, "*.*", entries) != win::kSuccess) return false;
  for (const DirEntry& e : entries) {
    std::string from = source + "\\" + e.name;
    std::string to = target + "\\" + e.name;
    if (e.attributes & attr::kDirectory) {
      if (!e.name.empty() && e.name[0] == '.') continue;
      // Sub-folders are copied whole: the pattern is for the top folder only.
      if (!copy_folder(from, to, nullptr)) return false;
      continue;
    }
    if (pattern != nullptr && !path_match_spec(e.name, pattern)) continue;
    uint32_t attributes = 0;
    if (files.get_attributes(to, attributes) == win::kSuccess)
      files.set_attributes(to, attributes & ~attr::kReadOnly);
    if (Status s = files.copy_file(from, to, false); s != win::kSuccess) {
      exit_report(static_cast<int>(s), "CopyFile %s fail", from.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace tarvik
