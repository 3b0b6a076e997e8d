// tarvik-sim boot, snapshot and diff: a first boot followed end to end on a simulated
// guest, and what changed on it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "support/cli.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kAgent[] = "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe";
constexpr char kServices[] = "HKLM\\SYSTEM\\CurrentControlSet\\services\\";

using SimBootTest = TempGuestTest;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

void reg(const std::string& root, std::vector<std::string> args) {
  args.insert(args.begin(), "reg");
  CliResult r = tarvik_sim(root, args);
  ASSERT_EQ(r.code, 0) << r.err;
}

void service(const std::string& root, const std::string& name, const std::string& image,
             const std::string& start) {
  reg(root, {"add", kServices + name, "/v", "ImagePath", "/t", "REG_SZ", "/d", image, "/f"});
  reg(root, {"add", kServices + name, "/v", "Start", "/t", "REG_DWORD", "/d", start, "/f"});
}

TEST_F(SimBootTest, BootStartsTheAgentServiceWhoseFirstBootWorkShowsInTheDiff) {
  init_guest();
  service(root_, "tarvik", std::string(kAgent) + " service", "2");
  // Not started: another program, and the agent on demand only.
  service(root_, "W32Time", "C:\\Windows\\system32\\svchost.exe -k LocalService", "2");
  service(root_, "tarvik.manual", std::string(kAgent) + " service", "3");
  std::string ini = root_ + "/c/ProgramData/kovenu/tarvik/tarvik.ini";
  put(ini, std::string("[config]\r\nA1=") + kAgent + " config windows host a b \r\nB2=" + kAgent +
               " config windows set_passwd_auth x \r\nC3=" + kAgent +
               " config windows PASSWD admin U2VjcmV0 \r\n");
  ASSERT_EQ(tarvik_sim(root_, {"snapshot", "before"}).code, 0);

  CliResult r = tarvik_sim(root_, {"boot"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, std::string("booted\nservice ") + kAgent + " service: started\n");
  // The service starts, relaunches the agent and ends; boot returns once the relaunched
  // work has ended too.
  std::vector<Call> calls = read_calls(root_);
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].cmdline, std::string(kAgent) + " service");
  EXPECT_EQ(calls[0].how, "service");
  EXPECT_THAT(calls, Contains(testing::Field(&Call::how, "relaunch")));
  EXPECT_EQ(calls.back().cmdline, "cacls c:\\ProgramData\\kovenu /T /E /R Users");
  std::string text = log();
  EXPECT_THAT(text, HasSubstr("] tarvik.exe start cmd: service \r\n"));
  size_t exits = 0;
  for (size_t at = 0; (at = text.find("] tarvik exit 0,success\r\n", at)) != std::string::npos;
       ++at)
    ++exits;
  EXPECT_EQ(exits, 2u);
  EXPECT_THAT(text, HasSubstr("] version of vioser.sys is 0.0.0.0\r\n"));

  r = tarvik_sim(root_, {"diff", "before"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> changes = lines(r.out);
  EXPECT_THAT(changes, Contains("reg changed  HKLM\\SYSTEM\\ControlSet001\\Control\\Terminal "
                                "Server /v fDenyTSConnections  REG_DWORD  0x1 -> 0x0"));
  EXPECT_THAT(changes, Contains("reg removed  HKLM\\SYSTEM\\ControlSet001\\Services\\tarvik"));
  EXPECT_THAT(changes,
              Contains("reg added    HKLM\\SYSTEM\\ControlSet001\\Services\\tarvik.start"));
  EXPECT_THAT(changes, Contains("file removed C:\\ProgramData\\kovenu\\tarvik\\tarvik.ini"));
  std::regex archive(
      R"(file added   C:\\ProgramData\\kovenu\\tarvik\\(\d{4}(\.\d\d){5}\.tarvik\.ini)  \(\d+ bytes\))");
  std::string archive_name;
  for (const auto& c : changes) {
    std::smatch m;
    if (std::regex_match(c, m, archive)) archive_name = m[1];
  }
  ASSERT_FALSE(archive_name.empty()) << r.out;
  std::string kept = slurp(root_ + "/c/ProgramData/kovenu/tarvik/" + archive_name);
  EXPECT_THAT(kept, HasSubstr("A1="));
  EXPECT_THAT(kept, Not(HasSubstr("U2VjcmV0")));

  // The next boot: the service is gone, nothing starts, the started marker is gone.
  size_t before = read_calls(root_).size();
  r = tarvik_sim(root_, {"boot"});
  EXPECT_EQ(r.out, "booted\n");
  EXPECT_EQ(read_calls(root_).size(), before);
  EXPECT_FALSE(fs::exists(root_ + "/sim/volatile.reg"));
}

TEST_F(SimBootTest, BootFromTheInstallationDriveMakesItTheRunningSystem) {
  init_guest(true);
  fs::copy(root_ + "/x/kovenu", root_ + "/d/ProgramData/kovenu",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  std::string hive = "D:\\Windows\\System32\\config\\SYSTEM";
  for (auto v : {std::vector<std::string>{"/v", "ImagePath", "/t", "REG_SZ", "/d",
                                          std::string(kAgent) + " service"},
                 std::vector<std::string>{"/v", "start", "/t", "REG_DWORD", "/d", "2"}}) {
    std::vector<std::string> args = {"--hive", hive, "add", "ControlSet001\\Services\\tarvik"};
    args.insert(args.end(), v.begin(), v.end());
    args.push_back("/f");
    reg(root_, args);
  }
  put(root_ + "/sim/attributes.ini",
      "[attributes]\nD:\\PROGRAMDATA\\KOVENU=HIDDEN\nX:\\KOVENU=SYSTEM\n");
  put(root_ + "/sim/mounts.ini", "[mounts]\n_SYSTEM=D:\\Windows\\System32\\config\\SYSTEM\n");
  ASSERT_EQ(tarvik_sim(root_, {"snapshot", "medium"}).code, 0);

  CliResult r = tarvik_sim(root_, {"boot", "--from", "D"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("booted from D: as C:\n"));
  EXPECT_TRUE(fs::is_directory(root_ + "/c/Windows"));
  EXPECT_FALSE(fs::exists(root_ + "/d"));
  EXPECT_FALSE(fs::exists(root_ + "/x"));
  EXPECT_FALSE(fs::exists(root_ + "/sim/mounts.ini"));
  std::string machine = slurp(root_ + "/machine.ini");
  EXPECT_THAT(machine, HasSubstr("drive=c\n"));
  EXPECT_THAT(machine, HasSubstr(std::string("program=") + kAgent + "\n"));
  EXPECT_THAT(machine, HasSubstr("letters=c\n"));
  EXPECT_EQ(slurp(root_ + "/sim/attributes.ini"), "[attributes]\nC:\\PROGRAMDATA\\KOVENU=HIDDEN\n");
  EXPECT_THAT(slurp(root_ + "/sim/events.jsonl"), HasSubstr("{\"event\":\"boot\",\"from\":\"d\""));

  // The installation's service ran the first-boot work there.
  r = tarvik_sim(root_,
                 {"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Terminal Server", "/v",
                  "fDenyTSConnections"});
  EXPECT_THAT(r.out, HasSubstr("REG_DWORD    0x0"));
  EXPECT_NE(tarvik_sim(root_, {"reg", "query", "HKLM\\SYSTEM", "/v", "isoMode"}).code, 0);
  EXPECT_NE(tarvik_sim(root_, {"reg", "query", std::string(kServices) + "tarvik"}).code, 0);
  EXPECT_THAT(log(), HasSubstr("] -->tarvik2::dowork()\r\n"));

  // A snapshot taken before sees the drives under their new letters: the diff shows what
  // the first boot changed on the installation, not the medium's leaving.
  std::string diff = tarvik_sim(root_, {"diff", "medium"}).out;
  EXPECT_THAT(diff, HasSubstr("reg changed  HKLM\\SYSTEM\\ControlSet001\\Control\\Terminal "
                              "Server /v fDenyTSConnections  REG_DWORD  0x1 -> 0x0\n"));
  EXPECT_THAT(diff, HasSubstr("reg removed  HKLM\\SYSTEM\\ControlSet001\\Services\\tarvik\n"));
  EXPECT_THAT(diff, Not(HasSubstr("isoMode")));
  EXPECT_THAT(diff, Not(HasSubstr("X:\\")));
  EXPECT_THAT(diff, Not(HasSubstr("D:\\")));
  EXPECT_THAT(diff, Not(HasSubstr("ProductName")));

  EXPECT_EQ(tarvik_sim(root_, {"boot", "--from", "q"}).code, 2);
  EXPECT_EQ(tarvik_sim(root_, {"boot", "--from"}).code, 2);
}

TEST_F(SimBootTest, DiffListsEachRegistryAndFileChangeOnEveryDrive) {
  init_guest();
  put(root_ + "/c/keep.txt", "same");
  put(root_ + "/c/gone.txt", "x");
  put(root_ + "/c/Users/a.txt", "one");
  put(root_ + "/d/Windows/System32/config/SYSTEM",
      "Windows Registry Editor Version 5.00\n\n[Setup]\n\"Stage\"=dword:00000001\n");
  reg(root_, {"add", "HKLM\\SOFTWARE\\Kovenu", "/v", "Old", "/t", "REG_SZ", "/d", "a", "/f"});
  reg(root_, {"add", "HKLM\\SOFTWARE\\Kovenu", "/v", "Gone", "/t", "REG_DWORD", "/d", "7", "/f"});
  ASSERT_EQ(tarvik_sim(root_, {"snapshot", "s1"}).code, 0);
  EXPECT_EQ(tarvik_sim(root_, {"diff", "s1"}).out, "");

  reg(root_, {"add", "HKLM\\SOFTWARE\\Kovenu", "/v", "Old", "/t", "REG_SZ", "/d", "b", "/f"});
  reg(root_, {"add", "HKLM\\SOFTWARE\\Kovenu", "/ve", "/t", "REG_SZ", "/d", "dflt", "/f"});
  reg(root_, {"delete", "HKLM\\SOFTWARE\\Kovenu", "/v", "Gone", "/f"});
  reg(root_, {"add", "HKLM\\SOFTWARE\\Kovenu\\New", "/v", "N", "/t", "REG_DWORD", "/d", "1", "/f"});
  reg(root_, {"--hive", "D:\\Windows\\System32\\config\\SYSTEM", "add", "Setup", "/v", "Stage",
              "/t", "REG_SZ", "/d", "done", "/f"});
  fs::remove(root_ + "/c/gone.txt");
  put(root_ + "/c/Users/a.txt", "two!");
  put(root_ + "/c/Users/b.txt", "new");
  put(root_ + "/sim/anything", "the machine's own records are not the guest's");

  CliResult r = tarvik_sim(root_, {"diff", "s1"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(
      lines(r.out),
      ElementsAre(
          "reg changed  HKLM\\SOFTWARE\\Kovenu /v Old  REG_SZ  a -> b",
          "reg removed  HKLM\\SOFTWARE\\Kovenu /v Gone  REG_DWORD  0x7",
          "reg added    HKLM\\SOFTWARE\\Kovenu /ve  REG_SZ  dflt",
          "reg added    HKLM\\SOFTWARE\\Kovenu\\New",
          "reg added    HKLM\\SOFTWARE\\Kovenu\\New /v N  REG_DWORD  0x1",
          "reg changed  [D:\\Windows\\System32\\config\\SYSTEM]\\Setup /v Stage  REG_DWORD  0x1 "
          "-> REG_SZ  done",
          "file changed C:\\Users\\a.txt  (3 -> 4 bytes)", "file removed C:\\gone.txt",
          "file added   C:\\Users\\b.txt  (3 bytes)"));

  EXPECT_EQ(tarvik_sim(root_, {"diff", "nosuch"}).code, 2);
  EXPECT_EQ(tarvik_sim(root_, {"snapshot", "../out"}).code, 2);
  EXPECT_EQ(tarvik_sim(root_, {"diff"}).code, 2);
}

TEST_F(SimBootTest, DiffListsWhatTheAgentChangedOfTheMachineItself) {
  init_guest();
  ASSERT_EQ(tarvik_sim(root_, {"snapshot", "s1"}).code, 0);
  // The data disk partitioned and lettered, the system volume extended, the time service
  // started, the loopback adapter installed.
  for (std::vector<std::string> op : {std::vector<std::string>{"disk"},
                                      {"ntp", "time.example"},
                                      {"ip_segment", "a", "b", "10.9.0.1", "32"}}) {
    op.insert(op.begin(), {"config", "windows"});
    ASSERT_EQ(tarvik(root_, op).out, "0:success") << op[2];
  }
  auto machine_lines = [&](const std::string& snapshot) {
    CliResult r = tarvik_sim(root_, {"diff", snapshot});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> out;
    for (const auto& l : lines(r.out))
      if (l.rfind("reg ", 0) != 0 && l.rfind("file ", 0) != 0) out.push_back(l);
    return out;
  };
  using ::testing::MatchesRegex;
  EXPECT_THAT(
      machine_lines("s1"),
      ElementsAre(
          "disk changed Disk 0  free_mb  10240 -> 0", "disk changed Disk 1  style  raw -> mbr",
          "disk changed Disk 1  partitions  (none) -> 07",
          "disk changed Disk 1  letters  (none) -> d", "disk changed Disk 1  free_mb  20480 -> 0",
          "service changed W32Time  state  stopped -> running", "adapter added Ethernet 3",
          "adapter added Ethernet 3  index  13", "adapter added Ethernet 3  mac  02:00:4c:4f:4f:50",
          MatchesRegex("adapter added Ethernet 3  id  \\{[-0-9A-F]{36}\\}"),
          "adapter added Ethernet 3  description  Microsoft KM-TEST Loopback "
          "Adapter",
          "adapter added Ethernet 3  present_after_ms  0"));

  // A restart stops the service again; a disk that went is one line and its settings.
  ASSERT_EQ(tarvik_sim(root_, {"snapshot", "s2"}).code, 0);
  ASSERT_EQ(tarvik_sim(root_, {"reboot"}).code, 0);
  std::string ini = slurp(root_ + "/machine.ini");
  put(root_ + "/machine.ini",
      ini.substr(0, ini.find("[disk.2]")) + ini.substr(ini.find("[device.1]")));
  EXPECT_THAT(machine_lines("s2"),
              ElementsAre("disk removed Disk 1", "disk removed Disk 1  style  mbr",
                          "disk removed Disk 1  partitions  07", "disk removed Disk 1  letters  d",
                          "disk removed Disk 1  free_mb  0", "disk removed Disk 1  readonly  0",
                          "disk removed Disk 1  online  1", "disk removed Disk 1  layout_fails  0",
                          "service changed W32Time  state  running -> stopped"));
  // A snapshot kept before machines were in snapshots shows none of them.
  fs::remove(root_ + "/sim/snapshots/s2/machine.txt");
  EXPECT_THAT(machine_lines("s2"), IsEmpty());
}

}  // namespace
}  // namespace tarvik::test
