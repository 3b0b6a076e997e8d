// The operations "ip", "ip_segment", "route" and "dns": netsh and route command lines,
// in the Windows Server 2003 form (adapter by connection name) or the later one
// (adapter by interface index, weak-host send and receive for addresses).
#include <cstdint>
#include <cstdlib>

#include "config/config.h"
#include "config/retry.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr size_t kCommandLimit = 1023;  // a command line's buffer holds 1024 bytes
constexpr uint32_t kAttemptPauseMs = 5000;
constexpr size_t kIpAddressBlock = 20;  // the IPAddress value of the single-address road

// Formats a command line; false when it would not fit its buffer. A line is never cut:
// a shortened line would be a different command.
bool command_line(std::string& out, const char* fmt, ...) TARVIK_PRINTF(2, 3);
bool command_line(std::string& out, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  out = vstrformat(fmt, args);
  va_end(args);
  return out.size() <= kCommandLimit;
}

bool release_2003() {
  std::string tag, arch;
  utils::osinfo(tag, arch);
  return contains_nocase(tag, "2003");
}

// Runs one command; out gets its output (empty when it could not start).
int run(const std::string& cmd, std::string& out) {
  out.clear();
  return utils::run_cmd(cmd, out);
}

void log_cmd(const std::string& cmd, int code, const std::string& out) {
  utils::log("cmd:%s  code:%d  out:%s", cmd.c_str(), code, out.c_str());
}

// A prefix length as the C runtime reads the number; false for one outside 0 to 32,
// which a mask taken modulo 32 would silently turn into another (33 into /1: a segment
// of two billion addresses).
bool prefix_of(const char* text, int& prefix) {
  prefix = decimal_int(text);
  return prefix >= 0 && prefix <= 32;
}

// A dotted IPv4 address as a host-order number; false unless it is four decimal parts
// of 0 to 255.
bool parse_ipv4(const std::string& text, uint32_t& out) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (pos >= text.size() || text[pos++] != '.')) return false;
    size_t digits = 0;
    uint32_t n = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
      n = n * 10 + static_cast<uint32_t>(text[pos++] - '0');
      ++digits;
    }
    if (digits == 0 || n > 255) return false;
    value = value << 8 | n;
  }
  if (pos != text.size()) return false;
  out = value;
  return true;
}

std::string dotted(uint32_t v) {
  return strformat("%u.%u.%u.%u", v >> 24, v >> 16 & 0xFF, v >> 8 & 0xFF, v & 0xFF);
}

uint32_t host_mask(int prefix) {
  return 0xFFFFFFFFu >> (static_cast<unsigned>(prefix) & 31);
}

}  // namespace

std::string Config::prefix_to_mask(int prefix) {
  if (prefix == 32) return "255.255.255.255";
  return dotted(~host_mask(prefix));
}

std::string Config::SegmentAddresses::operator[](uint32_t i) const {
  return single_ ? given_ : dotted(first_ + i);
}

bool Config::segment_addresses(const std::string& first, int prefix, SegmentAddresses& out) {
  out = SegmentAddresses();
  uint32_t h = host_mask(prefix);
  if (h == 0xFFFFFFFFu) {
    out.single_ = true;
    out.given_ = first;
    out.count_ = 1;
    return true;
  }
  uint32_t a = 0;
  if (!parse_ipv4(first, a)) return false;
  out.first_ = (a & ~h) + 1;
  out.count_ = h == 1 ? 0 : h - 1;  // all but the network and broadcast addresses
  return true;
}

// --- ip

int Config::config_ip(int count, char** words) {
  utils::log("-->Config::config_ip");
  return release_2003() ? config_ip_by_name(count, words) : config_ip_by_index(count, words);
}

int Config::config_ip_by_name(int, char** words) {
  std::string name = get_adapter_name(words[1]);
  if (name.empty()) {
    utils::exit_report(-1, "do not find the adapter name");
    return -1;
  }
  std::string cmd;
  if (!command_line(cmd, "netsh interface ip add address \"%s\" %s %s %s 1", name.c_str(), words[3],
                    words[4], words[5]))
    return Config::invalid_argument();
  std::string out;
  int code = config::retry(3, kAttemptPauseMs, [&] {
    int c = run(cmd, out);
    log_cmd(cmd, c, out);
    return c;
  });
  if (code != 0) {
    utils::exit_report(-1, "fail config ip %s", out.c_str());
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

int Config::config_ip_by_index(int, char** words) {
  int index = get_adapter_index(words[1]);
  if (index == -1) {
    utils::log("TARVIK_REPORT_ERROR:%s %s", "get_adapter_index_error", words[1]);
    utils::exit_report(-1, "do not find the adapter index");
    return -1;
  }
  std::string cmds[3];
  if (!command_line(cmds[0], "netsh interface ip add address %d  %s %s %s", index, words[3],
                    words[4], words[5]) ||
      !command_line(cmds[1], "netsh interface ipv4 set interface %d weakhostreceive=enabled",
                    index) ||
      !command_line(cmds[2], "netsh interface ipv4 set interface %d weakhostsend=enabled", index))
    return Config::invalid_argument();
  std::string out;
  int code = config::retry(3, kAttemptPauseMs, [&] {
    int combined = 0;
    for (const std::string& cmd : cmds) {
      combined |= run(cmd, out);
      log_cmd(cmd, combined, out);
    }
    return combined;
  });
  if (code != 0) {
    utils::log("TARVIK_REPORT_ERROR:%s %s", "config_ip_error", out.c_str());
    utils::exit_report(-1, "fail config ip %s", out.c_str());
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

// --- ip_segment

int Config::config_ip_segment(int, char** words) {
  int prefix = 0;
  if (!prefix_of(words[4], prefix)) return Config::invalid_argument();
  SegmentAddresses list;
  // The list is worked out before anything changes: a first address that is not one
  // would otherwise put a whole segment of made-up addresses on the adapter.
  if (!segment_addresses(words[3], prefix, list)) return Config::invalid_argument();
  int code = check_msloop();
  if (code != 0) {
    utils::exit_report(-1, "check_msloop err code :%d", code);
    return -1;
  }
  return release_2003() ? config_ip_segment03(list, prefix) : config_ip_segment12(list, prefix);
}

// The segment handlers report their failures with -1, the code they return.
int Config::config_ip_segment03(const SegmentAddresses& list, int prefix) {
  utils::log("-->Config::config_ip_segment03");
  std::string name = get_msloop_name(true);
  if (name.empty()) {
    utils::exit_report(-1, "get_msloop_name err");
    return -1;
  }
  std::string mask = prefix_to_mask(prefix);
  if (prefix != 32 || list.size() != 1) {
    std::string cmd, out;
    for (uint32_t i = 0; i < list.size(); ++i) {
      if (!command_line(cmd, "netsh interface ip add address \"%s\" %s %s %s 1", name.c_str(),
                        list[i].c_str(), mask.c_str(), ""))
        return Config::invalid_argument();
      int code = run(cmd, out);
      if (code != 0) log_cmd(cmd, code, out);
    }
    utils::exit_report(0, "success");
    return 0;
  }

  // One address with prefix 32: written into the adapter's TCP/IP settings.
  const std::string address = list[0];
  if (address.size() + 2 > kIpAddressBlock) return Config::invalid_argument();
  std::string id = get_msloop_name(false);
  if (id.empty()) {
    utils::exit_report(-1, "get_msloop_name err");
    return -1;
  }
  RegKey key;
  if (platform().registry().open(
          strformat("SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\%s",
                    id.c_str()),
          reg::kKeyAllAccess, key) != win::kSuccess) {
    utils::exit_report(-1, "RegOpenKey err");
    return -1;
  }
  key.set("SubnetMask", RegValue{reg::kMultiSz, std::string("255.255.255.255\0\0", 17)});
  std::string block = address;
  block.resize(kIpAddressBlock, '\0');
  key.set("IPAddress", RegValue{reg::kMultiSz, block});
  key.close();
  if (reset_msloop() != 0) {
    utils::exit_report(-1, "reset_msloop err");
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

int Config::config_ip_segment12(const SegmentAddresses& list, int prefix) {
  utils::log("-->Config::config_ip_segment12");
  int index = get_msloop_index();
  if (index == 0) {
    utils::exit_report(-1, "get_msloop_index err");
    return -1;
  }
  std::string mask = prefix_to_mask(prefix);
  std::string cmd, out;
  for (uint32_t i = 0; i < list.size(); ++i) {
    if (!command_line(cmd, "netsh interface ip add address %d  %s %s %s", index, list[i].c_str(),
                      mask.c_str(), ""))
      return Config::invalid_argument();
    int code = run(cmd, out);
    if (code != 0) log_cmd(cmd, code, out);
  }
  for (const char* fmt : {"netsh interface ipv4 set interface %d weakhostreceive=enabled",
                          "netsh interface ipv4 set interface %d weakhostsend=enabled"}) {
    cmd = strformat(fmt, index);
    int code = run(cmd, out);
    if (code != 0) log_cmd(cmd, code, out);
  }
  utils::exit_report(0, "success");
  return 0;
}

// --- route

int Config::config_route(int, char** words) {
  utils::log("-->Config::config_route");
  int prefix = 0;
  if (!prefix_of(words[2], prefix)) return Config::invalid_argument();
  std::string mask = prefix_to_mask(prefix);
  std::string del, add;
  if (!command_line(del, "Route delete -p %s", words[1]) ||
      !command_line(add, "Route add -p %s mask %s %s", words[1], mask.c_str(), words[3]))
    return Config::invalid_argument();
  std::string out;
  // The delete only clears an older route to the same destination; on a guest without
  // one it fails, so the attempt's outcome is the add's.
  int code = config::retry(3, kAttemptPauseMs, [&] {
    int c = run(del, out);
    log_cmd(del, c, out);
    c = run(add, out);
    log_cmd(add, c, out);
    return c;
  });
  if (code != 0) {
    utils::log("TARVIK_REPORT_ERROR:%s code=%d %s", "config_route_error", code, out.c_str());
    utils::exit_report(-1, "fail config ip %s", out.c_str());
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

// --- dns

int Config::config_dns(int count, char** words) {
  return release_2003() ? config_dns_by_name(count, words) : config_dns_by_index(count, words);
}

namespace {

// The two DNS commands, attempts times; reports and gives the handler's result.
int set_dns(const std::string& set, const std::string& add, int attempts) {
  std::string out;
  int code = config::retry(attempts, kAttemptPauseMs, [&] {
    int c = run(set, out);
    log_cmd(set, c, out);
    int d = run(add, out);
    log_cmd(add, d, out);
    return c | d;
  });
  if (code != 0) {
    utils::log("TARVIK_REPORT_ERROR:%s code=%d %s", "config_dns_error", code, out.c_str());
    utils::exit_report(-1, "fail config dns");
    return -1;
  }
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace

int Config::config_dns_by_name(int, char** words) {
  std::string name = get_adapter_name(words[1]);
  if (name.empty()) {
    utils::exit_report(-1, "not find the adapter name");
    return -1;
  }
  std::string set, add;
  if (!command_line(set, "netsh interface ip set dns \"%s\" static %s primary", name.c_str(),
                    words[2]) ||
      !command_line(add, "netsh interface ip add dns \"%s\" %s index=2", name.c_str(), words[3]))
    return Config::invalid_argument();
  return set_dns(set, add, 3);
}

int Config::config_dns_by_index(int, char** words) {
  int index = get_adapter_index(words[1]);
  if (index == -1) {
    utils::exit_report(-1, "not find the adapter");
    return -1;
  }
  std::string set, add;
  if (!command_line(set, "netsh interface ip set dns %d static %s primary", index, words[2]) ||
      !command_line(add, "netsh interface ip add dns %d %s index=2", index, words[3]))
    return Config::invalid_argument();
  return set_dns(set, add, 2);
}

}  // namespace tarvik
