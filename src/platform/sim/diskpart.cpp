// The built-in diskpart: reads its script from standard input and changes the disks of
// machine.ini ([disk.N] sections) as the real tool changes the machine.
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "platform/sim/tools.h"

namespace tarvik::sim {

namespace {

constexpr char kBasicDataGuid[] = "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}";
constexpr char kVdsError[] = "Virtual Disk Service error:\r\n";

// The drive letters on a disk, lower case ("c,e" -> "ce").
std::string letters_of(const IniSection& disk) {
  std::string r;
  for (char c : to_lower(disk.get("letters")))
    if (c >= 'a' && c <= 'z') r.push_back(c);
  return r;
}

long long number_key(const IniSection& disk, std::string_view key) {
  return std::strtoll(disk.get(key, "0").c_str(), nullptr, 10);
}

class DiskPart {
 public:
  DiskPart(const Machine& m, IniFile& ini) : m_(m), ini_(ini) {
    for (auto& s : ini_.sections)
      if (to_lower(s.name).rfind("disk.", 0) == 0) disks_.push_back(&s);
  }

  bool changed() const { return changed_; }

  std::string run(std::string_view script) {
    std::string out = "\r\nDiskPart version 10.0\r\n\r\nOn computer: " +
                      m_.get("network", "hostname", "WIN-SIMGUEST") + "\r\n";
    script = script.substr(0, script.find('\0'));
    std::istringstream lines{std::string(script)};
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(to_lower(line));
      std::vector<std::string> w;
      for (std::string word; words >> word;) w.push_back(word);
      if (w.empty()) continue;
      out += "\r\nDISKPART> \r\n";
      if (w[0] == "exit") {
        out += "\r\nLeaving DiskPart...\r\n";
        break;
      }
      out += command(w, trim(line)) + "\r\n";
    }
    return out;
  }

 private:
  std::string command(const std::vector<std::string>& w, const std::string& line) {
    auto is = [&](std::initializer_list<const char*> words) {
      if (w.size() < words.size()) return false;
      size_t i = 0;
      for (const char* word : words)
        if (w[i++] != word) return false;
      return true;
    };
    if (is({"select", "disk"}) && w.size() == 3) return select_disk(w[2]);
    if (is({"select", "volume"}) && w.size() == 3) return select_volume(w[2]);
    if (is({"list", "disk"})) return list_disks();
    if (!disk_) return "There is no disk selected.";
    if (is({"online", "disk"}))
      return set_flag("online", "1", "DiskPart successfully onlined the selected disk.");
    if (is({"attribute", "disk", "clear", "readonly"}))
      return set_flag("readonly", "0", "Disk attributes cleared successfully.");
    if (is({"attribute", "disk", "set", "readonly"}))
      return set_flag("readonly", "1", "Disk attributes set successfully.");
    if (is({"import"})) return "DiskPart successfully imported the foreign disk group.";
    if (is({"create", "partition", "primary"})) return create_partition(w);
    if (!volume_) return "There is no volume selected.\r\nPlease select a volume and try again.";
    if (is({"format"}))
      return "  100 percent completed\r\n\r\nDiskPart successfully formatted the volume.";
    if (is({"assign"})) return assign();
    if (is({"extend"})) return extend();
    return "The command is not known to this DiskPart: " + line;
  }

  std::string select_disk(const std::string& n) {
    disk_ = nullptr;
    volume_ = false;
    for (IniSection* d : disks_)
      if (d->get("number", "0") == n) disk_ = d;
    if (!disk_) return "The disk you specified is not valid.\r\n\r\nThere is no disk selected.";
    return "Disk " + n + " is now the selected disk.";
  }

  // A volume by drive letter or by its number (volumes counted over the disks' letters).
  std::string select_volume(const std::string& v) {
    volume_ = false;
    int index = 0;
    for (IniSection* d : disks_)
      for (char l : letters_of(*d)) {
        if ((v.size() == 1 && v[0] == l) || v == std::to_string(index)) {
          disk_ = d;
          volume_ = true;
          volume_letter_ = l;
          return "Volume " + std::to_string(index) + " is the selected volume.";
        }
        ++index;
      }
    return "The volume you selected is not valid or does not exist.";
  }

  std::string list_disks() {
    std::string r = "  Disk ###  Status         Free\r\n  --------  -------------  -------";
    for (IniSection* d : disks_)
      r += "\r\n  Disk " + d->get("number", "0") + "    " +
           (d->get("online", "1") == "0" ? "Offline" : "Online ") + "        " +
           std::to_string(number_key(*d, "free_mb")) + " MB";
    return r;
  }

  std::string set_flag(const char* key, const char* value, const char* message) {
    if (disk_->get(key) != value) {
      set_ini_key(*disk_, key, value);
      changed_ = true;
    }
    return message;
  }

  std::string create_partition(const std::vector<std::string>& w) {
    if (disk_->get("online", "1") == "0")
      return std::string(kVdsError) + "The device is not ready.";
    if (disk_->get("readonly", "0") == "1")
      return std::string(kVdsError) + "The media is write protected.";
    std::string style = to_lower(disk_->get("style", "mbr"));
    std::string parts = disk_->get("partitions");
    long long free_mb = number_key(*disk_, "free_mb");
    // A disk without partitions is all free space.
    if (free_mb <= 0 && !trim(parts).empty())
      return std::string(kVdsError) + "There is not enough usable space for this operation.";
    long long size = 0;
    for (const auto& word : w)
      if (word.rfind("size=", 0) == 0) size = std::strtoll(word.c_str() + 5, nullptr, 10);
    if (style == "raw") set_ini_key(*disk_, "style", style = "mbr");
    std::string type = style == "gpt" ? kBasicDataGuid : "07";
    set_ini_key(*disk_, "partitions", trim(parts).empty() ? type : parts + "," + type);
    set_ini_key(*disk_, "free_mb", std::to_string(size > 0 && size < free_mb ? free_mb - size : 0));
    changed_ = true;
    volume_ = true;
    volume_letter_ = 0;
    return "DiskPart succeeded in creating the specified partition.";
  }

  // The first letter from d that no drive folder and no disk holds.
  char free_letter() const {
    for (char l = 'd'; l <= 'z'; ++l) {
      struct stat st;
      if (::stat((m_.root() + "/" + l).c_str(), &st) == 0) continue;
      bool taken = false;
      for (const IniSection* d : disks_)
        taken = taken || letters_of(*d).find(l) != std::string::npos;
      if (!taken) return l;
    }
    return 0;
  }

  std::string assign() {
    if (!volume_letter_) {
      char l = free_letter();
      if (!l) return std::string(kVdsError) + "There are no more drive letters available.";
      std::string letters = letters_of(*disk_);
      std::string list;
      for (char c : letters + l) list += (list.empty() ? "" : ",") + std::string(1, c);
      set_ini_key(*disk_, "letters", list);
      ::mkdir((m_.root() + "/" + l).c_str(), 0755);
      volume_letter_ = l;
      changed_ = true;
    }
    return "DiskPart successfully assigned the drive letter or mount point.";
  }

  std::string extend() {
    if (number_key(*disk_, "free_mb") <= 0)
      return "There is not enough usable free space on specified disk(s).";
    set_ini_key(*disk_, "free_mb", "0");
    changed_ = true;
    return "DiskPart successfully extended the volume.";
  }

  const Machine& m_;
  IniFile& ini_;
  std::vector<IniSection*> disks_;
  IniSection* disk_ = nullptr;
  bool volume_ = false;
  char volume_letter_ = 0;
  bool changed_ = false;
};

}  // namespace

ToolAnswer run_diskpart(const Machine& m, std::string_view script) {
  ToolAnswer a;
  Status s = edit_machine_ini(m, [&](IniFile& ini) {
    DiskPart dp(m, ini);
    a.output = dp.run(script);
    return dp.changed();
  });
  // A change the machine could not keep did not happen.
  if (s != win::kSuccess) {
    a.exit_code = s;
    a.output = std::string(kVdsError) +
               (s == win::kAccessDenied ? "Access is denied.\r\n" : "The data is invalid.\r\n");
  }
  return a;
}

}  // namespace tarvik::sim
