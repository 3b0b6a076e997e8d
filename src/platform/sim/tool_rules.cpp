#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/command_line.h"
#include "platform/sim/tools.h"

namespace tarvik::sim {

namespace {

// \r \n \t \\ of a rule's output.
std::string unescape(std::string_view s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      r.push_back(s[i]);
      continue;
    }
    switch (s[++i]) {
      case 'r':
        r.push_back('\r');
        break;
      case 'n':
        r.push_back('\n');
        break;
      case 't':
        r.push_back('\t');
        break;
      case '\\':
        r.push_back('\\');
        break;
      default:
        r.push_back('\\');
        r.push_back(s[i]);
    }
  }
  return r;
}

bool load_ini(const std::string& path, IniFile& out) {
  std::string text, error;
  if (!read_host_file(path, text)) return false;
  if (parse_ini(text, out, error)) return true;
  std::fprintf(stderr, "tarvik sim: %s:%s\n", path.c_str(), error.c_str());
  return false;
}

// Takes one hit of rule when it has one left; false when its times are used up.
bool take_hit(const Machine& m, const IniSection& rule) {
  FileLock lock(m, "tools");
  IniFile state;
  load_ini(m.sim_file("tools.state"), state);
  if (!state.find("hits")) state.sections.push_back({"hits", 0, {}, {}});
  IniSection* hits = nullptr;
  for (auto& s : state.sections)
    if (equals_nocase(s.name, "hits")) hits = &s;
  unsigned long count = std::strtoul(hits->get(rule.name, "0").c_str(), nullptr, 10);
  const std::string* times = rule.find("times");
  if (times && !times->empty() && count >= std::strtoul(times->c_str(), nullptr, 10)) return false;
  set_ini_key(*hits, rule.name, std::to_string(count + 1));
  write_host_file_atomic(m.sim_file("tools.state"), format_ini(state));
  return true;
}

std::string base_name(std::string_view program) {
  size_t slash = program.find_last_of("\\/");
  return to_lower(slash == std::string_view::npos ? program : program.substr(slash + 1));
}

}  // namespace

RuleResult answer_from_rules(const Machine& m, std::string_view cmdline, ToolAnswer& out) {
  IniFile rules;
  std::string path = m.sim_file("tools.ini"), text, error;
  if (!read_host_file(path, text)) return RuleResult::kNoRule;
  // Rules that cannot be read must not quietly leave every line to the built-in tools.
  if (!parse_ini(text, rules, error)) {
    std::fprintf(stderr, "tarvik sim: %s:%s; no process can start until it is mended\n",
                 path.c_str(), error.c_str());
    return RuleResult::kBrokenRules;
  }
  for (const auto& rule : rules.sections) {
    if (to_lower(rule.name).rfind("rule.", 0) != 0) continue;
    const std::string* match = rule.find("match");
    if (!match || !glob_match(cmdline, *match) || !take_hit(m, rule)) continue;
    out.exit_code = static_cast<uint32_t>(std::strtoll(rule.get("exit", "0").c_str(), nullptr, 0));
    out.output = unescape(rule.get("output"));
    return RuleResult::kAnswered;
  }
  return RuleResult::kNoRule;
}

bool is_builtin_tool(std::string_view program) {
  std::string name = base_name(program);
  if (name.size() > 4 && name.substr(name.size() - 4) == ".exe") name.resize(name.size() - 4);
  return name == "diskpart" || name == "devcon_x86" || name == "devcon_x64";
}

ToolAnswer run_builtin_tool(const Machine& m, std::string_view cmdline, std::string_view input) {
  std::vector<std::string> argv = split_command_line(cmdline);
  if (base_name(argv[0]).rfind("diskpart", 0) == 0) return run_diskpart(m, input);
  return run_devcon(m, argv);
}

Status edit_machine_ini(const Machine& m, const std::function<bool(IniFile&)>& edit) {
  FileLock lock(m, "machine");
  std::string path = m.root() + "/machine.ini";
  std::string text, error;
  IniFile ini;
  // A file the sim cannot read back is left as it is rather than overwritten.
  if (read_host_file(path, text) && !parse_ini(text, ini, error)) {
    std::fprintf(stderr, "tarvik sim: %s:%s\n", path.c_str(), error.c_str());
    return win::kInvalidData;
  }
  const IniFile before = ini;
  if (!edit(ini) || write_host_file_atomic(path, rewrite_ini(text, before, ini)))
    return win::kSuccess;
  Status s = win_error_from_errno(errno, path);
  std::fprintf(stderr, "tarvik sim: %s: cannot be written (error %u); the machine is unchanged\n",
               path.c_str(), static_cast<unsigned>(s));
  return s;
}

void set_ini_key(IniSection& section, std::string_view key, std::string_view value) {
  // The key given last is the one in force.
  for (auto it = section.keys.rbegin(); it != section.keys.rend(); ++it)
    if (equals_nocase(it->first, key)) {
      it->second = value;
      return;
    }
  section.keys.emplace_back(key, value);
}

}  // namespace tarvik::sim
