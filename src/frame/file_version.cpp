#include "frame/utils.h"

namespace tarvik {

bool utils::get_file_version(const std::string& path, FileVersion& out) {
  FileVersion v;
  VersionStep step = VersionStep::kNone;
  Status s = platform().files().file_version(path, v, step);
  if (s == win::kSuccess) {
    out = v;
    return true;
  }
  int e = static_cast<int>(s);
  switch (step) {
    case VersionStep::kAlloc:
      log("allocate memory failed\n");
      break;
    case VersionStep::kInfo:
      log("GetFileVersionInfo: error code was %d (0x%x)\n", e, e);
      break;
    case VersionStep::kQuery:
      log("VerQueryValue: error code was %d (0x%x)\n", e, e);
      break;
    case VersionStep::kLength:
      log("error: len != sizeof(VS_FIXEDFILEINFO)\n");
      break;
    default:
      log("GetFileVersionInfoSize: error code was %d (0x%x)\n", e, e);
      break;
  }
  return false;
}

}  // namespace tarvik
