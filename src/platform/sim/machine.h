// The simulated Windows machine: a folder named by TARVIK_SIM_ROOT that holds the
// drives (ROOT/c, ROOT/d, ...), machine.ini and the machine's own records under sim/.
// Every sim service reaches the folder through this object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port.h"
#include "platform/sim/folder_cache.h"
#include "platform/sim/ini.h"

namespace tarvik::sim {

// Whether root holds a simulated guest, which its machine.ini makes one; false with error
// naming the folder and how to make a guest there.
bool holds_guest(const std::string& root, std::string& error);

class Machine {
 public:
  // Loads ROOT/machine.ini. A folder without one is no guest (holds_guest); on a malformed
  // file returns false with error naming the file and line.
  bool load(const std::string& root, std::string& error);

  const std::string& root() const { return root_; }
  const IniFile& config() const { return config_; }
  std::string get(std::string_view section, std::string_view key, std::string_view def) const {
    return config_.get(section, key, def);
  }
  // machine.ini as it is now on disk: tools such as diskpart change its disks and
  // adapters while the agent runs. Falls back to the file as loaded.
  IniFile current_config() const;
  // The sections whose name is PREFIX.N (adapter.1, disk.2, ...), in file order.
  static std::vector<const IniSection*> numbered(const IniFile& ini, std::string_view prefix);
  // The host path of ROOT/sim/NAME.
  std::string sim_file(std::string_view name) const;

  char system_drive() const { return system_drive_; }  // lower case
  bool wow64() const;
  uint32_t codepage() const;
  // How long a process waits for one of the machine's locks ([sim] lock_wait_ms) [30000].
  uint32_t lock_wait_ms() const;

  // Maps a Windows path ("C:\a\..\B", "c:/x", "\\?\C:\x") to the host path below ROOT.
  // Components are matched exactly, then without regard to case; the rest are kept as
  // written. The folders on the way are listed once a process (FolderCache), and a copy
  // of the machine shares what its original listed. Returns 0, kPathNotFound for a path that names
  // no drive or a missing drive, or kInvalidName for a path that is not absolute.
  Status host_path(std::string_view win_path, std::string& out) const;

  // Appends one JSON object line to sim/events.jsonl or sim/calls.jsonl; the object's
  // fields come in `fields` (already JSON: "\"event\":\"x\"") and "ms" is added.
  void record_event(std::string_view fields) const;
  // Returns the number n given to the call.
  int record_call(std::string_view fields_after_n_ms, uint64_t ms) const;

  // The machine's clock. Virtual: starts at [clock] start and moves only by sleeps; the
  // elapsed milliseconds live in sim/clock.state, so later processes go on from there.
  // Real: the host's clock.
  bool virtual_clock() const { return virtual_clock_; }
  uint64_t now_ms() const;  // milliseconds since the machine's clock started
  int64_t now_unix_seconds() const;
  void advance(uint32_t ms) const;  // a sleep

 private:
  std::string root_;
  IniFile config_;
  char system_drive_ = 'c';
  bool virtual_clock_ = false;
  int64_t start_unix_ = 0;  // virtual: [clock] start; real: when this process began
  uint64_t real_start_ms_ = 0;
  std::shared_ptr<FolderCache> folders_ = std::make_shared<FolderCache>();
};

// JSON string body (without quotes) of s.
std::string json_escape(std::string_view s);

// Holds an exclusive lock on ROOT/sim/NAME.lock for the life of the object. A lock that
// another process holds for longer than the machine's lock_wait_ms ends this process with
// a message on standard error and exit code 2.
class FileLock {
 public:
  FileLock(const Machine& m, std::string_view name);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// Which file is at path and in what state (its device, inode, size and time of change):
// the same text while nothing wrote or replaced the file; "" when there is none.
std::string file_signature(const std::string& path);

// Reads a whole host file; false if it cannot be read.
bool read_host_file(const std::string& path, std::string& out);
// Writes a whole host file atomically (temporary file and rename): a reader, or a writer
// killed on the way, leaves the old file or the new one; temporaries left by writers that
// no longer run are removed. A read-only file is not replaced (false, errno EACCES); a
// replaced file keeps its mode.
bool write_host_file_atomic(const std::string& path, std::string_view data);

// write_host_file_atomic for text made in pieces: open() makes the temporary file, write()
// adds to it, commit() puts it in the file's place, discard() (or the destructor) drops
// it. Each returns false with errno set when it fails.
class AtomicFileWriter {
 public:
  explicit AtomicFileWriter(std::string path) : path_(std::move(path)) {}
  ~AtomicFileWriter() { discard(); }
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool open();
  bool write(std::string_view data);
  bool commit();
  void discard();
  // The temporary file while open: a writer that writes files by name (a library) may
  // fill it in place of write() before commit().
  const std::string& temp_path() const { return tmp_; }

 private:
  std::string path_, tmp_;
  int fd_ = -1;
};
// Windows error code for a POSIX errno from an operation on host_path.
Status win_error_from_errno(int err, const std::string& host_path);

}  // namespace tarvik::sim
