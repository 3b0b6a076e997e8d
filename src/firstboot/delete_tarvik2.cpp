// The saved configuration archived, and the service removed.
#include "config/config.h"
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

// A password command that did not succeed on replay is still in the file; the archive
// must not keep its Base64 password. Nor a command whose operation word the replay does not
// know: it did nothing, and a misspelt password command ("pasword") carries a password all
// the same. Only the key of a removed command reaches the log.
void remove_commands_not_to_keep(const std::string& file) {
  Files& files = platform().files();
  bool removed = false;
  Config::for_each_saved_command(file, [&](const std::string& key, const std::string& value) {
    const char* what = "password";
    if (!contains_nocase(value, "passwd")) {
      std::vector<std::string> words = Config::saved_command_words(value);
      if (Config::known_operation(words.size() > 3 ? words[3] : "")) return;
      what = "unknown";
    }
    files.profile_set("config", key.c_str(), nullptr, file);
    utils::log("delete_tarvik2 removed the %s command %s", what, key.c_str());
    removed = true;
  });
  if (removed) files.profile_set(nullptr, nullptr, nullptr, file);
}

}  // namespace

void delete_tarvik2() {
  LocalTime t = platform().clock().local_time();
  std::string stamp =
      strformat("%d.%02d.%02d.%02d.%02d.%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  char drive = utils::system_drive();
  std::string file = Config::ini_path(drive);
  std::string archive =
      strformat("%c:\\ProgramData\\kovenu\\tarvik\\%s.tarvik.ini", drive, stamp.c_str());
  Files& files = platform().files();
  if (files.exists(file)) remove_commands_not_to_keep(file);
  Status s = files.move_file(file, archive, true);
  if (s != win::kSuccess) {
    // The recorded commands never stay under the name the replay reads.
    utils::log("delete_tarvik2 movefile fail %d, del it", static_cast<int>(s));
    files.delete_file(file);
  }
}

void delete_tarvik_service() {
  // The service does not start at later boots.
  platform().registry().hklm().delete_tree("SYSTEM\\CurrentControlSet\\services\\tarvik");
}

}  // namespace tarvik
