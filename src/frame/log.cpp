// The utils object's construction and its log and report channel.
#include <cstdlib>
#include <string>
#include <string_view>

#include "frame/utils.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr size_t kMessageLimit = 4095;
constexpr char kSerialName[] = "COM1";
constexpr char kSerialAcpiDevice[] = "\\\\?\\ACPI#PNP0501#1#{4D36E978-E325-11CE-BFC1-08002BE10318}";

std::unique_ptr<utils>& slot() {
  static std::unique_ptr<utils> u;
  return u;
}

// A message as one line: CR and LF from arguments, tool output or metadata are written as
// \r and \n, so that no outside text starts a line of its own on the serial port.
std::string one_line(const std::string& message) {
  // Line breaks that end the message (a format's own "\n", a tool's last line end) are
  // dropped: the line end follows. Those inside it are written escaped.
  size_t end = message.find_last_not_of("\r\n");
  end = end == std::string::npos ? 0 : end + 1;
  std::string s;
  s.reserve(end);
  for (char c : std::string_view(message).substr(0, end)) {
    if (c == '\r')
      s += "\\r";
    else if (c == '\n')
      s += "\\n";
    else
      s += c;
  }
  return s;
}

// A message of the channel: formatted, and cut at 4095 characters.
std::string message_of(const char* fmt, va_list args) {
  std::string s = vstrformat(fmt, args);
  if (s.size() > kMessageLimit) s.resize(kMessageLimit);
  return s;
}

}  // namespace

// The first object is made under the runtime's guarded initialisation of a local static,
// which is one-time and thread-safe in every thread model (the Windows build's runtime has
// no std::mutex). Only tests reset the slot; the next call makes a new object.
utils& utils::instance() {
  static const bool made = (slot().reset(new utils()), true);
  (void)made;
  if (!slot()) slot().reset(new utils());
  return *slot();
}

void utils::reset() {
  slot().reset();
}

utils::utils() {
  enable_privilege("SeRestorePrivilege");
  enable_privilege("SeBackupPrivilege");
  RegKey system;
  if (platform().registry().create("SYSTEM", reg::kOptionNonVolatile, reg::kGenericAll, system) !=
      win::kSuccess)
    return;
  uint32_t iso = 0;
  system.query_dword("isoMode", iso);
  system.close();
  iso_mode_ = iso != 0;
  // Media that lack the COM1 name get it for the first ACPI serial port.
  std::unique_ptr<SerialPort> probe;
  if (platform().console().open_serial(kSerialName, probe) == win::kFileNotFound)
    platform().system().define_dos_device(kSerialName, kSerialAcpiDevice);
}

void utils::open_log_file() {
  if (log_open_attempted_ || log_opening_) return;
  log_opening_ = true;
  // In ISO mode the log goes to the target installation, whose lookup logs through this
  // channel itself: its lines wait in pending_ until the file is open.
  char drive = iso_mode_ ? GuestInfo::instance().system_disk() : system_drive();
  log_opening_ = false;
  log_open_attempted_ = true;
  if (drive == 0) return;
  Files& files = platform().files();
  std::string folder = strformat("%c:\\ProgramData\\kovenu\\tarvik\\log", drive);
  uint32_t attributes = 0;
  if (files.get_attributes(folder, attributes) == win::kSuccess && !(attributes & attr::kDirectory))
    files.delete_file(folder);
  if (!files.exists(folder)) files.create_directories(folder);
  LocalTime t = platform().clock().local_time();
  std::string name = strformat("%04d.%02d.%02d.log", t.year, t.month, t.day);
  std::string path = strformat("%s\\%s", folder.c_str(), name.c_str());
  std::unique_ptr<AppendFile> file;
  if (files.open_append(path, file) == win::kSuccess) log_ = std::move(file);
}

void utils::open_serial_port() {
  if (serial_open_attempted_) return;
  serial_open_attempted_ = true;
  Console& console = platform().console();
  std::unique_ptr<SerialPort> port;
  Status s = console.open_serial(kSerialName, port);
  if (s != win::kSuccess || !port) {
    log_to_file("Create com port %s failed,err=%d", kSerialName, static_cast<int>(s));
    return;
  }
  if (Status e = port->get_state(); e != win::kSuccess)
    log_to_file("Get Com port status error! err=%d", static_cast<int>(e));
  if (Status e = port->set_line(9600, 8, 0, 0); e != win::kSuccess)
    log_to_file("Set Com port status error! err=%d", static_cast<int>(e));
  if (port->set_timeouts(50, 10, 50, 10, 50) != win::kSuccess)
    console.write_stdout("Set Com port timeout properties error!");
  serial_ = std::move(port);
}

void utils::close_serial_port() {
  serial_.reset();
  serial_open_attempted_ = true;
}

void utils::write_line(const std::string& message, bool mirror) {
  open_log_file();
  if (log_opening_) {
    pending_.emplace_back(message, mirror);
    return;
  }
  if (!log_) return;
  if (!pending_.empty()) {
    auto waiting = std::move(pending_);
    pending_.clear();
    for (auto& [text, to_serial] : waiting) write_line(text, to_serial);
  }
  LocalTime t = platform().clock().local_time();
  std::string line =
      strformat("[pid=%u,iso=%d][%04d/%02d/%02d/%02d:%02d:%02d] ", platform().system().process_id(),
                iso_mode_ ? 1 : 0, t.year, t.month, t.day, t.hour, t.minute, t.second);
  line += one_line(message);
  line += "\r\n";
  log_->append(line);
  if (!mirror) return;
  open_serial_port();
  if (serial_) serial_->write(ansi_to_utf8(line));
}

void utils::log(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = message_of(fmt, args);
  va_end(args);
  instance().write_line(message, true);
}

void utils::log_to_file(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string message = message_of(fmt, args);
  va_end(args);
  instance().write_line(message, false);
}

void utils::exit_report(int code, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = message_of(fmt, args);
  va_end(args);
  platform().console().write_stdout(strformat("%d:%s", code, text.c_str()));
  log("tarvik exit %d,%s", code, text.c_str());
  utils& u = instance();
  if (!u.iso_mode_) return;
  u.close_serial_port();
  std::exit(0);  // exit handlers close the log file
}

}  // namespace tarvik
