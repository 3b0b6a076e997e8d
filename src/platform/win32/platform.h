// The Win32 backend of the platform port: the real system calls.
#pragma once

#include <memory>

#include "platform/port.h"

namespace tarvik::win32 {

std::unique_ptr<Registry> make_registry();
std::unique_ptr<Files> make_files();
std::unique_ptr<Processes> make_processes();
std::unique_ptr<Network> make_network();
std::unique_ptr<Clock> make_clock();
std::unique_ptr<System> make_system();
std::unique_ptr<Console> make_console();
std::unique_ptr<Devices> make_devices();
std::unique_ptr<Services> make_services();

// The platform of a process running on Windows.
std::unique_ptr<Platform> make_platform();

}  // namespace tarvik::win32
