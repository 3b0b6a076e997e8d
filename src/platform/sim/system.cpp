#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <random>

#include "platform/sim/services.h"
#include "platform/sim/text.h"

namespace tarvik::sim {
namespace {

// What the crash handler needs, prepared before any fault: a signal handler may only
// call async-signal-safe functions.
struct CrashTarget {
  char dump_path[4096];
  char events_path[4096];
  char event_line[8192];
};
CrashTarget g_crash;
bool g_crash_installed = false;

void write_all(int fd, const char* s) {
  size_t len = std::strlen(s);
  while (len > 0) {
    ssize_t n = ::write(fd, s, len);
    if (n <= 0) return;
    s += n;
    len -= static_cast<size_t>(n);
  }
}

void on_crash(int sig) {
  int fd = ::open(g_crash.dump_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    write_all(fd, "tarvik crash report\nsignal ");
    char num[16];
    int i = 15;
    num[i] = '\0';
    int v = sig;
    do {
      num[--i] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v > 0 && i > 0);
    write_all(fd, num + i);
    write_all(fd, "\n");
    ::close(fd);
    int ev = ::open(g_crash.events_path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (ev >= 0) {
      write_all(ev, g_crash.event_line);
      ::close(ev);
    }
  }
  ::_exit(128 + sig);
}

uint32_t sig_word(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    unsigned char c = at + i < s.size() ? static_cast<unsigned char>(s[at + i]) : 0;
    v |= static_cast<uint32_t>(c) << (8 * i);
  }
  return v;
}

class SimSystem final : public System {
 public:
  explicit SimSystem(const Machine& m) : m_(m) {}

  std::string system_directory() override {
    return std::string(1, static_cast<char>(std::toupper(m_.system_drive()))) +
           ":\\Windows\\system32";
  }
  Status user_name(std::string& out) override {
    out = m_.get("system", "user", "system");
    return win::kSuccess;
  }
  std::string program_path() override {
    return m_.get("system", "program", "C:\\ProgramData\\kovenu\\tarvik\\tarvik.exe");
  }
  bool is_wow64() override { return m_.wow64(); }

  Status enable_privilege(std::string_view name) override {
    // [system] denied_privileges lists privileges the account does not hold.
    std::string denied = "," + m_.get("system", "denied_privileges", "") + ",";
    bool ok = denied.find("," + std::string(name) + ",") == std::string::npos;
    m_.record_event("\"event\":\"privilege\",\"name\":\"" + json_escape(name) +
                    "\",\"ok\":" + (ok ? "true" : "false"));
    return ok ? win::kSuccess : win::kNotAllAssigned;
  }

  CpuidRegs cpuid(uint32_t leaf) override {
    CpuidRegs r;
    std::string sig;
    if (leaf == 0x40000000) {
      sig = m_.get("system", "hypervisor", "KVMKVMKVM");
      r.eax = static_cast<uint32_t>(
          std::strtoul(m_.get("system", "hypervisor_max", "0x40000001").c_str(), nullptr, 0));
    } else {
      char key[32];
      std::snprintf(key, sizeof key, "hypervisor.0x%08x", leaf);
      sig = m_.get("system", key, "");
    }
    r.ebx = sig_word(sig, 0);
    r.ecx = sig_word(sig, 4);
    r.edx = sig_word(sig, 8);
    return r;
  }

  Status total_memory(uint64_t& bytes) override {
    bytes = std::strtoull(m_.get("system", "memory_mb", "8192").c_str(), nullptr, 10) << 20;
    return win::kSuccess;
  }

  Status new_guid(Guid& out) override {
    if (m_.get("system", "guid_fails", "0") == "1") return 0x80004005;  // E_FAIL
    std::random_device rd;
    std::mt19937 gen(rd());
    out.data1 = gen();
    out.data2 = static_cast<uint16_t>(gen());
    out.data3 = static_cast<uint16_t>((gen() & 0x0FFF) | 0x4000);
    for (auto& b : out.data4) b = static_cast<uint8_t>(gen());
    out.data4[0] = static_cast<uint8_t>((out.data4[0] & 0x3F) | 0x80);
    return win::kSuccess;
  }

  void hide_console() override { m_.record_event("\"event\":\"console_hidden\""); }

  Status reboot(bool force) override {
    m_.record_event(std::string("\"event\":\"reboot\",\"force\":") + (force ? "true" : "false"));
    return win::kSuccess;
  }

  Status create_named_event(std::string_view name) override {
    m_.record_event("\"event\":\"named_event\",\"name\":\"" + json_escape(name) + "\"");
    return win::kSuccess;
  }

  Status define_dos_device(std::string_view name, std::string_view target) override {
    m_.record_event("\"event\":\"dos_device\",\"name\":\"" + json_escape(name) +
                    "\",\"target\":\"" + json_escape(target) + "\"");
    // Defined names last until the next reboot, as on Windows.
    std::string path = m_.sim_file("dosdevices.ini");
    FileLock lock(m_, "dosdevices");
    std::string text;
    read_host_file(path, text);
    if (text.empty()) text = "[dosdevices]\n";
    text += std::string(name) + "=" + std::string(target) + "\n";
    write_host_file_atomic(path, text);
    return win::kSuccess;
  }

  std::vector<std::string> logical_drives() override {
    std::vector<std::string> out;
    for (char c = 'a'; c <= 'z'; ++c) {
      std::string dir = m_.root() + "/" + c;
      if (DIR* d = ::opendir(dir.c_str())) {
        ::closedir(d);
        out.push_back(std::string(1, static_cast<char>(std::toupper(c))) + ":\\");
      }
    }
    return out;
  }

  uint32_t process_id() override { return static_cast<uint32_t>(::getpid()); }

  // Each call points the handler at this machine; the signal handlers go in once.
  void install_crash_handler() override {
    std::string dump = program_path() + ".dmp";
    std::string host;
    if (m_.host_path(dump, host) != win::kSuccess) host = m_.root() + "/tarvik.exe.dmp";
    std::snprintf(g_crash.dump_path, sizeof g_crash.dump_path, "%s", host.c_str());
    std::snprintf(g_crash.events_path, sizeof g_crash.events_path, "%s",
                  m_.sim_file("events.jsonl").c_str());
    std::snprintf(g_crash.event_line, sizeof g_crash.event_line,
                  "{\"event\":\"crash\",\"dump\":\"%s\",\"ms\":%llu}\n", json_escape(dump).c_str(),
                  static_cast<unsigned long long>(m_.now_ms()));
    if (g_crash_installed) return;
    struct sigaction sa {};
    sa.sa_handler = on_crash;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(sig, &sa, nullptr);
    g_crash_installed = true;
  }

  // Once the agent's handler is in, replacements are refused, as the patched system
  // call refuses them on Windows.
  bool replace_crash_handler() override { return !g_crash_installed; }

  std::u16string to_wide(std::string_view narrow) override {
    return narrow_to_wide(narrow, m_.codepage());
  }
  std::string from_wide(std::u16string_view wide) override {
    return wide_to_narrow(wide, m_.codepage());
  }
  std::string wide_to_utf8(std::u16string_view wide) override { return utf16_to_utf8(wide); }

  // Whitespace (blank, tab, CR, LF) is skipped anywhere; the rest must be whole groups of
  // four characters of the standard alphabet, "=" only as the padding of the last group.
  Status base64_decode(std::string_view text, std::string& out) override {
    std::string digits;
    for (char c : text)
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') digits += c;
    if (digits.size() % 4 != 0) return win::kInvalidData;
    std::string bytes;
    bytes.reserve(digits.size() / 4 * 3);  // grown in place: no copy is left behind
    for (size_t i = 0; i < digits.size(); i += 4) {
      uint32_t group = 0;
      int pad = 0;
      for (size_t j = 0; j < 4; ++j) {
        char c = digits[i + j];
        int v = -1;
        if (c >= 'A' && c <= 'Z')
          v = c - 'A';
        else if (c >= 'a' && c <= 'z')
          v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
          v = c - '0' + 52;
        else if (c == '+')
          v = 62;
        else if (c == '/')
          v = 63;
        else if (c == '=' && j >= 2 && i + 4 == digits.size())
          v = 0, ++pad;
        if (v < 0 || (pad && c != '=')) {
          wipe(bytes);
          return win::kInvalidData;
        }
        group = group << 6 | static_cast<uint32_t>(v);
      }
      for (int k = 0; k < 3 - pad; ++k) bytes += static_cast<char>(group >> (16 - 8 * k) & 0xFF);
    }
    out.assign(bytes);
    wipe(bytes);  // the decoded text is a password
    return 0;
  }

  void wipe(std::string& text) override {
    text.resize(text.capacity());
    explicit_bzero(text.data(), text.size());
    text.clear();
  }

 private:
  const Machine& m_;
};

}  // namespace

std::unique_ptr<System> make_system(const Machine& m) {
  return std::make_unique<SimSystem>(m);
}

}  // namespace tarvik::sim
