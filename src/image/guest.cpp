// The guest object with its driver directory table, and the two commands that prepare an
// offline installation from the medium: initialize and the ISO-mode driver update.
#include "image/guest.h"

#include <cstring>

#include "config/config.h"
#include "frame/utils.h"
#include "image/drivers.h"
#include "image/guest_info.h"

namespace tarvik {

namespace {

constexpr uint32_t kSmallMemoryGb = 8;
constexpr uint64_t kBytesPerGb = 1000000000;

bool on_kvm(const std::string& hypervisor) {
  return contains_nocase(hypervisor, "kvm");
}

// Whether dism left the boot driver to the registry: always on 2003, which dism cannot
// serve, and on 2008 when dism answered 50.
bool boot_driver_by_registry(const std::string& tag, int dism_result) {
  return contains_nocase(tag, "2003") || dism_result == 50;
}

// The registry work of initialize, with the target's SYSTEM hive mounted for it.
void fix_offline_registry(const std::string& tag, uint32_t memory_mb, int dism_result) {
  GuestInfo& target = GuestInfo::instance();
  target.load_system_hive(true);
  fix_xenpci();
  if (!contains_nocase(tag, "2003") && guest::small_memory(memory_mb)) enable_pagefile();
  if (boot_driver_by_registry(tag, dism_result)) {
    driver_inst::viostor_inject();
    set_dpinst_flag(true);
  }
  if (modify_nvme_timeout())
    utils::log("-->modify nvme driver io hang timeout success");
  else
    utils::log("-->modify nvme driver io hang timeout failed");
  target.load_system_hive(false);
}

// The drivers of initialize for a target whose drivers are not current.
void prepare_drivers(const std::string& tag, const std::string& hypervisor, const char* word,
                     uint32_t memory_mb) {
  bool zentrix = guest::is_zentrix_target(word);
  if (!zentrix) guest::copy_driver_files();
  if (!on_kvm(hypervisor)) {
    set_dpinst_flag(true);
    return;
  }
  int dism_result = 0;
  if (contains_nocase(tag, "2003")) {
    // dism cannot serve 2003: its boot driver goes into the registry below.
  } else if (!zentrix) {
    utils::log("-->guest::Use dism to install kvm related drivers.");
    dism_result = guest::install_kvm_drivers();
  } else {
    utils::log("-->guest::Use dism to install Zen-Trix related drivers.");
    dism_result = guest::install_zentrix_drivers();
  }
  fix_offline_registry(tag, memory_mb, dism_result);
}

}  // namespace

guest& guest::instance() {
  static guest g;
  return g;
}

guest::guest()
    : driver_dirs_{{"2003", "Wnet"},  {"2008", "Wlh"},    {"win7", "win7"},
                   {"win8", "win8"},  {"2012", "Win8"},   {"win10", "Win10"},
                   {"2016", "Win10"}, {"win11", "Win10"}, {"2022", "Win10"}} {}

std::string guest::driver_dir(const std::string& tag) const {
  auto it = driver_dirs_.find(tag);
  return it == driver_dirs_.end() ? std::string() : it->second;
}

bool guest::is_zentrix_target(const char* word) {
  std::string tag;
  GuestInfo::instance().get_version(tag);
  if (utils::contains_any(tag, {"2003", "2008", "win7"})) return false;
  return word != nullptr && std::strcmp(word, "zeb") == 0;
}

bool guest::small_memory(uint32_t memory_mb) {
  uint64_t gb = 0;
  if (memory_mb != 0) {
    gb = memory_mb / 1024;
  } else {
    uint64_t bytes = 0;
    platform().system().total_memory(bytes);
    gb = bytes / kBytesPerGb;
  }
  utils::log("Get Memory Size: %d GB", static_cast<int>(gb));
  return gb <= kSmallMemoryGb;
}

int guest::initialize(int argc, char** argv) {
  std::string tag, hypervisor;
  GuestInfo::instance().get_version(tag);
  utils::hypervisor_vendor(hypervisor);
  uint32_t memory_mb = 0;
  if (argc > 4) {
    utils::log("Receive memory size from argv[4]: %s", argv[4]);
    // A negative size is taken as unsigned: far above the page-file threshold.
    memory_mb = static_cast<uint32_t>(decimal_int(argv[4]));
    if (argc > 5) {
      utils::log("Receive region id from argv[5]: %s", argv[5]);
      write_region_id(argv[5]);
    }
  }
  if (utils::contains_any(tag, {"2008", "win7"}) && !virtio_outdated())
    utils::log("-->guest::virtio in guest is new,just skip");
  else
    prepare_drivers(tag, hypervisor, argc > 3 ? argv[3] : nullptr, memory_mb);
  utils::exit_report(0, "success");
  return 0;
}

int guest::update_driver() {
  std::string tag, hypervisor;
  GuestInfo::instance().get_version(tag);
  utils::hypervisor_vendor(hypervisor);
  utils::log("-->update drivers.");
  copy_driver_files();
  if (!on_kvm(hypervisor)) {
    set_dpinst_flag(true);
  } else {
    int dism_result = 0;
    if (!contains_nocase(tag, "2003")) {
      utils::log("-->guest::Use dism to install kvm related drivers.");
      dism_result = install_kvm_drivers();
    }
    GuestInfo& target = GuestInfo::instance();
    target.load_system_hive(true);
    fix_xenpci();
    if (boot_driver_by_registry(tag, dism_result)) {
      driver_inst::viostor_inject();
      set_dpinst_flag(true);
    }
    target.load_system_hive(false);
  }
  utils::log("<--update drivers.");
  utils::exit_report(0, "success");
  return 0;
}

}  // namespace tarvik
