// Prints the hypervisor signature tarvik.exe reads on this host, through the Win32 backend's
// CPUID and the agent's own search of the hypervisor leaves. Under Wine the agent sees the
// host's hypervisor, so the Wine suites ask this program which road the agent must take.
#include <cstdio>
#include <string>

#include "frame/utils.h"
#include "platform/win32/platform.h"

int main() {
  tarvik::install_platform(tarvik::win32::make_platform());
  std::string signature;
  std::printf("%s\n", tarvik::utils::hypervisor_vendor(signature).c_str());
  return 0;
}
