#pragma once

namespace tarvik {

// Installs the agent into the offline image as its first-boot service; 0 or -1.
int install_into_image();

}  // namespace tarvik
