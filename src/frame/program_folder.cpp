#include "frame/utils.h"

namespace tarvik {

std::string utils::program_folder() {
  std::string path = platform().system().program_path();
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace tarvik
