// The hive text parser: a hive that parses, written and parsed again, holds the same keys
// and values, and writing it once more gives the same text.
#include "check.h"
#include "platform/sim/hive.h"

using namespace tarvik;

namespace {

void same_tree(const sim::HiveKey& a, const sim::HiveKey& b) {
  FUZZ_CHECK(a.name == b.name);
  FUZZ_CHECK(a.values.size() == b.values.size());
  for (size_t i = 0; i < a.values.size(); ++i) {
    FUZZ_CHECK(a.values[i].first == b.values[i].first);
    FUZZ_CHECK(a.values[i].second.type == b.values[i].second.type);
    FUZZ_CHECK(a.values[i].second.data == b.values[i].second.data);
  }
  // Keys without values and subkeys are not written unless they are the root's children
  // on the way to others, so compare the keys that carry something.
  FUZZ_CHECK(a.subkeys.size() == b.subkeys.size());
  for (size_t i = 0; i < a.subkeys.size(); ++i) same_tree(*a.subkeys[i], *b.subkeys[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::input(data, size);
  sim::HiveKey root;
  std::string error;
  if (sim::parse_hive_text(text, root, error) != win::kSuccess) {
    FUZZ_CHECK(error.rfind("line ", 0) == 0 || error.rfind("a binary hive", 0) == 0);
    return 0;
  }
  // The hive reader builds keys as it reads; the .reg reader (for imports and volatile
  // keys) collects blocks and applies them: both give the same keys.
  std::vector<sim::RegTextKey> blocks;
  sim::HiveKey applied;
  FUZZ_CHECK(sim::parse_reg_text(text, blocks, error));
  FUZZ_CHECK(sim::apply_reg_text(blocks, {}, false, applied, error));
  same_tree(root, applied);

  std::string written = sim::format_hive_text(root);
  sim::HiveKey again;
  Status s = sim::parse_hive_text(written, again, error);
  if (s != win::kSuccess) std::fprintf(stderr, "%s\n", error.c_str());
  FUZZ_CHECK(s == win::kSuccess);
  same_tree(root, again);
  FUZZ_CHECK(sim::format_hive_text(again) == written);
  return 0;
}
