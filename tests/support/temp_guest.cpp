#include "support/temp_guest.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "support/cli.h"

namespace tarvik::test {

namespace fs = std::filesystem;

void TempGuestTest::SetUp() {
  std::string tmpl = (fs::temp_directory_path() / "tarvik-cli-XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  dir_ = tmpl;
  root_ = dir_ + "/guest";
}

void TempGuestTest::TearDown() {
  std::error_code ec;
  if (!dir_.empty() && !std::getenv("TARVIK_KEEP_TEST_GUESTS")) fs::remove_all(dir_, ec);
}

void TempGuestTest::init_guest(bool iso) {
  std::vector<std::string> args = {"init", root_};
  if (iso) args.push_back("--iso");
  CliResult r = tarvik_sim("", args);
  ASSERT_EQ(r.code, 0) << r.err;
}

void TempGuestTest::mark_installed() {
  CliResult r = tarvik_sim(root_, {"reg", "add", "HKLM\\SYSTEM", "/v", "tarvik.inst", "/t",
                                   "REG_DWORD", "/d", "1", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
}

std::string TempGuestTest::log(char drive) const {
  std::string all;
  std::string folder = root_ + "/" + drive + "/ProgramData/kovenu/tarvik/log";
  if (fs::is_directory(folder))
    for (const auto& e : fs::directory_iterator(folder)) all += slurp(e.path());
  return all;
}

std::string TempGuestTest::slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void TempGuestTest::put(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace tarvik::test
