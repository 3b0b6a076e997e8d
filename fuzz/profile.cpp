// The profile (INI) functions: a key written with WritePrivateProfileString semantics is
// read back as written, a deleted one is gone, and other keys keep their values.
#include "platform/sim/profile.h"

#include "check.h"
#include "platform/sim/ini.h"

using namespace tarvik;

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t';
}

// A name the functions can store and find again: one line, no blanks at its ends.
bool storable(const std::string& s, const char* forbidden) {
  return !s.empty() && s.find_first_of(forbidden) == std::string::npos && !blank(s.front()) &&
         !blank(s.back());
}

std::string lookup(const std::string& text, const std::string& section, const std::string& key,
                   bool& found) {
  std::string out;
  sim::profile_lookup(text, section.c_str(), key.c_str(), "", out, 65535, &found);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto p = fuzz::parts(fuzz::input(data, size), 5);
  std::string text = p[4];
  const std::string &section = p[0], &key = p[1], &value = p[2], &other = p[3];

  // Reading never returns more than the buffer holds.
  std::string out;
  for (uint32_t cap : {0u, 1u, 2u, 7u}) {
    uint32_t n = sim::profile_lookup(text, nullptr, nullptr, "", out, cap);
    FUZZ_CHECK(n == out.size() && (cap == 0 ? n == 0 : n < cap));
    n = sim::profile_lookup(text, section.c_str(), key.c_str(), value.c_str(), out, cap);
    FUZZ_CHECK(n == out.size() && (cap == 0 ? n == 0 : n < cap));
  }

  if (!storable(section, "]\r\n") || section[0] == ';' || !storable(key, "=\r\n") ||
      key[0] == '[' || key[0] == ';' || value.find_first_of("\r\n") != std::string::npos ||
      (!value.empty() &&
       (blank(value.front()) || blank(value.back()) || value[0] == '"' || value[0] == '\'')))
    return 0;
  bool found = false;
  bool other_found = false;
  std::string other_before = lookup(text, section, other, other_found);
  bool keep_other = !equals_nocase(other, key) && storable(other, "=\r\n");

  std::string written = text;
  FUZZ_CHECK(sim::profile_update(written, section.c_str(), key.c_str(), value.c_str()));
  FUZZ_CHECK(lookup(written, section, key, found) == value && found);
  if (keep_other) {
    bool now_found = false;
    FUZZ_CHECK(lookup(written, section, other, now_found) == other_before &&
               now_found == other_found);
  }

  // Deleting it again takes the first key of that name: one is left only when the text
  // had one of its own (a second of the same name in the section).
  bool found_before = false;
  lookup(text, section, key, found_before);
  sim::profile_update(written, section.c_str(), key.c_str(), nullptr);
  lookup(written, section, key, found);
  FUZZ_CHECK(!found || found_before);
  return 0;
}
