// "hostname": the computer and host name, in the running guest and, in ISO mode, in the
// offline installation (its answer file while setup is still to run, else its registry).
#include <cctype>

#include "config/config.h"
#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr size_t kMaxComputerName = 15;

// The four values under a control set (prefix ends with "\" or is empty).
void write_host_name_values(const RegKey& root, const std::string& prefix,
                            const std::string& name) {
  for (const char* path :
       {"Control\\ComputerName\\ActiveComputerName", "Control\\ComputerName\\ComputerName"}) {
    RegKey key;
    if (root.open(prefix + path, reg::kKeyAllAccess, key) == win::kSuccess)
      key.set_text("ComputerName", name);
  }
  RegKey tcpip;
  if (root.open(prefix + "Services\\Tcpip\\Parameters", reg::kKeyAllAccess, tcpip) ==
      win::kSuccess) {
    tcpip.set_text("Hostname", name);
    tcpip.set_text("NV Hostname", name);
  }
}

size_t find_nocase(const std::string& text, const std::string& part) {
  for (size_t i = 0; i + part.size() <= text.size(); ++i)
    if (equals_nocase(std::string_view(text).substr(i, part.size()), part)) return i;
  return std::string::npos;
}

// Puts the name into the answer file, keeping the old text as unattend.xml.old.
void set_answer_file_name(char drive, const std::string& name) {
  Files& files = platform().files();
  std::string path = strformat("%c:\\windows\\Panther\\unattend.xml", drive);
  std::string backup = strformat("%c:\\windows\\Panther\\unattend.xml.old", drive);
  std::string element = strformat("<ComputerName>%s</ComputerName>", name.c_str());
  utils::log("Try to set the new hostname to %s", element.c_str());

  std::string text;
  Status s = files.read_file(path, text);
  if (s != win::kSuccess) {
    utils::log("Unable to open unattend file. Last error: %d", static_cast<int>(s));
    return;
  }
  utils::log("Read file size double value: %d", static_cast<int>(text.size() * 2));
  utils::log("Read unattend file. Read %d bytes and result %d", static_cast<int>(text.size()), 1);
  text = text.substr(0, text.find('\0'));
  s = files.write_file(backup, text);
  if (s == win::kSuccess)
    utils::log("Backup file write %d bytes and result %d", static_cast<int>(text.size()), 1);
  else
    utils::log("Create Backup file failed with error: %d", static_cast<int>(s));

  std::string pattern = "<computername></computername>";
  size_t at = find_nocase(text, pattern);
  if (at == std::string::npos) {
    pattern = "<computername/>";
    at = find_nocase(text, pattern);
  }
  if (at == std::string::npos) return;
  utils::log("Find pattern in unattend file, now replace it.");
  text.replace(at, pattern.size(), element);
  s = files.write_file(path, text);
  utils::log("Write back to unattend file %d bytes and result %d. Last error: %d",
             s == win::kSuccess ? static_cast<int>(text.size()) : 0, s == win::kSuccess ? 1 : 0,
             static_cast<int>(s));
}

}  // namespace

std::string computer_name_of(const std::string& host_name) {
  std::string name = host_name.substr(0, host_name.find('.')).substr(0, kMaxComputerName);
  bool digits_only = true;
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!(u < 0x80 && (std::isalnum(u) || c == '-' || c == '_'))) return "";
    if (!std::isdigit(u)) digits_only = false;
  }
  return digits_only ? "" : name;
}

int Config::config_hostname(int, char** words) {
  utils::log("-->Config::config_hostname");
  std::string name = computer_name_of(words[1]);
  if (name.empty()) {
    utils::exit_report(-1, "invalid host name %s", words[1]);
    return -1;
  }
  write_host_name_values(platform().registry().hklm(), "System\\CurrentControlSet\\", name);
  utils::exit_report(0, "success");
  return 0;
}

int Config::iso_config_hostname(int count, char** words) {
  utils::log("-->Config::iso_config_hostname");
  const char* given = count > 4 ? words[4] : "";
  std::string name = computer_name_of(given);
  if (name.empty()) {
    // In ISO mode the report ends the process: the command is not recorded.
    utils::exit_report(-1, "invalid host name %s", given);
    return -1;
  }
  GuestInfo& guest = GuestInfo::instance();
  char drive = guest.system_disk();

  std::string state;
  uint32_t n =
      platform().files().profile_get("State", "ImageState", "", state, 4096,
                                     strformat("%c:\\Windows\\Setup\\State\\State.ini", drive));
  utils::log("Read %d chars from setup state and the content is: %s", static_cast<int>(n),
             state.c_str());
  if (n > 0 && !equals_nocase(state, "IMAGE_STATE_COMPLETE")) {
    set_answer_file_name(drive, name);
    return 0;
  }

  utils::log("Image status is complete, just modify registry.");
  if (guest.load_system_hive(true) != 0) return -1;
  RegKey control_set = guest.open_control_set();
  if (!control_set) {
    guest.load_system_hive(false);
    return -1;
  }
  write_host_name_values(control_set, "", name);
  control_set.close();
  guest.load_system_hive(false);
  return 0;
}

}  // namespace tarvik
