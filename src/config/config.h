// The config command: the operation table, its dispatcher and the saved configuration
// tarvik.ini that ISO mode records and first boot replays.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/port.h"

namespace tarvik {

class Config;

// One row of the operation table: a command line of exactly word_count words whose
// word 3 is name runs handler with the words from the operation name on.
struct OperationEntry {
  const char* name;
  int (Config::*handler)(int count, char** words);
  int word_count;
};

class Config {
 public:
  static Config& instance();

  // The config command (words: program, "config", platform word, operation, args...).
  int dispatch(int count, char** words);
  // Exit report -1 "invalid argument"; -1.
  static int invalid_argument();
  // The longest command line tarvik.ini records (its 1024-byte buffer).
  static constexpr size_t kRecordedLineLimit = 1023;
  // Records a command line in the target's tarvik.ini (ISO mode); 0, or -1 when it could
  // not be written.
  int save_config(int count, char** words);
  // Runs every recorded command of the running system's tarvik.ini; 0.
  int replay_saved_config();
  // Calls fn(key, command) for each command of section "config" of file, in file order.
  static void for_each_saved_command(
      const std::string& file,
      const std::function<void(const std::string&, const std::string&)>& fn);
  // Runs one recorded command line; the dispatcher's result.
  int run_saved_command(const std::string& value);
  // The words the replay gives the dispatcher for one recorded command line.
  static std::vector<std::string> saved_command_words(const std::string& value);
  // Whether the table has a row for the operation word (compared exactly, as the dispatcher
  // does outside ISO mode).
  static bool known_operation(const std::string& word);

  // "%c:\ProgramData\kovenu\tarvik\tarvik.ini".
  static std::string ini_path(char drive);
  static const std::vector<OperationEntry>& operations();

  // Handlers of the table.
  int config_passwd(int count, char** words);
  int network_clean(int count, char** words);
  int network_reset(int count, char** words);
  int config_ip(int count, char** words);
  int config_ip_segment(int count, char** words);
  int config_route(int count, char** words);
  int config_dns(int count, char** words);
  int config_nothing(int count, char** words);  // "host" and "set_passwd_auth"
  int config_hostname(int count, char** words);
  int config_ntp(int count, char** words);
  int config_disk(int count, char** words);
  int config_extend_sysvol(int count, char** words);
  int config_wsus(int count, char** words);
  int config_cloudinit(int count, char** words);
  int config_cloudinit_no_disk(int count, char** words);
  int install_kovenu_service(int count, char** words);
  // Stores the region id where the cloud assistant reads it, beside the agent's folder:
  // its characters alone, without line end or NUL. False (logged) when it was not stored.
  bool write_region_id(const std::string& region_id);

  // Operations of ISO mode on the offline image (given the whole command line).
  int iso_config_pagefile(int count, char** words);
  int iso_config_hostname(int count, char** words);
  int iso_config_timeclock(int count, char** words);

  // --- Network adapters (adapters.cpp) and the ip, ip_segment, route and dns operations
  // (network_operations.cpp).
  // The connection name of the adapter whose MAC text ("%.2x:...", any case) is mac,
  // waiting up to 360 s for it to appear; empty when not found.
  std::string get_adapter_name(const std::string& mac);
  // The same for six address bytes.
  std::string get_adapter_name_by_address(const std::string& address);
  // Its interface index, waiting the same; -1 when not found.
  int get_adapter_index(const std::string& mac);
  // The loopback adapter's interface index, waiting up to 120 x 3 s; 0 when not found.
  int get_msloop_index();
  // The loopback adapter's connection name (flag set) or identifier (flag clear), waiting
  // the same; empty when not found.
  std::string get_msloop_name(bool connection_name);
  // 0 when the loopback adapter exists or devcon installed it; else devcon's exit code.
  int check_msloop();
  // Disables and enables the loopback adapter with devcon; the enable's exit code.
  int reset_msloop();
  static bool is_loopback_description(const std::string& description);
  // The MAC text of a hardware address: its first six bytes, lower-case hexadecimal.
  static std::string mac_text(const std::string& address);
  // "255.255.255.0" for 24; the shift is taken modulo 32, 32 gives all ones.
  static std::string prefix_to_mask(int prefix);
  // The host addresses of a segment, each made when it is asked for (a /8 has 16 million).
  class SegmentAddresses {
   public:
    uint32_t size() const { return count_; }
    std::string operator[](uint32_t i) const;

   private:
    friend class Config;
    bool single_ = false;  // /0 and /32: the address given, as given
    std::string given_;
    uint32_t first_ = 0, count_ = 0;
  };
  // The host addresses of first's segment (none for /31; first alone for /0 and /32);
  // false when first is needed and is not a dotted IPv4 address.
  static bool segment_addresses(const std::string& first, int prefix, SegmentAddresses& out);
  // The two forms of the operations: by connection name on "2003", else by index.
  int config_ip_by_name(int count, char** words);
  int config_ip_by_index(int count, char** words);
  int config_ip_segment03(const SegmentAddresses& list, int prefix);
  int config_ip_segment12(const SegmentAddresses& list, int prefix);
  int config_dns_by_name(int count, char** words);
  int config_dns_by_index(int count, char** words);
  // --- end of network operations
};

// "%s\devcon_%s.exe <verb>" with the agent's own folder and the architecture word,
// built whole however long the folder's path is.
std::string devcon_command(const char* verb);

// Boot repair of the offline installation (ISO mode "d2sfix").
int d2sfix();

// --- The offline page file (ISO mode "pagefile").
// A memory size's decimal text as an integer: leading blanks and a sign accepted,
// reading stops at the first non-digit, 0 without a number; out-of-range values are held
// at the int limits.
int decimal_int(const char* text);
// Whether the setting words ask for a page file: "enable" anywhere in them, or "default"
// with at most 8 GB of memory (memory_mb / 1024, rounded down); without regard to case.
bool pagefile_wanted(const std::string& setting, int memory_mb);
// Mounts the target's SYSTEM hive, gives it a page file when its setting is empty
// (set_paging_file_if_empty) and unmounts it; 0, or -1 when the control set cannot be
// opened.
int enable_pagefile_with_hive();
// Sets PagingFiles of the control set's Memory Management to "?:\pagefile.sys" when it
// holds at most 2 bytes; a value with content, and a missing one, are left as they are.
void set_paging_file_if_empty(const RegKey& control_set);

// Writes "dpinst" under "update" of tarvik.ini: "1" leaves drivers for dpinst on first
// boot. The file is the target's in ISO mode, else C:'s.
void set_dpinst_flag(bool flag);

// --- Identity operations: password, host name, time servers, update server, and the
// offline time zone and clock.

// One argument as it must stand in a command line so that the C runtime's splitting
// gives it back whole: unchanged unless it is empty or holds a blank, tab or quote.
std::string command_line_word(const std::string& arg);
// The computer name Windows takes for a host name: the part before the first dot, cut
// to 15 characters; empty when that is empty, all digits, or holds anything but ASCII
// letters, digits, "-" and "_".
std::string computer_name_of(const std::string& host_name);
// The time service's peer list of a comma-separated server list ("a,b" gives
// "a,0x9 b,0x9"); empty names are dropped, and empty text comes back when none is left.
// A name that holds anything but ASCII letters, digits, ".", "-" and ":" makes the whole
// list invalid: empty text, and that name in refused (never empty then) where given.
std::string ntp_peer_list(const std::string& servers, std::string* refused = nullptr);
// The comma-separated server list of the metadata service's time-server text: each
// carriage return and the character after it become one ",", a carriage return at the
// very end too ("a\r\nb\r\n" gives "a,b,"; bare line feeds stay).
std::string ntp_servers_of_lines(std::string text);

// The time zone and clock of the offline installation (whole command line: word 4 the
// city, word 5 "utc" or "localtime"; "NULL" or a missing word leaves that alone).
int config_timeclock_apply(int count, char** words);
// The Windows time-zone name of a city from the target's citymaptz.ini, or empty text.
std::string get_timezone_from_city(const std::string& city);
// dism's exit code, or -101 on a 2003 or 2008 target.
int set_timezone_offline(const std::string& timezone);
class config_utc {
 public:
  // RealTimeIsUniversal of the offline installation from "utc" or "localtime".
  static int iso_set_utc(const std::string& mode);
};
int change_UTC_Value(const RegKey& control_set, uint32_t value);

}  // namespace tarvik
