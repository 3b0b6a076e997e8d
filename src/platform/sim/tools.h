// The simulated machine's answers to command lines that do not run a real program:
// scripted rules of sim/tools.ini and the built-in diskpart and devcon.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/ini.h"
#include "platform/sim/machine.h"

namespace tarvik::sim {

struct ToolAnswer {
  uint32_t exit_code = 0;
  std::string output;
};

// The first rule of sim/tools.ini whose match glob covers the whole command line
// (without regard to case) and that has hits left. Counts the hit in sim/tools.state.
// kBrokenRules (said on standard error with file and line) when the file is malformed.
enum class RuleResult { kNoRule, kAnswered, kBrokenRules };
RuleResult answer_from_rules(const Machine& m, std::string_view cmdline, ToolAnswer& out);

// Whether the program word names a built-in tool (with or without a folder).
bool is_builtin_tool(std::string_view program);
// Runs the built-in tool of cmdline with input on its standard input.
ToolAnswer run_builtin_tool(const Machine& m, std::string_view cmdline, std::string_view input);

ToolAnswer run_diskpart(const Machine& m, std::string_view script);
ToolAnswer run_devcon(const Machine& m, const std::vector<std::string>& argv);

// Reads machine.ini as it is now, lets edit change it, and writes back atomically only
// the lines that changed when edit returns true, all under the machine.ini lock. The
// error (with a message on standard error) when the file cannot be read back or written:
// then the machine is unchanged.
Status edit_machine_ini(const Machine& m, const std::function<bool(IniFile&)>& edit);

// Sets key in section, in place when it is there, else at the section's end.
void set_ini_key(IniSection& section, std::string_view key, std::string_view value);

}  // namespace tarvik::sim
