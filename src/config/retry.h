// Up to a number of attempts of one step, a pause apart, until one succeeds.
#pragma once

#include <cstdint>
#include <functional>

namespace tarvik::config {

// Runs attempt up to attempts times until it gives 0, pausing pause_ms through the
// platform's clock between attempts (not after the last); the last attempt's code.
int retry(int attempts, uint32_t pause_ms, const std::function<int()>& attempt);

}  // namespace tarvik::config
