// A simulated guest in a temporary folder, installed as this process's platform.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/port.h"

namespace tarvik::test {

// Default machine.ini of a test guest: virtual clock, COM1 present, UTF-8 code page.
extern const char* const kDefaultMachineIni;

class SimGuestTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces machine.ini and makes a fresh platform on the same folder.
  void set_machine_ini(const std::string& text);
  // Makes a fresh platform on the folder (as a new process would see it).
  void reload();
  // The host path of a Windows path on this guest (must be valid).
  std::string host(const std::string& win_path) const;
  // Host file helpers.
  static std::string read(const std::string& host_path);
  static void write(const std::string& host_path, const std::string& text);
  void mkdirs(const std::string& host_path) const;

  Platform& p() { return platform(); }

  std::string root_;
};

}  // namespace tarvik::test
