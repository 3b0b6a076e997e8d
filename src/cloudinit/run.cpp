// The cloud-init run: adapters back to DHCP, the system volume and data disks, then the
// instance's host name, update server, time servers and user data from the metadata
// service, each applied through the operation the config command offers.
#include "cloudinit/cloud_init.h"
#include "cloudinit/curl_util.h"
#include "config/config.h"
#include "disk/disk_manager.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

// Calls a handler of the table as the dispatcher does: the operation's name, then value.
int call_operation(int (Config::*handler)(int, char**), const char* name,
                   const std::string& value) {
  std::string op = name, arg = value;
  char* words[] = {op.data(), arg.data(), nullptr};
  return (Config::instance().*handler)(value.empty() ? 1 : 2, words);
}

}  // namespace

int cloud_init::run(bool shouldConfigDisk) {
  call_operation(&Config::network_clean, "network_clean", "");

  std::string tag, arch;
  utils::osinfo(tag, arch);
  if (contains_nocase(tag, "2008")) {
    const std::string cmd = "ipconfig /renew";
    std::string out;
    int code = utils::run_cmd(cmd, out);
    utils::log("cound init cmd:%s code:%d out:%s", cmd.c_str(), code, out.c_str());
  }

  utils::log("Extend system volume.");
  disk_manager::instance().extend_volume(false);
  utils::log("shouldConfigDisk: %d", shouldConfigDisk ? 1 : 0);
  if (shouldConfigDisk) disk_manager::instance().configure_disks();

  const std::string local = select_local_ip();
  const MetadataService service = metadata_service();
  auto fetch = [&](const char* path) {
    return curl_util::instance().fetch(service.url(path), 6, 5000, local);
  };

  std::string host_name = fetch("/latest/meta-data/hostname");
  utils::log("cloud_init hostName :%s", host_name.c_str());
  if (!host_name.empty()) call_operation(&Config::config_hostname, "hostname", host_name);

  std::string wsus = fetch("/latest/meta-data/wsus-server/wu-server");
  utils::log("cloud_init wsus :%s", wsus.c_str());
  if (!wsus.empty()) call_operation(&Config::config_wsus, "wsus", wsus);

  std::string ntp = fetch("/latest/meta-data/ntp-conf/ntp-servers");
  utils::log("cloud_init ntp :%s", ntp.c_str());
  std::string servers = ntp_servers_of_lines(ntp);
  if (!servers.empty()) call_operation(&Config::config_ntp, "ntp", servers);

  std::string data = fetch("/latest/user-data/");
  if (!data.empty())
    user_data(data);
  else
    utils::log("cloud_init user-data length is 0");
  return 0;
}

}  // namespace tarvik
