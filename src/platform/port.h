// The platform port: everything the agent asks of the operating system.
//
// System code (frame, config, cloudinit, disk, image, firstboot) reaches Windows only
// through these interfaces. They speak Windows semantics: Windows paths ("C:\a\b"),
// Windows error codes (0, 2, 5, 259, ...), HKLM key paths, narrow text in the active
// code page. The win32 backend maps them onto the real calls; the sim backend onto a
// simulated machine kept in a folder.
//
// A method that can fail returns a Status (a Windows error code, 0 = success) and leaves
// its out-parameters untouched on failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

using Status = uint32_t;

// Windows error codes the agent meets.
namespace win {
inline constexpr Status kSuccess = 0;
inline constexpr Status kFileNotFound = 2;
inline constexpr Status kPathNotFound = 3;
inline constexpr Status kAccessDenied = 5;
inline constexpr Status kInvalidHandle = 6;
inline constexpr Status kNotEnoughMemory = 8;
inline constexpr Status kBadFormat = 11;
inline constexpr Status kInvalidData = 13;
inline constexpr Status kSharingViolation = 32;
inline constexpr Status kNotSupported = 50;
inline constexpr Status kFileExists = 80;
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kBrokenPipe = 109;
inline constexpr Status kBufferOverflow = 111;
inline constexpr Status kInsufficientBuffer = 122;
inline constexpr Status kInvalidName = 123;
inline constexpr Status kDirNotEmpty = 145;
inline constexpr Status kBusy = 170;
inline constexpr Status kAlreadyExists = 183;
inline constexpr Status kNoData = 232;
inline constexpr Status kMoreData = 234;
inline constexpr Status kWaitTimeout = 258;
inline constexpr Status kNoMoreItems = 259;
inline constexpr Status kBadRegistry = 1009;
inline constexpr Status kBadKey = 1010;
inline constexpr Status kCantOpen = 1011;
inline constexpr Status kCantRead = 1012;
inline constexpr Status kCantWrite = 1013;
inline constexpr Status kRegistryCorrupt = 1015;
inline constexpr Status kKeyDeleted = 1018;
inline constexpr Status kServiceDoesNotExist = 1060;
inline constexpr Status kServiceAlreadyRunning = 1056;
inline constexpr Status kNotAllAssigned = 1300;
inline constexpr Status kNoSuchPrivilege = 1313;
inline constexpr Status kPrivilegeNotHeld = 1314;
inline constexpr Status kConnectionRefused = 10061;
inline constexpr Status kTimedOut = 10060;
inline constexpr Status kStillActive = 259;  // GetExitCodeProcess of a running child
}  // namespace win

// ---------------------------------------------------------------------------------------
// Registry

namespace reg {
inline constexpr uint32_t kNone = 0;
inline constexpr uint32_t kSz = 1;
inline constexpr uint32_t kExpandSz = 2;
inline constexpr uint32_t kBinary = 3;
inline constexpr uint32_t kDword = 4;
inline constexpr uint32_t kMultiSz = 7;
inline constexpr uint32_t kQword = 11;

// Access rights, passed through to the system as given.
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;
inline constexpr uint32_t kGenericAll = 0x10000000;
inline constexpr uint32_t kMaximumAllowed = 0x02000000;
inline constexpr uint32_t kWow64_64Key = 0x0100;  // the 64-bit view of SOFTWARE
inline constexpr uint32_t kWow64_32Key = 0x0200;

// Options of create.
inline constexpr uint32_t kOptionNonVolatile = 0;
inline constexpr uint32_t kOptionVolatile = 1;
}  // namespace reg

// A value as stored: its type and its bytes, exactly (text values keep their NUL).
struct RegValue {
  uint32_t type = reg::kNone;
  std::string data;

  static RegValue text(std::string_view s, uint32_t type = reg::kSz);
  static RegValue dword(uint32_t v);
  // The value read as text: the bytes up to the first NUL.
  std::string as_text() const;
  // The value read as a DWORD (the first four bytes, little-endian); false if shorter.
  bool as_dword(uint32_t& out) const;
};

// One open key. Backends implement it; system code holds it through RegKey.
class RegKeyImpl {
 public:
  virtual ~RegKeyImpl() = default;
  virtual Status open(std::string_view subkey, uint32_t access,
                      std::unique_ptr<RegKeyImpl>& out) = 0;
  virtual Status create(std::string_view subkey, uint32_t options, uint32_t access,
                        std::unique_ptr<RegKeyImpl>& out) = 0;
  virtual Status query(std::string_view name, RegValue& out) = 0;
  virtual Status set(std::string_view name, const RegValue& value) = 0;
  virtual Status delete_value(std::string_view name) = 0;
  // Deletes subkey with all that lies below it (SHDeleteKeyA).
  virtual Status delete_tree(std::string_view subkey) = 0;
  // Name of the index-th subkey (RegEnumKeyA); kNoMoreItems past the end.
  virtual Status enum_subkey(uint32_t index, std::string& name) = 0;
};

// Move-only owner of an open key; closes it when it goes.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(std::unique_ptr<RegKeyImpl> impl) : impl_(std::move(impl)) {}
  bool valid() const { return impl_ != nullptr; }
  explicit operator bool() const { return valid(); }
  void close() { impl_.reset(); }

  Status open(std::string_view subkey, uint32_t access, RegKey& out) const;
  Status create(std::string_view subkey, uint32_t options, uint32_t access, RegKey& out) const;
  Status query(std::string_view name, RegValue& out) const;
  // The value's text (up to its NUL) or its DWORD, when it has that form.
  Status query_text(std::string_view name, std::string& out) const;
  Status query_dword(std::string_view name, uint32_t& out) const;
  Status set(std::string_view name, const RegValue& value) const;
  Status set_text(std::string_view name, std::string_view text) const;
  Status set_dword(std::string_view name, uint32_t value) const;
  Status delete_value(std::string_view name) const;
  Status delete_tree(std::string_view subkey) const;
  Status enum_subkey(uint32_t index, std::string& name) const;

 private:
  std::unique_ptr<RegKeyImpl> impl_;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // HKEY_LOCAL_MACHINE itself (never fails).
  virtual RegKey hklm() = 0;
  // RegLoadKeyA / RegUnLoadKeyA under HKEY_LOCAL_MACHINE.
  virtual Status load_hive(std::string_view name, std::string_view file) = 0;
  virtual Status unload_hive(std::string_view name) = 0;

  // Shorthands on HKEY_LOCAL_MACHINE.
  Status open(std::string_view path, uint32_t access, RegKey& out);
  Status create(std::string_view path, uint32_t options, uint32_t access, RegKey& out);
};

// ---------------------------------------------------------------------------------------
// Files

namespace attr {
inline constexpr uint32_t kReadOnly = 0x01;
inline constexpr uint32_t kHidden = 0x02;
inline constexpr uint32_t kSystem = 0x04;
inline constexpr uint32_t kDirectory = 0x10;
inline constexpr uint32_t kArchive = 0x20;
inline constexpr uint32_t kNormal = 0x80;
inline constexpr uint32_t kInvalid = 0xFFFFFFFF;
}  // namespace attr

struct DirEntry {
  std::string name;  // as stored, including "." and ".." where the system lists them
  uint32_t attributes = 0;
  uint64_t size = 0;
};

struct FileVersion {
  uint16_t major = 0, minor = 0, build = 0, revision = 0;
};

// Which step of reading a version resource failed (the callers log each differently).
enum class VersionStep { kNone, kSize, kAlloc, kInfo, kQuery, kLength };

// A file opened for appending, shared for read, write and delete (the log file).
class AppendFile {
 public:
  virtual ~AppendFile() = default;
  // Moves to the current end and writes all of data.
  virtual Status append(std::string_view data) = 0;
};

class Files {
 public:
  virtual ~Files() = default;
  virtual bool exists(std::string_view path) = 0;  // PathFileExistsA
  virtual Status get_attributes(std::string_view path, uint32_t& out) = 0;
  virtual Status set_attributes(std::string_view path, uint32_t attributes) = 0;
  virtual Status create_directory(std::string_view path) = 0;    // one level
  virtual Status create_directories(std::string_view path) = 0;  // with missing parents
  virtual Status remove_directory(std::string_view path) = 0;    // empty folder
  virtual Status delete_file(std::string_view path) = 0;
  virtual Status copy_file(std::string_view from, std::string_view to, bool fail_if_exists) = 0;
  virtual Status move_file(std::string_view from, std::string_view to, bool replace) = 0;
  // Entries of folder matching pattern (FindFirstFileA of folder\pattern).
  virtual Status list(std::string_view folder, std::string_view pattern,
                      std::vector<DirEntry>& out) = 0;
  virtual Status read_file(std::string_view path, std::string& out) = 0;
  virtual Status write_file(std::string_view path, std::string_view data) = 0;  // CREATE_ALWAYS
  virtual Status open_append(std::string_view path, std::unique_ptr<AppendFile>& out) = 0;
  // The VS_FIXEDFILEINFO of a file; on failure step says where it stopped.
  virtual Status file_version(std::string_view path, FileVersion& out, VersionStep& step) = 0;

  // Profile (INI) functions with the system's semantics. A null section, key or value
  // has the meaning it has for GetPrivateProfileStringA / WritePrivateProfileStringA:
  // a null key lists the section's keys as NUL-separated text (each followed by NUL),
  // a null value deletes the key, all three null flushes the cache. size is the
  // caller's buffer size: the result is cut as the system cuts it.
  virtual uint32_t profile_get(const char* section, const char* key, const char* def,
                               std::string& out, uint32_t size, std::string_view file) = 0;
  virtual bool profile_set(const char* section, const char* key, const char* value,
                           std::string_view file) = 0;
  // The last error of the last failing call of this interface (GetLastError).
  virtual Status last_error() = 0;
};

// Text without regard to the case of ASCII letters, as the system's narrow compare and
// search functions treat it (lstrcmpiA, StrStrIA).
bool equals_nocase(std::string_view a, std::string_view b);
bool contains_nocase(std::string_view text, std::string_view part);
// The whole text against a glob of "*" and "?", without regard to case.
bool glob_match(std::string_view text, std::string_view pattern);
// PathMatchSpecA: glob_match, where "*.*" matches every name and "x.*" a name without
// extension too.
bool path_match_spec(std::string_view name, std::string_view pattern);

// ---------------------------------------------------------------------------------------
// Processes

class Processes {
 public:
  virtual ~Processes() = default;
  // Starts cmdline (the system's search for the first word) with standard output and
  // error going into one pipe, no standard input, and waits for it without limit while
  // reading the pipe, so a child that writes megabytes never blocks. output receives the
  // first `limit` bytes, up to the first NUL. Returns 0 and sets exit_code when the
  // child ran, else the error of the start; output and exit_code are then untouched.
  // WOW64 file-system redirection is off while the child is created.
  virtual Status run(std::string_view cmdline, uint32_t limit, uint32_t& exit_code,
                     std::string& output) = 0;
  // Starts cmdline with input on its standard input (followed by one NUL byte, as the
  // agent writes a script), waits up to wait_ms, then takes up to `limit` bytes of what
  // it wrote. Returns the start error, or 0.
  virtual Status run_with_input(std::string_view cmdline, std::string_view input, uint32_t wait_ms,
                                uint32_t limit, std::string& output) = 0;
  // Starts cmdline detached, standard output and error appended to output_file, waits up
  // to wait_ms; exit_code is the child's code, or kStillActive if it is still running.
  virtual Status start_detached(std::string_view cmdline, std::string_view output_file,
                                uint32_t wait_ms, uint32_t& exit_code) = 0;
  // Starts cmdline with the agent's own standard handles, waits up to wait_ms.
  virtual Status run_no_capture(std::string_view cmdline, uint32_t wait_ms,
                                uint32_t& exit_code) = 0;
  // Starts cmdline on desktop (for example "winsta0\default") and returns at once.
  virtual Status start_on_desktop(std::string_view cmdline, std::string_view desktop) = 0;
  // Wow64EnableWow64FsRedirection where the system has it; nothing elsewhere.
  virtual void enable_wow64_fs_redirection(bool enable) = 0;
};

// ---------------------------------------------------------------------------------------
// Network

struct AdapterInfo {  // GetAdaptersInfo
  uint32_t index = 0;
  std::string description;
  std::string address;  // hardware address bytes
  std::vector<std::string> ipv4;
};

struct AdapterAddresses {     // GetAdaptersAddresses
  std::string friendly_name;  // converted to the active code page
  std::string adapter_name;   // the interface identifier, "{...}"
  std::string description;    // converted to the active code page
  std::string address;        // hardware address bytes
  uint32_t index = 0;
};

class Network {
 public:
  virtual ~Network() = default;
  // kNoData when the system has no adapter (yet).
  virtual Status adapters_info(std::vector<AdapterInfo>& out) = 0;
  virtual Status adapters_addresses(std::vector<AdapterAddresses>& out) = 0;
  virtual Status startup() = 0;  // WSAStartup 2.2
  virtual Status host_name(std::string& out) = 0;
  // The IPv4 addresses the resolver gives for name, dotted.
  virtual Status resolve_ipv4(std::string_view name, std::vector<std::string>& out) = 0;
  // One TCP connect to server:port, bound to local (dotted, port 0) unless it is empty.
  virtual Status tcp_connect(std::string_view local, std::string_view server, uint16_t port) = 0;
  // Where this machine's platform puts the metadata service, when it overrides the
  // address compiled into the agent: "a.b.c.d" or "a.b.c.d:port"; empty otherwise.
  virtual std::string metadata_address() = 0;
};

// ---------------------------------------------------------------------------------------
// Clock

struct LocalTime {
  int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void sleep_ms(uint32_t ms) = 0;
  virtual LocalTime local_time() = 0;
  virtual uint32_t tick_count() = 0;  // milliseconds since start
  virtual int64_t unix_seconds() = 0;
};

// ---------------------------------------------------------------------------------------
// System

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0, data3 = 0;
  uint8_t data4[8] = {};
};

struct CpuidRegs {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

class System {
 public:
  virtual ~System() = default;
  virtual std::string system_directory() = 0;  // "C:\Windows\system32"
  virtual Status user_name(std::string& out) = 0;
  virtual std::string program_path() = 0;  // the agent's own full path
  // True on 64-bit Windows: the 32-bit agent asks IsWow64Process of its own process; a
  // 64-bit build answers true without asking.
  virtual bool is_wow64() = 0;
  // Enables a privilege of the process token; 0, or the error (kNotAllAssigned when
  // the account does not hold it).
  virtual Status enable_privilege(std::string_view name) = 0;
  virtual CpuidRegs cpuid(uint32_t leaf) = 0;
  virtual Status total_memory(uint64_t& bytes) = 0;
  virtual Status new_guid(Guid& out) = 0;
  virtual void hide_console() = 0;
  virtual Status reboot(bool force) = 0;
  // Creates a named event (kAlreadyExists when it already was there; the handle is kept).
  virtual Status create_named_event(std::string_view name) = 0;
  virtual Status define_dos_device(std::string_view name, std::string_view target) = 0;
  // "C:\", "D:\", ... of every drive present.
  virtual std::vector<std::string> logical_drives() = 0;
  virtual uint32_t process_id() = 0;
  // Installs the process's crash handler: an unhandled fault writes a dump to
  // program_path() + ".dmp" and ends the process; later attempts to replace the
  // top-level handler change nothing.
  virtual void install_crash_handler() = 0;
  // Tries to replace the top-level crash handler as a library would; true when the
  // replacement took effect.
  virtual bool replace_crash_handler() = 0;
  // Active code page conversions.
  virtual std::u16string to_wide(std::string_view narrow) = 0;     // CP_ACP
  virtual std::string from_wide(std::u16string_view wide) = 0;     // to CP_ACP
  virtual std::string wide_to_utf8(std::u16string_view wide) = 0;  // CP_UTF8
  // Base64 text (standard alphabet) decoded as CryptStringToBinaryA with
  // CRYPT_STRING_BASE64 decodes it: 0 and out set, or the error for text it refuses.
  virtual Status base64_decode(std::string_view text, std::string& out) = 0;
  // Overwrites every byte of text's buffer, to its capacity, with zeros in a way the
  // compiler keeps (SecureZeroMemory), then empties it: a secret leaves no copy in the
  // process's memory, and so none in a crash dump.
  virtual void wipe(std::string& text) = 0;
};

// ---------------------------------------------------------------------------------------
// Console and serial port

class SerialPort {
 public:
  virtual ~SerialPort() = default;
  // GetCommState/SetCommState with 9600 baud, 8 data bits, no parity, one stop bit.
  virtual Status get_state() = 0;
  virtual Status set_line(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits) = 0;
  virtual Status set_timeouts(uint32_t read_interval, uint32_t read_multiplier,
                              uint32_t read_constant, uint32_t write_multiplier,
                              uint32_t write_constant) = 0;
  virtual Status write(std::string_view bytes) = 0;
};

class Console {
 public:
  virtual ~Console() = default;
  virtual void write_stdout(std::string_view text) = 0;
  // Opens "COM1" (read and write, no sharing, OPEN_EXISTING).
  virtual Status open_serial(std::string_view name, std::unique_ptr<SerialPort>& out) = 0;
};

// ---------------------------------------------------------------------------------------
// Devices

struct PartitionEntry {
  uint8_t mbr_type = 0;  // MBR disks
  std::string gpt_type;  // GPT disks: lower-case "{xxxxxxxx-...}"
};

struct DriveLayout {
  uint32_t style = 2;  // 0 MBR, 1 GPT, 2 raw
  std::vector<PartitionEntry> partitions;
};

// The size in bytes of DRIVE_LAYOUT_INFORMATION_EX with n partition entries.
uint32_t drive_layout_bytes(uint32_t entries);

class Disk {
 public:
  virtual ~Disk() = default;
  virtual Status device_number(uint32_t& out) = 0;  // IOCTL_STORAGE_GET_DEVICE_NUMBER
  // IOCTL_DISK_GET_DRIVE_LAYOUT_EX into a buffer of buffer_bytes; kInsufficientBuffer
  // when it does not hold every entry.
  virtual Status drive_layout(uint32_t buffer_bytes, DriveLayout& out) = 0;
};

struct DeviceInfo {
  std::string hardware_id;  // the first string of SPDRP_HARDWAREID
  bool has_install_state = false;
  uint32_t install_state = 0;
};

class Devices {
 public:
  virtual ~Devices() = default;
  // Device paths of the present disk interfaces, in enumeration order.
  virtual Status disk_interfaces(std::vector<std::string>& paths) = 0;
  // Opens a device path or "\\.\C:" for device I/O controls.
  virtual Status open(std::string_view path, std::unique_ptr<Disk>& out) = 0;
  virtual Status present_devices(std::vector<DeviceInfo>& out) = 0;
};

// ---------------------------------------------------------------------------------------
// Services

class Services {
 public:
  virtual ~Services() = default;
  // OpenSCManager + OpenService with all access: 0 when the service exists.
  virtual Status open(std::string_view name) = 0;
  virtual Status start(std::string_view name) = 0;
};

// ---------------------------------------------------------------------------------------

class Platform {
 public:
  virtual ~Platform() = default;
  virtual Registry& registry() = 0;
  virtual Files& files() = 0;
  virtual Processes& processes() = 0;
  virtual Network& network() = 0;
  virtual Clock& clock() = 0;
  virtual System& system() = 0;
  virtual Console& console() = 0;
  virtual Devices& devices() = 0;
  virtual Services& services() = 0;
};

// A platform made of one object per service; each backend fills in the parts.
class ServicePlatform : public Platform {
 public:
  struct Parts {
    std::unique_ptr<Registry> registry;
    std::unique_ptr<Files> files;
    std::unique_ptr<Processes> processes;
    std::unique_ptr<Network> network;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<System> system;
    std::unique_ptr<Console> console;
    std::unique_ptr<Devices> devices;
    std::unique_ptr<Services> services;
  };
  explicit ServicePlatform(Parts parts) : p_(std::move(parts)) {}
  Registry& registry() override { return *p_.registry; }
  Files& files() override { return *p_.files; }
  Processes& processes() override { return *p_.processes; }
  Network& network() override { return *p_.network; }
  Clock& clock() override { return *p_.clock; }
  System& system() override { return *p_.system; }
  Console& console() override { return *p_.console; }
  Devices& devices() override { return *p_.devices; }
  Services& services() override { return *p_.services; }

 private:
  Parts p_;
};

// The platform of this process, installed once at start-up (tests install a sim one).
Platform& platform();
void install_platform(std::unique_ptr<Platform> p);

}  // namespace tarvik
