// The contract against the simulated machine: a fresh machine in a temporary folder.
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "contract/backend.h"
#include "platform/sim/services.h"

namespace tarvik::contract {

namespace fs = std::filesystem;

namespace {

void write(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Bytes around a VS_FIXEDFILEINFO of file version 1.2.3.4, as a version resource holds it.
std::string versioned_bytes() {
  std::string s = "MZ padding before the resource";
  put32(s, 0xFEEF04BD);  // signature
  put32(s, 0x00010000);  // structure version
  put32(s, (1u << 16) | 2);
  put32(s, (3u << 16) | 4);
  put32(s, (1u << 16) | 2);  // product version
  put32(s, (3u << 16) | 4);
  for (int i = 0; i < 7; ++i) put32(s, 0);  // flags mask .. file date
  return s + "padding after";
}

}  // namespace

bool SimBackend::set_up(std::string& error) {
  std::string tmpl = (fs::temp_directory_path() / "tarvik-contract-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    error = "mkdtemp failed";
    return false;
  }
  host_root_ = tmpl;
  const fs::path root = host_root_;
  write(root / "machine.ini", "[system]\ndrive=c\n[clock]\nmode=real\n");
  for (const char* hive : {"SYSTEM", "SOFTWARE"})
    write(root / "c/Windows/System32/config" / hive,
          "Windows Registry Editor Version 5.00\n\n[]\n");
  fs::create_directories(root / "sim");
  fs::create_directories(root / "c/scratch");
  fs::copy_file(PORT_TOOL_BIN, root / "c/tools/port_tool.exe",
                (fs::create_directories(root / "c/tools"), fs::copy_options::overwrite_existing));
  write(root / "c/tools/versioned.dll", versioned_bytes());
  scratch_ = "C:\\scratch";
  key_ = "SOFTWARE\\tarvik-contract\\scratch";
  tool_ = "C:\\tools\\port_tool.exe";
  versioned_ = "C:\\tools\\versioned.dll";
  platform_ = sim::make_platform(host_root_, error);
  return platform_ != nullptr;
}

void SimBackend::tear_down() {
  platform_.reset();
  std::error_code ec;
  if (!host_root_.empty() && !std::getenv("TARVIK_KEEP_TEST_GUESTS"))
    fs::remove_all(host_root_, ec);
}

}  // namespace tarvik::contract
