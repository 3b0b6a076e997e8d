// A platform that hands every service to another one; a test overrides the few it
// replaces (a network that records, a clock that moves the guest on).
#pragma once

#include <memory>

#include "platform/port.h"

namespace tarvik::test {

class DelegatingPlatform : public Platform {
 public:
  explicit DelegatingPlatform(std::unique_ptr<Platform> inner) : inner_(std::move(inner)) {}
  Registry& registry() override { return inner_->registry(); }
  Files& files() override { return inner_->files(); }
  Processes& processes() override { return inner_->processes(); }
  Network& network() override { return inner_->network(); }
  Clock& clock() override { return inner_->clock(); }
  System& system() override { return inner_->system(); }
  Console& console() override { return inner_->console(); }
  Devices& devices() override { return inner_->devices(); }
  Services& services() override { return inner_->services(); }
  Platform& inner() { return *inner_; }

 private:
  std::unique_ptr<Platform> inner_;
};

// A system that hands every call to another one; a test overrides the calls it watches.
class DelegatingSystem : public System {
 public:
  explicit DelegatingSystem(System& inner) : inner_(inner) {}
  std::string system_directory() override { return inner_.system_directory(); }
  Status user_name(std::string& out) override { return inner_.user_name(out); }
  std::string program_path() override { return inner_.program_path(); }
  bool is_wow64() override { return inner_.is_wow64(); }
  Status enable_privilege(std::string_view name) override { return inner_.enable_privilege(name); }
  CpuidRegs cpuid(uint32_t leaf) override { return inner_.cpuid(leaf); }
  Status total_memory(uint64_t& bytes) override { return inner_.total_memory(bytes); }
  Status new_guid(Guid& out) override { return inner_.new_guid(out); }
  void hide_console() override { inner_.hide_console(); }
  Status reboot(bool force) override { return inner_.reboot(force); }
  Status create_named_event(std::string_view name) override {
    return inner_.create_named_event(name);
  }
  Status define_dos_device(std::string_view name, std::string_view target) override {
    return inner_.define_dos_device(name, target);
  }
  std::vector<std::string> logical_drives() override { return inner_.logical_drives(); }
  uint32_t process_id() override { return inner_.process_id(); }
  void install_crash_handler() override { inner_.install_crash_handler(); }
  bool replace_crash_handler() override { return inner_.replace_crash_handler(); }
  std::u16string to_wide(std::string_view narrow) override { return inner_.to_wide(narrow); }
  std::string from_wide(std::u16string_view wide) override { return inner_.from_wide(wide); }
  std::string wide_to_utf8(std::u16string_view wide) override { return inner_.wide_to_utf8(wide); }
  Status base64_decode(std::string_view text, std::string& out) override {
    return inner_.base64_decode(text, out);
  }
  void wipe(std::string& text) override { inner_.wipe(text); }

 private:
  System& inner_;
};

}  // namespace tarvik::test
