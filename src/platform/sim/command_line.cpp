#include "platform/sim/command_line.h"

namespace tarvik::sim {

namespace {

bool blank(char c) {
  return c == ' ' || c == '\t';
}

// The program word and where the arguments begin.
std::string program_part(std::string_view s, size_t& next) {
  size_t i = 0;
  while (i < s.size() && blank(s[i])) ++i;
  std::string word;
  if (i < s.size() && s[i] == '"') {
    size_t close = s.find('"', i + 1);
    word = std::string(s.substr(i + 1, close == std::string_view::npos ? s.npos : close - i - 1));
    next = close == std::string_view::npos ? s.size() : close + 1;
  } else {
    size_t end = i;
    while (end < s.size() && !blank(s[end])) ++end;
    word = std::string(s.substr(i, end - i));
    next = end;
  }
  return word;
}

}  // namespace

std::string program_word(std::string_view cmdline) {
  size_t next = 0;
  return program_part(cmdline, next);
}

std::vector<std::string> split_command_line(std::string_view s) {
  size_t i = 0;
  std::vector<std::string> argv{program_part(s, i)};
  for (;;) {
    while (i < s.size() && blank(s[i])) ++i;
    if (i >= s.size()) break;
    std::string word;
    bool quoted = false;
    while (i < s.size() && (quoted || !blank(s[i]))) {
      if (s[i] == '\\') {
        size_t n = 0;
        while (i < s.size() && s[i] == '\\') ++n, ++i;
        if (i < s.size() && s[i] == '"') {
          word.append(n / 2, '\\');
          if (n % 2 == 1) {
            word.push_back('"');
            ++i;
          }
        } else {
          word.append(n, '\\');
        }
      } else if (s[i] == '"') {
        if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
          word.push_back('"');
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word.push_back(s[i++]);
      }
    }
    argv.push_back(std::move(word));
  }
  return argv;
}

}  // namespace tarvik::sim
