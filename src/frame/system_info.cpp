// Small facts of the running system.
#include <algorithm>
#include <cctype>

#include "frame/utils.h"

namespace tarvik {

namespace {

std::string signature(const CpuidRegs& r) {
  std::string s;
  for (uint32_t word : {r.ebx, r.ecx, r.edx})
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((word >> (8 * i)) & 0xFF));
  return s.substr(0, s.find('\0'));
}

bool names_known_hypervisor(const std::string& sig) {
  return sig.find("KVM") != std::string::npos || sig.find("Xen") != std::string::npos;
}

}  // namespace

bool utils::is_wow64() {
  return platform().system().is_wow64();
}

char utils::system_drive() {
  std::string dir = platform().system().system_directory();
  return dir.empty() ? 0 : dir[0];
}

std::string& utils::hypervisor_vendor(std::string& out) {
  System& sys = platform().system();
  CpuidRegs first = sys.cpuid(0x40000000);
  out = signature(first);
  if (names_known_hypervisor(out)) return out;
  // Some hypervisors present another's interface at the first leaf and their own at a
  // higher base, 0x100 apart. The bases lie below 0x40010000; probing on up to
  // max + 0x40000000 would run sixteen million CPUID exits for nothing.
  const std::string base = out;
  uint32_t last = std::min<uint32_t>(first.eax + 0x40000000u, 0x4000FF00u);
  for (uint32_t leaf = 0x40000100u; leaf <= last; leaf += 0x100) {
    std::string sig = signature(sys.cpuid(leaf));
    if (names_known_hypervisor(sig)) {
      out = sig;
      return out;
    }
  }
  out = base;
  return out;
}

bool utils::enable_privilege(const std::string& name) {
  return platform().system().enable_privilege(name) == win::kSuccess;
}

}  // namespace tarvik
