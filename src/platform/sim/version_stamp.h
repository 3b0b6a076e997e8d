// File versions of the simulated machine: the VS_FIXEDFILEINFO block a file carries.
#pragma once

#include <string>
#include <string_view>

#include "platform/port.h"

namespace tarvik::sim {

// Finds the first VS_FIXEDFILEINFO (signature 0xFEEF04BD, 52 bytes) in data.
bool find_version_block(std::string_view data, FileVersion& out);

// Writes a small file at host_path that carries v as a version resource would.
bool write_version_stamp(const std::string& host_path, FileVersion v);

}  // namespace tarvik::sim
