#include "platform/sim/hive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/sim/ini.h"

namespace tarvik::sim {

int reg_name_compare(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = std::toupper(static_cast<unsigned char>(a[i]));
    int y = std::toupper(static_cast<unsigned char>(b[i]));
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

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
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
  std::string r;
  for (size_t i = pos + 1; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      r += s[++i];
    } else if (s[i] == '"') {
      pos = i + 1;
      out = std::move(r);
      return true;
    } else {
      r += s[i];
    }
  }
  return false;
}

bool parse_hex_bytes(std::string_view s, std::string& out) {
  std::string r;
  std::string t = trim(s);
  if (t.empty()) {
    out.clear();
    return true;
  }
  size_t pos = 0;
  while (pos <= t.size()) {
    size_t comma = t.find(',', pos);
    if (comma == std::string::npos) comma = t.size();
    std::string byte = trim(std::string_view(t).substr(pos, comma - pos));
    uint32_t b = 0;
    if (byte.empty() && comma == t.size() && !r.empty()) break;  // a trailing comma
    if (!parse_hex_number(byte, 2, b)) return false;
    r += static_cast<char>(b);
    pos = comma + 1;
  }
  out = std::move(r);
  return true;
}

bool parse_value_data(std::string_view data, RegTextValue& v, std::string& why) {
  std::string d = trim(data);
  if (d == "-") {
    v.remove = true;
    return true;
  }
  if (!d.empty() && d[0] == '"') {
    size_t pos = 0;
    std::string text;
    if (!parse_quoted(d, pos, text) || !trim(std::string_view(d).substr(pos)).empty()) {
      why = "malformed string data";
      return false;
    }
    v.value = RegValue::text(text);
    return true;
  }
  std::string lower = to_lower(d);
  if (lower.rfind("dword:", 0) == 0) {
    uint32_t x = 0;
    if (!parse_hex_number(trim(std::string_view(d).substr(6)), 8, x)) {
      why = "malformed dword data";
      return false;
    }
    v.value = RegValue::dword(x);
    return true;
  }
  uint32_t type = reg::kBinary;
  size_t colon = std::string::npos;
  if (lower.rfind("hex:", 0) == 0) {
    colon = 3;
  } else if (lower.rfind("hex(", 0) == 0) {
    size_t close = lower.find("):");
    if (close == std::string::npos ||
        !parse_hex_number(std::string_view(lower).substr(4, close - 4), 8, type)) {
      why = "malformed hex(N) type";
      return false;
    }
    colon = close + 1;
  } else {
    why = "unknown value data";
    return false;
  }
  v.value.type = type;
  if (!parse_hex_bytes(std::string_view(d).substr(colon + 1), v.value.data)) {
    why = "malformed hex bytes";
    return false;
  }
  return true;
}

bool parse_value_line(std::string_view line, RegTextValue& v, std::string& why) {
  size_t pos = 0;
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

std::string rtrim(std::string_view s) {
  size_t e = s.size();
  while (e > 0 && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(0, e));
}

}  // namespace

bool parse_reg_text(std::string_view text, std::vector<RegTextKey>& out, std::string& error) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<RegTextKey> keys;
  bool seen_header = false;
  int line_no = 0;
  size_t pos = 0;
  auto fail = [&](int n, const std::string& why) {
    error = "line " + std::to_string(n) + ": " + why;
    return false;
  };
  while (pos < text.size()) {
    // One logical line: physical lines joined where one ends with a backslash.
    std::string line;
    int first_line = line_no + 1;
    for (;;) {
      size_t nl = text.find('\n', pos);
      std::string_view raw =
          text.substr(pos, nl == std::string_view::npos ? text.size() - pos : nl - pos);
      pos = nl == std::string_view::npos ? text.size() : nl + 1;
      ++line_no;
      std::string part = rtrim(raw);
      if (!line.empty()) part = trim(part);
      bool more = !part.empty() && part.back() == '\\' && part[0] != '[' && pos < text.size();
      if (more) part.pop_back();
      line += part;
      if (!more) break;
    }
    std::string t = trim(line);
    if (t.empty() || t[0] == ';') continue;
    if (!seen_header) {
      if (t != kRegTextHeader) return fail(first_line, "not registry text (no version line)");
      seen_header = true;
      continue;
    }
    if (t[0] == '[') {
      if (t.back() != ']') return fail(first_line, "malformed key header");
      RegTextKey k;
      k.line = first_line;
      std::string_view path = std::string_view(t).substr(1, t.size() - 2);
      if (!path.empty() && path[0] == '-') {
        k.remove = true;
        path.remove_prefix(1);
      }
      k.path = std::string(path);
      keys.push_back(std::move(k));
      continue;
    }
    if (keys.empty()) return fail(first_line, "value outside a key");
    RegTextValue v;
    std::string why;
    if (!parse_value_line(t, v, why)) return fail(first_line, why);
    keys.back().values.push_back(std::move(v));
  }
  out = std::move(keys);
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

// ---------------------------------------------------------------------------------------
// Writing .reg text

namespace {

std::string quote(std::string_view s) {
  std::string r = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') r += '\\';
    r += c;
  }
  return r + "\"";
}

// Text a "..." string carries exactly: one closing NUL, no other NUL, no line break.
bool plain_text(const std::string& d) {
  return !d.empty() && d.back() == '\0' && d.find('\0') == d.size() - 1 &&
         d.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string format_reg_value(std::string_view name, const RegValue& value, std::string_view eol) {
  std::string r = name.empty() ? "@=" : quote(name) + "=";
  if (value.type == reg::kSz && plain_text(value.data))
    return r + quote(std::string_view(value.data).substr(0, value.data.size() - 1));
  uint32_t dw = 0;
  if (value.type == reg::kDword && value.data.size() == 4 && value.as_dword(dw)) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", dw);
    return r + buf;
  }
  char tag[24];
  if (value.type == reg::kBinary)
    std::snprintf(tag, sizeof tag, "hex:");
  else
    std::snprintf(tag, sizeof tag, "hex(%x):", value.type);
  r += tag;
  size_t line_len = r.size();
  for (size_t i = 0; i < value.data.size(); ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(value.data[i]));
    r += b;
    line_len += 2;
    if (i + 1 < value.data.size()) {
      r += ',';
      ++line_len;
      if (line_len >= 76) {
        r += "\\";
        r += eol;
        r += "  ";
        line_len = 2;
      }
    }
  }
  return r;
}

void append_reg_tree(std::string& out, const HiveKey& key, const std::string& path,
                     RegTreePart part, bool with_self, std::string_view eol) {
  if (part == RegTreePart::kStable && key.is_volatile) return;
  bool emit = part == RegTreePart::kVolatile ? key.is_volatile : (with_self || !key.values.empty());
  if (emit) {
    out += "[" + path + "]";
    out += eol;
    for (const auto& [n, v] : key.values) {
      out += format_reg_value(n, v, eol);
      out += eol;
    }
    out += eol;
  }
  for (const auto& k : key.subkeys)
    append_reg_tree(out, *k, path.empty() ? k->name : path + "\\" + k->name, part, true, eol);
}

Status parse_hive_text(std::string_view text, HiveKey& root, std::string& error) {
  if (text.substr(0, 4) == "regf") {
    error = "a binary hive (regf), which the simulated machine cannot read";
    return win::kBadRegistry;
  }
  // A file without even the version line (an empty one, say) is no hive at all.
  if (text.find(kRegTextHeader) == std::string_view::npos) {
    error = "line 1: not a hive (no version line)";
    return win::kBadRegistry;
  }
  std::vector<RegTextKey> keys;
  HiveKey r;
  if (!parse_reg_text(text, keys, error) || !apply_reg_text(keys, {}, false, r, error))
    return win::kRegistryCorrupt;
  // Every hive has its root key: a version line and nothing after it is what is left of
  // a file cut short, not an empty hive (which is written with its root, "[]").
  if (keys.empty()) {
    error = "line 1: not a hive (no key after the version line)";
    return win::kBadRegistry;
  }
  for (const auto& k : keys)
    if (k.remove) {
      error = "line " + std::to_string(k.line) + ": a deletion in a hive file";
      return win::kRegistryCorrupt;
    }
  root = std::move(r);
  return win::kSuccess;
}

std::string format_hive_text(const HiveKey& root) {
  std::string out(kRegTextHeader);
  out += "\n\n";
  size_t header = out.size();
  append_reg_tree(out, root, "", RegTreePart::kStable, false, "\n");
  if (out.size() == header) out += "[]\n";  // an empty hive still has its root key
  return out;
}

}  // namespace tarvik::sim
