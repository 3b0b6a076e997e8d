// The durable-effect counter and the planned power cut of the simulated machine.
//
// sim/effects.state holds the count since the last boot (tarvik-sim reboot and boot
// remove it), sim/power.lost the effect at which the power was lost in this boot, and
// sim/ramdisk the medium's X: drive as it was at the boot's first effect.
#include "platform/sim/effects.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik::sim {

namespace {

namespace fs = std::filesystem;

bool g_counting = false;
std::mutex g_children_mu;
std::vector<pid_t> g_children;

uint64_t read_number(const std::string& path) {
  std::string text;
  if (!read_host_file(path, text)) return 0;
  return std::strtoull(text.c_str(), nullptr, 10);
}

uint64_t planned_cut(const Machine& m) {
  std::string k = trim(m.get("fault", "crash_at", ""));
  return k.empty() ? 0 : std::strtoull(k.c_str(), nullptr, 10);
}

// machine.ini without the crash_at line of [fault]: the fault has fired.
void remove_fault(const Machine& m) {
  std::string path = m.root() + "/machine.ini", text, out;
  if (!read_host_file(path, text)) return;
  std::string section;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    std::string_view line(text.data() + at, end - at);
    std::string t = trim(line);
    at = end;
    if (!t.empty() && t.front() == '[' && t.back() == ']') {
      section = trim(std::string_view(t).substr(1, t.size() - 2));
    } else if (equals_nocase(section, "fault") && t.find('=') != std::string::npos &&
               equals_nocase(trim(std::string_view(t).substr(0, t.find('='))), "crash_at")) {
      continue;
    }
    out.append(line);
  }
  write_host_file_atomic(path, out);
}

// The medium is a RAM disk: what was written to it since the boot is gone.
void restore_medium(const Machine& m) {
  fs::path x = fs::path(m.root()) / "x", copy = m.sim_file("ramdisk");
  std::error_code ec;
  if (!fs::is_directory(copy, ec)) return;
  fs::remove_all(x, ec);
  fs::copy(copy, x, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
}

// The medium's X: drive at the boot's first effect, before anything of the agent's.
void remember_medium(const Machine& m) {
  fs::path x = fs::path(m.root()) / "x", copy = m.sim_file("ramdisk");
  std::error_code ec;
  fs::remove_all(copy, ec);
  if (m.system_drive() == 'x' && fs::is_directory(x, ec))
    fs::copy(x, copy, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
}

[[noreturn]] void lose_power(const Machine& m, uint64_t k) {
  {
    std::lock_guard<std::mutex> lock(g_children_mu);
    for (pid_t pid : g_children) {
      // Still ours and not reaped: the pid cannot belong to another process.
      if (::waitpid(pid, nullptr, WNOHANG) != 0) continue;
      ::kill(-pid, SIGKILL);  // its process group, where it leads one
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  remove_fault(m);
  write_host_file_atomic(m.sim_file("power.lost"), std::to_string(k) + "\n");
  if (m.system_drive() == 'x') restore_medium(m);
  std::string note = "tarvik: power lost at effect " + std::to_string(k) + "\n";
  ssize_t ignored = ::write(2, note.data(), note.size());
  (void)ignored;
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

}  // namespace

void count_durable_effects() {
  g_counting = true;
}

void durable_effect(const Machine& m) {
  if (!g_counting) return;
  FileLock lock(m, "effects");
  std::string path = m.sim_file("effects.state");
  uint64_t n = read_number(path);
  if (n == 0) remember_medium(m);
  ++n;
  if (n == planned_cut(m)) lose_power(m, n);
  write_host_file_atomic(path, std::to_string(n) + "\n");
}

void note_child_started(pid_t pid) {
  if (!g_counting) return;
  std::lock_guard<std::mutex> lock(g_children_mu);
  g_children.push_back(pid);
}

uint64_t effects_since_boot(const Machine& m) {
  return read_number(m.sim_file("effects.state"));
}

uint64_t power_lost_at(const Machine& m) {
  return read_number(m.sim_file("power.lost"));
}

}  // namespace tarvik::sim
