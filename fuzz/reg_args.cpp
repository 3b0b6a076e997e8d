// reg.exe's arguments as tarvik-sim reg takes them (query, add and delete; export and
// import name host files and stay out): every command ends with 0, 1 or 2, and the hive
// it leaves behind reads back. The input is the verb's number, then the arguments parted
// by NUL bytes.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "check.h"
#include "platform/sim/hive.h"

int reg_command(int argc, char** argv, const std::string& root);

using namespace tarvik;

namespace {
std::string guest, software;

constexpr char kSoftware[] =
    "Windows Registry Editor Version 5.00\n\n[]\n\n[Kovenu]\n\"Name\"=\"value\"\n"
    "\"Count\"=dword:0000002a\n\n[Kovenu\\Sub]\n@=hex:01,02\n\n";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  guest = fuzz::make_guest("", "");
  software = guest + "/c/Windows/System32/config/SOFTWARE";
  // Questions (delete without /f) read no answer; the listing goes nowhere.
  if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout))
    std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kVerbs[] = {"query", "add", "delete"};
  std::vector<std::string> args{kVerbs[data[0] % 3]};
  std::string_view rest = fuzz::input(data + 1, size - 1);
  while (!rest.empty() && args.size() < 12) {
    size_t nul = rest.find('\0');
    args.emplace_back(rest.substr(0, nul));
    rest.remove_prefix(nul == std::string_view::npos ? rest.size() : nul + 1);
  }
  { std::ofstream(software, std::ios::binary | std::ios::trunc) << kSoftware; }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = reg_command(static_cast<int>(args.size()), argv.data(), guest);
  FUZZ_CHECK(rc == 0 || rc == 1 || rc == 2);

  sim::HiveKey root;
  std::string error;
  Status s = sim::parse_hive_text(slurp(software), root, error);
  if (s != win::kSuccess) std::fprintf(stderr, "SOFTWARE: %s\n", error.c_str());
  FUZZ_CHECK(s == win::kSuccess);
  return 0;
}
