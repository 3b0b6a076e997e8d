// The simulated file system: Windows paths on the drive folders below ROOT, with the
// errors and attribute rules of the Windows file calls.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/sim/effects.h"
#include "platform/sim/profile.h"
#include "platform/sim/services.h"
#include "platform/sim/version_stamp.h"

namespace tarvik::sim {

namespace {

constexpr Status kErrorDirectory = 267;         // ERROR_DIRECTORY
constexpr Status kResourceTypeNotFound = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
constexpr uint32_t kStoredAttributes = attr::kHidden | attr::kSystem | attr::kArchive;

struct AttrName {
  uint32_t bit;
  const char* name;
};
constexpr AttrName kAttrNames[] = {
    {attr::kHidden, "HIDDEN"}, {attr::kSystem, "SYSTEM"}, {attr::kArchive, "ARCHIVE"}};

// attributes.ini as read, with the entries that IniFile::get finds (the first [attributes]
// section's, the last of a key given twice) by upper-case key: a lookup does not go
// through every entry.
struct Attributes {
  IniFile ini;
  std::unordered_map<std::string, std::string> stored;

  void index() {
    stored.clear();
    if (const IniSection* sec = ini.find("attributes"))
      for (const auto& [k, v] : sec->keys) stored[to_upper(k)] = v;
  }
  const std::string* find(const std::string& key) const {
    auto it = stored.find(to_upper(key));
    return it == stored.end() ? nullptr : &it->second;
  }
};

bool write_all(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

uint32_t read_le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void put_le(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

class SimAppendFile final : public AppendFile {
 public:
  SimAppendFile(int fd, std::string host) : fd_(fd), host_(std::move(host)) {}
  ~SimAppendFile() override { ::close(fd_); }
  Status append(std::string_view data) override {
    // O_APPEND: every write lands at the end as it is then, whoever else writes.
    return write_all(fd_, data) ? win::kSuccess : win_error_from_errno(errno, host_);
  }

 private:
  int fd_;
  std::string host_;
};

class SimFiles final : public Files {
 public:
  explicit SimFiles(const Machine& m) : m_(m) {}

  // A missing path leaves its error for GetLastError, as PathFileExistsA does.
  bool exists(std::string_view path) override {
    std::string host;
    struct stat st;
    Status s = resolve(path, host);
    if (s == win::kSuccess && ::lstat(host.c_str(), &st) != 0)
      s = win_error_from_errno(errno, host);
    if (s != win::kSuccess) last_error_ = s;
    return s == win::kSuccess;
  }

  Status get_attributes(std::string_view path, uint32_t& out) override {
    std::string host;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    out = attributes_of(host, st);
    return win::kSuccess;
  }

  Status set_attributes(std::string_view path, uint32_t attributes) override {
    std::string host;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    mode_t mode = (attributes & attr::kReadOnly) ? (st.st_mode & ~S_IWUSR) : (st.st_mode | S_IWUSR);
    durable_effect(m_);
    if (::chmod(host.c_str(), mode & 07777) != 0) return fail(win_error_from_errno(errno, host));
    store_attributes(key_of(host), attributes & kStoredAttributes);
    return win::kSuccess;
  }

  Status create_directory(std::string_view path) override {
    std::string host;
    if (Status s = resolve(path, host)) return fail(s);
    if (::access(host.c_str(), F_OK) != 0) durable_effect(m_);
    if (::mkdir(host.c_str(), 0755) != 0) return fail(win_error_from_errno(errno, host));
    return win::kSuccess;
  }

  Status create_directories(std::string_view path) override {
    std::string host;
    if (Status s = resolve(path, host)) return fail(s);
    struct stat st;
    if (::stat(host.c_str(), &st) == 0) return fail(win::kAlreadyExists);
    durable_effect(m_);
    // Each missing component below the drive folder, top down.
    size_t pos = m_.root().size() + 2;  // past "/x"
    while (pos != std::string::npos) {
      pos = host.find('/', pos + 1);
      std::string part = host.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        return fail(win_error_from_errno(errno, part));
      if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(win::kPathNotFound);
    }
    return win::kSuccess;
  }

  Status remove_directory(std::string_view path) override {
    std::string host;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    if (!S_ISDIR(st.st_mode)) return fail(kErrorDirectory);
    if (!(st.st_mode & S_IWUSR)) return fail(win::kAccessDenied);
    durable_effect(m_);
    if (::rmdir(host.c_str()) != 0) return fail(win_error_from_errno(errno, host));
    rekey_attributes(key_of(host), "");
    return win::kSuccess;
  }

  Status delete_file(std::string_view path) override {
    std::string host;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    if (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)) return fail(win::kAccessDenied);
    durable_effect(m_);
    if (::unlink(host.c_str()) != 0) return fail(win_error_from_errno(errno, host));
    rekey_attributes(key_of(host), "");
    return win::kSuccess;
  }

  Status copy_file(std::string_view from, std::string_view to, bool fail_if_exists) override {
    std::string src, dst;
    struct stat st, dst_st;
    if (Status s = stat_path(from, src, st)) return fail(s);
    if (S_ISDIR(st.st_mode)) return fail(win::kAccessDenied);
    if (Status s = resolve(to, dst)) return fail(s);
    if (::stat(dst.c_str(), &dst_st) == 0) {
      if (fail_if_exists) return fail(win::kFileExists);
      // The system will not overwrite a read-only or hidden target.
      if (S_ISDIR(dst_st.st_mode) ||
          (attributes_of(dst, dst_st) & (attr::kReadOnly | attr::kHidden)))
        return fail(win::kAccessDenied);
    }
    std::string data;
    if (!read_host_file(src, data)) return fail(win_error_from_errno(errno, src));
    durable_effect(m_);
    if (Status s = write_host(dst, data)) return fail(s);
    // The copy takes the source's attributes, read-only included.
    ::chmod(dst.c_str(), st.st_mode & 07777);
    std::string src_key = key_of(src), dst_key = key_of(dst);
    // Whether the copy changes attributes.ini; the change is made under its lock.
    auto now = load_attributes();
    if ((stored_in(*now, src_key) | attr::kArchive) == stored_in(*now, dst_key))
      return win::kSuccess;
    now.reset();  // the append below then grows this process's copy in place
    // A new file's entry is added at the end; any other change rewrites the file.
    {
      FileLock lock(m_, "attributes");
      if (append_attributes(dst_key, src_key)) return win::kSuccess;
    }
    edit_attributes([&](const IniFile& ini, auto& keys) {
      return set_stored(keys, dst_key, stored_in(ini, src_key) | attr::kArchive,
                        stored_in(ini, dst_key));
    });
    return win::kSuccess;
  }

  Status move_file(std::string_view from, std::string_view to, bool replace) override {
    std::string src, dst;
    struct stat st, dst_st;
    if (Status s = stat_path(from, src, st)) return fail(s);
    if (Status s = resolve(to, dst)) return fail(s);
    bool same = equals_nocase(src, dst);
    if (!same && ::lstat(dst.c_str(), &dst_st) == 0) {
      if (!replace) return fail(win::kAlreadyExists);
      if (S_ISDIR(st.st_mode) || S_ISDIR(dst_st.st_mode) || !(dst_st.st_mode & S_IWUSR))
        return fail(win::kAccessDenied);
    }
    durable_effect(m_);
    if (::rename(src.c_str(), dst.c_str()) != 0) return fail(win_error_from_errno(errno, dst));
    rekey_attributes(key_of(src), key_of(dst));
    return win::kSuccess;
  }

  Status list(std::string_view folder, std::string_view pattern,
              std::vector<DirEntry>& out) override {
    std::string host;
    struct stat st;
    if (Status s = resolve(folder, host)) return fail(s);
    if (::stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return fail(win::kPathNotFound);
    DIR* d = ::opendir(host.c_str());
    if (!d) return fail(win_error_from_errno(errno, host));
    // A drive's root folder has no "." and "..".
    bool is_root = host.size() == m_.root().size() + 2;
    auto attributes = load_attributes();
    std::vector<DirEntry> found;
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (is_root && (name == "." || name == "..")) continue;
      if (!path_match_spec(name, pattern)) continue;
      std::string child = host + "/" + name;
      struct stat cst;
      if (::stat(child.c_str(), &cst) != 0) continue;
      DirEntry entry;
      entry.name = name;
      entry.attributes =
          attributes_of(*attributes, name == "." || name == ".." ? host : child, cst);
      entry.size = S_ISDIR(cst.st_mode) ? 0 : static_cast<uint64_t>(cst.st_size);
      found.push_back(std::move(entry));
    }
    ::closedir(d);
    if (found.empty()) return fail(win::kFileNotFound);
    // The order a case-insensitive directory index gives.
    std::sort(found.begin(), found.end(), [](const DirEntry& a, const DirEntry& b) {
      return to_upper(a.name) < to_upper(b.name);
    });
    out = std::move(found);
    return win::kSuccess;
  }

  Status read_file(std::string_view path, std::string& out) override {
    std::string host;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    if (S_ISDIR(st.st_mode)) return fail(win::kAccessDenied);
    if (!read_host_file(host, out)) return fail(win_error_from_errno(errno, host));
    return win::kSuccess;
  }

  Status write_file(std::string_view path, std::string_view data) override {
    std::string host;
    if (Status s = resolve(path, host)) return fail(s);
    struct stat st;
    // CREATE_ALWAYS with normal attributes refuses read-only, hidden and system files.
    if (::stat(host.c_str(), &st) == 0 &&
        (S_ISDIR(st.st_mode) ||
         (attributes_of(host, st) & (attr::kReadOnly | attr::kHidden | attr::kSystem))))
      return fail(win::kAccessDenied);
    durable_effect(m_);
    if (Status s = write_host(host, data)) return fail(s);
    return win::kSuccess;
  }

  Status open_append(std::string_view path, std::unique_ptr<AppendFile>& out) override {
    std::string host;
    if (Status s = resolve(path, host)) return fail(s);
    struct stat st;
    if (::stat(host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR)))
      return fail(win::kAccessDenied);
    int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return fail(win_error_from_errno(errno, host));
    out = std::make_unique<SimAppendFile>(fd, host);
    return win::kSuccess;
  }

  Status file_version(std::string_view path, FileVersion& out, VersionStep& step) override {
    step = VersionStep::kSize;
    std::string host, data;
    struct stat st;
    if (Status s = stat_path(path, host, st)) return fail(s);
    if (S_ISDIR(st.st_mode) || !read_host_file(host, data)) return fail(win::kAccessDenied);
    FileVersion v;
    if (!find_version_block(data, v)) return fail(kResourceTypeNotFound);
    step = VersionStep::kNone;
    out = v;
    return win::kSuccess;
  }

  uint32_t profile_get(const char* section, const char* key, const char* def, std::string& out,
                       uint32_t size, std::string_view file) override {
    std::string host, text;
    Status s = resolve(file, host);
    if (s == win::kSuccess && !read_host_file(host, text)) s = win_error_from_errno(errno, host);
    // A missing file reads as an empty one; the error stays for GetLastError. Reading a
    // named key sets the last error as the system does: 2 when the key (or its section)
    // is absent, 0 when it was found.
    if (s != win::kSuccess) last_error_ = s;
    bool found = false;
    uint32_t n =
        profile_lookup(s == win::kSuccess ? text : "", section, key, def, out, size, &found);
    if (s == win::kSuccess && section && key) last_error_ = found ? 0 : win::kFileNotFound;
    return n;
  }

  bool profile_set(const char* section, const char* key, const char* value,
                   std::string_view file) override {
    if (!section && !key && !value) return true;  // flush: the sim keeps no cache
    std::string host;
    Status s = resolve(file, host);
    if (s == win::kSuccess) s = profile_write_file(m_, host, section, key, value);
    if (s != win::kSuccess) last_error_ = s;
    return s == win::kSuccess;
  }

  Status last_error() override { return last_error_; }

 private:
  Status fail(Status s) {
    last_error_ = s;
    return s;
  }

  Status resolve(std::string_view path, std::string& host) const {
    Status s = m_.host_path(path, host);
    // A path the system cannot parse as a file name.
    return s == win::kInvalidName ? win::kPathNotFound : s;
  }

  Status stat_path(std::string_view path, std::string& host, struct stat& st) const {
    if (Status s = resolve(path, host)) return s;
    if (::stat(host.c_str(), &st) != 0) return win_error_from_errno(errno, host);
    return win::kSuccess;
  }

  // The key of attributes.ini: the Windows path in upper case ("C:\WINDOWS\X").
  std::string key_of(const std::string& host) const {
    std::string rel = host.substr(m_.root().size() + 1);
    std::string key(1, rel[0]);
    key += ":\\";
    if (rel.size() > 2) key += rel.substr(2);
    std::replace(key.begin(), key.end(), '/', '\\');
    return to_upper(key);
  }

  uint32_t attributes_of(const std::string& host, const struct stat& st) const {
    return attributes_of(*load_attributes(), host, st);
  }

  uint32_t attributes_of(const Attributes& ini, const std::string& host,
                         const struct stat& st) const {
    uint32_t a = stored_in(ini, key_of(host));
    if (!(st.st_mode & S_IWUSR)) a |= attr::kReadOnly;
    if (S_ISDIR(st.st_mode)) a |= attr::kDirectory;
    return a ? a : attr::kNormal;
  }

  // attributes.ini as this process read it last, while the file is the same: a folder's
  // copy parses it once, not once a file.
  std::shared_ptr<const Attributes> load_attributes() const {
    const std::string path = m_.sim_file("attributes.ini");
    const std::string signature = file_signature(path);  // taken before reading
    std::lock_guard<std::mutex> g(attributes_mu_);
    if (attributes_ && signature == attributes_signature_) return attributes_;
    auto ini = std::make_shared<Attributes>();
    std::string text, error;
    if (read_host_file(path, text)) parse_ini(text, ini->ini, error);
    ini->index();
    attributes_ = ini;
    attributes_signature_ = signature;
    return ini;
  }

  // Adds dst_key's entry, the source's attributes and ARCHIVE, as a line at the end of
  // attributes.ini, under its lock; false (nothing done) unless the file ends with its
  // [attributes] section, a whole line, and has no entry for dst_key.
  bool append_attributes(const std::string& dst_key, const std::string& src_key) const {
    const std::string path = m_.sim_file("attributes.ini");
    auto ini = load_attributes();
    const auto& sections = ini->ini.sections;
    if (sections.empty() || !equals_nocase(sections.back().name, "attributes")) return false;
    const bool indexed = &sections.back() == ini->ini.find("attributes");
    if (indexed ? ini->find(dst_key) != nullptr : sections.back().find(dst_key) != nullptr)
      return false;
    const std::string names = attribute_names(stored_in(*ini, src_key) | attr::kArchive);
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    char last = 0;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && st.st_size > 0 &&
              ::pread(fd, &last, 1, st.st_size - 1) == 1 && last == '\n' &&
              write_all(fd, dst_key + "=" + names + "\n");
    ::close(fd);
    if (!ok) return false;
    // This process's copy follows the file, unless another took its place meanwhile; in
    // place when nothing else holds it, so that a folder's copy does not copy it a file.
    std::lock_guard<std::mutex> g(attributes_mu_);
    if (attributes_ == ini) {
      ini.reset();
      if (attributes_.use_count() > 1) attributes_ = std::make_shared<Attributes>(*attributes_);
      IniSection& last = attributes_->ini.sections.back();
      last.keys.emplace_back(dst_key, names);
      last.key_lines.push_back(0);
      if (&last == attributes_->ini.find("attributes"))
        attributes_->stored[to_upper(dst_key)] = names;
      attributes_signature_ = file_signature(path);
    }
    return true;
  }

  uint32_t stored_attributes(const std::string& key) const {
    return stored_in(*load_attributes(), key);
  }

  static uint32_t stored_in(const Attributes& ini, const std::string& key) {
    const std::string* names = ini.find(key);
    return names ? bits_of(*names) : 0;
  }
  static uint32_t stored_in(const IniFile& ini, const std::string& key) {
    return bits_of(ini.get("attributes", key));
  }
  static uint32_t bits_of(std::string_view text) {
    const std::string names = to_upper(text);
    uint32_t a = 0;
    for (const auto& n : kAttrNames) {
      size_t at = names.find(n.name);
      size_t end = at + std::strlen(n.name);
      if (at != std::string::npos && (at == 0 || names[at - 1] == '|') &&
          (end == names.size() || names[end] == '|'))
        a |= n.bit;
    }
    return a;
  }

  // Edits the [attributes] section under its lock: fn reads the file as it is and changes
  // the key list, true when it changed it.
  template <typename Fn>
  void edit_attributes(Fn fn) const {
    FileLock lock(m_, "attributes");
    IniFile ini = load_attributes()->ini;
    if (!ini.find("attributes")) ini.sections.push_back({"attributes", 0, {}, {}});
    IniSection* sec = nullptr;
    for (auto& s : ini.sections)
      if (equals_nocase(s.name, "attributes")) sec = &s;
    if (fn(static_cast<const IniFile&>(ini), sec->keys))
      write_host_file_atomic(m_.sim_file("attributes.ini"), format_ini(ini));
  }

  void store_attributes(const std::string& key, uint32_t bits) const {
    uint32_t now = stored_attributes(key);
    if (bits == now) return;
    edit_attributes([&](const IniFile&, auto& keys) { return set_stored(keys, key, bits, now); });
  }

  // "HIDDEN|ARCHIVE": the names of the stored attributes of bits.
  static std::string attribute_names(uint32_t bits) {
    std::string names;
    for (const auto& n : kAttrNames)
      if (bits & n.bit) names += (names.empty() ? "" : "|") + std::string(n.name);
    return names;
  }

  // key's entry in the key list made bits (none for no bits); false when it has them.
  template <typename Keys>
  static bool set_stored(Keys& keys, const std::string& key, uint32_t bits, uint32_t now) {
    if (bits == now) return false;
    std::string names = attribute_names(bits);
    std::erase_if(keys, [&](const auto& kv) { return equals_nocase(kv.first, key); });
    if (!names.empty()) keys.emplace_back(key, names);
    return true;
  }

  // The entries of from and everything below it move to to (or go, when to is empty).
  void rekey_attributes(const std::string& from, const std::string& to) const {
    if (load_attributes()->ini.find("attributes") == nullptr) return;
    edit_attributes([&](const IniFile&, auto& keys) {
      bool changed = false;
      std::string below = from + "\\";
      for (auto it = keys.begin(); it != keys.end();) {
        std::string k = to_upper(it->first);
        if (k != from && k.rfind(below, 0) != 0) {
          ++it;
          continue;
        }
        changed = true;
        if (to.empty()) {
          it = keys.erase(it);
        } else {
          it->first = to + k.substr(from.size());
          ++it;
        }
      }
      return changed;
    });
  }

  // CREATE_ALWAYS: the file truncated and written in place.
  static Status write_host(const std::string& host, std::string_view data) {
    int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return win_error_from_errno(errno, host);
    bool ok = write_all(fd, data);
    int err = errno;
    ::close(fd);
    return ok ? win::kSuccess : win_error_from_errno(err, host);
  }

  const Machine& m_;
  Status last_error_ = win::kSuccess;
  mutable std::mutex attributes_mu_;
  mutable std::shared_ptr<Attributes> attributes_;
  mutable std::string attributes_signature_;
};

}  // namespace

bool find_version_block(std::string_view data, FileVersion& out) {
  static constexpr char kSignature[] = {'\xBD', '\x04', '\xEF', '\xFE'};
  constexpr size_t kBlockBytes = 52;
  size_t at = 0;
  while ((at = data.find(std::string_view(kSignature, 4), at)) != std::string_view::npos) {
    if (data.size() - at >= kBlockBytes) {
      auto* p = reinterpret_cast<const unsigned char*>(data.data() + at);
      uint32_t ms = read_le32(p + 8), ls = read_le32(p + 12);
      out = {static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms & 0xFFFF),
             static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls & 0xFFFF)};
      return true;
    }
    ++at;
  }
  return false;
}

bool write_version_stamp(const std::string& host_path, FileVersion v) {
  // A VS_VERSIONINFO header ("VS_VERSION_INFO" in UTF-16, padded to 4 bytes) followed by
  // the VS_FIXEDFILEINFO block, as a version resource lays them out.
  std::string key;
  for (char c : std::string_view("VS_VERSION_INFO")) put_le(key, static_cast<uint8_t>(c), 2);
  put_le(key, 0, 2);
  std::string fixed;
  uint32_t ms = (uint32_t{v.major} << 16) | v.minor, ls = (uint32_t{v.build} << 16) | v.revision;
  for (uint32_t field :
       {0xFEEF04BDu, 0x00010000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x40004u, 1u, 0u, 0u, 0u})
    put_le(fixed, field, 4);
  std::string header;
  size_t padded = (6 + key.size() + 3) / 4 * 4;
  put_le(header, static_cast<uint32_t>(padded + fixed.size()), 2);
  put_le(header, static_cast<uint32_t>(fixed.size()), 2);
  put_le(header, 0, 2);
  std::string out = header + key;
  out.resize(padded, '\0');
  out += fixed;
  return write_host_file_atomic(host_path, out);
}

std::unique_ptr<Files> make_files(const Machine& m) {
  return std::make_unique<SimFiles>(m);
}

}  // namespace tarvik::sim
