#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>

#include "platform/sim/services.h"

namespace tarvik::sim {
namespace {

// The serial port is the file sim/COM1. The port is opened without sharing: a second
// open, by this process or another, fails with 5 as a busy port does.
class SimSerialPort final : public SerialPort {
 public:
  explicit SimSerialPort(int fd) : fd_(fd) {}
  ~SimSerialPort() override { ::close(fd_); }
  Status get_state() override { return win::kSuccess; }
  Status set_line(uint32_t, uint8_t, uint8_t, uint8_t) override { return win::kSuccess; }
  Status set_timeouts(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
    return win::kSuccess;
  }
  Status write(std::string_view bytes) override {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) return 1117;  // ERROR_IO_DEVICE
      done += static_cast<size_t>(n);
    }
    return win::kSuccess;
  }

 private:
  int fd_;
};

class SimConsole final : public Console {
 public:
  explicit SimConsole(const Machine& m) : m_(m) {}

  void write_stdout(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  Status open_serial(std::string_view name, std::unique_ptr<SerialPort>& out) override {
    if (!equals_nocase(name, "COM1") || !present()) return win::kFileNotFound;
    std::string path = m_.sim_file("COM1");
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return win_error_from_errno(errno, path);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return win::kAccessDenied;
    }
    out = std::make_unique<SimSerialPort>(fd);
    return win::kSuccess;
  }

 private:
  // serial=1: COM1 exists; 0: no port; acpi: the port exists but has no COM1 name until
  // it is defined as a DOS device.
  bool present() const {
    std::string serial = to_lower(m_.get("system", "serial", "1"));
    if (serial == "1") return true;
    if (serial != "acpi") return false;
    std::string text;
    if (!read_host_file(m_.sim_file("dosdevices.ini"), text)) return false;
    IniFile ini;
    std::string error;
    return parse_ini(text, ini, error) && ini.find("dosdevices") &&
           ini.find("dosdevices")->find("COM1") != nullptr;
  }

  const Machine& m_;
};

}  // namespace

std::unique_ptr<Console> make_console(const Machine& m) {
  return std::make_unique<SimConsole>(m);
}

}  // namespace tarvik::sim
