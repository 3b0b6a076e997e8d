// Version texts compared token by token: digit runs by value, dots, and other runs byte-wise.
#include "image/guest.h"

namespace tarvik {

namespace {

// Ranks of the token classes: an other run is older than a dot, a dot older than digits.
enum TokenClass { kOther = 0, kDot = 1, kDigit = 2 };

TokenClass class_of(char c) {
  if (c >= '0' && c <= '9') return kDigit;
  if (c == '.') return kDot;
  return kOther;
}

int sign(int v) {
  return (v > 0) - (v < 0);
}

// Two digit runs by their value, however long they are: leading zeros do not count, then
// the longer run is the larger, then the first differing digit decides.
int compare_digit_runs(const std::string& a, const std::string& b) {
  size_t za = a.find_first_not_of('0');
  size_t zb = b.find_first_not_of('0');
  std::string_view va =
      za == std::string::npos ? std::string_view() : std::string_view(a).substr(za);
  std::string_view vb =
      zb == std::string::npos ? std::string_view() : std::string_view(b).substr(zb);
  if (va.size() != vb.size()) return va.size() < vb.size() ? -1 : 1;
  return sign(va.compare(vb));
}

}  // namespace

std::vector<std::string> split_version(const std::string& version) {
  std::vector<std::string> tokens;
  for (char c : version) {
    TokenClass k = class_of(c);
    if (tokens.empty() || k == kDot || class_of(tokens.back()[0]) != k)
      tokens.emplace_back(1, c);
    else
      tokens.back() += c;
  }
  return tokens;
}

int compare_version(const std::string& a, const std::string& b) {
  std::vector<std::string> ta = split_version(a);
  std::vector<std::string> tb = split_version(b);
  size_t common = ta.size() < tb.size() ? ta.size() : tb.size();
  for (size_t i = 0; i < common; ++i) {
    TokenClass ka = class_of(ta[i][0]);
    TokenClass kb = class_of(tb[i][0]);
    if (ka != kb) return ka < kb ? -1 : 1;
    int d = 0;
    // Byte-wise over the whole run: a NUL inside it does not end it.
    if (ka == kOther) d = sign(ta[i].compare(tb[i]));
    if (ka == kDigit) d = compare_digit_runs(ta[i], tb[i]);
    if (d != 0) return d;
  }
  if (ta.size() == tb.size()) return 0;
  // The longer side's first extra token: a suffix of other characters marks a pre-release
  // (older); more numbers or dots make it newer.
  bool a_longer = ta.size() > tb.size();
  const std::string& extra = a_longer ? ta[common] : tb[common];
  bool longer_is_newer = class_of(extra[0]) != kOther;
  return (a_longer == longer_is_newer) ? 1 : -1;
}

}  // namespace tarvik
