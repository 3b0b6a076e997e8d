// Base64 decoding of the password argument: what decodes is exactly three bytes a group
// less the padding, and encoding the bytes again decodes to the same bytes. Reading past
// the input is what AddressSanitizer watches: the text is given in a buffer of its size.
#include <memory>

#include "check.h"
#include "platform/sim/machine.h"
#include "platform/sim/services.h"

using namespace tarvik;

namespace {
std::unique_ptr<System> sys;
sim::Machine machine;

std::string encode(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t g = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) g |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) g |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[g >> 18 & 63];
    out += kDigits[g >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[g >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[g & 63] : '=';
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string error;
  if (!machine.load(fuzz::make_guest("", ""), error)) std::abort();
  sys = sim::make_system(machine);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto copy = std::make_unique<char[]>(size);  // exactly the input: no byte after it
  std::copy(data, data + size, copy.get());
  std::string_view text(copy.get(), size);
  std::string out = "untouched";
  Status s = sys->base64_decode(text, out);
  if (s != win::kSuccess) {
    FUZZ_CHECK(s == win::kInvalidData && out == "untouched");
    return 0;
  }
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') digits += c;
  size_t pad = 0;
  while (pad < digits.size() && digits[digits.size() - 1 - pad] == '=') ++pad;
  FUZZ_CHECK(digits.size() % 4 == 0 && pad <= 2);
  FUZZ_CHECK(out.size() == digits.size() / 4 * 3 - pad);
  std::string again;
  FUZZ_CHECK(sys->base64_decode(encode(out), again) == win::kSuccess && again == out);
  return 0;
}
