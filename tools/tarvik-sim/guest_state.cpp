// Reading a guest's registry and files, and keeping them in a snapshot folder:
//   hives.txt       one line a hive: its file name in the folder, a tab, its name
//   hive.N.reg      the hive's keys as .reg text (volatile keys as ordinary ones)
//   files.txt       one line a file: size, tab, FNV-1a hash in hex, tab, Windows path
//   machine.txt     one line a disk, adapter or service: kind, tab, name; then one line a
//                   setting of it: kind, tab, name, tab, key, tab, value
#include "guest_state.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry.h"
#include "platform/sim/services.h"

namespace tarvik_sim {

namespace {

namespace fs = std::filesystem;
using namespace tarvik;
using namespace tarvik::sim;

uint64_t fnv1a(const std::string& bytes) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

std::string hive_text(const HiveKey& root) {
  std::string out(kRegTextHeader);
  out += "\n\n";
  append_reg_tree(out, root, "", RegTreePart::kAll, true, "\n");
  return out;
}

// The drive folders of the machine: ROOT/a .. ROOT/z.
std::vector<char> drives(const std::string& root) {
  std::vector<char> out;
  for (char c = 'a'; c <= 'z'; ++c)
    if (fs::is_directory(fs::path(root) / std::string(1, c))) out.push_back(c);
  return out;
}

void read_hives(const Machine& m, char drive, GuestState& out,
                std::vector<std::string>& hive_files) {
  std::string folder;
  std::string win_folder =
      std::string(1, static_cast<char>(std::toupper(drive))) + ":\\Windows\\System32\\config";
  if (m.host_path(win_folder, folder) != win::kSuccess || !fs::is_directory(folder)) return;
  RegistryStore store(m);
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::string name = f.filename().string();
    HiveRef ref{HiveRef::Kind::kFile, f.string()};
    std::string shown = "[" + win_folder + "\\" + name + "]";
    if (drive == m.system_drive() &&
        (equals_nocase(name, "SYSTEM") || equals_nocase(name, "SOFTWARE"))) {
      bool system = equals_nocase(name, "SYSTEM");
      ref = {system ? HiveRef::Kind::kSystem : HiveRef::Kind::kSoftware, ""};
      shown = system ? "HKLM\\SYSTEM" : "HKLM\\SOFTWARE";
    }
    std::shared_ptr<const HiveKey> root;
    if (store.read(ref, {}, root) != win::kSuccess || !root) continue;
    out.hives[shown] = *root;
    hive_files.push_back(fs::weakly_canonical(f).string());
  }
}

// What machine.ini leaves unset: the values the machine takes for it.
struct MachineDefault {
  const char* kind;
  const char* key;
  const char* value;
};
constexpr MachineDefault kMachineDefaults[] = {
    {"disk", "style", "mbr"},      {"disk", "partitions", ""},
    {"disk", "letters", ""},       {"disk", "free_mb", "0"},
    {"disk", "online", "1"},       {"disk", "readonly", "0"},
    {"disk", "layout_fails", "0"}, {"adapter", "present_after_ms", "0"},
    {"service", "present", "1"},
};

// A name or key as one field of machine.txt.
std::string field(std::string s) {
  std::replace(s.begin(), s.end(), '\t', ' ');
  return s;
}

void read_machine(const Machine& m, GuestState& out) {
  std::vector<std::string> running = running_services(m);
  for (const IniSection& s : m.config().sections) {
    std::string section = to_lower(s.name);
    MachineItem item;
    const char* name_key = "";
    if (section.rfind("disk.", 0) == 0) {
      item = {"disk", "Disk " + s.get("number", "0"), {}};
      name_key = "number";
    } else if (section.rfind("adapter.", 0) == 0) {
      item = {"adapter", s.get("name"), {}};
      if (item.name.empty()) item.name = s.name;
      name_key = "name";
    } else if (section.rfind("service.", 0) == 0) {
      item = {"service", s.name.substr(8), {}};
    } else {
      continue;
    }
    item.name = field(item.name);
    for (const auto& [key, value] : s.keys) {
      std::string k = field(to_lower(key));
      if (k == name_key) continue;
      auto was = std::find_if(item.settings.begin(), item.settings.end(),
                              [&](const auto& kv) { return kv.first == k; });
      if (was != item.settings.end())
        was->second = value;  // the key given last is the one in force
      else
        item.settings.emplace_back(k, value);
    }
    for (const MachineDefault& d : kMachineDefaults)
      if (item.kind == d.kind && !item.setting(d.key)) item.settings.emplace_back(d.key, d.value);
    if (item.kind == "service") {
      bool started = std::any_of(running.begin(), running.end(),
                                 [&](const std::string& r) { return equals_nocase(r, item.name); });
      item.settings.emplace_back("state", started ? "running" : "stopped");
    }
    // Two sections of one name stay apart.
    std::string id = item.kind + "\t" + item.name;
    if (out.machine.count(id)) {
      item.name += " [" + field(s.name) + "]";
      id = item.kind + "\t" + item.name;
    }
    out.machine[id] = std::move(item);
  }
}

}  // namespace

const std::string* MachineItem::setting(const std::string& key) const {
  for (const auto& kv : settings)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

bool read_guest_state(const std::string& root, GuestState& out, std::string& error) {
  Machine m;
  if (!m.load(root, error)) return false;
  GuestState state;
  std::vector<std::string> hive_files;
  for (char d : drives(root)) read_hives(m, d, state, hive_files);
  read_machine(m, state);
  for (char d : drives(root)) {
    fs::path base = fs::path(root) / std::string(1, d);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
      if (!it->is_regular_file()) continue;
      std::string host = it->path().string();
      if (std::find(hive_files.begin(), hive_files.end(),
                    fs::weakly_canonical(it->path()).string()) != hive_files.end())
        continue;
      std::string bytes;
      if (!read_host_file(host, bytes)) continue;
      std::string win = std::string(1, static_cast<char>(std::toupper(d))) + ":";
      for (const auto& part : fs::relative(it->path(), base)) win += "\\" + part.string();
      state.files[win] = {bytes.size(), fnv1a(bytes)};
    }
  }
  out = std::move(state);
  return true;
}

bool save_guest_state(const GuestState& state, const std::string& folder, std::string& error) {
  std::error_code ec;
  fs::remove_all(folder, ec);
  fs::create_directories(folder, ec);
  if (ec) {
    error = "cannot create " + folder + ": " + ec.message();
    return false;
  }
  std::string index, files;
  int n = 0;
  for (const auto& [name, root] : state.hives) {
    std::string file = "hive." + std::to_string(++n) + ".reg";
    if (!write_host_file_atomic(folder + "/" + file, hive_text(root))) {
      error = "cannot write " + folder + "/" + file;
      return false;
    }
    index += file + "\t" + name + "\n";
  }
  char line[64];
  for (const auto& [path, stamp] : state.files) {
    std::snprintf(line, sizeof line, "%llu\t%016llx\t", static_cast<unsigned long long>(stamp.size),
                  static_cast<unsigned long long>(stamp.hash));
    files += line + path + "\n";
  }
  std::string machine;
  for (const auto& [id, item] : state.machine) {
    machine += id + "\n";
    for (const auto& [key, value] : item.settings) machine += id + "\t" + key + "\t" + value + "\n";
  }
  if (!write_host_file_atomic(folder + "/hives.txt", index) ||
      !write_host_file_atomic(folder + "/files.txt", files) ||
      !write_host_file_atomic(folder + "/machine.txt", machine)) {
    error = "cannot write the snapshot in " + folder;
    return false;
  }
  return true;
}

bool load_guest_state(const std::string& folder, GuestState& out, std::string& error) {
  std::string index, files;
  if (!read_host_file(folder + "/hives.txt", index) ||
      !read_host_file(folder + "/files.txt", files)) {
    error = "no snapshot in " + folder;
    return false;
  }
  GuestState state;
  std::istringstream hives(index);
  for (std::string line; std::getline(hives, line);) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string text, why;
    HiveKey root;
    if (!read_host_file(folder + "/" + line.substr(0, tab), text) ||
        parse_hive_text(text, root, why) != win::kSuccess) {
      error = folder + "/" + line.substr(0, tab) + ": " + why;
      return false;
    }
    state.hives[line.substr(tab + 1)] = std::move(root);
  }
  std::istringstream list(files);
  for (std::string line; std::getline(list, line);) {
    size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (b == std::string::npos) continue;
    state.files[line.substr(b + 1)] = {std::strtoull(line.c_str(), nullptr, 10),
                                       std::strtoull(line.c_str() + a + 1, nullptr, 16)};
  }
  std::string machine;
  state.has_machine = read_host_file(folder + "/machine.txt", machine);
  std::istringstream items(machine);
  for (std::string line; std::getline(items, line);) {
    size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
    if (a == std::string::npos) continue;
    std::string id = line.substr(0, b);
    MachineItem& item = state.machine[id];
    item.kind = line.substr(0, a);
    item.name = id.substr(a + 1);
    size_t c = b == std::string::npos ? b : line.find('\t', b + 1);
    if (c != std::string::npos)
      item.settings.emplace_back(line.substr(b + 1, c - b - 1), line.substr(c + 1));
  }
  out = std::move(state);
  return true;
}

namespace {

constexpr char kConfigFolder[] = ":\\Windows\\System32\\config\\";

// "X:\rest" on its new drive, or empty when the drive is gone.
std::string moved_path(const std::string& path, const std::function<char(char)>& letter) {
  if (path.size() < 2 || path[1] != ':') return path;
  char c = letter(static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))));
  if (c == 0) return {};
  return std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(c)))) +
         path.substr(1);
}

}  // namespace

void move_drives(GuestState& state, char old_system, const std::function<char(char)>& letter) {
  std::map<std::string, HiveKey> hives;
  for (auto& [name, root] : state.hives) {
    // Every hive by its file: the running system's two by their drive.
    std::string file;
    if (name == "HKLM\\SYSTEM" || name == "HKLM\\SOFTWARE")
      file =
          std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(old_system)))) +
          kConfigFolder + name.substr(5);
    else if (name.size() > 2 && name.front() == '[' && name.back() == ']')
      file = name.substr(1, name.size() - 2);
    else
      continue;
    file = moved_path(file, letter);
    if (file.empty()) continue;
    std::string shown = "[" + file + "]";
    for (const char* running : {"SYSTEM", "SOFTWARE"})
      if (equals_nocase(file, std::string("C") + kConfigFolder + running))
        shown = std::string("HKLM\\") + running;
    hives[shown] = std::move(root);
  }
  state.hives = std::move(hives);
  std::map<std::string, FileStamp> files;
  for (auto& [path, stamp] : state.files) {
    std::string moved = moved_path(path, letter);
    if (!moved.empty()) files[moved] = stamp;
  }
  state.files = std::move(files);
  for (auto& [id, item] : state.machine)
    for (auto& [key, value] : item.settings)
      if (item.kind == "disk" && key == "letters") value = moved_letters(value, letter);
}

std::string moved_letters(const std::string& letters, const std::function<char(char)>& letter) {
  std::string out;
  for (const auto& l : split_list(letters)) {
    char c = l.size() == 1 ? letter(to_lower(l)[0]) : l[0];
    if (c == 0) continue;
    if (!out.empty()) out += ",";
    out += l.size() == 1 ? std::string(1, c) : l;
  }
  return out;
}

}  // namespace tarvik_sim
