// Preparing an offline installation from the medium: the initialize command and the
// driver update, by target release, host hypervisor and platform word.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "frame/utils.h"
#include "image/drivers.h"
#include "image/guest.h"
#include "image/guest_info.h"
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

constexpr char kAgent[] = "C:\\ProgramData\\kovenu\\tarvik";
constexpr FileVersion kMedium{100, 94, 104, 24200};
constexpr FileVersion kOlder{62, 77, 104, 11200};
constexpr char kSystemHive[] = "D:\\Windows\\System32\\config\\SYSTEM";
constexpr char kDismOk[] = "The operation completed successfully.";

// The medium on C: (the agent in C:\ProgramData\kovenu\tarvik, outside ISO mode so that
// every report is seen) and the offline installation on D:.
class OfflineGuestTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    host_machine("KVMKVMKVM");
    target("Windows Server 2019 Datacenter", "amd64");
    dism_answers(0);
    for (const char* dir : {"Wnet", "Wlh", "win7", "Win10"})
      for (const char* arch : {"x86", "amd64"})
        for (const char* tree : {"kvm", "xen"}) {
          std::string folder = strformat("%s\\%s\\%s\\%s", kAgent, tree, dir, arch);
          if (std::string(tree) == "kvm") {
            stamp(folder + "\\netkvm.sys", kMedium);
            stamp(folder + "\\viostor.sys", kMedium);
            write(host(folder + "\\netkvm.inf"), "[Version]\r\n");
          } else {
            stamp(folder + "\\xennet.sys", {9, 0, 0, 8});
          }
        }
    stamp(std::string(kAgent) + "\\zeb\\Win10\\amd64\\zxnic\\zxnic.sys", {1, 4, 0, 12});
    write(host("C:\\Windows\\Logs\\DISM\\dism.log"), "dism's own log\r\n");
    mkdirs(host("D:\\ProgramData\\kovenu\\assist"));
    mkdirs(host("D:\\ProgramData\\kovenu\\tarvik\\log"));
  }

  // A fresh machine, as a new process of the agent sees it.
  void host_machine(const std::string& hypervisor, int memory_mb = 8192) {
    utils::reset();
    GuestInfo::reset();
    set_machine_ini(
        strformat("[system]\ndrive=c\nprogram=%s\\tarvik.exe\nhypervisor=%s\n"
                  "memory_mb=%d\n[clock]\nmode=virtual\nstart=2025-01-06 09:49:05\n",
                  kAgent, hypervisor.c_str(), memory_mb));
  }
  // The offline installation: its release, architecture and SYSTEM hive (an empty
  // page-file setting, no stornvme, no xenpci unless asked for).
  void target(const std::string& product, const std::string& arch, const std::string& extra = "") {
    mkdirs(root_ + "/d/Program Files");
    write_hive("D:\\Windows\\System32\\config\\SOFTWARE",
               "[Microsoft\\Windows NT\\CurrentVersion]\r\n\"ProductName\"=\"" + product +
                   "\"\r\n\"BuildLabEx\"=\"7601.1." + arch +
                   "fre.x\"\r\n\"ReleaseId\"=\"1809\"\r\n");
    write_hive(kSystemHive,
               "[Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
               "[ControlSet001\\Control\\Session Manager\\Memory Management]\r\n"
               "\"PagingFiles\"=hex(7):00,00\r\n\r\n" +
                   extra);
    stamp("D:\\Windows\\System32\\drivers\\netkvm.sys", kOlder);
    stamp("D:\\Windows\\System32\\drivers\\viostor.sys", kOlder);
    GuestInfo::reset();
  }
  void dism_answers(int code, const std::string& output = kDismOk) {
    write(root_ + "/sim/tools.ini",
          strformat("[rule.dism]\nmatch=dism *\nexit=%d\noutput=%s\\r\\n\n"
                    "[rule.dpinst]\nmatch=*dpinst_*\nexit=0\noutput=\n",
                    code, output.c_str()));
  }
  void stamp(const std::string& win_path, FileVersion v) {
    mkdirs(fs::path(host(win_path)).parent_path());
    ASSERT_TRUE(sim::write_version_stamp(host(win_path), v));
  }
  FileVersion version(const std::string& win_path) {
    FileVersion v;
    platform().files().file_version(win_path, v, step_);
    return v;
  }
  int initialize(std::vector<std::string> words) {
    words.insert(words.begin(), "initialize");
    return run(words);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  // A value of the offline SYSTEM hive, read back through a mount of its own.
  bool offline(const std::string& key, const std::string& name, RegValue& out) {
    Registry& r = platform().registry();
    if (r.load_hive("CHECK", kSystemHive) != 0) return false;
    RegKey k;
    bool found =
        r.open("CHECK\\ControlSet001\\" + key, reg::kKeyRead, k) == 0 && k.query(name, out) == 0;
    k.close();
    r.unload_hive("CHECK");
    return found;
  }
  bool offline_key(const std::string& key) {
    Registry& r = platform().registry();
    if (r.load_hive("CHECK", kSystemHive) != 0) return false;
    RegKey k;
    bool found = r.open("CHECK\\ControlSet001\\" + key, reg::kKeyRead, k) == 0;
    k.close();
    r.unload_hive("CHECK");
    return found;
  }
  std::string paging_files() {
    RegValue v;
    return offline("Control\\Session Manager\\Memory Management", "PagingFiles", v) ? v.data
                                                                                    : "(none)";
  }
  bool nvme_timeout_set() {
    RegValue v;
    return offline("Services\\stornvme\\Parameters", "IoTimeoutValue", v) &&
           v.type == reg::kDword && v.data == std::string("\xFF\xFF\0\0", 4);
  }
  std::string dpinst_flag() {
    std::string out;
    platform().files().profile_get("update", "dpinst", "", out, 16,
                                   std::string(kAgent) + "\\tarvik.ini");
    return out;
  }
  bool mounted() { return read(root_ + "/sim/mounts.ini").find("_SYSTEM") != std::string::npos; }
  std::string kvm_dism(const char* dir, const char* arch = "amd64") {
    return strformat("dism /image:d:\\ /add-driver /driver:%s\\kvm\\%s\\%s /ForceUnsigned", kAgent,
                     dir, arch);
  }

  VersionStep step_ = VersionStep::kNone;
};

// --- The roads of initialize

TEST_F(OfflineGuestTest, A2016TargetOnKvmGetsTheKvmDriversAndEveryRegistryFix) {
  EXPECT_EQ(initialize({"windows", "x", "4096", "rg-test-01"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_EQ(read(host("D:\\ProgramData\\kovenu\\assist\\region-id")), "rg-test-01");
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\netkvm.sys").revision, kMedium.revision);
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\viostor.sys").revision, kMedium.revision);
  EXPECT_FALSE(platform().files().exists("D:\\Windows\\System32\\drivers\\netkvm.inf"));
  EXPECT_THAT(cmdlines(), ElementsAre("dism /image:d:\\ /add-driver "
                                      "/driver:C:\\ProgramData\\kovenu\\tarvik\\kvm\\Win10\\amd64 "
                                      "/ForceUnsigned"));
  EXPECT_EQ(paging_files(), std::string("?:\\pagefile.sys\0", 16));
  EXPECT_TRUE(nvme_timeout_set());
  EXPECT_FALSE(offline_key("services\\viostor"));
  EXPECT_FALSE(offline_key("services\\xenpci"));
  EXPECT_EQ(dpinst_flag(), "");
  EXPECT_FALSE(mounted());
  std::vector<std::string> log = log_messages();
  EXPECT_THAT(log, Contains("version of virtio installed is 100.94.104.24200"));
  EXPECT_THAT(log, Contains("-->modify nvme driver io hang timeout success"));
  EXPECT_EQ(log.back(), "tarvik exit 0,success");
}

TEST_F(OfflineGuestTest, ThePlatformWordZebTakesTheZenTrixTreeOnlyInSmallLetters) {
  EXPECT_EQ(initialize({"windows", "zeb", "4096"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre("dism /image:d:\\ /add-driver "
                                      "/driver:C:\\ProgramData\\kovenu\\tarvik\\zeb\\Win10\\amd64 "
                                      "/Recurse /ForceUnsigned"));
  // No driver files copied.
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\netkvm.sys").revision, kOlder.revision);
  EXPECT_THAT(log_messages(), Contains("-->guest::Use dism to install Zen-Trix related drivers."));
  EXPECT_TRUE(nvme_timeout_set());

  fs::remove(root_ + "/sim/calls.jsonl");
  EXPECT_EQ(initialize({"windows", "ZEB", "4096"}), 0);
  EXPECT_THAT(cmdlines(), ElementsAre(kvm_dism("Win10")));
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\netkvm.sys").revision, kMedium.revision);
}

TEST_F(OfflineGuestTest, AZenTrixDismFailureIsReportedWithItsCode) {
  dism_answers(2, "Error: 2");
  EXPECT_EQ(initialize({"windows", "zeb", "4096"}), 0);
  EXPECT_EQ(stdout_, "2:dism install ZenTrix related drivers fail err:20:success");
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:install_virtio_error Error: 2"));
}

TEST_F(OfflineGuestTest, A2008TargetTakesTheBootDriverIntoTheRegistryWhenDismAnswers50) {
  target("Windows Server 2008 Enterprise", "x86");
  EXPECT_EQ(initialize({"windows", "zeb", "4096"}), 0);  // zeb means nothing for 2008
  EXPECT_THAT(cmdlines(), ElementsAre(kvm_dism("Wlh", "x86")));
  EXPECT_FALSE(offline_key("services\\viostor"));
  EXPECT_EQ(dpinst_flag(), "");
  EXPECT_EQ(paging_files(), std::string("?:\\pagefile.sys\0", 16));

  target("Windows Server 2008 Enterprise", "x86");
  dism_answers(50, "Error: 50");
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_EQ(stdout_, "0:success");  // 50 is no failure for 2008
  EXPECT_TRUE(offline_key("services\\viostor"));
  EXPECT_TRUE(
      offline_key("Control\\CriticalDeviceDatabase\\pci#ven_1af4&dev_1001&subsys_00021af4&rev_00"));
  EXPECT_EQ(dpinst_flag(), "1");
  EXPECT_TRUE(nvme_timeout_set());
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("install_virtio_error"))));
}

TEST_F(OfflineGuestTest, Win7AnsweredWith50FailsAndKeepsDismsLog) {
  target("Windows 7 Professional", "amd64");
  dism_answers(50, "Error: 50\\r\\n\\r\\nThe request is not supported.");
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  // Outside ISO mode the flow goes on after the report.
  EXPECT_EQ(stdout_, "50:dism intall driver fail err:500:success");
  EXPECT_THAT(cmdlines(), ElementsAre(kvm_dism("win7")));
  std::vector<std::string> log = log_messages();
  // Line ends inside a log line are escaped, those at its end dropped.
  EXPECT_THAT(log, Contains("cmd:" + kvm_dism("win7") +
                            "  code:50  out:Error: 50\\r\\n\\r\\nThe request is not supported."));
  EXPECT_THAT(log, Contains("TARVIK_REPORT_ERROR:install_virtio_error Error: 50\\r\\n\\r\\nThe "
                            "request is not supported."));
  std::string copy = strformat("D:\\ProgramData\\kovenu\\tarvik\\log\\dism_%lld.log",
                               static_cast<long long>(platform().clock().unix_seconds()));
  EXPECT_EQ(read(host(copy)), "dism's own log\r\n");
  EXPECT_FALSE(offline_key("services\\viostor"));
  EXPECT_EQ(dpinst_flag(), "");
}

TEST_F(OfflineGuestTest, A2003TargetNeverRunsDismAndAlwaysGetsTheRegistryBootDriver) {
  target("Microsoft Windows Server 2003 R2", "x86");
  EXPECT_EQ(initialize({"windows", "x", "1024"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), IsEmpty());
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\viostor.sys").revision, kMedium.revision);
  EXPECT_TRUE(offline_key("services\\viostor\\Parameters\\PnpInterface"));
  EXPECT_EQ(dpinst_flag(), "1");
  // No page file for 2003, however small the memory.
  EXPECT_EQ(paging_files(), std::string(2, '\0'));
  EXPECT_TRUE(nvme_timeout_set());
}

TEST_F(OfflineGuestTest, OnXenOnlyTheXenFilesAndTheDpinstFlagAndTheHiveIsNeverMounted) {
  host_machine("XenVMMXenVMM");
  // A SYSTEM hive that cannot be mounted would be reported by any attempt.
  write(host(kSystemHive), "regf: not readable here");
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), IsEmpty());
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\xennet.sys").revision, 8);
  EXPECT_EQ(dpinst_flag(), "1");
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("RegLoadKey"))));

  // The same with the Zen-Trix word: the flag only.
  fs::remove(host("D:\\Windows\\System32\\drivers\\xennet.sys"));
  EXPECT_EQ(initialize({"windows", "zeb", "4096"}), 0);
  EXPECT_FALSE(platform().files().exists("D:\\Windows\\System32\\drivers\\xennet.sys"));
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("RegLoadKey"))));
}

TEST_F(OfflineGuestTest, WithoutAKnownHypervisorTheFilesComeFromBelowTheAgentFolder) {
  host_machine("");
  stamp(std::string(kAgent) + "\\Win10\\amd64\\plain.sys", {1, 0, 0, 1});
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\plain.sys").revision, 1);
  EXPECT_THAT(log_messages(), Contains("src is :C:\\ProgramData\\kovenu\\tarvik\\\\Win10\\amd64 "
                                       "dst is :d:\\Windows\\System32\\drivers"));
  EXPECT_EQ(dpinst_flag(), "1");
  EXPECT_THAT(cmdlines(), IsEmpty());
}

TEST_F(OfflineGuestTest, AMissingDriverFolderIsReportedAndTheRestGoesOn) {
  fs::remove_all(host(std::string(kAgent) + "\\kvm\\Win10\\amd64"));
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_EQ(stdout_, "2:copy viostor error0:success");
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:copy_files err:2"));
  EXPECT_TRUE(nvme_timeout_set());
}

TEST_F(OfflineGuestTest, AnUnknownReleaseSkipsTheDriversButNotTheRegistryFixes) {
  target("Windows Vista Business", "amd64");
  write_hive("D:\\Windows\\System32\\config\\SOFTWARE",
             "[Microsoft\\Windows NT\\CurrentVersion]\r\n\"ProductName\"=\"Windows Vista "
             "Business\"\r\n");
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_THAT(stdout_, HasSubstr("-1:not suport Windows Vista Business"));
  EXPECT_THAT(stdout_, testing::EndsWith("0:success"));
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:unknown_win_version "));
  EXPECT_THAT(cmdlines(), IsEmpty());
  EXPECT_TRUE(nvme_timeout_set());
}

// --- Version skip of 2008 and win7

TEST_F(OfflineGuestTest, CurrentDriversOf2008AndWin7SkipEverythingButTheRegionId) {
  for (const char* product :
       {"Windows Server 2008 Datacenter", "Windows Server 2008 R2 Enterprise"}) {
    target(product, "amd64");
    // Equal revisions count, whatever the other fields say.
    stamp("D:\\Windows\\System32\\drivers\\netkvm.sys", {1, 2, 3, kMedium.revision});
    stamp("D:\\Windows\\System32\\drivers\\viostor.sys", {4, 5, 6, kMedium.revision});
    std::string before = read(host(kSystemHive));
    EXPECT_EQ(initialize({"windows", "x", "4096", "rg-1"}), 0);
    EXPECT_EQ(stdout_, "0:success");
    EXPECT_EQ(read(host("D:\\ProgramData\\kovenu\\assist\\region-id")), "rg-1");
    EXPECT_THAT(cmdlines(), IsEmpty());
    EXPECT_EQ(read(host(kSystemHive)), before);
    EXPECT_THAT(log_messages(), Contains("netkvmInIso:24200 netkvm:24200 viostorInIso:24200 "
                                         "viostor:24200"));
    EXPECT_THAT(log_messages(), Contains("-->guest::virtio in guest is new,just skip"));
  }
  // A newer image counts as outdated as an older one does.
  stamp("D:\\Windows\\System32\\drivers\\viostor.sys", {4, 5, 6, 30000});
  EXPECT_TRUE(guest::virtio_outdated());
  // A missing file reads as revision 0.
  fs::remove(host("D:\\Windows\\System32\\drivers\\viostor.sys"));
  EXPECT_EQ(guest::driver_build(false, "viostor.sys"), 0);
  EXPECT_TRUE(guest::virtio_outdated());
}

TEST_F(OfflineGuestTest, OnXenA2008ImageWithoutVirtioFilesIsUpToDateAgainstTheXenTree) {
  host_machine("XenVMMXenVMM");
  target("Windows Server 2008 Datacenter", "amd64");
  fs::remove(host("D:\\Windows\\System32\\drivers\\netkvm.sys"));
  fs::remove(host("D:\\Windows\\System32\\drivers\\viostor.sys"));
  EXPECT_EQ(initialize({"windows", "x", "4096"}), 0);
  EXPECT_THAT(log_messages(), Contains("netkvmInIso:0 netkvm:0 viostorInIso:0 viostor:0"));
  EXPECT_THAT(log_messages(), Contains("-->guest::virtio in guest is new,just skip"));
  EXPECT_EQ(dpinst_flag(), "");
}

// --- Arguments and memory

TEST_F(OfflineGuestTest, TheRegionIdNeedsFiveArgumentsAndTheMemoryFour) {
  EXPECT_EQ(initialize({"windows", "x"}), 0);
  EXPECT_FALSE(fs::exists(host("D:\\ProgramData\\kovenu\\assist\\region-id")));
  EXPECT_THAT(log_messages(), Contains("Get Memory Size: 8 GB"));  // measured: 8192 MB
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("Receive memory size"))));

  EXPECT_EQ(initialize({"windows", "x", "10240"}), 0);
  EXPECT_FALSE(fs::exists(host("D:\\ProgramData\\kovenu\\assist\\region-id")));
  EXPECT_THAT(log_messages(), Contains("Receive memory size from argv[4]: 10240"));
  EXPECT_THAT(log_messages(), Contains("Get Memory Size: 10 GB"));

  EXPECT_EQ(initialize({"windows", "x", "many", "rg-test-01"}), 0);
  EXPECT_THAT(log_messages(), Contains("Receive region id from argv[5]: rg-test-01"));
  EXPECT_EQ(read(host("D:\\ProgramData\\kovenu\\assist\\region-id")), "rg-test-01");
  EXPECT_THAT(log_messages(), Contains("--> Write qor region id rg-test-01 to file "
                                       "d:\\ProgramData\\kovenu\\assist\\region-id."));
  EXPECT_THAT(log_messages(), Contains("Wrote 10 bytes to d:\\ProgramData\\kovenu\\assist\\"
                                       "region-id successfully."));
}

TEST_F(OfflineGuestTest, APageFileUpTo8GbOfMemory) {
  EXPECT_TRUE(guest::small_memory(8192));
  EXPECT_TRUE(guest::small_memory(9215));  // the remainder is dropped
  EXPECT_FALSE(guest::small_memory(9216));
  EXPECT_FALSE(guest::small_memory(static_cast<uint32_t>(-1)));
  // Measured: decimal gigabytes of the total memory.
  host_machine("KVMKVMKVM", 8192);
  EXPECT_TRUE(guest::small_memory(0));
  host_machine("KVMKVMKVM", 9216);
  EXPECT_FALSE(guest::small_memory(0));
  EXPECT_THAT(log_messages(), Contains("Get Memory Size: 9 GB"));

  // Through the command: a word that is no number leaves it to the measured memory.
  EXPECT_EQ(initialize({"windows", "x", "nine"}), 0);
  EXPECT_EQ(paging_files(), std::string(2, '\0'));
  EXPECT_EQ(initialize({"windows", "x", "9215"}), 0);
  EXPECT_EQ(paging_files(), std::string("?:\\pagefile.sys\0", 16));
}

TEST_F(OfflineGuestTest, ARegionIdThatCannotBeWrittenIsLoggedAndInitializeGoesOn) {
  fs::remove_all(host("D:\\ProgramData\\kovenu\\assist"));
  EXPECT_FALSE(guest::write_region_id("rg-1"));
  EXPECT_THAT(log_messages(), Contains("Error: Unable to open file "
                                       "d:\\ProgramData\\kovenu\\assist\\region-id for write, "
                                       "error code: 3."));
  EXPECT_EQ(initialize({"windows", "x", "4096", "rg-1"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_TRUE(nvme_timeout_set());
}

// --- The driver update

TEST_F(OfflineGuestTest, TheDriverUpdateInstallsDriversOnlyAndNeverSkips) {
  target("Windows Server 2008 R2 Enterprise", "amd64");
  stamp("D:\\Windows\\System32\\drivers\\netkvm.sys", kMedium);
  stamp("D:\\Windows\\System32\\drivers\\viostor.sys", kMedium);
  write_hive(kSystemHive,
             "[Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
             "[ControlSet001\\Control\\Session Manager\\Memory Management]\r\n"
             "\"PagingFiles\"=hex(7):00,00\r\n\r\n"
             "[ControlSet001\\services\\xenpci\\Parameters]\r\n"
             "\"hide_devices\"=hex(7):6e,00,69,00,63,00,00,00\r\n\r\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(guest::update_driver(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre(kvm_dism("win7")));
  RegValue hidden;
  ASSERT_TRUE(offline("services\\xenpci\\Parameters", "hide_devices", hidden));
  EXPECT_EQ(hidden.type, reg::kMultiSz);
  EXPECT_EQ(hidden.data, "");
  EXPECT_EQ(paging_files(), std::string(2, '\0'));
  EXPECT_FALSE(offline_key("Services\\stornvme"));
  EXPECT_THAT(log_messages(), Contains("-->update drivers."));
  EXPECT_THAT(log_messages(), Contains("<--update drivers."));
}

TEST_F(OfflineGuestTest, TheDriverUpdateOf2003And2008With50AndOnXen) {
  target("Microsoft Windows Server 2003", "x86");
  ::testing::internal::CaptureStdout();
  guest::update_driver();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0:success");
  EXPECT_THAT(cmdlines(), IsEmpty());
  EXPECT_TRUE(offline_key("services\\viostor"));
  EXPECT_EQ(dpinst_flag(), "1");

  fs::remove(host(std::string(kAgent) + "\\tarvik.ini"));
  target("Windows Server 2008 Standard", "x86");
  dism_answers(50);
  ::testing::internal::CaptureStdout();
  guest::update_driver();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre(kvm_dism("Wlh", "x86")));
  EXPECT_TRUE(offline_key("services\\viostor"));
  EXPECT_EQ(dpinst_flag(), "1");

  fs::remove(host(std::string(kAgent) + "\\tarvik.ini"));
  host_machine("XenVMMXenVMM");
  target("Windows Server 2019 Datacenter", "amd64");
  write(host(kSystemHive), "regf: not readable here");
  ::testing::internal::CaptureStdout();
  guest::update_driver();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0:success");
  EXPECT_EQ(version("D:\\Windows\\System32\\drivers\\xennet.sys").revision, 8);
  EXPECT_EQ(dpinst_flag(), "1");
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("RegLoadKey"))));
}

}  // namespace
}  // namespace tarvik::test
