#include "platform/sim/machine.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "frame/format.h"

namespace tarvik::sim {

namespace {

uint64_t steady_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// "2025-01-06 09:49:05" as local time.
bool parse_start(const std::string& s, int64_t& out) {
  std::tm tm{};
  if (std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                  &tm.tm_min, &tm.tm_sec) != 6)
    return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  out = static_cast<int64_t>(std::mktime(&tm));
  return true;
}

// The numbers of machine.ini: section (or numbered-section prefix ending in '.'), key,
// and whether 0x hexadecimal is taken as well.
struct NumberKey {
  const char* section;
  const char* key;
  bool hex;
};
constexpr NumberKey kNumberKeys[] = {
    {"system", "codepage", false},
    {"system", "memory_mb", false},
    {"system", "hypervisor_max", true},
    {"adapter.", "index", false},
    {"adapter.", "present_after_ms", false},
    {"disk.", "number", false},
    {"disk.", "free_mb", false},
    {"device.", "install_state", false},
    {"sim", "lock_wait_ms", false},
};

// A whole number that fits in 32 bits (64 for sizes and times, which may be large).
bool valid_number(const std::string& v, bool hex, bool wide) {
  const char* digits = "0123456789";
  std::string body = v;
  if (hex && (v.rfind("0x", 0) == 0 || v.rfind("0X", 0) == 0)) {
    body = v.substr(2);
    digits = "0123456789abcdefABCDEF";
  }
  if (body.empty() || body.find_first_not_of(digits) != std::string::npos) return false;
  errno = 0;
  unsigned long long n = std::strtoull(v.c_str(), nullptr, hex ? 0 : 10);
  return errno == 0 && (wide || n <= 0xFFFFFFFFull);
}

// Every number of machine.ini is a number: "PATH:LINE: [section] key must be ..." if not.
bool check_numbers(const IniFile& ini, const std::string& path, std::string& error) {
  for (const IniSection& s : ini.sections) {
    for (const NumberKey& k : kNumberKeys) {
      std::string_view want = k.section;
      bool numbered = want.back() == '.';
      std::string name = to_lower(s.name);
      if (numbered ? name.rfind(want, 0) != 0 : name != want) continue;
      const std::string* v = s.find(k.key);
      bool wide = std::string_view(k.key) == "memory_mb" || std::string_view(k.key) == "free_mb" ||
                  std::string_view(k.key) == "present_after_ms";
      if (v == nullptr || valid_number(*v, k.hex, wide)) continue;
      error = path + ":" + std::to_string(s.line_of(k.key)) + ": [" + s.name + "] " + k.key +
              " must be a whole number" + (wide ? "" : " below 2^32") + ", not '" + *v + "'";
      return false;
    }
  }
  return true;
}

// "a.b.c.d" or "a.b.c.d:port", as [network] metadata takes it.
bool valid_endpoint(const std::string& v) {
  size_t colon = v.find(':');
  in_addr a{};
  if (::inet_pton(AF_INET, v.substr(0, colon).c_str(), &a) != 1) return false;
  if (colon == std::string::npos) return true;
  std::string port = v.substr(colon + 1);
  return !port.empty() && port.size() <= 5 &&
         port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) >= 1 &&
         std::stoul(port) <= 65535;
}

}  // namespace

bool holds_guest(const std::string& root, std::string& error) {
  struct stat st;
  if (is_dir(root) && ::stat((root + "/machine.ini").c_str(), &st) == 0 && S_ISREG(st.st_mode))
    return true;
  error = root +
          " is not a simulated guest (it has no machine.ini); make one with: tarvik-sim init " +
          root;
  return false;
}

bool Machine::load(const std::string& root, std::string& error) {
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  if (!holds_guest(root_, error)) return false;
  std::string text;
  std::string path = root_ + "/machine.ini";
  if (!read_host_file(path, text)) {
    error = path + ": cannot be read: " + std::strerror(errno);
    return false;
  }
  std::string why;
  if (!parse_ini(text, config_, why)) {
    error = path + ":" + why;
    return false;
  }
  std::string drive = to_lower(get("system", "drive", "c"));
  if (drive.size() != 1 || drive[0] < 'a' || drive[0] > 'z') {
    error = path + ": [system] drive must be one letter, not '" + drive + "'";
    return false;
  }
  system_drive_ = drive[0];
  std::string mode = to_lower(get("clock", "mode", "real"));
  if (mode != "virtual" && mode != "real") {
    error = path + ": [clock] mode must be virtual or real, not '" + mode + "'";
    return false;
  }
  virtual_clock_ = mode == "virtual";
  real_start_ms_ = steady_ms();
  start_unix_ = static_cast<int64_t>(std::time(nullptr));
  std::string start = get("clock", "start", "");
  if (virtual_clock_ && !start.empty() && !parse_start(start, start_unix_)) {
    error = path + ": [clock] start must read YYYY-MM-DD HH:MM:SS, not '" + start + "'";
    return false;
  }
  std::string metadata = get("network", "metadata", "");
  if (!metadata.empty() && !valid_endpoint(metadata)) {
    error = path + ": [network] metadata must be a dotted IPv4 address with an optional " +
            ":PORT (1-65535), not '" + metadata + "'";
    return false;
  }
  return check_numbers(config_, path, error);
}

IniFile Machine::current_config() const {
  std::string text, error;
  IniFile ini;
  if (read_host_file(root_ + "/machine.ini", text) && parse_ini(text, ini, error)) return ini;
  return config_;
}

std::vector<const IniSection*> Machine::numbered(const IniFile& ini, std::string_view prefix) {
  std::vector<const IniSection*> out;
  std::string head = to_lower(prefix) + ".";
  for (const auto& s : ini.sections)
    if (to_lower(s.name).rfind(head, 0) == 0) out.push_back(&s);
  return out;
}

std::string Machine::sim_file(std::string_view name) const {
  return root_ + "/sim/" + std::string(name);
}

bool Machine::wow64() const {
  return get("system", "wow64", "1") != "0";
}

uint32_t Machine::lock_wait_ms() const {
  return static_cast<uint32_t>(std::stoul(get("sim", "lock_wait_ms", "30000")));
}

uint32_t Machine::codepage() const {
  return static_cast<uint32_t>(std::stoul(get("system", "codepage", "65001")));
}

Status Machine::host_path(std::string_view win_path, std::string& out) const {
  std::string p(win_path);
  for (char& c : p)
    if (c == '/') c = '\\';
  if (p.rfind("\\\\?\\", 0) == 0 || p.rfind("\\\\.\\", 0) == 0) p = p.substr(4);
  if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0])))
    return win::kInvalidName;
  std::string drive_dir =
      root_ + "/" +
      std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(p[0]))));
  std::vector<std::string> parts;
  size_t pos = 2;
  while (pos < p.size()) {
    size_t next = p.find('\\', pos);
    std::string comp = p.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
    pos = next == std::string::npos ? p.size() : next + 1;
    if (comp.empty() || comp == ".") continue;
    if (comp == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(comp);
  }
  if (!folders_->resolve(drive_dir, parts, out)) return win::kPathNotFound;
  return win::kSuccess;
}

std::string json_escape(std::string_view s) {
  std::string r;
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        r += "\\\"";
        break;
      case '\\':
        r += "\\\\";
        break;
      case '\n':
        r += "\\n";
        break;
      case '\r':
        r += "\\r";
        break;
      case '\t':
        r += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          r += buf;
        } else {
          r += static_cast<char>(c);
        }
    }
  }
  return r;
}

namespace {
void append_line(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  ssize_t done = 0;
  while (done < static_cast<ssize_t>(line.size())) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += n;
  }
  ::close(fd);
}
}  // namespace

void Machine::record_event(std::string_view fields) const {
  ::mkdir((root_ + "/sim").c_str(), 0755);
  append_line(sim_file("events.jsonl"),
              "{" + std::string(fields) + ",\"ms\":" + std::to_string(now_ms()) + "}\n");
}

namespace {

// The number of the next line of calls.jsonl: one more than its lines. Read from the
// last line's "n" so that a long run does not reread the whole file at every start;
// a file whose last line does not carry its count is counted line by line.
int next_call_number(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 1;
  struct stat st;
  off_t size = ::fstat(fd, &st) == 0 ? st.st_size : 0;
  std::string tail;  // the end of the file, from the start of its last line
  bool whole_line = false;
  char buf[4096];
  off_t end = size;
  while (end > 0 && !whole_line) {
    off_t from = end > static_cast<off_t>(sizeof buf) ? end - static_cast<off_t>(sizeof buf) : 0;
    ssize_t got = ::pread(fd, buf, static_cast<size_t>(end - from), from);
    if (got != end - from) break;
    tail.insert(0, buf, static_cast<size_t>(got));
    end = from;
    size_t nl = tail.find_last_of('\n', tail.size() >= 2 ? tail.size() - 2 : 0);
    if (nl != std::string::npos && nl + 1 < tail.size()) {
      tail.erase(0, nl + 1);
      whole_line = true;
    } else if (end == 0) {
      whole_line = true;
    }
  }
  ::close(fd);
  if (size == 0) return 1;
  const char prefix[] = "{\"n\":";
  if (whole_line && tail.size() > 1 && tail.back() == '\n' && tail.find('\n') == tail.size() - 1 &&
      tail.compare(0, sizeof prefix - 1, prefix) == 0) {
    char* stop = nullptr;
    long last = std::strtol(tail.c_str() + sizeof prefix - 1, &stop, 10);
    if (stop != nullptr && *stop == ',' && last > 0) return static_cast<int>(last) + 1;
  }
  std::string text;
  int n = 1;
  if (read_host_file(path, text))
    for (char c : text)
      if (c == '\n') ++n;
  return n;
}

}  // namespace

int Machine::record_call(std::string_view fields, uint64_t ms) const {
  ::mkdir((root_ + "/sim").c_str(), 0755);
  FileLock lock(*this, "calls");
  int n = next_call_number(sim_file("calls.jsonl"));
  append_line(sim_file("calls.jsonl"), "{\"n\":" + std::to_string(n) + ",\"ms\":" +
                                           std::to_string(ms) + "," + std::string(fields) + "}\n");
  return n;
}

uint64_t Machine::now_ms() const {
  if (!virtual_clock_) return steady_ms() - real_start_ms_;
  std::string text;
  if (!read_host_file(sim_file("clock.state"), text)) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

int64_t Machine::now_unix_seconds() const {
  if (!virtual_clock_) return static_cast<int64_t>(std::time(nullptr));
  return start_unix_ + static_cast<int64_t>(now_ms() / 1000);
}

void Machine::advance(uint32_t ms) const {
  if (!virtual_clock_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  ::mkdir((root_ + "/sim").c_str(), 0755);
  FileLock lock(*this, "clock");
  uint64_t now = now_ms() + ms;
  write_host_file_atomic(sim_file("clock.state"), std::to_string(now));
}

FileLock::FileLock(const Machine& m, std::string_view name) {
  ::mkdir((m.root() + "/sim").c_str(), 0755);
  std::string path = m.sim_file(std::string(name) + ".lock");
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return;
  // Every holder keeps a lock for a moment only. One that holds it this long is stuck, and
  // waiting on would hang every process of the machine: the machine gives up, loudly.
  // (Real time: the virtual clock itself lives behind a lock.)
  const uint32_t wait_ms = m.lock_wait_ms();
  const uint64_t give_up = steady_ms() + wait_ms;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return;
    if (steady_ms() >= give_up) {
      std::fprintf(stderr, "tarvik-sim: %s has been held by another process for %u ms; giving up\n",
                   path.c_str(), wait_ms);
      std::exit(2);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool read_host_file(const std::string& path, std::string& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string data;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) data.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  out = std::move(data);
  return true;
}

namespace {

// Whether process pid still runs: it exists and has not ended as a zombie that no one has
// reaped yet.
bool process_runs(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
  std::string stat;
  if (!read_host_file("/proc/" + std::to_string(pid) + "/stat", stat)) return true;
  size_t close = stat.rfind(')');  // "PID (NAME) STATE ..."
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// Removes the temporary files of path ("NAME.tmp.PID") whose writer no longer runs: one
// killed between writing and renaming leaves its copy, which may hold secrets. A live
// writer's copy is left alone.
void remove_stale_temporaries(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(dir)) {
    std::string_view name = e->d_name;
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
    std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
      continue;
    pid_t pid = static_cast<pid_t>(std::stol(std::string(digits)));
    if (pid > 0 && pid != ::getpid() && !process_runs(pid)) stale.emplace_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) ::unlink((folder + "/" + name).c_str());
}

}  // namespace

bool AtomicFileWriter::open() {
  discard();
  // A read-only file is not replaced, as Windows refuses it; a replaced file keeps its
  // mode.
  mode_t mode = 0644;
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) {
      errno = EACCES;
      return false;
    }
    mode = st.st_mode & 07777;
  }
  remove_stale_temporaries(path_);
  tmp_ = path_ + ".tmp." + std::to_string(::getpid());
  fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  ::fchmod(fd_, mode);
  return true;
}

bool AtomicFileWriter::write(std::string_view data) {
  size_t done = 0;
  while (fd_ >= 0 && done < data.size()) {
    ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      discard();
      errno = err;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

bool AtomicFileWriter::commit() {
  if (fd_ < 0) return false;
  ::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
  if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp_.c_str());
    errno = err;
    return false;
  }
  return true;
}

void AtomicFileWriter::discard() {
  if (fd_ < 0) return;
  int err = errno;
  ::close(fd_);
  fd_ = -1;
  ::unlink(tmp_.c_str());
  errno = err;
}

std::string file_signature(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "";
  return strformat("%llu %llu %lld %lld.%09ld", static_cast<unsigned long long>(st.st_dev),
                   static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                   static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
}

bool write_host_file_atomic(const std::string& path, std::string_view data) {
  AtomicFileWriter w(path);
  return w.open() && w.write(data) && w.commit();
}

Status win_error_from_errno(int err, const std::string& host_path) {
  switch (err) {
    case 0:
      return win::kSuccess;
    case ENOENT: {
      size_t slash = host_path.rfind('/');
      if (slash != std::string::npos && !is_dir(host_path.substr(0, slash)))
        return win::kPathNotFound;
      return win::kFileNotFound;
    }
    case ENOTDIR:
      return win::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return win::kAccessDenied;
    case EEXIST:
      return win::kAlreadyExists;
    case ENOTEMPTY:
      return win::kDirNotEmpty;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EBUSY:
      return win::kBusy;
    default:
      return 1117;  // ERROR_IO_DEVICE
  }
}

}  // namespace tarvik::sim
