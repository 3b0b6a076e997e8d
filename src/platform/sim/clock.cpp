#include <ctime>

#include "platform/sim/services.h"

namespace tarvik::sim {
namespace {

class SimClock final : public Clock {
 public:
  explicit SimClock(const Machine& m) : m_(m) {}
  void sleep_ms(uint32_t ms) override { m_.advance(ms); }
  LocalTime local_time() override {
    std::time_t t = static_cast<std::time_t>(m_.now_unix_seconds());
    std::tm tm{};
    ::localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
  }
  // A machine that has been up for a while, as a guest's tick count would be.
  uint32_t tick_count() override { return static_cast<uint32_t>(600000 + m_.now_ms()); }
  int64_t unix_seconds() override { return m_.now_unix_seconds(); }

 private:
  const Machine& m_;
};

}  // namespace

std::unique_ptr<Clock> make_clock(const Machine& m) {
  return std::make_unique<SimClock>(m);
}

}  // namespace tarvik::sim
