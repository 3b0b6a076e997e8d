// The services of the simulated machine, one class per port interface.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine.h"

namespace tarvik::sim {

std::unique_ptr<Registry> make_registry(const Machine& m);
std::unique_ptr<Files> make_files(const Machine& m);
std::unique_ptr<Processes> make_processes(const Machine& m);
std::unique_ptr<Network> make_network(const Machine& m);
std::unique_ptr<Clock> make_clock(const Machine& m);
std::unique_ptr<System> make_system(const Machine& m);
std::unique_ptr<Console> make_console(const Machine& m);
std::unique_ptr<Devices> make_devices(const Machine& m);
std::unique_ptr<Services> make_services(const Machine& m);

// The host binary that runs when the agent starts its own program path (set by the
// agent's main; unset, that path is looked up on the simulated drives like any other).
void set_agent_binary(const std::string& host_path);

// Starts a service's command line as the service manager starts it and leaves it
// running (recorded in sim/calls.jsonl with how "service"); the agent's own program path
// runs the agent binary. Returns the start error, or 0.
Status start_service_program(const Machine& m, std::string_view cmdline);

// The services started since the machine's last boot: sim/services.ini, section [running],
// one key a service. A restart forgets the file.
constexpr char kRunningServicesFile[] = "services.ini";
std::vector<std::string> running_services(const Machine& m);

// The simulated machine at root, or nullptr with error naming the file and line.
std::unique_ptr<Platform> make_platform(const std::string& root, std::string& error);

}  // namespace tarvik::sim
