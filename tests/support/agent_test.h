// A simulated guest with the agent's process-wide objects fresh for each test, as each
// run of the agent is a new process.
#pragma once

#include <string>
#include <vector>

#include "support/sim_guest.h"

namespace tarvik::test {

class AgentTest : public SimGuestTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a hive file of the guest in .reg text form (body: key sections).
  void write_hive(const std::string& win_path, const std::string& body);
  // Runs the agent's entry point with these arguments; returns its exit code and
  // keeps what it printed in stdout_.
  int run(const std::vector<std::string>& args);
  // The lines of today's log file on drive (without CR LF).
  std::vector<std::string> log_lines(char drive = 'c');
  // The whole of today's log file on drive.
  std::string log_text(char drive = 'c');
  // The messages of the log lines (after the "[pid..][time] " prefix).
  std::vector<std::string> log_messages(char drive = 'c');

  std::string stdout_;
};

}  // namespace tarvik::test
