// The offline installation: which drive, which release, which control set.
#include "image/guest_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "frame/utils.h"
#include "support/agent_test.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class GuestInfoTest : public AgentTest {
 protected:
  // An installation on drive (lower case); complete: with "Program Files".
  void installation(char drive, bool complete = true) {
    std::string d = root_ + "/" + std::string(1, drive);
    mkdirs(d + "/Windows/System32/config");
    if (complete) mkdirs(d + "/Program Files");
  }
  void software(char drive, const std::string& values) {
    write_hive(std::string(1, drive) + ":\\Windows\\System32\\config\\SOFTWARE",
               "[Microsoft\\Windows NT\\CurrentVersion]\r\n" + values);
  }
  GuestInfo& g() { return GuestInfo::instance(); }
};

TEST_F(GuestInfoTest, DriveSearchSkipsTheMediumAndIncompleteDrives) {
  mkdirs(root_ + "/c/Program Files");  // the medium's own drive looks like one too
  installation('d', false);
  installation('f');
  installation('g');
  EXPECT_EQ(g().system_disk(), 'f');
}

TEST_F(GuestInfoTest, ADriveZIsNeverTaken) {
  installation('z');
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(g().system_disk(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "-1:find_disk fail");
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:no_system_disk find_disk fail"));
  // A later request searches again.
  installation('e');
  EXPECT_EQ(g().system_disk(), 'e');
}

TEST_F(GuestInfoTest, ReleaseAndArchitectureOfTheOfflineInstallation) {
  installation('d');
  software('d',
           "\"ProductName\"=\"Windows Server 2008 R2 Enterprise\"\r\n"
           "\"BuildLabEx\"=\"7601.24544.amd64fre.win7sp1_ldr_escrow.200102-1707\"\r\n");
  std::string version, arch;
  g().get_version_arch(version, arch);
  EXPECT_EQ(version, "win7");
  EXPECT_EQ(arch, "amd64");
  // Kept: a second request does not mount the hive again.
  g().get_version(version);
  int reads = 0;
  for (const auto& m : log_messages()) reads += m == "-->GuestInfo::init_info";
  EXPECT_EQ(reads, 1);
  EXPECT_THAT(read(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SOFTWARE")));
}

TEST_F(GuestInfoTest, ArchitectureFallsBackOnTheSysWow64Folder) {
  installation('d');
  software('d', "\"ProductName\"=\"Windows Server 2016 Datacenter\"\r\n");
  std::string arch;
  g().get_arch(arch);
  EXPECT_EQ(arch, "x86");
  GuestInfo::reset();
  mkdirs(root_ + "/d/Windows/SysWOW64");
  g().get_arch(arch);
  EXPECT_EQ(arch, "amd64");
}

TEST_F(GuestInfoTest, ReleaseIdMakesAnUnnamedServer2016AndItsAbsenceIsNotSupported) {
  installation('d');
  software('d', "\"ProductName\"=\"Windows Server 2019 Datacenter\"\r\n\"ReleaseId\"=\"1809\"\r\n");
  std::string version;
  g().get_version(version);
  EXPECT_EQ(version, "2016");

  GuestInfo::reset();
  software('d', "\"ProductName\"=\"Windows Vista Business\"\r\n");
  ::testing::internal::CaptureStdout();
  g().get_version(version);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "-1:not suport Windows Vista Business");
  EXPECT_EQ(version, "");
  // The hive is not left mounted for the next process.
  EXPECT_EQ(platform().registry().unload_hive("_SOFTWARE"), win::kInvalidParameter);
}

TEST_F(GuestInfoTest, TheCurrentControlSetIsTheOneSelectNames) {
  installation('d');
  write_hive("D:\\Windows\\System32\\config\\SYSTEM",
             "[Select]\r\n\"Current\"=dword:00000002\r\n\r\n"
             "[ControlSet001\\Services]\r\n\r\n"
             "[ControlSet002\\Services\\marker]\r\n\"Which\"=\"two\"\r\n\r\n");
  ASSERT_EQ(g().load_system_hive(true), 0);
  RegKey cs = g().open_control_set();
  ASSERT_TRUE(cs.valid());
  std::string which;
  RegKey marker;
  ASSERT_EQ(cs.open("services\\MARKER", reg::kKeyRead, marker), 0u);
  EXPECT_EQ(marker.query_text("Which", which), 0u);
  EXPECT_EQ(which, "two");
  marker.close();
  cs.close();
  EXPECT_EQ(g().load_system_hive(false), 0);
}

TEST_F(GuestInfoTest, AControlSetThatIsMissingIsReported) {
  installation('d');
  write_hive("D:\\Windows\\System32\\config\\SYSTEM", "[Select]\r\n\"Current\"=dword:00000003\r\n");
  ASSERT_EQ(g().load_system_hive(true), 0);
  EXPECT_FALSE(g().open_control_set().valid());
  EXPECT_EQ(log_messages().back(),
            "TARVIK_REPORT_ERROR:registry_access_error RegOpenKey<_system\\ControlSet003> err:2");
  g().load_system_hive(false);
  // Unloading what is not loaded is reported.
  EXPECT_EQ(g().load_system_hive(false), -1);
  EXPECT_THAT(log_messages().back(),
              HasSubstr("TARVIK_REPORT_ERROR:registry_access_error RegUnLoadKey err:"));
}

TEST_F(GuestInfoTest, AMountAnEarlierProcessLeftIsUnloadedBeforeTheLoad) {
  installation('d');
  write_hive("D:\\Windows\\System32\\config\\SYSTEM", "[Select]\r\n\"Current\"=dword:1\r\n");
  software('d', "\"ProductName\"=\"Windows Server 2016 Datacenter\"\r\n");
  Registry& registry = platform().registry();
  ASSERT_EQ(registry.load_hive("_SYSTEM", "D:\\Windows\\System32\\config\\SYSTEM"), 0u);
  ASSERT_EQ(registry.load_hive("_SOFTWARE", "D:\\Windows\\System32\\config\\SOFTWARE"), 0u);
  EXPECT_EQ(g().load_system_hive(true), 0);
  std::string version;
  g().get_version(version);
  EXPECT_EQ(version, "2016");
  EXPECT_THAT(log_messages(), Contains("unloaded the leftover mount _SYSTEM"));
  EXPECT_THAT(log_messages(), Contains("unloaded the leftover mount _SOFTWARE"));
  EXPECT_EQ(g().load_system_hive(false), 0);
  // Nothing left over: no line.
  size_t lines = log_messages().size();
  EXPECT_EQ(g().load_system_hive(true), 0);
  EXPECT_EQ(log_messages().size(), lines);

  // A mount that cannot be unloaded (a key below it is open): its error is logged and the
  // load that follows fails as before.
  RegKey held;
  ASSERT_EQ(registry.open("_SYSTEM\\Select", reg::kKeyRead, held), 0u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(g().load_system_hive(true), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "5:RegLoadKey err:5");
  EXPECT_THAT(log_messages(), Contains("unloading the leftover mount _SYSTEM failed, err:5"));
  held.close();
  EXPECT_EQ(g().load_system_hive(false), 0);
}

}  // namespace
}  // namespace tarvik::test
