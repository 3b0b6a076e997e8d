// Where the metadata service is: the compiled address, or the platform's own setting.
#include <cstdlib>

#include "cloudinit/cloud_init.h"
#include "frame/format.h"
#include "platform/port.h"

namespace tarvik {

std::string MetadataService::url(const char* path) const {
  if (port == 80) return "http://" + address + path;
  return strformat("http://%s:%u%s", address.c_str(), static_cast<unsigned>(port), path);
}

MetadataService cloud_init::metadata_service() {
  MetadataService service{compiled_metadata_address(), compiled_metadata_port()};
  std::string given = platform().network().metadata_address();
  if (given.empty()) return service;
  size_t colon = given.find(':');
  service.address = given.substr(0, colon);
  service.port = 80;
  if (colon != std::string::npos) {
    char* end = nullptr;
    unsigned long port = std::strtoul(given.c_str() + colon + 1, &end, 10);
    if (end != given.c_str() + colon + 1 && *end == '\0' && port > 0 && port <= 65535)
      service.port = static_cast<uint16_t>(port);
  }
  return service;
}

}  // namespace tarvik
