// The reader of the machine's own INI files (machine.ini, tools.ini, mounts.ini): parsed
// text written again parses to the same sections and keys, and a rewrite that changes one
// value keeps every other line byte for byte.
#include "platform/sim/ini.h"

#include "check.h"

using namespace tarvik;

namespace {

void same(const sim::IniFile& a, const sim::IniFile& b) {
  FUZZ_CHECK(a.sections.size() == b.sections.size());
  for (size_t i = 0; i < a.sections.size(); ++i) {
    FUZZ_CHECK(a.sections[i].name == b.sections[i].name);
    FUZZ_CHECK(a.sections[i].keys == b.sections[i].keys);
  }
}

size_t count_lines(std::string_view s) {
  size_t n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::input(data, size);
  sim::IniFile ini;
  std::string error;
  if (!sim::parse_ini(text, ini, error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  sim::IniFile again;
  std::string written = sim::format_ini(ini);
  FUZZ_CHECK(sim::parse_ini(written, again, error));
  same(ini, again);

  // Change the first key's value: the rewritten text parses to the changed file and
  // keeps its line count.
  sim::IniFile after = ini;
  for (auto& s : after.sections)
    if (!s.keys.empty()) {
      s.keys[0].second = "changed value";
      break;
    }
  std::string rewritten = sim::rewrite_ini(text, ini, after);
  sim::IniFile read_back;
  FUZZ_CHECK(sim::parse_ini(rewritten, read_back, error));
  same(after, read_back);
  FUZZ_CHECK(count_lines(rewritten) <= count_lines(text) + 1);
  return 0;
}
