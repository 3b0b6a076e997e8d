// The first-boot work of the agent's service.
#pragma once

namespace tarvik {

class tarvik2 {
 public:
  static int dowork();
  // Whether driver injection left drivers for dpinst ("dpinst" under "update" of
  // C:\ProgramData\kovenu\tarvik\tarvik.ini is "1").
  static bool check_dpinst();
};

}  // namespace tarvik
