// Globs of tools.ini rules and PathMatchSpecA: "*" stays a wildcard where the text has a
// "*" of its own.
#include <gtest/gtest.h>

#include "platform/port.h"

namespace tarvik::test {
namespace {

TEST(GlobMatch, StarIsAWildcardAlsoOverAStarInTheText) {
  EXPECT_TRUE(glob_match("*[rule] a b", "*"));
  EXPECT_TRUE(glob_match("a*b", "a*"));
  EXPECT_TRUE(glob_match("x*y*z", "*y*"));
  EXPECT_TRUE(glob_match("**", "*"));
  EXPECT_TRUE(glob_match("NETSH interface ip", "netsh *"));
  EXPECT_TRUE(glob_match("a?c", "a?c"));
  EXPECT_FALSE(glob_match("netsh", "netsh *"));
  EXPECT_FALSE(glob_match("abc", "a?"));
  EXPECT_TRUE(path_match_spec("*name", "*.*"));
  EXPECT_TRUE(path_match_spec("*x", "*x.*"));
}

}  // namespace
}  // namespace tarvik::test
