// The hive text parser: a hive that parses, written and parsed again, holds the same keys
// and values, and writing it once more gives the same text; a read scoped to a key gives
// the same status, and the same key and subtree there, as the whole read.
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

// The scoped read of text at scope against the whole read (status, error and root).
void same_at_scope(std::string_view text, Status whole_status, const std::string& whole_error,
                   const sim::HiveKey& whole, const std::vector<std::string>& scope) {
  sim::HiveKey part;
  std::string error;
  Status s = sim::parse_hive_text(text, part, error, &scope);
  FUZZ_CHECK(s == whole_status);
  FUZZ_CHECK(error == whole_error);
  if (s != win::kSuccess) return;
  const sim::HiveKey* want = whole.find(scope);
  const sim::HiveKey* got = part.find(scope);
  FUZZ_CHECK((want == nullptr) == (got == nullptr));
  if (want) same_tree(*want, *got);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text = fuzz::input(data, size);
  sim::HiveKey root;
  std::string error;
  Status whole = sim::parse_hive_text(text, root, error);
  // Scopes down the tree, by the first or last subkey as the input's bytes choose, and
  // one that names no key (or, in a text that does not parse, any key).
  std::vector<std::string> scope;
  same_at_scope(text, whole, error, root, scope);
  const sim::HiveKey* key = &root;
  for (size_t i = 0; !key->subkeys.empty() && scope.size() < 4; ++i) {
    key = (size > i && (data[i] & 1)) ? key->subkeys.back().get() : key->subkeys.front().get();
    scope.push_back(key->name);
    same_at_scope(text, whole, error, root, scope);
  }
  scope.push_back("no such key");
  same_at_scope(text, whole, error, root, scope);
  if (whole != win::kSuccess) {
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
