// Finding adapters by MAC address, and the loopback adapter that holds address segments:
// its index and names, its installation with devcon and its restart.
#include <cstdint>

#include "config/config.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr int kMacAttempts = 360;
constexpr uint32_t kMacPauseMs = 1000;
constexpr int kLoopbackAttempts = 120;
constexpr uint32_t kLoopbackPauseMs = 3000;
constexpr size_t kTextLimit = 1023;  // connection names and descriptions

// What one pass over an adapter list gave.
enum class Pass { kFound, kNotFound, kReadFailed };

// Reads one adapter list for a pass (kFound: a list to walk). A list without adapters is a pass
// that found nothing, so a guest without any adapter gives up like one whose adapter is missing.
template <typename Entry>
Pass read_list(Status (Network::*read)(std::vector<Entry>&), std::vector<Entry>& list) {
  list.clear();
  Status s = (platform().network().*read)(list);
  if (s == win::kNoData) return Pass::kNotFound;
  return s == win::kSuccess ? Pass::kFound : Pass::kReadFailed;
}

// Runs pass until it finds or a read fails, at most attempts times, pause_ms apart;
// retry(n) is called after the n-th failed pass, before the next one. Gives the number
// of failed passes before the one that found, or -1.
template <typename PassFn, typename RetryFn>
int poll(int attempts, uint32_t pause_ms, PassFn pass, RetryFn retry) {
  for (int failed = 0;;) {
    Pass p = pass();
    if (p == Pass::kFound) return failed;
    if (p == Pass::kReadFailed || ++failed >= attempts) return -1;
    platform().clock().sleep_ms(pause_ms);
    retry(failed);
  }
}

std::string limited(const std::string& text) {
  return text.size() > kTextLimit ? text.substr(0, kTextLimit) : text;
}

}  // namespace

std::string devcon_command(const char* verb) {
  return strformat("%s\\devcon_%s.exe %s", utils::program_folder().c_str(),
                   utils::is_wow64() ? "x64" : "x86", verb);
}

std::string Config::mac_text(const std::string& address) {
  // The first six bytes, whatever the address length (absent bytes are zero).
  unsigned char b[6] = {};
  for (size_t i = 0; i < 6 && i < address.size(); ++i)
    b[i] = static_cast<unsigned char>(address[i]);
  return strformat("%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", b[0], b[1], b[2], b[3], b[4], b[5]);
}

bool Config::is_loopback_description(const std::string& description) {
  return contains_nocase(description, "loopback") && contains_nocase(description, "Microsoft") &&
         contains_nocase(description, "Adapter");
}

std::string Config::get_adapter_name(const std::string& mac) {
  utils::log("-->Config::get_adapter_name mac is %s", mac.c_str());
  std::string name;
  std::vector<AdapterAddresses> list;
  poll(
      kMacAttempts, kMacPauseMs,
      [&] {
        Pass p = read_list(&Network::adapters_addresses, list);
        if (p != Pass::kFound) return p;
        for (const AdapterAddresses& a : list)
          if (equals_nocase(mac_text(a.address), mac)) {
            name = limited(a.friendly_name);
            break;
          }
        return name.empty() ? Pass::kNotFound : Pass::kFound;
      },
      [](int n) { utils::log("get_adapter_name retry %d", n); });
  return name;
}

std::string Config::get_adapter_name_by_address(const std::string& address) {
  return get_adapter_name(mac_text(address));
}

int Config::get_adapter_index(const std::string& mac) {
  utils::log("-->Config::get_adapter_index mac is %s", mac.c_str());
  int index = -1;
  std::vector<AdapterInfo> list;
  poll(
      kMacAttempts, kMacPauseMs,
      [&] {
        Pass p = read_list(&Network::adapters_info, list);
        if (p != Pass::kFound) return p;
        for (const AdapterInfo& a : list)
          if (equals_nocase(mac_text(a.address), mac)) {
            index = static_cast<int>(a.index);
            return Pass::kFound;
          }
        return Pass::kNotFound;
      },
      [](int n) { utils::log("get_adapter_index retry %d", n); });
  return index;
}

int Config::get_msloop_index() {
  utils::log("-->Config::get_msloop_index");
  int index = 0;
  std::vector<AdapterInfo> list;
  int failed = poll(
      kLoopbackAttempts, kLoopbackPauseMs,
      [&] {
        Pass p = read_list(&Network::adapters_info, list);
        if (p != Pass::kFound) return p;
        for (const AdapterInfo& a : list)
          if (is_loopback_description(a.description)) {
            index = static_cast<int>(a.index);
            return Pass::kFound;
          }
        return Pass::kNotFound;
      },
      [](int) {});
  if (failed < 0) {
    utils::log("get_msloop_index err");
    return 0;
  }
  utils::log("get_msloop_index value:%d try:%d", index, failed);
  return index;
}

std::string Config::get_msloop_name(bool connection_name) {
  utils::log("-->Config::get_msloop_name");
  std::string found;
  bool read_failed = false;
  std::vector<AdapterAddresses> list;
  int failed = poll(
      kLoopbackAttempts, kLoopbackPauseMs,
      [&] {
        Pass p = read_list(&Network::adapters_addresses, list);
        if (p == Pass::kReadFailed) read_failed = true;
        if (p != Pass::kFound) return p;
        for (const AdapterAddresses& a : list) {
          if (!is_loopback_description(limited(a.description))) continue;
          // An adapter without a name or identifier is not one the caller can use: an
          // empty identifier would make its registry key the Interfaces key itself.
          std::string value = connection_name ? limited(a.friendly_name) : a.adapter_name;
          if (value.empty()) continue;
          found = value;
          return Pass::kFound;
        }
        return Pass::kNotFound;
      },
      [](int) {});
  if (read_failed) {
    utils::log("GetAdaptersAddresses err");
    return "";
  }
  if (failed < 0) {
    utils::log("get_msloop_name err");
    return "";
  }
  utils::log("get_msloop_name ok");
  return found;
}

int Config::check_msloop() {
  utils::log("-->Config::check_msloop");
  if (get_msloop_index() != 0) {
    utils::log("msloop already exist");
    return 0;
  }
  std::string cmd = devcon_command("install c:\\windows\\inf\\netloop.inf *MSLOOP");
  std::string out;
  int code = utils::run_cmd(cmd, out);
  utils::log("inst_msloop cmd :%s,code:%d,result:%s", cmd.c_str(), code, out.c_str());
  return code;
}

int Config::reset_msloop() {
  utils::log("-->Config::reset_msloop");
  std::string cmd = devcon_command("disable *MSLOOP");
  std::string out;
  utils::run_cmd(cmd, out);
  utils::log("remove_msloop cmd :%s result:%s", cmd.c_str(), out.c_str());
  platform().clock().sleep_ms(1000);
  cmd = devcon_command("enable *MSLOOP");
  out.clear();
  int code = utils::run_cmd(cmd, out);
  utils::log("remove_msloop cmd :%s result:%s", cmd.c_str(), out.c_str());
  return code;
}

}  // namespace tarvik
