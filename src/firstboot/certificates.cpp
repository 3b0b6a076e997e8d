// The certificates that first boot adds to the machine's stores.
#include "firstboot/tarvik2.h"
#include "frame/utils.h"

namespace tarvik {

namespace {

constexpr size_t kCommandBuffer = 1024;

void add_certificate(const char* store, const std::string& folder, const char* file) {
  std::string cmd = strformat("certutil -addstore -f %s %s\\%s", store, folder.c_str(), file);
  if (cmd.size() >= kCommandBuffer) cmd.resize(kCommandBuffer - 1);
  std::string out;
  utils::run_cmd(cmd, out);
  utils::log("CInit::inst_cer cmd %s result %s", cmd.c_str(), out.c_str());
}

}  // namespace

void CInit::inst_cer() {
  // The certificates lie in the agent's own folder.
  std::string folder = platform().system().program_path();
  size_t slash = folder.find_last_of('\\');
  folder = slash == std::string::npos ? std::string() : folder.substr(0, slash);

  add_certificate("TrustedPublisher", folder, "kovenu.cer");
  std::string tag, arch;
  utils::osinfo(tag, arch);
  // Server 2008 lacks these roots; 2008 R2 carries the tag win7 and has them.
  if (contains_nocase(tag, "2008")) {
    add_certificate("root", folder, "globalsign.cer");
    add_certificate("root", folder, "verisign.cer");
  }
}

}  // namespace tarvik
