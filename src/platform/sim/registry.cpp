// Placeholder until the simulated registry lands.
#include "platform/sim/services.h"

namespace tarvik::sim {
namespace {
class StubRegistry final : public Registry {
 public:
  RegKey hklm() override { return RegKey(); }
  Status load_hive(std::string_view, std::string_view) override { return win::kNotSupported; }
  Status unload_hive(std::string_view) override { return win::kNotSupported; }
};
}  // namespace
std::unique_ptr<Registry> make_registry(const Machine&) { return std::make_unique<StubRegistry>(); }
}  // namespace tarvik::sim
