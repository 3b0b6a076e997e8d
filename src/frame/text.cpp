// Text helpers of the utils object.
#include "frame/utils.h"

namespace tarvik {

bool utils::contains_any(const std::string& text, const std::vector<std::string>& list) {
  if (text.empty()) return false;
  for (const auto& part : list)
    if (contains_nocase(text, part)) return true;
  return false;
}

std::string utils::loggable_command(const std::string& line) {
  if (contains_nocase(line, "passwd")) return "config windows_xxx passwd <user_name> ******";
  return line;
}

std::u16string utils::to_wide(const std::string& narrow) {
  return platform().system().to_wide(narrow);
}

std::string utils::to_utf8(const std::u16string& wide) {
  return platform().system().wide_to_utf8(wide);
}

std::string utils::ansi_to_utf8(const std::string& narrow) {
  return to_utf8(to_wide(narrow));
}

}  // namespace tarvik
