// The simulated registry against the Windows rules the agent relies on, and the reg verb
// of tarvik-sim.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/sim/registry.h"
#include "platform/sim/services.h"
#include "support/sim_guest.h"

namespace tarvik::test {
namespace {

constexpr char kSystemHive[] =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[Select]\r\n\"Current\"=dword:00000002\r\n\r\n"
    "[ControlSet001\\Services\\Old]\r\n\r\n"
    "[ControlSet002\\Services\\Tcpip]\r\n\"Hostname\"=\"guest\"\r\n\r\n";

class SimRegistry : public SimGuestTest {
 protected:
  std::string system_file() const { return root_ + "/c/Windows/System32/config/SYSTEM"; }
  std::string software_file() const { return root_ + "/c/Windows/System32/config/SOFTWARE"; }
  Registry& r() { return p().registry(); }

  bool exists(const std::string& path, uint32_t access = reg::kKeyRead) {
    RegKey k;
    return r().open(path, access, k) == win::kSuccess;
  }
  std::string text(const std::string& path, const std::string& name) {
    RegKey k;
    std::string v = "<none>";
    if (r().open(path, reg::kKeyRead, k) == win::kSuccess) k.query_text(name, v);
    return v;
  }
};

TEST_F(SimRegistry, CurrentControlSetFollowsSelectCurrentInAnyCase) {
  write(system_file(), kSystemHive);
  EXPECT_EQ(text("system\\currentCONTROLset\\Services\\Tcpip", "HOSTNAME"), "guest");
  EXPECT_FALSE(exists("SYSTEM\\CurrentControlSet\\Services\\Old"));

  // Relative to an open SYSTEM key, and for new keys: they land in ControlSet002.
  RegKey system, created;
  ASSERT_EQ(r().open("SYSTEM", reg::kKeyAllAccess, system), 0u);
  ASSERT_EQ(system.create("CurrentControlSet\\Services\\tarvik", 0, reg::kKeyAllAccess, created),
            0u);
  EXPECT_EQ(created.set_dword("Start", 2), 0u);
  EXPECT_NE(read(system_file()).find("[ControlSet002\\Services\\tarvik]\n\"Start\"=dword:00000002"),
            std::string::npos);

  // Only the running system's SYSTEM hive has the link; a loaded copy does not.
  mkdirs(root_ + "/d");
  write(root_ + "/d/SYSTEM", kSystemHive);
  ASSERT_EQ(r().load_hive("_SYSTEM", "D:\\SYSTEM"), 0u);
  EXPECT_TRUE(exists("_system\\ControlSet002\\Services\\Tcpip"));
  EXPECT_FALSE(exists("_SYSTEM\\CurrentControlSet"));

  // Without Select\Current there is no current control set.
  write(system_file(), "Windows Registry Editor Version 5.00\n\n[ControlSet001]\n");
  RegKey k;
  EXPECT_EQ(r().open("SYSTEM\\CurrentControlSet", reg::kKeyRead, k), win::kFileNotFound);
}

TEST_F(SimRegistry, Wow64ViewRedirectsSoftwareUnlessAskedFor64Bit) {
  RegKey k, sub;
  ASSERT_EQ(r().create("SOFTWARE\\Kovenu", 0, reg::kKeyAllAccess, k), 0u);
  ASSERT_EQ(k.create("Agent", 0, reg::kKeyAllAccess, sub), 0u);  // stays in the 32-bit view
  ASSERT_EQ(sub.set_text("v", "32"), 0u);
  ASSERT_EQ(r().create("SOFTWARE\\Kovenu", 0, reg::kKeyAllAccess | reg::kWow64_64Key, k), 0u);
  ASSERT_EQ(k.set_text("v", "64"), 0u);

  std::string hive = read(software_file());
  EXPECT_NE(hive.find("[Wow6432Node\\Kovenu\\Agent]\n\"v\"=\"32\""), std::string::npos);
  EXPECT_NE(hive.find("[Kovenu]\n\"v\"=\"64\""), std::string::npos);
  EXPECT_FALSE(exists("SOFTWARE\\Kovenu\\Agent", reg::kKeyRead | reg::kWow64_64Key));
  EXPECT_TRUE(exists("SOFTWARE\\Wow6432Node\\Kovenu\\Agent"));
  EXPECT_EQ(text("SOFTWARE\\Kovenu\\Agent", "v"), "32");

  // A 32-bit Windows has one view.
  std::string ini = kDefaultMachineIni;
  ini.insert(ini.find("[system]\n") + 9, "wow64=0\n");
  set_machine_ini(ini);
  EXPECT_EQ(text("SOFTWARE\\Kovenu", "v"), "64");
  EXPECT_TRUE(exists("SOFTWARE\\Kovenu", reg::kKeyRead | reg::kWow64_32Key));
}

TEST_F(SimRegistry, LoadedHiveOutlivesTheProcessUntilUnloaded) {
  mkdirs(root_ + "/d/Windows/System32/config");
  const std::string file = root_ + "/d/Windows/System32/config/SYSTEM";
  write(file, kSystemHive);
  const char* win_file = "d:\\windows\\system32\\config\\system";
  EXPECT_EQ(r().load_hive("_SYSTEM", "D:\\Windows\\System32\\config\\MISSING"), win::kFileNotFound);
  ASSERT_EQ(r().load_hive("_SYSTEM", win_file), 0u);

  reload();                                                              // the next process
  EXPECT_EQ(r().load_hive("_system", win_file), win::kAccessDenied);     // name in use
  EXPECT_EQ(r().load_hive("_OTHER", win_file), win::kSharingViolation);  // file in use
  {
    RegKey k;
    ASSERT_EQ(r().create("_system\\ControlSet002\\services\\tarvik", 0, reg::kGenericAll, k), 0u);
    ASSERT_EQ(k.set_text("ImagePath", "C:\\x.exe service"), 0u);
    // Written through at once; an open key keeps the hive loaded.
    EXPECT_NE(read(file).find("\"ImagePath\"=\"C:\\\\x.exe service\""), std::string::npos);
    EXPECT_EQ(r().unload_hive("_SYSTEM"), win::kAccessDenied);
  }
  std::string name;
  EXPECT_EQ(r().hklm().enum_subkey(0, name), 0u);
  EXPECT_EQ(name, "SOFTWARE");
  EXPECT_EQ(r().hklm().enum_subkey(2, name), 0u);
  EXPECT_EQ(name, "_SYSTEM");

  EXPECT_EQ(r().unload_hive("_SYSTEM"), 0u);
  EXPECT_FALSE(exists("_SYSTEM"));
  EXPECT_EQ(r().unload_hive("_SYSTEM"), win::kInvalidParameter);
  EXPECT_EQ(r().unload_hive("SYSTEM"), win::kAccessDenied);
  EXPECT_EQ(r().load_hive("SOFTWARE", win_file), win::kAccessDenied);
  EXPECT_EQ(r().load_hive("_X", "C:\\Windows\\System32\\config\\SYSTEM"), win::kSharingViolation);
}

TEST_F(SimRegistry, VolatileKeysStayOutOfTheHiveAndGoAtReboot) {
  write(system_file(), kSystemHive);
  RegKey k, child;
  ASSERT_EQ(r().create("SYSTEM\\CurrentControlSet\\services\\tarvik.start", reg::kOptionVolatile,
                       reg::kGenericAll, k),
            0u);
  ASSERT_EQ(k.set_dword("n", 1), 0u);
  EXPECT_EQ(k.create("lasting", reg::kOptionNonVolatile, reg::kGenericAll, child),
            sim::kChildMustBeVolatile);
  EXPECT_EQ(k.create("fleeting", reg::kOptionVolatile, reg::kGenericAll, child), 0u);
  // A change to a lasting key keeps the volatile ones out of the hive file.
  RegKey tcpip;
  ASSERT_EQ(r().open("SYSTEM\\ControlSet002\\Services\\Tcpip", reg::kGenericAll, tcpip), 0u);
  ASSERT_EQ(tcpip.set_text("Domain", "lan"), 0u);

  EXPECT_EQ(read(system_file()).find("tarvik.start"), std::string::npos);
  EXPECT_NE(read(root_ + "/sim/volatile.reg")
                .find("[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\tarvik.start]"),
            std::string::npos);
  reload();
  EXPECT_TRUE(exists("SYSTEM\\CurrentControlSet\\services\\tarvik.start\\fleeting"));

  ::unlink((root_ + "/sim/volatile.reg").c_str());  // what a reboot does
  EXPECT_FALSE(exists("SYSTEM\\CurrentControlSet\\services\\tarvik.start"));
  EXPECT_EQ(text("SYSTEM\\CurrentControlSet\\services\\Tcpip", "Domain"), "lan");

  // Those of a loaded hive go with the unload.
  mkdirs(root_ + "/d");
  write(root_ + "/d/SYSTEM", kSystemHive);
  ASSERT_EQ(r().load_hive("_SYSTEM", "D:\\SYSTEM"), 0u);
  ASSERT_EQ(r().create("_SYSTEM\\marker", reg::kOptionVolatile, reg::kGenericAll, k), 0u);
  k.close();
  ASSERT_EQ(r().unload_hive("_SYSTEM"), 0u);
  ASSERT_EQ(r().load_hive("_SYSTEM", "D:\\SYSTEM"), 0u);
  EXPECT_FALSE(exists("_SYSTEM\\marker"));
  EXPECT_EQ(read(root_ + "/d/SYSTEM").find("marker"), std::string::npos);
}

TEST_F(SimRegistry, ValuesComeBackByteExactFromTheFile) {
  const std::vector<std::pair<std::string, RegValue>> values = {
      {"sz", RegValue::text("C:\\Path \"quoted\"")},
      {"", RegValue::text("default value")},
      {"dword", RegValue::dword(0xDEADBEEF)},
      {"multi", RegValue{reg::kMultiSz, std::string("a\0b\0\0", 5)}},
      {"empty multi", RegValue{reg::kMultiSz, ""}},
      {"binary", RegValue{reg::kBinary, std::string("\x00\xff\n\"", 4)}},
      {"long", RegValue{reg::kBinary, std::string(300, '\x5a')}},
      {"sz without NUL", RegValue{reg::kSz, "abc"}},
      {"sz with line break", RegValue{reg::kSz, std::string("a\r\nb\0", 5)}},
      {"short dword", RegValue{reg::kDword, "\x01\x02"}},
      {"qword", RegValue{reg::kQword, std::string("\x01\0\0\0\0\0\0\x80", 8)}},
      {"name \"with\" \\ and = ", RegValue{reg::kExpandSz, std::string("%x%\0", 4)}},
  };
  RegKey k;
  ASSERT_EQ(r().create("SOFTWARE\\Values", 0, reg::kKeyAllAccess, k), 0u);
  for (const auto& [name, v] : values) ASSERT_EQ(k.set(name, v), 0u) << name;
  ASSERT_EQ(k.set_text("SZ", "replaced"), 0u);  // names fold case; the first spelling stays

  reload();
  ASSERT_EQ(r().open("SOFTWARE\\Values", reg::kKeyRead, k), 0u);
  for (const auto& [name, v] : values) {
    RegValue got;
    ASSERT_EQ(k.query(name, got), 0u) << name;
    EXPECT_EQ(got.type, v.type) << name;
    EXPECT_EQ(got.data, name == "sz" ? std::string("replaced\0", 9) : v.data) << name;
  }
  EXPECT_NE(read(software_file()).find("\"sz\"=\"replaced\""), std::string::npos);
}

TEST_F(SimRegistry, ReadsExportedTextAndListsKeysInSystemOrder) {
  // As an export writes it: BOM, CRLF, comments, hex lists continued over lines.
  write(software_file(),
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
        "; a comment\r\n"
        "[Order\\b]\r\n[Order\\_x]\r\n[Order\\Z]\r\n[Order\\A]\r\n\r\n"
        "[Order]\r\n@=\"default\"\r\n"
        "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\r\n"
        "  17,18,19\r\n"
        "\"Path\"=hex(2):25,53,79,73,00\r\n"
        "\"Q\" = hex(b):01,00,00,00,00,00,00,00\r\n");
  RegKey k;
  ASSERT_EQ(r().open("SOFTWARE\\Order", reg::kKeyRead | reg::kWow64_64Key, k), 0u);
  RegValue v;
  ASSERT_EQ(k.query("", v), 0u);
  EXPECT_EQ(v.as_text(), "default");
  ASSERT_EQ(k.query("long", v), 0u);
  EXPECT_EQ(v.data.size(), 26u);
  EXPECT_EQ(v.data[25], '\x19');
  ASSERT_EQ(k.query("Path", v), 0u);
  EXPECT_EQ(v.type, reg::kExpandSz);
  EXPECT_EQ(v.as_text(), "%Sys");
  ASSERT_EQ(k.query("Q", v), 0u);
  EXPECT_EQ(v.type, reg::kQword);

  // Subkeys come in the order of their upper-case names ('_' after the letters).
  std::string names, name;
  for (uint32_t i = 0; k.enum_subkey(i, name) == 0; ++i) names += name + ",";
  EXPECT_EQ(names, "A,b,Z,_x,");
}

TEST_F(SimRegistry, ConcurrentWritersLoseNothing) {
  // Each writer has a platform of its own, as a second agent process would.
  constexpr int kWriters = 2, kValues = 40;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      std::string error;
      auto own = sim::make_platform(root_, error);
      for (int i = 0; own && i < kValues; ++i) {
        RegKey k;
        std::string n = "w" + std::to_string(w) + "v" + std::to_string(i);
        if (own->registry().create("SYSTEM\\Shared\\" + n, 0, reg::kGenericAll, k) != 0 ||
            k.set_dword(n, static_cast<uint32_t>(i)) != 0)
          ++failures;
      }
      if (!own) ++failures;
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures, 0);
  RegKey shared;
  ASSERT_EQ(r().open("SYSTEM\\Shared", reg::kKeyRead, shared), 0u);
  std::string name;
  uint32_t n = 0;
  while (shared.enum_subkey(n, name) == 0) ++n;
  EXPECT_EQ(n, static_cast<uint32_t>(kWriters * kValues));
}

TEST_F(SimRegistry, DamagedHiveIsRefusedAndLeftAsItWas) {
  const std::string bad = "Windows Registry Editor Version 5.00\n\n[A]\n\"x\"=dword:nothex\n";
  write(software_file(), bad);
  RegKey k;
  EXPECT_EQ(r().open("SOFTWARE\\A", reg::kKeyRead, k), win::kRegistryCorrupt);
  EXPECT_EQ(r().create("SOFTWARE\\B", 0, reg::kKeyAllAccess, k), win::kRegistryCorrupt);
  EXPECT_FALSE(k.valid());
  EXPECT_EQ(read(software_file()), bad);

  mkdirs(root_ + "/d");
  write(root_ + "/d/bad", bad);
  write(root_ + "/d/binary", std::string("regf\0\0\0\0", 8));
  EXPECT_EQ(r().load_hive("_BAD", "D:\\bad"), win::kRegistryCorrupt);
  EXPECT_EQ(r().load_hive("_BIN", "D:\\binary"), win::kBadRegistry);
  EXPECT_FALSE(exists("_BAD"));
}

TEST_F(SimRegistry, FailuresCarryWin32CodesAndLeaveOutputsAlone) {
  write(system_file(), kSystemHive);
  RegKey k, untouched;
  std::string name = "kept";
  RegValue v = RegValue::text("kept");
  EXPECT_EQ(r().open("SYSTEM\\Nope", reg::kKeyRead, untouched), win::kFileNotFound);
  EXPECT_EQ(r().open("NOHIVE\\x", reg::kKeyRead, untouched), win::kFileNotFound);
  EXPECT_EQ(r().create("NewTopKey", 0, reg::kKeyAllAccess, untouched), win::kAccessDenied);
  EXPECT_FALSE(untouched.valid());

  ASSERT_EQ(r().open("SYSTEM\\ControlSet002", reg::kKeyAllAccess, k), 0u);
  EXPECT_EQ(k.query("none", v), win::kFileNotFound);
  EXPECT_EQ(k.delete_value("none"), win::kFileNotFound);
  EXPECT_EQ(k.enum_subkey(1, name), win::kNoMoreItems);
  EXPECT_EQ(v.as_text(), "kept");
  EXPECT_EQ(name, "kept");
  EXPECT_EQ(k.delete_tree("Services\\None"), win::kFileNotFound);
  EXPECT_EQ(r().hklm().delete_tree("SYSTEM"), win::kAccessDenied);
  // Names the hive text could not carry are refused rather than written into a file that
  // would not read back.
  EXPECT_EQ(k.set_text("two\nlines", "x"), win::kInvalidParameter);
  EXPECT_EQ(r().create("SYSTEM\\-lead", 0, reg::kKeyAllAccess, untouched), win::kInvalidParameter);
  EXPECT_EQ(text("SYSTEM\\ControlSet002\\Services\\Tcpip", "Hostname"), "guest");

  // A key deleted under an open handle.
  RegKey services;
  ASSERT_EQ(k.open("Services", reg::kKeyAllAccess, services), 0u);
  ASSERT_EQ(k.delete_tree("SERVICES"), 0u);
  EXPECT_EQ(services.set_dword("x", 1), win::kKeyDeleted);
  EXPECT_EQ(services.enum_subkey(0, name), win::kKeyDeleted);
  EXPECT_EQ(k.enum_subkey(0, name), win::kNoMoreItems);
}

// ---------------------------------------------------------------------------------------
// tarvik-sim reg

class SimRegTool : public SimRegistry {
 protected:
  // Runs tarvik-sim reg with args (shell words); returns stdout, sets the exit code.
  std::string run(const std::string& args, int& code, bool with_stderr = false) {
    std::string cmd = std::string(TARVIK_SIM_BIN) + " --root '" + root_ + "' reg " + args +
                      (with_stderr ? " 2>&1" : " 2>/dev/null");
    FILE* f = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int status = ::pclose(f);
    code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
  }
};

TEST_F(SimRegTool, QueryAddDeletePrintAsRegExe) {
  int code = 0;
  EXPECT_EQ(run("add 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v ProductName "
                "/t REG_SZ /d 'Windows Server 2019 Datacenter' /f",
                code),
            "The operation completed successfully.\n");
  EXPECT_EQ(code, 0);
  EXPECT_EQ(run("add 'HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' "
                "/v Build /t REG_DWORD /d 0x4563 /f",
                code),
            "The operation completed successfully.\n");
  run("add 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Sub' /f", code);
  EXPECT_EQ(
      run("query 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v productname", code),
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\n"
      "    ProductName    REG_SZ    Windows Server 2019 Datacenter\n\n");
  EXPECT_EQ(run("query 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion'", code),
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\n"
            "    ProductName    REG_SZ    Windows Server 2019 Datacenter\n"
            "    Build    REG_DWORD    0x4563\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Sub\n");
  // 64-bit view by default; /reg:32 reaches the other one.
  EXPECT_EQ(run("query 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v Build /reg:32",
                code, true),
            "ERROR: The system was unable to find the specified registry key or value.\n");
  EXPECT_EQ(code, 1);

  EXPECT_EQ(run("delete 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v Build /f", code),
            "The operation completed successfully.\n");
  run("query 'HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion' /v Build", code);
  EXPECT_EQ(code, 1);

  std::string err = run("add 'HKLM\\SOFTWARE\\X' /v n /t REG_DWORD /d twelve /f", code, true);
  EXPECT_EQ(code, 2);
  EXPECT_NE(err.find("twelve"), std::string::npos);
  run("query 'HKCU\\Software'", code);
  EXPECT_EQ(code, 2);
}

TEST_F(SimRegTool, OfflineHiveAndExportImportRoundTrip) {
  mkdirs(root_ + "/d/Windows/System32/config");
  write(root_ + "/d/Windows/System32/config/SYSTEM", kSystemHive);
  const std::string hive = "--hive 'D:\\Windows\\System32\\config\\SYSTEM' ";
  int code = 0;
  EXPECT_EQ(run(hive + "query 'ControlSet002\\Services\\Tcpip' /v Hostname", code),
            "\nControlSet002\\Services\\Tcpip\n    Hostname    REG_SZ    guest\n\n");
  run(hive + "add 'ControlSet002\\Services\\tarvik' /v Start /t REG_DWORD /d 2 /f", code);
  EXPECT_EQ(code, 0);
  run(hive + "add '' /v isoMode /t REG_DWORD /d 1 /f", code);  // the hive's root
  EXPECT_NE(
      read(root_ + "/d/Windows/System32/config/SYSTEM").find("[]\n\"isoMode\"=dword:00000001"),
      std::string::npos);

  // Export from the offline hive, import into the running system's SOFTWARE.
  run(hive + "export ControlSet002 '" + root_ + "/cs.reg'", code);
  EXPECT_EQ(code, 0);
  std::string exported = read(root_ + "/cs.reg");
  EXPECT_NE(exported.find("[ControlSet002\\Services\\tarvik]\r\n\"Start\"=dword:00000002\r\n"),
            std::string::npos);
  size_t at;
  while ((at = exported.find("[ControlSet002")) != std::string::npos)
    exported.replace(at, 14, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Copy");
  write(root_ + "/c/copy.reg", exported);
  EXPECT_EQ(run("import 'C:\\copy.reg'", code, true), "The operation completed successfully.\n");
  EXPECT_EQ(text("SOFTWARE\\Copy\\Services\\Tcpip", "Hostname"), "<none>");  // 64-bit view
  RegKey k;
  ASSERT_EQ(r().open("SOFTWARE\\Copy\\Services\\tarvik", reg::kKeyRead | reg::kWow64_64Key, k), 0u);
  uint32_t start = 0;
  EXPECT_EQ(k.query_dword("Start", start), 0u);
  EXPECT_EQ(start, 2u);

  // Deletions of keys and values.
  write(root_ + "/c/del.reg",
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Copy\\Services\\Tcpip]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Copy\\Services\\tarvik]\r\n\"Start\"=-\r\n");
  run("import 'C:\\del.reg' /reg:64", code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(k.query_dword("Start", start), win::kFileNotFound);
  EXPECT_FALSE(exists("SOFTWARE\\Copy\\Services\\Tcpip", reg::kKeyRead | reg::kWow64_64Key));
}

}  // namespace
}  // namespace tarvik::test
