#include <cctype>
#include <cstdlib>

#include "platform/sim/services.h"

namespace tarvik::sim {
namespace {

constexpr char kDiskPathPrefix[] = "\\\\?\\sim#disk#";

struct SimDiskState {
  uint32_t number = 0;
  std::string style = "mbr";
  std::vector<std::string> partitions;
  bool layout_fails = false;
};

SimDiskState disk_from(const IniSection& s) {
  SimDiskState d;
  d.number = static_cast<uint32_t>(std::strtoul(s.get("number", "0").c_str(), nullptr, 10));
  d.style = to_lower(s.get("style", "mbr"));
  d.partitions = split_list(s.get("partitions"));
  d.layout_fails = s.get("layout_fails", "0") == "1";
  return d;
}

class SimDisk final : public Disk {
 public:
  explicit SimDisk(SimDiskState d) : d_(std::move(d)) {}
  Status device_number(uint32_t& out) override {
    out = d_.number;
    return win::kSuccess;
  }
  Status drive_layout(uint32_t buffer_bytes, DriveLayout& out) override {
    if (d_.layout_fails) return 1117;  // ERROR_IO_DEVICE
    DriveLayout l;
    if (d_.style == "gpt") {
      l.style = 1;
      for (const auto& g : d_.partitions) l.partitions.push_back({0, to_lower(g)});
    } else if (d_.style == "raw") {
      l.style = 2;
    } else {
      l.style = 0;
      for (const auto& t : d_.partitions)
        l.partitions.push_back({static_cast<uint8_t>(std::strtoul(t.c_str(), nullptr, 16)), {}});
      // An MBR disk reports its entries in groups of four.
      while (l.partitions.size() % 4 != 0) l.partitions.push_back({});
    }
    if (drive_layout_bytes(static_cast<uint32_t>(l.partitions.size())) > buffer_bytes)
      return win::kInsufficientBuffer;
    out = std::move(l);
    return win::kSuccess;
  }

 private:
  SimDiskState d_;
};

class SimDevices final : public Devices {
 public:
  explicit SimDevices(const Machine& m) : m_(m) {}

  Status disk_interfaces(std::vector<std::string>& paths) override {
    std::vector<std::string> out;
    IniFile ini = m_.current_config();
    for (const IniSection* s : Machine::numbered(ini, "disk"))
      out.push_back(kDiskPathPrefix + s->get("number", "0"));
    paths = std::move(out);
    return win::kSuccess;
  }

  Status open(std::string_view path, std::unique_ptr<Disk>& out) override {
    IniFile ini = m_.current_config();
    std::string p(path);
    if (p.rfind(kDiskPathPrefix, 0) == 0) {
      std::string num = p.substr(sizeof kDiskPathPrefix - 1);
      for (const IniSection* s : Machine::numbered(ini, "disk"))
        if (s->get("number", "0") == num) {
          out = std::make_unique<SimDisk>(disk_from(*s));
          return win::kSuccess;
        }
      return win::kFileNotFound;
    }
    // "\\.\C:": the volume on a drive letter.
    if (p.size() == 6 && p.rfind("\\\\.\\", 0) == 0 && p[5] == ':') {
      char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(p[4])));
      for (const IniSection* s : Machine::numbered(ini, "disk"))
        for (const auto& l : split_list(to_lower(s->get("letters"))))
          if (l.size() == 1 && l[0] == letter) {
            out = std::make_unique<SimDisk>(disk_from(*s));
            return win::kSuccess;
          }
      return win::kFileNotFound;
    }
    return win::kFileNotFound;
  }

  Status present_devices(std::vector<DeviceInfo>& out) override {
    std::vector<DeviceInfo> list;
    IniFile ini = m_.current_config();
    for (const IniSection* s : Machine::numbered(ini, "device")) {
      DeviceInfo d;
      d.hardware_id = s->get("hardware_id");
      const std::string* state = s->find("install_state");
      d.has_install_state = state != nullptr && !state->empty();
      if (d.has_install_state)
        d.install_state = static_cast<uint32_t>(std::strtoul(state->c_str(), nullptr, 10));
      list.push_back(std::move(d));
    }
    out = std::move(list);
    return win::kSuccess;
  }

 private:
  const Machine& m_;
};

class SimServices final : public Services {
 public:
  explicit SimServices(const Machine& m) : m_(m) {}
  Status open(std::string_view name) override {
    const IniSection* s = m_.config().find("service." + std::string(name));
    return s && s->get("present", "1") != "0" ? win::kSuccess : win::kServiceDoesNotExist;
  }
  Status start(std::string_view name) override {
    Status s = open(name);
    if (s != win::kSuccess) return s;
    m_.record_event("\"event\":\"service_start\",\"name\":\"" + json_escape(name) + "\"");
    // It runs until the next restart.
    FileLock lock(m_, "services");
    std::vector<std::string> running = running_services(m_);
    for (const std::string& r : running)
      if (equals_nocase(r, name)) return win::kSuccess;
    std::string text = "[running]\n";
    for (const std::string& r : running) text += r + "=1\n";
    write_host_file_atomic(m_.sim_file(kRunningServicesFile), text + std::string(name) + "=1\n");
    return win::kSuccess;
  }

 private:
  const Machine& m_;
};

}  // namespace

std::vector<std::string> running_services(const Machine& m) {
  std::vector<std::string> out;
  std::string text, error;
  IniFile ini;
  if (!read_host_file(m.sim_file(kRunningServicesFile), text) || !parse_ini(text, ini, error))
    return out;
  if (const IniSection* s = ini.find("running"))
    for (const auto& kv : s->keys) out.push_back(kv.first);
  return out;
}

std::unique_ptr<Devices> make_devices(const Machine& m) {
  return std::make_unique<SimDevices>(m);
}
std::unique_ptr<Services> make_services(const Machine& m) {
  return std::make_unique<SimServices>(m);
}

}  // namespace tarvik::sim
