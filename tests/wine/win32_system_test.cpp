// What the Win32 backend does beyond the port contract, seen under Wine: the crash
// handler, privileges, named events, drives and text conversions.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/win32/platform.h"

namespace tarvik {
namespace {

// The child side of the crash test: reports whether the filter could be replaced before
// and after the handler went in, then faults.
int crash_child() {
  auto p = win32::make_platform();
  std::printf("before=%d\n", p->system().replace_crash_handler() ? 1 : 0);
  p->system().install_crash_handler();
  std::printf("after=%d\n", p->system().replace_crash_handler() ? 1 : 0);
  std::fflush(stdout);
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return 0;
}

class Win32SystemTest : public ::testing::Test {
 protected:
  void SetUp() override { platform_ = win32::make_platform(); }
  System& sys() { return platform_->system(); }
  std::unique_ptr<Platform> platform_;
};

TEST_F(Win32SystemTest, CrashHandlerKeepsItsFilterAndWritesADump) {
  const std::string dump = sys().program_path() + ".dmp";
  Files& f = platform_->files();
  f.delete_file(dump);
  uint32_t code = 0;
  std::string out;
  ASSERT_EQ(platform_->processes().run(sys().program_path() + " --crash", 4096, code, out), 0u);
  EXPECT_EQ(code, 0xC0000005u);  // the fault's code: the filter let the process end
  EXPECT_NE(out.find("before=1"), std::string::npos) << out;
  EXPECT_NE(out.find("after=0"), std::string::npos) << out;
  std::string bytes;
  ASSERT_EQ(f.read_file(dump, bytes), 0u) << "no dump at " << dump;
  EXPECT_EQ(bytes.substr(0, 4), "MDMP");
  f.delete_file(dump);
}

TEST_F(Win32SystemTest, PrivilegesAndNamedEvents) {
  EXPECT_EQ(sys().enable_privilege("SeBackupPrivilege"), 0u);
  EXPECT_EQ(sys().enable_privilege("SeNoSuchPrivilege"), win::kNoSuchPrivilege);
  const std::string name = "tarvik.test." + std::to_string(sys().process_id());
  EXPECT_EQ(sys().create_named_event(name), 0u);
  EXPECT_EQ(sys().create_named_event(name), win::kAlreadyExists);
}

TEST_F(Win32SystemTest, MachineIdentity) {
  EXPECT_EQ(sys().system_directory().substr(0, 3), "C:\\");
  bool has_c = false;
  for (const std::string& root : sys().logical_drives()) has_c |= root == "C:\\";
  EXPECT_TRUE(has_c);
  const std::string self = sys().program_path();
  EXPECT_EQ(self.substr(self.size() - 4), ".exe");
  std::string user;
  EXPECT_EQ(sys().user_name(user), 0u);
  EXPECT_FALSE(user.empty());
  EXPECT_GE(sys().cpuid(0).eax, 1u);
  uint64_t memory = 0;
  EXPECT_EQ(sys().total_memory(memory), 0u);
  EXPECT_GT(memory, 0u);
  Guid a, b;
  EXPECT_EQ(sys().new_guid(a), 0u);
  EXPECT_EQ(sys().new_guid(b), 0u);
  EXPECT_NE(std::memcmp(&a, &b, sizeof(a)), 0);
}

TEST_F(Win32SystemTest, TextConversions) {
  EXPECT_EQ(sys().to_wide("abc"), u"abc");
  EXPECT_EQ(sys().from_wide(u"abc"), "abc");
  EXPECT_EQ(sys().wide_to_utf8(u"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(sys().to_wide(""), u"");
}

}  // namespace
}  // namespace tarvik

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--crash") == 0) return tarvik::crash_child();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
