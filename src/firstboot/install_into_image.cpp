// ISO mode: the agent installed into the offline installation as an automatically started
// service, the services of older agents removed, the product folder staged, and the
// medium's own registry marked so that this happens once per boot of the medium.
#include "firstboot/install_into_image.h"

#include "disk/disk_manager.h"
#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr char kMarkerKey[] = "SYSTEM";
constexpr char kMarkerValue[] = "tarvik.inst";

bool already_installed() {
  RegKey system;
  uint32_t marker = 0;
  if (platform().registry().create(kMarkerKey, reg::kOptionNonVolatile, reg::kGenericAll, system) ==
      win::kSuccess)
    system.query_dword(kMarkerValue, marker);
  return marker != 0;
}

bool create_service_key() {
  utils::log("-->create tarvik ");
  GuestInfo& target = GuestInfo::instance();
  RegKey control_set = target.open_control_set();
  if (!control_set) {
    utils::log("TARVIK_REPORT_ERROR:registry_access_error open_curent_ctlset err:%d",
               static_cast<int>(target.last_error()));
    utils::exit_report(-1, "create tarvik open ctl fail");
    return false;
  }
  RegKey service;
  Status s =
      control_set.create("services\\tarvik", reg::kOptionNonVolatile, reg::kGenericAll, service);
  if (s != win::kSuccess) {
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegCreateKeyEx err:%d",
               static_cast<int>(s));
    utils::exit_report(-1, "create tarvik fail");
    return false;
  }
  // The service starts from drive C, the letter the installation has when it runs.
  service.set_text("DisplayName", "tarvik service");
  service.set_dword("ErrorControl", 1);
  service.set_text("ImagePath",
                   strformat("%c:\\ProgramData\\kovenu\\tarvik\\tarvik.exe service", 'C'));
  service.set_dword("start", 2);
  service.set_dword("type", 16);
  service.set_text("ObjectName", "LocalSystem");
  return true;
}

void delete_old_agents() {
  utils::log("-->delete agent");
  RegKey control_set = GuestInfo::instance().open_control_set();
  RegKey services;
  Status s = control_set ? control_set.open("services", reg::kGenericAll, services)
                         : GuestInfo::instance().last_error();
  if (s != win::kSuccess) {
    utils::log("TARVIK_REPORT_ERROR:registry_access_error RegOpenKeyEx err:%d",
               static_cast<int>(s));
    utils::exit_report(-1, "reg open err:%d", static_cast<int>(s));
    return;
  }
  // The names are gathered before any key goes, so that a deletion does not move the
  // next match past the enumeration's index.
  std::vector<std::string> old_agents;
  std::string name;
  for (uint32_t i = 0; services.enum_subkey(i, name) == win::kSuccess; ++i)
    if (contains_nocase(name, "KovenuService") || contains_nocase(name, "RidivudeRor"))
      old_agents.push_back(name);
  for (const std::string& agent : old_agents)
    if (Status d = services.delete_tree(agent); d != win::kSuccess)
      utils::log("delete_agent delete key %s failed:%d", agent.c_str(), static_cast<int>(d));
}

void write_install_marker() {
  RegKey system;
  if (platform().registry().create(kMarkerKey, reg::kOptionNonVolatile, reg::kGenericAll, system) ==
      win::kSuccess)
    system.set_dword(kMarkerValue, 1);
}

}  // namespace

bool install_into_image() {
  if (already_installed()) return true;
  GuestInfo& target = GuestInfo::instance();
  guest::remove_readonly_attrib();
  disk_manager::instance().extend_volume(true);
  target.load_system_hive(true);
  bool created = create_service_key();
  delete_old_agents();
  target.load_system_hive(false);
  // Started directly, as every tool is: it empties the product folder only where the
  // medium has a program named rd. What stays is overwritten by the staging below.
  std::string output;
  utils::run_cmd(strformat("rd /q /s %c:\\ProgramData\\kovenu\\", target.system_disk()), output);
  guest::copy_files();
  if (created) write_install_marker();
  guest::fix_pavox();
  FileVersion virtio;
  utils::get_file_version(image_driver_path(target.system_disk(), "viostor.sys"), virtio);
  utils::log("version of virtio is %d.%d.%d.%d", virtio.major, virtio.minor, virtio.build,
             virtio.revision);
  return created;
}

}  // namespace tarvik
