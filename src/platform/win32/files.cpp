// Files, folders, profile (INI) functions and version resources.
#include <algorithm>
#include <cstdlib>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Writes all of data at the handle's current position.
Status write_all(HANDLE h, std::string_view data) {
  while (!data.empty()) {
    DWORD wrote = 0;
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size(), 1u << 20));
    if (!WriteFile(h, data.data(), chunk, &wrote, nullptr)) return last_error_or(ERROR_WRITE_FAULT);
    if (wrote == 0) return ERROR_WRITE_FAULT;
    data.remove_prefix(wrote);
  }
  return win::kSuccess;
}

class Win32AppendFile final : public AppendFile {
 public:
  explicit Win32AppendFile(ScopedFile f) : file_(std::move(f)) {}
  Status append(std::string_view data) override {
    if (SetFilePointer(file_.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR)
      return GetLastError();
    return write_all(file_.get(), data);
  }

 private:
  ScopedFile file_;
};

// Windows refuses to replace or overwrite a read-only file. The backend asks first, so
// the refusal does not depend on the file system below (under Wine run as root the
// replacement would go through).
bool read_only(std::string_view path) {
  DWORD a = GetFileAttributesA(sz(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0;
}

class Win32Files final : public Files {
 public:
  bool exists(std::string_view path) override {
    bool found = PathFileExistsA(sz(path).c_str()) != FALSE;
    if (!found) remember();
    return found;
  }

  Status get_attributes(std::string_view path, uint32_t& out) override {
    DWORD a = GetFileAttributesA(sz(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return fail(ERROR_FILE_NOT_FOUND);
    out = a;
    return win::kSuccess;
  }

  Status set_attributes(std::string_view path, uint32_t attributes) override {
    return check(SetFileAttributesA(sz(path).c_str(), attributes));
  }

  Status create_directory(std::string_view path) override {
    return check(CreateDirectoryA(sz(path).c_str(), nullptr));
  }

  Status create_directories(std::string_view path) override {
    int rc = SHCreateDirectoryExA(nullptr, sz(path).c_str(), nullptr);
    return rc == ERROR_SUCCESS ? win::kSuccess : note(static_cast<Status>(rc));
  }

  Status remove_directory(std::string_view path) override {
    return check(RemoveDirectoryA(sz(path).c_str()));
  }

  Status delete_file(std::string_view path) override {
    return check(DeleteFileA(sz(path).c_str()));
  }

  Status copy_file(std::string_view from, std::string_view to, bool fail_if_exists) override {
    if (!fail_if_exists && read_only(to) && exists(from)) return note(ERROR_ACCESS_DENIED);
    return check(CopyFileA(sz(from).c_str(), sz(to).c_str(), fail_if_exists ? TRUE : FALSE));
  }

  Status move_file(std::string_view from, std::string_view to, bool replace) override {
    if (replace && read_only(to) && exists(from)) return note(ERROR_ACCESS_DENIED);
    DWORD flags = MOVEFILE_COPY_ALLOWED | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return check(MoveFileExA(sz(from).c_str(), sz(to).c_str(), flags));
  }

  Status list(std::string_view folder, std::string_view pattern,
              std::vector<DirEntry>& out) override {
    std::string search(folder);
    if (!search.empty() && search.back() != '\\' && search.back() != '/') search += '\\';
    search += pattern;
    WIN32_FIND_DATAA fd;
    ScopedFind find(FindFirstFileA(search.c_str(), &fd));
    if (!find) return fail(ERROR_FILE_NOT_FOUND);
    std::vector<DirEntry> entries;
    do {
      DirEntry e;
      e.name = fd.cFileName;
      e.attributes = fd.dwFileAttributes;
      e.size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
      entries.push_back(std::move(e));
    } while (FindNextFileA(find.get(), &fd));
    if (GetLastError() != ERROR_NO_MORE_FILES) return fail(ERROR_NO_MORE_FILES);
    out = std::move(entries);
    return win::kSuccess;
  }

  Status read_file(std::string_view path, std::string& out) override {
    ScopedFile f(CreateFileA(sz(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return fail(ERROR_FILE_NOT_FOUND);
    std::string data;
    char buf[65536];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(f.get(), buf, sizeof(buf), &got, nullptr)) return fail(ERROR_READ_FAULT);
      if (got == 0) break;
      data.append(buf, got);
    }
    out = std::move(data);
    return win::kSuccess;
  }

  Status write_file(std::string_view path, std::string_view data) override {
    if (read_only(path)) return note(ERROR_ACCESS_DENIED);
    ScopedFile f(CreateFileA(sz(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return fail(ERROR_ACCESS_DENIED);
    return note(write_all(f.get(), data));
  }

  Status open_append(std::string_view path, std::unique_ptr<AppendFile>& out) override {
    ScopedFile f(CreateFileA(sz(path).c_str(), GENERIC_ALL, kShareAll, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return fail(ERROR_ACCESS_DENIED);
    out = std::make_unique<Win32AppendFile>(std::move(f));
    return win::kSuccess;
  }

  Status file_version(std::string_view path, FileVersion& out, VersionStep& step) override {
    std::string p = sz(path);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(p.c_str(), &ignored);
    if (size == 0) {
      step = VersionStep::kSize;
      return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    void* block = std::malloc(size);
    if (block == nullptr) {
      step = VersionStep::kAlloc;
      return note(win::kNotEnoughMemory);
    }
    Status s = win::kSuccess;
    void* info = nullptr;
    UINT len = 0;
    if (!GetFileVersionInfoA(p.c_str(), 0, size, block)) {
      step = VersionStep::kInfo;
      s = fail(ERROR_RESOURCE_DATA_NOT_FOUND);
    } else if (!VerQueryValueA(block, "\\", &info, &len)) {
      step = VersionStep::kQuery;
      s = fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
    } else if (len != sizeof(VS_FIXEDFILEINFO)) {
      step = VersionStep::kLength;
      s = note(win::kInvalidData);
    } else {
      const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(info);
      out.major = HIWORD(fixed->dwFileVersionMS);
      out.minor = LOWORD(fixed->dwFileVersionMS);
      out.build = HIWORD(fixed->dwFileVersionLS);
      out.revision = LOWORD(fixed->dwFileVersionLS);
      step = VersionStep::kNone;
    }
    std::free(block);
    return s;
  }

  uint32_t profile_get(const char* section, const char* key, const char* def, std::string& out,
                       uint32_t size, std::string_view file) override {
    std::string buf(size == 0 ? 1 : size, '\0');
    SetLastError(NO_ERROR);
    DWORD n = GetPrivateProfileStringA(section, key, def, buf.data(), size, sz(file).c_str());
    remember();
    // A list (null section or key) is NUL-separated with each name followed by NUL; n
    // counts those NULs but not the list's final one.
    out.assign(buf.data(), std::min<size_t>(n, buf.size()));
    return n;
  }

  bool profile_set(const char* section, const char* key, const char* value,
                   std::string_view file) override {
    // All three null flushes the system's cache of profile files; file is not used then.
    BOOL ok = section == nullptr && key == nullptr && value == nullptr
                  ? WritePrivateProfileStringA(nullptr, nullptr, nullptr, sz(file).c_str())
                  : WritePrivateProfileStringA(section, key, value, sz(file).c_str());
    if (!ok) remember();
    return ok != FALSE;
  }

  Status last_error() override { return last_error_; }

 private:
  void remember() { last_error_ = GetLastError(); }
  Status note(Status s) {
    if (s != win::kSuccess) last_error_ = s;
    return s;
  }
  // The call failed: its GetLastError, or fallback when the system gave none.
  Status fail(Status fallback) { return note(last_error_or(fallback)); }
  Status check(BOOL ok) { return ok ? win::kSuccess : fail(ERROR_GEN_FAILURE); }

  Status last_error_ = win::kSuccess;
};

}  // namespace

std::unique_ptr<Files> make_files() {
  return std::make_unique<Win32Files>();
}

}  // namespace tarvik::win32
