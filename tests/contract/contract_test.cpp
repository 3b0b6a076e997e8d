// The port contract: what every backend of a port service must do, stated once and run
// against the simulated machine (Linux) and the Win32 calls (Windows, under Wine), so
// the simulated guest cannot drift from Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "contract/backend.h"

namespace tarvik::contract {
namespace {

constexpr Status kChildMustBeVolatile = 1021;

template <typename B>
class PortContract : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(backend_.set_up(error)) << error;
  }
  void TearDown() override { backend_.tear_down(); }

  Platform& p() { return backend_.platform(); }
  Files& files() { return p().files(); }
  std::string at(const std::string& name) const { return backend_.scratch() + "\\" + name; }
  std::string key_path(const std::string& sub = "") const {
    return sub.empty() ? backend_.scratch_key() : backend_.scratch_key() + "\\" + sub;
  }
  void put(const std::string& name, const std::string& text) {
    ASSERT_EQ(files().write_file(at(name), text), 0u) << name;
  }
  std::string get(const std::string& name) {
    std::string text;
    EXPECT_EQ(files().read_file(at(name), text), 0u) << name;
    return text;
  }
  RegKey scratch_key() {
    RegKey key;
    EXPECT_EQ(p().registry().create(key_path(), reg::kOptionNonVolatile, reg::kKeyAllAccess, key),
              0u);
    return key;
  }
  std::vector<std::string> subkeys(const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; key.enum_subkey(i, name) == win::kSuccess; ++i) names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string tool(const std::string& args) const { return backend_.tool() + " " + args; }

  B backend_;
};

#ifdef _WIN32
using Backends = ::testing::Types<Win32Backend>;
#else
using Backends = ::testing::Types<SimBackend>;
#endif
TYPED_TEST_SUITE(PortContract, Backends);

// --- Registry --------------------------------------------------------------------------

TYPED_TEST(PortContract, RegistryValuesRoundTripByteExact) {
  RegKey key = this->scratch_key();
  ASSERT_TRUE(key.valid());
  const RegValue binary{reg::kBinary, std::string("\0\x01\xff", 3)};
  const RegValue multi{reg::kMultiSz, std::string("a\0bc\0\0", 6)};
  EXPECT_EQ(key.set("text", RegValue::text("hello")), 0u);
  EXPECT_EQ(key.set_dword("n", 0x01020304), 0u);
  EXPECT_EQ(key.set("bin", binary), 0u);
  EXPECT_EQ(key.set("multi", multi), 0u);
  EXPECT_EQ(key.set_text("", "default"), 0u);

  // A key opened afresh sees what was written, type and bytes exactly.
  RegKey again;
  ASSERT_EQ(this->p().registry().open(this->key_path(), reg::kKeyRead, again), 0u);
  RegValue v;
  ASSERT_EQ(again.query("text", v), 0u);
  EXPECT_EQ(v.type, reg::kSz);
  EXPECT_EQ(v.data, std::string("hello\0", 6));
  ASSERT_EQ(again.query("n", v), 0u);
  EXPECT_EQ(v.type, reg::kDword);
  EXPECT_EQ(v.data, "\x04\x03\x02\x01");
  ASSERT_EQ(again.query("bin", v), 0u);
  EXPECT_EQ(v.type, binary.type);
  EXPECT_EQ(v.data, binary.data);
  ASSERT_EQ(again.query("multi", v), 0u);
  EXPECT_EQ(v.data, multi.data);
  std::string text;
  EXPECT_EQ(again.query_text("", text), 0u);
  EXPECT_EQ(text, "default");

  EXPECT_EQ(key.delete_value("text"), 0u);
  EXPECT_EQ(again.query("text", v), win::kFileNotFound);
  EXPECT_EQ(key.delete_value("text"), win::kFileNotFound);
}

TYPED_TEST(PortContract, RegistryFailuresLeaveOutParametersAlone) {
  RegKey key = this->scratch_key();
  ASSERT_TRUE(key.valid());
  RegKey out = this->scratch_key();
  EXPECT_EQ(key.open("missing", reg::kKeyRead, out), win::kFileNotFound);
  EXPECT_TRUE(out.valid());  // still the key it held
  EXPECT_EQ(this->p().registry().open(this->key_path("missing\\deeper"), reg::kKeyRead, out),
            win::kFileNotFound);
  EXPECT_TRUE(out.valid());

  RegValue v{reg::kDword, "keep"};
  EXPECT_EQ(key.query("missing", v), win::kFileNotFound);
  EXPECT_EQ(v.type, reg::kDword);
  EXPECT_EQ(v.data, "keep");
  uint32_t n = 77;
  EXPECT_EQ(key.query_dword("missing", n), win::kFileNotFound);
  EXPECT_EQ(n, 77u);
  std::string name = "keep";
  EXPECT_EQ(key.enum_subkey(0, name), win::kNoMoreItems);
  EXPECT_EQ(name, "keep");
}

TYPED_TEST(PortContract, RegistryEnumeratesAndDeletesTrees) {
  RegKey key = this->scratch_key();
  RegKey sub;
  for (const char* name : {"b", "a\\x\\y", "c"})
    ASSERT_EQ(key.create(name, reg::kOptionNonVolatile, reg::kKeyAllAccess, sub), 0u) << name;
  EXPECT_EQ(sub.set_text("v", "deep"), 0u);
  EXPECT_EQ(this->subkeys(key), (std::vector<std::string>{"a", "b", "c"}));

  EXPECT_EQ(key.delete_tree("a"), 0u);
  RegKey gone;
  EXPECT_EQ(key.open("a", reg::kKeyRead, gone), win::kFileNotFound);
  EXPECT_EQ(this->subkeys(key), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(key.delete_tree("a"), win::kFileNotFound);
}

TYPED_TEST(PortContract, RegistryVolatileKeysHoldOnlyVolatileChildren) {
  RegKey key = this->scratch_key();
  RegKey vol, child;
  ASSERT_EQ(key.create("running", reg::kOptionVolatile, reg::kKeyAllAccess, vol), 0u);
  EXPECT_EQ(vol.set_dword("pid", 5), 0u);
  uint32_t pid = 0;
  EXPECT_EQ(vol.query_dword("pid", pid), 0u);
  EXPECT_EQ(pid, 5u);
  EXPECT_EQ(vol.create("lasting", reg::kOptionNonVolatile, reg::kKeyAllAccess, child),
            kChildMustBeVolatile);
  EXPECT_EQ(vol.create("passing", reg::kOptionVolatile, reg::kKeyAllAccess, child), 0u);
}

// --- Files -----------------------------------------------------------------------------

TYPED_TEST(PortContract, FilesExistenceAndAttributes) {
  Files& f = this->files();
  this->put("a.txt", "abc");
  EXPECT_TRUE(f.exists(this->at("a.txt")));
  EXPECT_TRUE(f.exists(this->at("A.TXT")));  // names match without regard to case
  EXPECT_FALSE(f.exists(this->at("b.txt")));
  EXPECT_EQ(f.last_error(), win::kFileNotFound);  // a missing path leaves its error
  EXPECT_FALSE(f.exists(this->at("none\\b.txt")));
  EXPECT_EQ(f.last_error(), win::kPathNotFound);

  uint32_t a = 0;
  ASSERT_EQ(f.get_attributes(this->at("a.txt"), a), 0u);
  EXPECT_EQ(a & attr::kDirectory, 0u);
  ASSERT_EQ(f.get_attributes(this->backend_.scratch(), a), 0u);
  EXPECT_NE(a & attr::kDirectory, 0u);
  a = 12345;
  EXPECT_EQ(f.get_attributes(this->at("b.txt"), a), win::kFileNotFound);
  EXPECT_EQ(a, 12345u);
  EXPECT_EQ(f.get_attributes(this->at("no\\b.txt"), a), win::kPathNotFound);

  ASSERT_EQ(f.set_attributes(this->at("a.txt"), attr::kHidden), 0u);
  ASSERT_EQ(f.get_attributes(this->at("a.txt"), a), 0u);
  EXPECT_NE(a & attr::kHidden, 0u);
}

TYPED_TEST(PortContract, FilesReadOnlyRefusesChanges) {
  Files& f = this->files();
  this->put("ro.txt", "old");
  this->put("new.txt", "new");
  ASSERT_EQ(f.set_attributes(this->at("ro.txt"), attr::kReadOnly), 0u);
  uint32_t a = 0;
  ASSERT_EQ(f.get_attributes(this->at("ro.txt"), a), 0u);
  EXPECT_NE(a & attr::kReadOnly, 0u);

  EXPECT_EQ(f.delete_file(this->at("ro.txt")), win::kAccessDenied);
  EXPECT_EQ(f.write_file(this->at("ro.txt"), "x"), win::kAccessDenied);
  EXPECT_EQ(f.copy_file(this->at("new.txt"), this->at("ro.txt"), false), win::kAccessDenied);
  EXPECT_EQ(f.move_file(this->at("new.txt"), this->at("ro.txt"), true), win::kAccessDenied);
  EXPECT_EQ(this->get("ro.txt"), "old");
  EXPECT_EQ(f.last_error(), win::kAccessDenied);

  ASSERT_EQ(f.set_attributes(this->at("ro.txt"), attr::kNormal), 0u);
  EXPECT_EQ(f.delete_file(this->at("ro.txt")), 0u);
  EXPECT_FALSE(f.exists(this->at("ro.txt")));
}

TYPED_TEST(PortContract, FilesCopyAndMoveObeyTheirFlags) {
  Files& f = this->files();
  this->put("src.txt", "source");
  this->put("dst.txt", "target");
  EXPECT_EQ(f.copy_file(this->at("src.txt"), this->at("dst.txt"), true), win::kFileExists);
  EXPECT_EQ(this->get("dst.txt"), "target");
  EXPECT_EQ(f.copy_file(this->at("src.txt"), this->at("dst.txt"), false), 0u);
  EXPECT_EQ(this->get("dst.txt"), "source");
  EXPECT_EQ(f.copy_file(this->at("none.txt"), this->at("x.txt"), false), win::kFileNotFound);

  this->put("other.txt", "other");
  EXPECT_EQ(f.move_file(this->at("other.txt"), this->at("dst.txt"), false), win::kAlreadyExists);
  EXPECT_EQ(f.move_file(this->at("other.txt"), this->at("dst.txt"), true), 0u);
  EXPECT_EQ(this->get("dst.txt"), "other");
  EXPECT_FALSE(f.exists(this->at("other.txt")));
  EXPECT_EQ(f.move_file(this->at("dst.txt"), this->at("moved.txt"), false), 0u);
  EXPECT_EQ(this->get("moved.txt"), "other");
}

TYPED_TEST(PortContract, FilesFoldersCreateAndRemove) {
  Files& f = this->files();
  EXPECT_EQ(f.create_directory(this->at("one")), 0u);
  EXPECT_EQ(f.create_directory(this->at("one")), win::kAlreadyExists);
  EXPECT_EQ(f.create_directory(this->at("x\\y")), win::kPathNotFound);
  EXPECT_EQ(f.create_directories(this->at("x\\y\\z")), 0u);
  EXPECT_EQ(f.create_directories(this->at("x\\y\\z")), win::kAlreadyExists);
  EXPECT_TRUE(f.exists(this->at("x\\y\\z")));
  EXPECT_EQ(f.remove_directory(this->at("x\\y")), win::kDirNotEmpty);
  EXPECT_EQ(f.remove_directory(this->at("x\\y\\z")), 0u);
  EXPECT_EQ(f.remove_directory(this->at("x\\y")), 0u);
  EXPECT_EQ(f.delete_file(this->at("nothing.txt")), win::kFileNotFound);
}

TYPED_TEST(PortContract, FilesListMatchesPatterns) {
  Files& f = this->files();
  this->put("a.sys", "12345");
  this->put("B.SYS", "");
  this->put("c.inf", "");
  ASSERT_EQ(f.create_directory(this->at("sub")), 0u);

  std::vector<DirEntry> entries;
  ASSERT_EQ(f.list(this->backend_.scratch(), "*.sys", entries), 0u);
  std::vector<std::string> names;
  for (const DirEntry& e : entries) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"B.SYS", "a.sys"}));
  for (const DirEntry& e : entries) {
    if (e.name == "a.sys") {
      EXPECT_EQ(e.size, 5u);
    }
  }

  ASSERT_EQ(f.list(this->backend_.scratch(), "*.*", entries), 0u);
  bool saw_sub = false;
  for (const DirEntry& e : entries)
    if (e.name == "sub") saw_sub = (e.attributes & attr::kDirectory) != 0;
  EXPECT_TRUE(saw_sub);

  std::vector<DirEntry> keep(1);
  EXPECT_EQ(f.list(this->backend_.scratch(), "*.cat", keep), win::kFileNotFound);
  EXPECT_EQ(f.list(this->at("none"), "*.*", keep), win::kPathNotFound);
  EXPECT_EQ(keep.size(), 1u);
}

TYPED_TEST(PortContract, FilesAppendCreatesAndSharesTheFile) {
  Files& f = this->files();
  std::unique_ptr<AppendFile> one, two;
  ASSERT_EQ(f.open_append(this->at("log.txt"), one), 0u);
  EXPECT_TRUE(f.exists(this->at("log.txt")));
  ASSERT_EQ(f.open_append(this->at("log.txt"), two), 0u);  // a second writer at once
  EXPECT_EQ(one->append("first\r\n"), 0u);
  EXPECT_EQ(two->append("second\r\n"), 0u);
  EXPECT_EQ(one->append("third\r\n"), 0u);
  EXPECT_EQ(this->get("log.txt"), "first\r\nsecond\r\nthird\r\n");
  std::string text;
  EXPECT_EQ(f.read_file(this->at("log.txt"), text), 0u);  // readable while open
}

TYPED_TEST(PortContract, FilesVersionResource) {
  Files& f = this->files();
  FileVersion v;
  VersionStep step = VersionStep::kAlloc;
  ASSERT_EQ(f.file_version(this->backend_.versioned_file(), v, step), 0u);
  EXPECT_EQ(step, VersionStep::kNone);
  EXPECT_EQ(v.major, 1);
  EXPECT_EQ(v.minor, 2);
  EXPECT_EQ(v.build, 3);
  EXPECT_EQ(v.revision, 4);

  this->put("plain.sys", "no version here");
  FileVersion keep{9, 9, 9, 9};
  EXPECT_NE(f.file_version(this->at("plain.sys"), keep, step), 0u);
  EXPECT_EQ(step, VersionStep::kSize);
  EXPECT_EQ(keep.major, 9);
  EXPECT_NE(f.file_version(this->at("missing.sys"), keep, step), 0u);
  EXPECT_EQ(step, VersionStep::kSize);
}

TYPED_TEST(PortContract, ProfileWritesCreateAndReadBack) {
  Files& f = this->files();
  const std::string ini = this->at("tarvik.ini");
  std::string out = "keep";
  EXPECT_EQ(f.profile_get("update", "dpinst", "none", out, 256, ini), 4u);
  EXPECT_EQ(out, "none");  // no file: the default
  EXPECT_FALSE(f.exists(ini));

  EXPECT_TRUE(f.profile_set("update", "dpinst", "1", ini));
  EXPECT_TRUE(f.profile_set("cmd", "1", "config x ip a b", ini));
  f.profile_set(nullptr, nullptr, nullptr, ini);  // a flush (the system reports it as false)
  EXPECT_TRUE(f.exists(ini));
  EXPECT_EQ(f.profile_get("update", "dpinst", "", out, 256, ini), 1u);
  EXPECT_EQ(out, "1");
  EXPECT_EQ(f.profile_get("UPDATE", "DPINST", "", out, 256, ini), 1u);  // any case
  EXPECT_EQ(f.profile_get("update", "missing", "dflt", out, 256, ini), 4u);
  EXPECT_EQ(out, "dflt");
  EXPECT_EQ(f.profile_get("cmd", "1", "", out, 256, ini), 15u);
  EXPECT_EQ(out, "config x ip a b");
}

TYPED_TEST(PortContract, ProfileListsAndDeletes) {
  Files& f = this->files();
  const std::string ini = this->at("list.ini");
  ASSERT_TRUE(f.profile_set("cmd", "1", "a", ini));
  ASSERT_TRUE(f.profile_set("cmd", "2", "b", ini));
  ASSERT_TRUE(f.profile_set("other", "k", "v", ini));

  std::string out;
  EXPECT_EQ(f.profile_get("cmd", nullptr, "", out, 1024, ini), 4u);
  EXPECT_EQ(out, std::string("1\0"
                             "2\0",
                             4));
  EXPECT_EQ(f.profile_get(nullptr, nullptr, "", out, 1024, ini), 10u);
  EXPECT_EQ(out, std::string("cmd\0other\0", 10));

  EXPECT_TRUE(f.profile_set("cmd", "1", nullptr, ini));  // a null value deletes the key
  EXPECT_EQ(f.profile_get("cmd", nullptr, "", out, 1024, ini), 2u);
  EXPECT_EQ(out, std::string("2\0", 2));
  EXPECT_TRUE(f.profile_set("cmd", nullptr, nullptr, ini));  // a null key the section
  EXPECT_EQ(f.profile_get(nullptr, nullptr, "", out, 1024, ini), 6u);
  EXPECT_EQ(out, std::string("other\0", 6));
}

TYPED_TEST(PortContract, ProfileCutsToTheCallersBuffer) {
  Files& f = this->files();
  const std::string ini = this->at("cut.ini");
  ASSERT_TRUE(f.profile_set("s", "k", "0123456789", ini));
  std::string out;
  EXPECT_EQ(f.profile_get("s", "k", "", out, 5, ini), 4u);  // size - 1 characters and NUL
  EXPECT_EQ(out, "0123");
  ASSERT_TRUE(f.profile_set("s", "longer", "x", ini));
  EXPECT_EQ(f.profile_get("s", nullptr, "", out, 5, ini), 3u);  // a list: size - 2
  EXPECT_EQ(out, std::string("k\0l", 3));
}

// --- Processes -------------------------------------------------------------------------

TYPED_TEST(PortContract, RunnerReturnsExitCodeAndBothStreams) {
  Processes& pr = this->p().processes();
  uint32_t code = 99;
  std::string out;
  ASSERT_EQ(pr.run(this->tool("out=hello exit=3"), 4096, code, out), 0u);
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(out, "hello");
  ASSERT_EQ(pr.run(this->tool("err=oops exit=1"), 4096, code, out), 0u);
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(out, "oops");
  ASSERT_EQ(pr.run(this->tool("out=to-out err=to-err"), 4096, code, out), 0u);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(out, "to-outto-err");
  // No standard input: a reader sees its end at once.
  ASSERT_EQ(pr.run(this->tool("echo out=done"), 4096, code, out), 0u);
  EXPECT_EQ(out, "done");
}

TYPED_TEST(PortContract, RunnerMissingProgramLeavesResultsAlone) {
  uint32_t code = 99;
  std::string out = "keep";
  EXPECT_EQ(this->p().processes().run(this->at("missing.exe") + " a", 4096, code, out),
            win::kFileNotFound);
  EXPECT_EQ(code, 99u);
  EXPECT_EQ(out, "keep");
}

TYPED_TEST(PortContract, RunnerDrainsLargeOutputAndKeepsItsStart) {
  Processes& pr = this->p().processes();
  uint32_t code = 99;
  std::string out;
  // Far more than a pipe holds: the child must never block on it.
  ASSERT_EQ(pr.run(this->tool("bytes=1000000 exit=7"), 4096, code, out), 0u);
  EXPECT_EQ(code, 7u);
  ASSERT_EQ(out.size(), 4096u);
  EXPECT_EQ(out.substr(0, 12), "012345678901");
  EXPECT_EQ(out.substr(4090), "012345");
  // The text ends at the first NUL.
  ASSERT_EQ(pr.run(this->tool("out=ab nul out=cd"), 4096, code, out), 0u);
  EXPECT_EQ(out, "ab");
}

TYPED_TEST(PortContract, RunnerWithInputFeedsTheScriptAndBoundsTheWait) {
  Processes& pr = this->p().processes();
  std::string out;
  const std::string script = "select disk 1\r\nonline disk\r\nexit\r\n";
  ASSERT_EQ(pr.run_with_input(this->tool("echo"), script, 20000, 65535, out), 0u);
  EXPECT_EQ(out, script);

  // A child that outlives the wait: the call comes back after about the wait.
  auto start = std::chrono::steady_clock::now();
  out = "keep";
  ASSERT_EQ(pr.run_with_input(this->tool("out=early sleep=4000"), script, 300, 65535, out), 0u);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::milliseconds(3000));
  EXPECT_EQ(out, "early");

  EXPECT_EQ(pr.run_with_input(this->at("missing.exe"), script, 300, 65535, out),
            win::kFileNotFound);
}

// The map of cities tells a missing file or key only through the last error.
TYPED_TEST(PortContract, ProfileReadOfANamedKeySetsTheLastError) {
  Files& f = this->files();
  const std::string ini = this->at("map.ini");
  ASSERT_TRUE(f.profile_set("timezone", "Shanghai", "China Standard Time", ini));
  std::string out;
  f.profile_get("timezone", "Shanghai", "dflt", out, 1024, ini);
  EXPECT_EQ(f.last_error(), 0u);
  EXPECT_EQ(out, "China Standard Time");
  f.profile_get("timezone", "Nowhere", "dflt", out, 1024, ini);
  // Windows says 2 for a missing key; Wine (measured) leaves the last error at 0.
  if (!this->backend_.wine()) {
    EXPECT_EQ(f.last_error(), win::kFileNotFound);
  }
  EXPECT_EQ(out, "dflt");
  f.profile_get("timezone", "Shanghai", "dflt", out, 1024, ini);
  EXPECT_EQ(f.last_error(), 0u);
  f.profile_get("timezone", "Shanghai", "dflt", out, 1024, this->at("missing.ini"));
  EXPECT_EQ(f.last_error(), win::kFileNotFound);
}

// Passwords arrive in Base64: both backends take and refuse the same texts.
TYPED_TEST(PortContract, Base64DecodesAndRefusesAlike) {
  System& s = this->p().system();
  struct Case {
    const char* text;
    bool ok;
    std::string bytes;
  };
  for (const Case& c :
       {Case{"cGFzcyB3b3Jk", true, "pass word"}, Case{"UzNjcmV0IQ==", true, "S3cret!"},
        Case{"YSJi", true, "a\"b"}, Case{"AA==", true, std::string(1, '\0')},
        Case{"cGFz\r\ncw==", true, "pass"}, Case{"+/8=", true, "\xfb\xff"}, Case{"!!!!", false, ""},
        Case{"cGFz-w==", false, ""}, Case{"cG=Fz", false, ""}}) {
    std::string out = "keep";
    Status st = s.base64_decode(c.text, out);
    EXPECT_EQ(st == 0, c.ok) << c.text << " status " << st;
    EXPECT_EQ(out, c.ok ? c.bytes : std::string("keep")) << c.text;
  }
}

// A secret is wiped where it lies: its buffer, to the capacity, holds only zeros, and the
// text is empty.
TYPED_TEST(PortContract, WipeZeroesTheWholeBufferAndEmptiesTheText) {
  System& s = this->p().system();
  for (std::string text : {std::string("S3cret!"), std::string(300, 'p')}) {
    text.resize(text.size() / 2);  // what lies past the size is wiped too
    const char* buffer = text.data();
    size_t capacity = text.capacity();
    s.wipe(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(text.data(), buffer);
    EXPECT_TRUE(std::all_of(buffer, buffer + capacity, [](char c) { return c == 0; }));
  }
}

}  // namespace
}  // namespace tarvik::contract
