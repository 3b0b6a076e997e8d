// Clock: Sleep, the C library's local time, GetTickCount.
#include <ctime>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

class Win32Clock final : public Clock {
 public:
  void sleep_ms(uint32_t ms) override { Sleep(ms); }
  LocalTime local_time() override {
    std::time_t now = std::time(nullptr);
    std::tm tm = {};
    localtime_s(&tm, &now);
    LocalTime t;
    t.year = tm.tm_year + 1900;
    t.month = tm.tm_mon + 1;
    t.day = tm.tm_mday;
    t.hour = tm.tm_hour;
    t.minute = tm.tm_min;
    t.second = tm.tm_sec;
    return t;
  }
  uint32_t tick_count() override { return GetTickCount(); }
  int64_t unix_seconds() override { return static_cast<int64_t>(std::time(nullptr)); }
};

}  // namespace

std::unique_ptr<Clock> make_clock() {
  return std::make_unique<Win32Clock>();
}

}  // namespace tarvik::win32
