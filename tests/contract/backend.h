// The backends the port contract runs against: the simulated machine on Linux, the real
// Win32 calls on Windows (under Wine in CI).
#pragma once

#include <memory>
#include <string>

#include "platform/port.h"

namespace tarvik::contract {

// What a backend gives the contract: a platform, an empty scratch folder (a Windows
// path), a scratch registry key below HKLM, and a few files it placed.
class Backend {
 public:
  virtual ~Backend() = default;
  // Makes the platform and the scratch folder; false with error when it cannot.
  virtual bool set_up(std::string& error) = 0;
  virtual void tear_down() = 0;
  virtual Platform& platform() = 0;
  virtual std::string scratch() const = 0;
  // Path of HKLM's scratch key, which does not exist yet ("SOFTWARE\...").
  virtual std::string scratch_key() const = 0;
  // The Windows path of port_tool (port_tool.cpp), which the process runner can start.
  virtual std::string tool() const = 0;
  // The Windows path of a file that carries the file version 1.2.3.4.
  virtual std::string versioned_file() const = 0;
  // True where the Win32 calls are Wine's, whose behaviour differs from Windows' in places.
  virtual bool wine() const { return false; }
};

#ifdef _WIN32
class Win32Backend final : public Backend {
#else
class SimBackend final : public Backend {
#endif
 public:
  bool set_up(std::string& error) override;
  void tear_down() override;
  Platform& platform() override {
    return *platform_;
  }
  std::string scratch() const override {
    return scratch_;
  }
  std::string scratch_key() const override {
    return key_;
  }
  std::string tool() const override {
    return tool_;
  }
  std::string versioned_file() const override {
    return versioned_;
  }
#ifdef _WIN32
  bool wine() const override;
#endif

 private:
  std::unique_ptr<Platform> platform_;
  std::string host_root_;  // the sim: the machine's folder
  std::string scratch_, key_, tool_, versioned_;
};

}  // namespace tarvik::contract
