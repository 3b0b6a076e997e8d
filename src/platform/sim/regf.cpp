#include "platform/sim/regf.h"

#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "frame/format.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace tarvik::sim {

namespace {

// Windows refuses keys nested deeper than this; a deeper chain in a file is a loop or junk.
constexpr int kMaxKeyDepth = 512;

void put16(std::string& b, size_t at, uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void put32(std::string& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v & 0xFFFF));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
uint32_t get32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}
void put_bytes(std::string& b, size_t at, std::string_view bytes) {
  b.replace(at, bytes.size(), bytes);
}

// A SID's bytes: revision 1, the NT authority (5) or the world authority (1).
std::string sid(uint8_t authority, std::initializer_list<uint32_t> subs) {
  std::string s(8 + 4 * subs.size(), '\0');
  s[0] = 1;
  s[1] = static_cast<char>(subs.size());
  s[7] = static_cast<char>(authority);
  size_t at = 8;
  for (uint32_t sub : subs) {
    put32(s, at, sub);
    at += 4;
  }
  return s;
}

// A self-relative security descriptor: owner Administrators, group SYSTEM; SYSTEM and
// Administrators have full access, Everyone reads; subkeys inherit it.
std::string root_security() {
  const std::string system = sid(5, {18});
  const std::string admins = sid(5, {32, 544});
  const std::string everyone = sid(1, {0});
  std::string aces;
  auto ace = [&aces](uint32_t mask, const std::string& who) {
    std::string a(8, '\0');
    a[1] = 0x02;  // CONTAINER_INHERIT_ACE
    put16(a, 2, static_cast<uint16_t>(8 + who.size()));
    put32(a, 4, mask);
    aces += a + who;
  };
  ace(reg::kKeyAllAccess, system);
  ace(reg::kKeyAllAccess, admins);
  ace(reg::kKeyRead, everyone);
  std::string acl(8, '\0');
  acl[0] = 2;
  put16(acl, 2, static_cast<uint16_t>(8 + aces.size()));
  put16(acl, 4, 3);
  acl += aces;
  std::string sd(20, '\0');
  sd[0] = 1;
  put16(sd, 2, 0x8004);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
  put32(sd, 4, static_cast<uint32_t>(20 + acl.size()));
  put32(sd, 8, static_cast<uint32_t>(20 + acl.size() + admins.size()));
  put32(sd, 16, 20);
  return sd + acl + admins + system;
}

size_t align8(size_t n) {
  return (n + 7) & ~size_t{7};
}

// Text of the text types as the A functions see it, from the UTF-16LE the file stores;
// false when the code page does not carry it exactly.
bool text_from_utf16(std::string_view bytes, uint32_t codepage, std::string& out) {
  std::u16string wide;
  wide.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
  out = wide_to_narrow(wide, codepage);
  return bytes.size() % 2 == 0 && narrow_to_wide(out, codepage) == wide;
}

bool text_to_utf16(std::string_view narrow, uint32_t codepage, std::string& out) {
  std::u16string wide = narrow_to_wide(narrow, codepage);
  out.clear();
  out.reserve(wide.size() * 2);
  for (char16_t c : wide) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return wide_to_narrow(wide, codepage) == narrow;
}

bool is_text_type(uint32_t type) {
  return type == reg::kSz || type == reg::kExpandSz || type == reg::kMultiSz;
}

// A name as hivex gives it (UTF-8, up to its first NUL) in the code page.
bool name_from_utf8(const char* utf8, uint32_t codepage, std::string& out) {
  std::u16string wide = narrow_to_wide(utf8, 65001);
  out = wide_to_narrow(wide, codepage);
  return narrow_to_wide(out, codepage) == wide;
}

bool name_to_utf8(std::string_view narrow, uint32_t codepage, std::string& out) {
  std::u16string wide = narrow_to_wide(narrow, codepage);
  out = utf16_to_utf8(wide);
  return narrow.find('\0') == std::string_view::npos && wide_to_narrow(wide, codepage) == narrow;
}

std::string sub_path(const std::string& parent, std::string_view name) {
  return parent.empty() ? std::string(name) : parent + "\\" + std::string(name);
}

// A value named in messages: its key's path, then its name in quotes.
std::string value_path(const std::string& key_path, std::string_view name) {
  return strformat("%s%s\"%.*s\"", key_path.c_str(), key_path.empty() ? "" : " ",
                   static_cast<int>(name.size()), name.data());
}

// hivex hands out malloc'ed results.
struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Malloced = std::unique_ptr<T, FreeDeleter>;

// Key names in the order that finds them without regard to case.
struct NameLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return reg_name_compare(a, b) < 0;
  }
};

// A value as the file stores it and as the tree sees it.
struct StoredValue {
  std::string key;  // the stored name, UTF-8
  std::string name;
  uint32_t type = 0;
  std::string bytes;
  RegValue value;
  bool exact = true;
};

static_assert(sizeof(hive_type) == sizeof(uint32_t));

class HiveWalk {
 public:
  // inexact, when not null, receives the names and values read that the code page does
  // not carry exactly.
  HiveWalk(hive_h* h, uint32_t codepage, std::vector<std::string>* inexact)
      : h_(h), codepage_(codepage), inexact_(inexact) {}

  // Children of node with their names in the code page; false when the file is corrupt.
  // A child without a name (none in Windows; a path cannot name it) is left out: a reader
  // does not see it and a writer leaves it alone.
  bool children(hive_node_h node, const std::string& path,
                std::vector<std::pair<hive_node_h, std::string>>& out) {
    Malloced<hive_node_h> list(hivex_node_children(h_, node));
    if (!list) return false;
    for (const hive_node_h* c = list.get(); *c; ++c) {
      Malloced<char> utf8(hivex_node_name(h_, *c));
      if (!utf8) return false;
      std::string name;
      bool exact = name_from_utf8(utf8.get(), codepage_, name) && !name.empty() &&
                   std::strlen(utf8.get()) == hivex_node_name_len(h_, *c) &&
                   name.find('\\') == std::string::npos;  // .reg text splits paths there
      if (!exact) note(name.empty() ? path + "\\" : sub_path(path, name));
      if (!name.empty()) out.emplace_back(*c, std::move(name));
    }
    return true;
  }

  bool values(hive_node_h node, const std::string& path, std::vector<StoredValue>& out) {
    Malloced<hive_value_h> list(hivex_node_values(h_, node));
    if (!list) return false;
    for (const hive_value_h* v = list.get(); *v; ++v) {
      StoredValue s;
      Malloced<char> key(hivex_value_key(h_, *v));
      if (!key) return false;
      s.key = key.get();
      s.exact = name_from_utf8(key.get(), codepage_, s.name) &&
                s.key.size() == hivex_value_key_len(h_, *v);
      size_t len = 0;
      hive_type type{};
      Malloced<char> data(hivex_value_value(h_, *v, &type, &len));
      if (!data && len != 0) return false;
      s.bytes.assign(data ? data.get() : "", len);
      // Any number is a type; hive_type's enumerators name only some of them.
      std::memcpy(&s.type, &type, sizeof s.type);
      s.value.type = s.type;
      if (is_text_type(s.value.type)) {
        if (!text_from_utf16(s.bytes, codepage_, s.value.data)) s.exact = false;
      } else {
        s.value.data = s.bytes;
      }
      if (!s.exact) note(value_path(path, s.name));
      out.push_back(std::move(s));
    }
    return true;
  }

  void note(std::string what) {
    if (inexact_) inexact_->push_back(std::move(what));
  }

  // Each key once: a key reached twice is a loop in a corrupt file.
  bool first_visit(hive_node_h node) { return seen_.insert(node).second; }

 protected:
  hive_h* h_;
  uint32_t codepage_;
  std::vector<std::string>* inexact_;
  std::set<hive_node_h> seen_;
};

class Reader : public HiveWalk {
 public:
  using HiveWalk::HiveWalk;

  bool read(hive_node_h node, HiveKey& key, const std::string& path, int depth) {
    if (depth > kMaxKeyDepth || !first_visit(node)) return false;
    std::vector<StoredValue> stored;
    if (!values(node, path, stored)) return false;
    for (StoredValue& s : stored) {
      if (key.value(s.name)) {
        note(value_path(path, s.name));  // a second value of one name (after a NUL)
        continue;
      }
      key.values.emplace_back(std::move(s.name), std::move(s.value));
    }
    std::vector<std::pair<hive_node_h, std::string>> subs;
    if (!children(node, path, subs)) return false;
    // Kept in the order the system lists them, whatever order the file has them in.
    for (auto& [child, name] : subs) {
      if (key.child(name)) {
        note(sub_path(path, name));  // a second key of one name (after a NUL)
        continue;
      }
      if (!read(child, *key.add_child(name), sub_path(path, name), depth + 1)) return false;
    }
    return true;
  }
};

bool same_value(const RegValue& a, const RegValue& b) {
  return a.type == b.type && a.data == b.data;
}

class Writer : public HiveWalk {
 public:
  using HiveWalk::HiveWalk;

  // Makes node hold key's values and stable subkeys. false with errno set on failure.
  bool write(hive_node_h node, const HiveKey& key, const std::string& path, int depth) {
    if (depth > kMaxKeyDepth || !first_visit(node)) {
      errno = EINVAL;
      return false;
    }
    if (!write_values(node, key, path)) return false;
    std::vector<std::pair<hive_node_h, std::string>> subs;
    if (!children(node, path, subs)) return false;
    std::set<std::string_view, NameLess> wanted;
    for (const auto& sub : key.subkeys)
      if (!sub->is_volatile) wanted.insert(sub->name);
    std::map<std::string_view, hive_node_h, NameLess> kept;  // the first of each name
    for (const auto& [child, name] : subs) {
      if (wanted.count(name))
        kept.emplace(name, child);
      else if (hivex_node_delete_child(h_, child) != 0)
        return false;
    }
    for (const auto& sub : key.subkeys) {
      if (sub->is_volatile) continue;
      auto found = kept.find(sub->name);
      hive_node_h child = found == kept.end() ? 0 : found->second;
      const std::string child_path = sub_path(path, sub->name);
      if (!child) {
        std::string utf8;
        name_to_utf8(sub->name, codepage_, utf8);
        child = hivex_node_add_child(h_, node, utf8.c_str());
        if (!child) return false;
      }
      if (!write(child, *sub, child_path, depth + 1)) return false;
    }
    return true;
  }

 private:
  // Sets all of node's values at once, and only when they differ from key's: an unchanged
  // value keeps its stored name and bytes.
  bool write_values(hive_node_h node, const HiveKey& key, const std::string& path) {
    std::vector<StoredValue> stored;
    if (!values(node, path, stored)) return false;
    std::vector<bool> used(stored.size(), false);
    bool changed = false;
    std::vector<StoredValue> out;
    for (const auto& [name, value] : key.values) {
      size_t i = 0;
      while (i < stored.size() && (used[i] || reg_name_compare(stored[i].name, name) != 0)) ++i;
      if (i < stored.size()) used[i] = true;
      if (i < stored.size() && same_value(stored[i].value, value)) {
        out.push_back(stored[i]);
        continue;
      }
      changed = true;
      StoredValue s;
      if (i < stored.size())
        s.key = stored[i].key;
      else
        name_to_utf8(name, codepage_, s.key);
      s.type = value.type;
      if (is_text_type(value.type))
        text_to_utf16(value.data, codepage_, s.bytes);
      else
        s.bytes = value.data;
      out.push_back(std::move(s));
    }
    // A stored value left unused goes, unless the tree holds its name through another one
    // (a name cut at a NUL): that one stays as it is.
    for (size_t i = 0; i < stored.size(); ++i) {
      if (used[i]) continue;
      if (key.value(stored[i].name))
        out.push_back(stored[i]);
      else
        changed = true;
    }
    if (!changed) return true;
    std::vector<hive_set_value> set(out.size());
    for (size_t i = 0; i < out.size(); ++i) {
      set[i].key = out[i].key.data();
      std::memcpy(&set[i].t, &out[i].type, sizeof out[i].type);
      set[i].len = out[i].bytes.size();
      set[i].value = out[i].bytes.data();
    }
    return hivex_node_set_values(h_, node, set.size(), set.data(), 0) == 0;
  }
};

Status open_error(const std::string& path, std::string& error) {
  int err = errno;
  if (err == ENOENT || err == ENOTDIR || err == EACCES || err == EPERM || err == EISDIR) {
    error = strformat("%s: %s", path.c_str(), std::strerror(err));
    return win_error_from_errno(err, path);
  }
  error = strformat("%s: not a valid registry hive", path.c_str());
  return win::kBadRegistry;
}

}  // namespace

bool is_regf(std::string_view data) {
  return data.substr(0, 4) == "regf";
}

bool file_is_regf(const std::string& path) {
  errno = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char head[4];
  ssize_t n;
  do n = ::read(fd, head, sizeof head);
  while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : 0;
  ::close(fd);
  errno = err;
  return n > 0 && is_regf(std::string_view(head, static_cast<size_t>(n)));
}

std::string empty_regf_hive() {
  constexpr size_t kBin = 0x1000;  // the first (and only) hive bin
  constexpr size_t kRoot = 0x20;   // cell offsets count from the first bin
  constexpr std::string_view kRootName = "ROOT";
  std::string b(2 * kBin, '\0');

  // Base block.
  put_bytes(b, 0, "regf");
  put32(b, 4, 1);  // primary and secondary sequence numbers agree: the file is clean
  put32(b, 8, 1);
  put32(b, 20, 1);  // version 1.3
  put32(b, 24, 3);
  put32(b, 32, 1);  // direct memory load format
  put32(b, 36, kRoot);
  put32(b, 40, kBin);  // size of the hive bins
  put32(b, 44, 1);     // clustering factor
  uint32_t sum = 0;
  for (size_t at = 0; at < 0x1FC; at += 4) sum ^= get32(b, at);
  put32(b, 0x1FC, sum);

  // Hive bin header.
  put_bytes(b, kBin, "hbin");
  put32(b, kBin + 8, kBin);

  // Root key: a used cell (negative size) holding an nk record.
  const size_t nk = kBin + kRoot;
  const size_t nk_size = align8(4 + 0x4C + kRootName.size());
  const size_t sk_offset = kRoot + nk_size;
  put32(b, nk, static_cast<uint32_t>(-static_cast<int32_t>(nk_size)));
  put_bytes(b, nk + 4, "nk");
  put16(b, nk + 6, 0x2C);               // hive entry, cannot be deleted, ASCII name
  put32(b, nk + 4 + 0x10, 0xFFFFFFFF);  // parent: none
  put32(b, nk + 4 + 0x1C, 0xFFFFFFFF);  // subkey list: none
  put32(b, nk + 4 + 0x20, 0xFFFFFFFF);  // volatile subkey list: none
  put32(b, nk + 4 + 0x28, 0xFFFFFFFF);  // value list: none
  put32(b, nk + 4 + 0x2C, static_cast<uint32_t>(sk_offset));
  put32(b, nk + 4 + 0x30, 0xFFFFFFFF);  // class name: none
  put16(b, nk + 4 + 0x48, static_cast<uint16_t>(kRootName.size()));
  put_bytes(b, nk + 4 + 0x4C, kRootName);

  // Its security descriptor: an sk record listed with itself only.
  const std::string sd = root_security();
  const size_t sk = kBin + sk_offset;
  const size_t sk_size = align8(4 + 20 + sd.size());
  put32(b, sk, static_cast<uint32_t>(-static_cast<int32_t>(sk_size)));
  put_bytes(b, sk + 4, "sk");
  put32(b, sk + 8, static_cast<uint32_t>(sk_offset));
  put32(b, sk + 12, static_cast<uint32_t>(sk_offset));
  put32(b, sk + 16, 1);  // reference count: the root
  put32(b, sk + 20, static_cast<uint32_t>(sd.size()));
  put_bytes(b, sk + 24, sd);

  // The rest of the bin is one free cell.
  const size_t free_offset = sk_offset + sk_size;
  put32(b, kBin + free_offset, static_cast<uint32_t>(kBin - free_offset));
  return b;
}

RegfFile::~RegfFile() {
  if (h_) hivex_close(h_);
}

Status RegfFile::open(const std::string& path, uint32_t codepage, bool writable,
                      std::string& error) {
  if (h_) hivex_close(h_);
  path_ = path;
  codepage_ = codepage;
  errno = 0;
  h_ = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
  if (!h_) return open_error(path, error);
  if (!hivex_root(h_)) {
    hivex_close(h_);
    h_ = nullptr;
    error = strformat("%s: not a valid registry hive", path.c_str());
    return win::kBadRegistry;
  }
  return win::kSuccess;
}

Status RegfFile::create(const std::string& path, uint32_t codepage, std::string& error) {
  // hivex reads a hive from a file: the empty one is a scratch file, gone once read.
  const std::string scratch = path + ".tmp." + std::to_string(::getpid());
  if (!write_host_file_atomic(scratch, empty_regf_hive())) {
    error = strformat("%s: %s", scratch.c_str(), std::strerror(errno));
    return win_error_from_errno(errno, scratch);
  }
  Status s = open(scratch, codepage, true, error);
  ::unlink(scratch.c_str());
  path_ = path;
  return s;
}

namespace {

// The child of node named name (the first of that name), 0 when it has none; false when
// the file is corrupt.
bool find_child(HiveWalk& walk, hive_node_h node, const std::string& path, std::string_view name,
                hive_node_h& out, std::string* stored_name = nullptr) {
  std::vector<std::pair<hive_node_h, std::string>> subs;
  if (!walk.children(node, path, subs)) return false;
  out = 0;
  for (auto& [child, child_name] : subs)
    if (reg_name_compare(child_name, name) == 0) {
      out = child;
      if (stored_name) *stored_name = std::move(child_name);
      break;
    }
  return true;
}

}  // namespace

Status RegfFile::read(const std::vector<std::string>& scope, HiveKey& root, std::string& error,
                      std::vector<std::string>* inexact) {
  HiveKey tree;
  std::vector<std::string> notes;
  Reader reader(h_, codepage_, &notes);
  hive_node_h node = hivex_root(h_);
  HiveKey* at = &tree;
  std::string path;
  bool ok = scope.size() <= kMaxKeyDepth;
  for (size_t i = 0; ok && node && i < scope.size(); ++i) {
    std::string name;
    ok = reader.first_visit(node) && find_child(reader, node, path, scope[i], node, &name);
    if (ok && node) {
      at = at->add_child(name);
      path = sub_path(path, name);
    }
  }
  if (ok && node) ok = reader.read(node, *at, path, static_cast<int>(scope.size()));
  if (!ok) {
    error = strformat("%s: not a valid registry hive", path_.c_str());
    return win::kBadRegistry;
  }
  root = std::move(tree);
  if (inexact) *inexact = std::move(notes);
  return win::kSuccess;
}

Status RegfFile::write(const std::vector<std::string>& scope, const HiveKey& root,
                       std::string& error) {
  Writer writer(h_, codepage_, nullptr);
  hive_node_h node = hivex_root(h_);
  const HiveKey* want = &root;
  std::string path;
  errno = 0;
  bool ok = scope.size() <= kMaxKeyDepth;
  for (size_t i = 0; ok && i < scope.size(); ++i) {
    want = want ? want->child(scope[i]) : nullptr;
    if (want && want->is_volatile) want = nullptr;  // a volatile key is not in the file
    hive_node_h child = 0;
    ok = writer.first_visit(node) && find_child(writer, node, path, scope[i], child);
    if (!ok) break;
    if (!want) {
      // The key is not (or no longer) a stable key: the file's goes, with its subtree.
      if (!child || hivex_node_delete_child(h_, child) == 0) return win::kSuccess;
      ok = false;
      break;
    }
    if (!child) {
      std::string utf8;
      name_to_utf8(want->name, codepage_, utf8);
      child = hivex_node_add_child(h_, node, utf8.c_str());
      ok = child != 0;
    }
    node = child;
    path = sub_path(path, want->name);
  }
  if (ok) ok = writer.write(node, *want, path, static_cast<int>(scope.size()));
  if (ok) return win::kSuccess;
  if (errno == ENOMEM) {
    error = strformat("%s: out of memory", path_.c_str());
    return win::kNotEnoughMemory;
  }
  error = strformat("%s: not a valid registry hive, or a name it cannot hold", path_.c_str());
  return win::kBadRegistry;
}

Status RegfFile::commit(const std::string& path, std::string& error) {
  AtomicFileWriter out(path);
  // hivex writes the whole hive to a file it names; it becomes the file when complete.
  if (!out.open() || hivex_commit(h_, out.temp_path().c_str(), 0) != 0 || !out.commit()) {
    int err = errno ? errno : EIO;
    out.discard();
    error = strformat("%s: %s", path.c_str(), std::strerror(err));
    return win_error_from_errno(err, path);
  }
  return win::kSuccess;
}

Status read_regf_file(const std::string& path, uint32_t codepage, HiveKey& root, std::string& error,
                      std::vector<std::string>* inexact) {
  RegfFile file;
  Status s = file.open(path, codepage, false, error);
  return s == win::kSuccess ? file.read({}, root, error, inexact) : s;
}

Status write_regf_file(const std::string& path, const HiveKey& root, uint32_t codepage,
                       std::string& error) {
  // Only the file's first bytes are read to tell what it is.
  const bool regf = file_is_regf(path);
  if (!regf && errno != 0 && errno != ENOENT) return open_error(path, error);
  RegfFile file;
  Status s = regf ? file.open(path, codepage, true, error) : file.create(path, codepage, error);
  if (s == win::kSuccess) s = file.write({}, root, error);
  if (s == win::kSuccess) s = file.commit(path, error);
  return s;
}

bool same_hive_tree(const HiveKey& a, const HiveKey& b) {
  if (a.values.size() != b.values.size() || a.subkeys.size() != b.subkeys.size()) return false;
  for (const auto& [name, value] : a.values) {
    const RegValue* other = b.value(name);
    if (!other || !same_value(value, *other)) return false;
  }
  std::map<std::string_view, const HiveKey*, NameLess> others;
  for (const auto& sub : b.subkeys) others.emplace(sub->name, sub.get());
  for (const auto& sub : a.subkeys) {
    auto found = others.find(sub->name);
    if (found == others.end() || !same_hive_tree(*sub, *found->second)) return false;
  }
  return true;
}

void regf_inexact(const HiveKey& key, uint32_t codepage, std::vector<std::string>& out,
                  const std::string& path) {
  std::string converted;
  for (const auto& [name, value] : key.values) {
    if (!name_to_utf8(name, codepage, converted) ||
        (is_text_type(value.type) && !text_to_utf16(value.data, codepage, converted)))
      out.push_back(value_path(path, name));
  }
  for (const auto& sub : key.subkeys) {
    if (sub->is_volatile) continue;
    std::string sub_key = sub_path(path, sub->name);
    if (!name_to_utf8(sub->name, codepage, converted)) out.push_back(sub_key);
    regf_inexact(*sub, codepage, out, sub_key);
  }
}

}  // namespace tarvik::sim
