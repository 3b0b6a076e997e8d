// tarvik-sim reg: the verbs, arguments and output of a 64-bit reg.exe, on the simulated
// guest's registry (or, with --hive FILE before the verb, on one offline hive file whose
// keys are named relative to its root).
//
//   reg query KEY [/v NAME | /ve] [/s]
//   reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]
//   reg delete KEY [/v NAME | /ve | /va] [/f]
//   reg export KEY FILE [/y]
//   reg import FILE
// each with /reg:32 or /reg:64 (the default) for the view of HKLM\SOFTWARE. FILE is a
// Windows path on the guest ("C:\x.reg") or a host path. Exported text is UTF-8 with CRLF
// line ends (reg.exe writes UTF-16).
//
// Exit codes: 0 done, 1 the registry refused (reg.exe's "ERROR: ..." on stderr), 2 bad
// arguments or guest (a hive that cannot be read is named with its file and line).
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "platform/sim/hive.h"
#include "platform/sim/ini.h"
#include "platform/sim/registry.h"
#include "reg_text.h"

namespace {

using namespace tarvik;
using namespace tarvik::sim;
using tarvik_sim::reg_type_name;
using tarvik_sim::reg_value_text;

constexpr char kDone[] = "The operation completed successfully.\n";
constexpr char kCanceled[] = "The operation was canceled by the user.\n";

__attribute__((format(printf, 1, 2))) void err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

// Bad arguments: what is wrong, then reg.exe's pointer to its usage.
__attribute__((format(printf, 2, 3))) int bad_args(const std::string& verb, const char* fmt, ...) {
  std::fputs("ERROR: Invalid syntax: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  err(".\nType \"REG %s /?\" for usage.\n", to_upper(verb).c_str());
  return 2;
}

// reg.exe's text of a failure: "ERROR: ..." on stderr, exit 1.
// The guest's registry store, for the file and line of a hive that cannot be read.
const RegistryStore* g_store = nullptr;

int failed(Status s) {
  // A hive that cannot be read is a broken guest, not a refusal: name the file and line.
  if ((s == win::kBadRegistry || s == win::kRegistryCorrupt) && g_store &&
      !g_store->last_error().empty()) {
    err("tarvik-sim reg: %s\n", g_store->last_error().c_str());
    return 2;
  }
  const char* text = nullptr;
  switch (s) {
    case win::kFileNotFound:
    case win::kKeyDeleted:
      text = "The system was unable to find the specified registry key or value.";
      break;
    case win::kPathNotFound:
      text = "The system cannot find the path specified.";
      break;
    case win::kAccessDenied:
      text = "Access is denied.";
      break;
    case win::kInvalidParameter:
      text = "The parameter is incorrect.";
      break;
    case win::kInvalidName:
      text = "The filename, directory name, or volume label syntax is incorrect.";
      break;
    case win::kSharingViolation:
      text = "The process cannot access the file because it is being used by another process.";
      break;
    case win::kBadRegistry:
      text = "The configuration registry database is corrupt.";
      break;
    case win::kRegistryCorrupt:
      text =
          "The registry is corrupted. The structure of one of the files containing registry "
          "data is corrupted, or the system's memory image of the file is corrupted, or the "
          "file could not be recovered because the alternate copy or log was absent or "
          "corrupted.";
      break;
    case kChildMustBeVolatile:
      text = "Cannot create a stable subkey under a volatile parent key.";
      break;
    default:
      break;
  }
  if (text)
    err("ERROR: %s\n", text);
  else
    err("ERROR: Windows error %u.\n", s);
  return 1;
}

// Asks on stdout; true when the answer read from stdin begins with y.
bool confirm(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return false;
  return line[0] == 'y' || line[0] == 'Y';
}

struct Context {
  RegistryStore* store = nullptr;
  std::string hive_file;  // host path of the --hive file; empty: the guest's registry
  bool view64 = true;
};

// KEY of the command line as a location of the store.
struct KeyArg {
  RegLocation loc;
  std::string display;  // the name reg.exe prints for it
};

// kInvalidName when KEY does not name HKLM (other roots are not simulated).
Status parse_key(const Context& c, std::string_view key, KeyArg& out) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  std::string_view rest = key;
  size_t slash = key.find('\\');
  std::string_view root = key.substr(0, slash);
  bool has_root = equals_nocase(root, "HKLM") || equals_nocase(root, "HKEY_LOCAL_MACHINE");
  if (has_root) rest = slash == std::string_view::npos ? "" : key.substr(slash + 1);
  KeyArg k;
  if (!c.hive_file.empty()) {
    k.loc.hive = {HiveRef::Kind::kFile, c.hive_file};
    k.loc.path = split_key_path(rest);
    k.display = std::string(rest);
  } else {
    if (!has_root) return win::kInvalidName;
    Status s = c.store->resolve(RegLocation{}, rest,
                                c.view64 ? reg::kWow64_64Key : reg::kWow64_32Key, k.loc);
    if (s != win::kSuccess) return s;
    k.display = "HKEY_LOCAL_MACHINE";
    if (!rest.empty()) k.display += "\\" + std::string(rest);
  }
  out = std::move(k);
  return win::kSuccess;
}

// The key and the hive it is in, as readers see them.
Status read_key(const Context& c, const KeyArg& k, std::shared_ptr<const HiveKey>& root,
                const HiveKey*& key) {
  Status s = c.store->read(k.loc.hive, k.loc.path, root);
  if (s != win::kSuccess) return s;
  key = root->find(k.loc.path);
  return key ? win::kSuccess : win::kFileNotFound;
}

// ---------------------------------------------------------------------------------------
// query

void print_value(std::string_view name, const RegValue& v) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : std::string(name).c_str(),
              reg_type_name(v.type), reg_value_text(v).c_str());
}

// The value as stored, with its name as first written.
const std::pair<std::string, RegValue>* stored_value(const HiveKey& k, std::string_view name) {
  for (const auto& nv : k.values)
    if (reg_name_compare(nv.first, name) == 0) return &nv;
  return nullptr;
}

void print_values(const std::string& path, const HiveKey& k) {
  if (k.values.empty()) return;
  std::printf("%s\n", path.c_str());
  for (const auto& [n, v] : k.values) print_value(n, v);
  std::printf("\n");
}

// /s: the key and every key below it, with the matches of /v (all values without /v).
int print_tree(const std::string& path, const HiveKey& k, const std::string* name) {
  int found = 0;
  if (!name) {
    std::printf("%s\n", path.c_str());
    for (const auto& [n, v] : k.values) print_value(n, v);
    std::printf("\n");
  } else if (const auto* v = stored_value(k, *name)) {
    std::printf("%s\n", path.c_str());
    print_value(v->first, v->second);
    std::printf("\n");
    found = 1;
  }
  for (const auto& s : k.subkeys) found += print_tree(path + "\\" + s->name, *s, name);
  return found;
}

struct Options {
  std::string verb;
  std::vector<std::string> positional;
  bool has_v = false, ve = false, va = false, s = false, f = false, y = false;
  std::string v, t, d, sep;
  bool has_t = false, has_d = false, has_sep = false;
};

// Splits the arguments after the verb; 0, or the exit code of a bad argument.
int parse_options(Context& c, int argc, char** argv, const std::string& allowed, Options& o) {
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    std::string l = to_lower(a);
    auto take = [&](std::string& into, bool& flag) {
      if (i + 1 >= argc) return bad_args(o.verb, "%s needs a value", a.c_str());
      if (flag) return bad_args(o.verb, "%s given twice", a.c_str());
      flag = true;
      into = argv[++i];
      return 0;
    };
    bool known = l.size() > 1 && l[0] == '/' &&
                 (allowed.find(" " + l.substr(1) + " ") != std::string::npos || l == "/reg:32" ||
                  l == "/reg:64");
    // A host path ("/tmp/x.reg") is no option.
    if (!a.empty() && a[0] == '/' && !known && a.find('/', 1) == std::string::npos)
      return bad_args(o.verb, "unknown option '%s'", a.c_str());
    int r = 0;
    if (!known)
      o.positional.push_back(a);
    else if (l == "/reg:32" || l == "/reg:64")
      c.view64 = l == "/reg:64";
    else if (l == "/v")
      r = take(o.v, o.has_v);
    else if (l == "/t")
      r = take(o.t, o.has_t);
    else if (l == "/d")
      r = take(o.d, o.has_d);
    else if (l == "/s" && o.verb == "add")
      r = take(o.sep, o.has_sep);
    else
      (l == "/ve" ? o.ve : l == "/va" ? o.va : l == "/s" ? o.s : l == "/f" ? o.f : o.y) = true;
    if (r) return r;
  }
  if (o.has_v + o.ve + o.va > 1) return bad_args(o.verb, "/v, /ve and /va exclude each other");
  return 0;
}

int key_error(const Options& o, const std::string& key, Status s) {
  if (s == win::kInvalidName) return bad_args(o.verb, "'%s' is no HKLM key", key.c_str());
  return failed(s);
}

int query(Context& c, const Options& o) {
  if (o.positional.size() != 1) return bad_args(o.verb, "query takes one KEY");
  KeyArg k;
  Status s = parse_key(c, o.positional[0], k);
  if (s != win::kSuccess) return key_error(o, o.positional[0], s);
  if (k.loc.hive.kind == HiveRef::Kind::kMachine) {
    std::printf("\n");
    for (const char* h : {"SOFTWARE", "SYSTEM"}) std::printf("HKEY_LOCAL_MACHINE\\%s\n", h);
    for (const auto& m : c.store->mounts()) std::printf("HKEY_LOCAL_MACHINE\\%s\n", m.c_str());
    return 0;
  }
  std::shared_ptr<const HiveKey> root;
  const HiveKey* key = nullptr;
  s = read_key(c, k, root, key);
  if (s != win::kSuccess) return failed(s);
  if (o.s) {
    std::printf("\n");
    const std::string* name = o.has_v ? &o.v : o.ve ? &o.v : nullptr;
    int n = print_tree(k.display, *key, name);
    if (name) std::printf("End of search: %d match(es) found.\n", n);
    return 0;
  }
  if (o.has_v || o.ve) {
    std::string name = o.ve ? "" : o.v;
    const auto* v = stored_value(*key, name);
    if (!v && !o.ve) return failed(win::kFileNotFound);
    std::printf("\n%s\n", k.display.c_str());
    if (v)
      print_value(v->first, v->second);
    else
      std::printf("    (Default)    REG_SZ    (value not set)\n");
    std::printf("\n");
    return 0;
  }
  std::printf("\n");
  print_values(k.display, *key);
  for (const auto& sub : key->subkeys)
    std::printf("%s\\%s\n", k.display.c_str(), sub->name.c_str());
  return 0;
}

// ---------------------------------------------------------------------------------------
// add

bool parse_number(const std::string& s, uint64_t max, uint64_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(s.c_str(), &end, 0);
  if (errno || *end || s[0] == '-' || v > max) return false;
  out = v;
  return true;
}

// The value /t TYPE /d DATA describe; 0 or the exit code of a bad argument.
int make_value(const Options& o, RegValue& out) {
  std::string t = o.has_t ? to_upper(o.t) : "REG_SZ";
  RegValue v;
  if (t == "REG_SZ" || t == "REG_EXPAND_SZ" || t == "REG_NONE") {
    v = RegValue::text(o.d, t == "REG_SZ"     ? reg::kSz
                            : t == "REG_NONE" ? reg::kNone
                                              : reg::kExpandSz);
  } else if (t == "REG_MULTI_SZ") {
    std::string sep = o.has_sep ? o.sep : "\\0";
    if (sep.empty() || (sep.size() > 1 && sep != "\\0"))
      return bad_args(o.verb, "/s needs one character, not '%s'", sep.c_str());
    v.type = reg::kMultiSz;
    size_t pos = 0;
    while (!o.d.empty() && pos <= o.d.size()) {
      size_t at = o.d.find(sep, pos);
      if (at == std::string::npos) at = o.d.size();
      v.data += o.d.substr(pos, at - pos);
      v.data += '\0';
      pos = at + sep.size();
    }
    v.data += '\0';
  } else if (t == "REG_DWORD" || t == "REG_QWORD") {
    uint64_t n = 0;
    bool q = t == "REG_QWORD";
    if (!parse_number(o.has_d ? o.d : "0", q ? UINT64_MAX : UINT32_MAX, n))
      return bad_args(o.verb, "/d '%s' is no %s number", o.d.c_str(), t.c_str());
    v.type = q ? reg::kQword : reg::kDword;
    for (int i = 0; i < (q ? 8 : 4); ++i) v.data += static_cast<char>((n >> (8 * i)) & 0xFF);
  } else if (t == "REG_BINARY") {
    v.type = reg::kBinary;
    std::string list;
    for (size_t i = 0; i < o.d.size(); i += 2) list += (i ? "," : "") + o.d.substr(i, 2);
    std::vector<RegTextKey> keys;
    std::string error, text = std::string(kRegTextHeader) + "\n[x]\n@=hex:" + list + "\n";
    if (o.d.size() % 2 || !parse_reg_text(text, keys, error))
      return bad_args(o.verb, "/d '%s' is no even count of hex digits", o.d.c_str());
    v.data = keys[0].values[0].value.data;
  } else {
    return bad_args(o.verb, "/t '%s' is no type reg add knows", o.t.c_str());
  }
  out = std::move(v);
  return 0;
}

int add(Context& c, const Options& o) {
  if (o.positional.size() != 1) return bad_args(o.verb, "add takes one KEY");
  if (o.va || o.s) return bad_args(o.verb, "add takes no /%s", o.va ? "va" : "s");
  RegValue value;
  if (int r = make_value(o, value)) return r;
  KeyArg k;
  Status s = parse_key(c, o.positional[0], k);
  // New keys directly below HKLM cannot be made.
  if ((s == win::kSuccess && k.loc.hive.kind == HiveRef::Kind::kMachine) ||
      (s == win::kFileNotFound && c.hive_file.empty()))
    s = win::kAccessDenied;
  if (s != win::kSuccess) return key_error(o, o.positional[0], s);
  bool with_value = o.has_v || o.ve;
  std::string name = o.ve ? "" : o.v;
  if (with_value && !storable_name(name))
    return bad_args(o.verb,
                    "/v: a value name with a line break, or of over 16383 characters, cannot be "
                    "stored in a hive");
  if (with_value && !o.f) {
    std::shared_ptr<const HiveKey> root;
    const HiveKey* key = nullptr;
    if (read_key(c, k, root, key) == win::kSuccess && key->value(name) &&
        !confirm("Value " + (name.empty() ? std::string("(Default)") : name) +
                 " exists, overwrite")) {
      std::printf("%s", kCanceled);
      return 0;
    }
  }
  s = c.store->change(k.loc.hive, k.loc.path, [&](HiveKey& r) {
    Status st = create_key_path(r, k.loc.path, false);
    if (st == win::kSuccess && with_value) r.find(k.loc.path)->set_value(name, value);
    return st;
  });
  if (s != win::kSuccess) return failed(s);
  std::printf("%s", kDone);
  return 0;
}

// ---------------------------------------------------------------------------------------
// delete

int del(Context& c, const Options& o) {
  if (o.positional.size() != 1) return bad_args(o.verb, "delete takes one KEY");
  if (o.s || o.has_t || o.has_d) return bad_args(o.verb, "delete takes only /v, /ve, /va, /f");
  KeyArg k;
  Status s = parse_key(c, o.positional[0], k);
  if (s != win::kSuccess) return key_error(o, o.positional[0], s);
  bool values = o.has_v || o.ve || o.va;
  if (!values && (k.loc.hive.kind == HiveRef::Kind::kMachine || k.loc.path.empty()))
    return failed(win::kAccessDenied);
  std::shared_ptr<const HiveKey> root;
  const HiveKey* key = nullptr;
  s = read_key(c, k, root, key);
  if (s != win::kSuccess) return failed(s);
  std::string name = o.ve ? "" : o.v;
  if ((o.has_v || o.ve) && !key->value(name)) return failed(win::kFileNotFound);
  if (!o.f) {
    std::string q = o.va     ? "Delete all values under the registry key " + k.display
                    : values ? "Delete the registry value " + (name.empty() ? "(Default)" : name)
                             : "Permanently delete the registry key " + k.display;
    if (!confirm(q)) {
      std::printf("%s", kCanceled);
      return 0;
    }
  }
  // A key's deletion changes its parent; a value's, the key.
  std::vector<std::string> scope = k.loc.path;
  if (!values) scope.pop_back();
  s = c.store->change(k.loc.hive, scope, [&](HiveKey& r) {
    HiveKey* at = r.find(k.loc.path);
    if (!at) return win::kFileNotFound;
    if (o.va) {
      at->values.clear();
      return win::kSuccess;
    }
    if (values) return at->remove_value(name) ? win::kSuccess : win::kFileNotFound;
    std::vector<std::string> parent(k.loc.path.begin(), k.loc.path.end() - 1);
    return r.find(parent)->remove_child(k.loc.path.back()) ? win::kSuccess : win::kFileNotFound;
  });
  if (s != win::kSuccess) return failed(s);
  std::printf("%s", kDone);
  return 0;
}

// ---------------------------------------------------------------------------------------
// export, import

// FILE of the command line: a Windows path on the guest, else a host path.
Status file_arg(const Context& c, const std::string& f, std::string& host) {
  bool windows = f.size() >= 2 && f[1] == ':' && std::isalpha(static_cast<unsigned char>(f[0]));
  if (!windows) {
    host = f;
    return win::kSuccess;
  }
  return c.store->machine().host_path(f, host);
}

int export_key(Context& c, const Options& o) {
  if (o.positional.size() != 2) return bad_args(o.verb, "export takes KEY and FILE");
  KeyArg k;
  Status s = parse_key(c, o.positional[0], k);
  if (s != win::kSuccess) return key_error(o, o.positional[0], s);
  if (k.loc.hive.kind == HiveRef::Kind::kMachine) return failed(win::kAccessDenied);
  std::shared_ptr<const HiveKey> root;
  const HiveKey* key = nullptr;
  s = read_key(c, k, root, key);
  if (s != win::kSuccess) return failed(s);
  std::string host, existing;
  s = file_arg(c, o.positional[1], host);
  if (s != win::kSuccess) return failed(s);
  // A hive the machine holds open, or the --hive file itself, cannot be replaced.
  if (c.store->hive_file_in_use(host) || host == c.hive_file) return failed(win::kSharingViolation);
  if (!o.y && read_host_file(host, existing) &&
      !confirm("File " + o.positional[1] + " already exists. Overwrite")) {
    std::printf("%s", kCanceled);
    return 0;
  }
  std::string text(kRegTextHeader);
  text += "\r\n\r\n";
  append_reg_tree(text, *key, k.display, RegTreePart::kAll, true, "\r\n");
  if (!write_host_file_atomic(host, text)) {
    if (errno == EACCES) return failed(win::kAccessDenied);  // a read-only target
    err("ERROR: Unable to write to the file. There may be a disk or file system error.\n");
    return 1;
  }
  std::printf("%s", kDone);
  return 0;
}

int import(Context& c, const Options& o) {
  if (o.positional.size() != 1) return bad_args(o.verb, "import takes one FILE");
  std::string host, text, error;
  std::vector<RegTextKey> blocks;
  Status s = file_arg(c, o.positional[0], host);
  if (s != win::kSuccess || !read_host_file(host, text)) {
    err("ERROR: Error opening the file. There may be a disk or file system error.\n");
    return 1;
  }
  if (!parse_reg_text(text, blocks, error)) {
    err("ERROR: Error accessing the registry. (%s: %s)\n", o.positional[0].c_str(), error.c_str());
    return 1;
  }
  for (const auto& b : blocks) {
    KeyArg k;
    s = parse_key(c, b.path, k);
    if (s == win::kSuccess &&
        (k.loc.hive.kind == HiveRef::Kind::kMachine || (b.remove && k.loc.path.empty())))
      s = win::kAccessDenied;
    // A key's removal changes its parent.
    std::vector<std::string> scope = k.loc.path;
    if (b.remove && !scope.empty()) scope.pop_back();
    if (s == win::kSuccess)
      s = c.store->change(k.loc.hive, scope, [&](HiveKey& r) {
        if (b.remove) {
          std::vector<std::string> parent(k.loc.path.begin(), k.loc.path.end() - 1);
          if (HiveKey* p = r.find(parent)) p->remove_child(k.loc.path.back());
          return win::kSuccess;
        }
        Status st = create_key_path(r, k.loc.path, false);
        if (st != win::kSuccess) return st;
        HiveKey* at = r.find(k.loc.path);
        for (const auto& v : b.values) {
          if (v.remove)
            at->remove_value(v.name);
          else
            at->set_value(v.name, v.value);
        }
        return win::kSuccess;
      });
    if (s != win::kSuccess) {
      err("ERROR: Error accessing the registry. ([%s], line %d)\n", b.path.c_str(), b.line);
      return 1;
    }
  }
  // reg.exe reports a finished import on stderr.
  err("%s", kDone);
  return 0;
}

}  // namespace

int reg_command(int argc, char** argv, const std::string& root) {
  int i = 0;
  Context c;
  std::string hive_win;
  if (i < argc && std::string_view(argv[i]) == "--hive") {
    if (i + 1 >= argc) {
      err("tarvik-sim reg: --hive needs a hive file (a Windows path on the guest)\n");
      return 2;
    }
    hive_win = argv[i + 1];
    i += 2;
  }
  if (i >= argc) {
    err("tarvik-sim reg: give a verb: query, add, delete, export or import\n");
    return 2;
  }
  Options o;
  o.verb = to_lower(argv[i]);
  static const std::pair<const char*, const char*> kVerbs[] = {{"query", " v ve s "},
                                                               {"add", " v ve t s d f "},
                                                               {"delete", " v ve va f "},
                                                               {"export", " y "},
                                                               {"import", " "}};
  const char* allowed = nullptr;
  for (const auto& [verb, opts] : kVerbs)
    if (o.verb == verb) allowed = opts;
  if (!allowed) {
    err("tarvik-sim reg: unknown verb '%s' (query, add, delete, export, import)\n", argv[i]);
    return 2;
  }
  std::string error;
  Machine m;
  if (!m.load(root, error)) {
    err("tarvik-sim reg: %s\n", error.c_str());
    return 2;
  }
  RegistryStore store(m);
  c.store = &store;
  g_store = &store;
  if (!hive_win.empty() && store.machine().host_path(hive_win, c.hive_file) != win::kSuccess) {
    err("tarvik-sim reg: --hive '%s' is no file of the guest's drives\n", hive_win.c_str());
    return 2;
  }
  // A mistyped hive path must not make a new hive.
  std::string probe;
  if (!hive_win.empty() && !read_host_file(c.hive_file, probe)) {
    err("tarvik-sim reg: --hive '%s': no such hive file\n", hive_win.c_str());
    return 2;
  }
  if (int r = parse_options(c, argc - i - 1, argv + i + 1, allowed, o)) return r;
  if (o.verb == "query") return query(c, o);
  if (o.verb == "add") return add(c, o);
  if (o.verb == "delete") return del(c, o);
  if (o.verb == "export") return export_key(c, o);
  return import(c, o);
}
