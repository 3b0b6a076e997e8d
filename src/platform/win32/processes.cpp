// Child processes: tools with captured output, diskpart with a script on its input,
// detached scripts, and the relaunch on the interactive desktop.
#include <algorithm>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

bool set_wow64_fs_redirection(bool enable) {
  using Fn = BOOLEAN(WINAPI*)(BOOLEAN);
  static const Fn fn = system_function<Fn>("Kernel32.dll", "Wow64EnableWow64FsRedirection");
  if (fn == nullptr) return false;
  fn(enable ? TRUE : FALSE);
  return true;
}

namespace {

#if !defined(_WIN64)
static_assert(sizeof(STARTUPINFOA) == 68, "a 32-bit STARTUPINFOA");
#endif

// An anonymous pipe whose both ends are inheritable to begin with.
struct Pipe {
  ScopedKernelHandle read, write;

  Status create() {
    SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &sa, 0)) return last_error_or(ERROR_GEN_FAILURE);
    read.reset(r);
    write.reset(w);
    return win::kSuccess;
  }
};

// Keeps the agent's end of a pipe out of the child.
void keep_from_child(const ScopedKernelHandle& h) {
  SetHandleInformation(h.get(), HANDLE_FLAG_INHERIT, 0);
}

struct Child {
  ScopedKernelHandle process, thread;
};

// CreateProcessA with the command line's first word found by the system's search,
// inherited handles, and WOW64 redirection off while the child is created.
Status start(std::string_view cmdline, STARTUPINFOA& si, const char* directory, Child& out) {
  std::string line = sz(cmdline);  // CreateProcessA may write into the command line
  PROCESS_INFORMATION pi = {};
  BOOL ok;
  DWORD error;
  {
    Wow64RedirectionOff off;
    ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, directory, &si,
                        &pi);
    error = GetLastError();
  }
  SecureZeroMemory(line.data(), line.size());  // a command line may carry a password
  if (!ok) return error != 0 ? error : ERROR_GEN_FAILURE;
  out.process.reset(pi.hProcess);
  out.thread.reset(pi.hThread);
  return win::kSuccess;
}

// Moves what waits in the pipe into captured (at most limit bytes kept, the rest read and
// dropped so the writer never blocks). Never blocks: reads only what is there.
void drain(HANDLE pipe, uint32_t limit, std::string& captured) {
  char buf[4096];
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr) || avail == 0) return;
    DWORD got = 0;
    if (!ReadFile(pipe, buf, std::min<DWORD>(avail, sizeof(buf)), &got, nullptr) || got == 0)
      return;
    if (captured.size() < limit)
      captured.append(buf, std::min<size_t>(got, limit - captured.size()));
  }
}

// Waits for the child up to wait_ms (INFINITE: without limit) while emptying its output
// pipe. A grandchild that inherited the pipe cannot hold the wait: it ends with the child.
// Returns true when the child has ended.
bool wait_reading(HANDLE process, HANDLE pipe, DWORD wait_ms, uint32_t limit,
                  std::string& captured) {
  const DWORD start = GetTickCount();
  for (;;) {
    drain(pipe, limit, captured);
    DWORD slice = 10;
    if (wait_ms != INFINITE) {
      DWORD spent = GetTickCount() - start;
      if (spent >= wait_ms)
        slice = 0;
      else
        slice = std::min<DWORD>(slice, wait_ms - spent);
    }
    if (WaitForSingleObject(process, slice) == WAIT_OBJECT_0) {
      drain(pipe, limit, captured);
      return true;
    }
    if (slice == 0) {
      drain(pipe, limit, captured);
      return false;
    }
  }
}

// The text up to the first NUL.
std::string up_to_nul(const std::string& bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

class Win32Processes final : public Processes {
 public:
  Status run(std::string_view cmdline, uint32_t limit, uint32_t& exit_code,
             std::string& output) override {
    Pipe out;
    if (Status s = out.create(); s != win::kSuccess) return s;
    keep_from_child(out.read);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = out.write.get();
    Child child;
    if (Status s = start(cmdline, si, nullptr, child); s != win::kSuccess) return s;
    out.write.reset();  // the child holds its own copy
    std::string captured;
    wait_reading(child.process.get(), out.read.get(), INFINITE, limit, captured);
    DWORD code = 0;
    if (!GetExitCodeProcess(child.process.get(), &code)) return last_error_or(ERROR_GEN_FAILURE);
    exit_code = code;
    output = up_to_nul(captured);
    return win::kSuccess;
  }

  Status run_with_input(std::string_view cmdline, std::string_view input, uint32_t wait_ms,
                        uint32_t limit, std::string& output) override {
    Pipe in, out;
    if (Status s = in.create(); s != win::kSuccess) return s;
    if (Status s = out.create(); s != win::kSuccess) return s;
    keep_from_child(in.write);
    keep_from_child(out.read);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.read.get();
    si.hStdOutput = si.hStdError = out.write.get();
    Child child;
    if (Status s = start(cmdline, si, nullptr, child); s != win::kSuccess) return s;
    in.read.reset();
    out.write.reset();
    // The script and one NUL in one write; then end of input.
    std::string script(input);
    script.push_back('\0');
    DWORD wrote = 0;
    if (!WriteFile(in.write.get(), script.data(), static_cast<DWORD>(script.size()), &wrote,
                   nullptr))
      return win::kSuccess;
    in.write.reset();
    std::string captured;
    wait_reading(child.process.get(), out.read.get(), wait_ms, limit, captured);
    output = up_to_nul(captured);
    return win::kSuccess;
  }

  Status start_detached(std::string_view cmdline, std::string_view output_file, uint32_t wait_ms,
                        uint32_t& exit_code) override {
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    ScopedFile log;
    std::string directory;
    if (!output_file.empty()) {
      SECURITY_ATTRIBUTES sa = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      log.reset(CreateFileA(sz(output_file).c_str(), GENERIC_ALL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (log) SetFilePointer(log.get(), 0, nullptr, FILE_END);
      si.hStdOutput = si.hStdError = log ? log.get() : nullptr;
      // The child works in the folder that holds its output file.
      size_t slash = output_file.find_last_of("\\/");
      if (slash != std::string_view::npos) directory = sz(output_file.substr(0, slash));
      if (directory.size() == 2 && directory[1] == ':') directory += '\\';
    }
    Child child;
    Status s = start(cmdline, si, directory.empty() ? nullptr : directory.c_str(), child);
    if (s != win::kSuccess) return s;
    WaitForSingleObject(child.process.get(), wait_ms);
    DWORD code = win::kStillActive;
    GetExitCodeProcess(child.process.get(), &code);
    exit_code = code;
    return win::kSuccess;
  }

  Status run_no_capture(std::string_view cmdline, uint32_t wait_ms, uint32_t& exit_code) override {
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    Child child;
    if (Status s = start(cmdline, si, nullptr, child); s != win::kSuccess) return s;
    WaitForSingleObject(child.process.get(), wait_ms);
    DWORD code = win::kStillActive;
    GetExitCodeProcess(child.process.get(), &code);
    exit_code = code;
    return win::kSuccess;
  }

  Status start_on_desktop(std::string_view cmdline, std::string_view desktop) override {
    std::string desk = sz(desktop);
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.lpDesktop = desk.data();
    Child child;
    return start(cmdline, si, nullptr, child);
  }

  void enable_wow64_fs_redirection(bool enable) override { set_wow64_fs_redirection(enable); }
};

}  // namespace

std::unique_ptr<Processes> make_processes() {
  return std::make_unique<Win32Processes>();
}

}  // namespace tarvik::win32
