// tarvik-sim init DIR [--iso] [--hives reg|regf]: makes a ready guest.
//
// Without --iso: a Windows Server guest on C: with the product folder staged under
// C:\ProgramData\kovenu, two virtio adapters, a system disk with free space behind its volume
// and a raw data disk.
// With --iso: an installation medium on X: (isoMode=1 in its SYSTEM hive, the agent in
// X:\kovenu\tarvik) and an offline installation on D: whose disk has free space. The
// medium carries the driver trees, dpinst and dism's log; the offline installation older
// virtio drivers than the medium's, an empty page-file setting and an earlier assistant.
// The agent's folder holds the files shipped beside it (citymaptz.ini).
// With --hives regf every hive file is a real Windows hive holding the same keys.
// With --iso --target-hives FOLDER the offline installation's SYSTEM and SOFTWARE are
// copies of FOLDER's (an image's own hive files, regf or text), left as they are: without
// the settings and older agents' services init gives its own.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "image/guest.h"
#include "platform/sim/hive.h"
#include "platform/sim/machine.h"
#include "platform/sim/regf.h"
#include "platform/sim/version_stamp.h"

namespace tarvik_sim {

namespace {

namespace fs = std::filesystem;

constexpr char kRegHeader[] = "Windows Registry Editor Version 5.00\r\n\r\n";

std::string software_hive(const char* product, const char* release, const char* buildlab) {
  std::string cv = std::string("\"ProductName\"=\"") + product + "\"\r\n\"ReleaseId\"=\"" +
                   release + "\"\r\n\"BuildLabEx\"=\"" + buildlab +
                   "\"\r\n\"CurrentBuildNumber\"=\"17763\"\r\n\"CurrentVersion\"=\"6.3\"\r\n"
                   "\"EditionID\"=\"ServerDatacenter\"\r\n\"InstallationType\"=\"Server\"\r\n\r\n";
  return std::string(kRegHeader) + "[Microsoft\\Windows NT\\CurrentVersion]\r\n" + cv +
         "[Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion]\r\n" + cv +
         "[Microsoft\\Windows\\CurrentVersion]\r\n\"ProgramFilesDir\"=\"C:\\\\Program "
         "Files\"\r\n\r\n";
}

std::string system_hive(bool iso_medium, const char* computer_name) {
  std::string cs = "ControlSet001";
  std::string h = kRegHeader;
  if (iso_medium) h += "[]\r\n\"isoMode\"=dword:00000001\r\n\r\n";
  h += "[Select]\r\n\"Current\"=dword:00000001\r\n\"Default\"=dword:00000001\r\n"
       "\"Failed\"=dword:00000000\r\n\"LastKnownGood\"=dword:00000001\r\n\r\n";
  h += "[" + cs + "\\Control\\ComputerName\\ComputerName]\r\n\"ComputerName\"=\"" + computer_name +
       "\"\r\n\r\n";
  h += "[" + cs + "\\Control\\ComputerName\\ActiveComputerName]\r\n\"ComputerName\"=\"" +
       computer_name + "\"\r\n\r\n";
  h += "[" + cs +
       "\\Control\\Session Manager\\Memory Management]\r\n"
       "\"PagingFiles\"=hex(7):63,3a,5c,70,61,67,65,66,69,6c,65,2e,73,79,73,20,30,20,30,00,00"
       "\r\n\r\n";
  h += "[" + cs +
       "\\Control\\TimeZoneInformation]\r\n\"RealTimeIsUniversal\"=dword:00000000\r\n"
       "\"TimeZoneKeyName\"=\"UTC\"\r\n\r\n";
  // Remote Desktop of an installation is closed until the first-boot work opens it.
  if (!iso_medium)
    h += "[" + cs + "\\Control\\Terminal Server]\r\n\"fDenyTSConnections\"=dword:00000001\r\n\r\n";
  h += "[" + cs + "\\Services\\Tcpip\\Parameters]\r\n\"Hostname\"=\"" + computer_name +
       "\"\r\n\"NV Hostname\"=\"" + computer_name + "\"\r\n\r\n";
  h += "[" + cs + "\\Services\\W32Time\\Parameters]\r\n\"Type\"=\"NTP\"\r\n\r\n";
  h += "[" + cs + "\\Services\\Disk]\r\n\"Start\"=dword:00000000\r\n\r\n";
  return h;
}

// Rules under which the standard tools of Windows succeed.
constexpr char kToolsIni[] =
    "; Scripted answers of tools: the first rule whose match hits the whole command line.\n"
    "[rule.netsh]\nmatch=netsh *\nexit=0\noutput=Ok.\\r\\n\n"
    "[rule.route]\nmatch=route *\nexit=0\noutput= OK!\\r\\n\n"
    "[rule.ipconfig]\nmatch=ipconfig*\nexit=0\noutput=\n"
    "[rule.net]\nmatch=net *\nexit=0\noutput=The command completed successfully.\\r\\n\n"
    "[rule.w32tm]\nmatch=w32tm *\nexit=0\noutput=The command completed successfully.\\r\\n\n"
    "[rule.sc]\nmatch=sc *\nexit=0\noutput=[SC] ChangeServiceConfig SUCCESS\\r\\n\n"
    "[rule.certutil]\nmatch=certutil *\nexit=0\noutput=CertUtil: -addstore command completed "
    "successfully.\\r\\n\n"
    "[rule.cacls]\nmatch=cacls *\nexit=0\noutput=processed file\\r\\n\n"
    "[rule.bcdedit]\nmatch=bcdedit *\nexit=0\noutput=The operation completed successfully.\\r\\n\n"
    "[rule.bcdboot]\nmatch=bcdboot *\nexit=0\noutput=Boot files successfully created.\\r\\n\n"
    "[rule.dism]\nmatch=dism *\nexit=0\noutput=The operation completed successfully.\\r\\n\n"
    "[rule.powershell]\nmatch=powershell*\nexit=0\noutput=\n"
    "[rule.reg]\nmatch=reg *\nexit=0\noutput=The operation completed successfully.\\r\\n\n"
    "[rule.dpinst]\nmatch=*dpinst_*\nexit=0\noutput=\n"
    "[rule.install]\nmatch=*install.bat*\nexit=0\noutput=installed\\r\\n\n";

bool write_file(const fs::path& p, const std::string& text) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  FILE* f = std::fopen(p.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// The code page of the guest's narrow text (machine_ini's "codepage").
constexpr uint32_t kInitCodepage = 65001;

// machine.ini of a guest whose system is on drive: two virtio adapters, the virtio network
// device and the disks given.
std::string machine_ini(char drive, const char* program, const char* disks) {
  return std::string("[system]\ndrive=") + drive + "\nprogram=" + program +
         "\nuser=system\nwow64=1\nmemory_mb=8192\nserial=1\ncodepage=" +
         std::to_string(kInitCodepage) +
         "\n"
         "hypervisor=KVMKVMKVM\nhypervisor_max=0x40000001\n"
         "[clock]\nmode=virtual\n"
         // The metadata service of a simulated guest is on loopback (tarvik-sim metadata
         // --listen 127.0.0.1:8169), never the link-local one of the machine it runs on.
         "[network]\nhost_addresses=10.0.0.5\nmetadata=127.0.0.1:8169\n"
         "[adapter.1]\nindex=11\nmac=52:54:00:12:34:56\nname=Ethernet\n"
         "id={2A9B1C62-0F52-4D23-9AB3-0C6C1B3F7E01}\ndescription=Virtio Ethernet Adapter\n"
         "ipv4=10.0.0.5\npresent_after_ms=0\n"
         "[adapter.2]\nindex=12\nmac=52:54:00:12:34:57\nname=Ethernet 2\n"
         "id={2A9B1C62-0F52-4D23-9AB3-0C6C1B3F7E02}\ndescription=Virtio Ethernet Adapter #2\n"
         "ipv4=10.0.1.5\npresent_after_ms=0\n" +
         disks +
         "[device.1]\nhardware_id=PCI\\VEN_1AF4&DEV_1000&SUBSYS_00011AF4&REV_00\n"
         "install_state=0\n"
         "[service.W32Time]\npresent=1\n";
}

void make_windows(const fs::path& drive) {
  for (const char* d :
       {"Windows/System32/config", "Windows/SysWOW64", "Windows/Panther", "Windows/INF",
        "Program Files", "Program Files (x86)", "ProgramData", "Users"})
    fs::create_directories(drive / d);
}

// The agent's folder with the files shipped beside it (data/ of the source tree).
void make_product_folder(const fs::path& product) {
  write_file(product / "tarvik" / "tarvik.exe", "tarvik agent (simulated)\n");
  std::error_code ec;
  fs::copy_file(fs::path(TARVIK_DATA_DIR) / "citymaptz.ini", product / "tarvik" / "citymaptz.ini",
                fs::copy_options::overwrite_existing, ec);
  if (ec)
    std::fprintf(stderr, "tarvik-sim init: cannot copy %s/citymaptz.ini: %s\n", TARVIK_DATA_DIR,
                 ec.message().c_str());
  write_file(product / "assist" / "config.ini", "[assist]\r\nversion=1.0.0.1\r\n");
  write_file(product / "assist" / "1.0.0.1" / "install.bat", "@echo off\r\necho installed\r\n");
}

// Versions of the driver files: the medium's and the older ones in the offline image.
constexpr tarvik::FileVersion kVirtioOnMedium{100, 94, 104, 24200};
constexpr tarvik::FileVersion kVirtioInImage{62, 77, 104, 11200};
constexpr tarvik::FileVersion kXenOnMedium{9, 0, 0, 8};
constexpr tarvik::FileVersion kZenTrixOnMedium{1, 4, 0, 12};

bool stamp(const fs::path& file, tarvik::FileVersion v) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  return tarvik::sim::write_version_stamp(file.string(), v);
}

// The driver directories of the agent's table, once each: Windows takes "win8" and "Win8"
// for one folder.
std::vector<std::string> driver_directories() {
  std::vector<std::string> out;
  std::set<std::string> seen;
  for (const auto& [tag, dir] : tarvik::guest::instance().driver_dirs()) {
    std::string upper = dir;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (seen.insert(upper).second) out.push_back(dir);
  }
  return out;
}

// The SYSTEM hive of the offline installation as a prepared image has it before the
// agent's driver work: an empty page-file setting and the inbox NVMe driver's service
// without its Parameters key.
bool set_offline_driver_settings(const fs::path& hive_file) {
  FILE* f = std::fopen(hive_file.c_str(), "rb");
  if (!f) return false;
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  tarvik::sim::HiveKey root;
  std::string error;
  if (tarvik::sim::parse_hive_text(text, root, error) != tarvik::win::kSuccess) return false;
  using tarvik::RegValue;
  root.add_child("ControlSet001")
      ->add_child("Control")
      ->add_child("Session Manager")
      ->add_child("Memory Management")
      ->set_value("PagingFiles", RegValue{tarvik::reg::kMultiSz, std::string(2, '\0')});
  tarvik::sim::HiveKey* nvme =
      root.add_child("ControlSet001")->add_child("Services")->add_child("stornvme");
  nvme->set_value("ErrorControl", RegValue::dword(1));
  nvme->set_value("Group", RegValue::text("SCSI miniport"));
  nvme->set_value("ImagePath",
                  RegValue::text("System32\\drivers\\stornvme.sys", tarvik::reg::kExpandSz));
  nvme->set_value("Start", RegValue::dword(3));
  nvme->set_value("Type", RegValue::dword(1));
  return write_file(hive_file, tarvik::sim::format_hive_text(root));
}

// What a whole preparation of the offline installation needs on a medium: the driver
// trees kvm, xen and zeb beside the agent for every release and architecture, dpinst in
// both builds and dism's log on the medium's system drive.
void make_driver_medium(const fs::path& root) {
  fs::path agent = root / "x" / "kovenu" / "tarvik";
  for (const std::string& dir : driver_directories()) {
    for (const char* arch : {"x86", "amd64"}) {
      fs::path kvm = agent / "kvm" / dir / arch;
      for (const char* sys :
           {"netkvm.sys", "viostor.sys", "balloon.sys", "vioser.sys", "pvpanic.sys"})
        stamp(kvm / sys, kVirtioOnMedium);
      write_file(kvm / "netkvm.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=Net\r\n");
      write_file(kvm / "viostor.inf",
                 "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=SCSIAdapter\r\n");
      fs::path xen = agent / "xen" / dir / arch;
      for (const char* sys : {"xenbus.sys", "xennet.sys", "xenvbd.sys"})
        stamp(xen / sys, kXenOnMedium);
      // The card's packages lie in folders of their own.
      fs::path zeb = agent / "zeb" / dir / arch / "zxnic";
      stamp(zeb / "zxnic.sys", kZenTrixOnMedium);
      write_file(zeb / "zxnic.inf", "[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=Net\r\n");
    }
  }
  write_file(agent / "dpinst_x64.exe", "driver installer, 64-bit (simulated)\n");
  write_file(agent / "dpinst_x86.exe", "driver installer, 32-bit (simulated)\n");
  write_file(
      root / "x" / "Windows" / "Logs" / "DISM" / "dism.log",
      "2025-01-06 09:49:05, Info DISM DISM.EXE: <----- Starting Dism.exe session ----->\r\n");
}

// What the medium carries beside the agent for the staging into the image (the security
// agent's update files, the certificates), and what an image prepared before holds: an
// older assistant, a Pavox installation of a 64-bit system, read-only virtio driver files
// (their services: add_older_agent_services). A rehearsal on it shows real decisions.
void add_staging_files(const fs::path& medium_agent, const fs::path& target) {
  write_file(medium_agent / "pavoxfix" / "up_cmd.txt", "update --from pavoxfix\r\n");
  write_file(medium_agent / "pavoxfix" / "SentirvaxUpdate.exe", "pavox update (new)\n");
  for (const char* cer : {"kovenu.cer", "globalsign.cer", "verisign.cer"})
    write_file(medium_agent / cer, std::string("certificate ") + cer + "\n");

  write_file(target / "ProgramData/kovenu/assist/config.ini", "[assist]\r\nversion=1.0.0.0\r\n");
  write_file(target / "ProgramData/kovenu/assist/1.0.0.0/install.bat", "@echo off\r\n");
  fs::path pavox = target / "Program Files (x86)/Dorvask/Pavox/pavox_update";
  write_file(pavox / "up_cmd.txt", "update --from installed\r\n");
  write_file(pavox / "SentirvaxUpdate.exe", "pavox update (old)\n");

  fs::path drivers = target / "Windows/System32/drivers";
  fs::create_directories(drivers);
  for (const char* name :
       {"balloon.sys", "netkvm.sys", "pvpanic.sys", "vioser.sys", "viostor.sys"}) {
    tarvik::sim::write_version_stamp((drivers / name).string(), kVirtioInImage);
    std::error_code ec;
    fs::permissions(drivers / name,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ec);
  }
}

// The services of older agents in the offline installation's text SYSTEM hive.
void add_older_agent_services(const fs::path& target) {
  std::string services;
  for (const char* name : {"KovenuService", "KovenuServiceGuard", "RidivudeRorAgent"})
    services += std::string("[ControlSet001\\Services\\") + name +
                "]\r\n\"Start\"=dword:00000002\r\n\"Type\"=dword:00000010\r\n\r\n";
  services +=
      "[ControlSet001\\Services\\RidivudeRorAgent\\Parameters]\r\n\"Interval\"=dword:"
      "0000003c\r\n\r\n";
  fs::path system = target / "Windows/System32/config/SYSTEM";
  std::string hive;
  tarvik::sim::read_host_file(system.string(), hive);
  write_file(system, hive + services);
}

// Whether the file is a hive that can be read (regf or text); error says why not.
bool readable_hive(const std::string& file, std::string& error) {
  std::string bytes;
  tarvik::sim::HiveKey tree;
  if (!tarvik::sim::read_host_file(file, bytes)) {
    error = file + ": " + std::strerror(errno);
    return false;
  }
  if (tarvik::sim::is_regf(bytes))
    return tarvik::sim::read_regf_file(file, kInitCodepage, tree, error) == tarvik::win::kSuccess;
  if (tarvik::sim::parse_hive_text(bytes, tree, error) == tarvik::win::kSuccess) return true;
  error = file + ": " + error;
  return false;
}

// Every hive file of the guest's drives made a real Windows hive holding what its text
// holds; false with error naming the file that could not be.
bool convert_hives_to_regf(const fs::path& root, std::string& error) {
  std::error_code ec;
  std::vector<std::string> files;  // listed first: converting one makes scratch files beside it
  for (const auto& drive : fs::directory_iterator(root, ec)) {
    fs::path config = drive.path() / "Windows" / "System32" / "config";
    if (!fs::is_directory(config, ec)) continue;
    for (const auto& e : fs::directory_iterator(config, ec))
      if (e.is_regular_file()) files.push_back(e.path().string());
  }
  for (const std::string& file : files) {
    std::string text;
    tarvik::sim::HiveKey tree;
    bool ok = tarvik::sim::read_host_file(file, text);
    if (ok && tarvik::sim::is_regf(text)) continue;  // one of --target-hives
    if (!ok || tarvik::sim::parse_hive_text(text, tree, error) != tarvik::win::kSuccess ||
        tarvik::sim::write_regf_file(file, tree, kInitCodepage, error) != tarvik::win::kSuccess) {
      if (error.find(file) == std::string::npos) error = file + ": " + error;
      return false;
    }
  }
  return true;
}

}  // namespace

int init_command(int argc, char** argv) {
  bool iso = false, regf = false;
  const char* dir = nullptr;
  const char* target_hives = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--iso") == 0) {
      iso = true;
    } else if (std::strcmp(argv[i], "--hives") == 0 && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "reg") == 0 || std::strcmp(argv[i + 1], "regf") == 0)) {
      regf = std::strcmp(argv[++i], "regf") == 0;
    } else if (std::strcmp(argv[i], "--target-hives") == 0 && i + 1 < argc) {
      target_hives = argv[++i];
    } else if (!dir && argv[i][0] != '-') {
      dir = argv[i];
    } else {
      std::fprintf(stderr, "tarvik-sim init: unexpected argument '%s'\n", argv[i]);
      return 2;
    }
  }
  if (!dir || (target_hives && !iso)) return usage_error("init");
  std::string error;
  if (target_hives)
    for (const char* name : {"SYSTEM", "SOFTWARE"})
      if (!readable_hive(std::string(target_hives) + "/" + name, error)) {
        std::fprintf(stderr, "tarvik-sim init: --target-hives: %s\n", error.c_str());
        return 2;
      }
  fs::path root(dir);
  std::error_code ec;
  if (fs::exists(root / "machine.ini", ec)) {
    std::fprintf(stderr, "tarvik-sim init: %s already holds a guest (machine.ini)\n", dir);
    return 2;
  }
  fs::create_directories(root / "sim", ec);
  if (ec) {
    std::fprintf(stderr, "tarvik-sim init: cannot create %s: %s\n", dir, ec.message().c_str());
    return 2;
  }

  const char* product = "Windows Server 2019 Datacenter";
  const char* buildlab = "17763.1.amd64fre.rs5_release.180914-1434";
  std::string ini = iso ? machine_ini('x', "X:\\kovenu\\tarvik\\tarvik.exe",
                                      "[disk.1]\nnumber=0\nstyle=mbr\npartitions=07\nletters=d\n"
                                      "free_mb=10240\n")
                        : machine_ini('c', "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe",
                                      "[disk.1]\nnumber=0\nstyle=mbr\npartitions=07\nletters=c\n"
                                      "free_mb=10240\n"
                                      "[disk.2]\nnumber=1\nstyle=raw\npartitions=\nletters=\n"
                                      "free_mb=20480\n");
  if (!iso) {
    fs::path c = root / "c";
    make_windows(c);
    write_file(c / "Windows/System32/config/SOFTWARE", software_hive(product, "1809", buildlab));
    write_file(c / "Windows/System32/config/SYSTEM", system_hive(false, "WIN-SIMGUEST"));
    make_product_folder(c / "ProgramData" / "kovenu");
  } else {
    fs::path x = root / "x";
    fs::create_directories(x / "Windows/System32/config");
    write_file(x / "Windows/System32/config/SOFTWARE",
               software_hive("Windows PE", "", "17763.1.amd64fre.rs5_release.180914-1434"));
    write_file(x / "Windows/System32/config/SYSTEM", system_hive(true, "MINWINPC"));
    make_product_folder(x / "kovenu");
    fs::path d = root / "d";
    make_windows(d);
    fs::path config = d / "Windows/System32/config";
    if (target_hives) {
      for (const char* name : {"SYSTEM", "SOFTWARE"})  // writable, as the image's are
        if (!ec && fs::copy_file(fs::path(target_hives) / name, config / name,
                                 fs::copy_options::overwrite_existing, ec))
          fs::permissions(config / name, fs::perms::owner_write, fs::perm_options::add, ec);
      if (ec) {
        std::fprintf(stderr, "tarvik-sim init: --target-hives: %s\n", ec.message().c_str());
        return 2;
      }
    } else {
      write_file(config / "SOFTWARE", software_hive(product, "1809", buildlab));
      write_file(config / "SYSTEM", system_hive(false, "WIN-OFFLINE"));
      set_offline_driver_settings(config / "SYSTEM");
      add_older_agent_services(d);
    }
    make_driver_medium(root);
    add_staging_files(x / "kovenu" / "tarvik", d);
  }
  write_file(root / "machine.ini", ini);
  write_file(root / "sim" / "tools.ini", kToolsIni);
  if (regf && !convert_hives_to_regf(root, error)) {
    std::fprintf(stderr, "tarvik-sim init: %s\n", error.c_str());
    return 2;
  }
  std::printf("%s guest ready in %s\n", iso ? "installation medium and offline" : "running", dir);
  return 0;
}

}  // namespace tarvik_sim
