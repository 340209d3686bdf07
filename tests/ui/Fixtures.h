// What the update dialogs' tests share: temporary folders with real files,
// the product's App Paths key in the prefix's registry, and the scripted
// patch library's script and record.
#pragma once

#include <windows.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestFiles.h"

inline void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

// A fresh folder under the temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    static int counter = 0;
    m_path = std::string(base) + "velmora-ui-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++counter);
    CreateDirectoryA(m_path.c_str(), nullptr);
  }
  ~TempDir() { RemoveTree(m_path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Without a trailing backslash.
  const std::string& Path() const { return m_path; }
  std::string File(const std::string& name) const { return m_path + "\\" + name; }

  static void RemoveTree(const std::string& path) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = entry.cFileName;
        if (name == "." || name == "..") continue;
        const std::string child = path + "\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(child);
        else
          DeleteFileA(child.c_str());
      } while (FindNextFileA(find, &entry));
      FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
  }

 private:
  std::string m_path;
};

// The product's App Paths key under HKEY_LOCAL_MACHINE: absent at the start
// and at the end of every test that uses this.
class AppPathsKey {
 public:
  static constexpr const char* kName =
      "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\vlw32.exe";
  AppPathsKey() { Delete(); }
  ~AppPathsKey() { Delete(); }
  AppPathsKey(const AppPathsKey&) = delete;
  AppPathsKey& operator=(const AppPathsKey&) = delete;

  // The key without its unnamed value.
  void Create() {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    if (key) RegCloseKey(key);
  }
  // The unnamed value as the given bytes (a string's own zero must be included).
  void SetBytes(const std::string& bytes, DWORD type = REG_SZ) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    if (!key) return;
    RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
  }
  void Set(const std::string& text) { SetBytes(std::string(text.c_str(), text.size() + 1)); }
  static void Delete() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kName); }
};

// The double's script and record, named through the environment that the
// library (and a child process) reads at every call.
class PatchScript {
 public:
  explicit PatchScript(const std::string& script = "") {
    WriteWholeFile(m_folder.File("script.txt"), script);
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", m_folder.File("script.txt").c_str());
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", m_folder.File("record.txt").c_str());
  }
  ~PatchScript() {
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", nullptr);
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", nullptr);
  }
  PatchScript(const PatchScript&) = delete;
  PatchScript& operator=(const PatchScript&) = delete;

  std::string Record() const { return ReadFile(m_folder.File("record.txt")); }
  std::vector<std::string> CommandLines() const { return LinesStartingWith(Record(), "cmdline "); }
  std::vector<std::string> Directories() const { return LinesStartingWith(Record(), "cwd "); }

 private:
  TempDir m_folder;
};

// The patch names whose header lines the log holds, in order.
inline std::vector<std::string> LoggedPatches(const std::string& logPath) {
  std::vector<std::string> names;
  for (const std::string& line : LinesStartingWith(ReadFile(logPath), "--- Applying patch file \""))
    names.push_back(line.substr(0, line.find('"')));
  return names;
}


struct ReadyWaiter {
  std::function<bool()> ready;
  std::function<void()> act;
  UINT_PTR timer = 0;
};

inline std::vector<std::unique_ptr<ReadyWaiter>>& ReadyWaiters() {
  static std::vector<std::unique_ptr<ReadyWaiter>> waiters;
  return waiters;
}

inline void CALLBACK OnReadyTimer(HWND, UINT, UINT_PTR id, DWORD) {
  auto& waiters = ReadyWaiters();
  for (auto it = waiters.begin(); it != waiters.end(); ++it) {
    if ((*it)->timer != id || !(*it)->ready()) continue;
    KillTimer(nullptr, id);
    std::unique_ptr<ReadyWaiter> waiter = std::move(*it);
    waiters.erase(it);
    waiter->act();
    return;
  }
}

// Runs act once, from whatever message loop runs, as soon as ready() holds
// (checked every 40 ms on this thread).
inline void WhenReady(std::function<bool()> ready, std::function<void()> act) {
  auto& waiters = ReadyWaiters();
  waiters.push_back(std::unique_ptr<ReadyWaiter>(new ReadyWaiter{std::move(ready), std::move(act)}));
  waiters.back()->timer = SetTimer(nullptr, 0, 40, &OnReadyTimer);
}
