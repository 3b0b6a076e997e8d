// A small reader of the simulated machine's own INI files (machine.ini, tools.ini,
// mounts.ini, attributes.ini): sections and keys in file order, comments after ';' or '#'
// at the start of a line or after white space. Malformed lines are errors with a line
// number. (The agent's profile functions have Windows semantics and live in profile.cpp.)
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvik::sim {

struct IniSection {
  std::string name;
  int line = 0;
  std::vector<std::pair<std::string, std::string>> keys;
  std::vector<int> key_lines;  // the line of each key, where the section was parsed

  // The value of key (compared without regard to case), or nullptr.
  const std::string* find(std::string_view key) const;
  std::string get(std::string_view key, std::string_view def = {}) const;
  // The line of key's value in force (the section's line where it is unknown).
  int line_of(std::string_view key) const;
};

struct IniFile {
  std::vector<IniSection> sections;

  const IniSection* find(std::string_view section) const;
  std::string get(std::string_view section, std::string_view key, std::string_view def = {}) const;
};

// Parses text; on a malformed line returns false with error "LINE: what".
bool parse_ini(std::string_view text, IniFile& out, std::string& error);

// Writes sections and keys back as INI text.
std::string format_ini(const IniFile& ini);

// text (parsed as before) with the changes that turned before into after, and nothing
// else: a changed key's line gets the new value (its comment kept), new keys follow the
// last line of their section, new sections go at the end. Comments, blank lines and the
// lines of untouched keys stay byte for byte. after must be before with values changed
// and keys or sections appended.
std::string rewrite_ini(std::string_view text, const IniFile& before, const IniFile& after);

std::string to_lower(std::string_view s);
std::string to_upper(std::string_view s);
std::string trim(std::string_view s);
// The comma-separated items of a value, trimmed; empty items are left out.
std::vector<std::string> split_list(std::string_view s);

}  // namespace tarvik::sim
