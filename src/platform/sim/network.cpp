#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/sim/services.h"

namespace tarvik::sim {
namespace {

std::string mac_bytes(const std::string& text) {
  std::string out;
  unsigned v[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6)
    for (unsigned b : v) out.push_back(static_cast<char>(b));
  return out;
}

// WSA error codes for the resolver and sockets.
constexpr Status kHostNotFound = 11001;

class SimNetwork final : public Network {
 public:
  explicit SimNetwork(const Machine& m) : m_(m), started_ms_(m.now_ms()) {}

  Status adapters_info(std::vector<AdapterInfo>& out) override {
    std::vector<AdapterInfo> list;
    IniFile ini = m_.current_config();
    for (const IniSection* s : present(ini)) {
      AdapterInfo a;
      a.index = static_cast<uint32_t>(std::strtoul(s->get("index", "0").c_str(), nullptr, 10));
      a.description = s->get("description");
      a.address = mac_bytes(s->get("mac"));
      a.ipv4 = split_list(s->get("ipv4"));
      list.push_back(std::move(a));
    }
    if (list.empty()) return win::kNoData;
    out = std::move(list);
    return win::kSuccess;
  }

  Status adapters_addresses(std::vector<AdapterAddresses>& out) override {
    std::vector<AdapterAddresses> list;
    IniFile ini = m_.current_config();
    for (const IniSection* s : present(ini)) {
      AdapterAddresses a;
      a.friendly_name = s->get("name");
      a.adapter_name = s->get("id");
      a.description = s->get("description");
      a.address = mac_bytes(s->get("mac"));
      a.index = static_cast<uint32_t>(std::strtoul(s->get("index", "0").c_str(), nullptr, 10));
      list.push_back(std::move(a));
    }
    if (list.empty()) return win::kNoData;
    out = std::move(list);
    return win::kSuccess;
  }

  Status startup() override { return win::kSuccess; }

  Status host_name(std::string& out) override {
    out = m_.get("network", "hostname", "WIN-SIMGUEST");
    return win::kSuccess;
  }

  Status resolve_ipv4(std::string_view name, std::vector<std::string>& out) override {
    std::string given = m_.get("network", "host_addresses", "");
    if (to_lower(given) == "none") return kHostNotFound;
    if (!given.empty()) {
      out = split_list(given);
      return win::kSuccess;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (::getaddrinfo(std::string(name).c_str(), nullptr, &hints, &res) != 0) return kHostNotFound;
    std::vector<std::string> list;
    for (addrinfo* p = res; p; p = p->ai_next) {
      char buf[INET_ADDRSTRLEN];
      auto* sin = reinterpret_cast<sockaddr_in*>(p->ai_addr);
      if (::inet_ntop(AF_INET, &sin->sin_addr, buf, sizeof buf)) list.push_back(buf);
    }
    ::freeaddrinfo(res);
    out = std::move(list);
    return win::kSuccess;
  }

  Status tcp_connect(std::string_view local, std::string_view server, uint16_t port) override {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return 10024;  // WSAEMFILE
    if (!local.empty()) {
      sockaddr_in la{};
      la.sin_family = AF_INET;
      if (::inet_pton(AF_INET, std::string(local).c_str(), &la.sin_addr) == 1)
        (void)::bind(fd, reinterpret_cast<sockaddr*>(&la), sizeof la);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, std::string(server).c_str(), &sa.sin_addr) != 1) {
      ::close(fd);
      return 10049;  // WSAEADDRNOTAVAIL
    }
    Status result = win::kSuccess;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      if (errno != EINPROGRESS) {
        result = errno == ECONNREFUSED ? win::kConnectionRefused : 10051;  // WSAENETUNREACH
      } else {
        // Windows gives up on an unanswered connect after about 21 s; the sim waits 5 s.
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0) {
          result = win::kTimedOut;
        } else {
          int err = 0;
          socklen_t len = sizeof err;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
          if (err != 0) result = err == ECONNREFUSED ? win::kConnectionRefused : 10051;
        }
      }
    }
    ::close(fd);
    return result;
  }

  std::string metadata_address() override { return m_.get("network", "metadata", ""); }

 private:
  // Adapters that have appeared by now ([adapter.N] present_after_ms).
  std::vector<const IniSection*> present(const IniFile& ini) const {
    std::vector<const IniSection*> out;
    uint64_t age = m_.now_ms() - started_ms_;
    for (const IniSection* s : Machine::numbered(ini, "adapter"))
      if (std::strtoull(s->get("present_after_ms", "0").c_str(), nullptr, 10) <= age)
        out.push_back(s);
    return out;
  }

  const Machine& m_;
  uint64_t started_ms_;
};

}  // namespace

std::unique_ptr<Network> make_network(const Machine& m) {
  return std::make_unique<SimNetwork>(m);
}

}  // namespace tarvik::sim
