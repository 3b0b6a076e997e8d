// Placeholder until the simulated process runner lands.
#include "platform/sim/services.h"

namespace tarvik::sim {
std::unique_ptr<Processes> make_processes(const Machine&) { return nullptr; }
}  // namespace tarvik::sim
