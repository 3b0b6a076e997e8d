// How reg.exe shows a value: its type's name and its data as text.
#pragma once

#include <cstdint>
#include <string>

#include "platform/port.h"

namespace tarvik_sim {

// "REG_SZ", "REG_DWORD", ... ("REG_UNKNOWN" past the known types).
const char* reg_type_name(uint32_t type);
// Text as text, a DWORD or QWORD as 0x.., a multi-string with \0 between its strings,
// anything else (and a DWORD of the wrong size) as upper-case hex digits.
std::string reg_value_text(const tarvik::RegValue& v);

}  // namespace tarvik_sim
