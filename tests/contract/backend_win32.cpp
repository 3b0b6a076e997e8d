// The contract against the Win32 calls: a scratch folder under C:\ and a scratch key
// under HKLM\SOFTWARE, both removed afterwards.
#include <string>
#include <vector>

#include "contract/backend.h"
#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::contract {

namespace {

// Removes a folder with everything below it, read-only files included.
void remove_tree(Files& f, const std::string& folder) {
  std::vector<DirEntry> entries;
  if (f.list(folder, "*.*", entries) == win::kSuccess) {
    for (const DirEntry& e : entries) {
      if (e.name == "." || e.name == "..") continue;
      std::string path = folder + "\\" + e.name;
      if (e.attributes & attr::kDirectory) {
        remove_tree(f, path);
      } else {
        f.set_attributes(path, attr::kNormal);
        f.delete_file(path);
      }
    }
  }
  f.remove_directory(folder);
}

std::string folder_of(const std::string& path) {
  return path.substr(0, path.rfind('\\'));
}

}  // namespace

bool Win32Backend::set_up(std::string& error) {
  platform_ = win32::make_platform();
  System& sys = platform_->system();
  std::string unique =
      std::to_string(sys.process_id()) + "-" + std::to_string(platform_->clock().tick_count());
  scratch_ = "C:\\tarvik-contract-" + unique;
  key_ = "SOFTWARE\\tarvik-contract\\" + unique;
  tool_ = folder_of(sys.program_path()) + "\\port_tool.exe";
  versioned_ = tool_;  // built with a version resource of 1.2.3.4
  Status s = platform_->files().create_directories(scratch_);
  if (s != win::kSuccess) error = "cannot create " + scratch_ + ": " + std::to_string(s);
  return s == win::kSuccess;
}

void Win32Backend::tear_down() {
  if (!platform_) return;
  remove_tree(platform_->files(), scratch_);
  RegKey parent;
  if (platform_->registry().open("SOFTWARE", reg::kKeyAllAccess, parent) == win::kSuccess)
    parent.delete_tree(key_.substr(key_.find('\\') + 1));
  platform_.reset();
}

bool Win32Backend::wine() const {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace tarvik::contract
