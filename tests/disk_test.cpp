// Data disks and the system volume: what diskpart is told and when.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "disk/disk_manager.h"
#include "frame/utils.h"
#include "support/agent_test.h"
#include "support/cli.h"

namespace tarvik::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kSoftware2019[] =
    "[Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"ProductName\"=\"Windows Server 2019 Datacenter\"\r\n\"ReleaseId\"=\"1809\"\r\n";

class DiskTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    write_hive("C:\\Windows\\System32\\config\\SOFTWARE", kSoftware2019);
  }
  void disks(const std::string& sections) {
    set_machine_ini(std::string(kDefaultMachineIni) +
                    "[disk.1]\nnumber=0\nstyle=mbr\npartitions=07\nletters=c\nfree_mb=0\n" +
                    sections);
  }
  std::vector<std::string> scripts() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_))
      if (c.cmdline == "diskpart") out.push_back(c.stdin_text);
    return out;
  }
  static std::string online(int n) {
    return "select disk " + std::to_string(n) +
           "\r\nattribute disk clear readonly\r\nonline disk\r\nexit\r\n";
  }
  static std::string import(int n) {
    return "select disk " + std::to_string(n) +
           "\r\nattribute disk clear readonly\r\nimport\r\nexit\r\n";
  }
};

TEST_F(DiskTest, OnlyTheSystemDiskMeansNoScriptAndSuccess) {
  disks("");
  EXPECT_TRUE(disk_manager::instance().configure_disks());
  EXPECT_THAT(scripts(), IsEmpty());
}

TEST_F(DiskTest, ARawDataDiskIsOnlinedPartitionedFormattedAndLettered) {
  disks("[disk.2]\nnumber=1\nstyle=raw\npartitions=\nletters=\nfree_mb=1024\n");
  EXPECT_TRUE(disk_manager::instance().configure_disks());
  std::vector<std::string> s = scripts();
  ASSERT_GE(s.size(), 3u);
  EXPECT_EQ(s[0], online(1));
  EXPECT_EQ(s[1],
            "select disk 1\r\ncreate partition primary \r\nformat quick\r\nassign\r\nexit\r\n");
  EXPECT_EQ(s[2], online(1));  // the check scans again
  EXPECT_EQ(s.size(), 3u);
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/d"));
}

TEST_F(DiskTest, On2003ThePartitionIsAlignedAndLeftUnformatted) {
  write_hive("C:\\Windows\\System32\\config\\SOFTWARE",
             "[Microsoft\\Windows NT\\CurrentVersion]\r\n"
             "\"ProductName\"=\"Windows Server 2003 Enterprise\"\r\n");
  disk_manager::instance().create_partitions({1});
  EXPECT_THAT(scripts(), ElementsAre("select disk 1\r\ncreate partition primary align=1024\r\n"
                                     "\r\nassign\r\nexit\r\n"));
}

TEST_F(DiskTest, DynamicAndGptDataDisksAreImportedNotPartitioned) {
  disks(
      "[disk.2]\nnumber=1\nstyle=mbr\npartitions=42\nletters=\n"
      "[disk.3]\nnumber=2\nstyle=gpt\npartitions={EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}\n"
      "letters=\n"
      "[disk.4]\nnumber=3\nstyle=gpt\npartitions={e3c9e316-0b5c-4db8-817d-f92df00215ae}\n"
      "letters=\n");
  EXPECT_THAT(disk_manager::instance().scan_disks(), ElementsAre(3u));
  EXPECT_THAT(scripts(), ElementsAre(online(1), import(1), online(2), import(2), online(3)));
  auto log = log_messages();
  EXPECT_THAT(log, testing::Contains("import dynamic disk : 1"));
  EXPECT_THAT(log, testing::Contains("import dynamic disk : 2"));
}

TEST_F(DiskTest, ALetteredDiskIsOnlinedButNotPartitioned) {
  disks("[disk.2]\nnumber=1\nstyle=mbr\npartitions=07\nletters=e\n");
  mkdirs(root_ + "/e");
  EXPECT_THAT(disk_manager::instance().disks_without_letter(), IsEmpty());
  EXPECT_THAT(scripts(), ElementsAre(online(1)));
}

TEST_F(DiskTest, ALayoutOfMoreThanFiveEntriesIsReadWhole) {
  // Two MBR groups of four: the LDM entry is the seventh.
  disks("[disk.2]\nnumber=1\nstyle=mbr\npartitions=07,05,07,07,07,07,42\nletters=\n");
  EXPECT_THAT(disk_manager::instance().scan_disks(), IsEmpty());
  EXPECT_THAT(scripts(), ElementsAre(online(1), import(1)));
}

TEST_F(DiskTest, ADiskWhoseLayoutCannotBeReadIsSkippedAndTheScanGoesOn) {
  disks(
      "[disk.2]\nnumber=1\nstyle=raw\nlayout_fails=1\n"
      "[disk.3]\nnumber=2\nstyle=raw\n");
  EXPECT_THAT(disk_manager::instance().scan_disks(), ElementsAre(2u));
  EXPECT_THAT(log_messages(),
              testing::Contains(HasSubstr("IOCTL_DISK_GET_DRIVE_LAYOUT_EX err is:")));
}

TEST_F(DiskTest, ADiskThatKeepsRefusingALetterGetsFourCreateAttempts) {
  disks("[disk.2]\nnumber=1\nstyle=raw\nfree_mb=0\n");
  write(root_ + "/sim/tools.ini", "[rule.stuck]\nmatch=diskpart\nexit=0\noutput=\n");
  EXPECT_FALSE(disk_manager::instance().configure_disks());
  int creates = 0, onlines = 0;
  for (const auto& s : scripts()) {
    creates += s.find("create partition") != std::string::npos;
    onlines += s.find("online disk") != std::string::npos;
  }
  EXPECT_EQ(creates, 4);
  EXPECT_EQ(onlines, 7);
}

TEST_F(DiskTest, ExtendingTheRunningSystemVolume) {
  disks("");
  EXPECT_TRUE(disk_manager::instance().extend_volume(false));
  EXPECT_THAT(scripts(), ElementsAre("select volume C\r\nextend\r\nexit\r\n"));
  EXPECT_THAT(log_text(),
              HasSubstr("] run_diskpart,input: select volume C\\r\\nextend\\r\\nexit\\r\\n"
                        " output: \\r\\nDiskPart version"));
}

TEST_F(DiskTest, OfflineExtendReportsOutputItDoesNotRecognise) {
  mkdirs(root_ + "/d/Windows/System32");
  mkdirs(root_ + "/d/Program Files");
  write(root_ + "/sim/tools.ini",
        "[rule.de]\nmatch=diskpart\nexit=0\noutput=DiskPart hat das Volume erfolgreich "
        "erweitert.\n");
  disk_manager::instance().extend_volume(true);
  EXPECT_THAT(scripts(), ElementsAre("select volume d\r\nextend\r\nexit\r\n"));
  EXPECT_THAT(log_text(),
              HasSubstr("TARVIK_REPORT_ERROR:extend_disk_error DiskPart hat das Volume"));

  // A volume that already fills its disk counts as extended.
  write(root_ + "/sim/tools.ini",
        "[rule.full]\nmatch=diskpart\nexit=0\noutput=There is not enough usable free space "
        "on specified disk(s).\n");
  size_t before = log_text().size();
  disk_manager::instance().extend_volume(true);
  EXPECT_THAT(log_text().substr(before), Not(HasSubstr("extend_disk_error")));
}

}  // namespace
}  // namespace tarvik::test
