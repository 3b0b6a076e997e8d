// Services: the service control manager.
#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

class Win32Services final : public Services {
 public:
  Status open(std::string_view name) override {
    ScopedService scm, svc;
    return open_service(name, scm, svc);
  }

  Status start(std::string_view name) override {
    ScopedService scm, svc;
    if (Status s = open_service(name, scm, svc); s != win::kSuccess) return s;
    if (!StartServiceA(svc.get(), 0, nullptr)) return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

 private:
  static Status open_service(std::string_view name, ScopedService& scm, ScopedService& svc) {
    scm.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm) return last_error_or(ERROR_GEN_FAILURE);
    svc.reset(OpenServiceA(scm.get(), sz(name).c_str(), SERVICE_ALL_ACCESS));
    if (!svc) return last_error_or(ERROR_SERVICE_DOES_NOT_EXIST);
    return win::kSuccess;
  }
};

}  // namespace

std::unique_ptr<Services> make_services() {
  return std::make_unique<Win32Services>();
}

}  // namespace tarvik::win32
