// The names of the host folders that Windows paths were resolved through, kept per process
// while nothing changes them: each folder is listed once and watched (inotify), and every
// change to it, by this process or any other, is applied to the listing before the next
// path is resolved. A folder that cannot be watched is walked as it is, each time.
// A process watches only once it has resolved kWalksBeforeWatching paths: the kernel
// takes milliseconds to close an inotify instance that has watches (the process's exit
// waits for it), which a short process would pay for nothing.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarvik::sim {

class FolderCache {
 public:
  static constexpr unsigned kWalksBeforeWatching = 200;

  FolderCache() = default;
  ~FolderCache();
  FolderCache(const FolderCache&) = delete;
  FolderCache& operator=(const FolderCache&) = delete;

  // The host path of `parts` below the folder `base`: each component is the name in its
  // folder that matches it exactly, else one that matches without regard to case; from
  // the first component that names nothing (or names a file) on, components are kept as
  // written. false when base is not a folder.
  bool resolve(const std::string& base, const std::vector<std::string>& parts, std::string& out);

 private:
  struct Folder {
    int wd = -1;
    // Lower-case name -> the names in the folder that fold to it.
    std::unordered_map<std::string, std::vector<std::string>> names;
  };
  enum class Found { kFolder, kNotFolder, kUnwatched };

  bool usable();
  void drain();
  void apply(int wd, uint32_t mask, const std::string& name);
  Found folder(const std::string& host, Folder*& out);
  void forget(const std::string& host);  // host and every folder below it
  void forget_all();

  std::mutex mu_;
  int fd_ = -1;
  bool broken_ = false;  // inotify is not to be had: every path is walked
  unsigned walks_ = 0;
  unsigned generation_ = 0;
  std::map<std::string, Folder> folders_;                      // by host path
  std::unordered_map<int, std::vector<std::string>> watched_;  // wd -> host paths
};

// Without a cache: the same answer, walked with a stat for each component and a folder
// scan for each name not found exactly.
bool walk_folders(const std::string& base, const std::vector<std::string>& parts, std::string& out);

}  // namespace tarvik::sim
