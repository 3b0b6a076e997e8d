#include "platform/sim/registry.h"
#include "platform/sim/services.h"

namespace tarvik::sim {

namespace {

// The machine is a base so that it is made before the services that refer to it.
struct MachineHolder {
  Machine machine;
};

class SimPlatform final : private MachineHolder, public ServicePlatform {
 public:
  explicit SimPlatform(Machine m)
      : MachineHolder{std::move(m)},
        ServicePlatform(Parts{make_registry(machine), make_files(machine), make_processes(machine),
                              make_network(machine), make_clock(machine), make_system(machine),
                              make_console(machine), make_devices(machine),
                              make_services(machine)}) {}
};

}  // namespace

std::unique_ptr<Platform> make_platform(const std::string& root, std::string& error) {
  Machine m;
  if (!m.load(root, error)) return nullptr;
  // Windows cannot run without its SYSTEM hive: a damaged one stops the machine here,
  // rather than letting the agent take it for a guest without settings.
  RegistryStore store(m);
  std::shared_ptr<const HiveKey> system;
  Status s = store.read({HiveRef::Kind::kSystem, ""}, {"Select"}, system);
  if (s == win::kBadRegistry || s == win::kRegistryCorrupt) {
    error = "the running system's SYSTEM hive cannot be read: " + store.last_error();
    return nullptr;
  }
  return std::make_unique<SimPlatform>(std::move(m));
}

}  // namespace tarvik::sim
