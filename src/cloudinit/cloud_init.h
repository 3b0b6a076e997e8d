// Cloud-init: the readiness probe that chooses the local address, the run that applies
// the instance's metadata, and the user-data scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik {

// Where the agent reaches the metadata service.
struct MetadataService {
  std::string address;  // dotted IPv4
  uint16_t port = 80;
  // "http://" + address (+ ":port" when it is not 80) + path.
  std::string url(const char* path) const;
};

// The address compiled into the agent (metadata_address.cpp, set by the build).
const char* compiled_metadata_address();
uint16_t compiled_metadata_port();

class cloud_init {
 public:
  static cloud_init& instance();

  // The compiled address, unless this machine's platform puts the service elsewhere.
  static MetadataService metadata_service();

  // The whole run; always 0.
  int run(bool shouldConfigDisk);

  // --- readiness probe
  // The host's IPv4 addresses as the resolver gives them.
  std::vector<std::string> local_ipv4_addresses();
  // Unbound connects to the service, 2000 ms apart, for a budget of 240000 ms.
  bool wait_ready();
  // Connects from local to server, 1000 ms apart, while the budget (ms) lasts.
  bool probe_connect(int budget_ms, const std::string& local, const std::string& server);
  // The local address later requests are sent from; empty: not bound.
  std::string select_local_ip();

  // --- user data
  // Stores data as a PowerShell or batch script by its header and starts it; 0 when it
  // was started, -1 otherwise. A bracketed header is blanked in data.
  int user_data(std::string& data);
};

}  // namespace tarvik
