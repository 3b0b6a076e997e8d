// Narrow text in the simulated machine's active code page, to and from UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik::sim {

std::u16string narrow_to_wide(std::string_view s, uint32_t codepage);
std::string wide_to_narrow(std::u16string_view w, uint32_t codepage);
std::string utf16_to_utf8(std::u16string_view w);

}  // namespace tarvik::sim
