// Console: standard output and the serial port.
#include <cstdio>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

class Win32SerialPort final : public SerialPort {
 public:
  explicit Win32SerialPort(ScopedFile port) : port_(std::move(port)) {
    dcb_.DCBlength = sizeof(DCB);
  }

  Status get_state() override {
    static_assert(sizeof(DCB) == 28, "a DCB of 28 bytes");
    if (!GetCommState(port_.get(), &dcb_)) return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

  // Every other field keeps what get_state read (zero when it failed).
  Status set_line(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits) override {
    dcb_.BaudRate = baud;
    dcb_.ByteSize = byte_size;
    dcb_.Parity = parity;
    dcb_.StopBits = stop_bits;
    if (!SetCommState(port_.get(), &dcb_)) return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

  Status set_timeouts(uint32_t read_interval, uint32_t read_multiplier, uint32_t read_constant,
                      uint32_t write_multiplier, uint32_t write_constant) override {
    COMMTIMEOUTS t = {read_interval, read_multiplier, read_constant, write_multiplier,
                      write_constant};
    if (!SetCommTimeouts(port_.get(), &t)) return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

  Status write(std::string_view bytes) override {
    DWORD wrote = 0;
    if (!WriteFile(port_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr))
      return last_error_or(ERROR_WRITE_FAULT);
    return win::kSuccess;
  }

 private:
  ScopedFile port_;
  DCB dcb_ = {};
};

class Win32Console final : public Console {
 public:
  void write_stdout(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  Status open_serial(std::string_view name, std::unique_ptr<SerialPort>& out) override {
    ScopedFile port(CreateFileA(sz(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    if (!port) return last_error_or(ERROR_FILE_NOT_FOUND);
    out = std::make_unique<Win32SerialPort>(std::move(port));
    return win::kSuccess;
  }
};

}  // namespace

std::unique_ptr<Console> make_console() {
  return std::make_unique<Win32Console>();
}

}  // namespace tarvik::win32
