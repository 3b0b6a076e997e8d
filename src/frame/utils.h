// The process-wide utils object: the ISO flag, the daily log file and the serial
// mirror, the end-of-operation report, the command runner and small system services.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame/format.h"
#include "platform/port.h"

namespace tarvik {

class utils {
 public:
  // The one object, made on first use: enables the backup and restore privileges,
  // decides ISO mode from HKLM\SYSTEM "isoMode" and makes sure COM1 can be opened.
  static utils& instance();
  // Forgets the process-wide object, as a new process would start without it.
  static void reset();

  // --- log and report channel
  // One line to the log file and, UTF-8 encoded, to the serial port.
  static void log(const char* fmt, ...) TARVIK_PRINTF(1, 2);
  // The same line to the log file only.
  static void log_to_file(const char* fmt, ...) TARVIK_PRINTF(1, 2);
  // "%d:%s" on standard output, "tarvik exit %d,%s" in the log; in ISO mode the process
  // then ends with exit code 0.
  static void exit_report(int code, const char* fmt, ...) TARVIK_PRINTF(2, 3);
  static bool iso_mode() { return instance().iso_mode_; }
  // A command line as the log shows it: one that holds "passwd" in any letter case is
  // shown as the masked password command instead, whatever its words are.
  static std::string loggable_command(const std::string& line);
  // Closes the serial port for good (the port is opened at most once per process).
  void close_serial_port();

  // --- command runner
  // Runs cmdline with standard output and error captured; returns the child's exit code
  // or the Windows error of the start. out gets the first 4096 bytes of the output, and
  // only when the child ran. The third parameter is not used.
  static int run_cmd(const std::string& cmdline, std::string& out, int unused = 0);

  // --- system services
  // The running release as an OS version tag and the architecture ("amd64" or "x86").
  // False only when the CurrentVersion key cannot be opened (tag unchanged).
  static bool osinfo(std::string& tag, std::string& arch);
  static bool is_wow64();
  static char system_drive();
  // The folder of the running agent executable: its path cut at the last backslash.
  static std::string program_folder();
  static std::string& hypervisor_vendor(std::string& out);
  static bool get_file_version(const std::string& path, FileVersion& out);
  static bool enable_privilege(const std::string& name);
  // Copies source into target recursively; the pattern applies to the top folder's
  // files only. Failures are reported with exit_report.
  bool copy_folder(std::string source, std::string target, const char* pattern = nullptr);
  static bool contains_any(const std::string& text, const std::vector<std::string>& list);
  static std::u16string to_wide(const std::string& narrow);
  static std::string to_utf8(const std::u16string& wide);
  static std::string ansi_to_utf8(const std::string& narrow);

 private:
  utils();
  void open_log_file();
  void open_serial_port();
  void write_line(const std::string& message, bool mirror);

  bool iso_mode_ = false;
  bool log_open_attempted_ = false;
  bool log_opening_ = false;
  bool serial_open_attempted_ = false;
  std::unique_ptr<AppendFile> log_;
  std::unique_ptr<SerialPort> serial_;
  // Lines that arrive while the log file's drive is still being looked up; written once
  // the file is open.
  std::vector<std::pair<std::string, bool>> pending_;
};

// Wow64EnableWow64FsRedirection where the system has it.
void enable_wow64_fs_redirection(bool enable);

// The OS version tag of a ProductName text, or empty when no rung of the ladder matches.
std::string os_tag_of_product_name(const std::string& product_name);

}  // namespace tarvik
