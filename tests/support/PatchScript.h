// The scripted patch library's script and record (tests/patchdouble), named
// through the environment that the library, and a child process, read at
// every call.
#pragma once

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestFiles.h"

// The rest of each line of text that starts with prefix; CR LF or LF lines.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, prefix.size(), prefix) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

// In force from construction to destruction; an empty script runs no steps
// and every call returns 0.
class PatchScript {
 public:
  explicit PatchScript(const std::string& script = "") {
    Write(script);
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", m_folder.File("script.txt").c_str());
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", m_folder.File("record.txt").c_str());
  }
  ~PatchScript() {
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", nullptr);
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", nullptr);
  }
  PatchScript(const PatchScript&) = delete;
  PatchScript& operator=(const PatchScript&) = delete;

  // Replaces the script for the calls to come.
  void Write(const std::string& script) { WriteWholeFile(m_folder.File("script.txt"), script); }

  std::string Record() const { return ReadFile(m_folder.File("record.txt")); }
  std::vector<std::string> CommandLines() const { return LinesStartingWith(Record(), "cmdline "); }
  std::vector<std::string> Directories() const { return LinesStartingWith(Record(), "cwd "); }

 private:
  testsupport::TempDir m_folder{"velmora-patch"};
};
