// Real Windows hive files read into and written from HiveKey trees, and the hive convert
// verb of tarvik-sim.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "frame/format.h"
#include "platform/sim/hive.h"
#include "platform/sim/regf.h"
#include "support/cli.h"
#include "support/sim_guest.h"

namespace tarvik::test {
namespace {

using sim::HiveKey;
using ::testing::HasSubstr;

constexpr uint32_t kUtf8 = 65001;

std::string fixture(const std::string& name) {
  return std::string(TARVIK_TEST_DATA_DIR) + "/hives/" + name;
}

// Equal keys: the same values (name, type, bytes) and the same subkeys, whatever their order.
void expect_same_tree(const HiveKey& a, const HiveKey& b, const std::string& path = "") {
  ASSERT_EQ(a.values.size(), b.values.size()) << "values of [" << path << "]";
  for (const auto& [name, value] : a.values) {
    const RegValue* other = b.value(name);
    ASSERT_NE(other, nullptr) << "[" << path << "] \"" << name << "\"";
    EXPECT_EQ(other->type, value.type) << "[" << path << "] \"" << name << "\"";
    EXPECT_EQ(other->data, value.data) << "[" << path << "] \"" << name << "\"";
  }
  ASSERT_EQ(a.subkeys.size(), b.subkeys.size()) << "subkeys of [" << path << "]";
  for (const auto& sub : a.subkeys) {
    const HiveKey* other = b.child(sub->name);
    ASSERT_NE(other, nullptr) << "[" << path << "\\" << sub->name << "]";
    expect_same_tree(*sub, *other, path.empty() ? sub->name : path + "\\" + sub->name);
  }
}

RegValue raw(uint32_t type, std::string bytes) {
  return RegValue{type, std::move(bytes)};
}

// A tree holding every kind of value the agent meets and some it does not.
HiveKey every_kind() {
  HiveKey root;
  root.set_value("", RegValue::text("default"));
  HiveKey* k = root.add_child("ControlSet001")->add_child("Services")->add_child("tarvik");
  k->set_value("ImagePath",
               RegValue::text("C:\\Program Files\\tarvik\\tarvik.exe", reg::kExpandSz));
  k->set_value("Start", RegValue::dword(2));
  k->set_value("Umlaut", RegValue::text("gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"));
  k->set_value("NoNul", raw(reg::kSz, "abc"));
  k->set_value("Empty", raw(reg::kSz, ""));
  k->set_value("Multi", raw(reg::kMultiSz, std::string("one\0two\0\0", 9)));
  k->set_value("Q", raw(reg::kQword, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)));
  k->set_value("Bin", raw(reg::kBinary, std::string("\x00\xFF\x10", 3)));
  k->set_value("None", raw(reg::kNone, ""));
  k->set_value("Odd", raw(0x12345678, "xyz"));
  k->set_value("Big", raw(reg::kBinary, std::string(40000, '\x5A')));
  root.add_child("Select")->set_value("Current", RegValue::dword(1));
  root.add_child("Setup")->add_child("\xC3\xA4pfel");
  return root;
}

class SimRegf : public SimGuestTest {
 protected:
  std::string copy_fixture(const std::string& name, const std::string& as = "") {
    std::string to = root_ + "/" + (as.empty() ? name : as);
    std::filesystem::copy_file(fixture(name), to);
    std::filesystem::permissions(to, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    return to;
  }
  HiveKey read_ok(const std::string& file, uint32_t codepage = kUtf8,
                  std::vector<std::string>* inexact = nullptr) {
    HiveKey tree;
    std::string error;
    EXPECT_EQ(sim::read_regf_file(file, codepage, tree, error, inexact), win::kSuccess) << error;
    return tree;
  }
  void write_ok(const std::string& file, const HiveKey& tree) {
    std::string error;
    ASSERT_EQ(sim::write_regf_file(file, tree, kUtf8, error), win::kSuccess) << error;
  }
};

TEST_F(SimRegf, ReadsEveryKeyAndValueOfTheFixtures) {
  HiveKey minimal = read_ok(fixture("minimal"));
  EXPECT_TRUE(minimal.values.empty());
  EXPECT_TRUE(minimal.subkeys.empty());

  HiveKey rlen = read_ok(fixture("rlenvalue_test_hive"));
  ASSERT_EQ(rlen.subkeys.size(), 1u);
  const HiveKey* parent = rlen.child("moderatevalueparent");
  ASSERT_NE(parent, nullptr);
  const std::string digits = "0123456789ABCDEF0123456789ABCDEF0";
  ASSERT_EQ(parent->values.size(), 6u);
  for (size_t n : {3, 16, 30, 31, 32, 33}) {
    const RegValue* v = parent->value(std::to_string(n) + "Bytes");
    ASSERT_NE(v, nullptr) << n;
    EXPECT_EQ(v->type, reg::kBinary);
    EXPECT_EQ(v->data, digits.substr(0, n));
  }
}

TEST_F(SimRegf, NamesReadAsWindowsShowsThem) {
  std::vector<std::string> inexact;
  HiveKey special = read_ok(fixture("special"), kUtf8, &inexact);
  const std::string zero_dword(4, '\0');
  struct Want {
    const char* key;
    const char* value;
  };
  for (Want w :
       {Want{"abcd_\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "abcd_\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F"},
        Want{"weird\xE2\x84\xA2", "symbols $\xC2\xA3\xE2\x82\xA4\xE2\x82\xA7\xE2\x82\xAC"},
        Want{"zero", "zero"}}) {
    const HiveKey* k = special.child(w.key);
    ASSERT_NE(k, nullptr) << w.key;
    ASSERT_EQ(k->values.size(), 1u) << w.key;
    EXPECT_EQ(k->values[0].first, w.value);
    EXPECT_EQ(k->values[0].second.type, reg::kDword);
    EXPECT_EQ(k->values[0].second.data, zero_dword);
  }
  EXPECT_EQ(special.subkeys.size(), 3u);
  // The names cut at their NUL are not what the file holds.
  EXPECT_EQ(inexact, (std::vector<std::string>{"zero", "zero \"zero\""}));

  // reg query shows each name, the whole hive at once and each key read on its own.
  mkdirs(root_ + "/c");
  copy_fixture("special", "c/special");
  const std::string file = "C:\\special";
  CliResult all = tarvik_sim(root_, {"reg", "--hive", file, "query", "\\", "/s"});
  ASSERT_EQ(all.code, 0) << all.err;
  for (Want w :
       {Want{"abcd_\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F", "abcd_\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F"},
        Want{"weird\xE2\x84\xA2", "symbols $\xC2\xA3\xE2\x82\xA4\xE2\x82\xA7\xE2\x82\xAC"},
        Want{"zero", "zero"}}) {
    const std::string line = std::string("    ") + w.value + "    REG_DWORD    0x0\n";
    EXPECT_THAT(all.out, HasSubstr(std::string("\\") + w.key + "\n" + line));
    CliResult one = tarvik_sim(root_, {"reg", "--hive", file, "query", w.key});
    EXPECT_EQ(one.code, 0) << one.err;
    EXPECT_THAT(one.out, HasSubstr(line)) << w.key;
  }

  // Code page 1252 has the umlauts and the euro sign, not the lira or peseta signs.
  HiveKey narrow = read_ok(fixture("special"), 1252, &inexact);
  EXPECT_NE(narrow.child("abcd_\xE4\xF6\xFC\xDF"), nullptr);
  EXPECT_NE(std::find(inexact.begin(), inexact.end(), "weird\x99 \"symbols $\xA3??\x80\""),
            inexact.end());
}

TEST_F(SimRegf, EveryKindOfValueSurvivesAndAnotherReaderSeesIt) {
  const std::string file = root_ + "/NEW";
  const HiveKey tree = every_kind();
  std::vector<std::string> inexact;
  sim::regf_inexact(tree, kUtf8, inexact);
  EXPECT_TRUE(inexact.empty());
  write_ok(file, tree);
  expect_same_tree(tree, read_ok(file));

  const std::string key = "\\ControlSet001\\Services\\tarvik";
  EXPECT_EQ(hivexget(file, key, "ImagePath"), "C:\\Program Files\\tarvik\\tarvik.exe\n");
  EXPECT_EQ(hivexget(file, key, "Umlaut"), "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n");
  EXPECT_EQ(hivexget(file, key, "Start"), "2\n");
  EXPECT_EQ(hivexget(file, "\\Select", "Current"), "1\n");

  // Writing the tree again changes nothing; a smaller tree removes what it lacks.
  write_ok(file, tree);
  expect_same_tree(tree, read_ok(file));
  HiveKey smaller = tree;
  smaller.remove_child("CONTROLSET001");
  smaller.remove_value("");
  write_ok(file, smaller);
  expect_same_tree(smaller, read_ok(file));
}

TEST_F(SimRegf, AKeyWithThousandsOfSubkeys) {
  const std::string file = root_ + "/MANY";
  HiveKey tree;
  HiveKey* classes = tree.add_child("Classes");
  for (int i = 0; i < 2000; ++i)
    classes->add_child(".ext" + std::to_string(i))->set_value("", RegValue::text("t"));
  write_ok(file, tree);
  expect_same_tree(tree, read_ok(file));
  for (int i = 0; i < 2000; i += 2) classes->remove_child(".EXT" + std::to_string(i));
  write_ok(file, tree);
  expect_same_tree(tree, read_ok(file));
}

TEST_F(SimRegf, SimMadeHivesConvertToRegfAndBack) {
  const std::string guest = root_ + "/guest";
  ASSERT_EQ(tarvik_sim("", {"init", guest}).code, 0);
  for (const char* name : {"SYSTEM", "SOFTWARE"}) {
    const std::string original = guest + "/c/Windows/System32/config/" + name;
    const std::string file = root_ + "/" + name;
    std::filesystem::copy_file(original, file);
    HiveKey text_tree;
    std::string error;
    ASSERT_EQ(sim::parse_hive_text(read(original), text_tree, error), win::kSuccess) << error;

    CliResult r = tarvik_sim("", {"hive", "convert", file, "--to", "regf"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(read(file).substr(0, 4), "regf");
    expect_same_tree(text_tree, read_ok(file));

    r = tarvik_sim("", {"hive", "convert", file, "--to", "reg"});
    ASSERT_EQ(r.code, 0) << r.err;
    HiveKey back;
    ASSERT_EQ(sim::parse_hive_text(read(file), back, error), win::kSuccess) << error;
    expect_same_tree(text_tree, back);
  }
}

TEST_F(SimRegf, FixturesConvertToRegTextAndBack) {
  for (const char* name : {"minimal", "special", "rlenvalue_test_hive"}) {
    SCOPED_TRACE(name);
    const HiveKey tree = read_ok(fixture(name));
    HiveKey from_text;
    std::string error;
    ASSERT_EQ(sim::parse_hive_text(sim::format_hive_text(tree), from_text, error), win::kSuccess);
    const std::string file = root_ + "/" + name + ".new";
    write_ok(file, from_text);
    expect_same_tree(tree, read_ok(file));
  }
  // The tool converts what it can carry exactly, and refuses names cut at a NUL.
  const std::string rlen = copy_fixture("rlenvalue_test_hive");
  EXPECT_EQ(tarvik_sim("", {"hive", "convert", rlen, "--to", "reg"}).code, 0);
  EXPECT_EQ(tarvik_sim("", {"hive", "convert", rlen, "--to", "regf"}).code, 0);
  expect_same_tree(read_ok(fixture("rlenvalue_test_hive")), read_ok(rlen));
  // Nor a key name that .reg text cannot carry.
  HiveKey odd;
  odd.add_child("a]\r\n[b")->set_value("v", RegValue::dword(1));
  const std::string odd_file = root_ + "/odd";
  write_ok(odd_file, odd);
  expect_same_tree(odd, read_ok(odd_file));
  EXPECT_EQ(tarvik_sim("", {"hive", "convert", odd_file, "--to", "reg"}).code, 2);
  EXPECT_EQ(read(odd_file).substr(0, 4), "regf");
  const std::string special = copy_fixture("special");
  CliResult r = tarvik_sim("", {"hive", "convert", special, "--to", "reg"});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("zero \"zero\""), std::string::npos) << r.err;
  EXPECT_EQ(read(special), read(fixture("special")));
}

TEST_F(SimRegf, WritingInPlaceKeepsWhatDidNotChange) {
  const std::string file = copy_fixture("special");
  HiveKey tree = read_ok(file);
  tree.remove_child("abcd_\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F");
  HiveKey* zero = tree.child("zero");
  zero->name = "ZERO";  // names match without regard to case
  zero->set_value("Added", RegValue::dword(7));
  tree.add_child("a")->add_child("b")->add_child("c")->set_value("v", RegValue::text("x"));
  tree.add_child("Gone")->is_volatile = true;  // volatile keys never reach the file
  write_ok(file, tree);

  std::vector<std::string> inexact;
  HiveKey back = read_ok(file, kUtf8, &inexact);
  tree.remove_child("Gone");
  expect_same_tree(tree, back);
  EXPECT_NE(back.child("zero"), nullptr);
  EXPECT_EQ(back.child("zero")->name, "zero");
  // The key whose stored name holds a NUL keeps it. libhivex sets a key's values all at
  // once by their names up to the NUL: the value's name lost its tail with the change.
  EXPECT_EQ(inexact, (std::vector<std::string>{"zero"}));
  HiveKey unchanged = read_ok(fixture("special"));
  const std::string untouched = copy_fixture("special", "untouched");
  unchanged.child("weird\xE2\x84\xA2")->set_value("more", RegValue::dword(1));
  write_ok(untouched, unchanged);
  read_ok(untouched, kUtf8, &inexact);
  EXPECT_EQ(inexact, (std::vector<std::string>{"zero", "zero \"zero\""}));
  EXPECT_EQ(hivexget(file, "\\a\\b\\c", "v"), "x\n");
}

// A key without a name (which Windows never makes) cannot be named by a path: it is not
// read, and writing leaves it in the file.
TEST_F(SimRegf, AKeyWithoutANameIsLeftAlone) {
  const std::string file = copy_fixture("unnamed_key");
  std::vector<std::string> inexact;
  HiveKey tree = read_ok(file, kUtf8, &inexact);
  EXPECT_TRUE(tree.subkeys.empty());
  EXPECT_EQ(tree.values.size(), 0u);
  EXPECT_EQ(inexact, std::vector<std::string>{"\\"});
  tree.add_child("Named");
  write_ok(file, tree);
  expect_same_tree(tree, read_ok(file));
  const std::string xml = output_of("hivexml '" + file + "'");
  EXPECT_NE(xml.find("<node name=\"\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<node name=\"Named\">"), std::string::npos) << xml;
  EXPECT_EQ(tarvik_sim("", {"hive", "convert", file, "--to", "reg"}).code, 2);
}

TEST_F(SimRegf, ABadFileGivesBadDbNamingIt) {
  const std::string good = read(fixture("rlenvalue_test_hive"));
  std::string corrupt = good;
  for (size_t i = 0x1000; i < 0x1100; ++i) corrupt[i] = '\xA5';
  std::string bad_root = good;
  bad_root[0x24] = '\x7F';  // root key offset points into nothing
  bad_root[0x25] = '\x7F';
  struct Bad {
    const char* name;
    std::string bytes;
  };
  for (const Bad& bad : {Bad{"truncated", good.substr(0, 5000)}, Bad{"empty_regf", "regf"},
                         Bad{"corrupt", corrupt}, Bad{"bad_root", bad_root}}) {
    SCOPED_TRACE(bad.name);
    const std::string file = root_ + "/" + bad.name;
    write(file, bad.bytes);
    HiveKey tree;
    std::string error;
    EXPECT_EQ(sim::read_regf_file(file, kUtf8, tree, error), win::kBadRegistry);
    EXPECT_NE(error.find(file), std::string::npos) << error;
    EXPECT_EQ(sim::write_regf_file(file, every_kind(), kUtf8, error), win::kBadRegistry);
    EXPECT_EQ(read(file), bad.bytes);
    CliResult r = tarvik_sim("", {"hive", "convert", file, "--to", "reg"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1009"), std::string::npos) << r.err;
  }
  HiveKey tree;
  std::string error;
  EXPECT_EQ(sim::read_regf_file(root_ + "/missing", kUtf8, tree, error), win::kFileNotFound);
}

TEST_F(SimRegf, KilledWritersLeaveAHiveThatOpens) {
  const std::string file = root_ + "/HIVE";
  HiveKey small;
  small.add_child("small");
  const HiveKey big = every_kind();
  write_ok(file, small);
  for (int round = 0; round < 12; ++round) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string error;
      for (int i = 0;; ++i) sim::write_regf_file(file, i % 2 ? small : big, kUtf8, error);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + 3 * round));
    ::kill(pid, SIGKILL);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    HiveKey tree = read_ok(file);
    EXPECT_TRUE(tree.child("small") || tree.child("Select")) << "round " << round;
  }
}

TEST_F(SimRegf, ALoadedRegfHiveIsChangedInPlaceAndStaysRegf) {
  mkdirs(root_ + "/d");
  const std::string file = copy_fixture("minimal", "d/hive");
  Registry& r = p().registry();
  ASSERT_EQ(r.load_hive("_OFF", "D:\\hive"), 0u);
  {
    RegKey k;
    ASSERT_EQ(r.create("_OFF\\ControlSet001\\services\\tarvik", 0, reg::kKeyAllAccess, k), 0u);
    ASSERT_EQ(k.set_text("ImagePath", "C:\\x.exe service"), 0u);
  }
  ASSERT_TRUE(sim::is_regf(read(file)));
  EXPECT_EQ(hivexget(file, "ControlSet001\\services\\tarvik", "ImagePath"), "C:\\x.exe service\n");
  reload();  // the next process reads what the file holds
  RegKey k;
  std::string text;
  ASSERT_EQ(p().registry().open("_OFF\\ControlSet001\\services\\tarvik", reg::kKeyRead, k), 0u);
  ASSERT_EQ(k.query_text("ImagePath", text), 0u);
  EXPECT_EQ(text, "C:\\x.exe service");
  k = RegKey();
  EXPECT_EQ(p().registry().unload_hive("_OFF"), 0u);

  // A damaged one: refused as a bad hive, left as it was.
  std::string bytes = read(file);
  write(file, bytes.substr(0, 600));
  EXPECT_EQ(p().registry().load_hive("_OFF", "D:\\hive"), win::kBadRegistry);
  EXPECT_EQ(read(file), bytes.substr(0, 600));
}

TEST_F(SimRegf, TheRunningSystemsRegfHivesAreReadAndWrittenAsRegf) {
  mkdirs(root_ + "/c/Windows/System32/config");
  const std::string file = copy_fixture("minimal", "c/Windows/System32/config/SYSTEM");
  Registry& r = p().registry();
  {
    RegKey k;
    ASSERT_EQ(r.create("SYSTEM\\Kovenu", 0, reg::kKeyAllAccess, k), 0u);
    ASSERT_EQ(k.set_text("v", "gr\xC3\xBC\xC3\x9F"), 0u);
  }
  ASSERT_TRUE(sim::is_regf(read(file)));
  // Stored as UTF-16; the code page of the machine (UTF-8) is what the agent sees.
  EXPECT_EQ(hivexget(file, "Kovenu", "v"), "gr\xC3\xBC\xC3\x9F\n");
  const std::string after = read(file);
  {
    RegKey k;
    ASSERT_EQ(r.open("SYSTEM\\Kovenu", reg::kKeyAllAccess, k), 0u);
    ASSERT_EQ(k.set_text("v", "gr\xC3\xBC\xC3\x9F"), 0u);  // the same: nothing written
  }
  EXPECT_EQ(read(file), after);

  write(file, after.substr(0, 4096 + 100));  // while the machine runs
  RegKey k;
  EXPECT_EQ(p().registry().open("SYSTEM\\Kovenu", reg::kKeyRead, k), win::kBadRegistry);
  EXPECT_EQ(p().registry().create("SYSTEM\\B", 0, reg::kKeyAllAccess, k), win::kBadRegistry);
  EXPECT_EQ(read(file), after.substr(0, 4096 + 100));
}

// What a run of registry work answered, call by call.
std::vector<std::string> change_one_key_at_a_time(Registry& r) {
  std::vector<std::string> out;
  auto said = [&](const char* what, Status s) { out.push_back(strformat("%s %u", what, s)); };
  RegKey a, c, e, y, k;
  said("create C", r.create("SOFTWARE\\A\\B\\C", 0, reg::kKeyAllAccess, c));
  said("set C", c.set_text("Text", "one"));
  said("set C", c.set_dword("Dword", 7));
  said("set C", c.set(std::string("Bin"), RegValue{reg::kBinary, std::string("\0\1\2", 3)}));
  said("create D", r.create("SOFTWARE\\A\\D", 0, reg::kKeyAllAccess, k));
  said("set D", k.set_text("", "default"));
  said("open A", r.open("SOFTWARE\\a", reg::kKeyAllAccess, a));
  std::string name;
  for (uint32_t i = 0; a.enum_subkey(i, name) == 0; ++i) out.push_back("A has " + name);
  // Keys the open handle of A did not read are still seen through it.
  said("create E", r.create("SOFTWARE\\A\\B\\E\\F", 0, reg::kKeyAllAccess, e));
  said("set F", e.set_text("f", "x"));
  said("open E", r.open("SOFTWARE\\A\\B\\E", reg::kKeyAllAccess, e));
  said("set E", e.set_dword("e", 1));
  said("delete D", a.delete_tree("D"));
  said("delete D again", a.delete_tree("d"));
  said("volatile V", r.create("SOFTWARE\\A\\V", reg::kOptionVolatile, reg::kKeyAllAccess, k));
  said("set V", k.set_text("v", "gone at restart"));
  said("stable below V", r.create("SOFTWARE\\A\\V\\S", 0, reg::kKeyAllAccess, k));
  said("delete C value", c.delete_value("Dword"));
  said("delete C value again", c.delete_value("Dword"));
  said("clear E", e.delete_tree(""));
  said("chain by other case", r.create("SOFTWARE\\a\\b\\New", 0, reg::kKeyAllAccess, k));
  said("create Y", r.create("SOFTWARE\\X\\Y", 0, reg::kKeyAllAccess, y));
  said("delete X", r.hklm().delete_tree("SOFTWARE\\X"));
  RegValue v;
  said("query deleted Y", y.query("v", v));
  said("set deleted Y", y.set_dword("v", 1));
  for (uint32_t i = 0; a.enum_subkey(i, name) == 0; ++i) out.push_back("A has " + name);
  return out;
}

// Every change reads and writes a regf hive only below the key it changes: the same work
// on a text hive and on a regf hive answers the same and leaves the same keys.
TEST_F(SimRegf, ChangesOfOneKeyAtATimeEndAsOnATextHive) {
  const std::string file = root_ + "/c/Windows/System32/config/SOFTWARE";
  mkdirs(root_ + "/c/Windows/System32/config");
  write(file, std::string(sim::kRegTextHeader) + "\n\n[]\n\n[Other]\n\"kept\"=dword:00000001\n\n");
  reload();
  const std::vector<std::string> on_text = change_one_key_at_a_time(p().registry());
  HiveKey text_tree;
  std::string error;
  ASSERT_EQ(sim::parse_hive_text(read(file), text_tree, error), win::kSuccess) << error;

  std::filesystem::remove(root_ + "/sim/volatile.reg");
  std::filesystem::remove(file);
  copy_fixture("minimal", "c/Windows/System32/config/SOFTWARE");
  HiveKey other;
  other.add_child("Other")->set_value("kept", RegValue::dword(1));
  write_ok(file, other);
  reload();
  EXPECT_EQ(change_one_key_at_a_time(p().registry()), on_text);
  ASSERT_TRUE(sim::is_regf(read(file)));
  expect_same_tree(read_ok(file), text_tree);
}

}  // namespace
}  // namespace tarvik::test
