// The agent's platform on a simulated guest, for targets that run agent code.
#pragma once

#include <string>

namespace tarvik::fuzz {

// Makes a guest whose every command line a rule answers with exit code 0, installs the
// simulated platform on it and returns its folder.
std::string install_agent_guest();

}  // namespace tarvik::fuzz
