// tarvik.ini: the commands ISO mode records and first boot replays, and the dpinst flag.
#include <cstring>

#include "config/config.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr uint32_t kKeyListSize = 1024;
constexpr uint32_t kKeyListLimit = 16u << 20;
constexpr uint32_t kValueSize = 4096;

std::string guid_key() {
  Guid g;
  Status s = platform().system().new_guid(g);
  if (s != win::kSuccess) {
    utils::log("Error occurs when create guid, code: %lu", static_cast<unsigned long>(s));
    return strformat("%d", static_cast<int>(platform().clock().tick_count()));
  }
  return strformat("%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X", g.data1, g.data2, g.data3,
                   g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5],
                   g.data4[6], g.data4[7]);
}

}  // namespace

std::string Config::ini_path(char drive) {
  return strformat("%c:\\ProgramData\\kovenu\\tarvik\\tarvik.ini", drive);
}

int Config::save_config(int count, char** words) {
  std::string file = ini_path(GuestInfo::instance().system_disk());
  utils::log("-->Config::save_config");
  std::string key = guid_key();
  std::string value;
  for (int i = 0; i < count; ++i) {
    value += words[i];
    value += ' ';
  }
  // The line is recorded in a 1024-byte buffer; the dispatcher refuses longer ones.
  if (value.size() > kRecordedLineLimit) value.resize(kRecordedLineLimit);
  // A password command's words never reach the log.
  const std::string shown = utils::loggable_command(value);
  Files& files = platform().files();
  bool saved = false;
  for (int attempt = 0; attempt < 3 && !saved; ++attempt) {
    saved = files.profile_set("config", key.c_str(), value.c_str(), file);
    if (saved) {
      files.profile_set(nullptr, nullptr, nullptr, file);
      break;
    }
    utils::log("Error occurs when save command %s %s, code: %lu", key.c_str(), shown.c_str(),
               static_cast<unsigned long>(files.last_error()));
    platform().clock().sleep_ms(50);
  }
  if (shown != value)
    utils::log("Just ignore!");
  else
    utils::log("Save Config. Get the key %s and value: %s", key.c_str(), value.c_str());
  utils::log("<--Config::save_config");
  // A command that was never recorded would never run on first boot: the caller hears so.
  if (!saved) {
    utils::exit_report(-1, "save config fail");
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

void Config::for_each_saved_command(
    const std::string& file,
    const std::function<void(const std::string&, const std::string&)>& fn) {
  Files& files = platform().files();
  // The system cuts a key list longer than the buffer, and then answers the buffer's size
  // less two: a 1024-byte list holds only 31 recorded commands, so it grows until the
  // whole list fits.
  std::string keys;
  for (uint32_t size = kKeyListSize;; size *= 2) {
    uint32_t n = files.profile_get("config", nullptr, nullptr, keys, size, file);
    if (n + 2 < size) break;
    if (size >= kKeyListLimit) {
      utils::log("Saved commands beyond the first %u bytes of keys of %s are not run", size,
                 file.c_str());
      break;
    }
  }
  for (size_t pos = 0; pos < keys.size() && keys[pos] != '\0';) {
    std::string key = keys.c_str() + pos;
    pos += key.size() + 1;
    std::string value;
    files.profile_get("config", key.c_str(), nullptr, value, kValueSize, file);
    fn(key, value);
  }
}

int Config::replay_saved_config() {
  std::string file = ini_path(utils::system_drive());
  for_each_saved_command(file, [&](const std::string& key, const std::string& value) {
    bool carries_password = contains_nocase(value, "pass");
    if (run_saved_command(value) == 0 && carries_password)
      platform().files().profile_set("config", key.c_str(), nullptr, file);
  });
  return 0;
}

std::vector<std::string> Config::saved_command_words(const std::string& value) {
  // Words are separated by single blanks; an empty piece (two blanks in a row, or the
  // trailing blank) ends the command.
  std::vector<std::string> pieces;
  size_t pos = 0;
  while (pos < value.size()) {
    size_t blank = value.find(' ', pos);
    std::string word =
        value.substr(pos, blank == std::string::npos ? std::string::npos : blank - pos);
    if (word.empty()) break;
    pieces.push_back(std::move(word));
    if (blank == std::string::npos) break;
    pos = blank + 1;
  }
  return pieces;
}

int Config::run_saved_command(const std::string& value) {
  std::vector<std::string> pieces = saved_command_words(value);
  std::vector<char*> words;
  for (auto& w : pieces) words.push_back(w.data());
  words.push_back(nullptr);
  return dispatch(static_cast<int>(pieces.size()), words.data());
}

void set_dpinst_flag(bool flag) {
  char drive = utils::iso_mode() ? GuestInfo::instance().system_disk() : 'c';
  platform().files().profile_set("update", "dpinst", flag ? "1" : "0", Config::ini_path(drive));
}

}  // namespace tarvik
