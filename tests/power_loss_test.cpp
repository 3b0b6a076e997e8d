// Power lost at every durable effect of the agent's life ([fault] crash_at in machine.ini):
// the first boot and the image preparation, cut at each point and carried on as the
// platform carries on, end as the uninterrupted life ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "support/cli.h"
#include "support/metadata_server.h"
#include "support/temp_guest.h"

namespace tarvik::test {
namespace {

namespace fs = std::filesystem;

constexpr char kPassword[] = "UzNjcmV0IQ==";
constexpr char kService[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\tarvik";
constexpr char kProgramFolder[] = "/c/ProgramData/kovenu/tarvik";

// What the platform runs on the medium: initialize, then the config commands it records.
const std::vector<std::vector<std::string>> kSequence = {
    {"initialize", "x", "windows", "4096", "rg-test-01"},
    {"config", "windows", "ntp", "time1.example.net,time2.example.net"},
    {"config", "windows", "passwd", "Administrator", kPassword},
    {"config", "windows", "cloudinit"}};

uint64_t effects(const std::string& root) {
  return std::strtoull(tarvik_sim(root, {"effects"}).out.c_str(), nullptr, 10);
}

void plan_cut(const std::string& root, uint64_t k) {
  std::ofstream(root + "/machine.ini", std::ios::app) << "\n[fault]\ncrash_at=" << k << "\n";
}

bool service_registered(const std::string& root) {
  return tarvik_sim(root, {"reg", "query", kService}).code == 0;
}

// The processes that ran to their end (the agent's own starts, recorded as they start,
// left out).
std::set<std::string> finished_processes(const std::string& root) {
  std::set<std::string> out;
  for (const Call& c : read_calls(root))
    if (c.how != "service" && c.how != "relaunch") out.insert(c.cmdline);
  return out;
}

class PowerLossTest : public TempGuestTest {
 protected:
  // The distinct command lines of every archived tarvik.ini.
  static std::set<std::string> archived_commands(const std::string& root) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root + kProgramFolder, ec)) {
      if (!e.path().filename().string().ends_with(".tarvik.ini")) continue;
      std::istringstream in(slurp(e.path().string()));
      for (std::string line; std::getline(in, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line[0] != '[') out.insert(line.substr(eq + 1));
      }
    }
    return out;
  }

  // The first file on the guest's drives that holds the Base64 password, or "".
  static std::string file_with_password(const std::string& root) {
    for (const auto& drive : fs::directory_iterator(root)) {
      if (!drive.is_directory() || drive.path().filename().string().size() != 1) continue;
      for (const auto& e : fs::recursive_directory_iterator(drive.path()))
        if (e.is_regular_file() && slurp(e.path().string()).find(kPassword) != std::string::npos)
          return e.path().string();
    }
    return "";
  }

  void SetUp() override {
    TempGuestTest::SetUp();
    init_guest(true);
    server_ = std::make_unique<MetadataServer>(root_, false);
    ASSERT_TRUE(server_->running());
    std::string ini = slurp(root_ + "/machine.ini");
    size_t at = ini.find("\nmetadata=");
    ASSERT_NE(at, std::string::npos);
    ini.replace(at + 10, ini.find('\n', at + 1) - at - 10, server_->endpoint());
    put(root_ + "/machine.ini", ini);
    server_->put("/latest/meta-data/instance-id", "i-0d3m0");
    server_->put("/latest/meta-data/hostname", "web01");
    server_->put("/latest/meta-data/wsus-server/wu-server", "http://wsus.example.net:8530");
    server_->put("/latest/meta-data/ntp-conf/ntp-servers", "ntp1\r\nntp2\r\n");
    server_->put("/latest/user-data/index", "[powershell]\r\nWrite-Output hi\r\n");
    medium_ = dir_ + "/medium";
    fs::copy(root_, medium_, fs::copy_options::recursive);
    for (const auto& args : kSequence) ASSERT_EQ(tarvik(root_, args).code, 0);
    sequence_effects_ = effects(root_);
    prepared_ = dir_ + "/prepared";
    fs::copy(root_, prepared_, fs::copy_options::recursive);
    // The uninterrupted life, root_ from here on.
    ASSERT_EQ(tarvik_sim(root_, {"boot", "--from", "d"}).code, 0);
    first_boot_effects_ = effects(root_);
    ASSERT_FALSE(service_registered(root_));
    ASSERT_EQ(tarvik_sim(root_, {"snapshot", "end"}).code, 0);
    archived_ = archived_commands(root_);
    processes_ = finished_processes(root_);
  }

  // A fresh copy of a guest, with a cut planned at effect k (none for 0).
  std::string copy_of(const std::string& guest, uint64_t k, const std::string& name) {
    std::string g = dir_ + "/" + name + std::to_string(k);
    fs::copy(guest, g, fs::copy_options::recursive);
    if (k != 0) plan_cut(g, k);
    return g;
  }

  // The boots that follow a first boot: again while the service is registered, three at
  // most in all. The output of each, one after another.
  static std::string boot_until_done(const std::string& g, std::vector<std::string> first) {
    std::string out;
    for (int boot = 0; boot < 3 && (boot == 0 || service_registered(g)); ++boot) {
      CliResult r = tarvik_sim(g, boot == 0 ? first : std::vector<std::string>{"boot"});
      out += r.out;
    }
    return out;
  }

  // Why guest g did not end as the uninterrupted life did, or "" when it did.
  std::string mismatch(const std::string& g) {
    fs::create_directories(g + "/sim/snapshots");
    fs::copy(root_ + "/sim/snapshots/end", g + "/sim/snapshots/end",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    CliResult d = tarvik_sim(g, {"diff", "end"});
    if (d.code != 0) return "diff: " + d.err;
    std::istringstream in(d.out);
    for (std::string line; std::getline(in, line);) {
      // The log grows with every boot; the archive's name holds the time it was made; a
      // service's running state is not kept across the boots a cut brings.
      if (line.find("\\kovenu\\tarvik\\log\\") != std::string::npos ||
          line.find(".tarvik.ini") != std::string::npos ||
          (line.rfind("service changed ", 0) == 0 && line.find("  state  ") != std::string::npos))
        continue;
      return line;
    }
    if (archived_commands(g) != archived_) return "the archive holds other commands";
    std::set<std::string> ran = finished_processes(g);
    for (const auto& p : processes_)
      if (!ran.count(p)) return "never ran to its end: " + p;
    if (std::string f = file_with_password(g); !f.empty()) return "the password is in " + f;
    return "";
  }

  // Runs the loop over the points that pick chooses and prints how many converge; true
  // when all of them do.
  bool loop(const char* what, uint64_t n, const std::function<bool(uint64_t)>& pick,
            const std::function<std::string(uint64_t)>& point) {
    int tried = 0, converged = 0;
    for (uint64_t k = 1; k <= n; ++k) {
      if (!pick(k)) continue;
      ++tried;
      std::string why = point(k);
      if (why.empty())
        ++converged;
      else
        ADD_FAILURE() << what << ": the cut at effect " << k << " does not converge: " << why;
    }
    std::printf("%s: %d of %d crash points converge", what, converged, tried);
    if (tried < static_cast<int>(n)) std::printf(" (a spread of its %d)", static_cast<int>(n));
    std::printf("\n");
    return converged == tried;
  }

  bool first_boot_loop(const std::function<bool(uint64_t)>& pick) {
    return loop("first boot", first_boot_effects_, pick, [&](uint64_t k) {
      std::string g = copy_of(prepared_, k, "boot");
      std::string out = boot_until_done(g, {"boot", "--from", "d"});
      if (out.find("power lost at effect " + std::to_string(k) + "\n") == std::string::npos)
        return "the power was not cut: " + out;
      return mismatch(g);
    });
  }

  bool preparation_loop(const std::function<bool(uint64_t)>& pick) {
    return loop("image preparation", sequence_effects_, pick,
                [&](uint64_t k) { return preparation_point(k); });
  }

  // A cut at effect k of the image preparation; the platform boots the medium again and
  // retries the whole sequence; then the first boot.
  std::string preparation_point(uint64_t k) {
    std::string g = copy_of(medium_, k, "prep");
    for (const auto& args : kSequence)
      if (tarvik(g, args).code != 0) break;
    if (!fs::exists(g + "/sim/power.lost")) return "the power was not cut";
    if (CliResult r = tarvik_sim(g, {"boot"}); r.code != 0) return "boot: " + r.err;
    if (tarvik_sim(g, {"reg", "query", "HKLM\\_SYSTEM"}).code == 0)
      return "a hive stays mounted after the medium's reboot";
    for (const auto& args : kSequence)
      if (CliResult r = tarvik(g, args); r.code != 0) return "retry: " + r.out + r.err;
    boot_until_done(g, {"boot", "--from", "d"});
    return mismatch(g);
  }

  std::unique_ptr<MetadataServer> server_;
  std::string medium_, prepared_;
  uint64_t sequence_effects_ = 0, first_boot_effects_ = 0;
  std::set<std::string> archived_, processes_;
};

// A point takes seconds on a small, busy machine: the default run takes a spread of each
// life's points (the first, every few, and the last ones, where the archive, the
// installer, the service's removal and the config commands lie); ctest --preset
// linux-power-loss runs every point.
bool spread(uint64_t k, uint64_t n, uint64_t every) {
  return k % every == 1 || k + 3 > n;
}

TEST_F(PowerLossTest, ASpreadOfTheFirstBootsCutsConverges) {
  ASSERT_GT(first_boot_effects_, 10u);
  EXPECT_TRUE(first_boot_loop([&](uint64_t k) { return spread(k, first_boot_effects_, 5); }));
}

TEST_F(PowerLossTest, ASpreadOfTheImagePreparationsCutsConverges) {
  ASSERT_GT(sequence_effects_, 10u);
  EXPECT_TRUE(preparation_loop([&](uint64_t k) { return spread(k, sequence_effects_, 40); }));
}

TEST_F(PowerLossTest, DISABLED_EveryCutOfTheFirstBootConverges) {
  EXPECT_TRUE(first_boot_loop([](uint64_t) { return true; }));
}

TEST_F(PowerLossTest, DISABLED_EveryCutOfTheImagePreparationConverges) {
  EXPECT_TRUE(preparation_loop([](uint64_t) { return true; }));
}

// From the archive of tarvik.ini on, a cut must not leave it (or its password) behind
// with the service gone. The replay's password command fails here, so that tarvik.ini
// still holds its password when the archive's work begins; the cuts go back from the last
// effect to the first one that finds tarvik.ini still holding it.
TEST_F(PowerLossTest, ACutFromTheArchiveOnLeavesNoTarvikIniNorPasswordAndTheWorkDone) {
  std::string tools = prepared_ + "/sim/tools.ini";
  put(tools, "[rule.0-net-user-fails]\nmatch=net user *\nexit=2\noutput=System error 5.\\r\\n\n" +
                 slurp(tools));
  std::string whole = copy_of(prepared_, 0, "whole");
  ASSERT_EQ(tarvik_sim(whole, {"boot", "--from", "d"}).code, 0);
  uint64_t n = effects(whole);
  const std::string ini = std::string(kProgramFolder) + "/tarvik.ini";
  const std::string installer = "C:\\ProgramData\\kovenu\\tarvik\\..\\assist\\1.0.0.1\\install.bat";
  int cuts = 0;
  for (uint64_t k = n; k >= 1; --k) {
    SCOPED_TRACE("the cut at effect " + std::to_string(k) + " of " + std::to_string(n));
    std::string g = copy_of(prepared_, k, "archive");
    ASSERT_THAT(tarvik_sim(g, {"boot", "--from", "d"}).out,
                testing::HasSubstr("power lost at effect " + std::to_string(k) + "\n"));
    ++cuts;
    bool before_archive =
        fs::exists(g + ini) && slurp(g + ini).find(kPassword) != std::string::npos;
    for (int boot = 1; boot < 3 && service_registered(g); ++boot)
      ASSERT_EQ(tarvik_sim(g, {"boot"}).code, 0);
    EXPECT_FALSE(fs::exists(g + ini));
    EXPECT_EQ(file_with_password(g), "");
    EXPECT_FALSE(service_registered(g));
    bool installed = false;
    for (const Call& c : read_calls(g)) installed |= c.cmdline == installer && c.exit == 0;
    EXPECT_TRUE(installed);
    if (before_archive) break;
  }
  EXPECT_GE(cuts, 4);  // the archive, the installer, the permissions, the service
}

}  // namespace
}  // namespace tarvik::test
