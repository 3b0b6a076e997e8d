// The simulated file system and profile functions against the Windows rules the agent
// relies on.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/sim/folder_cache.h"
#include "platform/sim/version_stamp.h"
#include "support/sim_guest.h"

namespace tarvik::test {
namespace {

using SimFiles = SimGuestTest;

TEST_F(SimFiles, PathsFoldCaseResolveDotsAndReportMissingParts) {
  write(root_ + "/c/Windows/System32/drivers/viostor.sys", "driver");
  std::string data;
  Files& f = p().files();
  EXPECT_EQ(f.read_file("c:\\WINDOWS\\system32\\Drivers\\..\\DRIVERS\\.\\VioStor.SYS", data), 0u);
  EXPECT_EQ(data, "driver");
  EXPECT_TRUE(f.exists("C:/windows/system32/drivers/viostor.sys"));

  EXPECT_EQ(f.read_file("Q:\\x.txt", data), win::kPathNotFound);  // no drive Q:
  EXPECT_EQ(f.read_file("C:\\Windows\\none.txt", data), win::kFileNotFound);
  EXPECT_EQ(f.read_file("C:\\nowhere\\x.txt", data), win::kPathNotFound);  // missing parent
  EXPECT_EQ(f.last_error(), win::kPathNotFound);
  EXPECT_EQ(f.write_file("C:\\nowhere\\x.txt", "x"), win::kPathNotFound);

  // A new file keeps the case it was written with; folders are found in any case.
  EXPECT_EQ(f.write_file("C:\\WINDOWS\\NewFile.Txt", "n"), 0u);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/c/Windows/NewFile.Txt"));
}

TEST_F(SimFiles, ReadOnlyFilesAreRefusedWithAccessDenied) {
  Files& f = p().files();
  ASSERT_EQ(f.write_file("C:\\ro.txt", "old"), 0u);
  ASSERT_EQ(f.write_file("C:\\src.txt", "new"), 0u);
  ASSERT_EQ(f.set_attributes("C:\\ro.txt", attr::kReadOnly | attr::kHidden), 0u);
  uint32_t a = 0;
  ASSERT_EQ(f.get_attributes("c:\\RO.TXT", a), 0u);
  EXPECT_EQ(a, attr::kReadOnly | attr::kHidden);
  EXPECT_NE(read(root_ + "/sim/attributes.ini").find("C:\\RO.TXT=HIDDEN"), std::string::npos);

  // Checked by the sim itself, so root gets the same answers as everyone else.
  EXPECT_EQ(f.write_file("C:\\ro.txt", "x"), win::kAccessDenied);
  EXPECT_EQ(f.delete_file("C:\\ro.txt"), win::kAccessDenied);
  EXPECT_EQ(f.copy_file("C:\\src.txt", "C:\\ro.txt", false), win::kAccessDenied);
  EXPECT_EQ(f.move_file("C:\\src.txt", "C:\\ro.txt", true), win::kAccessDenied);
  std::unique_ptr<AppendFile> log;
  EXPECT_EQ(f.open_append("C:\\ro.txt", log), win::kAccessDenied);
  EXPECT_TRUE(f.profile_set("s", "k", "v", "C:\\ro.txt") == false);
  EXPECT_EQ(f.last_error(), win::kAccessDenied);
  EXPECT_EQ(read(root_ + "/c/ro.txt"), "old");

  // Cleared, the file can go, and its attribute entry goes with it.
  ASSERT_EQ(f.set_attributes("C:\\ro.txt", attr::kNormal), 0u);
  EXPECT_EQ(f.move_file("C:\\src.txt", "C:\\ro.txt", false), win::kAlreadyExists);
  EXPECT_EQ(f.copy_file("C:\\src.txt", "C:\\ro.txt", true), win::kFileExists);
  EXPECT_EQ(f.move_file("C:\\src.txt", "C:\\ro.txt", true), 0u);
  EXPECT_EQ(read(root_ + "/c/ro.txt"), "new");
  EXPECT_EQ(f.delete_file("C:\\ro.txt"), 0u);
  EXPECT_EQ(read(root_ + "/sim/attributes.ini").find("RO.TXT"), std::string::npos);
}

TEST_F(SimFiles, CopiesTakeTheSourcesAttributesAndArchiveWhateverElseWritesTheFile) {
  Files& f = p().files();
  const std::string ini = root_ + "/sim/attributes.ini";
  ASSERT_EQ(f.write_file("C:\\src.txt", "s"), 0u);
  ASSERT_EQ(f.set_attributes("C:\\src.txt", attr::kHidden), 0u);
  uint32_t a = 0;
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\a.txt", false), 0u);
  ASSERT_EQ(f.get_attributes("C:\\a.txt", a), 0u);
  EXPECT_EQ(a, attr::kHidden | attr::kArchive);

  // Another process rewrites the file, its last line without a line end, another section
  // last: this one sees what it wrote and adds to it without breaking a line.
  write(ini, "[attributes]\nC:\\SRC.TXT=SYSTEM\n[other]\nk=v");
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\b.txt", false), 0u);
  ASSERT_EQ(f.get_attributes("C:\\b.txt", a), 0u);
  EXPECT_EQ(a, attr::kSystem | attr::kArchive);
  ASSERT_EQ(f.get_attributes("C:\\a.txt", a), 0u);
  EXPECT_EQ(a, attr::kNormal);  // its entry is gone with the rewrite
  write(ini, "[attributes]\nC:\\SRC.TXT=HIDDEN");
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\c.txt", false), 0u);
  reload();  // as the next process reads the file
  Files& g = p().files();
  for (const char* name : {"C:\\c.txt", "C:\\src.txt"}) {
    ASSERT_EQ(g.get_attributes(name, a), 0u) << name;
    EXPECT_EQ(a, attr::kHidden | (name[3] == 'c' ? attr::kArchive : 0)) << name;
  }
  ASSERT_EQ(g.get_attributes("C:\\b.txt", a), 0u);
  EXPECT_EQ(a, attr::kNormal);
  // Copying over a file with an entry changes that entry: one line for the file.
  ASSERT_EQ(g.set_attributes("C:\\c.txt", attr::kArchive), 0u);
  ASSERT_EQ(g.set_attributes("C:\\src.txt", attr::kSystem), 0u);
  ASSERT_EQ(g.copy_file("C:\\src.txt", "C:\\c.txt", false), 0u);
  ASSERT_EQ(g.get_attributes("C:\\c.txt", a), 0u);
  EXPECT_EQ(a, attr::kSystem | attr::kArchive);
  std::string text = read(ini);
  size_t at = text.find("C:\\C.TXT=");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_EQ(text.find("C:\\C.TXT=", at + 1), std::string::npos) << text;
}

TEST_F(SimFiles, FoldersListAndCreate) {
  Files& f = p().files();
  EXPECT_EQ(f.create_directories("C:\\ProgramData\\kovenu\\tarvik\\userdata"), 0u);
  EXPECT_EQ(f.create_directories("c:\\programdata\\KOVENU"), win::kAlreadyExists);
  EXPECT_EQ(f.create_directory("C:\\a\\b"), win::kPathNotFound);
  ASSERT_EQ(f.write_file("C:\\ProgramData\\kovenu\\b.inf", "12345"), 0u);
  ASSERT_EQ(f.write_file("C:\\ProgramData\\kovenu\\A.INF", ""), 0u);

  std::vector<DirEntry> list;
  ASSERT_EQ(f.list("C:\\ProgramData\\kovenu", "*", list), 0u);
  std::vector<std::string> names;
  for (const auto& e : list) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "A.INF", "b.inf", "tarvik"}));
  EXPECT_EQ(list[3].size, 5u);
  EXPECT_EQ(list[4].attributes, attr::kDirectory);
  ASSERT_EQ(f.list("C:\\ProgramData\\kovenu", "*.inf", list), 0u);
  EXPECT_EQ(list.size(), 2u);
  EXPECT_EQ(f.list("C:\\ProgramData\\kovenu", "*.sys", list), win::kFileNotFound);
  EXPECT_EQ(f.list("C:\\missing", "*", list), win::kPathNotFound);
  ASSERT_EQ(f.list("C:\\", "*", list), 0u);
  EXPECT_NE(list.front().name, ".");  // a drive's root has no dot entries

  EXPECT_EQ(f.remove_directory("C:\\ProgramData\\kovenu"), win::kDirNotEmpty);
  EXPECT_EQ(f.remove_directory("C:\\ProgramData\\kovenu\\tarvik\\userdata"), 0u);
}

TEST_F(SimFiles, FileVersionIsTheFixedInfoBlockAnywhereInTheFile) {
  Files& f = p().files();
  ASSERT_TRUE(sim::write_version_stamp(root_ + "/c/stamp.sys", {100, 85, 104, 20800}));
  // The same block inside a bigger file at an odd offset, as a driver's resources hold it.
  write(root_ + "/c/big.sys", std::string(1001, 'M') + read(root_ + "/c/stamp.sys") + "tail");
  for (const char* path : {"C:\\stamp.sys", "C:\\big.sys"}) {
    FileVersion v;
    VersionStep step = VersionStep::kQuery;
    ASSERT_EQ(f.file_version(path, v, step), 0u) << path;
    EXPECT_EQ(step, VersionStep::kNone);
    EXPECT_EQ(v.major, 100);
    EXPECT_EQ(v.minor, 85);
    EXPECT_EQ(v.build, 104);
    EXPECT_EQ(v.revision, 20800);
  }
  write(root_ + "/c/plain.sys", "no resources here");
  FileVersion v;
  VersionStep step = VersionStep::kNone;
  EXPECT_EQ(f.file_version("C:\\plain.sys", v, step), 1813u);
  EXPECT_EQ(step, VersionStep::kSize);
  EXPECT_EQ(f.file_version("C:\\gone.sys", v, step), win::kFileNotFound);
}

TEST_F(SimFiles, AppendFilesShareTheEnd) {
  Files& f = p().files();
  std::unique_ptr<AppendFile> a, b;
  ASSERT_EQ(f.open_append("C:\\tarvik.log", a), 0u);
  ASSERT_EQ(f.open_append("C:\\tarvik.log", b), 0u);
  ASSERT_EQ(a->append("one\n"), 0u);
  ASSERT_EQ(b->append("two\n"), 0u);
  ASSERT_EQ(a->append("three\n"), 0u);
  EXPECT_EQ(read(root_ + "/c/tarvik.log"), "one\ntwo\nthree\n");
}

// What another process does to a folder between two calls of this one: a forked child
// that works on the same guest through its own copy of the platform.
template <typename Fn>
void in_another_process(Fn fn) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SimFiles, FoldersThisProcessResolvedFollowWhatOthersChange) {
  Files& f = p().files();
  namespace fs = std::filesystem;
  ASSERT_EQ(f.write_file("C:\\src.txt", "new"), 0u);
  ASSERT_EQ(f.create_directory("C:\\Dst"), 0u);
  // A process that resolves this many paths keeps the folders' listings from then on.
  for (unsigned i = 0; i < sim::FolderCache::kWalksBeforeWatching; ++i)
    ASSERT_TRUE(f.exists("C:\\dst"));
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\dst\\a.txt", false), 0u);

  // A file of another letter case, added between two copies, is the one the next copy
  // overwrites: a case-insensitive folder never holds b.txt beside B.TXT.
  in_another_process([&] {
    return p().files().write_file("C:\\DST\\B.TXT", "old") == 0 &&
           p().files().exists("C:\\dst\\b.txt");
  });
  EXPECT_EQ(f.copy_file("C:\\src.txt", "C:\\dst\\b.txt", true), win::kFileExists);
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\dst\\b.txt", false), 0u);
  EXPECT_EQ(read(root_ + "/c/Dst/B.TXT"), "new");
  EXPECT_FALSE(fs::exists(root_ + "/c/Dst/b.txt"));

  // Removed, it is a new name again, in the case the copy gives it.
  in_another_process([&] { return fs::remove(root_ + "/c/Dst/B.TXT"); });
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\dst\\b.txt", true), 0u);
  EXPECT_TRUE(fs::exists(root_ + "/c/Dst/b.txt"));

  // The folder renamed to another case and another made in its old name's place.
  in_another_process([&] {
    fs::rename(root_ + "/c/Dst", root_ + "/c/DST2");
    return fs::create_directory(root_ + "/c/dst");
  });
  uint32_t a = 0;
  EXPECT_EQ(f.get_attributes("C:\\dst2\\A.TXT", a), 0u);
  EXPECT_EQ(f.get_attributes("C:\\dst\\a.txt", a), win::kFileNotFound);
  ASSERT_EQ(f.copy_file("C:\\src.txt", "C:\\DST\\c.txt", false), 0u);
  EXPECT_TRUE(fs::exists(root_ + "/c/dst/c.txt"));
}

// ---------------------------------------------------------------------------------------
// Profile functions

class SimFilesProfile : public SimGuestTest {
 protected:
  std::string get(const char* section, const char* key, const char* def, uint32_t size,
                  uint32_t* n = nullptr) {
    std::string out = "untouched";
    uint32_t r = p().files().profile_get(section, key, def, out, size, kIni);
    if (n) *n = r;
    EXPECT_EQ(r, out.size());
    return out;
  }
  bool set(const char* section, const char* key, const char* value) {
    return p().files().profile_set(section, key, value, kIni);
  }
  static constexpr const char* kIni = "C:\\ProgramData\\tarvik.ini";
};

TEST_F(SimFilesProfile, ListsKeysAndSectionsAsTheSystemCutsThem) {
  mkdirs(root_ + "/c/ProgramData");
  EXPECT_EQ(get("config", "k", "  dflt  ", 64), "  dflt");  // absent file: the default
  ASSERT_TRUE(set("config", "AAAA", "run one"));            // first write creates it
  ASSERT_TRUE(set("config", "BBBB", "run two"));
  ASSERT_TRUE(set("update", "dpinst", "1"));
  ASSERT_TRUE(set("CONFIG", "cccc", "x"));
  EXPECT_EQ(read(root_ + "/c/ProgramData/tarvik.ini"),
            "[config]\r\nAAAA=run one\r\nBBBB=run two\r\ncccc=x\r\n[update]\r\ndpinst=1\r\n");

  EXPECT_EQ(get("Config", nullptr, nullptr, 64), std::string("AAAA\0BBBB\0cccc\0", 15));
  EXPECT_EQ(get(nullptr, nullptr, nullptr, 64), std::string("config\0update\0", 14));
  // Too small: size - 2 characters, the last name cut.
  EXPECT_EQ(get("config", nullptr, nullptr, 9), std::string("AAAA\0BBB", 7));
  EXPECT_EQ(get("config", nullptr, nullptr, 16), std::string("AAAA\0BBBB\0cccc\0", 15));
  EXPECT_EQ(get("config", nullptr, nullptr, 15), std::string("AAAA\0BBBB\0ccc", 13));
  EXPECT_EQ(get("nosuch", nullptr, "dflt", 64), "");
  // Values: blanks and one pair of quotes go; the value is cut to size - 1.
  write(root_ + "/c/ProgramData/tarvik.ini",
        "[s]\nplain =  a b  \r\nquoted=\" q \"\n;k=comment\n[s]\nplain=second\n");
  EXPECT_EQ(get("S", "PLAIN", "d", 64), "a b");
  EXPECT_EQ(get("s", "quoted", "d", 64), " q ");
  EXPECT_EQ(get("s", "plain", "d", 3), "a ");
  EXPECT_EQ(get("s", ";k", "d", 64), "d");
  EXPECT_EQ(get("s", "plain", "d", 0), "");
}

TEST_F(SimFilesProfile, DeletesKeysAndSections) {
  mkdirs(root_ + "/c/ProgramData");
  write(root_ + "/c/ProgramData/tarvik.ini",
        "; kept\r\n[config]\r\nk1=a\r\nk2=b\r\n\r\n[update]\r\ndpinst=0\r\n");
  ASSERT_TRUE(set("config", "K1", nullptr));
  ASSERT_TRUE(set("config", "k3", "c"));  // at the section's end, before the blank line
  ASSERT_TRUE(set("update", "dpinst", "1"));
  EXPECT_EQ(read(root_ + "/c/ProgramData/tarvik.ini"),
            "; kept\r\n[config]\r\nk2=b\r\nk3=c\r\n\r\n[update]\r\ndpinst=1\r\n");
  ASSERT_TRUE(set("config", nullptr, nullptr));
  EXPECT_EQ(read(root_ + "/c/ProgramData/tarvik.ini"), "; kept\r\n[update]\r\ndpinst=1\r\n");
  EXPECT_TRUE(set(nullptr, nullptr, nullptr));  // flush
  EXPECT_FALSE(set(nullptr, "k", "v"));
  EXPECT_FALSE(p().files().profile_set("s", "k", "v", "C:\\no\\dir\\x.ini"));
  EXPECT_EQ(p().files().last_error(), win::kPathNotFound);
}

TEST_F(SimFilesProfile, ATemporaryLeftByAKilledWriterIsRemovedByTheNext) {
  mkdirs(root_ + "/c/ProgramData");
  ASSERT_TRUE(set("config", "k", "secret"));
  pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ASSERT_EQ(::waitpid(gone, nullptr, 0), gone);
  std::string stale = host(kIni) + ".tmp." + std::to_string(gone);
  write(stale, "[config]\r\nk=secret\r\n");
  ASSERT_TRUE(set("config", "k", nullptr));
  EXPECT_FALSE(std::filesystem::exists(stale));
}

TEST_F(SimFilesProfile, ConcurrentWritersLoseNothing) {
  mkdirs(root_ + "/c/ProgramData");
  constexpr int kWriters = 2, kKeys = 60;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      for (int k = 0; k < kKeys; ++k) {
        std::string key = "w" + std::to_string(w) + "k" + std::to_string(k);
        ok = p().files().profile_set("config", key.c_str(), "value", kIni) && ok;
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string keys = get("config", nullptr, nullptr, 65536);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), '\0'), kWriters * kKeys);
}

}  // namespace
}  // namespace tarvik::test
