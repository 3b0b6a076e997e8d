// Retrying an attempt a fixed number of times with a fixed pause between attempts.
#pragma once

#include <cstdint>
#include <functional>

namespace tarvik::config {

// Runs attempt up to attempts times, pause_ms apart, until it gives 0; the last code.
int retry(int attempts, uint32_t pause_ms, const std::function<int()>& attempt);

}  // namespace tarvik::config
