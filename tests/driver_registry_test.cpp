// Driver settings written into the offline SYSTEM hive, and the first-boot driver update
// with dpinst inside the running guest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "frame/utils.h"
#include "image/drivers.h"
#include "image/guest_info.h"
#include "support/agent_test.h"
#include "support/cli.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string dword(uint32_t v) {
  return RegValue::dword(v).data;
}
std::string sz(const std::string& text) {
  return text + '\0';
}

class OfflineRegistryTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    mkdirs(root_ + "/d/Windows/System32");
    mkdirs(root_ + "/d/Program Files");
  }
  void target(const std::string& product, const std::string& system_keys) {
    write_hive(
        "D:\\Windows\\System32\\config\\SOFTWARE",
        "[Microsoft\\Windows NT\\CurrentVersion]\r\n\"ProductName\"=\"" + product + "\"\r\n");
    write_hive("D:\\Windows\\System32\\config\\SYSTEM",
               "[Select]\r\n\"Current\"=dword:00000002\r\n\r\n" + system_keys);
  }
  // The values of a key of the mounted hive's current control set, as (name, type, bytes).
  std::vector<std::tuple<std::string, uint32_t, std::string>> values(const std::string& key) {
    std::vector<std::tuple<std::string, uint32_t, std::string>> out;
    RegKey k;
    if (platform().registry().open("_SYSTEM\\ControlSet002\\" + key, reg::kKeyRead, k) != 0)
      return out;
    for (const char* name : {"DisplayName", "ErrorControl", "Group", "ImagePath", "start", "type",
                             "5", "ClassGUID", "Service", "hide_devices", "IoTimeoutValue"}) {
      RegValue v;
      if (k.query(name, v) == 0) out.emplace_back(name, v.type, v.data);
    }
    return out;
  }
  GuestInfo& g() { return GuestInfo::instance(); }
};

using Value = std::tuple<std::string, uint32_t, std::string>;

TEST_F(OfflineRegistryTest, A2008TargetGetsTheVirtioBootDriverWithEveryValue) {
  target("Windows Server 2008 Standard", "[ControlSet002\\Services]\r\n\r\n");
  ASSERT_EQ(g().load_system_hive(true), 0);
  EXPECT_EQ(driver_inst::viostor_inject(), 1);
  EXPECT_THAT(
      values("services\\viostor"),
      ElementsAre(Value{"DisplayName", reg::kSz, sz("DisplayName")},
                  Value{"ErrorControl", reg::kDword, dword(1)},
                  Value{"Group", reg::kSz, sz("SCSI miniport")},
                  Value{"ImagePath", reg::kSz, sz("system32\\drivers\\viostor.sys")},
                  Value{"start", reg::kDword, dword(0)}, Value{"type", reg::kDword, dword(1)}));
  EXPECT_THAT(values("services\\viostor\\Parameters\\PnpInterface"),
              ElementsAre(Value{"5", reg::kDword, dword(1)}));
  EXPECT_THAT(
      values("Control\\CriticalDeviceDatabase\\pci#ven_1af4&dev_1001&subsys_00021af4&rev_00"),
      ElementsAre(Value{"ClassGUID", reg::kSz, sz("{4d36e97b-e325-11ce-bfc1-08002be10318}")},
                  Value{"Service", reg::kSz, sz("viostor")}));
  EXPECT_TRUE(modify_nvme_timeout());
  EXPECT_THAT(values("Services\\stornvme\\Parameters"),
              ElementsAre(Value{"IoTimeoutValue", reg::kDword, dword(0xFFFF)}));
  // xenpci is absent: nothing is made for it.
  EXPECT_EQ(fix_xenpci(), 0);
  RegKey xenpci;
  EXPECT_NE(
      platform().registry().open("_SYSTEM\\ControlSet002\\services\\xenpci", reg::kKeyRead, xenpci),
      0u);
  EXPECT_EQ(g().load_system_hive(false), 0);
  // Kept in the hive file.
  EXPECT_NE(read(root_ + "/d/Windows/System32/config/SYSTEM").find("\"start\"=dword:00000000"),
            std::string::npos);
}

TEST_F(OfflineRegistryTest, Win7GetsNoBootDriverAndXenpciLosesItsHiddenDevices) {
  target("Windows Server 2008 R2 Enterprise",
         "[ControlSet002\\services\\xenpci\\Parameters]\r\n"
         "\"hide_devices\"=hex(7):6e,00,69,00,63,00,00,00\r\n\r\n");
  ASSERT_EQ(g().load_system_hive(true), 0);
  EXPECT_EQ(driver_inst::viostor_inject(), -1);
  EXPECT_THAT(values("services\\viostor"), IsEmpty());
  EXPECT_EQ(fix_xenpci(), 0);
  EXPECT_THAT(values("services\\xenpci\\Parameters"),
              ElementsAre(Value{"hide_devices", reg::kMultiSz, ""}));
  // Run again: the same data.
  EXPECT_EQ(fix_xenpci(), 0);
  EXPECT_THAT(values("services\\xenpci\\Parameters"),
              ElementsAre(Value{"hide_devices", reg::kMultiSz, ""}));
  g().load_system_hive(false);
}

TEST_F(OfflineRegistryTest, WithoutTheHiveMountedEveryOperationFailsAtTheControlSet) {
  target("Windows Server 2003", "");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(driver_inst::viostor_inject(), 0);
  EXPECT_EQ(fix_xenpci(), -1);
  EXPECT_FALSE(modify_nvme_timeout());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "-1:inst_viostor reg open control fail-1:fix_xenpci reg open control fail");
  EXPECT_THAT(log_messages(),
              Contains("TARVIK_REPORT_ERROR:registry_access_error RegOpenKey<_system\\select> "
                       "err:2"));
}

// --- First boot

class FirstBootDriversTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    guest("KVMKVMKVM", true, 0);
  }
  void guest(const std::string& hypervisor, bool wow64, int dpinst_exit) {
    utils::reset();
    write(root_ + "/sim/tools.ini",
          strformat("[rule.dpinst]\nmatch=*dpinst_*\nexit=%d\noutput=dpinst done\n", dpinst_exit));
    set_machine_ini(
        strformat("[system]\ndrive=c\nprogram=C:\\ProgramData\\kovenu\\tarvik\\"
                  "tarvik.exe\nhypervisor=%s\nwow64=%d\n[clock]\nmode=virtual\n",
                  hypervisor.c_str(), wow64 ? 1 : 0));
    release("Windows Server 2016 Datacenter");
    write_hive("C:\\Windows\\System32\\config\\SYSTEM",
               "[Select]\r\n\"Current\"=dword:00000001\r\n\r\n"
               "[ControlSet001\\services\\xenpci\\Parameters]\r\n"
               "\"hide_devices\"=hex(7):6e,00,69,00,63,00,00,00\r\n\r\n");
  }
  void release(const std::string& product) {
    write_hive(
        "C:\\Windows\\System32\\config\\SOFTWARE",
        "[Microsoft\\Windows NT\\CurrentVersion]\r\n\"ProductName\"=\"" + product + "\"\r\n");
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  std::string hide_devices() {
    RegKey k;
    RegValue v;
    if (platform().registry().open("SYSTEM\\CurrentControlSet\\services\\xenpci\\Parameters",
                                   reg::kKeyRead, k) != 0 ||
        k.query("hide_devices", v) != 0)
      return "(none)";
    return v.data;
  }
};

TEST_F(FirstBootDriversTest, OnKvmDpinstOfTheSystemsBitnessRunsOnTheKvmTree) {
  EXPECT_EQ(driver_inst::dpinst_driver(), 0);
  guest("KVMKVMKVM", false, 0);
  EXPECT_EQ(driver_inst::dpinst_driver(), 0);
  EXPECT_THAT(cmdlines(),
              ElementsAre("C:\\ProgramData\\kovenu\\tarvik\\dpinst_x64.exe /LM /SW /PATH "
                          "C:\\ProgramData\\kovenu\\tarvik\\kvm\\Win10\\amd64",
                          "C:\\ProgramData\\kovenu\\tarvik\\dpinst_x86.exe /LM /SW /PATH "
                          "C:\\ProgramData\\kovenu\\tarvik\\kvm\\Win10\\x86"));
  EXPECT_THAT(log_messages(), Contains("cpu sig is:KVMKVMKVM"));
  EXPECT_THAT(log_messages(), Contains("driver_inst cmd :C:\\ProgramData\\kovenu\\tarvik\\"
                                       "dpinst_x86.exe /LM /SW /PATH C:\\ProgramData\\kovenu\\"
                                       "tarvik\\kvm\\Win10\\x86 result:dpinst done"));
  // The Xen bus setting is not touched on KVM.
  EXPECT_EQ(hide_devices(), std::string("n\0i\0c\0\0\0", 8));
}

TEST_F(FirstBootDriversTest,
       OnXenTheXenTreeWithItsBackslashAndHiddenDevicesEmptiedEvenAfterAFailure) {
  guest("XenVMMXenVMM", true, 1);
  EXPECT_EQ(driver_inst::dpinst_driver(), 0);
  EXPECT_THAT(cmdlines(),
              ElementsAre("C:\\ProgramData\\kovenu\\tarvik\\dpinst_x64.exe /LM /SW "
                          "/PATH C:\\ProgramData\\kovenu\\tarvik\\xen\\Win10\\amd64\\"));
  EXPECT_EQ(hide_devices(), "");
  // No hypervisor at all takes the same road.
  guest("", true, 0);
  EXPECT_EQ(driver_inst::dpinst_driver(), 0);
  EXPECT_THAT(log_messages(), Contains("-->kvm_driver::update_all_drivers"));
}

TEST_F(FirstBootDriversTest, AnUnknownReleaseIsReportedOnKvmAndOnlyLoggedOnXen) {
  release("Windows Vista Business");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(update_kvm_driver(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "-1:not suppot os ");
  guest("XenVMMXenVMM", true, 0);
  release("Windows Vista Business");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(kvm_driver::update_all_drivers(), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_THAT(log_messages(), Contains("get verion err,exit"));
  EXPECT_THAT(cmdlines(), IsEmpty());
  EXPECT_NE(hide_devices(), "");
}

}  // namespace
}  // namespace tarvik::test
