// Devices: disk interfaces through SetupAPI, disk I/O controls, present devices.
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

// GUID_DEVINTERFACE_DISK.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr DWORD kDetailBytes = 4096;

static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48);
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144);

std::string guid_text(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof(buf), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

class Win32Disk final : public Disk {
 public:
  explicit Win32Disk(ScopedFile device) : device_(std::move(device)) {}

  Status device_number(uint32_t& out) override {
    STORAGE_DEVICE_NUMBER number = {};
    DWORD got = 0;
    if (!DeviceIoControl(device_.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                         sizeof(number), &got, nullptr))
      return last_error_or(ERROR_GEN_FAILURE);
    out = number.DeviceNumber;
    return win::kSuccess;
  }

  Status drive_layout(uint32_t buffer_bytes, DriveLayout& out) override {
    void* buf = std::calloc(1, buffer_bytes < 48 ? 48 : buffer_bytes);
    if (buf == nullptr) return win::kNotEnoughMemory;
    DWORD got = 0;
    Status s = win::kSuccess;
    if (!DeviceIoControl(device_.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buf,
                         buffer_bytes, &got, nullptr)) {
      s = last_error_or(ERROR_GEN_FAILURE);
    } else {
      const auto* layout = static_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buf);
      DriveLayout result;
      result.style = layout->PartitionStyle;
      // Only the entries that lie inside what the system filled in.
      uint32_t count = layout->PartitionCount;
      uint32_t room = got >= 48 ? (got - 48) / 144 : 0;
      if (count > room) count = room;
      for (uint32_t i = 0; i < count; ++i) {
        const PARTITION_INFORMATION_EX& p = layout->PartitionEntry[i];
        PartitionEntry e;
        if (result.style == PARTITION_STYLE_MBR) e.mbr_type = p.Mbr.PartitionType;
        if (result.style == PARTITION_STYLE_GPT) e.gpt_type = guid_text(p.Gpt.PartitionType);
        result.partitions.push_back(std::move(e));
      }
      out = std::move(result);
    }
    std::free(buf);
    return s;
  }

 private:
  ScopedFile device_;
};

class Win32Devices final : public Devices {
 public:
  Status disk_interfaces(std::vector<std::string>& paths) override {
    ScopedDevInfo set(SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr,
                                           DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return last_error_or(ERROR_GEN_FAILURE);
    void* detail_buf = std::calloc(1, kDetailBytes);
    if (detail_buf == nullptr) return win::kNotEnoughMemory;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detail_buf);
    std::vector<std::string> list;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data = {};
      data.cbSize = sizeof(data);
      if (!SetupDiEnumDeviceInterfaces(set.get(), nullptr, &kDiskInterface, index, &data)) break;
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (!SetupDiGetDeviceInterfaceDetailA(set.get(), &data, detail, kDetailBytes, nullptr,
                                            nullptr))
        break;
      list.emplace_back(detail->DevicePath);
    }
    std::free(detail_buf);
    paths = std::move(list);
    return win::kSuccess;
  }

  Status open(std::string_view path, std::unique_ptr<Disk>& out) override {
    ScopedFile device(CreateFileA(sz(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    if (!device) return last_error_or(ERROR_FILE_NOT_FOUND);
    out = std::make_unique<Win32Disk>(std::move(device));
    return win::kSuccess;
  }

  Status present_devices(std::vector<DeviceInfo>& out) override {
    ScopedDevInfo set(
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set) return last_error_or(ERROR_GEN_FAILURE);
    std::vector<DeviceInfo> list;
    for (DWORD index = 0;; ++index) {
      SP_DEVINFO_DATA dev = {};
      dev.cbSize = sizeof(dev);
      if (!SetupDiEnumDeviceInfo(set.get(), index, &dev)) break;
      DeviceInfo info;
      // A zeroed buffer two bytes larger than the size given: the list always ends in NULs.
      BYTE ids[512] = {};
      if (SetupDiGetDeviceRegistryPropertyA(set.get(), &dev, SPDRP_HARDWAREID, nullptr, ids, 510,
                                            nullptr))
        info.hardware_id = reinterpret_cast<const char*>(ids);
      DWORD state = 0;
      if (SetupDiGetDeviceRegistryPropertyA(set.get(), &dev, SPDRP_INSTALL_STATE, nullptr,
                                            reinterpret_cast<BYTE*>(&state), sizeof(state),
                                            nullptr)) {
        info.has_install_state = true;
        info.install_state = state;
      }
      list.push_back(std::move(info));
    }
    out = std::move(list);
    return win::kSuccess;
  }
};

}  // namespace

std::unique_ptr<Devices> make_devices() {
  return std::make_unique<Win32Devices>();
}

}  // namespace tarvik::win32
