// docs/manual.md and the code agree: a section for every operation of the table (with its
// word count) and for every operation word a medium carries out itself, and no section,
// overview row or example for an operation the code does not have.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"

namespace tarvik::test {
namespace {

constexpr char kTableSection[] = "## Operations of the config command";
constexpr char kMediumSection[] = "## Operations a medium carries out itself";

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The operation words a medium handles before the table: the dispatcher's ISO branch
// and the entry point's driver update, read from their source.
std::set<std::string> medium_words() {
  std::set<std::string> words;
  const std::regex compared(R"re(equals_nocase\((?:op|argv\[3\]), "(\w+)"\))re");
  for (const char* file : {"/src/config/dispatch.cpp", "/src/frame/entry.cpp"}) {
    std::string text = read_text(std::string(TARVIK_SOURCE_DIR) + file);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), compared);
         it != std::sregex_iterator(); ++it)
      words.insert((*it)[1]);
  }
  return words;
}

struct Manual {
  // Level-3 headings of each of the two sections: the operation word, and the count its
  // heading gives (-1 without one).
  std::vector<std::pair<std::string, int>> table_headings, medium_headings;
  std::vector<std::string> stray_headings;            // level-3 headings of neither form
  std::vector<std::pair<std::string, int>> overview;  // "| `word` | N |" rows
  std::vector<std::string> example_operations;        // "$ tarvik config P WORD ..."
};

Manual read_manual() {
  Manual m;
  const std::regex table_heading(R"re(^### `(\w+)`: (\d+) words$)re");
  const std::regex medium_heading(R"re(^### `(\w+)` on a medium$)re");
  const std::regex overview_row(R"re(^\| `(\w+)` \| (\d+) \|)re");
  const std::regex example(R"re(^\$ tarvik config \S+ (\S+))re");
  enum { kOther, kTable, kMedium } section = kOther;
  bool in_block = false;
  for (const std::string& line :
       lines_of(read_text(std::string(TARVIK_SOURCE_DIR) + "/docs/manual.md"))) {
    if (line.rfind("```", 0) == 0) in_block = !in_block;
    std::smatch match;
    if (in_block) {
      if (std::regex_search(line, match, example)) m.example_operations.push_back(match[1]);
      continue;
    }
    if (line.rfind("## ", 0) == 0)
      section = line == kTableSection ? kTable : line == kMediumSection ? kMedium : kOther;
    if (std::regex_search(line, match, overview_row))
      m.overview.emplace_back(match[1], std::stoi(match[2]));
    if (line.rfind("### ", 0) != 0 || section == kOther) continue;
    if (section == kTable && std::regex_match(line, match, table_heading))
      m.table_headings.emplace_back(match[1], std::stoi(match[2]));
    else if (section == kMedium && std::regex_match(line, match, medium_heading))
      m.medium_headings.emplace_back(match[1], -1);
    else
      m.stray_headings.push_back(line);
  }
  return m;
}

TEST(ManualTest, EveryOperationHasOneSectionWithTheTablesWordCount) {
  std::map<std::string, int> table;
  for (const OperationEntry& row : Config::operations()) table[row.name] = row.word_count;
  const std::set<std::string> medium = medium_words();
  // The reading of the source found the medium's words at all.
  ASSERT_TRUE(medium.count("pagefile") && medium.count("update_driver"))
      << "the medium's operation words were not found in the dispatcher's source";

  Manual m = read_manual();
  EXPECT_TRUE(m.stray_headings.empty())
      << "a heading of the operation sections names no operation in the expected form: "
      << m.stray_headings.front();

  std::map<std::string, int> sections;
  for (const auto& [name, count] : m.table_headings) {
    ++sections[name];
    auto row = table.find(name);
    if (row == table.end()) {
      ADD_FAILURE() << "the manual has a section for `" << name
                    << "`, which the operation table does not have";
      continue;
    }
    EXPECT_EQ(count, row->second) << "the section of `" << name << "` gives the word count";
  }
  for (const auto& [name, count] : table)
    EXPECT_EQ(sections[name], 1) << "sections of the operation `" << name << "` in \""
                                 << kTableSection << "\"";

  std::map<std::string, int> medium_sections;
  for (const auto& heading : m.medium_headings) {
    ++medium_sections[heading.first];
    EXPECT_TRUE(medium.count(heading.first))
        << "the manual has a section for `" << heading.first
        << "` on a medium, which a medium does not carry out itself";
  }
  for (const std::string& word : medium)
    EXPECT_EQ(medium_sections[word], 1)
        << "sections of the medium's operation `" << word << "` in \"" << kMediumSection << "\"";

  for (const auto& [name, count] : m.overview) {
    auto row = table.find(name);
    if (row == table.end()) {
      if (!medium.count(name))
        ADD_FAILURE() << "the manual's overview names `" << name << "`, which the code lacks";
      continue;
    }
    EXPECT_EQ(count, row->second) << "the overview's word count of `" << name << "`";
  }
  EXPECT_FALSE(m.overview.empty()) << "the manual has no overview of the operations";

  for (const std::string& name : m.example_operations)
    EXPECT_TRUE(table.count(name) || medium.count(name))
        << "an example runs `" << name << "`, which the code does not have";
}

}  // namespace
}  // namespace tarvik::test
