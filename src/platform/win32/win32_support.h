// The one place where the Windows headers enter the program, and the small helpers the
// Win32 backend shares: move-only owners of handles, keys, find handles and sockets.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// winsock2.h comes before windows.h; the rest need windows.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <dbghelp.h>
#include <iphlpapi.h>
#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <winioctl.h>
// clang-format on

#include <string>
#include <string_view>

#include "platform/port.h"

namespace tarvik::win32 {

// Owns one handle of the kind Traits describes and closes it when it goes. Closing
// never changes the thread's last error, so code may close and then read GetLastError.
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() = default;
  explicit ScopedHandle(Handle h) : h_(h) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& o) noexcept : h_(o.release()) {}
  ScopedHandle& operator=(ScopedHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }

  Handle get() const { return h_; }
  bool valid() const { return Traits::is_valid(h_); }
  explicit operator bool() const { return valid(); }

  Handle release() {
    Handle h = h_;
    h_ = Traits::invalid();
    return h;
  }
  void reset(Handle h = Traits::invalid()) {
    if (Traits::is_valid(h_)) {
      DWORD error = GetLastError();
      int wsa_error = Traits::kSocket ? WSAGetLastError() : 0;
      Traits::close(h_);
      if (Traits::kSocket) WSASetLastError(wsa_error);
      SetLastError(error);
    }
    h_ = h;
  }
  // For calls that return the handle through a pointer: closes the current one first.
  Handle* receive() {
    reset();
    return &h_;
  }

 private:
  Handle h_ = Traits::invalid();
};

// Kernel objects whose creators return NULL on failure (processes, threads, pipes,
// events). INVALID_HANDLE_VALUE is GetCurrentProcess(), never owned, so not valid here.
struct KernelTraits {
  using Handle = HANDLE;
  static constexpr bool kSocket = false;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { CloseHandle(h); }
};

// Files and devices: CreateFileA returns INVALID_HANDLE_VALUE on failure.
struct FileTraits {
  using Handle = HANDLE;
  static constexpr bool kSocket = false;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { CloseHandle(h); }
};

struct FindTraits {
  using Handle = HANDLE;
  static constexpr bool kSocket = false;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { FindClose(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static constexpr bool kSocket = false;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle h) { return h != nullptr; }
  static void close(Handle h) { RegCloseKey(h); }
};

struct SocketTraits {
  using Handle = SOCKET;
  static constexpr bool kSocket = true;
  static Handle invalid() { return INVALID_SOCKET; }
  static bool is_valid(Handle h) { return h != INVALID_SOCKET; }
  static void close(Handle h) { closesocket(h); }
};

struct ServiceTraits {
  using Handle = SC_HANDLE;
  static constexpr bool kSocket = false;
  static Handle invalid() { return nullptr; }
  static bool is_valid(Handle h) { return h != nullptr; }
  static void close(Handle h) { CloseServiceHandle(h); }
};

struct DevInfoTraits {
  using Handle = HDEVINFO;
  static constexpr bool kSocket = false;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool is_valid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};

using ScopedKernelHandle = ScopedHandle<KernelTraits>;
using ScopedFile = ScopedHandle<FileTraits>;
using ScopedFind = ScopedHandle<FindTraits>;
using ScopedKey = ScopedHandle<RegKeyTraits>;
using ScopedSocket = ScopedHandle<SocketTraits>;
using ScopedService = ScopedHandle<ServiceTraits>;
using ScopedDevInfo = ScopedHandle<DevInfoTraits>;

// A NUL-terminated copy of a view, for the narrow "A" calls.
inline std::string sz(std::string_view s) {
  return std::string(s);
}

// GetLastError as a Status, never 0: a call that failed without saying why still fails.
inline Status last_error_or(Status fallback) {
  DWORD e = GetLastError();
  return e != 0 ? e : fallback;
}

// Wide text (NUL-terminated, may be null) in a narrow code page, up to its NUL.
std::string narrow_from_wide(const wchar_t* wide, UINT codepage);

// Wow64EnableWow64FsRedirection, looked up at run time; false where the system lacks it.
bool set_wow64_fs_redirection(bool enable);

// Turns WOW64 file-system redirection off for its lifetime (where the system has it).
class Wow64RedirectionOff {
 public:
  Wow64RedirectionOff() : active_(set_wow64_fs_redirection(false)) {}
  ~Wow64RedirectionOff() {
    if (active_) {
      DWORD error = GetLastError();
      set_wow64_fs_redirection(true);
      SetLastError(error);
    }
  }
  Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
  Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

 private:
  bool active_;
};

// Looks up an export of a loaded system module at run time.
template <typename Fn>
Fn system_function(const char* module, const char* name) {
  HMODULE m = GetModuleHandleA(module);
  if (m == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

}  // namespace tarvik::win32
