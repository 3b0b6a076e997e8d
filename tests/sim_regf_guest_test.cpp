// A simulated guest whose hive files are real Windows hives: the agent and tarvik-sim read
// and change them in place, and libhivex's own tools read what they wrote.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "platform/sim/regf.h"
#include "support/cli.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

class RegfGuestTest : public TempGuestTest {
 protected:
  // Every hive file of the guest, converted to regf after init.
  void make_regf_guest(bool iso) {
    init_guest(iso);
    for (const auto& file : hive_files()) {
      CliResult r = tarvik_sim("", {"hive", "convert", file, "--to", "regf"});
      ASSERT_EQ(r.code, 0) << file << ": " << r.err;
    }
  }
  std::vector<std::string> hive_files() const {
    std::vector<std::string> out;
    for (const auto& drive : fs::directory_iterator(root_)) {
      fs::path config = drive.path() / "Windows/System32/config";
      if (!fs::is_directory(config)) continue;
      for (const auto& e : fs::directory_iterator(config))
        if (e.is_regular_file()) out.push_back(e.path().string());
    }
    return out;
  }
  std::string system() const { return root_ + "/c/Windows/System32/config/SYSTEM"; }
  std::string software() const { return root_ + "/c/Windows/System32/config/SOFTWARE"; }
  std::string config(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"config", "x"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik(root_, words).out;
  }
  void expect_all_regf() {
    for (const auto& file : hive_files()) EXPECT_TRUE(sim::is_regf(slurp(file))) << file;
  }
};

TEST_F(RegfGuestTest, TheAgentChangesTheRunningSystemsRegfHives) {
  make_regf_guest(false);
  EXPECT_EQ(config({"hostname", "web-01.example.com"}), "0:success");
  EXPECT_EQ(config({"wsus", "http://wsus:8530"}), "0:success");
  expect_all_regf();
  EXPECT_EQ(
      hivexget(system(), "ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"),
      "web-01\n");
  EXPECT_EQ(hivexget(system(), "ControlSet001\\Services\\Tcpip\\Parameters", "NV Hostname"),
            "web-01\n");
  EXPECT_EQ(hivexget(software(), "Policies\\Microsoft\\Windows\\WindowsUpdate", "WUServer"),
            "http://wsus:8530\n");
  CliResult q = tarvik_sim(
      root_, {"reg", "query", "HKLM\\SOFTWARE\\Policies\\Microsoft\\Windows\\WindowsUpdate"});
  EXPECT_THAT(q.out, HasSubstr("WUServer    REG_SZ    http://wsus:8530\n"));
}

TEST_F(RegfGuestTest, RegAddQueryDeleteKeepTheFileRegf) {
  make_regf_guest(false);
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\services\\tarvik";
  CliResult r = tarvik_sim(root_, {"reg", "add", key, "/v", "ImagePath", "/t", "REG_SZ", "/d",
                                   "C:\\tarvik.exe service", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  r = tarvik_sim(root_, {"reg", "add", key, "/v", "Start", "/t", "REG_DWORD", "/d", "2", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  expect_all_regf();
  EXPECT_EQ(hivexget(system(), "ControlSet001\\services\\tarvik", "ImagePath"),
            "C:\\tarvik.exe service\n");
  EXPECT_EQ(hivexget(system(), "ControlSet001\\services\\tarvik", "Start"), "2\n");
  EXPECT_THAT(tarvik_sim(root_, {"reg", "query", key}).out,
              HasSubstr("Start    REG_DWORD    0x2\n"));
  r = tarvik_sim(root_, {"reg", "delete", key, "/v", "Start", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_THAT(hivexget(system(), "ControlSet001\\services\\tarvik", "Start"), Not(HasSubstr("2")));
  EXPECT_THAT(tarvik_sim(root_, {"reg", "query", key}).out, Not(HasSubstr("Start")));
  expect_all_regf();
}

TEST_F(RegfGuestTest, AnOfflineRegfHiveIsChangedThroughRegHive) {
  make_regf_guest(true);
  const std::string file = root_ + "/d/Windows/System32/config/SYSTEM";
  ASSERT_TRUE(sim::is_regf(slurp(file)));
  CliResult r = tarvik_sim(
      root_, {"reg", "--hive", "D:\\Windows\\System32\\config\\SYSTEM", "add",
              "ControlSet001\\services\\x", "/v", "V", "/t", "REG_SZ", "/d", "offline", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(sim::is_regf(slurp(file)));
  EXPECT_EQ(hivexget(file, "ControlSet001\\services\\x", "V"), "offline\n");
}

TEST_F(RegfGuestTest, ADamagedRegfHiveIsNamedAndLeftAlone) {
  make_regf_guest(false);
  std::string bytes = slurp(system()).substr(0, 4096 + 200);
  put(system(), bytes);
  CliResult r = tarvik_sim(root_, {"reg", "query", "HKLM\\SYSTEM\\Select"});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(system()));
  EXPECT_NE(config({"hostname", "web-01"}), "0:success");
  EXPECT_EQ(slurp(system()), bytes);
}

TEST_F(RegfGuestTest, AMediumWithRegfHivesIsInitializedWhole) {
  CliResult r = tarvik_sim("", {"init", root_, "--iso", "--hives", "regf"});
  ASSERT_EQ(r.code, 0) << r.err;
  ASSERT_EQ(hive_files().size(), 4u);
  expect_all_regf();
  const std::string target = root_ + "/d/Windows/System32/config/SYSTEM";
  EXPECT_EQ(hivexget(target, "ControlSet001\\Services\\stornvme", "Start"), "3\n");

  r = tarvik(root_, {"initialize", "x", "windows", "4096", "rg-test-01"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_EQ(r.code, 0);
  expect_all_regf();
  EXPECT_EQ(hivexget(target, "ControlSet001\\Services\\stornvme\\Parameters", "IoTimeoutValue"),
            "65535\n");  // 0xffff
  EXPECT_EQ(
      hivexget(target, "ControlSet001\\Control\\Session Manager\\Memory Management", "PagingFiles"),
      "?:\\pagefile.sys\n");
  EXPECT_EQ(hivexget(target, "ControlSet001\\Services\\tarvik", "ImagePath"),
            "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service\n");
  // The whole hive as another program exports it (text values as their UTF-16 bytes).
  const std::string exported = hivexregedit_export(target, "\\");
  EXPECT_THAT(exported, HasSubstr("[\\ControlSet001\\Services\\stornvme\\Parameters]\n"
                                  "\"IoTimeoutValue\"=dword:0000ffff\n"));
  EXPECT_THAT(exported, HasSubstr("\"PagingFiles\"=hex(7):3f,00,3a,00,5c,00,70,00,61,00,67,00,65,"
                                  "00,66,00,69,00,6c,00,65,00,2e,00,73,00,79,00,73,00,00,00\n"));
  EXPECT_THAT(exported, HasSubstr("[\\ControlSet001\\Services\\tarvik]\n"));
}

TEST_F(RegfGuestTest, InitRefusesAnUnknownHiveKind) {
  CliResult r = tarvik_sim("", {"init", root_, "--hives", "binary"});
  EXPECT_EQ(r.code, 2);
  EXPECT_FALSE(fs::exists(root_ + "/machine.ini"));
}

TEST_F(RegfGuestTest, TargetHivesFromAFolderBecomeTheOfflineInstallations) {
  // Hive files as an image holds them: here those of another regf medium's installation.
  const std::string image = dir_ + "/image", other = dir_ + "/other";
  CliResult r = tarvik_sim("", {"init", other, "--iso", "--hives", "regf"});
  ASSERT_EQ(r.code, 0) << r.err;
  fs::create_directories(image);
  for (const char* name : {"SYSTEM", "SOFTWARE"}) {
    fs::copy_file(other + "/d/Windows/System32/config/" + name, image + "/" + name);
    fs::permissions(image + "/" + name, fs::perms::owner_write, fs::perm_options::remove);
  }

  r = tarvik_sim("", {"init", root_, "--iso", "--target-hives", image});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string target = root_ + "/d/Windows/System32/config/";
  for (const char* name : {"SYSTEM", "SOFTWARE"})
    EXPECT_EQ(slurp(target + name), slurp(image + "/" + name)) << name;
  EXPECT_FALSE(sim::is_regf(slurp(root_ + "/x/Windows/System32/config/SYSTEM")));

  r = tarvik(root_, {"initialize", "x", "windows", "4096", "rg-test-01"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_TRUE(sim::is_regf(slurp(target + "SYSTEM")));
  EXPECT_EQ(hivexget(target + "SYSTEM", "ControlSet001\\Services\\stornvme\\Parameters",
                     "IoTimeoutValue"),
            "65535\n");
  EXPECT_EQ(hivexget(target + "SYSTEM", "ControlSet001\\Services\\tarvik", "ImagePath"),
            "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service\n");
}

TEST_F(RegfGuestTest, TargetHivesThatCannotBeReadMakeNoGuest) {
  const std::string image = dir_ + "/image";
  fs::create_directories(image);
  fs::copy_file(std::string(TARVIK_TEST_DATA_DIR) + "/hives/minimal", image + "/SYSTEM");
  CliResult r = tarvik_sim("", {"init", root_, "--iso", "--target-hives", image});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(image + "/SOFTWARE"));  // missing
  put(image + "/SOFTWARE", std::string("regf") + std::string(100, '\0'));
  r = tarvik_sim("", {"init", root_, "--iso", "--target-hives", image});
  EXPECT_EQ(r.code, 2);
  EXPECT_THAT(r.err, HasSubstr(image + "/SOFTWARE"));                           // damaged
  EXPECT_EQ(tarvik_sim("", {"init", root_, "--target-hives", image}).code, 2);  // no --iso
  EXPECT_FALSE(fs::exists(root_ + "/machine.ini"));
}

}  // namespace
}  // namespace tarvik::test
