#include "platform/sim/services.h"

namespace tarvik::sim {

namespace {

class SimPlatform final : public Platform {
 public:
  explicit SimPlatform(Machine m) : machine_(std::move(m)) {
    registry_ = make_registry(machine_);
    files_ = make_files(machine_);
    processes_ = make_processes(machine_);
    network_ = make_network(machine_);
    clock_ = make_clock(machine_);
    system_ = make_system(machine_);
    console_ = make_console(machine_);
    devices_ = make_devices(machine_);
    services_ = make_services(machine_);
  }
  Registry& registry() override { return *registry_; }
  Files& files() override { return *files_; }
  Processes& processes() override { return *processes_; }
  Network& network() override { return *network_; }
  Clock& clock() override { return *clock_; }
  System& system() override { return *system_; }
  Console& console() override { return *console_; }
  Devices& devices() override { return *devices_; }
  Services& services() override { return *services_; }
  const Machine& machine() const { return machine_; }

 private:
  Machine machine_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Files> files_;
  std::unique_ptr<Processes> processes_;
  std::unique_ptr<Network> network_;
  std::unique_ptr<Clock> clock_;
  std::unique_ptr<System> system_;
  std::unique_ptr<Console> console_;
  std::unique_ptr<Devices> devices_;
  std::unique_ptr<Services> services_;
};

}  // namespace

std::unique_ptr<Platform> make_platform(const std::string& root, std::string& error) {
  Machine m;
  if (!m.load(root, error)) return nullptr;
  return std::make_unique<SimPlatform>(std::move(m));
}

const Machine& machine_of(Platform& p) {
  return static_cast<SimPlatform&>(p).machine();
}

}  // namespace tarvik::sim
