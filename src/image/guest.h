// Offline image preparation: the initialize command and the driver update of the
// offline installation.
#pragma once

namespace tarvik {

class guest {
 public:
  // The initialize command; the process exit code is 0 whatever it produced.
  static int initialize(int argc, char** argv);
  // ISO mode's "config <word> update_driver": the drivers of the offline installation.
  static int update_driver();
};

}  // namespace tarvik
