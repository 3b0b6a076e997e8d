#include "platform/win32/platform.h"

namespace tarvik::win32 {

std::unique_ptr<Platform> make_platform() {
  return std::make_unique<ServicePlatform>(ServicePlatform::Parts{
      make_registry(), make_files(), make_processes(), make_network(), make_clock(), make_system(),
      make_console(), make_devices(), make_services()});
}

}  // namespace tarvik::win32
