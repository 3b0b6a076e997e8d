// The simulated process runner: scripted rules, the built-in tools that change the
// machine, and real programs in the simulated drives.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>

#include "support/cli.h"
#include "support/sim_guest.h"

namespace tarvik::test {
namespace {

class SimProc : public SimGuestTest {
 protected:
  // An executable shell script in the guest's System32.
  void script(const std::string& name, const std::string& body) {
    std::string path = root_ + "/c/Windows/System32/" + name;
    write(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
  }
  std::string calls() { return read(root_ + "/sim/calls.jsonl"); }
  // What the built-in diskpart answers to script.
  std::string diskpart(const std::string& script) {
    std::string out;
    EXPECT_EQ(procs().run_with_input("diskpart", script, 20000, 65535, out), 0u);
    return out;
  }
  Processes& procs() { return p().processes(); }
};

TEST_F(SimProc, RulesAnswerInFileOrderAndRunOutOfTimes) {
  write(root_ + "/sim/tools.ini",
        "[rule.exists]\n"
        "match=netsh interface ip add address *\n"
        "exit=1\n"
        "output=The object already exists.\\r\\n\\tTab\\\\     ; comment\n"
        "times=2\n"
        "[rule.any-netsh]\n"
        "match=NETSH ?nterface*\n"
        "exit=0\n"
        "output=Ok.\n");
  std::string cmd = "netsh interface ip add address \"Ethernet\" 10.0.0.5 255.255.255.0";
  for (int i = 0; i < 3; ++i) {
    uint32_t code = 99;
    std::string out;
    ASSERT_EQ(procs().run(cmd, 4096, code, out), 0u);
    if (i < 2) {
      EXPECT_EQ(code, 1u);
      EXPECT_EQ(out, "The object already exists.\r\n\tTab\\");
    } else {
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(out, "Ok.");
    }
  }
  // The count lives on disk, so a new process sees the rule used up too.
  reload();
  uint32_t code = 99;
  std::string out;
  ASSERT_EQ(procs().run(cmd, 3, code, out), 0u);
  EXPECT_EQ(out, "Ok.");
  EXPECT_NE(calls().find("{\"n\":4,"), std::string::npos);
  EXPECT_NE(calls().find("\"exit\":1,\"output\":\"The object already exists.\\r\\n\\tTab\\\\\","
                         "\"via\":\"rule\",\"how\":\"run\""),
            std::string::npos);
}

TEST_F(SimProc, MissingProgramFailsWithFileNotFound) {
  uint32_t code = 7;
  std::string out = "kept";
  EXPECT_EQ(procs().run("nosuchtool.exe /x", 4096, code, out), win::kFileNotFound);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(procs().run_with_input("C:\\Windows\\nosuch", "x", 100, 100, out), win::kFileNotFound);
  EXPECT_NE(calls().find("\"exit\":2,\"output\":\"\",\"via\":\"missing\""), std::string::npos);
}

TEST_F(SimProc, RealProgramsGetArgvSplitAsTheCRuntimeSplitsIt) {
  script("showargs.exe", "for a in \"$@\"; do printf '[%s]' \"$a\"; done; echo oops >&2; exit 3\n");
  uint32_t code = 0;
  std::string out;
  // Quoted blanks, \" inside and outside quotes, 2n backslashes before a quote, "" inside
  // quotes, and backslashes that stand alone.
  ASSERT_EQ(procs().run("showargs \"a b\" c\\\"d \"e\\\\\" f\\\\g \"x\"\"y\" 'q'", 4096, code, out),
            0u);
  EXPECT_EQ(out, "[a b][c\"d][e\\][f\\\\g][x\"y]['q']oops\n");
  EXPECT_EQ(code, 3u);
  // The program folder is searched first, then System32; .bat runs through the shell.
  write(root_ + "/c/ProgramData/kovenu/tarvik/helper.bat", "echo from-batch $1\n");
  ASSERT_EQ(procs().run("helper arg", 4096, code, out), 0u);
  EXPECT_EQ(out, "from-batch arg\n");
  EXPECT_NE(calls().find("\"via\":\"exec\""), std::string::npos);
}

TEST_F(SimProc, LargeOutputNeverBlocksAndOnlyTheFirstPartIsKept) {
  script("chatty.exe", "head -c 1048576 /dev/zero | tr '\\0' 'a'; printf 'b\\0c'\n");
  auto start = std::chrono::steady_clock::now();
  uint32_t code = 1;
  std::string out;
  ASSERT_EQ(procs().run("chatty", 4096, code, out), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(out, std::string(4096, 'a'));
  // Text stops at the first NUL.
  script("nul.exe", "printf 'ab\\0cd'\n");
  ASSERT_EQ(procs().run("nul.exe", 4096, code, out), 0u);
  EXPECT_EQ(out, "ab");
}

TEST_F(SimProc, InputIsFedAndSlowChildrenAreBounded) {
  script("echoin.exe", "cat\n");
  std::string out;
  ASSERT_EQ(procs().run_with_input("echoin", "select disk 1\r\n", 5000, 65535, out), 0u);
  EXPECT_EQ(out, "select disk 1\r\n");  // the trailing NUL the script carries ends the text
  EXPECT_NE(calls().find("\"stdin\":\"select disk 1\\r\\n\""), std::string::npos);

  // A child that neither reads nor ends: the wait is bounded and a large input cannot
  // block the writer.
  script("stuck.exe", "echo started; sleep 30\n");
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(procs().run_with_input("stuck", std::string(1 << 20, 'x'), 300, 100, out), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(out, "started\n");
}

TEST_F(SimProc, DetachedChildrenWriteToTheirFileAndMayOutliveTheWait) {
  mkdirs(root_ + "/c/ProgramData/userdata");
  write(root_ + "/c/ProgramData/userdata/script.bat",
        "::bat\necho hello; pwd; sleep 1; echo done\n");
  uint32_t code = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(procs().start_detached("C:\\ProgramData\\userdata\\script.bat",
                                   "C:\\ProgramData\\userdata\\script.bat.log", 200, code),
            0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(code, win::kStillActive);
  std::string log = root_ + "/c/ProgramData/userdata/script.bat.log";
  for (int i = 0; i < 100 && read(log).find("done") == std::string::npos; ++i) ::usleep(50 * 1000);
  EXPECT_NE(read(log).find("hello\n" + std::filesystem::canonical(root_).string() +
                           "/c/ProgramData/userdata\n"),
            std::string::npos);
  EXPECT_NE(read(log).find("done"), std::string::npos);

  script("quick.exe", "exit 4\n");
  ASSERT_EQ(procs().start_detached("quick", "C:\\ProgramData\\userdata\\q.log", 5000, code), 0u);
  EXPECT_EQ(code, 4u);
}

// ---------------------------------------------------------------------------------------
// Built-in tools

TEST_F(SimProc, DiskpartPartitionsAssignsTheNextFreeLetterAndExtends) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[disk.1]\nnumber=0\nstyle=mbr\npartitions=07\nletters=c\nfree_mb=500\n"
                  "[disk.2]\nnumber=1\nstyle=raw\nonline=0\n"
                  "[disk.3]\nnumber=2\nstyle=gpt\nletters=e\n");
  mkdirs(root_ + "/d");  // D: is taken by a drive folder, E: by disk 2
  std::string out;
  ASSERT_EQ(procs().run_with_input("diskpart",
                                   "select disk 1\r\nattribute disk clear readonly\r\n"
                                   "online disk\r\nexit\r\n",
                                   20000, 65535, out),
            0u);
  EXPECT_NE(out.find("Disk 1 is now the selected disk."), std::string::npos);
  EXPECT_NE(out.find("DiskPart successfully onlined the selected disk."), std::string::npos);
  ASSERT_EQ(procs().run_with_input("diskpart",
                                   "select disk 1\r\ncreate partition primary \r\nformat quick"
                                   "\r\nassign\r\nexit\r\n",
                                   20000, 65535, out),
            0u);
  for (const char* line : {"DiskPart succeeded in creating the specified partition.",
                           "DiskPart successfully formatted the volume.",
                           "DiskPart successfully assigned the drive letter or mount point."})
    EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/f"));
  std::string ini = read(root_ + "/machine.ini");
  EXPECT_NE(ini.find("[disk.2]\nnumber=1\nstyle=mbr\nonline=1\nreadonly=0\npartitions=07\n"
                     "free_mb=0\nletters=f\n"),
            std::string::npos)
      << ini;
  EXPECT_NE(ini.find("[clock]\nmode=virtual\n"), std::string::npos);  // the rest is kept

  // The devices backend sees the new letter at once.
  std::unique_ptr<Disk> disk;
  ASSERT_EQ(p().devices().open("\\\\.\\F:", disk), 0u);
  uint32_t number = 9;
  ASSERT_EQ(disk->device_number(number), 0u);
  EXPECT_EQ(number, 1u);

  const char* extend = "select volume c\r\nextend\r\nexit\r\n";
  ASSERT_EQ(
      procs().run_with_input("C:\\Windows\\System32\\DISKPART.EXE", extend, 20000, 65535, out), 0u);
  EXPECT_NE(out.find("DiskPart successfully extended the volume."), std::string::npos);
  ASSERT_EQ(procs().run_with_input("diskpart", extend, 20000, 65535, out), 0u);
  EXPECT_NE(out.find("There is not enough usable free space on specified disk(s)."),
            std::string::npos);
  EXPECT_NE(calls().find("\"via\":\"builtin\",\"how\":\"stdin\""), std::string::npos);
}

TEST_F(SimProc, DiskpartRewritesOnlyTheKeysItChanges) {
  std::string ini = std::string(kDefaultMachineIni) +
                    "; disks of the test machine\r\n"
                    "[disk.1]\r\nnumber=0\r\nstyle=mbr\r\npartitions=07\r\nletters=c\r\n"
                    "free_mb = 500   ; grows later\r\n"
                    "note=a #1 ; b\r\n"
                    "\r\n# the data disk\r\n"
                    "[disk.2]\r\nnumber=1\r\nstyle=raw\r\nonline=1\r\nonline=0\r\n"
                    "label=x ;y";
  set_machine_ini(ini);
  ASSERT_NE(diskpart("select volume c\r\nextend\r\nexit\r\n")
                .find("DiskPart successfully extended the volume."),
            std::string::npos);
  ASSERT_NE(diskpart("select disk 1\r\nattribute disk clear readonly\r\nonline disk\r\nexit\r\n")
                .find("DiskPart successfully onlined the selected disk."),
            std::string::npos);
  // The value in force (the last of two) changes; new keys follow their section.
  std::string expected = ini;
  expected.replace(expected.find("free_mb = 500"), 13, "free_mb = 0");
  expected.replace(expected.find("online=0"), 8, "online=1");
  expected += "\r\nreadonly=0\r\n";
  EXPECT_EQ(read(root_ + "/machine.ini"), expected);
}

TEST_F(SimProc, AReadOnlyMachineIniIsNotChanged) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[disk.1]\nnumber=0\nstyle=mbr\npartitions=07\nletters=c\nfree_mb=500\n"
                  "[adapter.1]\nindex=11\nname=Ethernet\nmac=52:54:00:12:34:56\n");
  std::string path = root_ + "/machine.ini", ini = read(path);
  ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
  EXPECT_EQ(diskpart("select volume c\r\nextend\r\nexit\r\n"),
            "Virtual Disk Service error:\r\nAccess is denied.\r\n");
  std::string out;
  uint32_t code = 0;
  ASSERT_EQ(
      procs().run("devcon_x64.exe install C:\\Windows\\inf\\netloop.inf *MSLOOP", 4096, code, out),
      0u);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(read(path), ini);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST_F(SimProc, CallsAreNumberedOnFromTheLastLineOrByCountingTheLines) {
  write(root_ + "/sim/tools.ini", "[rule.1]\nmatch=*\nexit=0\noutput=\n");
  reload();
  uint32_t code = 0;
  std::string out;
  // A line longer than one read from the end: its start is still found.
  std::string long_arg(10000, 'x');
  for (const std::string& cmd : {std::string("a"), "b " + long_arg, std::string("c")})
    ASSERT_EQ(procs().run(cmd, 4096, code, out), 0u);
  std::string text = calls();
  EXPECT_EQ(text.find("{\"n\":1,"), 0u);
  EXPECT_NE(text.find("\n{\"n\":2,"), std::string::npos);
  EXPECT_NE(text.find("\n{\"n\":3,"), std::string::npos);
  // A last line that does not carry its number (written by hand): lines are counted.
  write(root_ + "/sim/calls.jsonl", text + "a note\n");
  ASSERT_EQ(procs().run("d", 4096, code, out), 0u);
  EXPECT_NE(calls().find("a note\n{\"n\":5,"), std::string::npos);
}

TEST_F(SimProc, CallsAreListedWithPathsAsTheyAreAndEachOnOneLine) {
  write(root_ + "/sim/tools.ini", "[rule.1]\nmatch=*\nexit=3\noutput=\n");
  reload();
  uint32_t code = 0;
  std::string out;
  ASSERT_EQ(procs().run("bcdboot d:\\windows \"a b\" x\ny", 4096, code, out), 0u);
  CliResult r = tarvik_sim(root_, {"calls"});
  EXPECT_EQ(r.out, "#1 0ms run/rule exit=3  bcdboot d:\\windows \"a b\" x\\ny\n");
}

TEST_F(SimProc, DevconInstallsALoopbackAdapter) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[adapter.1]\nindex=11\nname=Ethernet\nmac=52:54:00:12:34:56\n");
  uint32_t code = 9;
  std::string out;
  ASSERT_EQ(procs().run("C:\\kovenu\\devcon_x64.exe install C:\\Windows\\inf\\netloop.inf *MSLOOP",
                        4096, code, out),
            0u);
  EXPECT_EQ(code, 0u);
  std::vector<AdapterAddresses> list;
  ASSERT_EQ(p().network().adapters_addresses(list), 0u);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].description, "Microsoft KM-TEST Loopback Adapter");
  EXPECT_EQ(list[1].friendly_name, "Ethernet 2");
  EXPECT_EQ(list[1].index, 12u);
  EXPECT_EQ(list[1].adapter_name.size(), 38u);
  ASSERT_EQ(procs().run("devcon_x86.exe disable *MSLOOP", 4096, code, out), 0u);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace tarvik::test
