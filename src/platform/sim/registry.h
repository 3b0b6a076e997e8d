// The simulated registry's store: where each hive's keys live, how a key path resolves, and
// how a change reaches the files. The port's Registry (registry.cpp) and the reg verb of
// tarvik-sim are both built on it.
//
// Files, all below the machine's root:
//   <drive>/Windows/System32/config/SYSTEM, SOFTWARE   HKLM\SYSTEM and HKLM\SOFTWARE
//   sim/mounts.ini    [mounts] NAME=WINPATH: hives loaded under HKLM, until unloaded
//   sim/volatile.reg  volatile keys, headers "[HKEY_LOCAL_MACHINE\SYSTEM\...]"
//   sim/registry.lock held while a change is read, applied and written
// Every change re-reads the files under the lock and writes each file it changed
// atomically, so processes that change one hive at the same time lose nothing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/port.h"
#include "platform/sim/hive.h"
#include "platform/sim/machine.h"
#include "platform/sim/regf.h"

namespace tarvik::sim {

struct HiveRef {
  enum class Kind {
    kMachine,   // HKEY_LOCAL_MACHINE itself, above the hives
    kSystem,    // HKLM\SYSTEM of the system drive
    kSoftware,  // HKLM\SOFTWARE of the system drive
    kMount,     // a hive loaded as HKLM\<name>
    kFile,      // an offline hive file opened directly (tools)
  };
  Kind kind = Kind::kMachine;
  std::string name;  // kMount: the name it was loaded as; kFile: the host path
};

// A key: its hive and its path below the hive's root, after CurrentControlSet and the
// WOW64 view have been applied.
struct RegLocation {
  HiveRef hive;
  std::vector<std::string> path;
  bool view64 = false;  // the view later relative opens inherit
};

class RegistryStore {
 public:
  explicit RegistryStore(Machine m) : machine_(std::move(m)) {}
  const Machine& machine() const { return machine_; }

  // The key that subkey names below `from`, opened with access (RegOpenKeyEx naming).
  // Under HKLM the first component picks the hive; kFileNotFound when it names none, or
  // when CurrentControlSet cannot be resolved.
  Status resolve(const RegLocation& from, std::string_view subkey, uint32_t access,
                 RegLocation& out) const;

  // The hive's keys as a reader sees them: its file with the volatile keys laid over it.
  // A missing file is an empty hive; kKeyDeleted for a mount that is gone. scope is the
  // path of the key the reader looks at ({} for the whole hive): root holds that key with
  // everything below it, and the keys on the way to it, of which a hive is read no more
  // than that: their values and other subkeys may be missing.
  Status read(const HiveRef& hive, const std::vector<std::string>& scope,
              std::shared_ptr<const HiveKey>& root) const;
  // Re-reads the hive under the registry lock, runs fn on its keys (read as read() reads
  // them for scope) and, when fn returns success, writes the hive file and sim/volatile.reg
  // if their contents changed. fn changes only the key at scope and what is below it, and
  // may create the keys on the way to it.
  Status change(const HiveRef& hive, const std::vector<std::string>& scope,
                const std::function<Status(HiveKey& root)>& fn) const;

  // RegLoadKey / RegUnLoadKey under HKLM.
  Status load(std::string_view name, std::string_view win_file);
  Status unload(std::string_view name);
  // Names of the loaded hives, as loaded.
  std::vector<std::string> mounts() const;
  // "FILE: line N: what" of the last hive that could not be read.
  std::string last_error() const {
    std::lock_guard<std::mutex> g(error_mu_);
    return last_error_;
  }
  // Whether a host file is a hive the machine holds open without sharing (the running
  // system's, or one loaded under HKLM): opening it otherwise is ERROR_SHARING_VIOLATION.
  bool hive_file_in_use(const std::string& host) const;

  // Counts the open keys of this process inside each loaded hive (a hive with open keys
  // cannot be unloaded).
  void pin(const std::string& mount, int delta);

 private:
  struct Files {
    std::string hive_file;       // host path
    std::string volatile_child;  // the hive's name below HKLM in volatile.reg; "" none
  };
  Status locate(const HiveRef& hive, Files& out) const;
  Status mount_file(std::string_view name, std::string& stored_name, std::string& win_file) const;
  Status live_hive_path(std::string_view which, std::string& out) const;
  // The hive's keys with the volatile ones laid over them; a regf hive's from regf, as far
  // as scope, a text one's as far as scope when scoped_text; digest: of a text file's text.
  Status build(const Files& f, const std::string& vol_text, const std::vector<std::string>& scope,
               bool scoped_text, RegfFile* regf, HiveKey& root, TextDigest& digest) const;
  // A regf file opened for reading, kept while the file is the same.
  struct OpenRegf {
    TextDigest signature;  // of the file's identity and state
    std::mutex mu;         // a RegfFile is for one thread at a time
    RegfFile file;
  };
  Status open_regf(const std::string& path, std::shared_ptr<OpenRegf>& out) const;

  Machine machine_;
  mutable std::mutex mu_;
  struct Cached {
    TextDigest hive;  // of the file's text: the text itself is not kept
    std::string vol_text;
    std::shared_ptr<const HiveKey> root;
  };
  mutable std::map<std::string, Cached> cache_;  // by hive file (and scope for regf)
  mutable std::map<std::string, std::shared_ptr<OpenRegf>> regf_files_;  // by path
  std::map<std::string, int> pins_;                                      // by upper-case mount name
  mutable std::mutex error_mu_;
  mutable std::string last_error_;
};

// Error codes of the registry that port.h does not name.
inline constexpr Status kChildMustBeVolatile = 1021;  // ERROR_CHILD_MUST_BE_VOLATILE

// Whether the hive text can carry a key or value name: no line break, at most 16383
// characters. (A key name must also not start with "-", which the text reads as a deletion.)
bool storable_name(std::string_view name);

// Creates the key at path below root (and the keys on the way), as RegCreateKeyEx does:
// new keys are volatile when is_volatile; a lasting key below a volatile one is refused.
Status create_key_path(HiveKey& root, const std::vector<std::string>& path, bool is_volatile);

}  // namespace tarvik::sim
