#include "support/sim_guest.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/sim/services.h"

namespace tarvik::test {

namespace fs = std::filesystem;

const char* const kDefaultMachineIni =
    "[system]\n"
    "drive=c\n"
    "program=C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe\n"
    "[clock]\n"
    "mode=virtual\n"
    "start=2025-01-06 09:49:05\n";

void SimGuestTest::SetUp() {
  std::string tmpl = (fs::temp_directory_path() / "tarvik-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  root_ = tmpl;
  fs::create_directories(root_ + "/c/Windows/System32/config");
  fs::create_directories(root_ + "/sim");
  write(root_ + "/machine.ini", kDefaultMachineIni);
  reload();
}

void SimGuestTest::TearDown() {
  install_platform(nullptr);
  std::error_code ec;
  if (!root_.empty() && !std::getenv("TARVIK_KEEP_TEST_GUESTS")) fs::remove_all(root_, ec);
}

void SimGuestTest::set_machine_ini(const std::string& text) {
  write(root_ + "/machine.ini", text);
  reload();
}

void SimGuestTest::reload() {
  std::string error;
  auto p = sim::make_platform(root_, error);
  ASSERT_TRUE(p) << error;
  install_platform(std::move(p));
}

std::string SimGuestTest::host(const std::string& win_path) const {
  std::string out;
  sim::Machine m;
  std::string error;
  m.load(root_, error);
  EXPECT_EQ(m.host_path(win_path, out), 0u) << win_path;
  return out;
}

std::string SimGuestTest::read(const std::string& host_path) {
  std::ifstream f(host_path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void SimGuestTest::write(const std::string& host_path, const std::string& text) {
  fs::create_directories(fs::path(host_path).parent_path());
  std::ofstream f(host_path, std::ios::binary | std::ios::trunc);
  f << text;
}

void SimGuestTest::mkdirs(const std::string& host_path) const {
  fs::create_directories(host_path);
}

}  // namespace tarvik::test
