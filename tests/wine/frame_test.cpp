// The agent's own frame on the Win32 backend under Wine: the command runner with a fake
// tool beside the test program, and the release ladder read from the registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "frame/utils.h"
#include "platform/win32/platform.h"

namespace tarvik {
namespace {

constexpr char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

class WineFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install_platform(win32::make_platform());
    utils::reset();
  }
  void TearDown() override {
    utils::reset();
    install_platform(nullptr);
  }
};

TEST_F(WineFrameTest, RunCmdGivesTheToolsCodeAndOutputOrTheStartError) {
  // faketool.exe lies in the test program's folder, which the system searches first.
  putenv(const_cast<char*>("FAKETOOL_FAKETOOL_EXIT=3"));
  putenv(const_cast<char*>("FAKETOOL_FAKETOOL_OUTPUT=Access is denied.\\r\\n"));
  std::string out;
  EXPECT_EQ(utils::run_cmd("faketool /x", out), 3);
  EXPECT_EQ(out, "Access is denied.\r\n");

  out = "untouched";
  EXPECT_EQ(utils::run_cmd("no_such_tool_anywhere.exe /x", out), 2);
  EXPECT_EQ(out, "untouched");
  putenv(const_cast<char*>("FAKETOOL_FAKETOOL_EXIT="));
  putenv(const_cast<char*>("FAKETOOL_FAKETOOL_OUTPUT="));
}

TEST_F(WineFrameTest, OsinfoLadderOnTheRegistry) {
  RegKey key;
  ASSERT_EQ(
      platform().registry().open(kCurrentVersion, reg::kKeyAllAccess | reg::kWow64_64Key, key), 0u);
  std::string saved_name;
  key.query_text("ProductName", saved_name);
  const struct {
    const char* product;
    const char* release;
    const char* tag;
  } cases[] = {{"Windows Server 2008 R2 Enterprise", nullptr, "win7"},
               {"Windows Server 2012 R2 Datacenter", nullptr, "2012"},
               {"Windows Server 2019 Datacenter", "1809", "2016"},
               {"Windows Vista Business", nullptr, "unchanged"}};
  for (const auto& c : cases) {
    key.set_text("ProductName", c.product);
    if (c.release)
      key.set_text("ReleaseId", c.release);
    else
      key.delete_value("ReleaseId");
    std::string tag = "unchanged", arch;
    EXPECT_TRUE(utils::osinfo(tag, arch)) << c.product;
    EXPECT_EQ(tag, c.tag) << c.product;
    EXPECT_EQ(arch, sizeof(void*) == 8 ? "amd64" : "x86");  // the build's own bitness
  }
  key.set_text("ProductName", saved_name);
  key.delete_value("ReleaseId");
}

}  // namespace
}  // namespace tarvik
