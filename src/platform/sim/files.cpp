// Placeholder until the simulated file system lands.
#include "platform/sim/services.h"

namespace tarvik::sim {
std::unique_ptr<Files> make_files(const Machine&) { return nullptr; }
}  // namespace tarvik::sim
