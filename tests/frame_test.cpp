// The program frame: start line, routing, the log and report channel, system services.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "frame/utils.h"
#include "support/agent_test.h"

namespace tarvik::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class FrameTest : public AgentTest {};

TEST_F(FrameTest, StartLineNeverShowsAPassword) {
  EXPECT_NE(run({"config", "x", "passwd", "admin", "cGFzcw=="}), 0);
  ASSERT_FALSE(log_messages().empty());
  EXPECT_EQ(log_messages()[0],
            "tarvik.exe start cmd: config windows_xxx passwd <user_name> ******");
  std::string everything = read(host("C:\\ProgramData\\kovenu\\tarvik\\log\\2025.01.06.log")) +
                           read(root_ + "/sim/COM1");
  EXPECT_THAT(everything, Not(HasSubstr("cGFzcw")));
  EXPECT_THAT(everything, Not(HasSubstr("admin")));

  // An argument that merely contains the word masks the line too, and so does the word in
  // any letter case.
  for (std::vector<std::string> args :
       {std::vector<std::string>{"config", "x", "ntp", "C:\\passwd\\list"},
        std::vector<std::string>{"config", "x", "PASSWD", "admin", "cGFzcw=="},
        std::vector<std::string>{"config", "x", "PassWd", "admin", "cGFzcw=="}}) {
    utils::reset();
    size_t before = log_messages().size();
    run(args);
    ASSERT_GT(log_messages().size(), before);
    EXPECT_EQ(log_messages()[before],
              "tarvik.exe start cmd: config windows_xxx passwd <user_name> ******");
  }
  everything = read(host("C:\\ProgramData\\kovenu\\tarvik\\log\\2025.01.06.log")) +
               read(root_ + "/sim/COM1");
  EXPECT_THAT(everything, Not(HasSubstr("cGFzcw")));
}

TEST_F(FrameTest, CrAndLfOfAnArgumentNeverStartALineOfTheirOwn) {
  run({"config", "x", "ntp", "a\r\nTARVIK_REPORT_ERROR:forged\nb"});
  std::vector<std::string> lines = log_lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(log_messages()[0],
            "tarvik.exe start cmd: config x ntp a\\r\\nTARVIK_REPORT_ERROR:forged\\nb ");
  std::regex layout(R"(\[pid=\d+,iso=0\]\[[0-9/:]+\] [^\r\n]*)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, layout)) << line;
  // The serial mirror holds the same lines: none of them starts with the forged text.
  std::string serial = read(root_ + "/sim/COM1");
  EXPECT_THAT(serial, Not(HasSubstr("\nTARVIK_REPORT_ERROR:forged")));
  EXPECT_THAT(serial, Not(HasSubstr("\rTARVIK_REPORT_ERROR:forged")));
  EXPECT_THAT(serial, HasSubstr("a\\r\\nTARVIK_REPORT_ERROR:forged\\nb"));
}

TEST_F(FrameTest, LineBreaksThatEndAMessageAreDroppedThoseInsideEscaped) {
  run({"config", "x", "unknown_op"});
  utils::log("fetch instance_id error \n");
  utils::log("cmd:%s out:%s", "tool", "Ok.\r\nDone\r\n");
  utils::log("\r\n");
  std::vector<std::string> m = log_messages();
  ASSERT_GE(m.size(), 3u);
  EXPECT_EQ(m[m.size() - 3], "fetch instance_id error ");
  EXPECT_EQ(m[m.size() - 2], "cmd:tool out:Ok.\\r\\nDone");
  EXPECT_EQ(m.back(), "");
}

TEST_F(FrameTest, WithoutArgumentsOnlyTheCompileTimeIsPrinted) {
  EXPECT_EQ(run({}), 0);
  EXPECT_TRUE(std::regex_match(stdout_, std::regex("compile time is [A-Z][a-z]{2} [ 0-9]\\d \\d{4}"
                                                   "\\.\\d\\d:\\d\\d:\\d\\d")))
      << stdout_;
  EXPECT_FALSE(std::filesystem::exists(root_ + "/c/ProgramData"));
}

TEST_F(FrameTest, CommandWordsMatchExactly) {
  for (const char* word : {"Config", "configx", "CONFIG", "unknown"}) {
    utils::reset();
    std::filesystem::remove_all(root_ + "/c/ProgramData");
    EXPECT_EQ(run({word, "x", "host", "a", "b"}), 0) << word;
    EXPECT_EQ(stdout_, "") << word;
    EXPECT_EQ(log_messages().size(), 1u) << word;
  }
}

TEST_F(FrameTest, LogLinesHaveTheLayoutAndADailyFileThatLaterProcessesAppendTo) {
  run({"config", "x", "host", "a", "b"});
  EXPECT_EQ(stdout_, "0:success");
  utils::reset();  // a second process on the same day
  run({"config", "x", "set_passwd_auth", "y"});
  std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 4u);
  std::regex layout(R"(\[pid=\d+,iso=0\]\[2025/01/06/09:49:05\] .+)");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, layout)) << line;
  EXPECT_EQ(log_messages()[1], "tarvik exit 0,success");
  EXPECT_TRUE(std::filesystem::is_regular_file(
      host("C:\\ProgramData\\kovenu\\tarvik\\log\\2025.01.06.log")));
}

TEST_F(FrameTest, AFileWhereTheLogFolderBelongsIsReplacedByTheFolder) {
  write(root_ + "/c/ProgramData/kovenu/tarvik/log", "in the way");
  utils::log("hello");
  EXPECT_THAT(log_messages(), ElementsAre("hello"));
}

TEST_F(FrameTest, LongMessagesAreCutAt4095Characters) {
  utils::log("%s", std::string(10000, 'x').c_str());
  ASSERT_EQ(log_messages().size(), 1u);
  EXPECT_EQ(log_messages()[0].size(), 4095u);
}

TEST_F(FrameTest, SerialMirrorIsUtf8WhileTheFileKeepsTheCodePage) {
  set_machine_ini(std::string(kDefaultMachineIni) + "[system]\ncodepage=1252\n");
  utils::reset();
  utils::log("caf\xE9 \x80");  // e-acute and the euro sign in code page 1252
  std::string file = read(host("C:\\ProgramData\\kovenu\\tarvik\\log\\2025.01.06.log"));
  std::string serial = read(root_ + "/sim/COM1");
  EXPECT_THAT(file, HasSubstr("caf\xE9 \x80\r\n"));
  EXPECT_THAT(serial, HasSubstr("caf\xC3\xA9 \xE2\x82\xAC\r\n"));
  EXPECT_EQ(serial.substr(0, 5), "[pid=");
}

TEST_F(FrameTest, AMissingSerialPortIsReportedOnceInTheFileOnly) {
  set_machine_ini(std::string(kDefaultMachineIni) + "[system]\nserial=0\n");
  utils::reset();
  utils::log("one");
  utils::log("two");
  EXPECT_THAT(log_messages(), ElementsAre("one", "Create com port COM1 failed,err=2", "two"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/sim/COM1"));
}

TEST_F(FrameTest, AnAcpiSerialPortGetsTheComName) {
  set_machine_ini(std::string(kDefaultMachineIni) + "[system]\nserial=acpi\n");
  utils::reset();
  utils::log("through the port");
  EXPECT_THAT(read(root_ + "/sim/events.jsonl"),
              HasSubstr(R"("event":"dos_device","name":"COM1","target":"\\\\?\\ACPI#PNP0501#1#)"));
  EXPECT_THAT(read(root_ + "/sim/COM1"), HasSubstr("through the port"));
}

TEST_F(FrameTest, OutsideIsoModeTheExitReportReturns) {
  ::testing::internal::CaptureStdout();
  utils::exit_report(-1, "fail %s", "here");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "-1:fail here");
  EXPECT_THAT(log_messages(), ElementsAre("tarvik exit -1,fail here"));
}

TEST_F(FrameTest, ProductNameLadder) {
  const std::pair<const char*, const char*> cases[] = {
      {"Windows Server 2003 Enterprise", "2003"},
      {"Windows Server 2008 R2 Enterprise", "win7"},
      {"Windows Server (R) 2008 Standard", "2008"},
      {"Windows 7 Professional", "win7"},
      {"Windows 8.1 Pro", "win8"},
      {"Windows Server 2012 R2 Datacenter", "2012"},
      {"Windows 10 Pro", "win10"},
      {"Windows 11 Pro", "win11"},
      {"Windows Server 2022 Datacenter", "2022"},
      {"Windows Server 2016 Datacenter", "2016"},
      {"Windows Server 2019 Datacenter", ""},
      {"Windows Vista Business", ""},
  };
  for (const auto& [name, tag] : cases) EXPECT_EQ(os_tag_of_product_name(name), tag) << name;
}

TEST_F(FrameTest, OsinfoFallsBackOnReleaseIdAndLeavesTheTagOtherwise) {
  const std::string key = "[Microsoft\\Windows NT\\CurrentVersion]\r\n";
  write_hive(
      "C:\\Windows\\System32\\config\\SOFTWARE",
      key + "\"ProductName\"=\"Windows Server 2019 Datacenter\"\r\n\"ReleaseId\"=\"1809\"\r\n");
  std::string tag = "before", arch;
  EXPECT_TRUE(utils::osinfo(tag, arch));
  EXPECT_EQ(tag, "2016");
  EXPECT_EQ(arch, "amd64");

  write_hive("C:\\Windows\\System32\\config\\SOFTWARE",
             key + "\"ProductName\"=\"Windows Vista Business\"\r\n");
  tag = "before";
  EXPECT_TRUE(utils::osinfo(tag, arch));
  EXPECT_EQ(tag, "before");
  EXPECT_THAT(log_messages().back(), HasSubstr("utils::osinfo Get ReleaseId failed with error: 2"));

  write_hive("C:\\Windows\\System32\\config\\SOFTWARE", "");
  EXPECT_FALSE(utils::osinfo(tag, arch));
  EXPECT_EQ(tag, "before");
}

TEST_F(FrameTest, HypervisorSignatureIsFoundAtAHigherLeaf) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[system]\nhypervisor=Microsoft Hv\nhypervisor_max=0x40000200\n"
                  "hypervisor.0x40000100=XenVMMXenVMM\n");
  std::string sig;
  EXPECT_EQ(utils::hypervisor_vendor(sig), "XenVMMXenVMM");
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[system]\nhypervisor=Microsoft Hv\nhypervisor_max=0x40000005\n");
  EXPECT_EQ(utils::hypervisor_vendor(sig), "Microsoft Hv");
}

TEST_F(FrameTest, PrivilegeTheAccountDoesNotHoldIsNotEnabled) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[system]\ndenied_privileges=SeShutdownPrivilege\n");
  EXPECT_FALSE(utils::enable_privilege("SeShutdownPrivilege"));
  EXPECT_TRUE(utils::enable_privilege("SeBackupPrivilege"));
}

TEST_F(FrameTest, FileWithoutVersionResourceIsNotVersioned) {
  write(host("C:\\Windows\\System32\\plain.dll"), "no version here");
  FileVersion v;
  EXPECT_FALSE(utils::get_file_version("C:\\Windows\\System32\\plain.dll", v));
  EXPECT_EQ(v.major, 0);
  EXPECT_THAT(log_messages().back(), HasSubstr("GetFileVersionInfoSize: error code was"));
}

class CopyFolderTest : public AgentTest {};

TEST_F(CopyFolderTest, PatternAppliesToTheTopFolderOnly) {
  write(root_ + "/c/src/a.sys", "a");
  write(root_ + "/c/src/b.inf", "b");
  write(root_ + "/c/src/sub/c.inf", "c");
  EXPECT_TRUE(utils::instance().copy_folder("C:\\src", "C:\\dst", "*.sys"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/c/dst/a.sys"));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/c/dst/b.inf"));
  EXPECT_EQ(read(root_ + "/c/dst/sub/c.inf"), "c");
}

TEST_F(CopyFolderTest, ReadOnlyTargetsAreReplacedAndExtraFilesKept) {
  write(root_ + "/c/src/a.sys", "new");
  write(root_ + "/c/dst/a.sys", "old");
  write(root_ + "/c/dst/keep.txt", "keep");
  std::filesystem::permissions(root_ + "/c/dst/a.sys", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::group_read);
  EXPECT_TRUE(utils::instance().copy_folder("C:\\src", "C:\\dst"));
  EXPECT_EQ(read(root_ + "/c/dst/a.sys"), "new");
  EXPECT_EQ(read(root_ + "/c/dst/keep.txt"), "keep");
}

TEST_F(CopyFolderTest, MissingSourceFailsSilentlyAndAMissingParentIsReported) {
  EXPECT_FALSE(utils::instance().copy_folder("C:\\nothing", "C:\\dst"));
  EXPECT_TRUE(log_lines().empty());

  write(root_ + "/c/src/a.sys", "a");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(utils::instance().copy_folder("C:\\src", "C:\\no\\such\\dst"));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "3:copy_folder create dir err");
}

TEST_F(FrameTest, TextConversionsAndSearch) {
  EXPECT_TRUE(utils::contains_any("Microsoft KM-TEST Loopback Adapter", {"xyz", "LOOPBACK"}));
  EXPECT_FALSE(utils::contains_any("", {""}));
  EXPECT_FALSE(utils::contains_any("abc", {"abcd"}));
  EXPECT_EQ(utils::ansi_to_utf8("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");  // UTF-8 code page
}

}  // namespace
}  // namespace tarvik::test

namespace tarvik::test {
namespace {

TEST_F(FrameTest, TheConsoleIsHiddenForTheSystemAccountOnly) {
  run({"config", "x", "host", "a", "b"});
  EXPECT_THAT(read(root_ + "/sim/events.jsonl"), HasSubstr("\"event\":\"console_hidden\""));
  std::filesystem::remove(root_ + "/sim/events.jsonl");
  set_machine_ini(std::string(kDefaultMachineIni) + "[system]\nuser=Administrator\n");
  utils::reset();
  run({"config", "x", "host", "a", "b"});
  EXPECT_THAT(read(root_ + "/sim/events.jsonl"), Not(HasSubstr("console_hidden")));
}

TEST_F(FrameTest, ACrashLeavesADumpBesideTheProgramAndTheHandlerCannotBeReplaced) {
  write(root_ + "/c/ProgramData/kovenu/tarvik/tarvik.exe", "the agent");
  EXPECT_EXIT(
      {
        platform().system().install_crash_handler();
        if (platform().system().replace_crash_handler()) std::_Exit(3);
        std::raise(SIGSEGV);
      },
      ::testing::ExitedWithCode(128 + SIGSEGV), "");
  EXPECT_TRUE(std::filesystem::exists(root_ + "/c/ProgramData/kovenu/tarvik/tarvik.exe.dmp"));
  EXPECT_THAT(
      read(root_ + "/sim/events.jsonl"),
      HasSubstr(R"("event":"crash","dump":"C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe.dmp")"));
}

}  // namespace
}  // namespace tarvik::test
