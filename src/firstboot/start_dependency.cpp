// The network services the replayed configuration relies on.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

void tarvik2::start_dependency() {
  utils::log("-->tarvik2::start dependency");
  // The start commands carry two blanks after "start", as sc takes them.
  static const char* const kCommands[] = {"sc config iphlpsvc start= auto",
                                          "sc config dhcp start= auto",
                                          "sc config dnscache start= auto",
                                          "sc start  iphlpsvc",
                                          "sc start  dhcp",
                                          "sc start  dnscache"};
  for (const char* cmd : kCommands) {
    std::string out;
    int code = utils::run_cmd(cmd, out);
    utils::log("cmd:%s  code:%d  out:%s", cmd, code, out.c_str());
  }
}

}  // namespace tarvik
