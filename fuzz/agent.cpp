#include "agent.h"

#include "check.h"
#include "platform/port.h"
#include "platform/sim/services.h"

namespace tarvik::fuzz {

std::string install_agent_guest() {
  std::string root =
      make_guest("[clock]\nmode=virtual\n", "[rule.all]\nmatch=*\nexit=0\noutput=\n");
  std::string error;
  auto p = sim::make_platform(root, error);
  if (!p) {
    std::fprintf(stderr, "fuzz guest: %s\n", error.c_str());
    std::abort();
  }
  install_platform(std::move(p));
  return root;
}

}  // namespace tarvik::fuzz
