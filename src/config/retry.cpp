#include "config/retry.h"

#include "platform/port.h"

namespace tarvik::config {

int retry(int attempts, uint32_t pause_ms, const std::function<int()>& attempt) {
  int code = 0;
  for (int i = 0; i < attempts; ++i) {
    if (i > 0) platform().clock().sleep_ms(pause_ms);
    code = attempt();
    if (code == 0) break;
  }
  return code;
}

}  // namespace tarvik::config
