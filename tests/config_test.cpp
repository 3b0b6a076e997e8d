// The config command: dispatch by exact name and word count, what ISO mode records,
// and the replay on first boot.
#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "firstboot/tarvik2.h"
#include "frame/utils.h"
#include "support/agent_test.h"
#include "support/cli.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class ConfigTest : public AgentTest {
 protected:
  int dispatch(std::vector<std::string> words) {
    words.insert(words.begin(), "tarvik.exe");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    ::testing::internal::CaptureStdout();
    int rc = Config::instance().dispatch(static_cast<int>(argv.size()), argv.data());
    stdout_ = ::testing::internal::GetCapturedStdout();
    return rc;
  }
};

TEST_F(ConfigTest, TheTableHasEveryOperationWithItsWordCountInOrder) {
  std::vector<std::string> rows;
  for (const OperationEntry& e : Config::operations())
    rows.push_back(std::string(e.name) + "/" + std::to_string(e.word_count));
  EXPECT_THAT(rows, ElementsAre("passwd/6", "network_clean/4", "network_reset/4", "ip/9",
                                "ip_segment/8", "route/8", "dns/7", "host/6", "hostname/5", "ntp/5",
                                "disk/4", "extend_sysvol/4", "wsus/5", "set_passwd_auth/5",
                                "cloudinit/4", "cloudinit_nodisk/4", "installKovenuService/5"));
}

TEST_F(ConfigTest, OperationsMatchByExactNameAndWordCount) {
  EXPECT_EQ(dispatch({"config", "x", "host", "a", "b"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_EQ(dispatch({"config", "x", "set_passwd_auth", "a"}), 0);

  for (std::vector<std::string> words :
       {std::vector<std::string>{"config", "x", "disk", "extra"},
        std::vector<std::string>{"config", "x", "PASSWD", "u", "cA=="},
        std::vector<std::string>{"config", "x", "host", "a"},
        std::vector<std::string>{"config", "x", "d2sfix"},
        std::vector<std::string>{"config", "x"}}) {
    EXPECT_EQ(dispatch(words), -1) << words.back();
    EXPECT_EQ(stdout_, "-1:unknown operation") << words.back();
  }
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:unknown_operation disk"));
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:unknown_operation PASSWD"));

  // Fewer than three words: nothing at all.
  size_t lines = log_messages().size();
  EXPECT_EQ(dispatch({"config"}), -1);
  EXPECT_EQ(stdout_, "");
  EXPECT_EQ(log_messages().size(), lines);
}

TEST_F(ConfigTest, ReplayRunsRecordedCommandsInOrderAndDropsOnlySucceededPasswordOnes) {
  write(root_ + "/c/ProgramData/kovenu/tarvik/tarvik.ini",
        "[config]\r\n"
        "K1=tarvik.exe config x set_passwd_auth y \r\n"
        "K2=tarvik.exe config x passwd admin cA== \r\n"
        "K3=tarvik.exe config x host a b \r\n"
        "K4=tarvik.exe config x host a  b \r\n"
        "K5=tarvik.exe config x hostname with blank \r\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Config::instance().replay_saved_config(), 0);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "0:success"               // K1, then deleted: it carries "pass"
            "-1:config pass fail"     // K2 failed (no net user): kept
            "0:success"               // K3
            "-1:unknown operation"    // K4: two blanks end the command early
            "-1:unknown operation");  // K5: the blank split one argument
  std::string keys;
  platform().files().profile_get("config", nullptr, nullptr, keys, 1024,
                                 "C:\\ProgramData\\kovenu\\tarvik\\tarvik.ini");
  EXPECT_EQ(keys, std::string("K2\0K3\0K4\0K5\0", 12));
}

TEST_F(ConfigTest, ReplayRunsEveryRecordedCommandHoweverManyKeysThereAre) {
  // 40 keys as the recording names them (32 characters): longer than a 1024-byte key list.
  std::string ini = "[config]\r\n";
  for (int i = 0; i < 40; ++i) ini += strformat("%032X=tarvik.exe config x host a b \r\n", i);
  write(root_ + "/c/ProgramData/kovenu/tarvik/tarvik.ini", ini);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(Config::instance().replay_saved_config(), 0);
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string all;
  for (int i = 0; i < 40; ++i) all += "0:success";
  EXPECT_EQ(out, all);
}

TEST_F(ConfigTest, TheDpinstFlagOutsideIsoModeLivesOnC) {
  EXPECT_FALSE(tarvik2::check_dpinst());
  set_dpinst_flag(true);
  EXPECT_TRUE(tarvik2::check_dpinst());
  set_dpinst_flag(false);
  EXPECT_FALSE(tarvik2::check_dpinst());
  EXPECT_THAT(log_messages(),
              ElementsAre("-->tarvik2::check_dpinst false", "-->tarvik2::check_dpinst true",
                          "-->tarvik2::check_dpinst false"));
}

// ISO mode ends the process with each report: these run the agent as the platform does.
class IsoModeTest : public TempGuestTest {
 protected:
  void SetUp() override {
    TempGuestTest::SetUp();
    init_guest(true);
  }
  std::string ini() { return slurp(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"); }
  // The log of the offline installation, where ISO mode writes it.
  std::string log() { return TempGuestTest::log('d'); }
};

TEST_F(IsoModeTest, CommandsAreRecordedOnTheTargetWithGuidKeys) {
  CliResult r = tarvik(root_, {"config", "x", "ntp", "a,b"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_EQ(r.code, 0);
  r = tarvik(root_, {"config", "x", "foo"});
  EXPECT_EQ(r.out, "0:success");
  std::smatch m;
  std::string text = ini();
  EXPECT_TRUE(std::regex_search(text, m,
                                std::regex("\\[config\\]\r\n[0-9A-F]{32}=\\S+ config x "
                                           "ntp a,b \r\n[0-9A-F]{32}=\\S+ config x foo "
                                           "\r\n")))
      << text;
  std::string lines = log();
  EXPECT_THAT(lines, HasSubstr("[pid="));
  EXPECT_TRUE(std::regex_search(lines, std::regex("\\[pid=\\d+,iso=1\\]\\[[0-9/:]+\\] Save Config. "
                                                  "Get the key [0-9A-F]{32} and value: ")));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/x/ProgramData"));
}

TEST_F(IsoModeTest, PasswordCommandsAreRecordedButNeverLogged) {
  CliResult r = tarvik(root_, {"config", "x", "passwd", "Administrator", "UzNjcmV0IQ=="});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(ini(), HasSubstr("config x passwd Administrator UzNjcmV0IQ== \r\n"));
  EXPECT_THAT(log(), HasSubstr("Just ignore!"));
  EXPECT_THAT(log(), Not(HasSubstr("UzNjcmV0IQ")));
  EXPECT_THAT(slurp(root_ + "/sim/COM1"), Not(HasSubstr("UzNjcmV0IQ")));
}

TEST_F(IsoModeTest, APasswordInAnyCaseOrAFailedSaveNeverShowsItsWords) {
  CliResult r = tarvik(root_, {"config", "x", "PASSWD", "Administrator", "UzNjcmV0IQ=="});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(ini(), HasSubstr("config x PASSWD Administrator UzNjcmV0IQ== \r\n"));
  EXPECT_THAT(log(), HasSubstr("Just ignore!"));

  // A tarvik.ini that cannot be written: each failed attempt is logged, masked.
  std::string file = root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini";
  std::filesystem::permissions(file, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  r = tarvik(root_, {"config", "x", "passwd", "Administrator", "T3RoZXIh"});
  EXPECT_EQ(r.out, "-1:save config fail");
  std::regex failed(
      "Error occurs when save command [0-9A-F]{32} config windows_xxx passwd <user_name> "
      "\\*{6}, code: 5\r\n");
  std::string lines = log();
  EXPECT_EQ(std::distance(std::sregex_iterator(lines.begin(), lines.end(), failed),
                          std::sregex_iterator()),
            3);
  for (const std::string& text : {lines, slurp(root_ + "/sim/COM1")}) {
    EXPECT_THAT(text, Not(HasSubstr("UzNjcmV0IQ")));
    EXPECT_THAT(text, Not(HasSubstr("T3RoZXIh")));
    EXPECT_THAT(text, Not(HasSubstr("Administrator")));
  }
  EXPECT_THAT(ini(), Not(HasSubstr("T3RoZXIh")));
}

TEST_F(IsoModeTest, ACommandWithCrOrLfInAWordIsNotRecorded) {
  for (const char* word : {"b\r\n[update]\r\ndpinst=1", "b\nc", "b\rc"}) {
    CliResult r = tarvik(root_, {"config", "x", "host", "a", word});
    EXPECT_EQ(r.out, "-1:invalid argument");
    EXPECT_EQ(r.code, 0);
  }
  CliResult r = tarvik(root_, {"config", "x", "hostname", "web\n01"});
  EXPECT_EQ(r.out, "-1:invalid argument");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"));
  // Nor did the host name reach the offline installation.
  EXPECT_THAT(slurp(root_ + "/d/Windows/System32/config/SYSTEM"), Not(HasSubstr("web")));
}

TEST_F(IsoModeTest, ALineLongerThanTheRecordedBufferIsRefusedWhole) {
  // "X:\kovenu\tarvik\tarvik.exe config x ntp " and a trailing blank leave 981 bytes of
  // the 1023 for the server list. Recorded cut short, a longer line would replay another
  // command on first boot.
  const std::string fits(981, 'a');
  CliResult r = tarvik(root_, {"config", "x", "ntp", fits + "b"});
  EXPECT_EQ(r.out, "-1:invalid argument");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"));
  r = tarvik(root_, {"config", "x", "hostname", std::string(1100, 'h')});
  EXPECT_EQ(r.out, "-1:invalid argument");
  EXPECT_THAT(slurp(root_ + "/d/Windows/System32/config/SYSTEM"), Not(HasSubstr("hhhh")));

  r = tarvik(root_, {"config", "x", "ntp", fits});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(ini(), HasSubstr(" config x ntp " + fits + " \r\n"));
}

TEST_F(IsoModeTest, ExtendSysvolExtendsTheTargetVolumeAndIsRecorded) {
  CliResult r = tarvik(root_, {"config", "x", "extend_sysvol"});
  EXPECT_EQ(r.out, "0:success");
  // The installation into the image extends the volume first; then the operation does.
  std::vector<Call> calls = read_calls(root_);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].cmdline, "diskpart");
  EXPECT_EQ(calls[2].stdin_text.substr(0, 33), "select volume d\r\nextend\r\nexit\r\n");
  EXPECT_THAT(calls[0].output, HasSubstr("DiskPart successfully extended the volume."));
  EXPECT_THAT(calls[2].output, HasSubstr("There is not enough usable free space"));
  EXPECT_THAT(ini(), HasSubstr("config x extend_sysvol \r\n"));
  EXPECT_THAT(log(), HasSubstr("extend_system_volume finished."));
  EXPECT_THAT(log(), Not(HasSubstr("extend_disk_error")));
}

TEST_F(IsoModeTest, OfflineOnlyOperationsAreNeverRecorded) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"config", "x", "timezone_clock", "Nowhere", "utc"},
        std::vector<std::string>{"config", "x", "PageFile", "on", "1024"},
        std::vector<std::string>{"config", "x", "d2sfix"},
        std::vector<std::string>{"config", "x"}}) {
    CliResult r = tarvik(root_, args);
    EXPECT_EQ(r.code, 0) << args.back();
    EXPECT_FALSE(r.out.empty()) << args.back();
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"));
}

TEST_F(IsoModeTest, HostnameInAnyCaseIsHandledAndRecorded) {
  CliResult r = tarvik(root_, {"config", "x", "HOSTNAME", "web01"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(ini(), HasSubstr("config x HOSTNAME web01 \r\n"));
}

TEST_F(IsoModeTest, UpdateDriverSkipsTheInstallationIntoTheImage) {
  CliResult r = tarvik(root_, {"config", "x", "UPDATE_DRIVER"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(log(), Not(HasSubstr("-->create tarvik")));
}

TEST_F(IsoModeTest, WithoutATargetTheReportStillReachesTheCaller) {
  std::filesystem::remove_all(root_ + "/d/Program Files");
  CliResult r = tarvik(root_, {"config", "x", "ntp", "a"});
  EXPECT_EQ(r.out, "-1:find_disk fail");
  EXPECT_EQ(r.code, 0);
}

}  // namespace
}  // namespace tarvik::test
