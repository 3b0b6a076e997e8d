// The metadata service address compiled into the agent. The build sets it
// (TARVIK_METADATA_ADDRESS, TARVIK_METADATA_PORT); this file is built on its own so
// that a test build can link another address into the same system code.
#include "cloudinit/cloud_init.h"

#ifndef TARVIK_METADATA_ADDRESS
#define TARVIK_METADATA_ADDRESS "169.254.169.254"
#endif
#ifndef TARVIK_METADATA_PORT
#define TARVIK_METADATA_PORT 80
#endif

namespace tarvik {

const char* compiled_metadata_address() {
  return TARVIK_METADATA_ADDRESS;
}

uint16_t compiled_metadata_port() {
  return TARVIK_METADATA_PORT;
}

}  // namespace tarvik
