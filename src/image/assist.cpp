#include "image/assist.h"

#include <cstdint>

#include "frame/format.h"
#include "platform/port.h"

namespace tarvik {

namespace {

constexpr size_t kRelativeBuffer = 1024;
constexpr size_t kRegionIdOnDriveBuffer = 256;
constexpr size_t kDriveBuffer = 260;
constexpr uint32_t kVersionBuffer = 100;

std::string fitting(std::string path, size_t buffer) {
  return path.size() < buffer ? path : std::string();
}

// The running agent's path up to and including its last backslash.
std::string agent_folder_prefix() {
  std::string path = platform().system().program_path();
  size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// name inside the assistant's folder, reached from the agent's folder.
std::string relative(const std::string& name) {
  return fitting(agent_folder_prefix() + "..\\assist\\" + name, kRelativeBuffer);
}

// name inside the assistant's folder of the product folder on drive.
std::string on_drive(char drive, const char* name, size_t buffer) {
  return fitting(strformat("%s\\assist\\%s", assist::product_folder(drive).c_str(), name), buffer);
}

}  // namespace

std::string assist::product_folder(char drive) {
  return strformat("%c:\\ProgramData\\kovenu", drive);
}

std::string assist::product_folder() {
  std::string prefix = agent_folder_prefix();
  if (prefix.empty()) return prefix;
  prefix.pop_back();
  size_t slash = prefix.find_last_of('\\');
  return slash == std::string::npos ? std::string() : prefix.substr(0, slash);
}

std::string assist::config_path() {
  return relative("config.ini");
}

std::string assist::config_path(char drive) {
  return on_drive(drive, "config.ini", kDriveBuffer);
}

std::string assist::version(const std::string& config_file) {
  std::string out;
  platform().files().profile_get("assist", "version", "", out, kVersionBuffer, config_file);
  return out;
}

bool assist::is_version(const std::string& text) {
  bool in_number = false;
  for (char c : text) {
    if (c >= '0' && c <= '9')
      in_number = true;
    else if (c == '.' && in_number)
      in_number = false;
    else
      return false;
  }
  return in_number;
}

std::string assist::installer_path(const std::string& version) {
  return relative(version + "\\install.bat");
}

std::string assist::region_id_path() {
  return relative("region-id");
}

std::string assist::region_id_path(char drive) {
  return on_drive(drive, "region-id", kRegionIdOnDriveBuffer);
}

}  // namespace tarvik
