#include "platform/port.h"

#include <cctype>
#include <cstring>

namespace tarvik {

RegValue RegValue::text(std::string_view s, uint32_t type) {
  RegValue v;
  v.type = type;
  v.data.assign(s);
  v.data.push_back('\0');
  return v;
}

RegValue RegValue::dword(uint32_t x) {
  RegValue v;
  v.type = reg::kDword;
  for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<char>((x >> (8 * i)) & 0xFF));
  return v;
}

std::string RegValue::as_text() const {
  size_t end = data.find('\0');
  return data.substr(0, end == std::string::npos ? data.size() : end);
}

bool RegValue::as_dword(uint32_t& out) const {
  if (data.size() < 4) return false;
  uint32_t x = 0;
  for (int i = 3; i >= 0; --i) x = (x << 8) | static_cast<uint8_t>(data[i]);
  out = x;
  return true;
}

Status RegKey::open(std::string_view subkey, uint32_t access, RegKey& out) const {
  if (!impl_) return win::kInvalidHandle;
  std::unique_ptr<RegKeyImpl> k;
  Status s = impl_->open(subkey, access, k);
  if (s == win::kSuccess) out = RegKey(std::move(k));
  return s;
}

Status RegKey::create(std::string_view subkey, uint32_t options, uint32_t access,
                      RegKey& out) const {
  if (!impl_) return win::kInvalidHandle;
  std::unique_ptr<RegKeyImpl> k;
  Status s = impl_->create(subkey, options, access, k);
  if (s == win::kSuccess) out = RegKey(std::move(k));
  return s;
}

Status RegKey::query(std::string_view name, RegValue& out) const {
  return impl_ ? impl_->query(name, out) : win::kInvalidHandle;
}

Status RegKey::query_text(std::string_view name, std::string& out) const {
  RegValue v;
  Status s = query(name, v);
  if (s == win::kSuccess) out = v.as_text();
  return s;
}

Status RegKey::query_dword(std::string_view name, uint32_t& out) const {
  RegValue v;
  Status s = query(name, v);
  if (s != win::kSuccess) return s;
  return v.as_dword(out) ? win::kSuccess : win::kMoreData;
}

Status RegKey::set(std::string_view name, const RegValue& value) const {
  return impl_ ? impl_->set(name, value) : win::kInvalidHandle;
}

Status RegKey::set_text(std::string_view name, std::string_view text) const {
  return set(name, RegValue::text(text));
}

Status RegKey::set_dword(std::string_view name, uint32_t value) const {
  return set(name, RegValue::dword(value));
}

Status RegKey::delete_value(std::string_view name) const {
  return impl_ ? impl_->delete_value(name) : win::kInvalidHandle;
}

Status RegKey::delete_tree(std::string_view subkey) const {
  return impl_ ? impl_->delete_tree(subkey) : win::kInvalidHandle;
}

Status RegKey::enum_subkey(uint32_t index, std::string& name) const {
  return impl_ ? impl_->enum_subkey(index, name) : win::kInvalidHandle;
}

Status Registry::open(std::string_view path, uint32_t access, RegKey& out) {
  return hklm().open(path, access, out);
}

Status Registry::create(std::string_view path, uint32_t options, uint32_t access, RegKey& out) {
  return hklm().create(path, options, access, out);
}

namespace {
char fold(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
}  // namespace

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

bool contains_nocase(std::string_view text, std::string_view part) {
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (equals_nocase(text.substr(i, part.size()), part)) return true;
  return false;
}

bool glob_match(std::string_view text, std::string_view pattern) {
  // Iterative match with one backtrack point: the last '*' seen.
  size_t ti = 0, pi = 0, star = std::string_view::npos, mark = 0;
  while (ti < text.size()) {
    // A '*' is a wildcard even where the text holds a '*' itself.
    if (pi < pattern.size() && pattern[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (pi < pattern.size() && (pattern[pi] == '?' || fold(pattern[pi]) == fold(text[ti]))) {
      ++ti;
      ++pi;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < pattern.size() && pattern[pi] == '*') ++pi;
  return pi == pattern.size();
}

bool path_match_spec(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*") return true;
  if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
      name.find('.') == std::string_view::npos &&
      glob_match(name, pattern.substr(0, pattern.size() - 2)))
    return true;
  return glob_match(name, pattern);
}

uint32_t drive_layout_bytes(uint32_t entries) {
  // DRIVE_LAYOUT_INFORMATION_EX: 48-byte header, 144 bytes per PARTITION_INFORMATION_EX.
  return 48 + 144 * entries;
}

namespace {
std::unique_ptr<Platform>& current() {
  static std::unique_ptr<Platform> p;
  return p;
}
}  // namespace

Platform& platform() {
  return *current();
}

void install_platform(std::unique_ptr<Platform> p) {
  current() = std::move(p);
}

}  // namespace tarvik
