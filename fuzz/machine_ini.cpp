// machine.ini and sim/tools.ini as the simulated machine reads them: a machine loads only
// from text the INI reader takes, and a command line is answered only by a rule whose
// match covers it. The input is machine.ini, NUL, tools.ini, NUL, a command line.
#include <fstream>

#include "check.h"
#include "platform/port.h"
#include "platform/sim/machine.h"
#include "platform/sim/tools.h"

using namespace tarvik;

namespace {
std::string guest;

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  guest = fuzz::make_guest("", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto p = fuzz::parts(fuzz::input(data, size), 3);
  const std::string &machine_ini = p[0], &tools_ini = p[1], &cmdline = p[2];
  put(guest + "/machine.ini", machine_ini);
  put(guest + "/sim/tools.ini", tools_ini);
  std::remove((guest + "/sim/tools.state").c_str());

  sim::Machine m;
  std::string error;
  sim::IniFile parsed;
  bool parses = sim::parse_ini(machine_ini, parsed, error);
  bool loads = m.load(guest, error);
  FUZZ_CHECK(!loads || parses);
  FUZZ_CHECK(loads || !error.empty());
  if (!loads) return 0;
  FUZZ_CHECK(m.system_drive() >= 'a' && m.system_drive() <= 'z');
  (void)m.wow64();
  (void)m.codepage();
  (void)m.lock_wait_ms();
  std::string host;
  (void)m.host_path("C:\\Windows\\System32", host);

  sim::ToolAnswer answer;
  sim::RuleResult r = sim::answer_from_rules(m, cmdline, answer);
  sim::IniFile rules;
  bool rules_parse = sim::parse_ini(tools_ini, rules, error);
  FUZZ_CHECK((r == sim::RuleResult::kBrokenRules) == !rules_parse);
  if (r == sim::RuleResult::kAnswered) {
    bool covered = false;
    for (const auto& s : rules.sections)
      if (const std::string* match = s.find("match")) covered |= glob_match(cmdline, *match);
    FUZZ_CHECK(covered);
  }
  // A pattern without wildcards matches the same text, and "*" matches every text.
  FUZZ_CHECK(glob_match(cmdline, "*"));
  if (cmdline.find_first_of("*?") == std::string::npos) FUZZ_CHECK(glob_match(cmdline, cmdline));
  return 0;
}
