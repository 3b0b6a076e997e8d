// The simulated registry: RegistryStore (registry.h) and the port's Registry on top of it.
#include "platform/sim/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "platform/sim/effects.h"
#include "platform/sim/ini.h"
#include "platform/sim/regf.h"
#include "platform/sim/services.h"

namespace tarvik::sim {

namespace {

constexpr std::string_view kMachinePrefix = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kMountsSection = "mounts";

// Keys directly below HKLM that exist on every Windows machine: none of them can be loaded
// over or unloaded.
bool is_builtin_hive(std::string_view name) {
  for (std::string_view b : {"SYSTEM", "SOFTWARE", "HARDWARE", "SAM", "SECURITY"})
    if (equals_nocase(name, b)) return true;
  return false;
}

// sim/mounts.ini; false (said on standard error with file and line) when it is malformed,
// and then nothing may be loaded or unloaded: the file would be rewritten without the
// mounts it holds, and a hive mounted twice.
bool read_mounts_ini(const Machine& m, IniFile& ini) {
  std::string path = m.sim_file("mounts.ini"), text, error;
  ini = {};
  if (!read_host_file(path, text) || parse_ini(text, ini, error)) return true;
  std::fprintf(stderr, "tarvik sim: %s:%s; no hive can be loaded or unloaded until it is mended\n",
               path.c_str(), error.c_str());
  ini = {};
  return false;
}

// Lays the volatile keys of one hive (from volatile.reg) over the keys of its file.
void merge_volatile(const HiveKey& from, HiveKey& into) {
  for (const auto& c : from.subkeys) {
    HiveKey* have = into.child(c->name);
    if (have && !have->is_volatile) {
      merge_volatile(*c, *have);
    } else if (!have) {
      HiveKey* k = into.add_child(c->name);
      *k = *c;
      std::function<void(HiveKey&)> mark = [&](HiveKey& x) {
        x.is_volatile = true;
        for (auto& s : x.subkeys) mark(*s);
      };
      mark(*k);
    }
  }
}

// The volatile keys of a tree with the keys on the way to them, or nullptr when it has none.
std::unique_ptr<HiveKey> volatile_part(const HiveKey& k) {
  if (k.is_volatile) return std::make_unique<HiveKey>(k);
  std::unique_ptr<HiveKey> r;
  for (const auto& c : k.subkeys) {
    if (auto p = volatile_part(*c)) {
      if (!r) r = std::make_unique<HiveKey>(k.name);
      r->subkeys.push_back(std::move(p));
    }
  }
  return r;
}

std::string format_volatile_text(const HiveKey& machine) {
  std::string out(kRegTextHeader);
  out += "\n\n";
  append_reg_tree(out, machine, std::string(kMachinePrefix), RegTreePart::kVolatile, false, "\n");
  return out;
}

Status parse_volatile_text(const std::string& text, HiveKey& machine) {
  std::vector<RegTextKey> keys;
  std::string error;
  if (!parse_reg_text(text, keys, error) ||
      !apply_reg_text(keys, kMachinePrefix, true, machine, error))
    return win::kRegistryCorrupt;
  return win::kSuccess;
}

Status write_file(const std::string& path, const std::string& text) {
  if (write_host_file_atomic(path, text)) return win::kSuccess;
  return win_error_from_errno(errno ? errno : EIO, path);
}

}  // namespace

bool storable_name(std::string_view name) {
  return name.find_first_of("\r\n") == std::string_view::npos && name.size() <= 16383;
}

// ---------------------------------------------------------------------------------------
// RegistryStore

Status RegistryStore::live_hive_path(std::string_view which, std::string& out) const {
  std::string win = std::string(1, machine_.system_drive()) + ":\\Windows\\System32\\config\\" +
                    std::string(which);
  return machine_.host_path(win, out);
}

Status RegistryStore::mount_file(std::string_view name, std::string& stored_name,
                                 std::string& win_file) const {
  IniFile ini;
  read_mounts_ini(machine_, ini);
  if (const IniSection* s = ini.find(kMountsSection))
    for (const auto& [k, v] : s->keys)
      if (equals_nocase(k, name)) {
        stored_name = k;
        win_file = v;
        return win::kSuccess;
      }
  return win::kFileNotFound;
}

std::vector<std::string> RegistryStore::mounts() const {
  std::vector<std::string> r;
  IniFile ini;
  read_mounts_ini(machine_, ini);
  if (const IniSection* s = ini.find(kMountsSection))
    for (const auto& kv : s->keys) r.push_back(kv.first);
  return r;
}

Status RegistryStore::locate(const HiveRef& hive, Files& out) const {
  Files f;
  Status s = win::kSuccess;
  switch (hive.kind) {
    case HiveRef::Kind::kSystem:
      s = live_hive_path("SYSTEM", f.hive_file);
      f.volatile_child = "SYSTEM";
      break;
    case HiveRef::Kind::kSoftware:
      s = live_hive_path("SOFTWARE", f.hive_file);
      f.volatile_child = "SOFTWARE";
      break;
    case HiveRef::Kind::kMount: {
      std::string win;
      // Unloaded (by this or another process) since the key was opened.
      if (mount_file(hive.name, f.volatile_child, win) != win::kSuccess) return win::kKeyDeleted;
      s = machine_.host_path(win, f.hive_file);
      break;
    }
    case HiveRef::Kind::kFile:
      f.hive_file = hive.name;
      break;
    case HiveRef::Kind::kMachine:
      return win::kInvalidParameter;
  }
  if (s == win::kSuccess) out = std::move(f);
  return s;
}

namespace {

// The digest of a hive file as build() takes it (a missing file is an empty hive).
TextDigest file_digest(const std::string& path) {
  TextDigest d;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string buf(fd >= 0 ? read_piece_size(fd) : 0, '\0');
  bool ok = fd >= 0;
  while (ok) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    d.add(std::string_view(buf.data(), static_cast<size_t>(n)));
  }
  if (fd >= 0) ::close(fd);
  if (!ok) {
    d = TextDigest();
    d.add(format_hive_text(HiveKey()));
  }
  return d;
}

// The digest of the text the stable keys of root make: whether a change changed them.
TextDigest tree_digest(const HiveKey& root) {
  TextDigest d;
  write_hive_text(root, [&](std::string_view piece) { d.add(piece); });
  return d;
}

// Of the stable key at scope and all below it, or of its absence.
TextDigest scope_digest(const HiveKey& root, const std::vector<std::string>& scope) {
  const HiveKey* k = root.find(scope);
  if (!k || k->is_volatile) return TextDigest();
  return tree_digest(*k);
}

// Which file a regf hive is, by identity and state: the file its reader mapped is still
// the file at path while this is the same (every write puts a new file in its place).
TextDigest regf_signature(const std::string& path) {
  TextDigest d;
  d.add(file_signature(path));
  return d;
}

std::string scope_text(const std::vector<std::string>& scope) {
  return to_upper(join_key_path(scope));
}

}  // namespace

Status RegistryStore::build(const Files& f, const std::string& vol_text,
                            const std::vector<std::string>& scope, bool scoped_text, RegfFile* regf,
                            HiveKey& root, TextDigest& digest) const {
  std::string error;
  Status s = win::kSuccess;
  if (regf) {
    s = regf->read(scope, root, error);
  } else if (!read_hive_file(f.hive_file, root, error, s, &digest,
                             scoped_text && !scope.empty() ? &scope : nullptr)) {
    // The file is read in pieces and never held whole; a missing one is an empty hive.
    digest = TextDigest();
    std::string empty = format_hive_text(HiveKey());
    digest.add(empty);
    root = HiveKey();
    s = win::kSuccess;
  } else if (s != win::kSuccess) {
    error = f.hive_file + ": " + error;
  }
  if (s != win::kSuccess) {
    std::lock_guard<std::mutex> g(error_mu_);  // read() may hold mu_ already
    last_error_ = error;                       // names the file
    return s;
  }
  if (f.volatile_child.empty() || vol_text.empty()) return s;
  HiveKey machine;
  s = parse_volatile_text(vol_text, machine);
  if (s != win::kSuccess) return s;
  if (const HiveKey* mine = machine.child(f.volatile_child)) merge_volatile(*mine, root);
  return win::kSuccess;
}

Status RegistryStore::open_regf(const std::string& path, std::shared_ptr<OpenRegf>& out) const {
  TextDigest signature = regf_signature(path);
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = regf_files_.find(path);
    if (it != regf_files_.end() && it->second->signature == signature) {
      out = it->second;
      return win::kSuccess;
    }
  }
  auto file = std::make_shared<OpenRegf>();
  file->signature = signature;
  std::string error;
  Status s = file->file.open(path, machine_.codepage(), false, error);
  if (s != win::kSuccess) {
    std::lock_guard<std::mutex> g(error_mu_);
    last_error_ = error;
    return s;
  }
  std::lock_guard<std::mutex> g(mu_);
  regf_files_[path] = file;
  out = std::move(file);
  return win::kSuccess;
}

Status RegistryStore::read(const HiveRef& hive, const std::vector<std::string>& scope,
                           std::shared_ptr<const HiveKey>& out) const {
  Files f;
  Status s = locate(hive, f);
  if (s != win::kSuccess) return s;
  std::string vol_text;
  if (!f.volatile_child.empty()) read_host_file(machine_.sim_file("volatile.reg"), vol_text);
  // A hive is read as far as the scope: a real one through libhivex, a text one by
  // building only the scope's blocks. A text hive read whole (by a change) serves every
  // scope.
  const bool regf = file_is_regf(f.hive_file);
  const std::string whole_key = f.hive_file + "|" + to_upper(f.volatile_child);
  std::string cache_key = whole_key;
  if (regf || !scope.empty()) cache_key += "|" + scope_text(scope);
  {
    // The keys read before, while the file is the same.
    std::lock_guard<std::mutex> g(mu_);
    auto it = cache_.find(cache_key);
    if (!regf && it == cache_.end()) it = cache_.find(whole_key);
    if (it != cache_.end() && it->second.vol_text == vol_text &&
        it->second.hive == (regf ? regf_signature(f.hive_file) : file_digest(f.hive_file))) {
      out = it->second.root;
      return win::kSuccess;
    }
  }
  auto root = std::make_shared<HiveKey>();
  TextDigest digest;
  std::shared_ptr<OpenRegf> file;
  std::unique_lock<std::mutex> file_lock;
  if (regf) {
    s = open_regf(f.hive_file, file);
    if (s != win::kSuccess) return s;
    digest = file->signature;
    file_lock = std::unique_lock<std::mutex>(file->mu);
  }
  s = build(f, vol_text, scope, true, file ? &file->file : nullptr, *root, digest);
  if (s != win::kSuccess) return s;
  std::lock_guard<std::mutex> g(mu_);
  cache_[cache_key] = Cached{digest, std::move(vol_text), root};
  out = std::move(root);
  return win::kSuccess;
}

Status RegistryStore::change(const HiveRef& hive, const std::vector<std::string>& scope,
                             const std::function<Status(HiveKey& root)>& fn) const {
  FileLock lock(machine_, "registry");
  Files f;
  Status s = locate(hive, f);
  if (s != win::kSuccess) return s;
  std::string vol_text;
  std::string vol_file = machine_.sim_file("volatile.reg");
  if (!f.volatile_child.empty()) read_host_file(vol_file, vol_text);
  std::unique_ptr<RegfFile> regf;
  if (file_is_regf(f.hive_file)) {
    // A real hive stays one: changed through libhivex as far as the scope, the rest of
    // the file kept as it is.
    regf = std::make_unique<RegfFile>();
    std::string error;
    s = regf->open(f.hive_file, machine_.codepage(), true, error);
    if (s != win::kSuccess) {
      std::lock_guard<std::mutex> g(error_mu_);
      last_error_ = error;
      return s;
    }
  }
  HiveKey root;
  TextDigest before;
  // A text hive is written whole, so it is read whole.
  s = build(f, vol_text, scope, false, regf.get(), root, before);
  if (s != win::kSuccess) return s;
  auto vol_before = volatile_part(root);
  TextDigest scope_before;
  if (regf) scope_before = scope_digest(root, scope);

  s = fn(root);
  if (s != win::kSuccess) return s;

  std::error_code ec;  // the live hives' folder is made on the first write
  if (hive.kind == HiveRef::Kind::kSystem || hive.kind == HiveRef::Kind::kSoftware)
    std::filesystem::create_directories(std::filesystem::path(f.hive_file).parent_path(), ec);
  auto vol_after = volatile_part(root);
  std::string vol_before_text = vol_before ? format_volatile_text(*vol_before) : "";
  std::string vol_after_text = vol_after ? format_volatile_text(*vol_after) : "";
  bool vol_changed = !f.volatile_child.empty() && vol_before_text != vol_after_text;
  TextDigest after;
  if (regf) {
    if (!(scope_digest(root, scope) == scope_before)) {
      durable_effect(machine_);
      std::string error;
      s = regf->write(scope, root, error);
      if (s == win::kSuccess) s = regf->commit(f.hive_file, error);
      if (s != win::kSuccess) {
        std::lock_guard<std::mutex> g(error_mu_);
        last_error_ = error;
        return s;
      }
    } else if (vol_changed) {
      durable_effect(machine_);
    }
    after = regf_signature(f.hive_file);
  } else {
    // The hive's text goes to a temporary file as it is made, and takes the file's place
    // only when it differs from what the file held.
    AtomicFileWriter out(f.hive_file);
    bool writing = out.open();
    int err = writing ? 0 : errno;
    write_hive_text(root, [&](std::string_view piece) {
      after.add(piece);
      if (writing && !out.write(piece)) writing = false, err = errno;
    });
    if (!(after == before)) {
      durable_effect(machine_);
      if (!writing || !out.commit())
        return win_error_from_errno(err ? err : errno ? errno : EIO, f.hive_file);
    } else {
      out.discard();
      if (vol_changed) durable_effect(machine_);
    }
  }

  if (vol_changed) {
    HiveKey machine;
    s = parse_volatile_text(vol_text, machine);
    if (s != win::kSuccess) return s;
    machine.remove_child(f.volatile_child);
    if (vol_after) {
      vol_after->name = f.volatile_child;
      *machine.add_child(f.volatile_child) = std::move(*vol_after);
    }
    std::string text = format_volatile_text(machine);
    s = write_file(vol_file, text);
    if (s != win::kSuccess) return s;
    vol_text = std::move(text);
  }
  std::lock_guard<std::mutex> g(mu_);
  std::string cache_key = f.hive_file + "|" + to_upper(f.volatile_child);
  if (regf) cache_key += "|" + scope_text(scope);
  cache_[cache_key] =
      Cached{after, std::move(vol_text), std::make_shared<HiveKey>(std::move(root))};
  return win::kSuccess;
}

Status RegistryStore::resolve(const RegLocation& from, std::string_view subkey, uint32_t access,
                              RegLocation& out) const {
  std::vector<std::string> rel = split_key_path(subkey);
  RegLocation loc;
  if (from.hive.kind == HiveRef::Kind::kMachine) {
    if (rel.empty()) {
      out = RegLocation{};
      return win::kSuccess;
    }
    const std::string first = rel.front();
    rel.erase(rel.begin());
    if (equals_nocase(first, "SYSTEM")) {
      loc.hive.kind = HiveRef::Kind::kSystem;
    } else if (equals_nocase(first, "SOFTWARE")) {
      loc.hive.kind = HiveRef::Kind::kSoftware;
    } else {
      std::string win;
      loc.hive.kind = HiveRef::Kind::kMount;
      if (mount_file(first, loc.hive.name, win) != win::kSuccess) return win::kFileNotFound;
    }
  } else {
    loc.hive = from.hive;
    loc.path = from.path;
    loc.view64 = from.view64;
  }
  loc.path.insert(loc.path.end(), rel.begin(), rel.end());

  // CurrentControlSet is a link of the running system's SYSTEM hive to the control set
  // that Select\Current names.
  if (loc.hive.kind == HiveRef::Kind::kSystem && !loc.path.empty() &&
      equals_nocase(loc.path[0], "CurrentControlSet")) {
    std::shared_ptr<const HiveKey> root;
    Status s = read(loc.hive, {"Select"}, root);
    if (s != win::kSuccess) return s;
    const HiveKey* select = root->child("Select");
    const RegValue* current = select ? select->value("Current") : nullptr;
    uint32_t n = 0;
    if (!current || current->type != reg::kDword || !current->as_dword(n))
      return win::kFileNotFound;
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", n);
    loc.path[0] = name;
  }

  // WOW64: the 32-bit view of SOFTWARE\X is SOFTWARE\Wow6432Node\X. A relative open without
  // a view flag stays in the view of the key it starts from.
  if (loc.hive.kind == HiveRef::Kind::kSoftware && machine_.wow64()) {
    if (access & reg::kWow64_64Key)
      loc.view64 = true;
    else if (access & reg::kWow64_32Key)
      loc.view64 = false;
    if (!loc.view64 && !loc.path.empty() && !equals_nocase(loc.path[0], "Wow6432Node"))
      loc.path.insert(loc.path.begin(), "Wow6432Node");
  }
  out = std::move(loc);
  return win::kSuccess;
}

bool RegistryStore::hive_file_in_use(const std::string& host) const {
  std::vector<std::string> in_use(2);
  live_hive_path("SYSTEM", in_use[0]);
  live_hive_path("SOFTWARE", in_use[1]);
  for (const auto& n : mounts()) {
    std::string stored, w, h;
    if (mount_file(n, stored, w) == win::kSuccess && machine_.host_path(w, h) == win::kSuccess)
      in_use.push_back(h);
  }
  // The same file by identity, whatever path names it.
  struct stat want;
  bool have = ::stat(host.c_str(), &want) == 0;
  return std::any_of(in_use.begin(), in_use.end(), [&](const std::string& h) {
    struct stat st;
    if (have && ::stat(h.c_str(), &st) == 0)
      return st.st_dev == want.st_dev && st.st_ino == want.st_ino;
    return h == host;
  });
}

Status RegistryStore::load(std::string_view name, std::string_view win_file) {
  if (name.empty() || name.find('\\') != std::string_view::npos || !storable_name(name))
    return win::kInvalidParameter;
  FileLock lock(machine_, "registry");
  IniFile ini;
  if (!read_mounts_ini(machine_, ini)) return win::kRegistryCorrupt;
  // A name that is already a key of HKLM: RegLoadKey answers ERROR_ACCESS_DENIED.
  std::string stored, loaded_file;
  if (is_builtin_hive(name) || mount_file(name, stored, loaded_file) == win::kSuccess)
    return win::kAccessDenied;
  std::string host;
  Status s = machine_.host_path(win_file, host);
  if (s != win::kSuccess) return s;
  if (hive_file_in_use(host)) return win::kSharingViolation;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) return win_error_from_errno(errno, host);
  if (S_ISDIR(st.st_mode)) return win::kAccessDenied;
  std::string text, error;
  HiveKey root;
  if (file_is_regf(host)) {
    RegfFile file;  // opening checks the file's structure, as loading a hive does
    s = file.open(host, machine_.codepage(), false, error);
  } else {
    if (!read_host_file(host, text)) return win_error_from_errno(errno, host);
    s = parse_hive_text(text, root, error);
  }
  if (s != win::kSuccess) return s;

  if (!ini.find(kMountsSection)) ini.sections.push_back({std::string(kMountsSection), 0, {}, {}});
  for (auto& sec : ini.sections)
    if (equals_nocase(sec.name, kMountsSection)) sec.keys.emplace_back(name, win_file);
  durable_effect(machine_);
  return write_file(machine_.sim_file("mounts.ini"), format_ini(ini));
}

Status RegistryStore::unload(std::string_view name) {
  FileLock lock(machine_, "registry");
  IniFile ini;
  if (!read_mounts_ini(machine_, ini)) return win::kRegistryCorrupt;
  std::string stored, win;
  if (mount_file(name, stored, win) != win::kSuccess) {
    // RegUnLoadKey of a key that is no loaded hive: ERROR_INVALID_PARAMETER; the system's
    // own hives cannot be unloaded: ERROR_ACCESS_DENIED.
    return is_builtin_hive(name) ? win::kAccessDenied : win::kInvalidParameter;
  }
  {
    std::lock_guard<std::mutex> g(mu_);
    auto it = pins_.find(to_upper(stored));
    if (it != pins_.end() && it->second > 0) return win::kAccessDenied;  // keys still open
  }
  // Every change has been written to the hive file already: only the mount and the hive's
  // volatile keys go.
  for (auto& sec : ini.sections)
    if (equals_nocase(sec.name, kMountsSection))
      std::erase_if(sec.keys, [&](const auto& kv) { return equals_nocase(kv.first, stored); });
  durable_effect(machine_);
  Status s = write_file(machine_.sim_file("mounts.ini"), format_ini(ini));
  if (s != win::kSuccess) return s;
  std::string vol_file = machine_.sim_file("volatile.reg"), vol_text;
  HiveKey machine;
  if (read_host_file(vol_file, vol_text) &&
      parse_volatile_text(vol_text, machine) == win::kSuccess && machine.remove_child(stored))
    return write_file(vol_file, format_volatile_text(machine));
  return win::kSuccess;
}

void RegistryStore::pin(const std::string& mount, int delta) {
  std::lock_guard<std::mutex> g(mu_);
  pins_[to_upper(mount)] += delta;
}

Status create_key_path(HiveKey& root, const std::vector<std::string>& path, bool is_volatile) {
  HiveKey* k = &root;
  for (size_t i = 0; i < path.size(); ++i) {
    HiveKey* c = k->child(path[i]);
    if (!c) {
      if (!storable_name(path[i]) || path[i].size() > 255 || (i == 0 && path[i][0] == '-'))
        return win::kInvalidParameter;
      if (k->is_volatile && !is_volatile) return kChildMustBeVolatile;
      c = k->add_child(path[i]);
      c->is_volatile = is_volatile;
    }
    k = c;
  }
  return win::kSuccess;
}

// ---------------------------------------------------------------------------------------
// The port

namespace {

using Kind = HiveRef::Kind;

class SimKey final : public RegKeyImpl {
 public:
  SimKey(std::shared_ptr<RegistryStore> store, RegLocation loc)
      : store_(std::move(store)), loc_(std::move(loc)) {
    if (loc_.hive.kind == Kind::kMount) store_->pin(loc_.hive.name, +1);
  }
  ~SimKey() override {
    if (loc_.hive.kind == Kind::kMount) store_->pin(loc_.hive.name, -1);
  }

  Status open(std::string_view subkey, uint32_t access, std::unique_ptr<RegKeyImpl>& out) override {
    const HiveKey* self = nullptr;
    std::shared_ptr<const HiveKey> root;
    Status s = find_self(root, self);
    RegLocation loc;
    if (s == win::kSuccess) s = store_->resolve(loc_, subkey, access, loc);
    if (s == win::kSuccess && loc.hive.kind != Kind::kMachine) {
      s = store_->read(loc.hive, loc.path, root);
      if (s == win::kSuccess && !root->find(loc.path)) s = win::kFileNotFound;
    }
    if (s == win::kSuccess) out = std::make_unique<SimKey>(store_, std::move(loc));
    return s;
  }

  Status create(std::string_view subkey, uint32_t options, uint32_t access,
                std::unique_ptr<RegKeyImpl>& out) override {
    const HiveKey* self = nullptr;
    std::shared_ptr<const HiveKey> root;
    Status s = find_self(root, self);
    if (s != win::kSuccess) return s;
    RegLocation loc;
    s = store_->resolve(loc_, subkey, access, loc);
    // New keys directly below HKLM cannot be made.
    if (s == win::kFileNotFound && loc_.hive.kind == Kind::kMachine) return win::kAccessDenied;
    if (s != win::kSuccess) return s;
    if (loc.hive.kind != Kind::kMachine) {
      bool vol = (options & reg::kOptionVolatile) != 0;
      s = store_->change(loc.hive, loc.path,
                         [&](HiveKey& r) { return create_key_path(r, loc.path, vol); });
      if (s != win::kSuccess) return s;
    }
    out = std::make_unique<SimKey>(store_, std::move(loc));
    return win::kSuccess;
  }

  Status query(std::string_view name, RegValue& out) override {
    if (loc_.hive.kind == Kind::kMachine) return win::kFileNotFound;
    const HiveKey* self = nullptr;
    std::shared_ptr<const HiveKey> root;
    Status s = find_self(root, self);
    if (s != win::kSuccess) return s;
    const RegValue* v = self->value(name);
    if (!v) return win::kFileNotFound;
    out = *v;
    return win::kSuccess;
  }

  Status set(std::string_view name, const RegValue& value) override {
    if (loc_.hive.kind == Kind::kMachine) return win::kAccessDenied;
    if (!storable_name(name)) return win::kInvalidParameter;
    return change_self([&](HiveKey& k) {
      k.set_value(name, value);
      return win::kSuccess;
    });
  }

  Status delete_value(std::string_view name) override {
    if (loc_.hive.kind == Kind::kMachine) return win::kFileNotFound;
    return change_self(
        [&](HiveKey& k) { return k.remove_value(name) ? win::kSuccess : win::kFileNotFound; });
  }

  Status delete_tree(std::string_view subkey) override {
    const HiveKey* self = nullptr;
    std::shared_ptr<const HiveKey> root;
    Status s = find_self(root, self);
    if (s != win::kSuccess) return s;
    if (split_key_path(subkey).empty()) {
      // No subkey: the key's values and subkeys go, the key stays (RegDeleteTree(key, NULL)).
      if (loc_.hive.kind == Kind::kMachine) return win::kAccessDenied;
      return change_self([](HiveKey& k) {
        k.values.clear();
        k.subkeys.clear();
        return win::kSuccess;
      });
    }
    RegLocation loc;
    s = store_->resolve(loc_, subkey, 0, loc);
    if (s != win::kSuccess) return s;
    if (loc.path.empty()) return win::kAccessDenied;  // the root of a hive
    std::vector<std::string> parent(loc.path.begin(), loc.path.end() - 1);
    return store_->change(loc.hive, parent, [&](HiveKey& r) {
      HiveKey* p = r.find(parent);
      return p && p->remove_child(loc.path.back()) ? win::kSuccess : win::kFileNotFound;
    });
  }

  Status enum_subkey(uint32_t index, std::string& name) override {
    std::vector<std::string> names;
    if (loc_.hive.kind == Kind::kMachine) {
      names = store_->mounts();
      names.push_back("SOFTWARE");
      names.push_back("SYSTEM");
      std::sort(names.begin(), names.end(),
                [](const auto& a, const auto& b) { return reg_name_compare(a, b) < 0; });
      if (index >= names.size()) return win::kNoMoreItems;
      name = names[index];
      return win::kSuccess;
    }
    const HiveKey* self = nullptr;
    std::shared_ptr<const HiveKey> root;
    Status s = find_self(root, self);
    if (s != win::kSuccess) return s;
    if (index >= self->subkeys.size()) return win::kNoMoreItems;
    name = self->subkeys[index]->name;
    return win::kSuccess;
  }

 private:
  // This key as it is now; kKeyDeleted when it was deleted since it was opened.
  Status find_self(std::shared_ptr<const HiveKey>& root, const HiveKey*& self) const {
    if (loc_.hive.kind == Kind::kMachine) return win::kSuccess;
    Status s = store_->read(loc_.hive, loc_.path, root);
    if (s != win::kSuccess) return s;
    self = root->find(loc_.path);
    return self ? win::kSuccess : win::kKeyDeleted;
  }

  Status change_self(const std::function<Status(HiveKey&)>& fn) const {
    return store_->change(loc_.hive, loc_.path, [&](HiveKey& r) {
      HiveKey* k = r.find(loc_.path);
      return k ? fn(*k) : win::kKeyDeleted;
    });
  }

  std::shared_ptr<RegistryStore> store_;
  RegLocation loc_;
};

class SimRegistry final : public Registry {
 public:
  explicit SimRegistry(const Machine& m) : store_(std::make_shared<RegistryStore>(m)) {}
  RegKey hklm() override { return RegKey(std::make_unique<SimKey>(store_, RegLocation{})); }
  Status load_hive(std::string_view name, std::string_view file) override {
    return store_->load(name, file);
  }
  Status unload_hive(std::string_view name) override { return store_->unload(name); }

 private:
  std::shared_ptr<RegistryStore> store_;
};

}  // namespace

std::unique_ptr<Registry> make_registry(const Machine& m) {
  return std::make_unique<SimRegistry>(m);
}

}  // namespace tarvik::sim
