// A medium made by tarvik-sim init --iso: the first command of a boot of the medium installs
// the agent into the offline installation on D:, as the platform runs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/cli.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class InstallCliTest : public TempGuestTest {
 protected:
  void SetUp() override {
    TempGuestTest::SetUp();
    init_guest(true);
  }
  std::string offline(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"reg", "--hive", "D:\\Windows\\System32\\config\\SYSTEM"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik_sim(root_, words).out;
  }
  std::string marker() {
    return tarvik_sim(root_, {"reg", "query", "HKLM\\SYSTEM", "/v", "tarvik.inst"}).out;
  }
  // A new boot of the medium: its registry no longer says the agent was installed.
  void boot_medium_again() {
    CliResult r = tarvik_sim(root_, {"reg", "delete", "HKLM\\SYSTEM", "/v", "tarvik.inst", "/f"});
    ASSERT_EQ(r.code, 0) << r.err;
  }
  void set_current_control_set(int n) {
    std::string file = root_ + "/d/Windows/System32/config/SYSTEM";
    std::string hive = slurp(file);
    hive = std::regex_replace(hive, std::regex("\"Current\"=dword:[0-9a-f]{8}"),
                              "\"Current\"=dword:0000000" + std::to_string(n));
    put(file, hive);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> lines;
    for (const Call& c : read_calls(root_)) lines.push_back(c.cmdline);
    return lines;
  }
  std::string image(const std::string& rel) { return root_ + "/d/ProgramData/kovenu/" + rel; }
  std::string ini() { return slurp(image("tarvik/tarvik.ini")); }
};

TEST_F(InstallCliTest, TheFirstCommandRegistersTheServiceAndStagesTheImage) {
  EXPECT_EQ(tarvik(root_, {"config", "x", "host", "a", "b"}).out, "0:success");

  std::string service = offline({"query", "ControlSet001\\Services\\tarvik"});
  EXPECT_THAT(service, HasSubstr("ImagePath    REG_SZ    "
                                 "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service\n"));
  EXPECT_THAT(service, HasSubstr("start    REG_DWORD    0x2\n"));
  EXPECT_THAT(service, HasSubstr("type    REG_DWORD    0x10\n"));
  std::string services = offline({"query", "ControlSet001\\Services"});
  EXPECT_THAT(services, Not(HasSubstr("KovenuService")));
  EXPECT_THAT(services, Not(HasSubstr("RidivudeRor")));
  EXPECT_THAT(services, HasSubstr("\\Tcpip"));
  // The marker is in the medium's own registry, not the target's.
  EXPECT_THAT(marker(), HasSubstr("tarvik.inst    REG_DWORD    0x1"));
  EXPECT_THAT(offline({"query", "", "/v", "tarvik.inst"}), Not(HasSubstr("tarvik.inst")));
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));

  // The image had an older assistant and a 64-bit Pavox installation.
  EXPECT_THAT(slurp(image("assist/config.ini")), HasSubstr("version=1.0.0.1"));
  EXPECT_TRUE(fs::exists(image("assist/1.0.0.1/install.bat")));
  EXPECT_EQ(slurp(root_ + "/d/Program Files (x86)/Dorvask/Pavox/pavox_update/up_cmd.txt"),
            slurp(root_ + "/x/kovenu/tarvik/pavoxfix/up_cmd.txt"));
  EXPECT_TRUE(fs::exists(image("tarvik/tarvik.exe")));
  EXPECT_TRUE(fs::exists(image("tarvik/kovenu.cer")));
  EXPECT_NE(fs::status(root_ + "/d/Windows/System32/drivers/viostor.sys").permissions() &
                fs::perms::owner_write,
            fs::perms::none);
  EXPECT_THAT(log('d'), HasSubstr("] version of virtio is 62.77.104.11200\r\n"));
  EXPECT_THAT(ini(), HasSubstr("config x host a b \r\n"));
  EXPECT_THAT(cmdlines(), ElementsAre("diskpart", "rd /q /s d:\\ProgramData\\kovenu\\"));
}

TEST_F(InstallCliTest, ALaterCommandOfTheSameBootTouchesNothingButItsOwnRecord) {
  ASSERT_EQ(tarvik(root_, {"config", "x", "ntp", "a"}).out, "0:success");
  std::string hive = slurp(root_ + "/d/Windows/System32/config/SYSTEM");
  put(root_ + "/x/kovenu/tarvik/tarvik.exe", "a newer agent");
  std::string staged = slurp(image("tarvik/tarvik.exe"));

  ASSERT_EQ(tarvik(root_, {"config", "x", "ntp", "b"}).out, "0:success");
  EXPECT_EQ(cmdlines().size(), 2u);  // the first command's diskpart and rd only
  EXPECT_EQ(slurp(root_ + "/d/Windows/System32/config/SYSTEM"), hive);
  EXPECT_EQ(slurp(image("tarvik/tarvik.exe")), staged);
  EXPECT_THAT(ini(), HasSubstr("config x ntp b \r\n"));
}

TEST_F(InstallCliTest, AFailureThatLeavesTheHiveLoadedDoesNotBlockTheNextCommand) {
  set_current_control_set(7);
  CliResult r = tarvik(root_, {"config", "x", "ntp", "a"});
  EXPECT_EQ(r.out, "-1:create tarvik open ctl fail");
  EXPECT_EQ(r.code, 0);
  // The report ended the process inside its mounted window: no marker, no record.
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), HasSubstr("_SYSTEM"));
  EXPECT_THAT(marker(), Not(HasSubstr("tarvik.inst")));
  EXPECT_FALSE(fs::exists(image("tarvik/tarvik.ini")));

  // The next command of the same boot loads the hive again.
  set_current_control_set(1);
  r = tarvik(root_, {"config", "x", "ntp", "a"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(log('d'), HasSubstr("] unloaded the leftover mount _SYSTEM\r\n"));
  EXPECT_THAT(offline({"query", "ControlSet001\\Services\\tarvik"}), HasSubstr("ImagePath"));
  EXPECT_THAT(marker(), HasSubstr("0x1"));
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));
}

TEST_F(InstallCliTest, AnImagePreparedTwiceKeepsWhatTheFirstPreparationLeft) {
  ASSERT_EQ(tarvik(root_, {"config", "x", "ntp", "a"}).out, "0:success");
  put(image("tarvik/old.dll"), "an older agent's file");
  put(image("assist/1.0.0.1/install.bat"), "the image's copy");
  put(root_ + "/x/kovenu/tarvik/tarvik.exe", "agent v2");

  boot_medium_again();
  ASSERT_EQ(tarvik(root_, {"config", "x", "ntp", "b"}).out, "0:success");
  // rd is no program of the medium: nothing was removed, the staging wrote over it.
  std::vector<Call> calls = read_calls(root_);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[3].cmdline, "rd /q /s d:\\ProgramData\\kovenu\\");
  EXPECT_EQ(calls[3].via, "missing");
  EXPECT_EQ(slurp(image("tarvik/old.dll")), "an older agent's file");
  EXPECT_EQ(slurp(image("tarvik/tarvik.exe")), "agent v2");
  // The image's assistant is the medium's version now: it is not staged again.
  EXPECT_EQ(slurp(image("assist/1.0.0.1/install.bat")), "the image's copy");
  // Both preparations' commands are recorded, in order, and first boot replays both: the
  // keys are new GUIDs, so the later command of an operation never replaces the earlier.
  std::string text = ini();
  EXPECT_TRUE(std::regex_search(text, std::regex("\\[config\\]\r\n[0-9A-F]{32}=\\S+ config x ntp "
                                                 "a \r\n[0-9A-F]{32}=\\S+ config x ntp b \r\n$")))
      << text;

  // A medium with a newer assistant stages it over the image's.
  put(root_ + "/x/kovenu/assist/config.ini", "[assist]\r\nversion=1.0.0.2\r\n");
  put(root_ + "/x/kovenu/assist/1.0.0.2/install.bat", "newer");
  boot_medium_again();
  ASSERT_EQ(tarvik(root_, {"config", "x", "ntp", "c"}).out, "0:success");
  EXPECT_THAT(slurp(image("assist/config.ini")), HasSubstr("version=1.0.0.2"));
  EXPECT_EQ(slurp(image("assist/1.0.0.2/install.bat")), "newer");
}

TEST_F(InstallCliTest, CommandsOfOperationsTheReplayDoesNotKnowAreNotArchived) {
  // A misspelt password command and one without an operation word are recorded like any
  // other; at first boot they fail as unknown operations.
  ASSERT_EQ(tarvik(root_, {"config", "windows", "pasword", "Administrator", "UzNjcmV0IQ=="}).out,
            "0:success");
  ASSERT_EQ(tarvik(root_, {"config", "windows", "", "Administrator", "UzNjcmV0Mg=="}).out,
            "0:success");
  ASSERT_EQ(tarvik(root_, {"config", "windows", "host", "a", "b"}).out, "0:success");
  std::smatch keys;
  std::string text = ini();
  ASSERT_TRUE(std::regex_search(text, keys,
                                std::regex("([0-9A-F]{32})=\\S+ config windows pasword .*\r\n"
                                           "([0-9A-F]{32})=\\S+ config windows  Administrator")))
      << text;
  const std::string misspelt = keys[1], empty = keys[2];

  CliResult r = tarvik_sim(root_, {"boot", "--from", "d"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string archive;
  for (const auto& e : fs::directory_iterator(root_ + "/c/ProgramData/kovenu/tarvik"))
    if (e.path().filename().string().ends_with(".tarvik.ini")) archive = slurp(e.path());
  EXPECT_THAT(archive, HasSubstr(" config windows host a b \r\n"));
  for (const char* gone : {"pasword", "Administrator", "UzNjcmV0"})
    EXPECT_THAT(archive, Not(HasSubstr(gone)));
  // Each by its key alone.
  std::string first_boot = log().substr(log().find("] tarvik.exe start cmd: tarvik \r\n"));
  EXPECT_THAT(first_boot,
              HasSubstr("] delete_tarvik2 removed the unknown command " + misspelt + "\r\n"));
  EXPECT_THAT(first_boot,
              HasSubstr("] delete_tarvik2 removed the unknown command " + empty + "\r\n"));
  EXPECT_THAT(first_boot, Not(HasSubstr("UzNjcmV0")));
}

}  // namespace
}  // namespace tarvik::test
