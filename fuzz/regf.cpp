// The regf hive reader: reading any file never crashes, a file that does not read gives
// the bad-hive error naming it, and a tree that reads, written to a new hive and read
// again, is the same tree. Reading one key's part of a file gives what the whole read
// gives there, and changing one key's part changes only that.
#include "platform/sim/regf.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "check.h"

using namespace tarvik;

namespace {

// A folder of this process for the hives it writes, removed at exit (kept apart from the
// statics that exit destroys).
const std::string& scratch_folder() {
  static const std::string* folder = [] {
    std::string tmpl = (std::filesystem::temp_directory_path() / "regf_fuzz.XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(tmpl.data()) != nullptr);
    auto* kept = new std::string(tmpl);
    std::atexit([] { std::filesystem::remove_all(scratch_folder()); });
    return kept;
  }();
  return *folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // libhivex reads files only: the input is an in-memory file.
  int fd = ::memfd_create("regf", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, data, size) == static_cast<ssize_t>(size));
  const std::string path = "/proc/self/fd/" + std::to_string(fd);

  sim::HiveKey tree;
  std::string error;
  Status s = sim::read_regf_file(path, 65001, tree, error);
  if (s != win::kSuccess) {
    ::close(fd);
    FUZZ_CHECK(s == win::kBadRegistry);
    FUZZ_CHECK(error.find(path) != std::string::npos);
    return 0;
  }
  // A key some levels down: the last subkey of each key on the way.
  std::vector<std::string> scope;
  const sim::HiveKey* key = &tree;
  while (!key->subkeys.empty() && scope.size() < 4) {
    key = key->subkeys.back().get();
    scope.push_back(key->name);
  }
  {
    sim::RegfFile file;
    sim::HiveKey part;
    FUZZ_CHECK(file.open(path, 65001, false, error) == win::kSuccess);
    FUZZ_CHECK(file.read(scope, part, error) == win::kSuccess);
    FUZZ_CHECK(part.find(scope) && sim::same_hive_tree(*part.find(scope), *key));
  }
  ::close(fd);
  const std::string copy = scratch_folder() + "/hive";
  s = sim::write_regf_file(copy, tree, 65001, error);
  if (s != win::kSuccess) std::fprintf(stderr, "%s\n", error.c_str());
  FUZZ_CHECK(s == win::kSuccess);
  sim::HiveKey again;
  FUZZ_CHECK(sim::read_regf_file(copy, 65001, again, error) == win::kSuccess);
  FUZZ_CHECK(sim::same_hive_tree(tree, again));

  sim::HiveKey changed = tree;
  sim::HiveKey* at = changed.find(scope);
  FUZZ_CHECK(at != nullptr);
  at->set_value("fuzz", RegValue::dword(1));
  at->add_child("fuzz key")->set_value("", RegValue::text("x"));
  {
    sim::RegfFile file;
    FUZZ_CHECK(file.open(copy, 65001, true, error) == win::kSuccess);
    FUZZ_CHECK(file.write(scope, changed, error) == win::kSuccess);
    FUZZ_CHECK(file.commit(copy, error) == win::kSuccess);
  }
  FUZZ_CHECK(sim::read_regf_file(copy, 65001, again, error) == win::kSuccess);
  FUZZ_CHECK(sim::same_hive_tree(changed, again));
  std::filesystem::remove(copy);
  return 0;
}
