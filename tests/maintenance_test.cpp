// The maintenance operations: DHCP reset of every adapter, the network device reset, the
// region id, and on an offline installation the boot repair and the page file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "config/config.h"
#include "platform/sim/services.h"
#include "support/agent_test.h"
#include "support/cli.h"
#include "support/network_wrapper.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kTwoAdapters[] =
    "[adapter.1]\nindex=7\nmac=52:54:00:aa:bb:01\nname=Ethernet\n"
    "id={11111111-2222-3333-4444-555555555555}\ndescription=Virtio Ethernet Adapter\n"
    "[adapter.2]\nindex=9\nmac=52:54:00:aa:bb:02\nname=Local Area Connection 2\n"
    "id={AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}\ndescription=Virtio Ethernet Adapter #2\n";

constexpr char kRules[] =
    "[rule.netsh]\nmatch=netsh *\nexit=0\noutput=Ok.\\r\\n\n"
    "[rule.ipconfig]\nmatch=ipconfig*\nexit=0\noutput=\n";

class MaintenanceTest : public AgentTest {
 protected:
  // A fresh machine: these adapters and these rules ahead of the tools that succeed.
  void guest(const std::string& adapters, const std::string& rules = "") {
    write(root_ + "/sim/tools.ini", rules + kRules);
    fs::remove(root_ + "/sim/calls.jsonl");
    fs::remove(root_ + "/sim/clock.state");
    set_machine_ini(std::string(kDefaultMachineIni) + adapters);
    start_ = platform().clock().tick_count();
  }
  void release(const char* product_name) {
    write_hive("C:\\Windows\\System32\\config\\SOFTWARE",
               std::string("[Microsoft\\Windows NT\\CurrentVersion]\n\"ProductName\"=\"") +
                   product_name + "\"\n");
  }
  int op(std::vector<std::string> words) {
    words.insert(words.begin(), {"config", "x"});
    return run(words);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  std::vector<uint32_t> call_times() {
    std::vector<uint32_t> out;
    for (const Call& c : read_calls(root_)) out.push_back(static_cast<uint32_t>(c.ms) - start_);
    return out;
  }
  uint32_t start_ = 0;
};

// --- network_clean

TEST_F(MaintenanceTest, TwoAdaptersAreCleanedInTurnByIndex) {
  guest(kTwoAdapters);
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre("netsh interface ip set address name=7 source = dhcp",
                                      "netsh interface ip set dns name=7 source = dhcp",
                                      "netsh interface ip set address name=9 source = dhcp",
                                      "netsh interface ip set dns name=9 source = dhcp"));
  EXPECT_THAT(log_messages(),
              Contains("cmd:netsh interface ip set dns name=9 source = dhcp  code:0  out:Ok."));
}

TEST_F(MaintenanceTest, On2003AdaptersAreNamedByConnectionName) {
  guest(kTwoAdapters);
  release("Microsoft Windows Server 2003 R2");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_THAT(
      cmdlines(),
      ElementsAre("netsh interface ip set address name=\"Ethernet\" source = dhcp",
                  "netsh interface ip set dns name=\"Ethernet\" source = dhcp",
                  "netsh interface ip set address name=\"Local Area Connection 2\" source = dhcp",
                  "netsh interface ip set dns name=\"Local Area Connection 2\" source = dhcp"));
}

TEST_F(MaintenanceTest, On2008EachAttemptEndsWithIpconfigRelease) {
  guest(kTwoAdapters);
  release("Windows Server (R) 2008 Enterprise");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_THAT(cmdlines(),
              ElementsAre("netsh interface ip set address name=7 source = dhcp",
                          "netsh interface ip set dns name=7 source = dhcp", "ipconfig /release",
                          "netsh interface ip set address name=9 source = dhcp",
                          "netsh interface ip set dns name=9 source = dhcp", "ipconfig /release"));
  EXPECT_THAT(log_messages(), Contains("cmd:ipconfig /release code:0 out:"));
}

TEST_F(MaintenanceTest, OnlyAFailingLastCommandIsRetriedAndNeverFailsTheOperation) {
  // The address command's code does not count.
  guest(kTwoAdapters, "[rule.addr]\nmatch=netsh interface ip set address *\nexit=1\noutput=\n");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(cmdlines().size(), 4u);

  // A DNS command that keeps failing for the first adapter: three attempts 2000 ms apart,
  // then the next adapter.
  guest(kTwoAdapters, "[rule.dns]\nmatch=netsh interface ip set dns name=7 *\nexit=1\noutput=\n");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  std::vector<std::string> calls = cmdlines();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[5], "netsh interface ip set dns name=7 source = dhcp");
  EXPECT_EQ(calls[6], "netsh interface ip set address name=9 source = dhcp");
  std::vector<uint32_t> ms = call_times();
  EXPECT_EQ(ms[2] - ms[1], 2000u);
  EXPECT_EQ(ms[4] - ms[3], 2000u);
  EXPECT_EQ(ms[6], ms[5]);

  // On 2008 the release decides, not the DNS command.
  release("Windows Server (R) 2008 Standard");
  guest(kTwoAdapters, "[rule.dns]\nmatch=netsh interface ip set dns *\nexit=1\noutput=\n");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(cmdlines().size(), 6u);
  guest(kTwoAdapters, "[rule.rel]\nmatch=ipconfig /release\nexit=1\ntimes=2\noutput=\n");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(cmdlines().size(), 12u);  // 3 attempts for the first adapter, 1 for the second
}

TEST_F(MaintenanceTest, AGuestWithoutAdaptersEndsWithSuccess) {
  guest("");
  EXPECT_EQ(op({"network_clean"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), IsEmpty());
}

// The adapter list of the simulated machine, refused with an error.
class RefusingNetwork final : public NetworkWrapper {
 public:
  using NetworkWrapper::NetworkWrapper;
  Status adapters_info(std::vector<AdapterInfo>&) override { return win::kNotEnoughMemory; }
};

TEST_F(MaintenanceTest, AnUnreadableAdapterListIsAFailureWithItsCode) {
  guest(kTwoAdapters);
  std::string error;
  install_platform(
      std::make_unique<PlatformWithNetwork<RefusingNetwork>>(sim::make_platform(root_, error)));
  EXPECT_EQ(op({"network_clean"}), -1);
  EXPECT_EQ(stdout_, "8:GetAdaptersInfo fail");
  EXPECT_THAT(cmdlines(), IsEmpty());
}

// --- network_reset

TEST_F(MaintenanceTest, NetworkResetDisablesAndEnablesTheVirtioDevice) {
  guest("");
  EXPECT_EQ(op({"network_reset"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  const std::string devcon = "C:\\ProgramData\\kovenu\\tarvik\\devcon_x64.exe ";
  const std::string id = " \"PCI\\VEN_1AF4&DEV_1000&SUBSYS_00011AF4&REV_00\"";
  EXPECT_THAT(cmdlines(), ElementsAre(devcon + "disable" + id, devcon + "enable" + id));
  std::vector<uint32_t> ms = call_times();
  EXPECT_EQ(ms[1] - ms[0], 1000u);
  EXPECT_THAT(log_messages(), Contains("network_reset cmd :" + devcon + "enable" + id +
                                       " result:1 device(s) are enabled."));
}

TEST_F(MaintenanceTest, NetworkResetGivesTheOrOfBothCodes) {
  guest("",
        "[rule.d]\nmatch=*devcon_x64.exe disable *\nexit=1\noutput=\n"
        "[rule.e]\nmatch=*devcon_x64.exe enable *\nexit=2\noutput=\n");
  EXPECT_EQ(op({"network_reset"}), 3);
  EXPECT_EQ(stdout_, "-1:error fail");
  EXPECT_EQ(cmdlines().size(), 2u);  // the enable runs after a failed disable
}

// --- installKovenuService

TEST_F(MaintenanceTest, TheRegionIdFileHoldsTheIdAloneBesideTheAgentsFolder) {
  guest("");
  mkdirs(root_ + "/c/ProgramData/kovenu/assist");
  const std::string file = root_ + "/c/ProgramData/kovenu/assist/region-id";
  EXPECT_EQ(op({"installKovenuService", "region-long-id"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  // A shorter id replaces the file whole.
  EXPECT_EQ(op({"installKovenuService", "rg-test-01"}), 0);
  EXPECT_EQ(read(file), "rg-test-01");
  EXPECT_EQ(fs::file_size(file), 10u);
}

TEST_F(MaintenanceTest, ARegionIdThatCannotBeStoredIsAFailure) {
  guest("");  // no assist folder
  EXPECT_EQ(op({"installKovenuService", "rg-test-01"}), -1);
  EXPECT_EQ(stdout_, "-1:write region id fail");
  EXPECT_THAT(log_messages(),
              Contains("Error: Unable to open file "
                       "C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\region-id for write, "
                       "error code: 2."));
}

// --- pagefile: the setting words

TEST_F(MaintenanceTest, PagefileWantedWithEnableAlwaysWithDefaultUpTo9215Mb) {
  EXPECT_TRUE(pagefile_wanted("default", 9215));
  EXPECT_FALSE(pagefile_wanted("default", 9216));
  EXPECT_TRUE(pagefile_wanted("enable", 1 << 20));
  EXPECT_TRUE(pagefile_wanted("xENABLEDx", 65536));
  EXPECT_TRUE(pagefile_wanted("by-Default", 0));
  EXPECT_FALSE(pagefile_wanted("off", 1024));
  EXPECT_FALSE(pagefile_wanted("default", -1));  // taken as unsigned: far above 8 GB
}

// --- ISO mode: d2sfix and pagefile on a simulated medium

class OfflineMaintenanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tarvik-mt-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    root_ = dir_ + "/guest";
    ASSERT_EQ(tarvik_sim("", {"init", root_, "--iso"}).code, 0);
    // The agent was installed into the image earlier in this boot of the medium.
    ASSERT_EQ(tarvik_sim(root_, {"reg", "add", "HKLM\\SYSTEM", "/v", "tarvik.inst", "/t",
                                 "REG_DWORD", "/d", "1", "/f"})
                  .code,
              0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static std::string slurp(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  CliResult op(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"config", "x"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik(root_, words);
  }
  std::string offline(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"reg", "--hive", "D:\\Windows\\System32\\config\\SYSTEM"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik_sim(root_, words).out;
  }
  std::string memory_management() {
    return offline({"query", "ControlSet001\\" + std::string(kMemoryManagement)});
  }
  void paging_files(const std::string& data) {
    offline({"add", "ControlSet001\\" + std::string(kMemoryManagement), "/v", "PagingFiles", "/t",
             "REG_MULTI_SZ", "/d", data, "/f"});
  }
  void product_name(const std::string& name) {
    tarvik_sim(root_, {"reg", "--hive", "D:\\Windows\\System32\\config\\SOFTWARE", "add",
                       "Microsoft\\Windows NT\\CurrentVersion", "/v", "ProductName", "/t", "REG_SZ",
                       "/d", name, "/f"});
  }
  std::string target_log() {
    std::string all;
    fs::path folder = root_ + "/d/ProgramData/kovenu/tarvik/log";
    if (fs::is_directory(folder))
      for (const auto& e : fs::directory_iterator(folder)) all += slurp(e.path());
    return all;
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  static constexpr char kMemoryManagement[] = "Control\\Session Manager\\Memory Management";
  std::string dir_, root_;
};

TEST_F(OfflineMaintenanceTest, D2sfixRunsBcdbootEvenAfterAFailedBcdedit) {
  CliResult r = op({"d2sfix"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre("bcdedit /delete {default}", "bcdboot d:\\windows"));

  std::string tools = slurp(root_ + "/sim/tools.ini");
  std::ofstream(root_ + "/sim/tools.ini", std::ios::binary)
      << "[rule.f]\nmatch=bcdedit *\nexit=1\noutput=not found\n"
      << tools;
  r = op({"d2sfix"});
  EXPECT_EQ(r.code, 0);  // an ISO-mode report ends the process with 0
  EXPECT_EQ(r.out, "-1:fail to fix boot");
  EXPECT_EQ(cmdlines().size(), 4u);
  EXPECT_THAT(target_log(), HasSubstr("cmd:bcdboot d:\\windows code:1 out:Boot files"));
}

TEST_F(OfflineMaintenanceTest, AnEmptyPageFileSettingIsSet) {
  paging_files("");
  EXPECT_EQ(op({"pagefile", "default", "8192"}).out, "0:success code: 0");
  EXPECT_THAT(memory_management(), HasSubstr("PagingFiles    REG_MULTI_SZ    ?:\\pagefile.sys\n"));
  EXPECT_THAT(target_log(), HasSubstr("set Page file value result: 0"));
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));
  // Not recorded for the first boot.
  EXPECT_FALSE(fs::exists(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"));
}

TEST_F(OfflineMaintenanceTest, ThePageFileSettingIsLeftAloneWhenNotWantedOrNotEmpty) {
  // A value with content stays as it is, with its size logged.
  paging_files("c:\\pagefile.sys 0 0");
  std::string before = memory_management();
  EXPECT_EQ(op({"pagefile", "enable", "65536"}).out, "0:success code: 0");
  EXPECT_EQ(memory_management(), before);
  EXPECT_THAT(target_log(), HasSubstr("Page file value already set. Data size 21"));

  paging_files("");
  before = memory_management();
  EXPECT_EQ(op({"pagefile", "default", "9216"}).out, "0:success code: 0");
  EXPECT_EQ(memory_management(), before);
  EXPECT_THAT(target_log(), HasSubstr("Get Memory Size: 9 GB"));
  EXPECT_EQ(op({"pagefile", "default"}).out,
            "0:failed : Invalid pagefile args, please check your input.");
  EXPECT_EQ(memory_management(), before);

  product_name("Microsoft Windows Server 2003 R2");
  EXPECT_EQ(op({"pagefile", "enable", "1024"}).out, "0:success code: 0");
  EXPECT_EQ(memory_management(), before);
}

TEST_F(OfflineMaintenanceTest, AMissingPageFileValueStaysMissing) {
  offline(
      {"delete", "ControlSet001\\" + std::string(kMemoryManagement), "/v", "PagingFiles", "/f"});
  EXPECT_EQ(op({"pagefile", "enable", "1024"}).out, "0:success code: 0");
  EXPECT_THAT(memory_management(), Not(HasSubstr("PagingFiles")));
  EXPECT_THAT(target_log(), HasSubstr("Query PagingFiles value failed with code 2."));
}

TEST_F(OfflineMaintenanceTest, AnUnopenableControlSetEndsThePageFileWithItsReport) {
  std::string hive = slurp(root_ + "/d/Windows/System32/config/SYSTEM");
  hive.replace(hive.find("\"Current\"=dword:00000001"), 24, "\"Current\"=dword:00000007");
  std::ofstream(root_ + "/d/Windows/System32/config/SYSTEM", std::ios::binary) << hive;
  EXPECT_EQ(op({"pagefile", "enable", "1024"}).out, "-1:enable_pagefile reg open control fail");
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));
}

// --- the running guest of tarvik-sim init

TEST(InitGuestMaintenance, NetworkCleanCoversBothAdaptersAndTheRegionIdLandsInAssist) {
  char tmpl[] = "/tmp/tarvik-mt-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  std::string root = std::string(tmpl) + "/guest";
  ASSERT_EQ(tarvik_sim("", {"init", root}).code, 0);
  EXPECT_EQ(tarvik(root, {"config", "x", "network_clean"}).out, "0:success");
  std::vector<std::string> lines;
  for (const Call& c : read_calls(root)) lines.push_back(c.cmdline);
  EXPECT_THAT(lines, ElementsAre("netsh interface ip set address name=11 source = dhcp",
                                 "netsh interface ip set dns name=11 source = dhcp",
                                 "netsh interface ip set address name=12 source = dhcp",
                                 "netsh interface ip set dns name=12 source = dhcp"));
  EXPECT_EQ(tarvik(root, {"config", "x", "installKovenuService", "rg-test-01"}).out, "0:success");
  std::ifstream f(root + "/c/ProgramData/kovenu/assist/region-id", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), "rg-test-01");
  std::error_code ec;
  fs::remove_all(tmpl, ec);
}

}  // namespace
}  // namespace tarvik::test
