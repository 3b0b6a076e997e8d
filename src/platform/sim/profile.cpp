#include "platform/sim/profile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/sim/effects.h"
#include "platform/sim/ini.h"

namespace tarvik::sim {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string strip_blanks(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && (is_blank(s[e - 1]) || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

// One line of a profile file as the functions understand it.
struct Line {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  std::string name;   // section or key name
  std::string value;  // keys: the raw text after '='
};

Line classify(std::string_view raw) {
  Line l;
  std::string t = strip_blanks(raw);
  if (t.empty() || t[0] == ';') return l;
  if (t[0] == '[') {
    size_t close = t.find(']');
    l.kind = Line::kSection;
    l.name = strip_blanks(
        std::string_view(t).substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return l;
  }
  size_t eq = t.find('=');
  l.kind = Line::kKey;
  l.name = strip_blanks(std::string_view(t).substr(0, eq));
  if (eq != std::string::npos) l.value = t.substr(eq + 1);
  return l;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string line(text.substr(pos, end - pos));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

// Index of the first header of section, or -1.
int find_section(const std::vector<std::string>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    Line l = classify(lines[i]);
    if (l.kind == Line::kSection && equals_nocase(l.name, section)) return static_cast<int>(i);
  }
  return -1;
}

// One past the last line of the section whose header is at index head.
size_t section_end(const std::vector<std::string>& lines, size_t head) {
  size_t i = head + 1;
  while (i < lines.size() && classify(lines[i]).kind != Line::kSection) ++i;
  return i;
}

// A value as read: surrounding blanks gone, then one pair of enclosing quotes.
std::string read_value(std::string_view raw) {
  std::string v = strip_blanks(raw);
  if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0])
    v = v.substr(1, v.size() - 2);
  return v;
}

uint32_t cut_list(const std::string& full, std::string& out, uint32_t size) {
  if (full.size() + 1 <= size) {
    out = full;
    return static_cast<uint32_t>(full.size());
  }
  // The system keeps size - 2 characters and ends the buffer with two NULs.
  uint32_t keep = size >= 2 ? size - 2 : 0;
  out = full.substr(0, keep);
  return keep;
}

}  // namespace

uint32_t profile_lookup(std::string_view text, const char* section, const char* key,
                        const char* def, std::string& out, uint32_t size, bool* found_key) {
  out.clear();
  if (size == 0) return 0;
  std::vector<std::string> lines = split_lines(text);
  if (!section) {
    std::string full;
    for (const auto& raw : lines) {
      Line l = classify(raw);
      if (l.kind == Line::kSection) full += l.name + '\0';
    }
    return cut_list(full, out, size);
  }
  int head = find_section(lines, section);
  if (!key) {
    std::string full;
    if (head >= 0)
      for (size_t i = head + 1, end = section_end(lines, head); i < end; ++i) {
        Line l = classify(lines[i]);
        if (l.kind == Line::kKey) full += l.name + '\0';
      }
    return cut_list(full, out, size);
  }
  std::string value;
  bool found = false;
  if (head >= 0)
    for (size_t i = head + 1, end = section_end(lines, head); i < end && !found; ++i) {
      Line l = classify(lines[i]);
      if (l.kind == Line::kKey && equals_nocase(l.name, key)) {
        value = read_value(l.value);
        found = true;
      }
    }
  if (found_key) *found_key = found;
  if (!found) {
    // The default loses its trailing blanks, as the system cuts them.
    value = def ? def : "";
    while (!value.empty() && is_blank(value.back())) value.pop_back();
  }
  size_t n = std::min<size_t>(value.size(), size - 1);
  out = value.substr(0, n);
  return static_cast<uint32_t>(n);
}

bool profile_update(std::string& text, const char* section, const char* key, const char* value) {
  if (!section) return false;
  std::vector<std::string> lines = split_lines(text);
  int head = find_section(lines, section);
  if (!key) {
    if (head < 0) return false;
    lines.erase(lines.begin() + head, lines.begin() + section_end(lines, head));
  } else if (head < 0) {
    if (!value) return false;
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(std::string(key) + "=" + value);
  } else {
    size_t end = section_end(lines, head);
    size_t at = end;
    for (size_t i = head + 1; i < end; ++i) {
      Line l = classify(lines[i]);
      if (l.kind == Line::kKey && equals_nocase(l.name, key)) {
        at = i;
        break;
      }
    }
    if (at < end) {
      if (value)
        lines[at] = classify(lines[at]).name + "=" + value;
      else
        lines.erase(lines.begin() + at);
    } else {
      if (!value) return false;
      // After the section's last non-blank line, before the blank lines that part it
      // from the next section.
      size_t ins = end;
      while (ins > static_cast<size_t>(head) + 1 && strip_blanks(lines[ins - 1]).empty()) --ins;
      lines.insert(lines.begin() + ins, std::string(key) + "=" + value);
    }
  }
  std::string r;
  for (const auto& l : lines) r += l + "\r\n";
  text = std::move(r);
  return true;
}

Status profile_write_file(const Machine& m, const std::string& host_path, const char* section,
                          const char* key, const char* value) {
  if (!section) return win::kInvalidParameter;
  // The lock is named after the file, so writers of different files do not wait.
  uint32_t h = 2166136261u;
  for (unsigned char c : to_lower(host_path)) h = (h ^ c) * 16777619u;
  char lock_name[32];
  std::snprintf(lock_name, sizeof lock_name, "profile-%08x", h);
  FileLock lock(m, lock_name);

  struct stat st;
  bool present = ::stat(host_path.c_str(), &st) == 0;
  if (!present && errno != ENOENT) return win_error_from_errno(errno, host_path);
  if (present && (S_ISDIR(st.st_mode) || !(st.st_mode & S_IWUSR))) return win::kAccessDenied;
  std::string text;
  if (present && !read_host_file(host_path, text)) return win::kAccessDenied;
  if (!profile_update(text, section, key, value)) {
    if (present) return win::kSuccess;
    // Nothing to delete in a file that is not there; still the folder must exist.
    size_t slash = host_path.rfind('/');
    struct stat dir;
    return ::stat(host_path.substr(0, slash).c_str(), &dir) == 0 ? win::kSuccess
                                                                 : win::kPathNotFound;
  }
  durable_effect(m);
  if (!write_host_file_atomic(host_path, text)) {
    int err = errno;
    return win_error_from_errno(err ? err : EACCES, host_path);
  }
  return win::kSuccess;
}

}  // namespace tarvik::sim
