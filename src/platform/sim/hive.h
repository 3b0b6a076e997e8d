// Registry keys in memory and their .reg text form.
//
// A hive file of the simulated machine is .reg text: the line
// "Windows Registry Editor Version 5.00", then one block per key, its header holding the
// path relative to the hive's root ("[ControlSet001\Services\tarvik]"; "[]" is the root
// itself), then its values:
//   "name"="text"            REG_SZ whose bytes are the text and one closing NUL
//   @=...                    the default value
//   "name"=dword:0000002a    REG_DWORD of exactly four bytes
//   "name"=hex:01,02         REG_BINARY
//   "name"=hex(N):..         any other type N (hex), and every value whose bytes the forms
//                            above cannot carry exactly (a REG_SZ without its NUL, ...)
// Long hex lists continue on the next line after a trailing backslash. The bytes of
// text types are those the narrow (A) functions see: one byte a character, not UTF-16.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/port.h"

namespace tarvik::sim {

// Names of keys and values compare as the system compares them: by their upper-case form.
int reg_name_compare(std::string_view a, std::string_view b);

// "A\\B\C" -> {"A", "B", "C"} (empty components dropped).
std::vector<std::string> split_key_path(std::string_view path);
std::string join_key_path(const std::vector<std::string>& parts);

struct HiveKey {
  std::string name;
  bool is_volatile = false;
  std::vector<std::pair<std::string, RegValue>> values;  // in the order they were created
  std::vector<std::unique_ptr<HiveKey>> subkeys;         // in the order the system lists them

  HiveKey() = default;
  explicit HiveKey(std::string_view n) : name(n) {}
  HiveKey(const HiveKey& other);  // deep copy
  HiveKey& operator=(const HiveKey& other);
  HiveKey(HiveKey&&) = default;
  HiveKey& operator=(HiveKey&&) = default;

  HiveKey* child(std::string_view n) const;
  // The child named n, created (in listing order) when missing.
  HiveKey* add_child(std::string_view n);
  bool remove_child(std::string_view n);
  // The key at path below this one, or nullptr.
  HiveKey* find(const std::vector<std::string>& path);
  const HiveKey* find(const std::vector<std::string>& path) const;

  const RegValue* value(std::string_view n) const;
  // Replaces an existing value in place (keeping its name as first written) or appends.
  void set_value(std::string_view n, const RegValue& v);
  bool remove_value(std::string_view n);
};

// One key block of .reg text.
struct RegTextValue {
  std::string name;     // "" for the default value (@)
  bool remove = false;  // "name"=-
  RegValue value;
};
struct RegTextKey {
  std::string path;
  bool remove = false;  // [-path]
  int line = 0;
  std::vector<RegTextValue> values;
};

inline constexpr std::string_view kRegTextHeader = "Windows Registry Editor Version 5.00";

// Parses .reg text. Empty text is no keys. On malformed text returns false with error
// "line N: what".
bool parse_reg_text(std::string_view text, std::vector<RegTextKey>& out, std::string& error);

// Applies parsed blocks to root. Each path must begin with prefix + "\" (without regard to
// case; an empty prefix takes the paths as they are); the rest is the path below root.
// Keys named in headers get is_volatile = mark_volatile, keys created on the way do not.
bool apply_reg_text(const std::vector<RegTextKey>& keys, std::string_view prefix,
                    bool mark_volatile, HiveKey& root, std::string& error);

// Which keys of a tree a text holds.
enum class RegTreePart {
  kAll,       // every key
  kStable,    // keys that are not volatile (a volatile key hides its subtree)
  kVolatile,  // volatile keys only (their ancestors are implied by the headers)
};

// Appends the blocks of key and its subtree: key's own header is path (its subkeys' are
// path\name); with with_self false key's own block is left out unless it has values.
void append_reg_tree(std::string& out, const HiveKey& key, const std::string& path,
                     RegTreePart part, bool with_self, std::string_view eol);

// One value line (with continuation lines) without the line end.
std::string format_reg_value(std::string_view name, const RegValue& value, std::string_view eol);

// A hive file: its text -> keys (a file that begins with "regf", or that holds no key, not
// even the root "[]", gives kBadRegistry, malformed text kRegistryCorrupt) and keys -> text
// (volatile keys left out; an empty hive is written with its root key).
// With a scope (a key's path), root holds the key at scope with everything below it and
// the keys on the way to it, without their values, as the whole text has them; no other
// key is built, though every value is read, so a text gives the same status either way.
Status parse_hive_text(std::string_view text, HiveKey& root, std::string& error,
                       const std::vector<std::string>* scope = nullptr);
std::string format_hive_text(const HiveKey& root);

// A 64-bit digest of text and its length, the same however the text comes in pieces:
// whether a hive file still holds the text it held, without keeping that text.
class TextDigest {
 public:
  void add(std::string_view piece);
  uint64_t value() const;
  uint64_t size() const { return size_; }
  bool operator==(const TextDigest& o) const { return size_ == o.size_ && value() == o.value(); }

 private:
  void mix(uint64_t word);
  uint64_t h_ = 0x243F6A8885A308D3ull, carry_ = 0, size_ = 0;
  unsigned carry_len_ = 0;
};

// How much to read at a time from the open file fd: a megabyte, or less for a smaller file.
size_t read_piece_size(int fd);
// parse_hive_text of the file at path, read a megabyte at a time (the text is never held
// whole), its bytes added to digest when given. false (errno set) when the file cannot be
// read; else status is parse_hive_text's (for scope, as it reads one).
bool read_hive_file(const std::string& path, HiveKey& root, std::string& error, Status& status,
                    TextDigest* digest, const std::vector<std::string>* scope = nullptr);
// format_hive_text's text handed to sink in pieces of about a megabyte.
void write_hive_text(const HiveKey& root, const std::function<void(std::string_view)>& sink);

}  // namespace tarvik::sim
