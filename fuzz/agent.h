// The agent's platform on a simulated guest, for targets that run agent code.
#pragma once

#include <string>
#include <vector>

namespace tarvik::fuzz {

// Makes a guest with the time service, installs the simulated platform on it, with every
// process start answered by exit code 0 and no output, and returns the guest's folder.
std::string install_agent_guest();

// The command lines the agent started since the last call, in order.
std::vector<std::string> started_commands();

}  // namespace tarvik::fuzz
