// Version texts as the staging compares them (the assistant's version in the image against
// the medium's): split_version cuts a text into tokens that join back to it, and
// compare_version is a total order on texts read by value, whatever their length: equal
// exactly when the texts differ only in leading zeros of digit runs, antisymmetric and
// transitive. The input is three texts, cut at NUL bytes.
#include "check.h"
#include "image/guest.h"

using namespace tarvik;

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int sign(int v) {
  return (v > 0) - (v < 0);
}

// The tokens with the leading zeros of each digit run gone (a run of zeros is "0").
std::vector<std::string> by_value(const std::string& text) {
  std::vector<std::string> tokens = split_version(text);
  for (std::string& t : tokens) {
    if (!is_digit(t[0])) continue;
    size_t first = t.find_first_not_of('0');
    t = first == std::string::npos ? "0" : t.substr(first);
  }
  return tokens;
}

// Each digit run with zeros put before it: the same version.
std::string padded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (is_digit(text[i]) && (i == 0 || !is_digit(text[i - 1]))) out += "000";
    out += text[i];
  }
  return out;
}

void check_tokens(const std::string& text) {
  std::vector<std::string> tokens = split_version(text);
  std::string joined;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    FUZZ_CHECK(!t.empty());
    joined += t;
    // A token is a single dot, a digit run, or a run of other characters, and two runs of
    // the same kind are never neighbours.
    if (t[0] == '.') FUZZ_CHECK(t.size() == 1);
    for (char c : t) FUZZ_CHECK(is_digit(c) == is_digit(t[0]) && (c == '.') == (t[0] == '.'));
    if (i > 0 && t[0] != '.' && tokens[i - 1][0] != '.')
      FUZZ_CHECK(is_digit(t[0]) != is_digit(tokens[i - 1][0]));
  }
  FUZZ_CHECK(joined == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> v = fuzz::parts(fuzz::input(data, size), 3);
  for (const std::string& a : v) {
    check_tokens(a);
    FUZZ_CHECK(compare_version(a, a) == 0);
    FUZZ_CHECK(compare_version(padded(a), a) == 0);
    // More numbers after a version make it newer.
    FUZZ_CHECK(compare_version(a + ".1", a) > 0);
    FUZZ_CHECK(compare_version(a, a + ".0") < 0);
  }
  int cmp[3][3];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) cmp[i][j] = sign(compare_version(v[i], v[j]));
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      FUZZ_CHECK(cmp[i][j] == -cmp[j][i]);
      FUZZ_CHECK((cmp[i][j] == 0) == (by_value(v[i]) == by_value(v[j])));
      for (int k = 0; k < 3; ++k)
        if (cmp[i][j] <= 0 && cmp[j][k] <= 0)
          FUZZ_CHECK(cmp[i][k] <= 0 && (cmp[i][k] == 0) == (cmp[i][j] == 0 && cmp[j][k] == 0));
    }
  return 0;
}
