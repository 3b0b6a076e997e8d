// System: identity of the machine and the process, privileges, CPUID, shutdown, named
// objects, drives, text conversions and the crash handler.
#include <intrin.h>

#include <cstring>
#include <vector>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

std::string narrow_from_wide(const wchar_t* wide, UINT codepage) {
  if (wide == nullptr) return {};
  int n = WideCharToMultiByte(codepage, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string buf(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codepage, 0, wide, -1, buf.data(), n, nullptr, nullptr);
  return buf.substr(0, buf.find('\0'));
}

namespace {

std::wstring wide_copy(std::u16string_view s) {
  return std::wstring(s.begin(), s.end());
}

std::string module_path() {
  char buf[1024] = {};
  GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return buf;
}

// The top-level filter: a full-memory dump beside the executable, then the process ends.
LONG WINAPI crash_dump_filter(EXCEPTION_POINTERS* info) {
  std::string path = module_path() + ".dmp";
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return EXCEPTION_CONTINUE_SEARCH;
  MINIDUMP_EXCEPTION_INFORMATION exception = {GetCurrentThreadId(), info, TRUE};
  MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpWithFullMemory,
                    &exception, nullptr, nullptr);
  CloseHandle(file);
  return EXCEPTION_EXECUTE_HANDLER;
}

LONG WINAPI stand_in_filter(EXCEPTION_POINTERS*) {
  return EXCEPTION_CONTINUE_SEARCH;
}

// Makes SetUnhandledExceptionFilter a function that returns NULL and changes nothing, so
// no library can take the top-level filter from us: xor eax,eax, then the return of the
// target's calling convention. On 32-bit x86 the function is stdcall and removes its one
// stack argument (ret 4); on x64 the argument comes in a register (ret).
void neutralise_set_filter() {
  void* target = system_function<void*>("kernel32.dll", "SetUnhandledExceptionFilter");
  if (target == nullptr) return;
#if defined(_WIN64)
  static const unsigned char kStub[] = {0x33, 0xC0, 0xC3};
#else
  static const unsigned char kStub[] = {0x33, 0xC0, 0xC2, 0x04, 0x00};
#endif
  // Code pages are not writable; the write is tried as is and, where the system refuses
  // it, once more with the page made writable for the moment.
  SIZE_T wrote = 0;
  if (WriteProcessMemory(GetCurrentProcess(), target, kStub, sizeof(kStub), &wrote)) return;
  DWORD old = 0;
  if (!VirtualProtect(target, sizeof(kStub), PAGE_EXECUTE_READWRITE, &old)) return;
  WriteProcessMemory(GetCurrentProcess(), target, kStub, sizeof(kStub), &wrote);
  VirtualProtect(target, sizeof(kStub), old, &old);
  FlushInstructionCache(GetCurrentProcess(), target, sizeof(kStub));
}

class Win32System final : public System {
 public:
  ~Win32System() override {
    for (HANDLE h : events_) CloseHandle(h);
  }

  std::string system_directory() override {
    char buf[MAX_PATH] = {};
    GetSystemDirectoryA(buf, MAX_PATH);
    return buf;
  }

  Status user_name(std::string& out) override {
    char buf[256] = {};
    DWORD n = sizeof(buf);
    if (!GetUserNameA(buf, &n)) return last_error_or(ERROR_GEN_FAILURE);
    out = buf;
    return win::kSuccess;
  }

  std::string program_path() override { return module_path(); }

  bool is_wow64() override {
#if defined(_WIN64)
    return true;  // 64-bit code runs on 64-bit Windows alone
#else
    using Fn = BOOL(WINAPI*)(HANDLE, PBOOL);
    Fn fn = system_function<Fn>("kernel32", "IsWow64Process");
    BOOL wow64 = FALSE;
    if (fn != nullptr && !fn(GetCurrentProcess(), &wow64)) wow64 = FALSE;
    return wow64 != FALSE;
#endif
  }

  Status enable_privilege(std::string_view name) override {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw))
      return last_error_or(ERROR_GEN_FAILURE);
    ScopedKernelHandle token(raw);
    TOKEN_PRIVILEGES tp = {};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueA(nullptr, sz(name).c_str(), &tp.Privileges[0].Luid))
      return last_error_or(ERROR_NO_SUCH_PRIVILEGE);
    if (!AdjustTokenPrivileges(token.get(), FALSE, &tp, 0, nullptr, nullptr))
      return last_error_or(ERROR_GEN_FAILURE);
    // The call succeeds also when the account does not hold the privilege.
    if (GetLastError() == ERROR_NOT_ALL_ASSIGNED) return win::kNotAllAssigned;
    return win::kSuccess;
  }

  CpuidRegs cpuid(uint32_t leaf) override {
    int r[4] = {};
    __cpuid(r, static_cast<int>(leaf));
    return CpuidRegs{static_cast<uint32_t>(r[0]), static_cast<uint32_t>(r[1]),
                     static_cast<uint32_t>(r[2]), static_cast<uint32_t>(r[3])};
  }

  Status total_memory(uint64_t& bytes) override {
    MEMORYSTATUSEX status = {};
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status)) return last_error_or(ERROR_GEN_FAILURE);
    bytes = status.ullTotalPhys;
    return win::kSuccess;
  }

  Status new_guid(Guid& out) override {
    GUID g;
    HRESULT hr = CoCreateGuid(&g);
    if (FAILED(hr)) return static_cast<Status>(hr);
    out.data1 = g.Data1;
    out.data2 = g.Data2;
    out.data3 = g.Data3;
    for (int i = 0; i < 8; ++i) out.data4[i] = g.Data4[i];
    return win::kSuccess;
  }

  void hide_console() override {
    HWND window = GetConsoleWindow();
    if (window != nullptr) ShowWindow(window, SW_HIDE);
  }

  Status reboot(bool force) override {
    if (!InitiateSystemShutdownExA(nullptr, nullptr, 0, force ? TRUE : FALSE, TRUE, 0x80000000))
      return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

  Status create_named_event(std::string_view name) override {
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, sz(name).c_str());
    if (h == nullptr) return last_error_or(ERROR_GEN_FAILURE);
    Status s = GetLastError() == ERROR_ALREADY_EXISTS ? win::kAlreadyExists : win::kSuccess;
    events_.push_back(h);  // held until the process ends: other processes look for it
    return s;
  }

  Status define_dos_device(std::string_view name, std::string_view target) override {
    if (!DefineDosDeviceA(0, sz(name).c_str(), sz(target).c_str()))
      return last_error_or(ERROR_GEN_FAILURE);
    return win::kSuccess;
  }

  std::vector<std::string> logical_drives() override {
    char buf[512] = {};
    DWORD n = GetLogicalDriveStringsA(sizeof(buf), buf);
    std::vector<std::string> roots;
    if (n == 0 || n >= sizeof(buf)) return roots;
    for (const char* p = buf; *p != '\0'; p += std::strlen(p) + 1) roots.emplace_back(p);
    return roots;
  }

  uint32_t process_id() override {
    return GetCurrentProcessId();
  }

  void install_crash_handler() override {
    static const bool installed = [] {
      SetUnhandledExceptionFilter(crash_dump_filter);
      neutralise_set_filter();
      return true;
    }();
    (void)installed;
  }

  bool replace_crash_handler() override {
    // Put a stand-in filter in place and then the old one back: the replacement took
    // effect when the second call hands back the stand-in.
    LPTOP_LEVEL_EXCEPTION_FILTER old = SetUnhandledExceptionFilter(stand_in_filter);
    LPTOP_LEVEL_EXCEPTION_FILTER back = SetUnhandledExceptionFilter(old);
    return back == stand_in_filter;
  }

  std::u16string to_wide(std::string_view narrow) override {
    std::string s = sz(narrow);
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring buf(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, buf.data(), n);
    buf.resize(buf.find(L'\0'));
    return std::u16string(buf.begin(), buf.end());
  }

  std::string from_wide(std::u16string_view wide) override {
    return narrow_from_wide(wide_copy(wide).c_str(), CP_ACP);
  }

  std::string wide_to_utf8(std::u16string_view wide) override {
    return narrow_from_wide(wide_copy(wide).c_str(), CP_UTF8);
  }

  Status base64_decode(std::string_view text, std::string& out) override {
    std::string in(text);
    DWORD size = 0;
    if (!CryptStringToBinaryA(in.c_str(), static_cast<DWORD>(in.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr))
      return GetLastError();
    std::string bytes(size, '\0');
    if (size &&
        !CryptStringToBinaryA(in.c_str(), static_cast<DWORD>(in.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr)) {
      DWORD error = GetLastError();
      wipe(bytes);
      return error;
    }
    bytes.resize(size);
    out.assign(bytes);
    wipe(bytes);  // the decoded text is a password
    return 0;
  }

  void wipe(std::string& text) override {
    text.resize(text.capacity());
    SecureZeroMemory(text.data(), text.size());
    text.clear();
  }

 private:
  std::vector<HANDLE> events_;
};

}  // namespace

std::unique_ptr<System> make_system() {
  return std::make_unique<Win32System>();
}

}  // namespace tarvik::win32
