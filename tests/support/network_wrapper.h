// A simulated guest's platform whose network is wrapped by a test: NetworkWrapper
// forwards every call to the sim's own network, and a test overrides the calls it
// changes; PlatformWithNetwork hands out the wrapper in place of the sim's network.
#pragma once

#include <memory>
#include <utility>

#include "platform/port.h"
#include "support/delegating_platform.h"

namespace tarvik::test {

class NetworkWrapper : public Network {
 public:
  explicit NetworkWrapper(Network& inner) : inner_(inner) {}
  Status adapters_info(std::vector<AdapterInfo>& out) override { return inner_.adapters_info(out); }
  Status adapters_addresses(std::vector<AdapterAddresses>& out) override {
    return inner_.adapters_addresses(out);
  }
  Status startup() override { return inner_.startup(); }
  Status host_name(std::string& out) override { return inner_.host_name(out); }
  Status resolve_ipv4(std::string_view name, std::vector<std::string>& out) override {
    return inner_.resolve_ipv4(name, out);
  }
  Status tcp_connect(std::string_view local, std::string_view server, uint16_t port) override {
    return inner_.tcp_connect(local, server, port);
  }
  std::string metadata_address() override { return inner_.metadata_address(); }

 private:
  Network& inner_;
};

template <class Wrapper>
class PlatformWithNetwork final : public DelegatingPlatform {
 public:
  explicit PlatformWithNetwork(std::unique_ptr<Platform> inner)
      : DelegatingPlatform(std::move(inner)), network_(this->inner().network()) {}
  Network& network() override { return network_; }
  Wrapper& wrapper() { return network_; }

 private:
  Wrapper network_;
};

}  // namespace tarvik::test
