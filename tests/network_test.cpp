// Adapters by MAC, the loopback adapter, and the ip, ip_segment, route and dns
// operations against a simulated guest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/config.h"
#include "frame/utils.h"
#include "support/agent_test.h"
#include "support/cli.h"

namespace tarvik::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kVirtio[] =
    "[adapter.1]\n"
    "index=7\n"
    "mac=52:54:00:aa:bb:01\n"
    "name=Ethernet\n"
    "id={11111111-2222-3333-4444-555555555555}\n"
    "description=Virtio Ethernet Adapter\n";

constexpr char kLoopback[] =
    "[adapter.2]\n"
    "index=9\n"
    "mac=02:00:4c:4f:4f:50\n"
    "name=Ethernet 2\n"
    "id={AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}\n"
    "description=Microsoft KM-TEST Loopback Adapter\n";

// Every tool answers 0 unless a test's rule, placed first, says otherwise.
constexpr char kRules[] =
    "[rule.netsh]\nmatch=netsh *\nexit=0\noutput=Ok.\\r\\n\n"
    "[rule.route]\nmatch=route *\nexit=0\noutput= OK!\\r\\n\n";

class NetworkTest : public AgentTest {
 protected:
  // A fresh machine: these adapters, these rules first, no calls yet, the clock at 0.
  void guest(const std::string& adapters, const std::string& rules = "") {
    write(root_ + "/sim/tools.ini", rules + kRules);
    std::filesystem::remove(root_ + "/sim/calls.jsonl");
    std::filesystem::remove(root_ + "/sim/clock.state");
    set_machine_ini(std::string(kDefaultMachineIni) + adapters);
    start_ = platform().clock().tick_count();
  }
  void release_2003() {
    write_hive("C:\\Windows\\System32\\config\\SOFTWARE",
               "[Microsoft\\Windows NT\\CurrentVersion]\n"
               "\"ProductName\"=\"Microsoft Windows Server 2003 R2\"\n");
  }
  // The agent run with "config x" and these words.
  int op(std::vector<std::string> words) {
    words.insert(words.begin(), {"config", "x"});
    return run(words);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  size_t count_log(const std::string& prefix) {
    auto m = log_messages();
    return static_cast<size_t>(std::count_if(
        m.begin(), m.end(), [&](const std::string& s) { return s.rfind(prefix, 0) == 0; }));
  }
  // Milliseconds since guest().
  uint32_t now() { return platform().clock().tick_count() - start_; }
  uint32_t start_ = 0;
};

// --- lookups

TEST_F(NetworkTest, MacLookupsMatchAnyCaseAndWaitForALateAdapter) {
  std::string late = kVirtio;
  late += "present_after_ms=10000\n";
  guest(late);
  EXPECT_EQ(Config::instance().get_adapter_index("52:54:00:AA:BB:01"), 7);
  EXPECT_EQ(count_log("get_adapter_index retry "), 10u);
  EXPECT_THAT(log_messages(), Contains("get_adapter_index retry 10"));
  EXPECT_EQ(now(), 10000u);
  EXPECT_EQ(Config::instance().get_adapter_name("52:54:00:Aa:bB:01"), "Ethernet");
  EXPECT_EQ(
      Config::instance().get_adapter_name_by_address(std::string("\x52\x54\x00\xaa\xbb\x01", 6)),
      "Ethernet");
  EXPECT_EQ(count_log("get_adapter_name retry "), 0u);
}

TEST_F(NetworkTest, AGuestWithoutAnyAdapterGivesUpLikeAMissingMac) {
  guest("");
  EXPECT_EQ(Config::instance().get_adapter_index("52:54:00:aa:bb:01"), -1);
  EXPECT_EQ(count_log("get_adapter_index retry "), 359u);
  EXPECT_EQ(now(), 359000u);
  EXPECT_EQ(Config::instance().get_adapter_name("52:54:00:aa:bb:01"), "");
  EXPECT_EQ(count_log("get_adapter_name retry "), 359u);
  // The loopback lookups: 120 attempts 3 s apart, without retry lines.
  uint32_t start = now();
  EXPECT_EQ(Config::instance().get_msloop_index(), 0);
  EXPECT_EQ(now() - start, 119u * 3000u);
  EXPECT_THAT(log_messages(), Contains("get_msloop_index err"));
}

TEST_F(NetworkTest, MacTextIsTheFirstSixBytesWhateverTheLength) {
  EXPECT_EQ(Config::mac_text(std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)),
            "01:02:03:04:05:06");
  EXPECT_EQ(Config::mac_text(""), "00:00:00:00:00:00");
  EXPECT_TRUE(Config::is_loopback_description("microsoft LOOPBACK adapter"));
  EXPECT_FALSE(Config::is_loopback_description("Microsoft Loopback"));
}

TEST_F(NetworkTest, CheckMsloopInstallsOnlyAfter120FailedSearches) {
  guest(kVirtio);
  EXPECT_EQ(Config::instance().check_msloop(), 0);
  std::vector<Call> calls = read_calls(root_);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cmdline,
            "C:\\ProgramData\\kovenu\\tarvik\\devcon_x64.exe install "
            "c:\\windows\\inf\\netloop.inf *MSLOOP");
  EXPECT_EQ(now(), 119u * 3000u);
  // Now present: found at once.
  reload();
  EXPECT_EQ(Config::instance().check_msloop(), 0);
  EXPECT_THAT(log_messages(), Contains("msloop already exist"));
  EXPECT_THAT(log_messages(), Contains("get_msloop_index value:8 try:0"));
}

TEST_F(NetworkTest, TheDevconLineIsBuiltWholeUnderALongFolder) {
  std::string folder = "C:\\" + std::string(240, 'f');
  write(root_ + "/sim/tools.ini", kRules);
  set_machine_ini("[system]\ndrive=c\nwow64=0\nprogram=" + folder +
                  "\\tarvik.exe\n[clock]\nmode=virtual\n" + kLoopback);
  start_ = platform().clock().tick_count();
  EXPECT_EQ(Config::instance().reset_msloop(), 0);
  EXPECT_THAT(cmdlines(), ElementsAre(folder + "\\devcon_x86.exe disable *MSLOOP",
                                      folder + "\\devcon_x86.exe enable *MSLOOP"));
  EXPECT_EQ(now(), 1000u);
}

TEST_F(NetworkTest, MsloopNameGivesTheConnectionNameOrTheIdentifier) {
  guest(std::string(kVirtio) + kLoopback);
  EXPECT_EQ(Config::instance().get_msloop_name(true), "Ethernet 2");
  EXPECT_EQ(Config::instance().get_msloop_name(false), "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
  EXPECT_EQ(now(), 0u);

  // An adapter without an identifier is not found (never the Interfaces key itself).
  guest(
      "[adapter.1]\nindex=9\nname=Ethernet 2\n"
      "description=Microsoft KM-TEST Loopback Adapter\n");
  EXPECT_EQ(Config::instance().get_msloop_name(true), "Ethernet 2");
  EXPECT_EQ(Config::instance().get_msloop_name(false), "");
  EXPECT_THAT(log_messages(), Contains("get_msloop_name err"));
}

// --- segments and masks

TEST_F(NetworkTest, SegmentListsLeaveOutNetworkAndBroadcast) {
  Config::SegmentAddresses list;
  auto all = [&list] {
    std::vector<std::string> out;
    for (uint32_t i = 0; i < list.size(); ++i) out.push_back(list[i]);
    return out;
  };
  ASSERT_TRUE(Config::segment_addresses("192.168.5.0", 30, list));
  EXPECT_THAT(all(), ElementsAre("192.168.5.1", "192.168.5.2"));
  ASSERT_TRUE(Config::segment_addresses("192.168.5.0", 31, list));
  EXPECT_THAT(all(), IsEmpty());
  ASSERT_TRUE(Config::segment_addresses("192.168.5.7", 32, list));
  EXPECT_THAT(all(), ElementsAre("192.168.5.7"));
  ASSERT_TRUE(Config::segment_addresses("10.0.0.0", 0, list));
  EXPECT_THAT(all(), ElementsAre("10.0.0.0"));
  ASSERT_TRUE(Config::segment_addresses("10.1.2.77", 24, list));
  ASSERT_EQ(list.size(), 254u);
  EXPECT_EQ(list[0], "10.1.2.1");
  EXPECT_EQ(list[253], "10.1.2.254");
  // The widest segment is only counted, not made: two billion addresses.
  ASSERT_TRUE(Config::segment_addresses("128.0.0.0", 1, list));
  EXPECT_EQ(list.size(), 0x7FFFFFFEu);
  EXPECT_EQ(list[0], "128.0.0.1");
  EXPECT_EQ(list[list.size() - 1], "255.255.255.254");
  EXPECT_FALSE(Config::segment_addresses("10.1.2", 24, list));
  EXPECT_FALSE(Config::segment_addresses("10.1.2.256", 24, list));

  EXPECT_EQ(Config::prefix_to_mask(24), "255.255.255.0");
  EXPECT_EQ(Config::prefix_to_mask(0), "0.0.0.0");
  EXPECT_EQ(Config::prefix_to_mask(32), "255.255.255.255");
  EXPECT_EQ(Config::prefix_to_mask(30), "255.255.255.252");
  EXPECT_EQ(Config::prefix_to_mask(33), "128.0.0.0");
}

TEST_F(NetworkTest, SegmentOnLaterReleasesNamesTheLoopbackIndex) {
  guest(std::string(kVirtio) + kLoopback);
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", "30"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(),
              ElementsAre("netsh interface ip add address 9  192.168.5.1 "
                          "255.255.255.252 ",
                          "netsh interface ip add address 9  192.168.5.2 "
                          "255.255.255.252 ",
                          "netsh interface ipv4 set interface 9 weakhostreceive=enabled",
                          "netsh interface ipv4 set interface 9 weakhostsend=enabled"));
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", "31"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.9", "32"}), 0);
  EXPECT_THAT(cmdlines(),
              Contains("netsh interface ip add address 9  192.168.5.9 255.255.255.255 "));
  // Not an address: refused before anything changes.
  size_t before = cmdlines().size();
  EXPECT_EQ(op({"ip_segment", "a", "b", "nonsense", "24"}), -1);
  EXPECT_EQ(stdout_, "-1:invalid argument");
  EXPECT_EQ(cmdlines().size(), before);
}

TEST_F(NetworkTest, Segment2003ByNameAndTheRegistryRoadForOneSlash32) {
  guest(std::string(kVirtio) + kLoopback);
  release_2003();
  write_hive("C:\\Windows\\System32\\config\\SYSTEM",
             "[Select]\n\"Current\"=dword:00000001\n"
             "[ControlSet001\\services\\Tcpip\\Parameters\\Interfaces\\"
             "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}]\n");
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", "30"}), 0);
  EXPECT_THAT(cmdlines(), ElementsAre("netsh interface ip add address \"Ethernet 2\" 192.168.5.1 "
                                      "255.255.255.252  1",
                                      "netsh interface ip add address \"Ethernet 2\" 192.168.5.2 "
                                      "255.255.255.252  1"));
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.9", "32"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  RegKey key;
  ASSERT_EQ(platform().registry().open("SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\"
                                       "Interfaces\\{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}",
                                       reg::kKeyRead, key),
            0u);
  RegValue v;
  ASSERT_EQ(key.query("IPAddress", v), 0u);
  EXPECT_EQ(v.type, reg::kMultiSz);
  EXPECT_EQ(v.data, std::string("192.168.5.9") + std::string(9, '\0'));
  ASSERT_EQ(key.query("SubnetMask", v), 0u);
  EXPECT_EQ(v.data, std::string("255.255.255.255\0\0", 17));
  std::vector<std::string> calls = cmdlines();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[2], "C:\\ProgramData\\kovenu\\tarvik\\devcon_x64.exe disable *MSLOOP");
  EXPECT_EQ(calls[3], "C:\\ProgramData\\kovenu\\tarvik\\devcon_x64.exe enable *MSLOOP");
}

TEST_F(NetworkTest, SegmentFailuresReportMinusOne) {
  // devcon says it installed the adapter but none appears.
  guest(kVirtio, "[rule.devcon]\nmatch=*devcon_x64.exe install *\nexit=0\n");
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", "30"}), -1);
  EXPECT_EQ(stdout_, "-1:get_msloop_index err");

  guest(kVirtio, "[rule.devcon]\nmatch=*devcon_x64.exe install *\nexit=1\n");
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", "30"}), -1);
  EXPECT_EQ(stdout_, "-1:check_msloop err code :1");

  guest(std::string(kVirtio) + kLoopback);
  release_2003();  // no Interfaces key for the adapter
  EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.9", "32"}), -1);
  EXPECT_EQ(stdout_, "-1:RegOpenKey err");
}

TEST_F(NetworkTest, PrefixesOutside0To32AreRefusedBeforeAnythingRuns) {
  // Taken modulo 32, 33 would be /1: two billion addresses, and a route masked wrongly.
  guest(std::string(kVirtio) + kLoopback);
  for (const char* prefix : {"33", "-1", "99999999999"}) {
    EXPECT_EQ(op({"ip_segment", "a", "b", "192.168.5.0", prefix}), -1) << prefix;
    EXPECT_EQ(stdout_, "-1:invalid argument");
    EXPECT_EQ(op({"route", "10.1.0.0", prefix, "10.0.0.1", "x"}), -1) << prefix;
    EXPECT_EQ(stdout_, "-1:invalid argument");
  }
  EXPECT_THAT(cmdlines(), IsEmpty());
}

// --- ip

TEST_F(NetworkTest, IpByIndexLogsTheCombinedCodeOfEachAttempt) {
  guest(kVirtio,
        "[rule.recv]\nmatch=* weakhostreceive=enabled\nexit=1\noutput=recv\n"
        "[rule.send]\nmatch=* weakhostsend=enabled\nexit=4\noutput=send failed\n");
  EXPECT_EQ(op({"ip", "52:54:00:AA:BB:01", "unused", "10.0.0.9", "255.255.255.0", "10.0.0.1"}), -1);
  EXPECT_EQ(stdout_, "-1:fail config ip send failed");
  auto m = log_messages();
  std::vector<std::string> cmd_lines;
  for (const auto& s : m)
    if (s.rfind("cmd:", 0) == 0) cmd_lines.push_back(s);
  ASSERT_EQ(cmd_lines.size(), 9u);
  EXPECT_EQ(cmd_lines[0],
            "cmd:netsh interface ip add address 7  10.0.0.9 255.255.255.0 10.0.0.1  code:0  "
            "out:Ok.");
  EXPECT_EQ(cmd_lines[1],
            "cmd:netsh interface ipv4 set interface 7 weakhostreceive=enabled  code:1  out:recv");
  EXPECT_EQ(
      cmd_lines[2],
      "cmd:netsh interface ipv4 set interface 7 weakhostsend=enabled  code:5  out:send failed");
  EXPECT_THAT(m, Contains("TARVIK_REPORT_ERROR:config_ip_error send failed"));
  EXPECT_EQ(now(), 10000u);  // three attempts, two pauses
}

TEST_F(NetworkTest, IpByNameOn2003AndTheNotFoundTexts) {
  guest(kVirtio);
  release_2003();
  EXPECT_EQ(op({"ip", "52:54:00:aa:bb:01", "unused", "10.0.0.9", "255.255.255.0", "10.0.0.1"}), 0);
  EXPECT_THAT(cmdlines(), ElementsAre("netsh interface ip add address \"Ethernet\" 10.0.0.9 "
                                      "255.255.255.0 10.0.0.1 1"));
  EXPECT_EQ(op({"ip", "52:54:00:aa:bb:02", "unused", "10.0.0.9", "255.255.255.0", "10.0.0.1"}), -1);
  EXPECT_EQ(stdout_, "-1:do not find the adapter name");
  EXPECT_THAT(log_messages(), Not(Contains(::testing::HasSubstr("TARVIK_REPORT_ERROR"))));

  guest(kVirtio);
  std::filesystem::remove(root_ + "/c/Windows/System32/config/SOFTWARE");
  reload();
  EXPECT_EQ(op({"ip", "52:54:00:aa:bb:02", "unused", "10.0.0.9", "255.255.255.0", "10.0.0.1"}), -1);
  EXPECT_EQ(stdout_, "-1:do not find the adapter index");
  EXPECT_THAT(log_messages(),
              Contains("TARVIK_REPORT_ERROR:get_adapter_index_error 52:54:00:aa:bb:02"));
}

TEST_F(NetworkTest, AnArgumentThatCannotFitIsRefusedWhole) {
  guest(kVirtio);
  std::string huge(1100, '1');
  EXPECT_EQ(op({"ip", "52:54:00:aa:bb:01", "unused", huge, "255.255.255.0", "10.0.0.1"}), -1);
  EXPECT_EQ(stdout_, "-1:invalid argument");
  EXPECT_EQ(op({"route", huge, "16", "10.0.0.1", "x"}), -1);
  EXPECT_EQ(stdout_, "-1:invalid argument");
  EXPECT_THAT(cmdlines(), IsEmpty());
}

// --- route and dns

TEST_F(NetworkTest, ARouteThatDidNotExistIsAddedInOneAttempt) {
  guest("", "[rule.del]\nmatch=Route delete -p *\nexit=1\noutput=Element not found.\n");
  EXPECT_EQ(op({"route", "10.2.0.0", "16", "10.0.0.1", "x"}), 0);
  EXPECT_EQ(stdout_, "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre("Route delete -p 10.2.0.0",
                                      "Route add -p 10.2.0.0 mask 255.255.0.0 10.0.0.1"));
  EXPECT_EQ(now(), 0u);

  guest("", "[rule.add]\nmatch=Route add *\nexit=87\noutput=bad gateway\n");
  EXPECT_EQ(op({"route", "10.2.0.0", "16", "10.0.0.1", "x"}), -1);
  EXPECT_EQ(stdout_, "-1:fail config ip bad gateway");
  EXPECT_EQ(cmdlines().size(), 6u);
  EXPECT_THAT(log_messages(),
              Contains("TARVIK_REPORT_ERROR:config_route_error code=87 bad gateway"));
}

TEST_F(NetworkTest, DnsGivesUpAfterTwoAttemptsByIndexAndThreeByName) {
  const std::string fail = "[rule.dns]\nmatch=netsh interface ip set dns *\nexit=1\noutput=no\n";
  guest(kVirtio, fail);
  EXPECT_EQ(op({"dns", "52:54:00:aa:bb:01", "1.1.1.1", "8.8.8.8"}), -1);
  EXPECT_EQ(stdout_, "-1:fail config dns");
  EXPECT_THAT(cmdlines(), ElementsAre("netsh interface ip set dns 7 static 1.1.1.1 primary",
                                      "netsh interface ip add dns 7 8.8.8.8 index=2",
                                      "netsh interface ip set dns 7 static 1.1.1.1 primary",
                                      "netsh interface ip add dns 7 8.8.8.8 index=2"));
  EXPECT_THAT(log_messages(), Contains("TARVIK_REPORT_ERROR:config_dns_error code=1 Ok."));

  guest(kVirtio, fail);
  release_2003();
  EXPECT_EQ(op({"dns", "52:54:00:aa:bb:01", "1.1.1.1", "8.8.8.8"}), -1);
  std::vector<std::string> calls = cmdlines();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[0], "netsh interface ip set dns \"Ethernet\" static 1.1.1.1 primary");
  EXPECT_EQ(calls[1], "netsh interface ip add dns \"Ethernet\" 8.8.8.8 index=2");

  EXPECT_EQ(op({"dns", "52:54:00:aa:bb:02", "1.1.1.1", "8.8.8.8"}), -1);
  EXPECT_EQ(stdout_, "-1:not find the adapter name");
}

}  // namespace
}  // namespace tarvik::test
