// The virtio driver files of the offline installation made writable, so that later copies
// can replace them.
#include "frame/utils.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

void guest::remove_readonly_attrib() {
  utils::log("-->guest::remove_readonly_attrib");
  char drive = GuestInfo::instance().system_disk();
  Files& files = platform().files();
  for (const char* name :
       {"balloon.sys", "netkvm.sys", "pvpanic.sys", "vioser.sys", "viostor.sys"}) {
    std::string path = image_driver_path(drive, name);
    uint32_t attributes = 0;
    if (files.get_attributes(path, attributes) == win::kSuccess)
      files.set_attributes(path, attributes & ~attr::kReadOnly);
  }
}

}  // namespace tarvik
