// Hive files read and written in pieces: a file read a megabyte at a time gives the keys
// its whole text gives, wherever a piece ends (inside a line, a CR LF or a continued hex
// list), and its digest is the whole text's.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/sim/hive.h"

namespace tarvik::test {
namespace {

using sim::HiveKey;

std::string big_hive(size_t padding, size_t size = (size_t{1} << 20) + 4096) {
  std::string t = "Windows Registry Editor Version 5.00\r\n\r\n";
  t += "; " + std::string(padding, 'p') + "\r\n";
  for (int k = 0; t.size() < size; ++k) {
    t += "[Group\\Key" + std::to_string(k) + "]\r\n\"Text\"=\"value " + std::to_string(k) +
         "\"\r\n\"Count\"=dword:0000002a\r\n\"Bytes\"=hex:";
    for (int i = 0; i < 40; ++i) t += i ? (i % 25 == 0 ? ",\\\r\n  00" : ",01") : "02";
    t += "\r\n\r\n";
  }
  return t;
}

TEST(HiveFile, ReadInPiecesGivesWhatTheWholeTextGives) {
  std::string path = ::testing::TempDir() + "/hive-pieces";
  for (size_t padding : {0, 1, 7, 13, 29, 41, 58, 77}) {
    std::string text = big_hive(padding);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    HiveKey whole, pieces;
    std::string error;
    ASSERT_EQ(sim::parse_hive_text(text, whole, error), win::kSuccess) << error;
    Status s = 1;
    sim::TextDigest digest, expected;
    ASSERT_TRUE(sim::read_hive_file(path, pieces, error, s, &digest));
    ASSERT_EQ(s, win::kSuccess) << error;
    EXPECT_EQ(sim::format_hive_text(pieces), sim::format_hive_text(whole)) << padding;
    expected.add(text);
    EXPECT_TRUE(digest == expected);
    EXPECT_EQ(pieces.find({"Group", "Key9"})->value("Bytes")->data.size(), 40u);
  }
  std::filesystem::remove(path);
}

TEST(HiveFile, DigestIsTheSameHoweverTheTextIsCut) {
  std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
  sim::TextDigest whole;
  whole.add(text);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    sim::TextDigest two;
    two.add(text.substr(0, cut));
    two.add(text.substr(cut));
    EXPECT_TRUE(two == whole) << cut;
  }
  sim::TextDigest other;
  other.add(text.substr(1));
  EXPECT_FALSE(other == whole);
}

TEST(HiveFile, WrittenInPiecesAsFormatted) {
  HiveKey root;
  std::string error;
  std::string text = big_hive(3, size_t{3} << 20);
  ASSERT_EQ(sim::parse_hive_text(text, root, error), win::kSuccess);
  std::string joined;
  int pieces = 0;
  sim::write_hive_text(root, [&](std::string_view p) {
    joined += p;
    ++pieces;
  });
  EXPECT_GT(pieces, 1);
  EXPECT_EQ(joined, sim::format_hive_text(root));
  EXPECT_EQ(sim::format_hive_text(HiveKey()), "Windows Registry Editor Version 5.00\n\n[]\n");
}

TEST(HiveFile, AFirstKeyNameBeginningWithADashIsMalformed) {
  // Written back, "[\\-a]" would be "[-a]": a deletion, and a hive that no longer reads.
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  HiveKey root;
  std::string error;
  EXPECT_NE(sim::parse_hive_text(head + "[\\-a]\r\n", root, error), win::kSuccess);
  EXPECT_EQ(error, "line 3: malformed key header");
  ASSERT_EQ(sim::parse_hive_text(head + "[a\\-b]\r\n\"v\"=dword:00000001\r\n", root, error),
            win::kSuccess)
      << error;
  HiveKey again;
  EXPECT_EQ(sim::parse_hive_text(sim::format_hive_text(root), again, error), win::kSuccess);
  EXPECT_NE(again.find({"a", "-b"}), nullptr);
}

}  // namespace
}  // namespace tarvik::test
