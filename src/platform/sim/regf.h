// Real Windows hive files ("regf") as HiveKey trees, through libhivex.
//
// Keys and values keep what the narrow (A) registry functions see, as in the .reg text
// hives (hive.h): names and the text of REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ values are
// narrow text in the given code page, converted from and to the UTF-16LE that the file
// stores; every other type keeps its bytes exactly. A name is what precedes its first NUL
// (how Windows shows a name that holds one).
//
// Whatever the code page cannot carry exactly (a character outside it, a text value of an
// odd number of bytes, a name cut at a NUL) is read as the A functions would give it and
// named in `inexact`; writing the tree back leaves such a value's stored bytes alone while
// it is unchanged, and a stored name while its key's values are unchanged (libhivex sets a
// key's values all at once, naming each by its text up to a NUL).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/hive.h"

struct hive_h;  // libhivex's open hive

namespace tarvik::sim {

// Whether a file's bytes are a real Windows hive.
bool is_regf(std::string_view data);
// Whether the file at path is one, from its first bytes; false with errno set when it
// cannot be read (errno 0 when it is readable and no hive).
bool file_is_regf(const std::string& path);

// A valid hive holding only an empty root key.
std::string empty_regf_hive();

// Reads the regf file at path into root (replacing what it held). A missing file gives
// kFileNotFound, a truncated or corrupt one kBadRegistry; error then names the file.
// Volatile keys do not exist in a file: every key read is stable. inexact, when given,
// receives the keys ("Key\Sub") and values ("Key\Sub \"name\"") whose names or data the
// code page does not carry exactly.
Status read_regf_file(const std::string& path, uint32_t codepage, HiveKey& root, std::string& error,
                      std::vector<std::string>* inexact = nullptr);

// Makes the regf file at path hold exactly root's stable keys and their values: an
// existing regf file is changed in place, keeping what did not change (its other
// metadata, the stored bytes of unchanged values, key names' case); a missing file, or
// one that is not regf, is replaced by a new hive. Names are matched without regard to
// case. The file is replaced atomically: a writer killed on the way leaves the old file
// or the new one. A corrupt regf file gives kBadRegistry and is left alone. Text the code
// page does not carry is converted as the A functions convert it (see regf_inexact).
Status write_regf_file(const std::string& path, const HiveKey& root, uint32_t codepage,
                       std::string& error);

// An open regf file, read or changed one part at a time: the key at a path (its scope)
// with everything below it, without reading the rest of the file. The file's bytes are
// mapped for reading, or held in memory for changing. Not for two threads at once.
class RegfFile {
 public:
  RegfFile() = default;
  ~RegfFile();
  RegfFile(const RegfFile&) = delete;
  RegfFile& operator=(const RegfFile&) = delete;

  // Opens the file at path (writable: to be changed and committed). Errors as
  // read_regf_file's; error names the file.
  Status open(const std::string& path, uint32_t codepage, bool writable, std::string& error);
  // A new hive holding only an empty root key, to be committed to path.
  Status create(const std::string& path, uint32_t codepage, std::string& error);

  // Replaces root with the keys on the way to scope, each holding only the next of them,
  // and the key at scope with its values and its whole subtree; as far as the file has
  // them (find(scope) tells whether the key exists). inexact as read_regf_file's.
  Status read(const std::vector<std::string>& scope, HiveKey& root, std::string& error,
              std::vector<std::string>* inexact = nullptr);

  // Makes the file's key at scope hold exactly what root holds at scope (its stable keys
  // and values, as write_regf_file does for a whole tree), adding the keys on the way that
  // root holds as stable keys; removes the file's key when root holds none there. The file
  // itself changes only at commit.
  Status write(const std::vector<std::string>& scope, const HiveKey& root, std::string& error);

  // Puts the changed hive in place of the file at path, atomically (a writer killed on the
  // way leaves the old file or the new one); a read-only file is not replaced (5).
  Status commit(const std::string& path, std::string& error);

 private:
  hive_h* h_ = nullptr;
  std::string path_;
  uint32_t codepage_ = 0;
};

// Whether two trees hold the same keys and values: values by name (type and bytes equal),
// subkeys by name, without regard to case or order.
bool same_hive_tree(const HiveKey& a, const HiveKey& b);

// Appends to out the keys and values below key (key itself at path) whose names or text
// the code page does not carry exactly into a regf file, named as read_regf_file names them.
void regf_inexact(const HiveKey& key, uint32_t codepage, std::vector<std::string>& out,
                  const std::string& path = "");

}  // namespace tarvik::sim
