// The profile (INI) functions: a key written with WritePrivateProfileString semantics is
// read back as written, a deleted one is gone, and other keys keep their values. The
// text as the assistant's config.ini: the installer that first boot starts is one word,
// the version folder's only when the version is numbers parted by dots.
#include "platform/sim/profile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "agent.h"
#include "check.h"
#include "firstboot/tarvik2.h"
#include "platform/sim/command_line.h"
#include "platform/sim/ini.h"

using namespace tarvik;

namespace {

std::string config_ini;

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

// Whether rest (what follows "assist\" in the installer's path) names the installer of
// no version folder or of one made of numbers parted by single dots.
bool installer_of_a_version(const std::string& rest) {
  const std::string bat = "\\install.bat";
  if (rest.size() < bat.size() || rest.compare(rest.size() - bat.size(), bat.size(), bat) != 0)
    return false;
  std::string folder = rest.substr(0, rest.size() - bat.size());
  if (folder.empty()) return true;
  if (folder.front() == '.' || folder.back() == '.' || folder.find("..") != std::string::npos)
    return false;
  return folder.find_first_not_of("0123456789.") == std::string::npos;
}

// Starts the assistant's installer as first boot does, with text as its config.ini.
void check_installer(const std::string& text) {
  // A new file each time: rewriting one in place makes the file system flush it.
  std::remove(config_ini.c_str());
  std::ofstream(config_ini, std::ios::binary) << text;
  fuzz::started_commands();
  launch_assist();
  std::vector<std::string> started = fuzz::started_commands();
  FUZZ_CHECK(started.size() == 1);
  std::vector<std::string> words = sim::split_command_line(started[0]);
  const std::string prefix = "C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\";
  FUZZ_CHECK(words.size() == 1 && words[0] == started[0]);
  FUZZ_CHECK(words[0].compare(0, prefix.size(), prefix) == 0);
  FUZZ_CHECK(installer_of_a_version(words[0].substr(prefix.size())));
  // The version folder is the one config.ini names, and one that is a version is kept.
  std::string version;
  sim::profile_lookup(text, "assist", "version", "", version, 100);
  bool usable = !version.empty() && installer_of_a_version(version + "\\install.bat");
  FUZZ_CHECK(words[0] == prefix + (usable ? version : "") + "\\install.bat");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string root = fuzz::install_agent_guest();
  std::filesystem::create_directories(root + "/c/ProgramData/kovenu/assist");
  config_ini = root + "/c/ProgramData/kovenu/assist/config.ini";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto p = fuzz::parts(fuzz::input(data, size), 5);
  std::string text = p[4];
  const std::string &section = p[0], &key = p[1], &value = p[2], &other = p[3];
  check_installer(text);

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
  check_installer(written);  // a version of the fuzzer's choosing when the key is assist's
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
