// Registry: RegOpenKeyExA, RegCreateKeyExA, RegQueryValueExA, ... on real keys.
#include <vector>

#include "platform/win32/platform.h"
#include "platform/win32/win32_support.h"

namespace tarvik::win32 {

namespace {

class Key final : public RegKeyImpl {
 public:
  // An owned key, or HKEY_LOCAL_MACHINE itself (predefined, never closed).
  explicit Key(HKEY owned) : owned_(owned), key_(owned) {}
  Key() : key_(HKEY_LOCAL_MACHINE) {}

  Status open(std::string_view subkey, uint32_t access, std::unique_ptr<RegKeyImpl>& out) override {
    HKEY k = nullptr;
    LONG rc = RegOpenKeyExA(key_, sz(subkey).c_str(), 0, access, &k);
    if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
    out = std::make_unique<Key>(k);
    return win::kSuccess;
  }

  Status create(std::string_view subkey, uint32_t options, uint32_t access,
                std::unique_ptr<RegKeyImpl>& out) override {
    HKEY k = nullptr;
    LONG rc = RegCreateKeyExA(key_, sz(subkey).c_str(), 0, nullptr, options, access, nullptr, &k,
                              nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
    out = std::make_unique<Key>(k);
    return win::kSuccess;
  }

  Status query(std::string_view name, RegValue& out) override {
    std::string n = sz(name);
    // The value may grow between the size query and the read: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD type = 0, size = 0;
      LONG rc = RegQueryValueExA(key_, n.c_str(), nullptr, &type, nullptr, &size);
      if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
      std::vector<BYTE> buf(size + 1);
      DWORD got = size;
      rc = RegQueryValueExA(key_, n.c_str(), nullptr, &type, buf.data(), &got);
      if (rc == ERROR_MORE_DATA) continue;
      if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
      out.type = type;
      out.data.assign(reinterpret_cast<const char*>(buf.data()), got);
      return win::kSuccess;
    }
    return win::kMoreData;
  }

  Status set(std::string_view name, const RegValue& value) override {
    return static_cast<Status>(RegSetValueExA(key_, sz(name).c_str(), 0, value.type,
                                              reinterpret_cast<const BYTE*>(value.data.data()),
                                              static_cast<DWORD>(value.data.size())));
  }

  Status delete_value(std::string_view name) override {
    return static_cast<Status>(RegDeleteValueA(key_, sz(name).c_str()));
  }

  Status delete_tree(std::string_view subkey) override {
    return static_cast<Status>(SHDeleteKeyA(key_, sz(subkey).c_str()));
  }

  Status enum_subkey(uint32_t index, std::string& name) override {
    char buf[MAX_PATH + 1] = {};
    LONG rc = RegEnumKeyA(key_, index, buf, sizeof(buf));
    if (rc != ERROR_SUCCESS) return static_cast<Status>(rc);
    name = buf;
    return win::kSuccess;
  }

 private:
  ScopedKey owned_;
  HKEY key_;
};

class Win32Registry final : public Registry {
 public:
  RegKey hklm() override { return RegKey(std::make_unique<Key>()); }
  Status load_hive(std::string_view name, std::string_view file) override {
    return static_cast<Status>(RegLoadKeyA(HKEY_LOCAL_MACHINE, sz(name).c_str(), sz(file).c_str()));
  }
  Status unload_hive(std::string_view name) override {
    return static_cast<Status>(RegUnLoadKeyA(HKEY_LOCAL_MACHINE, sz(name).c_str()));
  }
};

}  // namespace

std::unique_ptr<Registry> make_registry() {
  return std::make_unique<Win32Registry>();
}

}  // namespace tarvik::win32
