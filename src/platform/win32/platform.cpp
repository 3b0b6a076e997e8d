#include "platform/win32/platform.h"

namespace tarvik::win32 {

namespace {

class Win32Platform final : public Platform {
 public:
  Win32Platform()
      : registry_(make_registry()),
        files_(make_files()),
        processes_(make_processes()),
        network_(make_network()),
        clock_(make_clock()),
        system_(make_system()),
        console_(make_console()),
        devices_(make_devices()),
        services_(make_services()) {}
  Registry& registry() override { return *registry_; }
  Files& files() override { return *files_; }
  Processes& processes() override { return *processes_; }
  Network& network() override { return *network_; }
  Clock& clock() override { return *clock_; }
  System& system() override { return *system_; }
  Console& console() override { return *console_; }
  Devices& devices() override { return *devices_; }
  Services& services() override { return *services_; }

 private:
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

std::unique_ptr<Platform> make_platform() {
  return std::make_unique<Win32Platform>();
}

}  // namespace tarvik::win32
