// The first-boot work: the wait for Windows setup, the driver update left for first boot,
// the certificates, the order of the steps and what the guest looks like afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "config/config.h"
#include "firstboot/tarvik2.h"
#include "frame/utils.h"
#include "platform/sim/services.h"
#include "platform/sim/version_stamp.h"
#include "support/agent_test.h"
#include "support/cli.h"
#include "support/delegating_platform.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kAgent[] = "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe";
constexpr char kIni[] = "C:\\ProgramData\\kovenu\\tarvik\\tarvik.ini";
constexpr char kSetupState[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\State";

// The tools of a guest answer with success; the assistant's installer is a rule too.
constexpr char kTools[] =
    "[rule.certutil]\nmatch=certutil *\nexit=0\noutput=ok\n"
    "[rule.sc]\nmatch=sc *\nexit=0\noutput=[SC] SUCCESS\n"
    "[rule.netsh]\nmatch=netsh *\nexit=0\noutput=Ok.\n"
    "[rule.net]\nmatch=net *\nexit=0\noutput=done\n"
    "[rule.cacls]\nmatch=cacls *\nexit=0\noutput=processed\n"
    "[rule.dpinst]\nmatch=*dpinst*\nexit=0\noutput=\n"
    "[rule.install]\nmatch=*install.bat\nexit=0\noutput=installed\n";

constexpr char kSystemHive[] =
    "[Select]\n\"Current\"=dword:00000001\n"
    "[ControlSet001\\Control\\Terminal Server]\n\"fDenyTSConnections\"=dword:00000001\n"
    "[ControlSet001\\Services\\tarvik]\n\"ImagePath\"=\"C:\\\\ProgramData\\\\kovenu\\\\tarvik\\\\"
    "tarvik.exe service\"\n\"start\"=dword:00000002\n";

// A clock whose sleeps let setup move on: after each sleep, the state in force at the
// time slept so far is written to the Setup\State key.
class SetupClock : public Clock {
 public:
  SetupClock(Platform& inner, std::map<uint32_t, std::string> states)
      : inner_(inner), states_(std::move(states)) {}
  void sleep_ms(uint32_t ms) override {
    inner_.clock().sleep_ms(ms);
    sleeps.push_back(ms);
    slept_ += ms;
    auto it = states_.upper_bound(slept_);
    RegKey key;
    inner_.registry().create(kSetupState, reg::kOptionNonVolatile,
                             reg::kKeyAllAccess | reg::kWow64_64Key, key);
    key.set_text("ImageState", std::prev(it)->second);
  }
  LocalTime local_time() override { return inner_.clock().local_time(); }
  uint32_t tick_count() override { return inner_.clock().tick_count(); }
  int64_t unix_seconds() override { return inner_.clock().unix_seconds(); }
  std::vector<uint32_t> sleeps;

 private:
  Platform& inner_;
  std::map<uint32_t, std::string> states_;
  uint32_t slept_ = 0;
};

// The guest's platform with that clock.
class SetupPlatform : public DelegatingPlatform {
 public:
  SetupPlatform(std::unique_ptr<Platform> inner, std::map<uint32_t, std::string> states)
      : DelegatingPlatform(std::move(inner)), clock_(this->inner(), std::move(states)) {}
  Clock& clock() override { return clock_; }
  SetupClock& setup_clock() { return clock_; }

 private:
  SetupClock clock_;
};

class FirstBootTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    write(root_ + "/sim/tools.ini", kTools);
    write_hive("C:\\Windows\\System32\\config\\SYSTEM", kSystemHive);
    release("Windows Server 2019 Datacenter");
    write(host("C:\\ProgramData\\kovenu\\assist\\config.ini"), "[assist]\r\nversion=2.1.0\r\n");
  }
  void release(const std::string& product, const std::string& setup = "") {
    write_hive(
        "C:\\Windows\\System32\\config\\SOFTWARE",
        "[Microsoft\\Windows NT\\CurrentVersion]\n\"ProductName\"=\"" + product + "\"\n" + setup);
  }
  void saved_config(const std::string& lines) { write(host(kIni), lines); }
  // The agent's process, started with the word tarvik.
  void first_boot() {
    utils::reset();
    ASSERT_EQ(run({"tarvik"}), 0);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  // The messages from the first that begins with `from` to the first that begins with `to`.
  std::vector<std::string> messages_between(const std::string& from, const std::string& to) {
    std::vector<std::string> out;
    bool in = false;
    for (const auto& m : log_messages()) {
      if (m.rfind(from, 0) == 0) in = true;
      if (in) out.push_back(m);
      if (in && m.rfind(to, 0) == 0) break;
    }
    return out;
  }
  bool service_registered() {
    RegKey key;
    return p().registry().open("SYSTEM\\CurrentControlSet\\services\\tarvik", reg::kKeyRead, key) ==
           0;
  }
  std::vector<std::string> archives() {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(host("C:\\ProgramData\\kovenu\\tarvik")))
      if (e.path().filename().string().ends_with(".tarvik.ini"))
        out.push_back(e.path().filename().string());
    return out;
  }
  std::string events() { return read(root_ + "/sim/events.jsonl"); }
};

// --- the wait for Windows setup

TEST_F(FirstBootTest, SetupAlreadyCompleteIsSeenOnceWithoutWaiting) {
  // Only the 64-bit view counts: the 32-bit one says something else.
  release("Windows Server 2019 Datacenter",
          "[Microsoft\\Windows\\CurrentVersion\\Setup\\State]\n"
          "\"ImageState\"=\"Image_State_Complete\"\n"
          "[Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Setup\\State]\n"
          "\"ImageState\"=\"IMAGE_STATE_UNDEPLOYABLE\"\n");
  uint32_t start = p().clock().tick_count();
  utils::reset();
  tarvik2::check_sysprep();
  EXPECT_THAT(log_messages(),
              ElementsAre("-->tarvik2::check_sysprep", "-->Ok ImageState: Image_State_Complete",
                          "<--tarvik2::check_sysprep"));
  EXPECT_EQ(p().clock().tick_count(), start);
}

TEST_F(FirstBootTest, SetupPassingThroughStatesIsWatchedEachSecondAndConfirmedAfterTwo) {
  // Setup looks finished at 2 s, is busy again during the 2-second pause, and is
  // finished for good at 5 s.
  std::string error;
  auto inner = sim::make_platform(root_, error);
  ASSERT_TRUE(inner) << error;
  auto* wrapped = new SetupPlatform(std::move(inner), {{0, "IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE"},
                                                       {2000, "IMAGE_STATE_COMPLETE"},
                                                       {3000, "IMAGE_STATE_UNDEPLOYABLE"},
                                                       {5000, "IMAGE_STATE_COMPLETE"}});
  install_platform(std::unique_ptr<Platform>(wrapped));
  RegKey key;
  ASSERT_EQ(p().registry().create(kSetupState, 0, reg::kKeyAllAccess | reg::kWow64_64Key, key), 0u);
  key.set_text("ImageState", "IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE");
  key.close();
  utils::reset();
  tarvik2::check_sysprep();
  EXPECT_THAT(log_messages(),
              ElementsAre("-->tarvik2::check_sysprep",
                          "-->ImageState: IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE",
                          "-->ImageState: IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE",
                          "-->Next ImageState: IMAGE_STATE_COMPLETE",
                          "-->ImageState: IMAGE_STATE_UNDEPLOYABLE",
                          "-->Next ImageState: IMAGE_STATE_COMPLETE",
                          "-->Ok ImageState: IMAGE_STATE_COMPLETE", "<--tarvik2::check_sysprep"));
  EXPECT_THAT(wrapped->setup_clock().sleeps, ElementsAre(1000, 1000, 2000, 1000, 2000));
}

TEST_F(FirstBootTest, NoSetupStateKeyEndsTheWaitAtOnceAndTheWorkGoesOn) {
  first_boot();
  EXPECT_THAT(
      messages_between("-->tarvik2::check_sysprep", "<--tarvik2::check_sysprep"),
      ElementsAre("-->tarvik2::check_sysprep", "-->Ok ImageState: ", "<--tarvik2::check_sysprep"));
  EXPECT_THAT(events(),
              HasSubstr("\"event\":\"named_event\",\"name\":\"Global\\\\tarvik.running\""));
  // The started marker lasts until the next restart.
  EXPECT_THAT(read(root_ + "/sim/volatile.reg"), HasSubstr("\\Services\\tarvik.start]"));
}

// --- the driver update left for first boot

TEST_F(FirstBootTest, OnKvmAPendingDriverUpdateRunsWithoutRestartAndTheWorkGoesOn) {
  release("Windows Server 2019 Datacenter", "\"ReleaseId\"=\"1809\"\n");
  saved_config("[update]\r\ndpinst=1\r\n");
  first_boot();
  std::vector<std::string> update =
      messages_between("-->tarvik2::check_dpinst", "-->tarvik2::start dependency");
  ASSERT_GE(update.size(), 2u);
  EXPECT_EQ(update[0], "-->tarvik2::check_dpinst true");
  EXPECT_EQ(update[1], "-->driver_inst::dpinst_driver");
  EXPECT_THAT(update, Contains(HasSubstr("driver_inst cmd :C:\\ProgramData\\kovenu\\tarvik\\"
                                         "dpinst_x64.exe /LM /SW /PATH "
                                         "C:\\ProgramData\\kovenu\\tarvik\\kvm\\Win10\\amd64")));
  EXPECT_THAT(events(), Not(HasSubstr("\"reboot\"")));
  EXPECT_FALSE(service_registered());
  ASSERT_EQ(archives().size(), 1u);
  EXPECT_THAT(read(host("C:\\ProgramData\\kovenu\\tarvik\\" + archives()[0])),
              HasSubstr("dpinst=0"));
}

TEST_F(FirstBootTest, OnXenWithoutTheNetworkDriverTheMachineRestartsAndTheNextBootFinishes) {
  set_machine_ini(
      "[system]\ndrive=c\nprogram=C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe\n"
      "hypervisor=XenVMMXenVMM\n[clock]\nmode=virtual\nstart=2025-01-06 09:49:05\n"
      "[device.1]\nhardware_id=XEN\\VBD\ninstall_state=0\n"
      "[device.2]\nhardware_id=xen\\vif\ninstall_state=28\n");
  EXPECT_TRUE(tarvik2::need_reboot_after_dpinst());
  saved_config("[update]\r\ndpinst=1\r\n");
  first_boot();
  EXPECT_THAT(log_messages(), Contains("tarvik2::reboot bret:1 last err :0"));
  EXPECT_THAT(events(), HasSubstr("\"event\":\"privilege\",\"name\":\"SeShutdownPrivilege\""));
  EXPECT_THAT(events(), HasSubstr("\"event\":\"reboot\",\"force\":true"));
  EXPECT_THAT(log_messages(), Not(Contains("-->tarvik2::start dependency")));
  EXPECT_TRUE(service_registered());
  EXPECT_THAT(read(host(kIni)), HasSubstr("dpinst=0"));

  // The next boot: no driver update, the whole work.
  fs::remove(root_ + "/sim/volatile.reg");
  fs::remove_all(host("C:\\ProgramData\\kovenu\\tarvik\\log"));
  first_boot();
  EXPECT_THAT(log_messages(), Contains("-->tarvik2::check_dpinst false"));
  EXPECT_THAT(log_messages(), Not(Contains("-->driver_inst::dpinst_driver")));
  EXPECT_THAT(log_messages(), Contains("-->tarvik2::start dependency"));
  EXPECT_FALSE(service_registered());
}

TEST_F(FirstBootTest, ARestartIsNeededUnlessBothXenDevicesAreInstalled) {
  auto with_devices = [&](const std::string& devices) {
    set_machine_ini("[system]\ndrive=c\nhypervisor=XenVMMXenVMM\n[clock]\nmode=virtual\n" +
                    devices);
    return tarvik2::need_reboot_after_dpinst();
  };
  EXPECT_FALSE(
      with_devices("[device.1]\nhardware_id=xen\\vbd\ninstall_state=0\n"
                   "[device.2]\nhardware_id=Xen\\Vif\ninstall_state=0\n"));
  // The first device with the id decides; one without a readable state is not installed.
  EXPECT_TRUE(
      with_devices("[device.1]\nhardware_id=xen\\vbd\ninstall_state=0\n"
                   "[device.2]\nhardware_id=xen\\vif\n"
                   "[device.3]\nhardware_id=xen\\vif\ninstall_state=0\n"));
  EXPECT_TRUE(with_devices("[device.1]\nhardware_id=xen\\vbd\ninstall_state=0\n"));
  // KVM never restarts, whatever the devices.
  set_machine_ini("[system]\ndrive=c\nhypervisor=KVMKVMKVM\n");
  EXPECT_FALSE(tarvik2::need_reboot_after_dpinst());
}

// --- certificates

TEST_F(FirstBootTest, Server2008AlsoGetsTheTwoRootCertificates) {
  auto certificate_commands = [&](const std::string& product) {
    fs::remove(root_ + "/sim/calls.jsonl");
    release(product);
    utils::reset();
    CInit::inst_cer();
    return cmdlines();
  };
  EXPECT_THAT(
      certificate_commands("Windows Server (R) 2008 Enterprise"),
      ElementsAre(
          "certutil -addstore -f TrustedPublisher C:\\ProgramData\\kovenu\\tarvik\\kovenu.cer",
          "certutil -addstore -f root C:\\ProgramData\\kovenu\\tarvik\\globalsign.cer",
          "certutil -addstore -f root C:\\ProgramData\\kovenu\\tarvik\\verisign.cer"));
  EXPECT_THAT(log_messages(), Contains("CInit::inst_cer cmd certutil -addstore -f root "
                                       "C:\\ProgramData\\kovenu\\tarvik\\verisign.cer result ok"));
  EXPECT_EQ(certificate_commands("Windows Server 2008 R2 Datacenter").size(), 1u);
  EXPECT_EQ(certificate_commands("Windows Server 2019 Datacenter").size(), 1u);
}

// --- the whole work

TEST_F(FirstBootTest, TheStepsRunInOrderAndLeaveTheGuestConfigured) {
  set_machine_ini(std::string(kDefaultMachineIni) +
                  "[adapter.1]\nindex=7\nmac=52:54:00:aa:bb:01\nname=Ethernet\n"
                  "id={11111111-2222-3333-4444-555555555555}\ndescription=Virtio\n");
  saved_config(std::string("[config]\r\nK1=") + kAgent + " config windows network_clean \r\n" +
               "K2=" + kAgent + " config windows host a b \r\n");
  first_boot();
  EXPECT_THAT(
      cmdlines(),
      ElementsAre(
          "certutil -addstore -f TrustedPublisher C:\\ProgramData\\kovenu\\tarvik\\kovenu.cer",
          "sc config iphlpsvc start= auto", "sc config dhcp start= auto",
          "sc config dnscache start= auto", "sc start  iphlpsvc", "sc start  dhcp",
          "sc start  dnscache", "netsh interface ip set address name=7 source = dhcp",
          "netsh interface ip set dns name=7 source = dhcp",
          "C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\2.1.0\\install.bat",
          "cacls c:\\ProgramData\\kovenu /T /E /R Users"));
  std::vector<Call> calls = read_calls(root_);
  EXPECT_EQ(calls.back().how, "nocapture");
  EXPECT_THAT(log_messages(), Contains("cmd:sc start  dhcp  code:0  out:[SC] SUCCESS"));
  EXPECT_THAT(log_messages(), Contains("launch_assist script:C:\\ProgramData\\kovenu\\tarvik\\..\\"
                                       "assist\\2.1.0\\install.bat  code:0  out:installed"));
  EXPECT_THAT(log_messages(),
              Contains("cmd:cacls c:\\ProgramData\\kovenu /T /E /R Users  code:0 "));
  int exits = 0;
  for (const auto& m : log_messages()) exits += m == "tarvik exit 0,success";
  EXPECT_EQ(exits, 2);

  uint32_t deny = 1;
  RegKey ts;
  ASSERT_EQ(
      p().registry().open("SYSTEM\\CurrentControlSet\\Control\\Terminal Server", reg::kKeyRead, ts),
      0u);
  ASSERT_EQ(ts.query_dword("fDenyTSConnections", deny), 0u);
  EXPECT_EQ(deny, 0u);
  EXPECT_FALSE(service_registered());
  EXPECT_FALSE(fs::exists(host(kIni)));
  EXPECT_THAT(archives(), ElementsAre("2025.01.06.09.49.05.tarvik.ini"));
  // The default guest is KVM: the driver versions end the work (0.0.0.0 without the files).
  EXPECT_THAT(log_messages(), Contains("version of vioser.sys is 0.0.0.0"));
}

TEST_F(FirstBootTest, TheArchiveKeepsNoPasswordCommand) {
  // Password commands that did not succeed stay after the replay: one in capitals (an
  // unknown operation) and one whose password is not Base64.
  saved_config(std::string("[config]\r\nK1=") + kAgent + " config windows host a b \r\n" +
               "K2=" + kAgent + " config windows PASSWD admin U2VjcmV0MQ== \r\n" + "K3=" + kAgent +
               " config windows passwd admin !!Secret2 \r\n" + "K4=" + kAgent +
               " config windows passwd admin U2VjcmV0Mw== \r\n");
  first_boot();
  ASSERT_EQ(archives().size(), 1u);
  std::string archive = read(host("C:\\ProgramData\\kovenu\\tarvik\\" + archives()[0]));
  EXPECT_THAT(archive, HasSubstr("K1="));
  EXPECT_THAT(archive, Not(HasSubstr("passwd")));
  EXPECT_THAT(archive, Not(HasSubstr("PASSWD")));
  EXPECT_THAT(log_messages(), Contains("delete_tarvik2 removed the password command K2"));
  EXPECT_THAT(log_messages(), Contains("delete_tarvik2 removed the password command K3"));
  // K4 succeeded: the replay itself took it out.
  EXPECT_THAT(log_messages(), Not(Contains("delete_tarvik2 removed the password command K4")));
  std::string all = log_text();
  for (const char* secret : {"U2VjcmV0", "Secret2"}) EXPECT_THAT(all, Not(HasSubstr(secret)));
}

TEST_F(FirstBootTest, WithoutSavedConfigurationOrAssistantVersionTheWorkStillEnds) {
  write(host("C:\\ProgramData\\kovenu\\assist\\config.ini"), "[assist]\r\n");
  // No rule answers the installer: the path without a version names no file.
  write(root_ + "/sim/tools.ini",
        std::string(kTools).substr(0, std::string(kTools).find("[rule.install]")));
  first_boot();
  EXPECT_THAT(log_messages(), Contains("delete_tarvik2 movefile fail 2, del it"));
  EXPECT_THAT(log_messages(),
              Contains("launch_assist script:C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\\\"
                       "install.bat  code:2  out:"));
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:start_assist_error "));
  EXPECT_THAT(log_messages(),
              Contains("cmd:cacls c:\\ProgramData\\kovenu /T /E /R Users  code:0 "));
  EXPECT_THAT(archives(), IsEmpty());
}

TEST_F(FirstBootTest, AnAssistantVersionOtherThanNumbersIsTakenAsNone) {
  // No rule answers an installer: the path without a version names no file.
  write(root_ + "/sim/tools.ini",
        std::string(kTools).substr(0, std::string(kTools).find("[rule.install]")));
  const std::string none = "C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\\\install.bat";
  for (const std::string version : {"..\\..\\..\\Users\\Public", "..\\x", "2.1 0", ".."}) {
    write(host("C:\\ProgramData\\kovenu\\assist\\config.ini"),
          "[assist]\r\nversion=" + version + "\r\n");
    fs::remove(root_ + "/sim/calls.jsonl");
    fs::remove_all(host("C:\\ProgramData\\kovenu\\tarvik\\log"));
    first_boot();
    std::vector<std::string> started = cmdlines();
    EXPECT_THAT(started, Contains(none)) << version;
    EXPECT_THAT(started, Not(Contains(HasSubstr("install.bat ")))) << version;
    EXPECT_EQ(std::count_if(started.begin(), started.end(),
                            [](const std::string& c) { return c.ends_with("install.bat"); }),
              1)
        << version;
    std::vector<std::string> lines = messages_between("launch_assist", "TARVIK_REPORT_ERROR");
    EXPECT_THAT(lines,
                ElementsAre("launch_assist version " + version + " is not a version, none taken",
                            "launch_assist script:" + none + "  code:2  out:",
                            "TARVIK_REPORT_ERROR:start_assist_error "))
        << version;
  }
}

TEST_F(FirstBootTest, ANumberedAssistantVersionNamesItsInstallerFolder) {
  write(host("C:\\ProgramData\\kovenu\\assist\\config.ini"), "[assist]\r\nversion=2.1.0.5\r\n");
  first_boot();
  EXPECT_THAT(cmdlines(),
              Contains("C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\2.1.0.5\\install.bat"));
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("is not a version"))));
  EXPECT_THAT(log_messages(), Not(Contains(HasSubstr("start_assist_error"))));
}

TEST_F(FirstBootTest, ASavedConfigurationThatCannotBeArchivedIsDeleted) {
  // A read-only file already holds the archive's name: the move cannot replace it.
  std::string taken = host("C:\\ProgramData\\kovenu\\tarvik\\2025.01.06.09.49.05.tarvik.ini");
  write(taken, "older");
  fs::permissions(taken, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  saved_config(std::string("[config]\r\nK1=") + kAgent +
               " config windows passwd admin !!Secret \r\n");
  first_boot();
  EXPECT_THAT(log_messages(), Contains("delete_tarvik2 movefile fail 5, del it"));
  EXPECT_FALSE(fs::exists(host(kIni)));
  EXPECT_EQ(read(taken), "older");
}

TEST_F(FirstBootTest, DriverVersionsAreLoggedOnKvmOnly) {
  mkdirs(host("C:\\Windows\\System32\\drivers"));
  ASSERT_TRUE(sim::write_version_stamp(host("C:\\Windows\\System32\\drivers\\netkvm.sys"),
                                       {100, 94, 104, 26200}));
  utils::reset();
  tarvik2::log_virtio_versions();
  EXPECT_THAT(log_messages(), Contains("version of viostor.sys is 0.0.0.0"));
  EXPECT_THAT(log_messages(), Contains("version of netkvm.sys is 100.94.104.26200"));

  set_machine_ini("[system]\ndrive=c\nhypervisor=XenVMMXenVMM\n[clock]\nmode=virtual\n");
  fs::remove_all(host("C:\\ProgramData\\kovenu\\tarvik\\log"));
  utils::reset();
  tarvik2::log_virtio_versions();
  EXPECT_THAT(log_messages(), IsEmpty());
}

}  // namespace
}  // namespace tarvik::test
