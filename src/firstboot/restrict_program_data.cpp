// The Users group loses its rights on the product folder.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

namespace {
constexpr uint32_t kInfinite = 0xFFFFFFFF;
}

void tarvik2::restrict_program_data() {
  const char* cmd = "cacls c:\\ProgramData\\kovenu /T /E /R Users";
  uint32_t code = 0;
  // Its output is not captured, and it is waited for as long as it runs.
  Status s = platform().processes().run_no_capture(cmd, kInfinite, code);
  if (s != win::kSuccess) {
    utils::log("cmd:%s  CreateProcess fail:%d", cmd, static_cast<int>(s));
    return;
  }
  utils::log("cmd:%s  code:%d ", cmd, static_cast<int>(code));
}

}  // namespace tarvik
