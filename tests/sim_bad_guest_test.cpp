// A simulated guest that is broken, or asked to break itself, says so as Windows would,
// instead of going on as some other guest.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "support/cli.h"
#include "support/sim_guest.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

using ::testing::HasSubstr;

class SimBadGuestTest : public TempGuestTest {
 protected:
  void SetUp() override {
    TempGuestTest::SetUp();
    init_guest();
  }
  // Replaces "key=..." of machine.ini (the key must be there already).
  void set_machine(const std::string& key, const std::string& value) {
    std::string ini = slurp(root_ + "/machine.ini");
    ini = std::regex_replace(ini, std::regex("(^|\n)" + key + "=[^\n]*"), "$1" + key + "=" + value,
                             std::regex_constants::format_first_only);
    put(root_ + "/machine.ini", ini);
  }
  std::string hive(const char* name) { return root_ + "/c/Windows/System32/config/" + name; }
};

TEST_F(SimBadGuestTest, NumbersOfMachineIniAreCheckedWithFileAndLine) {
  const struct {
    const char* key;
    const char* value;
  } cases[] = {{"memory_mb", "12345678901234567890123"},
               {"hypervisor_max", "0x1G"},
               {"index", "99999999999"},  // above 32 bits
               {"index", "-1"}};
  for (const auto& c : cases) {
    std::string saved = slurp(root_ + "/machine.ini");
    set_machine(c.key, c.value);
    CliResult r = tarvik(root_, {"config", "x", "host", "a", "b"});
    EXPECT_EQ(r.code, 2) << c.key << "=" << c.value;
    EXPECT_THAT(
        r.err, ::testing::MatchesRegex(".*machine\\.ini:[0-9]+: .*" + std::string(c.key) + ".*\n"));
    EXPECT_EQ(tarvik_sim(root_, {"reg", "query", "HKLM\\SYSTEM\\Select"}).code, 2);
    put(root_ + "/machine.ini", saved);
  }
  // A code page of twenty digits once ended the agent with an uncaught exception.
  set_machine("codepage", "12345678901234567890");
  CliResult r = tarvik(root_, {"config", "x", "host", "a", "b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("[system] codepage must be a whole number"));
}

TEST_F(SimBadGuestTest, DamagedHivesAreNamedWithFileAndLine) {
  // The running system cannot start without SYSTEM: the agent stops at once.
  std::string system = slurp(hive("SYSTEM"));
  put(hive("SYSTEM"), system + "\"x\"=dword:zz\n");
  CliResult r = tarvik(root_, {"config", "x", "host", "a", "b"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(hive("SYSTEM") + ": line "));
  EXPECT_EQ(r.out, "");

  // tarvik-sim names the file and line of a damaged hive and exits 2, not 1 (a refusal).
  r = tarvik_sim(root_, {"reg", "query", "HKLM\\SYSTEM\\Select"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(hive("SYSTEM") + ": line "));
  put(hive("SYSTEM"), system);

  // An empty file, or one cut after its version line, is no hive at all (a missing one is
  // an empty hive).
  for (const char* text : {"", "Windows Registry Editor Version 5.00\r\n\r\n"}) {
    put(hive("SOFTWARE"), text);
    r = tarvik_sim(root_, {"reg", "query", "HKLM\\SOFTWARE\\Microsoft"});
    EXPECT_EQ(r.code, 2);
    EXPECT_THAT(r.err, HasSubstr(hive("SOFTWARE") + ": line 1: not a hive"));
  }
  std::filesystem::remove(hive("SOFTWARE"));
  EXPECT_EQ(tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\New", "/f"}).code, 0);
  // A hive emptied of every key is still one.
  EXPECT_EQ(tarvik_sim(root_, {"reg", "delete", "HKLM\\SOFTWARE\\New", "/f"}).code, 0);
  EXPECT_EQ(tarvik_sim(root_, {"reg", "query", "HKLM\\SOFTWARE"}).code, 0);
}

TEST_F(SimBadGuestTest, ReadOnlyHivesAndExportTargetsAreNotReplaced) {
  namespace fs = std::filesystem;
  const fs::perms read_only =
      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  std::string software = slurp(hive("SOFTWARE"));
  fs::permissions(hive("SOFTWARE"), read_only);
  CliResult r = tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\T", "/v", "a", "/d", "b", "/f"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("Access is denied."));
  EXPECT_EQ(slurp(hive("SOFTWARE")), software);
  EXPECT_EQ(fs::status(hive("SOFTWARE")).permissions(), read_only);

  std::string target = root_ + "/c/out.reg";
  put(target, "kept");
  fs::permissions(target, read_only);
  r = tarvik_sim(root_, {"reg", "export", "HKLM\\SYSTEM\\Select", "C:\\out.reg", "/y"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("Access is denied."));
  EXPECT_EQ(slurp(target), "kept");
  EXPECT_EQ(fs::status(target).permissions(), read_only);

  // A writable file keeps its mode when it is replaced.
  const fs::perms own = fs::perms::owner_read | fs::perms::owner_write;
  fs::permissions(target, own);
  EXPECT_EQ(tarvik_sim(root_, {"reg", "export", "HKLM\\SYSTEM\\Select", "C:\\out.reg", "/y"}).code,
            0);
  EXPECT_NE(slurp(target), "kept");
  EXPECT_EQ(fs::status(target).permissions(), own);
}

TEST_F(SimBadGuestTest, TemporariesOfKilledWritersAreRemovedByTheNextWrite) {
  // The number of a process that has ended.
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  // And one that has ended but is not reaped yet.
  pid_t zombie = ::fork();
  if (zombie == 0) ::_exit(0);
  ASSERT_GT(zombie, 0);
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, zombie, &info, WEXITED | WNOWAIT), 0);
  std::string stale = hive("SOFTWARE") + ".tmp." + std::to_string(gone);
  std::string unreaped = hive("SOFTWARE") + ".tmp." + std::to_string(zombie);
  std::string live = hive("SOFTWARE") + ".tmp." + std::to_string(::getpid());
  std::string other = hive("SYSTEM") + ".tmp." + std::to_string(gone);
  for (const std::string& f : {stale, unreaped, live, other}) put(f, "half a hive");
  ASSERT_EQ(tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\T", "/f"}).code, 0);
  ::waitpid(zombie, nullptr, 0);
  EXPECT_FALSE(std::filesystem::exists(stale));
  EXPECT_FALSE(std::filesystem::exists(unreaped));
  EXPECT_TRUE(std::filesystem::exists(live));   // a writer that still runs
  EXPECT_TRUE(std::filesystem::exists(other));  // another file's, until it is written
  EXPECT_EQ(tarvik_sim(root_, {"reg", "query", "HKLM\\SOFTWARE\\T"}).code, 0);
}

TEST_F(SimBadGuestTest, RegRefusesWhatWouldBreakTheGuest) {
  // A mistyped --hive path makes no new hive.
  std::string typo = "C:\\Windows\\System32\\config\\SYSTEMX";
  CliResult r =
      tarvik_sim(root_, {"reg", "--hive", typo, "add", "Key", "/v", "a", "/d", "b", "/f"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("no such hive file"));
  EXPECT_FALSE(std::filesystem::exists(hive("SYSTEMX")));

  // The live hive is in use: an export over it is a sharing violation, and it stays.
  std::string system = slurp(hive("SYSTEM"));
  r = tarvik_sim(root_, {"reg", "export", "HKLM\\SYSTEM\\Select",
                         "C:\\WINDOWS\\system32\\CONFIG\\system", "/y"});
  EXPECT_EQ(r.code, 1);
  EXPECT_THAT(r.err, HasSubstr("being used by another process"));
  // The same through the hive's host path, and the --hive file over itself.
  EXPECT_EQ(tarvik_sim(root_, {"reg", "export", "HKLM\\SYSTEM\\Select", hive("SYSTEM"), "/y"}).code,
            1);
  std::string offline = "C:\\offline";
  put(root_ + "/c/offline", "Windows Registry Editor Version 5.00\n\n[A]\n\"v\"=\"1\"\n");
  EXPECT_EQ(tarvik_sim(root_, {"reg", "--hive", offline, "export", "A", offline, "/y"}).code, 1);
  EXPECT_EQ(slurp(hive("SYSTEM")), system);

  // A value name with a line break cannot be written to a hive; the hive stays readable.
  r = tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\T", "/v", "a\nb", "/d", "x", "/f"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(tarvik_sim(root_, {"reg", "query", "HKLM\\SOFTWARE\\Microsoft"}).code, 0);
}

TEST_F(SimBadGuestTest, AStuckLockHolderIsNotWaitedForForever) {
  std::string ini = slurp(root_ + "/machine.ini");
  put(root_ + "/machine.ini", ini + "[sim]\nlock_wait_ms=200\n");
  std::filesystem::create_directories(root_ + "/sim");
  int fd = ::open((root_ + "/sim/registry.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  CliResult r = tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\T", "/f"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr("registry.lock has been held by another process for 200 ms"));
  ::close(fd);
  EXPECT_EQ(tarvik_sim(root_, {"reg", "add", "HKLM\\SOFTWARE\\T", "/f"}).code, 0);
}

class SimBadRecords : public SimGuestTest {};

TEST_F(SimBadRecords, MalformedRulesStopEveryStartInsteadOfBeingIgnored) {
  write(root_ + "/sim/tools.ini", "[rule.1]\nmatch=diskpart*\nthis is no rule\n");
  uint32_t code = 99;
  std::string out = "kept";
  testing::internal::CaptureStderr();
  Status s = p().processes().run_with_input("diskpart", "select disk 1\r\nonline disk\r\n", 1000,
                                            code, out);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(s, 1610u);  // ERROR_BAD_CONFIGURATION, and the built-in diskpart never ran
  EXPECT_EQ(out, "kept");
  EXPECT_THAT(err, HasSubstr(root_ + "/sim/tools.ini:3: expected key=value"));
  EXPECT_EQ(read(root_ + "/sim/calls.jsonl").find("\"via\":\"builtin\""), std::string::npos);
}

TEST_F(SimBadRecords, MalformedMountsAreNotRewrittenNorMountedTwice) {
  mkdirs(root_ + "/d");
  write(root_ + "/d/hive", "Windows Registry Editor Version 5.00\n\n[A]\n\"v\"=\"1\"\n");
  ASSERT_EQ(p().registry().load_hive("_ONE", "D:\\hive"), 0u);
  std::string broken = read(root_ + "/sim/mounts.ini") + "not a mount line\n";
  write(root_ + "/sim/mounts.ini", broken);
  testing::internal::CaptureStderr();
  EXPECT_EQ(p().registry().load_hive("_TWO", "D:\\hive"), win::kRegistryCorrupt);
  EXPECT_EQ(p().registry().unload_hive("_ONE"), win::kRegistryCorrupt);
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("mounts.ini:3: expected key=value"));
  EXPECT_EQ(read(root_ + "/sim/mounts.ini"), broken);
}

}  // namespace
}  // namespace tarvik::test
