// tarvik and tarvik-sim as the platform and a developer run them.
#include "support/cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

using CliTest = TempGuestTest;

TEST_F(CliTest, TheAgentNeedsAGuestAndAWellFormedOne) {
  CliResult r = tarvik("", {"config", "x", "host", "a", "b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("TARVIK_SIM_ROOT"));

  std::filesystem::create_directories(root_);
  std::ofstream(root_ + "/machine.ini") << "[system]\ndrive=c\nthis line is wrong\n";
  r = tarvik(root_, {"config", "x", "host", "a", "b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(root_ + "/machine.ini:3"));
  EXPECT_EQ(tarvik_sim(root_, {"stamp", "C:\\x.dll", "1.2.3"}).code, 2);
  EXPECT_EQ(tarvik_sim("", {"init"}).code, 2);
  EXPECT_EQ(tarvik_sim("", {"frobnicate"}).code, 2);
}

TEST_F(CliTest, AFolderWithoutMachineIniIsNoGuestToTheAgentNorToAnyVerb) {
  const std::string said =
      " is not a simulated guest (it has no machine.ini); make one with: "
      "tarvik-sim init ";
  std::filesystem::create_directories(root_);
  CliResult r = tarvik(root_, {"config", "windows", "hostname", "a"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tarvik: " + root_ + said + root_ + "\n");
  const std::vector<std::vector<std::string>> verbs = {
      {"calls"},
      {"reboot"},
      {"boot"},
      {"snapshot", "s"},
      {"diff", "s"},
      {"stamp", "C:\\x.dll", "1.2.3.4"},
      {"reg", "query", "HKLM\\SYSTEM"},
      {"reg", "--hive", "D:\\Windows\\System32\\config\\SYSTEM", "query", "Setup"},
      {"metadata", "--listen", "127.0.0.1:0"}};
  // An empty folder and a missing one alike; nothing is written into either.
  for (const std::string& folder : {root_, dir_ + "/missing"})
    for (const auto& args : verbs) {
      r = tarvik_sim(folder, args);
      EXPECT_EQ(r.code, 2) << args[0];
      EXPECT_EQ(r.err, "tarvik-sim: " + folder + said + folder + "\n") << args[0];
    }
  EXPECT_TRUE(std::filesystem::is_empty(root_));
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/missing"));
}

TEST_F(CliTest, HelpNeedsNoGuestAndNamesEveryVerbWithItsOptions) {
  for (const char* help : {"--help", "-h", "help"}) {
    CliResult r = tarvik_sim("", {help});
    EXPECT_EQ(r.code, 0) << help;
    EXPECT_EQ(r.err, "");
    for (const char* line :
         {"  init DIR [--iso [--target-hives FOLDER]] [--hives reg|regf]\n",
          "  hive convert FILE --to reg|regf [--codepage N]\n",
          "  reg [--hive WINPATH] query|add|delete|export|import ...\n", "  calls ",
          "  stamp WINPATH A.B.C.D ", "  reboot ", "  boot [--from LETTER] ", "  snapshot NAME ",
          "  diff NAME ", "  metadata --listen ADDR:PORT "})
      EXPECT_THAT(r.out, HasSubstr(line)) << help;
  }
  // Without arguments the usage is an error.
  CliResult bare = tarvik_sim("", {});
  EXPECT_EQ(bare.code, 2);
  EXPECT_EQ(bare.err, tarvik_sim("", {"--help"}).out);

  // A verb's own help, asked either way, with a guest that is none.
  CliResult own = tarvik_sim(dir_ + "/missing", {"help", "calls"});
  EXPECT_EQ(own.code, 0);
  EXPECT_THAT(own.out, StartsWith("usage: tarvik-sim calls\n"));
  EXPECT_EQ(tarvik_sim(dir_ + "/missing", {"calls", "--help"}).out, own.out);
  for (const char* word :
       {"  run ", "  stdin ", "  detached ", "  nocapture ", "  relaunch ", "  service ", "  rule ",
        "  builtin ", "  exec ", "  missing ", "259 is STILL_ACTIVE"})
    EXPECT_THAT(own.out, HasSubstr(word));
  CliResult init = tarvik_sim("", {"init", "--help"});
  EXPECT_EQ(init.code, 0);
  for (const char* option : {"  --iso ", "  --target-hives FOLDER ", "  --hives reg|regf "})
    EXPECT_THAT(init.out, HasSubstr(option));
  EXPECT_THAT(tarvik_sim("", {"help", "hive"}).out, HasSubstr("  --codepage N "));

  CliResult unknown = tarvik_sim("", {"help", "frobnicate"});
  EXPECT_EQ(unknown.code, 2);
  EXPECT_THAT(unknown.err, HasSubstr("unknown verb 'frobnicate'"));
  // A verb given wrongly says how it is used.
  CliResult wrong = tarvik_sim("", {"hive", "convert"});
  EXPECT_EQ(wrong.code, 2);
  EXPECT_EQ(wrong.err,
            "tarvik-sim hive: usage: tarvik-sim hive convert FILE --to reg|regf [--codepage N] "
            "(tarvik-sim help hive says more)\n");
}

TEST_F(CliTest, TheProjectVersionAndTheFileVersionReader) {
  CliResult r = tarvik_sim("", {"--version"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, std::string("tarvik-sim ") + TARVIK_VERSION + "\n");

  ASSERT_EQ(tarvik_sim("", {"init", root_}).code, 0);
  ASSERT_EQ(
      tarvik_sim(root_, {"stamp", "C:\\ProgramData\\kovenu\\tarvik\\a.sys", "10.0.65535.7"}).code,
      0);
  r = run_cli(TARVIK_FILE_VERSION_BIN, {"C:\\PROGRAMDATA\\kovenu\\tarvik\\A.SYS"}, root_);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "10.0.65535.7\n");
  // A file without a version resource, a missing file and a missing guest.
  EXPECT_EQ(
      run_cli(TARVIK_FILE_VERSION_BIN, {"C:\\ProgramData\\kovenu\\tarvik\\citymaptz.ini"}, root_)
          .code,
      1);
  EXPECT_EQ(run_cli(TARVIK_FILE_VERSION_BIN, {"C:\\none.sys"}, root_).code, 1);
  EXPECT_EQ(run_cli(TARVIK_FILE_VERSION_BIN, {"C:\\ProgramData\\kovenu\\tarvik\\a.sys"}, "").code,
            2);
}

TEST_F(CliTest, ARunningGuestFromInit) {
  ASSERT_EQ(tarvik_sim("", {"init", root_}).code, 0);
  // Without arguments: the compile time only, and no log.
  CliResult r = tarvik(root_, {});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out, StartsWith("compile time is "));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/c/ProgramData/kovenu/tarvik/log"));

  r = tarvik(root_, {"config", "x", "passwd", "user", "cGFzcw=="});
  EXPECT_EQ(r.out, "0:success");
  r = tarvik(root_, {"Config"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");

  std::string text = log();
  std::regex line(R"(\[pid=\d+,iso=0\]\[\d{4}/\d\d/\d\d/\d\d:\d\d:\d\d\] [^\r\n]*)");
  size_t pos = 0, lines = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(pos, end - pos), line)) << text.substr(pos, end - pos);
    pos = end + 2;
    ++lines;
  }
  EXPECT_EQ(lines, 4u);  // start, not built, exit report; then "Config": its start line only
  EXPECT_THAT(text, HasSubstr("] tarvik.exe start cmd: config windows_xxx passwd <user_name> "
                              "******\r\n"));
  EXPECT_THAT(text, HasSubstr("] tarvik.exe start cmd: Config \r\n"));
  EXPECT_EQ(slurp(root_ + "/sim/COM1"), text);  // ASCII: the same bytes in UTF-8
}

TEST_F(CliTest, TheServiceStartsTheAgentAgainOnTheDesktop) {
  ASSERT_EQ(tarvik_sim("", {"init", root_}).code, 0);
  CliResult r = tarvik(root_, {"service"});
  EXPECT_EQ(r.code, 0);
  // The relaunched work may already be starting tools of its own.
  std::vector<Call> calls = read_calls(root_);
  auto relaunch = std::find_if(calls.begin(), calls.end(), [](const Call& c) {
    return c.cmdline == "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe tarvik";
  });
  ASSERT_NE(relaunch, calls.end());
  EXPECT_EQ(relaunch->how, "relaunch");
  // The new process does the first-boot work on the same guest; its last step logs the
  // driver versions.
  for (int i = 0; i < 200 && log().find("version of vioser.sys") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_THAT(log(), HasSubstr("] tarvik.exe start cmd: tarvik \r\n"));
  EXPECT_THAT(log(), HasSubstr("-->tarvik2::dowork()"));
}

TEST_F(CliTest, RegQueryOfTheInstallationPrintsAsRegExe) {
  ASSERT_EQ(tarvik_sim("", {"init", root_}).code, 0);
  CliResult r =
      tarvik_sim(root_, {"reg", "query", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                         "/v", "ProductName"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\n"
            "    ProductName    REG_SZ    Windows Server 2019 Datacenter\n\n");
}

}  // namespace
}  // namespace tarvik::test
