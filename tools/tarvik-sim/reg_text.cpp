#include "reg_text.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>

namespace tarvik_sim {

using namespace tarvik;

namespace {

std::string hex_upper(std::string_view bytes) {
  std::string r;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X", c);
    r += b;
  }
  return r;
}

}  // namespace

const char* reg_type_name(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "REG_UNKNOWN";
}

std::string reg_value_text(const RegValue& v) {
  const std::string& d = v.data;
  char buf[32];
  switch (v.type) {
    case reg::kSz:
    case reg::kExpandSz:
      return v.as_text();
    case reg::kMultiSz: {
      std::string body = d;
      while (!body.empty() && body.back() == '\0') body.pop_back();
      std::string r;
      for (char ch : body) r += ch == '\0' ? std::string("\\0") : std::string(1, ch);
      return r;
    }
    case reg::kDword:
    case 5:  // REG_DWORD_BIG_ENDIAN
      if (d.size() == 4) {
        uint32_t x = 0;
        for (int i = 0; i < 4; ++i) {
          int at = v.type == reg::kDword ? 3 - i : i;
          x = (x << 8) | static_cast<unsigned char>(d[at]);
        }
        std::snprintf(buf, sizeof buf, "0x%x", x);
        return buf;
      }
      break;
    case reg::kQword:
      if (d.size() == 8) {
        uint64_t x = 0;
        for (int i = 7; i >= 0; --i) x = (x << 8) | static_cast<unsigned char>(d[i]);
        std::snprintf(buf, sizeof buf, "0x%" PRIx64, x);
        return buf;
      }
      break;
    default:
      break;
  }
  return hex_upper(d);
}

}  // namespace tarvik_sim
