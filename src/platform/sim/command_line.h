// Command lines as Windows reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tarvik::sim {

// The program word as CreateProcessA takes it: up to the closing quote when the line
// begins with one, else up to the first blank.
std::string program_word(std::string_view cmdline);

// argv as the Microsoft C runtime splits a command line: the program word as above; then
// words parted by blanks, where 2n backslashes before a quote give n backslashes and open
// or close a quoted part, 2n+1 give n backslashes and a literal quote, "" inside a quoted
// part is a literal quote, and other backslashes are literal.
std::vector<std::string> split_command_line(std::string_view cmdline);

}  // namespace tarvik::sim
