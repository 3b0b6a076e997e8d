#pragma once

namespace tarvik {

// Installs the agent into the offline image as its first-boot service, once per boot of
// the medium; true when the service key was created or the medium's marker says it was.
bool install_into_image();

}  // namespace tarvik
