// The product's App Paths key under HKEY_LOCAL_MACHINE in the prefix's
// registry, where the update dialog looks for the installation.
#pragma once

#include <windows.h>

#include <string>

// Absent at the start and at the end of every test that holds one.
class AppPathsKey {
 public:
  static constexpr const char* kName =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\vlw32.exe";
  AppPathsKey() { Delete(); }
  ~AppPathsKey() { Delete(); }
  AppPathsKey(const AppPathsKey&) = delete;
  AppPathsKey& operator=(const AppPathsKey&) = delete;

  // The key without its unnamed value; true when it exists afterwards.
  bool Create() {
    HKEY key = Open();
    if (key) RegCloseKey(key);
    return key != nullptr;
  }
  // The unnamed value as the given bytes (a string's own zero must be included).
  bool SetBytes(const std::string& bytes, DWORD type = REG_SZ) {
    HKEY key = Open();
    if (!key) return false;
    const LONG result =
        RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
  }
  // The unnamed value as a text with its terminating zero, as an installer writes it.
  bool Set(const std::string& text) { return SetBytes(std::string(text.c_str(), text.size() + 1)); }
  static void Delete() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kName); }

 private:
  static HKEY Open() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
      return nullptr;
    return key;
  }
};
