// The cloud assistant's files as the agent finds them from its own folder and on a target
// drive.
#include "image/assist.h"

#include <gtest/gtest.h>

#include "support/sim_guest.h"

namespace tarvik::test {
namespace {

class AssistTest : public SimGuestTest {
 protected:
  void program(const std::string& path) {
    set_machine_ini("[system]\ndrive=c\nprogram=" + path + "\n[clock]\nmode=virtual\n");
  }
};

TEST_F(AssistTest, RelativePathsLeadBesideTheAgentsFolder) {
  program("X:\\kovenu\\tarvik\\tarvik.exe");
  EXPECT_EQ(assist::product_folder(), "X:\\kovenu");
  EXPECT_EQ(assist::config_path(), "X:\\kovenu\\tarvik\\..\\assist\\config.ini");
  EXPECT_EQ(assist::region_id_path(), "X:\\kovenu\\tarvik\\..\\assist\\region-id");
  EXPECT_EQ(assist::installer_path("1.0.0.1"),
            "X:\\kovenu\\tarvik\\..\\assist\\1.0.0.1\\install.bat");
  // Without a version the installer path names no version folder.
  EXPECT_EQ(assist::installer_path(""), "X:\\kovenu\\tarvik\\..\\assist\\\\install.bat");
}

TEST(AssistVersion, OnlyNumbersPartedBySingleDotsNameAVersionFolder) {
  for (const char* v : {"2", "2.1.0.5", "10.0", "007.1"}) EXPECT_TRUE(assist::is_version(v)) << v;
  // ".." and "." name other folders; a blank splits the command line.
  for (const char* v : {"", ".", "..", "1.", ".1", "1..2", "..\\x", "2.1 0", "2.1a", "-1", "1/2"})
    EXPECT_FALSE(assist::is_version(v)) << v;
}

TEST_F(AssistTest, PathsOnADrive) {
  EXPECT_EQ(assist::product_folder('d'), "d:\\ProgramData\\kovenu");
  EXPECT_EQ(assist::config_path('d'), "d:\\ProgramData\\kovenu\\assist\\config.ini");
  EXPECT_EQ(assist::region_id_path('d'), "d:\\ProgramData\\kovenu\\assist\\region-id");
}

TEST_F(AssistTest, PathsThatWouldNotFitTheirBufferNameNoFile) {
  // The relative forms are held in 1024 bytes: the agent's folder may take 1004 of them
  // for "..\assist\region-id" (19 bytes) and its NUL.
  std::string folder = "C:\\" + std::string(1000, 'a');
  program(folder + "\\tarvik.exe");
  EXPECT_EQ(assist::region_id_path().size(), 1023u);
  program(folder + "a\\tarvik.exe");
  EXPECT_EQ(assist::region_id_path(), "");
  EXPECT_EQ(assist::installer_path("1.0"), "");
}

TEST_F(AssistTest, VersionFromConfigIni) {
  mkdirs(root_ + "/c/ProgramData/kovenu/assist");
  write(root_ + "/c/ProgramData/kovenu/assist/config.ini",
        "[other]\r\nversion=9\r\n[assist]\r\nversion=2.0.0.100\r\n");
  EXPECT_EQ(assist::version(assist::config_path()), "2.0.0.100");
  EXPECT_EQ(assist::version(assist::config_path('c')), "2.0.0.100");

  write(root_ + "/c/ProgramData/kovenu/assist/config.ini", "[assist]\r\nname=x\r\n");
  EXPECT_EQ(assist::version(assist::config_path()), "");
  EXPECT_EQ(assist::version(assist::config_path('d')), "");  // no such file

  // The version is read into 100 bytes.
  write(root_ + "/c/ProgramData/kovenu/assist/config.ini",
        "[assist]\r\nversion=" + std::string(120, '1') + "\r\n");
  EXPECT_EQ(assist::version(assist::config_path()), std::string(99, '1'));
}

}  // namespace
}  // namespace tarvik::test
