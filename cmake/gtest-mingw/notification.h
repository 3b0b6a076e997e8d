// GoogleTest's Notification, on which its Windows threads wait to start, for a runtime
// without std::mutex and std::condition_variable (that of GCC 12's win32 thread model).
// GTestConfig.cmake forces it into every compile that sees GoogleTest's headers there.
#pragma once

#include <atomic>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true); }
  void WaitForNotification() {
    while (!notified_.load()) std::this_thread::yield();
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
