#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "check.h"

namespace tarvik::fuzz {

namespace {

std::vector<std::string>& guests() {
  static std::vector<std::string> g;
  return g;
}

void remove_guests() {
  std::error_code ec;
  for (const auto& g : guests()) std::filesystem::remove_all(g, ec);
}

void put(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

std::string make_guest(const std::string& machine_ini, const std::string& tools_ini) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarvik-fuzz-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  if (guests().empty()) std::atexit(remove_guests);
  guests().push_back(pattern);
  put(pattern + "/machine.ini", machine_ini);
  put(pattern + "/sim/tools.ini", tools_ini);
  std::filesystem::create_directories(pattern + "/c/Windows/System32/config");
  return pattern;
}

}  // namespace tarvik::fuzz
