// The agent's entry point, called by each platform's main() once the platform is
// installed.
#pragma once

namespace tarvik {

// Runs one command of the agent and returns the process exit code.
int run_agent(int argc, char** argv);

}  // namespace tarvik
