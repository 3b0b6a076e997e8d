// Running the built tarvik and tarvik-sim as the platform would, and reading what the
// simulated guest recorded.
#pragma once

#include <string>
#include <vector>

namespace tarvik::test {

struct CliResult {
  int code = -1;    // exit code, or -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs program with args; TARVIK_SIM_ROOT is root (unset when root is empty).
CliResult run_cli(const std::string& program, const std::vector<std::string>& args,
                  const std::string& root);
CliResult tarvik(const std::string& root, const std::vector<std::string>& args);
CliResult tarvik_sim(const std::string& root, const std::vector<std::string>& args);
// What a shell command prints on stdout and stderr (another program's view of a file).
std::string output_of(const std::string& cmd);
// What libhivex's hivexget prints of the value name of key in a regf file.
std::string hivexget(const std::string& file, const std::string& key, const std::string& name);
// hivexregedit --export of key and all below it ("\\" for the whole hive), as .reg text.
std::string hivexregedit_export(const std::string& file, const std::string& key);

// One line of sim/calls.jsonl.
struct Call {
  std::string cmdline, stdin_text, output, via, how;
  long exit = 0;
  long ms = 0;  // the simulated clock when it started
};
std::vector<Call> read_calls(const std::string& root);

}  // namespace tarvik::test
