// A guest in a new temporary folder, for tests that run tarvik and tarvik-sim as programs
// the way the platform and a developer run them. The folder goes with the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace tarvik::test {

class TempGuestTest : public ::testing::Test {
 protected:
  // Makes the temporary folder dir_; root_ (dir_/guest) is not made yet.
  void SetUp() override;
  void TearDown() override;

  // Makes root_ a ready guest with tarvik-sim init: a running guest, or with iso a medium
  // and its offline installation.
  void init_guest(bool iso = false);
  // Marks the medium as having installed the agent into the offline image in this boot,
  // so that the commands that follow do only their own work.
  void mark_installed();
  // Today's log files of the agent on drive, one after another.
  std::string log(char drive = 'c') const;

  // Host file helpers; put makes the parent folders.
  static std::string slurp(const std::string& path);
  static void put(const std::string& path, const std::string& text);

  std::string dir_, root_;
};

}  // namespace tarvik::test
