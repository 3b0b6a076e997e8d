// User-data headers: a script is stored and started exactly when the data begins with
// one of the four headers (in any case), and the stored script is the data with a
// bracketed header blanked, byte for byte otherwise. The data never reaches a command
// line: what starts splits into the words of the interpreter and the script's path.
#include <fstream>
#include <iterator>

#include "agent.h"
#include "check.h"
#include "cloudinit/cloud_init.h"
#include "platform/port.h"
#include "platform/sim/command_line.h"

using namespace tarvik;

namespace {
std::string folder;

bool starts_nocase(std::string_view data, std::string_view header) {
  return data.size() >= header.size() && equals_nocase(data.substr(0, header.size()), header);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  folder = fuzz::install_agent_guest() + "/c/ProgramData/kovenu/tarvik/userdata/";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(fuzz::input(data, size));
  std::remove((folder + "script.ps1").c_str());
  std::remove((folder + "script.bat").c_str());
  std::string given = text;
  fuzz::started_commands();
  int r = cloud_init::instance().user_data(text);
  std::vector<std::vector<std::string>> started;
  for (const std::string& line : fuzz::started_commands())
    started.push_back(sim::split_command_line(line));
  bool ps = starts_nocase(given, "[powershell]") || starts_nocase(given, "#powershell");
  bool bat = !ps && (starts_nocase(given, "[bat]") || starts_nocase(given, "::bat"));
  FUZZ_CHECK((r == 0) == (ps || bat));
  if (r != 0) {
    FUZZ_CHECK(started.empty());
    return 0;
  }
  const std::string script = "C:\\ProgramData\\kovenu\\tarvik\\userdata\\script.";
  if (ps)
    FUZZ_CHECK(started == (std::vector<std::vector<std::string>>{
                              {"powershell.exe", "Set-ExecutionPolicy", "RemoteSigned"},
                              {"powershell", script + "ps1"}}));
  else
    FUZZ_CHECK(started == std::vector<std::vector<std::string>>{{script + "bat"}});
  std::string want = given;
  for (std::string_view h : {"[powershell]", "[bat]"})
    if (starts_nocase(want, h)) want.replace(0, h.size(), h.size(), ' ');
  FUZZ_CHECK(text == want);
  FUZZ_CHECK(slurp(folder + (ps ? "script.ps1" : "script.bat")) == want);
  return 0;
}
