// Staging the medium's product folder into an offline installation, the assistant's
// version check, the Pavox update files and the installation of the agent as the image's
// first-boot service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "firstboot/install_into_image.h"
#include "frame/utils.h"
#include "image/guest.h"
#include "platform/sim/version_stamp.h"
#include "support/agent_test.h"
#include "support/cli.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(CompareVersionTest, DigitRunsCompareByValue) {
  EXPECT_GT(compare_version("2.0.0.100", "2.0.0.99"), 0);
  EXPECT_LT(compare_version("2.0.0.99", "2.0.0.100"), 0);
  EXPECT_EQ(compare_version("2.0.0.100", "2.0.0.100"), 0);
  EXPECT_EQ(compare_version("1.007", "1.7"), 0);  // leading zeros do not count
  EXPECT_LT(compare_version("1.0", "1.00001"), 0);
}

TEST(CompareVersionTest, DigitRunsTooLongForAnIntegerStillCompareByValue) {
  const std::string big = "123456789012345678901234567890";  // 30 digits
  EXPECT_EQ(compare_version("1." + big, "1." + big), 0);
  EXPECT_GT(compare_version("1." + big, "1.4294967296"), 0);
  EXPECT_LT(compare_version("1.4294967296", "1." + big), 0);
  EXPECT_GT(compare_version("1.123456789012345678901234567891", "1." + big), 0);
  EXPECT_EQ(compare_version("1.000000000000000000000000000000000007", "1.7"), 0);
  EXPECT_GT(compare_version(big, "99999999999999999999999999999"), 0);  // 29 nines
}

TEST(CompareVersionTest, ExtraTokensAndClasses) {
  EXPECT_LT(compare_version("1.2", "1.2.1"), 0);    // the extra token is a dot: newer
  EXPECT_GT(compare_version("1.2", "1.2beta"), 0);  // the extra token is other: older
  EXPECT_LT(compare_version("1.2beta", "1.2"), 0);
  EXPECT_LT(compare_version("1.a", "1.2"), 0);  // other < digit
  EXPECT_LT(compare_version("1..", "1.2"), 0);  // dot < digit
  EXPECT_LT(compare_version("1.2alpha", "1.2beta"), 0);
  // A run of other characters is compared whole, past a NUL inside it.
  EXPECT_LT(compare_version(std::string("1.a\0b", 5), std::string("1.a\0c", 5)), 0);
  EXPECT_LT(compare_version(std::string("1.a", 3), std::string("1.a\0", 4)), 0);
  EXPECT_LT(compare_version("", "1.0"), 0);  // no version is older
  EXPECT_GT(compare_version("1.0", ""), 0);
  EXPECT_EQ(compare_version("", ""), 0);
  EXPECT_GT(compare_version("", "beta"), 0);
}

TEST(CompareVersionTest, SplitsIntoDigitDotAndOtherRuns) {
  EXPECT_THAT(split_version("10.2..rc-1"), ElementsAre("10", ".", "2", ".", ".", "rc-", "1"));
  EXPECT_THAT(split_version(""), IsEmpty());
}

// A medium on C: (the agent in C:\kovenu\tarvik) and an offline installation on D:, outside
// ISO mode so that a report does not end the test's process.
class StagingTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    set_machine_ini(std::string(kDefaultMachineIni) +
                    "[system]\nprogram=C:\\kovenu\\tarvik\\tarvik.exe\n");
    write_hive("C:\\Windows\\System32\\config\\SYSTEM", "[Select]\r\n\"Current\"=dword:1\r\n");
    for (const char* d : {"d/Windows/System32/config", "d/Windows/System32/drivers",
                          "d/Program Files", "d/Program Files (x86)"})
      mkdirs(root_ + "/" + d);
    write(root_ + "/c/kovenu/tarvik/tarvik.exe", "new agent");
    medium_assist("2.0.0.99");
  }

  void medium_assist(const std::string& version, const std::string& folder = "assist") {
    write(root_ + "/c/kovenu/" + folder + "/config.ini", "[assist]\r\nversion=" + version + "\r\n");
  }
  void image_assist(const std::string& version) {
    write(root_ + "/d/ProgramData/kovenu/assist/config.ini",
          "[assist]\r\nversion=" + version + "\r\n");
  }
  void software(const std::string& buildlab) {
    write_hive("D:\\Windows\\System32\\config\\SOFTWARE",
               "[Microsoft\\Windows NT\\CurrentVersion]\r\n\"ProductName\"=\"Windows Server 2016 "
               "Datacenter\"\r\n\"BuildLabEx\"=\"" +
                   buildlab + "\"\r\n");
  }
  std::string image(const std::string& rel) { return root_ + "/d/ProgramData/kovenu/" + rel; }
  static void read_only(const std::string& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }
  static bool writable(const std::string& path) {
    return (fs::status(path).permissions() & fs::perms::owner_write) != fs::perms::none;
  }
};

TEST_F(StagingTest, TheProductFolderIsStagedWithoutDotFoldersOverReadOnlyFiles) {
  write(root_ + "/c/kovenu/readme.txt", "new readme");
  write(root_ + "/c/kovenu/.git/HEAD", "ref");
  write(root_ + "/c/kovenu/tarvik/pavoxfix/up_cmd.txt", "up");
  write(image("readme.txt"), "old readme");
  read_only(image("readme.txt"));
  write(image("tarvik/old.dll"), "kept");

  guest::copy_files();
  EXPECT_EQ(stdout_, "");
  EXPECT_EQ(read(image("readme.txt")), "new readme");
  EXPECT_EQ(read(image("tarvik/tarvik.exe")), "new agent");
  EXPECT_EQ(read(image("tarvik/pavoxfix/up_cmd.txt")), "up");
  EXPECT_EQ(read(image("tarvik/old.dll")), "kept");  // files of the same name only
  EXPECT_FALSE(fs::exists(image(".git")));
  EXPECT_EQ(read(image("assist/config.ini")), "[assist]\r\nversion=2.0.0.99\r\n");
  uint32_t attributes = 0;
  ASSERT_EQ(p().files().get_attributes("D:\\ProgramData", attributes), win::kSuccess);
  EXPECT_TRUE(attributes & attr::kHidden);
}

TEST_F(StagingTest, ATargetWithoutProgramDataIsStagedWhole) {
  write(root_ + "/c/kovenu/readme.txt", "top");
  ASSERT_FALSE(fs::exists(root_ + "/d/ProgramData"));
  guest::copy_files();
  EXPECT_EQ(stdout_, "");
  EXPECT_EQ(read(image("readme.txt")), "top");
  EXPECT_EQ(read(image("tarvik/tarvik.exe")), "new agent");
  EXPECT_TRUE(fs::exists(image("assist/config.ini")));
}

TEST_F(StagingTest, TheAssistantIsSkippedOnlyWhenTheImageHasTheSameOrANewerOne) {
  write(root_ + "/c/kovenu/assist/2.0.0.99/install.bat", "new installer");
  image_assist("2.0.0.100");
  EXPECT_FALSE(guest::need_update_assist());
  guest::copy_files();
  EXPECT_FALSE(fs::exists(image("assist/2.0.0.99")));
  EXPECT_EQ(read(image("assist/config.ini")), "[assist]\r\nversion=2.0.0.100\r\n");

  image_assist("2.0.0.99");
  EXPECT_FALSE(guest::need_update_assist());  // equal: skipped

  image_assist("2.0.0.9");
  EXPECT_TRUE(guest::need_update_assist());
  guest::copy_files();
  EXPECT_EQ(read(image("assist/2.0.0.99/install.bat")), "new installer");

  write(image("assist/config.ini"), "[assist]\r\nname=x\r\n");  // no version key
  EXPECT_TRUE(guest::need_update_assist());
  fs::remove(image("assist/config.ini"));
  EXPECT_TRUE(guest::need_update_assist());
}

TEST_F(StagingTest, OnlyAFolderNamedExactlyAssistIsSkipped) {
  fs::remove_all(root_ + "/c/kovenu/assist");
  medium_assist("1.0", "Assist");
  image_assist("9.0");
  guest::copy_files();
  // The image's "assist" and the medium's "Assist" are one folder on Windows: the medium's
  // config.ini came over.
  EXPECT_EQ(read(image("assist/config.ini")), "[assist]\r\nversion=1.0\r\n");
}

TEST_F(StagingTest, AMissingProductFolderOrAFileThatCannotBeCopiedFails) {
  EXPECT_FALSE(guest::stage_tree("C:\\nowhere", "D:\\ProgramData\\kovenu"));

  // A destination that is a folder where the medium has a file.
  write(root_ + "/c/kovenu/readme.txt", "top");
  mkdirs(image("readme.txt"));
  ::testing::internal::CaptureStdout();
  guest::copy_files();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_THAT(out, HasSubstr(":CopyFile C:\\kovenu\\readme.txt fail"));
  EXPECT_THAT(out, HasSubstr("-1:copy folder fail"));
}

TEST_F(StagingTest, ReadOnlyVirtioFilesAreMadeWritable) {
  for (const char* name : {"viostor.sys", "netkvm.sys", "other.sys"}) {
    write(root_ + "/d/Windows/System32/drivers/" + name, "driver");
    read_only(root_ + "/d/Windows/System32/drivers/" + name);
  }
  guest::remove_readonly_attrib();
  EXPECT_TRUE(writable(root_ + "/d/Windows/System32/drivers/viostor.sys"));
  EXPECT_TRUE(writable(root_ + "/d/Windows/System32/drivers/netkvm.sys"));
  EXPECT_FALSE(writable(root_ + "/d/Windows/System32/drivers/other.sys"));
}

class PavoxTest : public StagingTest {
 protected:
  void SetUp() override {
    StagingTest::SetUp();
    write(image("tarvik/pavoxfix/up_cmd.txt"), "new cmd");
    write(image("tarvik/pavoxfix/SentirvaxUpdate.exe"), "new update");
  }
  std::string installed(const std::string& program_files, const std::string& file) {
    return root_ + "/d/" + program_files + "/Dorvask/Pavox/pavox_update/" + file;
  }
};

TEST_F(PavoxTest, A64BitImageGetsTheFilesUnderProgramFilesX86) {
  software("14393.0.amd64fre.rs1_release.160715-1616");
  write(installed("Program Files (x86)", "up_cmd.txt"), "old cmd");
  write(installed("Program Files (x86)", "SentirvaxUpdate.exe"), "old update");
  mkdirs(root_ + "/d/Program Files/Dorvask/Pavox/pavox_update");
  // A staged file that is read-only makes a read-only copy: its attribute is cleared.
  read_only(image("tarvik/pavoxfix/up_cmd.txt"));

  EXPECT_EQ(guest::fix_pavox(), 0);
  EXPECT_EQ(read(installed("Program Files (x86)", "up_cmd.txt")), "new cmd");
  EXPECT_EQ(read(installed("Program Files (x86)", "SentirvaxUpdate.exe")), "new update");
  EXPECT_TRUE(writable(installed("Program Files (x86)", "up_cmd.txt")));
  EXPECT_FALSE(fs::exists(installed("Program Files", "up_cmd.txt")));
  EXPECT_THAT(log_messages(),
              Contains("CopyFile SentirvaxUpdate success and clear readonly flag code: 0."));

  // An installed file that is read-only itself is not replaced (the attribute is cleared
  // after a copy only): the failure is logged and the other file still goes over.
  write(installed("Program Files (x86)", "up_cmd.txt"), "old cmd");
  read_only(installed("Program Files (x86)", "up_cmd.txt"));
  EXPECT_EQ(guest::fix_pavox(), 0);
  EXPECT_EQ(read(installed("Program Files (x86)", "up_cmd.txt")), "old cmd");
  EXPECT_THAT(log_messages(), Contains("CopyFile up_cmd to d:\\Program Files (x86)\\Dorvask\\"
                                       "Pavox\\pavox_update\\up_cmd.txt fail with result 5"));
}

TEST_F(PavoxTest, A32BitImageGetsThemUnderProgramFilesAndNoFolderIsMade) {
  software("14393.0.x86fre.rs1_release.160715-1616");
  mkdirs(root_ + "/d/Program Files/Dorvask/Pavox/pavox_update");
  EXPECT_EQ(guest::fix_pavox(), 0);
  EXPECT_EQ(read(installed("Program Files", "up_cmd.txt")), "new cmd");

  // Pavox not installed: both copies fail, are logged, and the result is still 0.
  fs::remove_all(root_ + "/d/Program Files/Dorvask");
  EXPECT_EQ(guest::fix_pavox(), 0);
  EXPECT_FALSE(fs::exists(root_ + "/d/Program Files/Dorvask"));
  EXPECT_THAT(log_messages(),
              Contains("CopyFile up_cmd to d:\\Program Files\\Dorvask\\Pavox\\pavox_update\\"
                       "up_cmd.txt fail with result 3"));
  EXPECT_THAT(log_messages(),
              Contains("CopyFile SentirvaxUpdate fail to d:\\Program Files\\Dorvask\\Pavox\\"
                       "pavox_update\\SentirvaxUpdate.exe with result 3"));
}

TEST_F(PavoxTest, AMissingSourceStopsWithAWarning) {
  software("14393.0.amd64fre");
  mkdirs(root_ + "/d/Program Files (x86)/Dorvask/Pavox/pavox_update");
  fs::remove(image("tarvik/pavoxfix/SentirvaxUpdate.exe"));
  EXPECT_EQ(guest::fix_pavox(), -1);
  EXPECT_EQ(log_messages().back(), "Warning: SentirvaxUpdate not found.");
  EXPECT_EQ(read(installed("Program Files (x86)", "up_cmd.txt")), "new cmd");  // already copied

  fs::remove(image("tarvik/pavoxfix/up_cmd.txt"));
  EXPECT_EQ(guest::fix_pavox(), -1);
  EXPECT_EQ(log_messages().back(), "Warning: up_cmd not found.");
}

// The installation into the image, in-process: outside ISO mode a report does not end the
// process, so what follows a failure can be seen too.
class InstallTest : public StagingTest {
 protected:
  void SetUp() override {
    StagingTest::SetUp();
    software("17763.1.amd64fre");
  }
  void target_system(const std::string& body) {
    write_hive("D:\\Windows\\System32\\config\\SYSTEM", body);
  }
  RegKey offline(const std::string& path) {
    RegKey key;
    EXPECT_EQ(p().registry().load_hive("_CHECK", "D:\\Windows\\System32\\config\\SYSTEM"),
              win::kSuccess);
    p().registry().open("_CHECK\\" + path, reg::kKeyRead, key);
    return key;
  }
  void done_checking() { p().registry().unload_hive("_CHECK"); }
  uint32_t marker() {
    RegKey system;
    uint32_t value = 0;
    if (p().registry().open("SYSTEM", reg::kKeyRead, system) == win::kSuccess)
      system.query_dword("tarvik.inst", value);
    return value;
  }
  bool install() {
    ::testing::internal::CaptureStdout();
    bool ok = install_into_image();
    stdout_ = ::testing::internal::GetCapturedStdout();
    return ok;
  }
};

TEST_F(InstallTest, TheServiceIsRegisteredAndOldAgentsGoWhateverTheirPlace) {
  target_system(
      "[Select]\r\n\"Current\"=dword:00000002\r\n\r\n"
      "[ControlSet002\\Services\\AKovenuServiceA]\r\n\"Start\"=dword:2\r\n\r\n"
      "[ControlSet002\\Services\\kovenuservice2]\r\n\r\n"
      "[ControlSet002\\Services\\kovenuservice2\\Parameters]\r\n\"x\"=dword:1\r\n\r\n"
      "[ControlSet002\\Services\\RIDIVUDEROR]\r\n\r\n"
      "[ControlSet002\\Services\\Tcpip]\r\n\r\n");
  EXPECT_TRUE(install());
  EXPECT_EQ(stdout_, "");
  EXPECT_EQ(marker(), 1u);

  RegKey services = offline("ControlSet002\\Services");
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; services.enum_subkey(i, name) == win::kSuccess; ++i) names.push_back(name);
  EXPECT_THAT(names, ElementsAre("tarvik", "Tcpip"));
  RegKey service;
  ASSERT_EQ(services.open("tarvik", reg::kKeyRead, service), win::kSuccess);
  RegValue v;
  service.query("DisplayName", v);
  EXPECT_EQ(v.data, std::string("tarvik service\0", 15));
  service.query("ObjectName", v);
  EXPECT_EQ(v.data, std::string("LocalSystem\0", 12));
  std::string image_path;
  service.query_text("ImagePath", image_path);
  EXPECT_EQ(image_path, "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service");
  uint32_t start = 0, type = 0, error_control = 0;
  service.query_dword("start", start);
  service.query_dword("type", type);
  service.query_dword("ErrorControl", error_control);
  EXPECT_EQ(start, 2u);
  EXPECT_EQ(type, 16u);
  EXPECT_EQ(error_control, 1u);
  service.close();
  services.close();
  done_checking();

  // The hive is unloaded, the folder staged, and the virtio version logged.
  EXPECT_EQ(p().registry().unload_hive("_SYSTEM"), win::kInvalidParameter);
  EXPECT_EQ(read(image("tarvik/tarvik.exe")), "new agent");
  EXPECT_THAT(log_messages(), Contains("version of virtio is 0.0.0.0"));
}

TEST_F(InstallTest, TheMarkerMakesALaterRunTouchNothing) {
  target_system("[Select]\r\n\"Current\"=dword:00000001\r\n\r\n[ControlSet001\\Services]\r\n");
  write(root_ + "/d/Windows/System32/drivers/viostor.sys", "x");
  ASSERT_TRUE(install());
  std::string hive = read(root_ + "/d/Windows/System32/config/SYSTEM");
  size_t lines = log_messages().size();
  write(root_ + "/c/kovenu/tarvik/tarvik.exe", "newer agent");
  read_only(root_ + "/d/Windows/System32/drivers/viostor.sys");

  EXPECT_TRUE(install());
  EXPECT_EQ(log_messages().size(), lines);
  EXPECT_EQ(read(image("tarvik/tarvik.exe")), "new agent");
  EXPECT_EQ(read(root_ + "/d/Windows/System32/config/SYSTEM"), hive);
  EXPECT_FALSE(writable(root_ + "/d/Windows/System32/drivers/viostor.sys"));
}

TEST_F(InstallTest, WithoutACurrentControlSetNoServiceAndNoMarker) {
  target_system("[ControlSet001\\Services\\KovenuService]\r\n");
  EXPECT_FALSE(install());
  EXPECT_THAT(stdout_, HasSubstr("-1:create tarvik open ctl fail"));
  EXPECT_THAT(log_messages(),
              Contains("TARVIK_REPORT_ERROR:registry_access_error open_curent_ctlset err:2"));
  EXPECT_EQ(marker(), 0u);
  // Outside ISO mode the run goes on: the hive is still unloaded at its end.
  EXPECT_EQ(p().registry().unload_hive("_SYSTEM"), win::kInvalidParameter);
}

TEST_F(InstallTest, ATargetOnAnotherLetterStillStartsFromC) {
  fs::rename(root_ + "/d", root_ + "/e");
  write_hive("E:\\Windows\\System32\\config\\SYSTEM",
             "[Select]\r\n\"Current\"=dword:00000001\r\n\r\n[ControlSet001\\Services]\r\n");
  mkdirs(root_ + "/e/Windows/System32/drivers");
  sim::write_version_stamp(root_ + "/e/Windows/System32/drivers/viostor.sys", {100, 85, 104, 208});
  EXPECT_TRUE(install());
  RegKey key;
  ASSERT_EQ(p().registry().load_hive("_CHECK", "E:\\Windows\\System32\\config\\SYSTEM"), 0u);
  ASSERT_EQ(p().registry().open("_CHECK\\ControlSet001\\Services\\tarvik", reg::kKeyRead, key), 0u);
  std::string image_path;
  key.query_text("ImagePath", image_path);
  EXPECT_EQ(image_path, "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service");
  key.close();
  done_checking();
  EXPECT_TRUE(fs::exists(root_ + "/e/ProgramData/kovenu/tarvik/tarvik.exe"));
  std::vector<std::string> cmdlines;
  for (const Call& c : read_calls(root_)) cmdlines.push_back(c.cmdline);
  EXPECT_THAT(cmdlines, ElementsAre("diskpart", "rd /q /s e:\\ProgramData\\kovenu\\"));
  EXPECT_THAT(log_messages(), Contains("version of virtio is 100.85.104.208"));
}

}  // namespace
}  // namespace tarvik::test
