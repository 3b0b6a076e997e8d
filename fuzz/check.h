// What every fuzz target shares: a property check that stops the run with the failed
// condition, and a way to cut one input into parts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// A property that must hold for every input; prints where it failed and aborts, which
// libFuzzer (and the replay) reports as a crash with the input kept.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace tarvik::fuzz {

inline std::string_view input(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The input cut at each NUL byte: the parts a target needs (missing ones are empty), the
// last part taking the rest.
inline std::vector<std::string> parts(std::string_view in, size_t count) {
  std::vector<std::string> out;
  while (out.size() + 1 < count) {
    size_t nul = in.find('\0');
    if (nul == std::string_view::npos) break;
    out.emplace_back(in.substr(0, nul));
    in.remove_prefix(nul + 1);
  }
  out.emplace_back(in);
  out.resize(count);
  return out;
}

// A new simulated guest folder for targets that need one (removed at exit): machine.ini
// and sim/tools.ini as given, drive c with its Windows folder.
std::string make_guest(const std::string& machine_ini, const std::string& tools_ini);

}  // namespace tarvik::fuzz
