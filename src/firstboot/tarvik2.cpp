// The first-boot work and its wait for Windows setup.
#include "firstboot/tarvik2.h"

#include "config/config.h"
#include "frame/utils.h"
#include "image/drivers.h"

namespace tarvik {

namespace {

constexpr char kSetupStateKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Setup\\State";
constexpr char kComplete[] = "IMAGE_STATE_COMPLETE";
constexpr size_t kStateBuffer = 256;
constexpr char kRunningEvent[] = "Global\\tarvik.running";
constexpr char kStartedKey[] = "SYSTEM\\CurrentControlSet\\services\\tarvik.start";

// "ImageState" as a 256-byte buffer receives it; false when it cannot be read (no key,
// no value, or a value the buffer does not hold).
bool read_image_state(const RegKey& key, std::string& state) {
  state.clear();
  if (!key) return false;
  RegValue v;
  if (key.query("ImageState", v) != win::kSuccess || v.data.size() > kStateBuffer) return false;
  state = v.as_text();
  return true;
}

}  // namespace

void tarvik2::check_sysprep() {
  utils::log("-->tarvik2::check_sysprep");
  RegKey key;
  platform().registry().open(kSetupStateKey, reg::kGenericAll | reg::kWow64_64Key, key);
  Clock& clock = platform().clock();
  std::string state;
  bool waited = false;
  for (;;) {
    bool read = read_image_state(key, state);
    bool finished = !read || equals_nocase(state, kComplete);
    if (!finished) {
      utils::log("-->ImageState: %s", state.c_str());
      clock.sleep_ms(1000);
      waited = true;
    } else if (waited) {
      // Setup must be seen finished on a first look: look once more after a pause.
      utils::log("-->Next ImageState: %s", state.c_str());
      clock.sleep_ms(2000);
      waited = false;
    } else {
      break;
    }
  }
  utils::log("-->Ok ImageState: %s", state.c_str());
  key.close();
  utils::log("<--tarvik2::check_sysprep");
}

int tarvik2::dowork() {
  utils::log("-->tarvik2::dowork()");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  check_sysprep();

  // Other processes see that the first-boot work runs (the event, until this process
  // ends) and that it has started since the last boot (the volatile key).
  platform().system().create_named_event(kRunningEvent);
  RegKey started;
  platform().registry().create(kStartedKey, reg::kOptionVolatile, reg::kGenericAll, started);
  started.close();

  CInit::inst_cer();

  if (check_dpinst()) {
    bool restart = need_reboot_after_dpinst();
    driver_inst::dpinst_driver();
    set_dpinst_flag(false);
    // The service stays registered: after the restart the work runs again, without the
    // driver update.
    if (restart && reboot()) return 0;
  }

  start_dependency();
  Config::instance().replay_saved_config();
  open_rdp();
  delete_tarvik2();
  launch_assist();
  restrict_program_data();
  log_virtio_versions();
  // Last of all: power lost at any point before leaves the service registered, and the
  // next boot runs the work again; the archived tarvik.ini is not replayed twice.
  delete_tarvik_service();
  return 0;
}

bool tarvik2::check_dpinst() {
  std::string value;
  platform().files().profile_get("update", "dpinst", "", value, 1024, Config::ini_path('C'));
  bool set = value == "1";
  utils::log(set ? "-->tarvik2::check_dpinst true" : "-->tarvik2::check_dpinst false");
  return set;
}

}  // namespace tarvik
