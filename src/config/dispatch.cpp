// The operation table and the dispatcher.
#include <cstring>

#include "config/config.h"
#include "disk/disk_manager.h"
#include "frame/utils.h"

namespace tarvik {

Config& Config::instance() {
  static Config config;
  return config;
}

const std::vector<OperationEntry>& Config::operations() {
  static const std::vector<OperationEntry> table = {
      {"passwd", &Config::config_passwd, 6},
      {"network_clean", &Config::network_clean, 4},
      {"network_reset", &Config::network_reset, 4},
      {"ip", &Config::config_ip, 9},
      {"ip_segment", &Config::config_ip_segment, 8},
      {"route", &Config::config_route, 8},
      {"dns", &Config::config_dns, 7},
      {"host", &Config::config_nothing, 6},
      {"hostname", &Config::config_hostname, 5},
      {"ntp", &Config::config_ntp, 5},
      {"disk", &Config::config_disk, 4},
      {"extend_sysvol", &Config::config_extend_sysvol, 4},
      {"wsus", &Config::config_wsus, 5},
      {"set_passwd_auth", &Config::config_nothing, 5},
      {"cloudinit", &Config::config_cloudinit, 4},
      {"cloudinit_nodisk", &Config::config_cloudinit_no_disk, 4},
      {"installKovenuService", &Config::install_kovenu_service, 5},
  };
  return table;
}

bool Config::known_operation(const std::string& word) {
  for (const OperationEntry& row : operations())
    if (word == row.name) return true;
  return false;
}

int Config::dispatch(int count, char** words) {
  if (count < 3) return -1;
  const char* op = count > 3 ? words[3] : "";
  // In ISO mode a command without an operation word is not recorded: it names nothing to
  // replay, and no row of the table has three words, so it ends as an unknown operation.
  if (utils::iso_mode() && count > 3) {
    if (equals_nocase(op, "d2sfix")) return d2sfix();
    if (equals_nocase(op, "pagefile")) return iso_config_pagefile(count, words);
    // What follows is recorded. A CR or LF in a word would end the recorded line and start
    // lines of its own in tarvik.ini (a section, a key), and a line longer than the
    // recorded line's buffer would be replayed cut short: such a command is neither run
    // nor recorded.
    size_t line_length = 0;
    for (int i = 0; i < count; ++i) {
      if (std::strpbrk(words[i], "\r\n")) return invalid_argument();
      line_length += std::strlen(words[i]) + 1;
    }
    if (line_length > kRecordedLineLimit) return invalid_argument();
    if (equals_nocase(op, "hostname")) iso_config_hostname(count, words);
    if (equals_nocase(op, "timezone_clock")) iso_config_timeclock(count, words);
    if (equals_nocase(op, "extend_sysvol")) {
      utils::log("extend_system_volume.");
      disk_manager::instance().extend_volume(true);
      utils::log("extend_system_volume finished.");
    }
    return save_config(count, words);
  }
  for (const OperationEntry& row : operations())
    if (count == row.word_count && std::string(op) == row.name)
      return (this->*row.handler)(count - 3, words + 3);
  utils::log("TARVIK_REPORT_ERROR:unknown_operation %s", op);
  utils::exit_report(-1, "unknown operation");
  return -1;
}

int Config::invalid_argument() {
  utils::exit_report(-1, "invalid argument");
  return -1;
}

int Config::config_nothing(int, char**) {
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace tarvik
