// Windows profile (INI) files as GetPrivateProfileStringA and WritePrivateProfileStringA
// see them: sections and keys compared without regard to case, the first of duplicates
// wins, lines the functions do not understand are kept as they are.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/port.h"
#include "platform/sim/machine.h"

namespace tarvik::sim {

// GetPrivateProfileStringA on the text of a profile file. out receives the characters the
// call returns (lists: each name followed by NUL, without the final extra NUL); the
// result is their count, cut to size as the system cuts it. found, when given, tells
// whether a named key was there.
uint32_t profile_lookup(std::string_view text, const char* section, const char* key,
                        const char* def, std::string& out, uint32_t size, bool* found = nullptr);

// WritePrivateProfileStringA on the text of a profile file: sets, or with a null value
// deletes, a key; with a null key deletes the section. Returns whether text changed.
bool profile_update(std::string& text, const char* section, const char* key, const char* value);

// The whole call on the file at host_path, under a lock keyed on the file and written
// atomically, so writers in several processes lose nothing. Returns 0 or the error.
Status profile_write_file(const Machine& m, const std::string& host_path, const char* section,
                          const char* key, const char* value);

}  // namespace tarvik::sim
