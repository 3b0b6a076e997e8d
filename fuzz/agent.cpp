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

// The guest's process starts, each command line kept before the guest answers it.
class RecordingProcesses final : public Processes {
 public:
  explicit RecordingProcesses(Processes& inner) : inner_(inner) {}
  Status run(std::string_view cmdline, uint32_t limit, uint32_t& exit_code,
             std::string& output) override {
    started().emplace_back(cmdline);
    return inner_.run(cmdline, limit, exit_code, output);
  }
  Status run_with_input(std::string_view cmdline, std::string_view input, uint32_t wait_ms,
                        uint32_t limit, std::string& output) override {
    started().emplace_back(cmdline);
    return inner_.run_with_input(cmdline, input, wait_ms, limit, output);
  }
  Status start_detached(std::string_view cmdline, std::string_view output_file, uint32_t wait_ms,
                        uint32_t& exit_code) override {
    started().emplace_back(cmdline);
    return inner_.start_detached(cmdline, output_file, wait_ms, exit_code);
  }
  Status run_no_capture(std::string_view cmdline, uint32_t wait_ms, uint32_t& exit_code) override {
    started().emplace_back(cmdline);
    return inner_.run_no_capture(cmdline, wait_ms, exit_code);
  }
  Status start_on_desktop(std::string_view cmdline, std::string_view desktop) override {
    started().emplace_back(cmdline);
    return inner_.start_on_desktop(cmdline, desktop);
  }
  void enable_wow64_fs_redirection(bool enable) override {
    inner_.enable_wow64_fs_redirection(enable);
  }

 private:
  Processes& inner_;
};

class RecordingPlatform final : public test::DelegatingPlatform {
 public:
  explicit RecordingPlatform(std::unique_ptr<Platform> inner)
      : DelegatingPlatform(std::move(inner)), processes_(this->inner().processes()) {}
  Processes& processes() override { return processes_; }

 private:
  RecordingProcesses processes_;
};

}  // namespace

std::string install_agent_guest() {
  std::string root = make_guest("[clock]\nmode=virtual\n[service.W32Time]\npresent=1\n",
                                "[rule.all]\nmatch=*\nexit=0\noutput=\n");
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
