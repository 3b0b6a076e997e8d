#include "agent.h"

#include "check.h"
#include "platform/port.h"
#include "platform/sim/services.h"
#include "support/delegating_platform.h"

namespace tarvik::fuzz {

namespace {

std::vector<std::string>& started() {
  static std::vector<std::string> lines;
  return lines;
}

// Process starts, each command line kept and answered at once with exit code 0 and no
// output: the guest's own runner would write its records to disk at every start.
class RecordingProcesses final : public Processes {
 public:
  Status run(std::string_view cmdline, uint32_t, uint32_t& exit_code, std::string&) override {
    return record(cmdline, exit_code);
  }
  Status run_with_input(std::string_view cmdline, std::string_view, uint32_t, uint32_t,
                        std::string&) override {
    uint32_t code = 0;
    return record(cmdline, code);
  }
  Status start_detached(std::string_view cmdline, std::string_view, uint32_t,
                        uint32_t& exit_code) override {
    return record(cmdline, exit_code);
  }
  Status run_no_capture(std::string_view cmdline, uint32_t, uint32_t& exit_code) override {
    return record(cmdline, exit_code);
  }
  Status start_on_desktop(std::string_view cmdline, std::string_view) override {
    uint32_t code = 0;
    return record(cmdline, code);
  }
  void enable_wow64_fs_redirection(bool) override {}

 private:
  static Status record(std::string_view cmdline, uint32_t& exit_code) {
    started().emplace_back(cmdline);
    exit_code = 0;
    return win::kSuccess;
  }
};

class RecordingPlatform final : public test::DelegatingPlatform {
 public:
  explicit RecordingPlatform(std::unique_ptr<Platform> inner)
      : DelegatingPlatform(std::move(inner)) {}
  Processes& processes() override { return processes_; }

 private:
  RecordingProcesses processes_;
};

}  // namespace

std::string install_agent_guest() {
  std::string root = make_guest("[clock]\nmode=virtual\n[service.W32Time]\npresent=1\n", "");
  std::string error;
  auto p = sim::make_platform(root, error);
  if (!p) {
    std::fprintf(stderr, "fuzz guest: %s\n", error.c_str());
    std::abort();
  }
  install_platform(std::make_unique<RecordingPlatform>(std::move(p)));
  return root;
}

std::vector<std::string> started_commands() {
  std::vector<std::string> lines;
  lines.swap(started());
  return lines;
}

}  // namespace tarvik::fuzz
