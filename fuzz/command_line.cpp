// The C runtime's splitting of a command line, and the quoting that must give each word
// back: the words after the program word, quoted and joined again, split the same.
#include "platform/sim/command_line.h"

#include "check.h"
#include "config/config.h"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line = fuzz::input(data, size);
  std::vector<std::string> words = sim::split_command_line(line);
  std::string program = sim::program_word(line);
  FUZZ_CHECK(!words.empty() && words[0] == program && program.size() <= line.size());

  std::string again = "p";
  for (size_t i = 1; i < words.size(); ++i) {
    again += ' ';
    again += command_line_word(words[i]);
  }
  std::vector<std::string> split = sim::split_command_line(again);
  FUZZ_CHECK(!split.empty() && split[0] == "p");
  FUZZ_CHECK(split.size() == std::max<size_t>(words.size(), 1));
  for (size_t i = 1; i < words.size(); ++i) FUZZ_CHECK(split[i] == words[i]);

  // Any text as one argument comes back whole.
  std::string word(line);
  std::vector<std::string> one = sim::split_command_line("p " + command_line_word(word));
  FUZZ_CHECK(one.size() == 2 && one[1] == word);
  return 0;
}
