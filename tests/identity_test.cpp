// The identity operations as the platform runs them: password, host name (running guest
// and offline installation), time servers, update server, and the offline time zone and
// clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "config/config.h"
#include "frame/utils.h"
#include "platform/sim/command_line.h"
#include "platform/sim/ini.h"
#include "platform/sim/profile.h"
#include "platform/sim/services.h"
#include "support/agent_test.h"
#include "support/cli.h"
#include "support/delegating_platform.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class GuestCliTest : public TempGuestTest {
 protected:
  // A running guest, or with iso a medium and its offline installation.
  void make_guest(bool iso) {
    TempGuestTest::SetUp();
    init_guest(iso);
  }
  std::string out(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"config", "x"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik(root_, words).out;
  }
  std::string reg(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"reg"};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik_sim(root_, words).out;
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> lines;
    for (const Call& c : read_calls(root_)) lines.push_back(c.cmdline);
    return lines;
  }
  // Everything the agent wrote where a reader other than the machine could see it.
  std::string agent_output(char drive) { return slurp(root_ + "/sim/COM1") + log(drive); }
  // A rule ahead of the guest's own.
  void add_rule(const std::string& match, int exit) {
    std::string tools = slurp(root_ + "/sim/tools.ini");
    put(root_ + "/sim/tools.ini", "[rule.t" + std::to_string(++rules_) + "]\nmatch=" + match +
                                      "\nexit=" + std::to_string(exit) + "\noutput=no\n" + tools);
  }
  int rules_ = 0;
};

class RunningGuestTest : public GuestCliTest {
 protected:
  void SetUp() override { make_guest(false); }
  std::string host_names() {
    std::string all;
    for (const char* key : {"HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\"
                            "ActiveComputerName",
                            "HKLM\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                            "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters"})
      all += reg({"query", key});
    return all;
  }
};

TEST_F(RunningGuestTest, HostNamesAreCutToAComputerNameInEveryValue) {
  EXPECT_EQ(out({"hostname", "ABCDEFGHIJKLMNOPQRST"}), "0:success");
  std::string names = host_names();
  for (const char* value :
       {"ComputerName    REG_SZ    ABCDEFGHIJKLMNO\n", "Hostname    REG_SZ    ABCDEFGHIJKLMNO\n",
        "NV Hostname    REG_SZ    ABCDEFGHIJKLMNO\n"})
    EXPECT_THAT(names, HasSubstr(value));
  EXPECT_THAT(names, Not(HasSubstr("ABCDEFGHIJKLMNOP")));

  EXPECT_EQ(out({"hostname", "web-01_a.example.com"}), "0:success");
  EXPECT_THAT(host_names(), HasSubstr("NV Hostname    REG_SZ    web-01_a\n"));
}

TEST_F(RunningGuestTest, RefusedHostNamesWriteNothing) {
  std::string before = host_names();
  for (const char* name : {"bad*name", "12345", ".example.com", "caf\xc3\xa9", "a b"}) {
    EXPECT_EQ(out({"hostname", name}), std::string("-1:invalid host name ") + name);
  }
  EXPECT_EQ(host_names(), before);
}

TEST_F(RunningGuestTest, PasswordsReachNetUserAsOneArgumentAndNeverTheLog) {
  EXPECT_EQ(out({"passwd", "admin", "cGFzcyB3b3Jk"}), "0:success");  // "pass word"
  EXPECT_EQ(out({"passwd", "the admin", "YSJi"}), "0:success");      // a"b
  EXPECT_EQ(out({"passwd", "admin", "UzNjcmV0IQ=="}), "0:success");  // S3cret!
  EXPECT_THAT(cmdlines(),
              ElementsAre("net user admin \"pass word\"", "net user \"the admin\" \"a\\\"b\"",
                          "net user admin S3cret!"));
  std::string seen = agent_output('c');
  for (const char* secret : {"pass word", "cGFzcyB3b3Jk", "YSJi", "S3cret", "UzNjcmV0"})
    EXPECT_THAT(seen, Not(HasSubstr(secret))) << secret;
}

TEST_F(RunningGuestTest, AFailingNetUserIsTriedThriceWithoutShowingThePassword) {
  add_rule("net user *", 2245);
  EXPECT_EQ(out({"passwd", "admin", "cGFzcyB3b3Jk"}), "-1:config pass fail");
  std::vector<Call> calls = read_calls(root_);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].exit, 2245);
  std::string seen = agent_output('c');
  size_t errors = 0;
  for (size_t at = 0; (at = seen.find("config_passwd_error code=2245 no", at)) != std::string::npos;
       ++at)
    ++errors;
  EXPECT_EQ(errors, 6u);  // three in the log, three on the serial port
  EXPECT_THAT(seen, Not(HasSubstr("pass word")));
  EXPECT_THAT(seen, Not(HasSubstr("cGFzcyB3b3Jk")));
}

TEST_F(RunningGuestTest, PasswordTextThatGivesNoPasswordIsRefused) {
  std::string long_password(512, 'x');
  std::string long_base64;  // 512 "x" = 170 groups of "eHh4" and "eHg="
  for (int i = 0; i < 170; ++i) long_base64 += "eHh4";
  long_base64 += "eHg=";
  for (const std::string& text :
       {std::string("!!!!"), std::string("cGFzcw"),
        std::string("cG=="
                    "Fz"),
        std::string(""), std::string("AA=="), std::string("YQBi"), long_base64})
    EXPECT_EQ(out({"passwd", "admin", text}), "-1:invalid password encoding") << text;
  EXPECT_TRUE(cmdlines().empty());
}

TEST_F(RunningGuestTest, PasswordsThatNetWouldReadAsItsOwnSyntaxAreRefused) {
  // "/delete", "*" (net asks on the console) and "/active:no".
  for (const char* text : {"L2RlbGV0ZQ==", "Kg==", "L2FjdGl2ZTpubw=="})
    EXPECT_EQ(out({"passwd", "Administrator", text}), "-1:invalid password") << text;
  EXPECT_TRUE(cmdlines().empty());
  std::string seen = agent_output('c');
  EXPECT_THAT(seen, HasSubstr("] tarvik exit -1,invalid password\r\n"));
  for (const char* secret : {"/delete", "/active", "L2RlbGV0ZQ", "Kg==", "L2FjdGl2ZTpubw"})
    EXPECT_THAT(seen, Not(HasSubstr(secret))) << secret;

  // A slash after the first character is the password's own.
  EXPECT_EQ(out({"passwd", "Administrator", "YS9i"}), "0:success");  // a/b
  EXPECT_THAT(cmdlines(), ElementsAre("net user Administrator a/b"));
}

// What each wipe of the password operation was given, how many processes had started by
// then, and whether the text's buffer held only zeros after it.
class WipeWatch final : public DelegatingSystem {
 public:
  struct Wipe {
    std::string text;
    size_t started;
    bool zeroed;
  };
  WipeWatch(System& inner, std::string root) : DelegatingSystem(inner), root_(std::move(root)) {}
  void wipe(std::string& text) override {
    Wipe w{text, read_calls(root_).size(), false};
    const char* buffer = text.data();
    size_t capacity = text.capacity();
    DelegatingSystem::wipe(text);
    w.zeroed = text.empty() && text.data() == buffer &&
               std::all_of(buffer, buffer + capacity, [](char c) { return c == 0; });
    wipes.push_back(w);
  }
  std::vector<Wipe> wipes;

 private:
  std::string root_;
};

class WatchedPlatform final : public DelegatingPlatform {
 public:
  WatchedPlatform(std::unique_ptr<Platform> inner, const std::string& root)
      : DelegatingPlatform(std::move(inner)), system_(this->inner().system(), root) {}
  System& system() override { return system_; }
  WipeWatch system_;
};

class PasswordWipeTest : public AgentTest {
 protected:
  void SetUp() override {
    AgentTest::SetUp();
    write(root_ + "/sim/tools.ini", "[rule.net]\nmatch=net *\nexit=0\noutput=\n");
    std::string error;
    auto inner = sim::make_platform(root_, error);
    ASSERT_TRUE(inner) << error;
    watched_ = new WatchedPlatform(std::move(inner), root_);
    install_platform(std::unique_ptr<Platform>(watched_));
    utils::reset();
  }
  std::vector<WipeWatch::Wipe> passwd(const std::string& base64) {
    watched_->system_.wipes.clear();
    fs::remove(root_ + "/sim/calls.jsonl");
    run({"config", "x", "passwd", "admin", base64});
    return watched_->system_.wipes;
  }
  // Whether there was a text that held secret and every such text was wiped to zeros.
  static bool wiped(const std::vector<WipeWatch::Wipe>& wipes, const std::string& secret) {
    bool any = false;
    for (const auto& w : wipes) {
      if (w.text.find(secret) == std::string::npos) continue;
      any = true;
      if (!w.zeroed) return false;
    }
    return any;
  }
  WatchedPlatform* watched_ = nullptr;
};

TEST_F(PasswordWipeTest, TheDecodedPasswordIsWipedOnceNetHasStartedOrItIsRefused) {
  std::vector<WipeWatch::Wipe> wipes = passwd("cGFzcyB3b3Jk");  // "pass word"
  EXPECT_EQ(stdout_, "0:success");
  // The password, its quoted word and the command line that holds it; that last one after
  // net ran.
  EXPECT_TRUE(wiped(wipes, "pass word"));
  bool command = false;
  for (const auto& w : wipes)
    if (w.text == "net user admin \"pass word\"") command = w.zeroed && w.started == 1;
  EXPECT_TRUE(command);

  EXPECT_TRUE(wiped(passwd("L2RlbGV0ZQ=="), "/delete"));
  EXPECT_EQ(stdout_, "-1:invalid password");
  EXPECT_TRUE(wiped(passwd("AGFi"), std::string("\0ab", 3)));
  EXPECT_EQ(stdout_, "-1:invalid password encoding");
  EXPECT_TRUE(read_calls(root_).empty());
}

TEST(CommandLineWord, TheRuntimeSplitsEachWordBackWhole) {
  EXPECT_EQ(command_line_word("plain"), "plain");
  for (std::string arg : {"", "a b", "tab\there", "say \"hi\"", "end\\", "back\\\\\"q",
                          "c:\\dir with blank\\", "\\\\server\\share", "a\\b"})
    EXPECT_THAT(sim::split_command_line("net " + command_line_word(arg)), ElementsAre("net", arg))
        << command_line_word(arg);
}

TEST_F(RunningGuestTest, TimeServersBecomeThePeerListWithoutEmptyNames) {
  EXPECT_EQ(out({"ntp", "a"}), "0:success");
  EXPECT_EQ(out({"ntp", ",a,,b,"}), "0:success");
  EXPECT_EQ(out({"ntp", ",,"}), "-1:invalid time server list");
  EXPECT_THAT(cmdlines(),
              ElementsAre("w32tm /config /manualpeerlist:\"a,0x9\" /syncfromflags:manual /update",
                          "w32tm /config /manualpeerlist:\"a,0x9 b,0x9\" /syncfromflags:manual "
                          "/update"));
}

TEST_F(RunningGuestTest, ATimeServerNameThatIsNotAHostNameOrAddressRefusesTheList) {
  // A quote, a blank, a switch, a tab or a CR: each could end the peer list inside
  // w32tm's command line.
  for (const char* list :
       {"a\" /computer:evil.example \"b", "ntp1,time a", "ntp1,/update", "ntp1,a\tb", "a\rb,ntp2"})
    EXPECT_EQ(out({"ntp", list}), "-1:invalid time server list") << list;
  EXPECT_TRUE(cmdlines().empty());
  std::string seen = log('c');
  EXPECT_THAT(seen, HasSubstr("] refused time server name a\" /computer:evil.example \"b\r\n"));
  EXPECT_THAT(seen, HasSubstr("] refused time server name /update\r\n"));
  EXPECT_THAT(seen, HasSubstr("] refused time server name a\\rb\r\n"));  // as the log escapes

  EXPECT_EQ(out({"ntp", "fe80::1,2001:db8::123,time-a.example-1.com,,10.0.0.1"}), "0:success");
  EXPECT_THAT(cmdlines(), ElementsAre("w32tm /config /manualpeerlist:\"fe80::1,0x9 "
                                      "2001:db8::123,0x9 time-a.example-1.com,0x9 10.0.0.1,0x9\" "
                                      "/syncfromflags:manual /update"));
}

TEST_F(RunningGuestTest, TimeServiceProblems) {
  add_rule("w32tm *", 5);
  EXPECT_EQ(out({"ntp", "a"}), "-1:fail config ntp");
  EXPECT_EQ(read_calls(root_).size(), 3u);
  EXPECT_THAT(agent_output('c'), HasSubstr("TARVIK_REPORT_ERROR:config_ntp_error code=5 no"));

  std::ofstream(root_ + "/machine.ini", std::ios::app) << "[service.W32Time]\npresent=0\n";
  EXPECT_EQ(out({"ntp", "a"}), "-1:OpenService W32Time fail");
  EXPECT_EQ(read_calls(root_).size(), 3u);
}

TEST_F(RunningGuestTest, TheUpdateServerGoesIntoBothViews) {
  EXPECT_EQ(out({"wsus", "http://wsus:8530"}), "0:success");
  for (const char* view : {"/reg:64", "/reg:32"}) {
    std::string key =
        reg({"query", "HKLM\\Software\\Policies\\Microsoft\\Windows\\WindowsUpdate", "/s", view});
    EXPECT_THAT(key, HasSubstr("WUServer    REG_SZ    http://wsus:8530\n")) << view;
    EXPECT_THAT(key, HasSubstr("WUStatusServer    REG_SZ    http://wsus:8530\n")) << view;
    EXPECT_THAT(key, HasSubstr("UseWUServer    REG_DWORD    0x1\n")) << view;
  }
}

// ISO mode: the offline installation on D:.
class OfflineTest : public GuestCliTest {
 protected:
  void SetUp() override {
    make_guest(true);
    mark_installed();
  }
  fs::path d(const std::string& rel) { return fs::path(root_) / "d" / rel; }
  std::string offline(const std::string& key) {
    return reg(
        {"--hive", "D:\\Windows\\System32\\config\\SYSTEM", "query", "ControlSet001\\" + key});
  }
  std::string clock() { return offline("Control\\TimeZoneInformation"); }
  void with_map() {
    fs::create_directories(d("ProgramData/kovenu/tarvik"));
    fs::copy_file(root_ + "/x/kovenu/tarvik/citymaptz.ini",
                  d("ProgramData/kovenu/tarvik/citymaptz.ini"));
  }
  void setup_state(const std::string& state) {
    put(d("Windows/Setup/State/State.ini"), "[State]\r\nImageState=" + state + "\r\n");
  }
};

TEST_F(OfflineTest, WhileSetupIsToRunTheAnswerFileGetsTheName) {
  setup_state("IMAGE_STATE_SPECIALIZE_RESEAL_TO_OOBE");
  std::string twice = "<a><ComputerName/></a><b><computername/></b>";
  put(d("Windows/Panther/unattend.xml"), twice);
  EXPECT_EQ(out({"hostname", "ABCDEFGHIJKLMNOPQRST"}), "0:success");
  EXPECT_EQ(slurp(d("Windows/Panther/unattend.xml")),
            "<a><ComputerName>ABCDEFGHIJKLMNO</ComputerName></a><b><computername/></b>");
  EXPECT_EQ(slurp(d("Windows/Panther/unattend.xml.old")), twice);
  EXPECT_THAT(offline("Control\\ComputerName\\ComputerName"), HasSubstr("WIN-OFFLINE"));

  put(d("Windows/Panther/unattend.xml"), "<x><computername/><ComputerName></ComputerName></x>");
  EXPECT_EQ(out({"hostname", "web01.example.com"}), "0:success");
  EXPECT_EQ(slurp(d("Windows/Panther/unattend.xml")),
            "<x><computername/><ComputerName>web01</ComputerName></x>");
  EXPECT_THAT(slurp(d("ProgramData/kovenu/tarvik/tarvik.ini")),
              HasSubstr("config x hostname web01.example.com \r\n"));
}

TEST_F(OfflineTest, WithSetupCompleteOrNoStateTheRegistryGetsTheName) {
  put(d("Windows/Panther/unattend.xml"), "<computername/>");
  EXPECT_EQ(out({"hostname", "first"}), "0:success");
  EXPECT_THAT(offline("Services\\Tcpip\\Parameters"),
              HasSubstr("NV Hostname    REG_SZ    first\n"));
  setup_state("image_state_complete");
  EXPECT_EQ(out({"hostname", "ABCDEFGHIJKLMNOPQRST"}), "0:success");
  for (const char* key :
       {"Control\\ComputerName\\ComputerName", "Control\\ComputerName\\ActiveComputerName",
        "Services\\Tcpip\\Parameters"})
    EXPECT_THAT(offline(key), HasSubstr("REG_SZ    ABCDEFGHIJKLMNO\n")) << key;
  EXPECT_EQ(slurp(d("Windows/Panther/unattend.xml")), "<computername/>");
  EXPECT_FALSE(fs::exists(d("Windows/Panther/unattend.xml.old")));
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));
}

TEST_F(OfflineTest, RefusedOrMissingNamesAreNotRecorded) {
  EXPECT_EQ(out({"hostname", "bad*name"}), "-1:invalid host name bad*name");
  EXPECT_EQ(out({"hostname"}), "-1:invalid host name ");
  EXPECT_FALSE(fs::exists(d("ProgramData/kovenu/tarvik/tarvik.ini")));
  EXPECT_THAT(offline("Control\\ComputerName\\ComputerName"), HasSubstr("WIN-OFFLINE"));
}

TEST_F(OfflineTest, AnUnopenableControlSetLeavesTheNameAloneWithoutAReport) {
  std::string hive = slurp(d("Windows/System32/config/SYSTEM"));
  hive.replace(hive.find("\"Current\"=dword:00000001"), 24, "\"Current\"=dword:00000007");
  put(d("Windows/System32/config/SYSTEM"), hive);
  // The only report is the recording's own.
  EXPECT_EQ(out({"hostname", "web01"}), "0:success");
  EXPECT_THAT(agent_output('d'), HasSubstr("RegOpenKey<_system\\ControlSet007>"));
  EXPECT_THAT(slurp(root_ + "/sim/mounts.ini"), Not(HasSubstr("_SYSTEM")));
  // The clock needs the control set too.
  EXPECT_EQ(out({"timezone_clock", "NULL", "utc"}),
            "-1:inst_utctime reg open current control set fail");
}

TEST_F(OfflineTest, TheDoneCaseSetsZoneAndClock) {
  with_map();
  EXPECT_EQ(out({"timezone_clock", "New York", "utc"}), "0:success code: 0");
  EXPECT_THAT(cmdlines(), ElementsAre("dism /image:d:\\ /Set-TimeZone:\"Eastern Standard Time\""));
  EXPECT_THAT(clock(), HasSubstr("RealTimeIsUniversal    REG_DWORD    0x1\n"));
  EXPECT_EQ(out({"timezone_clock", "NULL", "localtime"}), "0:success code: 0");
  EXPECT_THAT(clock(), HasSubstr("RealTimeIsUniversal    REG_DWORD    0x0\n"));
  EXPECT_EQ(out({"timezone_clock", "NULL", "UTC"}), "0:success code: 0");
  EXPECT_THAT(clock(), HasSubstr("RealTimeIsUniversal    REG_DWORD    0x1\n"));
  EXPECT_FALSE(fs::exists(d("ProgramData/kovenu/tarvik/tarvik.ini")));
}

TEST_F(OfflineTest, EveryResultCodeOfTheTimeZoneAndClock) {
  with_map();
  std::string untouched = clock();
  EXPECT_EQ(out({"timezone_clock", "NULL", "null"}), "0:failed code: 1");
  EXPECT_EQ(out({"timezone_clock"}), "0:failed code: 1");
  EXPECT_EQ(out({"timezone_clock", "Shanghai", "NULL"}), "0:success code: 0");
  EXPECT_EQ(out({"timezone_clock", "Asia/Shanghai"}), "0:success code: 0");
  EXPECT_EQ(out({"timezone_clock", "Nowhere", "utc"}), "0:failed code: -100");
  EXPECT_EQ(out({"timezone_clock", "NULL", "gmt"}), "0:failed code: -1000");
  EXPECT_EQ(clock(), untouched);
  EXPECT_THAT(cmdlines(), ElementsAre("dism /image:d:\\ /Set-TimeZone:\"China Standard Time\"",
                                      "dism /image:d:\\ /Set-TimeZone:\"China Standard Time\""));
  EXPECT_THAT(agent_output('d'),
              HasSubstr("Failed to get timezone from map table file "
                        "d:\\ProgramData\\kovenu\\tarvik\\citymaptz.ini with code 2."));

  add_rule("dism *", 87);
  EXPECT_EQ(out({"timezone_clock", "Tokyo", "utc"}), "0:failed code: 87");
  EXPECT_EQ(clock(), untouched);
}

TEST_F(OfflineTest, WithoutTheMapNoCityIsFound) {
  EXPECT_EQ(out({"timezone_clock", "Shanghai", "NULL"}), "0:failed code: -100");
  EXPECT_TRUE(cmdlines().empty());
  EXPECT_THAT(agent_output('d'), HasSubstr("citymaptz.ini with code 2."));
}

TEST_F(OfflineTest, A2008TargetGetsNeitherZoneNorClock) {
  with_map();
  std::string sw = slurp(d("Windows/System32/config/SOFTWARE"));
  for (size_t at; (at = sw.find("Windows Server 2019")) != std::string::npos;)
    sw.replace(at, 19, "Windows Server 2008");
  put(d("Windows/System32/config/SOFTWARE"), sw);
  std::string untouched = clock();
  EXPECT_EQ(out({"timezone_clock", "London", "utc"}), "0:failed code: -101");
  EXPECT_TRUE(cmdlines().empty());
  EXPECT_EQ(clock(), untouched);
  EXPECT_THAT(agent_output('d'), HasSubstr("Config timezone failed. Do not continue."));
}

// Names a platform may send: current ids, English city names, Windows names; a name
// that is not plain ASCII matches in the UTF-8 code page of the simulated guest.
TEST_F(OfflineTest, CurrentIdsEnglishNamesAndWindowsNamesReachDism) {
  with_map();
  const std::pair<const char*, const char*> names[] = {
      {"Kolkata", "India Standard Time"},
      {"Asia/Kolkata", "India Standard Time"},
      {"Europe/Kyiv", "FLE Standard Time"},
      {"Ho Chi Minh City", "SE Asia Standard Time"},
      {"India Standard Time", "India Standard Time"},
      {"S\xc3\xa3o Paulo", "E. South America Standard Time"}};
  std::vector<std::string> expected;
  for (auto [city, zone] : names) {
    EXPECT_EQ(out({"timezone_clock", city, "NULL"}), "0:success code: 0") << city;
    expected.push_back(std::string("dism /image:d:\\ /Set-TimeZone:\"") + zone + "\"");
  }
  EXPECT_EQ(cmdlines(), expected);
}

std::string city_map() {
  std::ifstream f(std::string(TARVIK_DATA_DIR) + "/citymaptz.ini", std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), {});
}

TEST(CityMap, EveryKeyIsUniqueWithoutRegardToCase) {
  std::string text = city_map();
  std::string keys;
  sim::profile_lookup(text, "timezone", nullptr, "", keys, static_cast<uint32_t>(text.size()));
  std::set<std::string> seen;
  size_t count = 0;
  for (size_t at = 0; at < keys.size(); at = keys.find('\0', at) + 1, ++count) {
    std::string key = sim::to_lower(keys.c_str() + at);
    EXPECT_TRUE(seen.insert(key).second) << key;
  }
  EXPECT_GT(count, 1000u);
}

TEST(CityMap, KnownCitiesMapToTheirWindowsZones) {
  std::string text = city_map();
  auto zone = [&](const char* key) {
    std::string value;
    sim::profile_lookup(text, "timezone", key, "", value, 1024);
    return value;
  };
  EXPECT_EQ(zone("Asia/Shanghai"), "China Standard Time");
  EXPECT_EQ(zone("Shanghai"), "China Standard Time");
  EXPECT_EQ(zone("New York"), "Eastern Standard Time");
  EXPECT_EQ(zone("New_York"), "Eastern Standard Time");
  EXPECT_EQ(zone("London"), "GMT Standard Time");
  EXPECT_EQ(zone("Los Angeles"), "Pacific Standard Time");
  EXPECT_EQ(zone("Sao Paulo"), "E. South America Standard Time");
  EXPECT_EQ(zone("Tokyo"), "Tokyo Standard Time");
  for (const char* key : {"Yangon", "Rangoon", "Asia/Yangon"})
    EXPECT_EQ(zone(key), "Myanmar Standard Time") << key;
  for (const char* key : {"Kathmandu", "Katmandu"}) EXPECT_EQ(zone(key), "Nepal Standard Time");
  for (const char* key : {"Kyiv", "Kiev", "Europe/Kiev"}) EXPECT_EQ(zone(key), "FLE Standard Time");
  EXPECT_EQ(zone("Saigon"), "SE Asia Standard Time");
  EXPECT_EQ(zone("US/Eastern"), "Eastern Standard Time");
  EXPECT_EQ(zone("Etc/GMT+3"), "SA Eastern Standard Time");
  // Not cities: Samoa is Apia's country, not American Samoa (US/Samoa); GMT+3 reads as UTC+3.
  for (const char* key : {"Samoa", "Eastern", "GMT+3", "Alaska"}) EXPECT_EQ(zone(key), "") << key;
  EXPECT_EQ(zone("Apia"), "Samoa Standard Time");
}

// A key whose children and writes fail as the test says.
class FailingKey final : public RegKeyImpl {
 public:
  FailingKey(Status create, Status set) : create_(create), set_(set) {}
  Status open(std::string_view, uint32_t, std::unique_ptr<RegKeyImpl>&) override { return 2; }
  Status create(std::string_view, uint32_t, uint32_t, std::unique_ptr<RegKeyImpl>& out) override {
    if (create_ == 0) out = std::make_unique<FailingKey>(0, set_);
    return create_;
  }
  Status query(std::string_view, RegValue&) override { return 2; }
  Status set(std::string_view, const RegValue&) override { return set_; }
  Status delete_value(std::string_view) override { return 2; }
  Status delete_tree(std::string_view) override { return 2; }
  Status enum_subkey(uint32_t, std::string&) override { return win::kNoMoreItems; }

 private:
  Status create_, set_;
};

class ClockValueTest : public AgentTest {};

TEST_F(ClockValueTest, RegistryFailuresGiveTheirOwnCodes) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(change_UTC_Value(RegKey(std::make_unique<FailingKey>(0, 5)), 1), -1003);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(change_UTC_Value(RegKey(std::make_unique<FailingKey>(5, 0)), 1), -1002);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "5:open TimeZoneInformation key failed.");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(change_UTC_Value(RegKey(std::make_unique<FailingKey>(0, 0)), 0), 0);
  ::testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace tarvik::test
