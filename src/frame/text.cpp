// Text helpers of the utils object.
#include <cctype>

#include "frame/utils.h"

namespace tarvik {

bool contains_nocase(const std::string& text, const std::string& part) {
  if (part.empty()) return true;
  for (size_t i = 0; i + part.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < part.size() && std::tolower(static_cast<unsigned char>(text[i + k])) ==
                                  std::tolower(static_cast<unsigned char>(part[k])))
      ++k;
    if (k == part.size()) return true;
  }
  return false;
}

bool equals_nocase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && contains_nocase(a, b);
}

bool utils::contains_any(const std::string& text, const std::vector<std::string>& list) {
  if (text.empty()) return false;
  for (const auto& part : list)
    if (contains_nocase(text, part)) return true;
  return false;
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
