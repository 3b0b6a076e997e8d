// The built-in devcon: installs the loopback adapter as a new [adapter.N] of machine.ini;
// disable and enable change nothing.
#include <cstdio>
#include <cstdlib>
#include <random>

#include "platform/sim/tools.h"

namespace tarvik::sim {

namespace {

constexpr char kLoopbackDescription[] = "Microsoft KM-TEST Loopback Adapter";

std::string new_guid_text() {
  std::random_device rd;
  uint32_t w[4] = {rd(), rd(), rd(), rd()};
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%04X-%04X%08X}", w[0], w[1] >> 16,
                (w[1] & 0x0FFF) | 0x4000, (w[2] >> 16 & 0x3FFF) | 0x8000, w[2] & 0xFFFF, w[3]);
  return buf;
}

// Appends the adapter: the next section number, interface index and "Ethernet N" name.
void add_loopback(IniFile& ini) {
  int section = 0;
  unsigned long index = 1;
  std::vector<std::string> names;
  for (const IniSection* s : Machine::numbered(ini, "adapter")) {
    section = std::max(section, std::atoi(s->name.c_str() + 8));
    index = std::max(index, std::strtoul(s->get("index", "0").c_str(), nullptr, 10));
    names.push_back(to_lower(s->get("name")));
  }
  std::string name = "Ethernet";
  for (int n = 2; std::find(names.begin(), names.end(), to_lower(name)) != names.end(); ++n)
    name = "Ethernet " + std::to_string(n);
  IniSection a{"adapter." + std::to_string(section + 1), 0, {}, {}};
  set_ini_key(a, "index", std::to_string(index + 1));
  // 02-00-4C-4F-4F-50: the locally administered address the loopback driver uses.
  set_ini_key(a, "mac", "02:00:4c:4f:4f:50");
  set_ini_key(a, "name", name);
  set_ini_key(a, "id", new_guid_text());
  set_ini_key(a, "description", kLoopbackDescription);
  ini.sections.push_back(std::move(a));
}

}  // namespace

ToolAnswer run_devcon(const Machine& m, const std::vector<std::string>& argv) {
  ToolAnswer a;
  std::string verb = argv.size() > 1 ? to_lower(argv[1]) : "";
  if (verb == "install" && argv.size() >= 4 && equals_nocase(argv[3], "*MSLOOP")) {
    Status s = edit_machine_ini(m, [](IniFile& ini) {
      add_loopback(ini);
      return true;
    });
    if (s != win::kSuccess) {
      a.exit_code = 1;
      a.output = "devcon failed.\r\n";
      return a;
    }
    a.output =
        "Device node created. Install is complete when drivers are installed...\r\n"
        "Updating drivers for *MSLOOP from " +
        argv[2] +
        ".\r\n"
        "Drivers installed successfully.\r\n";
  } else if (verb == "disable" || verb == "enable") {
    a.output =
        "1 device(s) " + std::string(verb == "disable" ? "disabled" : "are enabled") + ".\r\n";
  } else {
    a.exit_code = 1;
    a.output = "devcon failed.\r\n";
  }
  return a;
}

}  // namespace tarvik::sim
