// tarvik.exe: the agent on Windows.
#include "frame/entry.h"
#include "platform/win32/platform.h"

int main(int argc, char** argv) {
  tarvik::install_platform(tarvik::win32::make_platform());
  return tarvik::run_agent(argc, argv);
}
