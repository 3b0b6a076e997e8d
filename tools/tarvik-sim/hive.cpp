// tarvik-sim hive convert FILE --to reg|regf [--codepage N]: one hive file from .reg text
// to a real Windows hive or back, in place, losing nothing.
#include "platform/sim/hive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "platform/sim/machine.h"
#include "platform/sim/regf.h"

namespace tarvik_sim {

namespace {

// The tree's text or names that the target cannot carry exactly: the file stays as it is.
int refuse(const std::string& file, const char* target, const std::vector<std::string>& inexact) {
  std::fprintf(stderr, "tarvik-sim hive: %s: not converted: %s cannot hold these exactly:\n",
               file.c_str(), target);
  for (const std::string& what : inexact) std::fprintf(stderr, "  %s\n", what.c_str());
  return 2;
}

}  // namespace

int hive_command(int argc, char** argv) {
  if (argc < 1 || std::strcmp(argv[0], "convert") != 0) return usage_error("hive");
  std::string file, to;
  uint32_t codepage = 65001;  // the simulated machine's own default
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--to") == 0 && i + 1 < argc) {
      to = argv[++i];
    } else if (std::strcmp(argv[i], "--codepage") == 0 && i + 1 < argc) {
      char* end = nullptr;
      unsigned long n = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || (n != 65001 && n != 1252)) {
        std::fprintf(stderr, "tarvik-sim hive: code page must be 65001 or 1252\n");
        return 2;
      }
      codepage = static_cast<uint32_t>(n);
    } else if (file.empty() && argv[i][0] != '-') {
      file = argv[i];
    } else {
      return usage_error("hive");
    }
  }
  if (file.empty() || (to != "reg" && to != "regf")) return usage_error("hive");

  std::string data, error;
  if (!tarvik::sim::read_host_file(file, data)) {
    std::fprintf(stderr, "tarvik-sim hive: %s: %s\n", file.c_str(), std::strerror(errno));
    return 2;
  }
  tarvik::sim::HiveKey tree;
  std::vector<std::string> inexact;
  const bool from_regf = tarvik::sim::is_regf(data);
  tarvik::Status st = from_regf ? tarvik::sim::read_regf_file(file, codepage, tree, error, &inexact)
                                : tarvik::sim::parse_hive_text(data, tree, error);
  if (st != tarvik::win::kSuccess) {
    if (!from_regf) error = file + ": " + error;
    std::fprintf(stderr, "tarvik-sim hive: %s (error %u)\n", error.c_str(), st);
    return 2;
  }
  if (to == "reg") {
    if (!inexact.empty()) return refuse(file, ".reg text", inexact);
    // A key name .reg text cannot carry (a line break, a bracket) reads back otherwise.
    const std::string text = tarvik::sim::format_hive_text(tree);
    tarvik::sim::HiveKey back;
    if (tarvik::sim::parse_hive_text(text, back, error) != tarvik::win::kSuccess ||
        !tarvik::sim::same_hive_tree(tree, back)) {
      std::fprintf(stderr,
                   "tarvik-sim hive: %s: not converted: its .reg text reads back otherwise\n",
                   file.c_str());
      return 2;
    }
    if (!tarvik::sim::write_host_file_atomic(file, text)) {
      std::fprintf(stderr, "tarvik-sim hive: %s: %s\n", file.c_str(), std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (from_regf) return 0;  // already one
  tarvik::sim::regf_inexact(tree, codepage, inexact);
  if (!inexact.empty()) return refuse(file, "a regf hive", inexact);
  st = tarvik::sim::write_regf_file(file, tree, codepage, error);
  if (st != tarvik::win::kSuccess) {
    std::fprintf(stderr, "tarvik-sim hive: %s (error %u)\n", error.c_str(), st);
    return 1;
  }
  return 0;
}

}  // namespace tarvik_sim
