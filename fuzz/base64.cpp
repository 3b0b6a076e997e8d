// Base64 decoding of the password argument: what decodes is exactly three bytes a group
// less the padding, and encoding the bytes again decodes to the same bytes. Reading past
// the input is what AddressSanitizer watches: the text is given in a buffer of its size.
// The passwd operation with the text: net user starts only for a password that net cannot
// take as its own syntax, and its command line splits into exactly net's words.
#include <memory>

#include "agent.h"
#include "check.h"
#include "config/config.h"
#include "platform/sim/command_line.h"
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

// The passwd operation on the agent's guest with text (a word ends at a NUL byte).
void check_passwd(std::string_view text) {
  std::string given(text.substr(0, text.find('\0')));
  std::string decoded;
  bool usable = sys->base64_decode(given, decoded) == win::kSuccess && !decoded.empty() &&
                decoded.size() <= 511 && decoded.find('\0') == std::string::npos &&
                decoded[0] != '/' && decoded != "*";
  std::string op = "passwd", user = "admin", arg = given;
  char* words[] = {op.data(), user.data(), arg.data(), nullptr};
  fuzz::started_commands();
  int r = Config::instance().config_passwd(3, words);
  std::vector<std::string> started = fuzz::started_commands();
  FUZZ_CHECK((r == 0) == usable);
  if (!usable) {
    FUZZ_CHECK(started.empty());
    return;
  }
  FUZZ_CHECK(started.size() == 1);
  FUZZ_CHECK(sim::split_command_line(started[0]) ==
             (std::vector<std::string>{"net", "user", "admin", decoded}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::install_agent_guest();
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
  check_passwd(text);
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
