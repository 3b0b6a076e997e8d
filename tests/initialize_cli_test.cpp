// The initialize command and the driver update in ISO mode, where a report ends the
// process: tarvik on a medium made by tarvik-sim init --iso.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/cli.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class IsoInitializeTest : public TempGuestTest {
 protected:
  void SetUp() override {
    TempGuestTest::SetUp();
    init_guest(true);
  }
  std::string offline(const std::vector<std::string>& args, const char* hive = "SYSTEM") {
    std::vector<std::string> words = {"reg", "--hive",
                                      std::string("D:\\Windows\\System32\\config\\") + hive};
    words.insert(words.end(), args.begin(), args.end());
    return tarvik_sim(root_, words).out;
  }
  std::string query(const std::string& key) { return offline({"query", "ControlSet001\\" + key}); }
  void product_name(const std::string& name) {
    offline({"add", "Microsoft\\Windows NT\\CurrentVersion", "/v", "ProductName", "/t", "REG_SZ",
             "/d", name, "/f"},
            "SOFTWARE");
  }
  void dism_answers(int code) {
    std::string tools = slurp(root_ + "/sim/tools.ini");
    put(root_ + "/sim/tools.ini", "[rule.dism50]\nmatch=dism *\nexit=" + std::to_string(code) +
                                      "\noutput=Error: " + std::to_string(code) + "\\r\\n\n" +
                                      tools);
  }
  std::vector<std::string> cmdlines() {
    std::vector<std::string> out;
    for (const Call& c : read_calls(root_)) out.push_back(c.cmdline);
    return out;
  }
  bool mounted() { return slurp(root_ + "/sim/mounts.ini").find("_SYSTEM") != std::string::npos; }
};

TEST_F(IsoInitializeTest, AFresh2016MediumIsPreparedWhole) {
  EXPECT_THAT(query("Control\\Session Manager\\Memory Management"),
              HasSubstr("PagingFiles    REG_MULTI_SZ    \n"));
  CliResult r = tarvik(root_, {"initialize", "x", "windows", "4096", "rg-test-01"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "0:success");
  EXPECT_EQ(slurp(root_ + "/d/ProgramData/kovenu/assist/region-id"), "rg-test-01");
  for (const char* sys : {"netkvm.sys", "viostor.sys", "balloon.sys"})
    EXPECT_EQ(slurp(root_ + "/d/Windows/System32/drivers/" + sys),
              slurp(root_ + "/x/kovenu/tarvik/kvm/Win10/amd64/" + sys))
        << sys;
  // The installation into the image comes first: its volume extension and rd.
  EXPECT_THAT(cmdlines(), ElementsAre("diskpart", "rd /q /s d:\\ProgramData\\kovenu\\",
                                      "dism /image:d:\\ /add-driver "
                                      "/driver:X:\\kovenu\\tarvik\\kvm\\Win10\\amd64 "
                                      "/ForceUnsigned"));
  EXPECT_THAT(query("Control\\Session Manager\\Memory Management"),
              HasSubstr("PagingFiles    REG_MULTI_SZ    ?:\\pagefile.sys\n"));
  EXPECT_THAT(query("Services\\stornvme\\Parameters"),
              HasSubstr("IoTimeoutValue    REG_DWORD    0xffff"));
  EXPECT_THAT(query("services\\viostor"), Not(HasSubstr("ImagePath")));
  EXPECT_FALSE(mounted());
  EXPECT_FALSE(fs::exists(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"));
  EXPECT_THAT(log('d'), HasSubstr("] tarvik exit 0,success\r\n"));
}

TEST_F(IsoInitializeTest, A2008TargetWhoseDismAnswers50GetsTheBootDriverInTheRegistry) {
  product_name("Windows Server 2008 Datacenter");
  dism_answers(50);
  CliResult r = tarvik(root_, {"initialize", "x", "windows", "4096", "rg-test-01"});
  EXPECT_EQ(r.out, "0:success");
  EXPECT_THAT(cmdlines(),
              ElementsAre("diskpart", "rd /q /s d:\\ProgramData\\kovenu\\",
                          "dism /image:d:\\ /add-driver "
                          "/driver:X:\\kovenu\\tarvik\\kvm\\Wlh\\amd64 /ForceUnsigned"));
  std::string service = query("services\\viostor");
  EXPECT_THAT(service, HasSubstr("ImagePath    REG_SZ    system32\\drivers\\viostor.sys\n"));
  EXPECT_THAT(service, HasSubstr("start    REG_DWORD    0x0\n"));
  EXPECT_THAT(
      query("Control\\CriticalDeviceDatabase\\pci#ven_1af4&dev_1001&subsys_00021af4&rev_00"),
      HasSubstr("Service    REG_SZ    viostor\n"));
  EXPECT_THAT(slurp(root_ + "/d/ProgramData/kovenu/tarvik/tarvik.ini"),
              HasSubstr("[update]\r\ndpinst=1\r\n"));
  EXPECT_FALSE(mounted());
}

TEST_F(IsoInitializeTest, AWin7DismFailureEndsTheProcessWithItsReportAndDismsLog) {
  product_name("Windows 7 Enterprise");
  dism_answers(50);
  CliResult r = tarvik(root_, {"initialize", "x", "windows", "4096"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "50:dism intall driver fail err:50");
  std::string text = log('d');
  EXPECT_THAT(text, HasSubstr("TARVIK_REPORT_ERROR:install_virtio_error Error: 50\r\n"));
  EXPECT_THAT(text, Not(HasSubstr("tarvik exit 0,success")));
  bool copied = false;
  for (const auto& e : fs::directory_iterator(root_ + "/d/ProgramData/kovenu/tarvik/log"))
    copied |= e.path().filename().string().rfind("dism_", 0) == 0 &&
              slurp(e.path()) == slurp(root_ + "/x/Windows/Logs/DISM/dism.log");
  EXPECT_TRUE(copied);
  // Ended before the registry work: the hive was never mounted or changed.
  EXPECT_FALSE(mounted());
  EXPECT_THAT(query("Services\\stornvme\\Parameters"), IsEmpty());
}

TEST_F(IsoInitializeTest, TheDriverUpdateRunsAloneWithoutInstallingTheAgent) {
  CliResult r = tarvik(root_, {"config", "x", "UPDATE_DRIVER"});
  EXPECT_EQ(r.out, "0:success");
  // No installation into the image: no volume extension, no rd.
  EXPECT_THAT(cmdlines(), ElementsAre("dism /image:d:\\ /add-driver "
                                      "/driver:X:\\kovenu\\tarvik\\kvm\\Win10\\amd64 "
                                      "/ForceUnsigned"));
  std::string text = log('d');
  EXPECT_THAT(text, HasSubstr("-->update drivers."));
  EXPECT_THAT(text, Not(HasSubstr("install_into_image")));
  // Neither the page file nor the NVMe timeout nor a region id.
  EXPECT_THAT(query("Control\\Session Manager\\Memory Management"),
              HasSubstr("PagingFiles    REG_MULTI_SZ    \n"));
  EXPECT_THAT(query("Services\\stornvme\\Parameters"), IsEmpty());
  EXPECT_FALSE(fs::exists(root_ + "/d/ProgramData/kovenu/assist/region-id"));
  EXPECT_FALSE(mounted());
}

}  // namespace
}  // namespace tarvik::test
