// The segment and prefix arithmetic of ip_segment: the host addresses of a segment are
// 2^(32-prefix)-2 ascending addresses inside it (none for /31, the first alone for /32
// and /0), and the mask of a prefix has that many leading one bits. The input is the
// first address, NUL, the prefix word.
#include <algorithm>
#include <cstdlib>

#include "check.h"
#include "config/config.h"

using namespace tarvik;

namespace {

// Four parts of decimal digits, each at most 255; digits is the longest part's length.
bool parse(const std::string& s, uint32_t& out, size_t* digits = nullptr) {
  uint32_t v = 0;
  size_t pos = 0, longest = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (pos >= s.size() || s[pos++] != '.')) return false;
    size_t begin = pos;
    uint32_t n = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && n <= 255)
      n = n * 10 + static_cast<uint32_t>(s[pos++] - '0');
    if (pos == begin || n > 255) return false;
    longest = std::max(longest, pos - begin);
    v = v << 8 | n;
  }
  if (pos != s.size()) return false;
  if (digits) *digits = longest;
  out = v;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto p = fuzz::parts(fuzz::input(data, size), 2);
  const std::string& first = p[0];
  int prefix = static_cast<int>(std::strtol(p[1].c_str(), nullptr, 10));
  // The operation reads the prefix word this way; the shift is taken modulo 32.
  unsigned bits = static_cast<unsigned>(prefix) & 31;
  std::string mask = Config::prefix_to_mask(prefix);
  uint32_t m = 0;
  FUZZ_CHECK(parse(mask, m));
  uint32_t want_mask = prefix == 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits);
  FUZZ_CHECK(m == want_mask);

  Config::SegmentAddresses list;
  bool ok = Config::segment_addresses(first, prefix, list);
  if (bits == 0) {
    FUZZ_CHECK(ok && list.size() == 1 && list[0] == first);
    return 0;
  }
  uint32_t a = 0;
  size_t digits = 0;
  bool valid = parse(first, a, &digits);
  if (!ok) {
    FUZZ_CHECK(list.size() == 0 && !(valid && digits <= 3));
    return 0;
  }
  FUZZ_CHECK(valid);
  uint32_t host = 0xFFFFFFFFu >> bits;
  FUZZ_CHECK(list.size() == (bits == 31 ? 0 : host - 1));
  // Address i is the i-th after the network's own; wide segments are checked at their
  // ends and a stretch of the middle.
  const uint32_t base = a & ~host, n = list.size();
  for (uint32_t i = 0; i < n; ++i) {
    if (n > 1024 && i == 256) i = n / 2;
    if (n > 1024 && i == n / 2 + 256) i = n - 256;
    uint32_t v = 0;
    FUZZ_CHECK(parse(list[i], v) && v == base + 1 + i && (v & ~host) == base);
  }
  return 0;
}
