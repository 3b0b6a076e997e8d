// The readiness probe: waits for the metadata service and chooses the local address
// from which it answers.
#include "cloudinit/cloud_init.h"
#include "cloudinit/curl_util.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr const char* kInstanceIdPath = "/latest/meta-data/instance-id";

}  // namespace

cloud_init& cloud_init::instance() {
  static cloud_init object;
  return object;
}

std::vector<std::string> cloud_init::local_ipv4_addresses() {
  Network& network = platform().network();
  std::string name;
  network.host_name(name);
  std::vector<std::string> list;
  if (Status s = network.resolve_ipv4(name, list); s != win::kSuccess) {
    utils::log("-->cloud_init::gethostbyname Error:%d", static_cast<int>(s));
    return {};
  }
  for (const std::string& address : list)
    utils::log("-->cloud_init::local ipv4 address: %s\n", address.c_str());
  return list;
}

bool cloud_init::wait_ready() {
  utils::log("-->cloud_init::wait_ready");
  Network& network = platform().network();
  network.startup();
  MetadataService service = metadata_service();
  int budget = 240000;
  do {
    if (network.tcp_connect("", service.address, service.port) == win::kSuccess) return true;
    platform().clock().sleep_ms(2000);
    budget -= 2000;
  } while (budget > 0);
  return false;
}

bool cloud_init::probe_connect(int budget_ms, const std::string& local, const std::string& server) {
  Network& network = platform().network();
  uint16_t port = metadata_service().port;
  do {
    if (network.tcp_connect(local, server, port) == win::kSuccess) return true;
    platform().clock().sleep_ms(1000);
    budget_ms -= 1000;
  } while (budget_ms > 0);
  return false;
}

std::string cloud_init::select_local_ip() {
  platform().network().startup();
  std::vector<std::string> addresses = local_ipv4_addresses();
  MetadataService service = metadata_service();
  std::string url = service.url(kInstanceIdPath);
  if (addresses.size() <= 1) {
    if (!wait_ready()) utils::log("cloud_init wait net ready fail");
    std::string id = curl_util::instance().fetch(url, 6, 5000, "");
    if (!id.empty()) {
      utils::log("fetch instance_id(%s) ok \n", id.c_str());
    } else {
      utils::log("fetch instance_id error \n");
      utils::log("TARVIK_REPORT_ERROR:meta_server_error %s", url.c_str());
    }
    return "";
  }
  int budget = 300000;
  do {
    for (const std::string& local : addresses) {
      if (!probe_connect(30000, local, service.address)) continue;
      utils::log("test connect success: %s\n", local.c_str());
      std::string id = curl_util::instance().fetch(url, 6, 5000, local);
      if (!id.empty()) {
        utils::log("fetch instance_id(%s) ok with local ip: %s\n", id.c_str(), local.c_str());
        return local;
      }
    }
    budget -= 30000;
  } while (budget > 0);
  utils::log("cloud_init no local address reaches the metadata service at %s",
             service.address.c_str());
  return "";
}

}  // namespace tarvik
