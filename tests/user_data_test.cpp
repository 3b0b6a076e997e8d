// User-data scripts on a simulated guest: the headers, the stored script and its output
// file, the commands started, and a script that outlives the agent's wait.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cloudinit/cloud_init.h"
#include "support/agent_test.h"
#include "support/cli.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kFolder = "/c/ProgramData/kovenu/tarvik/userdata";

class UserDataTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    write(root_ + "/sim/tools.ini",
          "[rule.powershell]\nmatch=powershell*\nexit=0\noutput=Set\\r\\n\n");
    reload();
  }
  int user_data(std::string data) { return cloud_init::instance().user_data(data); }
  std::string stored(const char* name) { return read(root_ + kFolder + "/" + name); }
  bool has(const char* name) { return std::filesystem::exists(root_ + kFolder + "/" + name); }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.how + " " + c.cmdline);
    return out;
  }
};

TEST_F(UserDataTest, BracketedHeadersAreBlankedInAnyCaseTheOthersKept) {
  EXPECT_EQ(user_data("[PowerShell]\r\nWrite-Output hi\r\n"), 0);
  EXPECT_EQ(stored("script.ps1"), std::string(12, ' ') + "\r\nWrite-Output hi\r\n");
  EXPECT_EQ(user_data("#POWERshell\r\nWrite-Output hi\r\n"), 0);
  EXPECT_EQ(stored("script.ps1"), "#POWERshell\r\nWrite-Output hi\r\n");
  EXPECT_THAT(
      cmdlines(),
      ElementsAre("run powershell.exe Set-ExecutionPolicy RemoteSigned",
                  "detached powershell \"C:\\ProgramData\\kovenu\\tarvik\\userdata\\script.ps1\"",
                  "run powershell.exe Set-ExecutionPolicy RemoteSigned",
                  "detached powershell \"C:\\ProgramData\\kovenu\\tarvik\\userdata\\script.ps1\""));
  EXPECT_THAT(log_messages(), Contains("Set-ExecutionPolicy result: Set"));
  EXPECT_FALSE(has("script.bat"));

  write(root_ + "/sim/calls.jsonl", "");
  EXPECT_EQ(user_data("[bAt]\r\nexit 0\r\n"), 0);
  EXPECT_EQ(stored("script.bat"), "     \r\nexit 0\r\n");
  EXPECT_EQ(user_data("::BAT\nexit 0\n"), 0);
  EXPECT_EQ(stored("script.bat"), "::BAT\nexit 0\n");
  // Batch scripts run as themselves, without the execution policy.
  EXPECT_THAT(cmdlines(),
              ElementsAre("detached C:\\ProgramData\\kovenu\\tarvik\\userdata\\script.bat",
                          "detached C:\\ProgramData\\kovenu\\tarvik\\userdata\\script.bat"));
  EXPECT_TRUE(has("script.bat.log"));
}

TEST_F(UserDataTest, DataWithoutAKnownHeaderWritesNothing) {
  for (const char* data : {"#!/bin/sh\nrm -rf /\n", "[powershel", "powershell", " [bat]", ":bat"}) {
    EXPECT_EQ(user_data(data), -1) << data;
  }
  EXPECT_FALSE(has("script.ps1"));
  EXPECT_FALSE(has("script.bat"));
  EXPECT_FALSE(has("script.bat.log"));
  EXPECT_THAT(read_calls(root_), IsEmpty());
  EXPECT_THAT(log_messages(), Contains("user_data not invalid"));
}

TEST_F(UserDataTest, ASecondRunOverwritesTheScriptAndStartsItsOutputAfresh) {
  EXPECT_EQ(user_data("::bat\necho first run; echo more of the first run\n"), 0);
  EXPECT_THAT(stored("script.bat.log"), HasSubstr("first run"));
  EXPECT_EQ(user_data("::bat\necho second\n"), 0);
  EXPECT_EQ(stored("script.bat"), "::bat\necho second\n");
  EXPECT_THAT(stored("script.bat.log"), HasSubstr("second"));
  EXPECT_THAT(stored("script.bat.log"), Not(HasSubstr("first")));
}

TEST_F(UserDataTest, AScriptStillRunningAfterFiveSecondsGoesOnAlone) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(user_data("::bat\necho begun; sleep 7; echo ended\n"), 0);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(6900));
  EXPECT_THAT(log_messages(), Contains("<--doUserData ok"));
  EXPECT_THAT(stored("script.bat.log"), HasSubstr("begun"));
  EXPECT_THAT(stored("script.bat.log"), Not(HasSubstr("ended")));
  for (int i = 0; i < 100 && stored("script.bat.log").find("ended") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_THAT(stored("script.bat.log"), HasSubstr("ended"));
}

TEST_F(UserDataTest, AScriptThatCannotStartIsReported) {
  write(root_ + "/sim/tools.ini", "");
  reload();
  EXPECT_EQ(user_data("[powershell]\r\nWrite-Output hi\r\n"), -1);
  EXPECT_THAT(log_messages(), Contains("cloudinit create process fail"));
  EXPECT_THAT(log_messages(), Not(Contains("<--doUserData ok")));
}

}  // namespace
}  // namespace tarvik::test
