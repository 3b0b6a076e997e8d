// Network: the IP Helper adapter lists and Winsock.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

class Win32Network final : public Network {
 public:
  Status adapters_info(std::vector<AdapterInfo>& out) override {
    ULONG size = 0;
    DWORD rc = GetAdaptersInfo(nullptr, &size);
    if (rc != ERROR_BUFFER_OVERFLOW) return rc == ERROR_SUCCESS ? win::kNoData : rc;
    std::vector<unsigned char> buf;
    // The list may grow between the two calls: ask again with the new size then.
    for (int attempt = 0; attempt < 4; ++attempt) {
      buf.assign(size + 512, 0);
      size = static_cast<ULONG>(buf.size());
      rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()), &size);
      if (rc != ERROR_BUFFER_OVERFLOW) break;
    }
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<AdapterInfo> list;
    for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buf.data()); a != nullptr; a = a->Next) {
      AdapterInfo info;
      info.index = a->Index;
      info.description = a->Description;
      info.address.assign(reinterpret_cast<const char*>(a->Address),
                          std::min<UINT>(a->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH));
      for (IP_ADDR_STRING* ip = &a->IpAddressList; ip != nullptr; ip = ip->Next)
        if (ip->IpAddress.String[0] != '\0') info.ipv4.emplace_back(ip->IpAddress.String);
      list.push_back(std::move(info));
    }
    out = std::move(list);
    return win::kSuccess;
  }

  Status adapters_addresses(std::vector<AdapterAddresses>& out) override {
    ULONG size = 0;
    ULONG rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);
    if (rc != ERROR_BUFFER_OVERFLOW) return rc == ERROR_SUCCESS ? win::kNoData : rc;
    std::vector<unsigned char> buf;
    for (int attempt = 0; attempt < 4; ++attempt) {
      buf.assign(size, 0);
      rc = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr,
                                reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
      if (rc != ERROR_BUFFER_OVERFLOW) break;
    }
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<AdapterAddresses> list;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a != nullptr; a = a->Next) {
      AdapterAddresses info;
      info.friendly_name = narrow_from_wide(a->FriendlyName, CP_ACP);
      info.adapter_name = a->AdapterName != nullptr ? a->AdapterName : "";
      info.description = narrow_from_wide(a->Description, CP_ACP);
      info.address.assign(reinterpret_cast<const char*>(a->PhysicalAddress),
                          std::min<ULONG>(a->PhysicalAddressLength, MAX_ADAPTER_ADDRESS_LENGTH));
      info.index = a->IfIndex;
      list.push_back(std::move(info));
    }
    out = std::move(list);
    return win::kSuccess;
  }

  Status startup() override {
    WSADATA data;
    return static_cast<Status>(WSAStartup(0x202, &data));
  }

  Status host_name(std::string& out) override {
    char buf[256] = {};
    if (gethostname(buf, sizeof(buf) - 1) == SOCKET_ERROR) return wsa_error();
    out = buf;
    return win::kSuccess;
  }

  Status resolve_ipv4(std::string_view name, std::vector<std::string>& out) override {
    hostent* h = gethostbyname(sz(name).c_str());
    if (h == nullptr) return wsa_error();
    std::vector<std::string> list;
    if (h->h_addrtype == AF_INET)
      for (char** p = h->h_addr_list; *p != nullptr; ++p) {
        in_addr a;
        std::memcpy(&a, *p, sizeof(a));
        list.emplace_back(inet_ntoa(a));
      }
    out = std::move(list);
    return win::kSuccess;
  }

  Status tcp_connect(std::string_view local, std::string_view server, uint16_t port) override {
    ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return wsa_error();
    if (!local.empty()) {
      sockaddr_in a = {};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = inet_addr(sz(local).c_str());
      a.sin_port = 0;
      bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a));  // result not used
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr(sz(server).c_str());
    to.sin_port = htons(port);
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == SOCKET_ERROR)
      return wsa_error();
    return win::kSuccess;
  }

  // On Windows the agent uses its compiled address.
  std::string metadata_address() override { return ""; }

 private:
  static Status wsa_error() {
    int e = WSAGetLastError();
    return e != 0 ? static_cast<Status>(e) : static_cast<Status>(WSAEINVAL);
  }
};

}  // namespace

std::unique_ptr<Network> make_network() {
  return std::make_unique<Win32Network>();
}

}  // namespace tarvik::win32
