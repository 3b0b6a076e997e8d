#include "platform/sim/folder_cache.h"

#include <dirent.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

#include "platform/port.h"
#include "platform/sim/ini.h"

namespace tarvik::sim {

namespace {

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A forked child shares the parent's inotify descriptor: were it to read the events, the
// parent would lose them. Each fork moves the generation on, and a cache made in another
// generation is not used.
std::atomic<unsigned> fork_generation{1};
void after_fork_in_child() {
  fork_generation.fetch_add(1);
}

constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

bool walk_folders(const std::string& base, const std::vector<std::string>& parts,
                  std::string& out) {
  if (!is_dir(base)) return false;
  std::string host = base;
  for (const auto& comp : parts) {
    std::string exact = host + "/" + comp;
    struct stat st;
    if (::lstat(exact.c_str(), &st) != 0 && is_dir(host)) {
      if (DIR* d = ::opendir(host.c_str())) {
        while (dirent* e = ::readdir(d)) {
          if (equals_nocase(e->d_name, comp)) {
            exact = host + "/" + e->d_name;
            break;
          }
        }
        ::closedir(d);
      }
    }
    host = exact;
  }
  out = host;
  return true;
}

FolderCache::~FolderCache() {
  if (fd_ >= 0 && generation_ == fork_generation.load()) ::close(fd_);
}

bool FolderCache::usable() {
  if (broken_) return false;
  if (fd_ < 0) {
    if (walks_ < kWalksBeforeWatching) {
      ++walks_;
      return false;
    }
    static const bool registered = [] {
      return ::pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    }();
    fd_ = registered ? ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    generation_ = fork_generation.load();
    if (fd_ < 0) broken_ = true;
    return !broken_;
  }
  if (generation_ != fork_generation.load()) {
    broken_ = true;  // a forked child: the descriptor is the parent's
    return false;
  }
  return true;
}

void FolderCache::drain() {
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN: every change so far is applied
    }
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (e->mask & IN_Q_OVERFLOW) {
        forget_all();
        continue;
      }
      apply(e->wd, e->mask, e->len ? std::string(e->name) : std::string());
    }
  }
}

void FolderCache::apply(int wd, uint32_t mask, const std::string& name) {
  auto w = watched_.find(wd);
  if (w == watched_.end()) return;
  std::vector<std::string> hosts = w->second;
  for (const auto& host : hosts) {
    if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
      forget(host);
      continue;
    }
    auto f = folders_.find(host);
    if (f == folders_.end()) continue;
    auto& same = f->second.names[to_lower(name)];
    if (mask & (IN_CREATE | IN_MOVED_TO)) {
      if (std::find(same.begin(), same.end(), name) == same.end()) same.push_back(name);
    } else if (mask & (IN_DELETE | IN_MOVED_FROM)) {
      std::erase(same, name);
      if (same.empty()) f->second.names.erase(to_lower(name));
      forget(host + "/" + name);  // a folder that went, with what was below it
    }
  }
}

void FolderCache::forget(const std::string& host) {
  auto drop = [&](std::map<std::string, Folder>::iterator it) {
    auto w = watched_.find(it->second.wd);
    if (w != watched_.end()) {
      std::erase(w->second, it->first);
      if (w->second.empty()) {
        ::inotify_rm_watch(fd_, w->first);
        watched_.erase(w);
      }
    }
    return folders_.erase(it);
  };
  if (auto it = folders_.find(host); it != folders_.end()) drop(it);
  // Below host: the paths that begin "host/" ('/' + 1 is '0').
  for (auto it = folders_.lower_bound(host + "/"); it != folders_.end() && it->first < host + "0";)
    it = drop(it);
}

void FolderCache::forget_all() {
  for (const auto& [wd, hosts] : watched_) ::inotify_rm_watch(fd_, wd);
  watched_.clear();
  folders_.clear();
}

FolderCache::Found FolderCache::folder(const std::string& host, Folder*& out) {
  if (auto it = folders_.find(host); it != folders_.end()) {
    out = &it->second;
    return Found::kFolder;
  }
  // Watched first, then listed: a change made meanwhile is in the events, and applying
  // it to a listing that already has it changes nothing.
  int wd = ::inotify_add_watch(fd_, host.c_str(), kWatchMask);
  if (wd < 0) return errno == ENOENT || errno == ENOTDIR ? Found::kNotFolder : Found::kUnwatched;
  DIR* d = ::opendir(host.c_str());
  if (!d) {
    if (watched_.find(wd) == watched_.end()) ::inotify_rm_watch(fd_, wd);
    return Found::kNotFolder;
  }
  Folder f;
  f.wd = wd;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") f.names[to_lower(name)].push_back(name);
  }
  ::closedir(d);
  watched_[wd].push_back(host);
  out = &(folders_[host] = std::move(f));
  return Found::kFolder;
}

bool FolderCache::resolve(const std::string& base, const std::vector<std::string>& parts,
                          std::string& out) {
  std::lock_guard<std::mutex> g(mu_);
  if (!usable()) return walk_folders(base, parts, out);
  drain();
  Folder* f = nullptr;
  switch (folder(base, f)) {
    case Found::kNotFolder:
      return false;
    case Found::kUnwatched:
      return walk_folders(base, parts, out);
    case Found::kFolder:
      break;
  }
  std::string host = base;
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string& comp = parts[i];
    const std::string* name = &comp;
    if (f) {
      auto it = f->names.find(to_lower(comp));
      if (it != f->names.end() &&
          std::find(it->second.begin(), it->second.end(), comp) == it->second.end())
        name = &it->second.front();
      else if (it == f->names.end())
        f = nullptr;  // nothing of that name: the rest is kept as written
    }
    host += "/";
    host += *name;
    if (f && i + 1 < parts.size()) {
      switch (folder(host, f)) {
        case Found::kFolder:
          break;
        case Found::kNotFolder:
          f = nullptr;
          break;
        case Found::kUnwatched: {
          std::vector<std::string> rest(parts.begin() + static_cast<long>(i) + 1, parts.end());
          if (walk_folders(host, rest, out)) return true;
          f = nullptr;  // gone meanwhile: the rest as written
          break;
        }
      }
    }
  }
  out = host;
  return true;
}

}  // namespace tarvik::sim
