#include "platform/sim/ini.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/port.h"

namespace tarvik::sim {

std::string to_lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

std::string to_upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

std::vector<std::string> split_list(std::string_view s) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t c = s.find(',', pos);
    std::string part = trim(s.substr(pos, c == std::string_view::npos ? s.size() - pos : c - pos));
    if (!part.empty()) out.push_back(part);
    if (c == std::string_view::npos) break;
    pos = c + 1;
  }
  return out;
}

const std::string* IniSection::find(std::string_view key) const {
  // A key given again overrides the earlier one.
  const std::string* found = nullptr;
  for (const auto& [k, v] : keys)
    if (equals_nocase(k, key)) found = &v;
  return found;
}

int IniSection::line_of(std::string_view key) const {
  int found = line;
  for (size_t i = 0; i < keys.size() && i < key_lines.size(); ++i)
    if (equals_nocase(keys[i].first, key)) found = key_lines[i];
  return found;
}

std::string IniSection::get(std::string_view key, std::string_view def) const {
  const std::string* v = find(key);
  return v ? *v : std::string(def);
}

const IniSection* IniFile::find(std::string_view section) const {
  for (const auto& s : sections)
    if (equals_nocase(s.name, section)) return &s;
  return nullptr;
}

std::string IniFile::get(std::string_view section, std::string_view key,
                         std::string_view def) const {
  const IniSection* s = find(section);
  return s ? s->get(key, def) : std::string(def);
}

namespace {
// Cuts a comment that starts with ';' or '#' after white space.
std::string_view strip_comment(std::string_view v) {
  for (size_t i = 1; i < v.size(); ++i)
    if ((v[i] == ';' || v[i] == '#') && (v[i - 1] == ' ' || v[i - 1] == '\t'))
      return v.substr(0, i);
  return v;
}
}  // namespace

bool parse_ini(std::string_view text, IniFile& out, std::string& error) {
  IniFile ini;
  int line_no = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view raw =
        text.substr(pos, nl == std::string_view::npos ? text.size() - pos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
    ++line_no;
    std::string line = trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string rest = close == std::string::npos ? "" : trim(line.substr(close + 1));
      if (close == std::string::npos || (!rest.empty() && rest[0] != ';' && rest[0] != '#')) {
        error = std::to_string(line_no) + ": malformed section header";
        return false;
      }
      std::string name = trim(line.substr(1, close - 1));
      if (name.empty()) {
        error = std::to_string(line_no) + ": empty section name";
        return false;
      }
      // A section given again continues the earlier one.
      auto same = std::find_if(ini.sections.begin(), ini.sections.end(),
                               [&](const IniSection& x) { return equals_nocase(x.name, name); });
      if (same != ini.sections.end()) {
        std::rotate(same, same + 1, ini.sections.end());
      } else {
        ini.sections.push_back({name, line_no, {}, {}});
      }
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = std::to_string(line_no) + ": expected key=value";
      return false;
    }
    if (ini.sections.empty()) {
      error = std::to_string(line_no) + ": key outside a section";
      return false;
    }
    std::string key = trim(line.substr(0, eq));
    std::string value = trim(strip_comment(std::string_view(line).substr(eq + 1)));
    ini.sections.back().keys.emplace_back(std::move(key), std::move(value));
    ini.sections.back().key_lines.push_back(line_no);
  }
  out = std::move(ini);
  return true;
}

std::string format_ini(const IniFile& ini) {
  std::string r;
  for (const auto& s : ini.sections) {
    r += "[" + s.name + "]\n";
    for (const auto& [k, v] : s.keys) r += k + "=" + v + "\n";
  }
  return r;
}

std::string rewrite_ini(std::string_view text, const IniFile& before, const IniFile& after) {
  // New lines end as the file's lines do.
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  std::map<int, std::string> values;  // line -> new value
  std::map<int, std::string> added;   // line -> key lines to add after it
  std::string tail;
  for (size_t i = 0; i < after.sections.size(); ++i) {
    const IniSection& s = after.sections[i];
    if (i >= before.sections.size()) {
      tail += "[" + s.name + "]" + eol;
      for (const auto& [k, v] : s.keys) tail += k + "=" + v + eol;
      continue;
    }
    const IniSection& old = before.sections[i];
    int last = old.line;
    for (int l : old.key_lines) last = std::max(last, l);
    for (size_t j = 0; j < s.keys.size(); ++j) {
      if (j < old.keys.size() && j < old.key_lines.size()) {
        if (s.keys[j].second != old.keys[j].second) values[old.key_lines[j]] = s.keys[j].second;
      } else {
        added[last] += s.keys[j].first + "=" + s.keys[j].second + eol;
      }
    }
  }
  std::string out;
  int line_no = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
    std::string_view raw = text.substr(pos, end - pos);
    pos = end;
    ++line_no;
    auto value = values.find(line_no);
    if (value == values.end()) {
      out += raw;
    } else {
      // key=VALUE[ comment][CR]LF: only VALUE changes.
      size_t cut = raw.find_last_not_of("\r\n");
      std::string_view body = raw.substr(0, cut + 1), ending = raw.substr(cut + 1);
      size_t eq = body.find('=');
      std::string_view rest = body.substr(eq + 1);
      std::string_view kept = strip_comment(rest);
      std::string_view comment = rest.substr(kept.size());
      size_t lead = rest.find_first_not_of(" \t");
      out += body.substr(0, eq + 1);
      if (lead != std::string_view::npos && lead < kept.size()) out += rest.substr(0, lead);
      out += value->second;
      if (!comment.empty()) {
        size_t value_end = kept.find_last_not_of(" \t");
        out += kept.substr(value_end == std::string_view::npos ? 0 : value_end + 1);
        out += comment;
      }
      out += ending;
    }
    auto more = added.find(line_no);
    if (more != added.end()) {
      if (!out.empty() && out.back() != '\n') out += eol;
      out += more->second;
    }
  }
  if (!tail.empty() && !out.empty() && out.back() != '\n') out += eol;
  out += tail;
  return out;
}

}  // namespace tarvik::sim
