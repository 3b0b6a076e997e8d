#include "platform/sim/hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/sim/ini.h"

namespace tarvik::sim {

namespace {
// std::toupper of the "C" locale, which the simulated machine runs in.
inline int upper(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'a' && u <= 'z' ? u - ('a' - 'A') : u;
}
}  // namespace

int reg_name_compare(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = upper(a[i]);
    int y = upper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::vector<std::string> split_key_path(std::string_view path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('\\', pos);
    if (next == std::string_view::npos) next = path.size();
    if (next > pos) parts.emplace_back(path.substr(pos, next - pos));
    pos = next + 1;
  }
  return parts;
}

std::string join_key_path(const std::vector<std::string>& parts) {
  std::string r;
  for (const auto& p : parts) {
    if (!r.empty()) r += '\\';
    r += p;
  }
  return r;
}

// ---------------------------------------------------------------------------------------
// HiveKey

HiveKey::HiveKey(const HiveKey& other)
    : name(other.name), is_volatile(other.is_volatile), values(other.values) {
  subkeys.reserve(other.subkeys.size());
  for (const auto& k : other.subkeys) subkeys.push_back(std::make_unique<HiveKey>(*k));
}

HiveKey& HiveKey::operator=(const HiveKey& other) {
  if (this != &other) {
    HiveKey copy(other);
    name = std::move(copy.name);
    is_volatile = copy.is_volatile;
    values = std::move(copy.values);
    subkeys = std::move(copy.subkeys);
  }
  return *this;
}

namespace {
auto lower_bound_key(const std::vector<std::unique_ptr<HiveKey>>& keys, std::string_view n) {
  return std::lower_bound(keys.begin(), keys.end(), n,
                          [](const std::unique_ptr<HiveKey>& k, std::string_view x) {
                            return reg_name_compare(k->name, x) < 0;
                          });
}
}  // namespace

HiveKey* HiveKey::child(std::string_view n) const {
  auto it = lower_bound_key(subkeys, n);
  return it != subkeys.end() && reg_name_compare((*it)->name, n) == 0 ? it->get() : nullptr;
}

HiveKey* HiveKey::add_child(std::string_view n) {
  // Hive text lists keys in order: a new key most often goes last.
  if (subkeys.empty() || reg_name_compare(subkeys.back()->name, n) < 0)
    return subkeys.emplace_back(std::make_unique<HiveKey>(n)).get();
  auto it = lower_bound_key(subkeys, n);
  if (it != subkeys.end() && reg_name_compare((*it)->name, n) == 0) return it->get();
  return subkeys.insert(it, std::make_unique<HiveKey>(n))->get();
}

bool HiveKey::remove_child(std::string_view n) {
  auto it = lower_bound_key(subkeys, n);
  if (it == subkeys.end() || reg_name_compare((*it)->name, n) != 0) return false;
  subkeys.erase(it);
  return true;
}

HiveKey* HiveKey::find(const std::vector<std::string>& path) {
  HiveKey* k = this;
  for (const auto& p : path)
    if (!(k = k->child(p))) return nullptr;
  return k;
}

const HiveKey* HiveKey::find(const std::vector<std::string>& path) const {
  return const_cast<HiveKey*>(this)->find(path);
}

const RegValue* HiveKey::value(std::string_view n) const {
  for (const auto& [k, v] : values)
    if (reg_name_compare(k, n) == 0) return &v;
  return nullptr;
}

void HiveKey::set_value(std::string_view n, const RegValue& v) {
  for (auto& [k, old] : values)
    if (reg_name_compare(k, n) == 0) {
      old = v;
      return;
    }
  values.emplace_back(std::string(n), v);
}

bool HiveKey::remove_value(std::string_view n) {
  for (auto it = values.begin(); it != values.end(); ++it)
    if (reg_name_compare(it->first, n) == 0) {
      values.erase(it);
      return true;
    }
  return false;
}

// ---------------------------------------------------------------------------------------
// Reading .reg text

namespace {

bool is_space(char c) {  // std::isspace of the "C" locale
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_view(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string_view rtrim_view(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && is_space(s[e - 1])) --e;
  return s.substr(0, e);
}

bool starts_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && reg_name_compare(s.substr(0, prefix.size()), prefix) == 0;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_hex_number(std::string_view s, size_t max_digits, uint32_t& out) {
  if (s.empty() || s.size() > max_digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// A quoted string at s[pos] ('"'); on success pos is past the closing quote.
bool parse_quoted(std::string_view s, size_t& pos, std::string& out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  out.clear();
  size_t i = pos + 1;
  for (;;) {
    size_t stop = s.find_first_of("\\\"", i);
    if (stop == std::string_view::npos) return false;
    out.append(s.substr(i, stop - i));
    if (s[stop] == '"') {
      pos = stop + 1;
      return true;
    }
    // A backslash escapes a backslash or a quote; any other stays as it is.
    if (stop + 1 < s.size() && (s[stop + 1] == '\\' || s[stop + 1] == '"')) {
      out += s[stop + 1];
      i = stop + 2;
    } else {
      out += '\\';
      i = stop + 1;
    }
  }
}

// Comma-separated bytes of one or two hex digits (blanks around each allowed, one
// trailing comma after at least one byte).
bool parse_hex_bytes(std::string_view s, std::string& out) {
  out.clear();
  std::string_view t = trim_view(s);
  if (t.empty()) return true;
  out.reserve(t.size() / 3 + 1);
  size_t pos = 0;
  while (pos <= t.size()) {
    size_t comma = t.find(',', pos);
    if (comma == std::string_view::npos) comma = t.size();
    std::string_view byte = trim_view(t.substr(pos, comma - pos));
    uint32_t b = 0;
    if (byte.empty() && comma == t.size() && !out.empty()) break;  // a trailing comma
    if (!parse_hex_number(byte, 2, b)) return false;
    out += static_cast<char>(b);
    pos = comma + 1;
  }
  return true;
}

bool parse_value_data(std::string_view data, RegTextValue& v, std::string& why) {
  std::string_view d = trim_view(data);
  v.remove = false;
  if (d == "-") {
    v.remove = true;
    return true;
  }
  if (!d.empty() && d[0] == '"') {
    size_t pos = 0;
    if (!parse_quoted(d, pos, v.value.data) || !trim_view(d.substr(pos)).empty()) {
      why = "malformed string data";
      return false;
    }
    v.value.type = reg::kSz;
    v.value.data += '\0';
    return true;
  }
  if (starts_nocase(d, "dword:")) {
    uint32_t x = 0;
    if (!parse_hex_number(trim_view(d.substr(6)), 8, x)) {
      why = "malformed dword data";
      return false;
    }
    v.value = RegValue::dword(x);
    return true;
  }
  uint32_t type = reg::kBinary;
  size_t colon = std::string_view::npos;
  if (starts_nocase(d, "hex:")) {
    colon = 3;
  } else if (starts_nocase(d, "hex(")) {
    size_t close = d.find("):");
    if (close == std::string_view::npos || !parse_hex_number(d.substr(4, close - 4), 8, type)) {
      why = "malformed hex(N) type";
      return false;
    }
    colon = close + 1;
  } else {
    why = "unknown value data";
    return false;
  }
  v.value.type = type;
  if (!parse_hex_bytes(d.substr(colon + 1), v.value.data)) {
    why = "malformed hex bytes";
    return false;
  }
  return true;
}

bool parse_value_line(std::string_view line, RegTextValue& v, std::string& why) {
  size_t pos = 0;
  v.name.clear();
  if (line[0] == '@') {
    pos = 1;
  } else if (!parse_quoted(line, pos, v.name)) {
    why = "malformed value name";
    return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') {
    why = "expected '=' after the value name";
    return false;
  }
  return parse_value_data(line.substr(pos + 1), v, why);
}

// Reads .reg text given in pieces of any size, logical line by logical line (physical
// lines joined where one ends with a backslash), and hands each key header and value to
// a handler: key(path, remove, line) and value(RegTextValue&, line), which may take the
// value's contents. The first malformed line stops it with error "line N: what".
template <typename Handler>
class RegTextReader {
 public:
  explicit RegTextReader(Handler& h) : h_(h) {}

  void feed(std::string_view piece) {
    if (failed_) return;
    if (!started_) {
      if (pending_.size() + piece.size() < 3) {
        pending_.append(piece);
        return;
      }
      started_ = true;
      if (pending_.empty() && piece.substr(0, 3) == "\xEF\xBB\xBF") piece.remove_prefix(3);
      if (!pending_.empty()) {
        pending_.append(piece);
        if (pending_.compare(0, 3, "\xEF\xBB\xBF") == 0) pending_.erase(0, 3);
        piece = {};
      }
    }
    if (pending_.empty()) {
      // Read in place; only an unfinished line is kept for the next piece.
      pending_.assign(piece.substr(lines(piece)));
    } else {
      pending_.append(piece);
      pending_.erase(0, lines(pending_));
    }
  }

  // The end of the text; false (with error()) when a line was malformed.
  bool finish() {
    if (!started_ && pending_.compare(0, 3, "\xEF\xBB\xBF") == 0) pending_.erase(0, 3);
    started_ = true;
    size_t pos = 0;
    while (!failed_ && pos < pending_.size()) {
      size_t nl = pending_.find('\n', pos);
      size_t end = nl == std::string::npos ? pending_.size() : nl;
      size_t next = nl == std::string::npos ? pending_.size() : nl + 1;
      physical(std::string_view(pending_).substr(pos, end - pos), next < pending_.size());
      pos = next;
    }
    pending_.clear();
    if (!failed_ && continuing_) logical(joined_);
    return !failed_;
  }

  const std::string& error() const { return error_; }

 private:
  // Reads the lines of buf that a byte follows (only then is it known whether a
  // backslash at a line's end continues it); returns how much of buf they take.
  size_t lines(std::string_view buf) {
    size_t pos = 0;
    for (;;) {
      size_t nl = buf.find('\n', pos);
      if (nl == std::string_view::npos || nl + 1 >= buf.size()) break;
      physical(buf.substr(pos, nl - pos), true);
      pos = nl + 1;
      if (failed_) return buf.size();
    }
    return pos;
  }

  // One physical line; more_text: whether any text follows its line feed.
  void physical(std::string_view raw, bool more_text) {
    ++line_no_;
    if (!continuing_) first_line_ = line_no_;
    std::string_view part = rtrim_view(raw);
    if (continuing_ && !joined_.empty()) part = trim_view(part);
    bool more = !part.empty() && part.back() == '\\' && part[0] != '[' && more_text;
    if (more) part.remove_suffix(1);
    if (!more && !continuing_) {
      logical(part);  // the common case: one physical line, read in place
      return;
    }
    if (!continuing_) joined_.clear();
    joined_.append(part);
    continuing_ = more;
    if (!more) logical(joined_);
  }

  void logical(std::string_view line) {
    std::string_view t = trim_view(line);
    if (t.empty() || t[0] == ';') return;
    if (!seen_header_) {
      if (t != kRegTextHeader) return fail("not registry text (no version line)");
      seen_header_ = true;
      return;
    }
    if (t[0] == '[') {
      if (t.back() != ']') return fail("malformed key header");
      std::string_view path = t.substr(1, t.size() - 2);
      bool remove = !path.empty() && path[0] == '-';
      if (remove) path.remove_prefix(1);
      // "[\-a]" would make a key "-a" that is written back as "[-a]", a deletion: a first
      // key name cannot begin with "-" (the registry refuses to create one).
      size_t first = path.find_first_not_of('\\');
      if (!remove && first != std::string_view::npos && first > 0 && path[first] == '-')
        return fail("malformed key header");
      h_.key(path, remove, first_line_);
      in_key_ = true;
      return;
    }
    if (!in_key_) return fail("value outside a key");
    std::string why;
    if (!parse_value_line(t, value_, why)) return fail(why);
    h_.value(value_, first_line_);
  }

  void fail(const std::string& why) {
    failed_ = true;
    error_ = "line " + std::to_string(first_line_) + ": " + why;
  }

  Handler& h_;
  std::string pending_, joined_, error_;
  RegTextValue value_;
  int line_no_ = 0, first_line_ = 0;
  bool started_ = false, continuing_ = false, seen_header_ = false, in_key_ = false;
  bool failed_ = false;
};

// Collects the blocks of parse_reg_text.
struct BlockCollector {
  std::vector<RegTextKey> keys;
  void key(std::string_view path, bool remove, int line) {
    RegTextKey k;
    k.path = std::string(path);
    k.remove = remove;
    k.line = line;
    keys.push_back(std::move(k));
  }
  void value(RegTextValue& v, int) { keys.back().values.push_back(std::move(v)); }
};

// Builds a hive's keys while its text is read: the keys of a header are found from the
// previous header's where their paths begin alike, as hive text lists keys in order.
// With a scope, only the blocks of the key at scope and of the keys below it are built;
// a block on the way to it makes its key without values, and every other block makes
// nothing: its values are read (a malformed one is an error as in a whole read) and left.
struct HiveBuilder {
  HiveKey root;
  std::vector<std::string> names;  // the path of the current key
  std::vector<HiveKey*> nodes;     // nodes[i]: the key of names[0..i]
  HiveKey* current = nullptr;      // nullptr after a deletion header or outside the scope
  int keys = 0;
  int first_deletion = 0, first_root_deletion = 0;  // lines; 0: none
  const std::vector<std::string>* scope = nullptr;

  // How path lies to the scope: at or below it, on the way to it, or elsewhere.
  enum class Place { kInScope, kOnTheWay, kElsewhere };
  Place place(std::string_view path) const {
    if (!scope) return Place::kInScope;
    size_t depth = 0, pos = 0;
    while (pos <= path.size()) {
      size_t next = path.find('\\', pos);
      if (next == std::string_view::npos) next = path.size();
      if (next > pos) {
        if (depth >= scope->size()) return Place::kInScope;
        if (reg_name_compare((*scope)[depth], path.substr(pos, next - pos)) != 0)
          return Place::kElsewhere;
        ++depth;
      }
      pos = next + 1;
    }
    return depth == scope->size() ? Place::kInScope : Place::kOnTheWay;
  }

  void key(std::string_view path, bool remove, int line) {
    ++keys;
    done_with_current();
    if (remove) {
      if (!first_deletion) first_deletion = line;
      bool root_path = path.find_first_not_of('\\') == std::string_view::npos;
      if (root_path && !first_root_deletion) first_root_deletion = line;
      current = nullptr;
      names.clear();
      nodes.clear();
      return;
    }
    const Place where = place(path);
    if (where == Place::kElsewhere) {
      current = nullptr;
      return;
    }
    size_t depth = 0, pos = 0;
    HiveKey* node = &root;
    while (pos <= path.size()) {
      size_t next = path.find('\\', pos);
      if (next == std::string_view::npos) next = path.size();
      if (next > pos) {
        std::string_view name = path.substr(pos, next - pos);
        if (depth < names.size() && reg_name_compare(names[depth], name) == 0) {
          node = nodes[depth];
        } else {
          names.resize(depth);
          nodes.resize(depth);
          node = node->add_child(name);
          names.emplace_back(name);
          nodes.push_back(node);
        }
        ++depth;
      }
      pos = next + 1;
    }
    names.resize(depth);
    nodes.resize(depth);
    current = where == Place::kInScope ? node : nullptr;
  }

  void value(RegTextValue& v, int) {
    if (!current) return;  // the values of a deletion header, or outside the scope
    if (v.remove) {
      current->remove_value(v.name);
      return;
    }
    for (auto& [name, old] : current->values)
      if (reg_name_compare(name, v.name) == 0) {
        old = std::move(v.value);
        return;
      }
    current->values.emplace_back(std::move(v.name), std::move(v.value));
  }

  // A key's values take no more room than they need.
  void done_with_current() {
    if (current && current->values.capacity() > current->values.size())
      current->values.shrink_to_fit();
  }
};

}  // namespace

bool parse_reg_text(std::string_view text, std::vector<RegTextKey>& out, std::string& error) {
  BlockCollector c;
  RegTextReader<BlockCollector> reader(c);
  reader.feed(text);
  if (!reader.finish()) {
    error = reader.error();
    return false;
  }
  out = std::move(c.keys);
  return true;
}

bool apply_reg_text(const std::vector<RegTextKey>& keys, std::string_view prefix,
                    bool mark_volatile, HiveKey& root, std::string& error) {
  for (const auto& k : keys) {
    std::string_view path = k.path;
    if (!prefix.empty()) {
      if (path.size() < prefix.size() + 1 ||
          reg_name_compare(path.substr(0, prefix.size()), prefix) != 0 ||
          path[prefix.size()] != '\\') {
        error = "line " + std::to_string(k.line) + ": key outside " + std::string(prefix);
        return false;
      }
      path.remove_prefix(prefix.size() + 1);
    }
    std::vector<std::string> parts = split_key_path(path);
    if (k.remove) {
      if (parts.empty()) {
        error = "line " + std::to_string(k.line) + ": cannot delete the root";
        return false;
      }
      std::string last = parts.back();
      parts.pop_back();
      if (HiveKey* parent = root.find(parts)) parent->remove_child(last);
      continue;
    }
    HiveKey* node = &root;
    for (const auto& p : parts) node = node->add_child(p);
    if (!parts.empty() && mark_volatile) node->is_volatile = true;
    for (const auto& v : k.values) {
      if (v.remove)
        node->remove_value(v.name);
      else
        node->set_value(v.name, v.value);
    }
  }
  return true;
}

// Reads a hive's text in pieces: what it has seen decides, at the end, which error a
// text that is no hive gets.
class HiveReader {
 public:
  explicit HiveReader(const std::vector<std::string>* scope) { builder_.scope = scope; }

  void feed(std::string_view piece) {
    if (head_.size() < 4) head_.append(piece.substr(0, 4 - head_.size()));
    // The version line anywhere, also across the pieces' borders.
    if (!has_header_) {
      const size_t keep = kRegTextHeader.size() - 1;
      std::string border = carry_ + std::string(piece.substr(0, keep));
      has_header_ = border.find(kRegTextHeader) != std::string::npos ||
                    piece.find(kRegTextHeader) != std::string_view::npos;
      carry_ += piece.substr(piece.size() > keep ? piece.size() - keep : 0);
      if (carry_.size() > keep) carry_.erase(0, carry_.size() - keep);
    }
    reader_.feed(piece);
  }

  Status finish(HiveKey& root, std::string& error) {
    bool parsed = reader_.finish();
    builder_.done_with_current();
    if (head_ == "regf") {
      error = "a binary hive (regf), which the simulated machine cannot read";
      return win::kBadRegistry;
    }
    // A file without even the version line (an empty one, say) is no hive at all.
    if (!has_header_) {
      error = "line 1: not a hive (no version line)";
      return win::kBadRegistry;
    }
    if (!parsed) {
      error = reader_.error();
      return win::kRegistryCorrupt;
    }
    if (builder_.first_root_deletion) {
      error = "line " + std::to_string(builder_.first_root_deletion) + ": cannot delete the root";
      return win::kRegistryCorrupt;
    }
    // Every hive has its root key: a version line and nothing after it is what is left of
    // a file cut short, not an empty hive (which is written with its root, "[]").
    if (builder_.keys == 0) {
      error = "line 1: not a hive (no key after the version line)";
      return win::kBadRegistry;
    }
    if (builder_.first_deletion) {
      error = "line " + std::to_string(builder_.first_deletion) + ": a deletion in a hive file";
      return win::kRegistryCorrupt;
    }
    root = std::move(builder_.root);
    return win::kSuccess;
  }

 private:
  HiveBuilder builder_;
  RegTextReader<HiveBuilder> reader_{builder_};
  std::string head_, carry_;
  bool has_header_ = false;
};

// ---------------------------------------------------------------------------------------
// Writing .reg text

namespace {

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  size_t pos = 0;
  for (;;) {
    size_t stop = s.find_first_of("\\\"", pos);
    out.append(s.substr(pos, stop == std::string_view::npos ? s.npos : stop - pos));
    if (stop == std::string_view::npos) break;
    out += '\\';
    out += s[stop];
    pos = stop + 1;
  }
  out += '"';
}

// Text a "..." string carries exactly: one closing NUL, no other NUL, no line break.
bool plain_text(const std::string& d) {
  return !d.empty() && d.back() == '\0' && d.find('\0') == d.size() - 1 &&
         d.find_first_of("\r\n") == std::string::npos;
}

void append_reg_value(std::string& out, std::string_view name, const RegValue& value,
                      std::string_view eol) {
  if (name.empty())
    out += "@=";
  else
    append_quoted(out, name), out += '=';
  if (value.type == reg::kSz && plain_text(value.data)) {
    append_quoted(out, std::string_view(value.data).substr(0, value.data.size() - 1));
    return;
  }
  uint32_t dw = 0;
  if (value.type == reg::kDword && value.data.size() == 4 && value.as_dword(dw)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", dw);
    out += buf;
    return;
  }
  char tag[24];
  if (value.type == reg::kBinary)
    std::snprintf(tag, sizeof tag, "hex:");
  else
    std::snprintf(tag, sizeof tag, "hex(%x):", value.type);
  // Lines are broken after the comma that reaches column 76, counted from the name.
  size_t line_len = (name.empty() ? 2 : 0) + std::strlen(tag);
  if (!name.empty()) {
    size_t quoted = 2 + name.size();
    for (char c : name) quoted += c == '\\' || c == '"';
    line_len += quoted + 1;
  }
  out += tag;
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < value.data.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(value.data[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
    line_len += 2;
    if (i + 1 < value.data.size()) {
      out += ',';
      ++line_len;
      if (line_len >= 76) {
        out += '\\';
        out += eol;
        out += "  ";
        line_len = 2;
      }
    }
  }
}

// Text in pieces: what is appended goes to sink whenever a megabyte has gathered.
struct TextSink {
  std::string& buf;
  const std::function<void(std::string_view)>* sink;
  void maybe_flush() {
    if (sink && buf.size() >= (size_t{1} << 20)) {
      (*sink)(buf);
      buf.clear();
    }
  }
};

void append_tree(TextSink& out, const HiveKey& key, std::string& path, RegTreePart part,
                 bool with_self, std::string_view eol) {
  if (part == RegTreePart::kStable && key.is_volatile) return;
  bool emit = part == RegTreePart::kVolatile ? key.is_volatile : (with_self || !key.values.empty());
  if (emit) {
    out.buf += '[';
    out.buf += path;
    out.buf += ']';
    out.buf += eol;
    for (const auto& [n, v] : key.values) {
      append_reg_value(out.buf, n, v, eol);
      out.buf += eol;
    }
    out.buf += eol;
    out.maybe_flush();
  }
  size_t len = path.size();
  for (const auto& k : key.subkeys) {
    if (len) path += '\\';
    path += k->name;
    append_tree(out, *k, path, part, true, eol);
    path.resize(len);
  }
}

}  // namespace

std::string format_reg_value(std::string_view name, const RegValue& value, std::string_view eol) {
  std::string r;
  append_reg_value(r, name, value, eol);
  return r;
}

void append_reg_tree(std::string& out, const HiveKey& key, const std::string& path,
                     RegTreePart part, bool with_self, std::string_view eol) {
  TextSink sink{out, nullptr};
  std::string p = path;
  append_tree(sink, key, p, part, with_self, eol);
}

Status parse_hive_text(std::string_view text, HiveKey& root, std::string& error,
                       const std::vector<std::string>* scope) {
  HiveReader reader(scope);
  reader.feed(text);
  return reader.finish(root, error);
}

size_t read_piece_size(int fd) {
  struct stat st;
  size_t most = size_t{1} << 20;
  if (::fstat(fd, &st) != 0 || st.st_size < 0) return most;
  return std::min(most, static_cast<size_t>(st.st_size) + 1);  // + 1: the end in one read
}

bool read_hive_file(const std::string& path, HiveKey& root, std::string& error, Status& status,
                    TextDigest* digest, const std::vector<std::string>* scope) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  HiveReader reader(scope);
  std::string buf(read_piece_size(fd), '\0');
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    if (n == 0) break;
    std::string_view piece(buf.data(), static_cast<size_t>(n));
    if (digest) digest->add(piece);
    reader.feed(piece);
  }
  ::close(fd);
  status = reader.finish(root, error);
  return true;
}

void write_hive_text(const HiveKey& root, const std::function<void(std::string_view)>& sink) {
  std::string buf(kRegTextHeader);
  buf += "\n\n";
  bool empty = root.is_volatile ||
               (root.values.empty() && std::all_of(root.subkeys.begin(), root.subkeys.end(),
                                                   [](const auto& k) { return k->is_volatile; }));
  if (empty) {
    buf += "[]\n";  // an empty hive still has its root key
  } else {
    TextSink out{buf, &sink};
    std::string path;
    append_tree(out, root, path, RegTreePart::kStable, false, "\n");
  }
  if (!buf.empty()) sink(buf);
}

std::string format_hive_text(const HiveKey& root) {
  std::string out;
  write_hive_text(root, [&](std::string_view piece) { out += piece; });
  return out;
}

// ---------------------------------------------------------------------------------------
// TextDigest

void TextDigest::add(std::string_view s) {
  size_ += s.size();
  size_t i = 0;
  // Finish a word begun by the previous piece.
  while (carry_len_ && carry_len_ < 8 && i < s.size())
    carry_ |= uint64_t{static_cast<unsigned char>(s[i++])} << (8 * carry_len_++);
  if (carry_len_ == 8) {
    mix(carry_);
    carry_ = 0;
    carry_len_ = 0;
  }
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    mix(w);
  }
  for (; i < s.size(); ++i)
    carry_ |= uint64_t{static_cast<unsigned char>(s[i])} << (8 * carry_len_++);
}

uint64_t TextDigest::value() const {
  uint64_t h = h_;
  h ^= carry_ * 0x9E3779B97F4A7C15ull;
  h ^= size_ * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

void TextDigest::mix(uint64_t w) {
  w *= 0x87C37B91114253D5ull;
  w = (w << 31) | (w >> 33);
  w *= 0x4CF5AD432745937Full;
  h_ ^= w;
  h_ = ((h_ << 27) | (h_ >> 37)) * 5 + 0x52DCE729;
}

}  // namespace tarvik::sim
