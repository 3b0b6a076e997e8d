// The command runner against the simulated guest's tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "frame/utils.h"
#include "support/agent_test.h"

namespace tarvik::test {
namespace {

using ::testing::HasSubstr;

class RunCmdTest : public AgentTest {
 protected:
  // A program in the guest's System32 that the runner finds by the search order.
  void script(const std::string& name, const std::string& body) {
    std::string path = root_ + "/c/Windows/System32/" + name;
    write(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }
};

TEST_F(RunCmdTest, ExitCodeAndBothStreamsAreCaptured) {
  write(root_ + "/sim/tools.ini",
        "[rule.1]\nmatch=netsh interface ip add address *\nexit=1\n"
        "output=The object already exists.\\r\\n\n");
  std::string out;
  EXPECT_EQ(utils::run_cmd("netsh interface ip add address \"Ethernet\" 10.0.0.9", out), 1);
  EXPECT_EQ(out, "The object already exists.\r\n");

  script("warn.exe", "echo only on stderr >&2\nexit 7\n");
  EXPECT_EQ(utils::run_cmd("warn", out), 7);
  EXPECT_EQ(out, "only on stderr\n");
}

TEST_F(RunCmdTest, AMissingProgramGivesError2AndLeavesTheTextAlone) {
  std::string out = "untouched";
  EXPECT_EQ(utils::run_cmd("no_such_tool.exe /x", out), 2);
  EXPECT_EQ(out, "untouched");
}

TEST_F(RunCmdTest, AChildWritingAMegabyteDoesNotBlockAndTheFirst4096BytesAreKept) {
  script("chatty.exe", "head -c 1048576 /dev/zero | tr '\\000' a\necho done >&2\nexit 3\n");
  std::string out;
  EXPECT_EQ(utils::run_cmd("chatty.exe", out), 3);
  EXPECT_EQ(out, std::string(4096, 'a'));
}

TEST_F(RunCmdTest, AChildWaitingForInputSeesItsEndAtOnce) {
  script("reader.exe", "cat\necho read-all\n");
  std::string out;
  EXPECT_EQ(utils::run_cmd("reader.exe", out), 0);
  EXPECT_EQ(out, "read-all\n");
}

}  // namespace
}  // namespace tarvik::test
