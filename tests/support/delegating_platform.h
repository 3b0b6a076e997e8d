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

}  // namespace tarvik::test
