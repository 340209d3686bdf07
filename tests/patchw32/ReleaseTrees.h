// What the end-to-end tests share: the release made by the release script
// (trees and patch files), installations in temporary folders, and whole-tree
// comparisons.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"
#include "TestFiles.h"

namespace e2e {

using testsupport::RemoveTree;
using testsupport::TempDir;

// The files the two small patches own: the edition patches leave them alone.
const char* const kPostPatchFile = "shared\\config.ini";
const char* const kTaxTableFile = "tax\\tables.dat";

inline std::string Backslashed(std::string path) {
  for (char& c : path)
    if (c == '/') c = '\\';
  while (path.size() > 3 && path.back() == '\\') path.pop_back();
  return path;
}

inline std::string ReleaseDir() {
  char value[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA("VELMORA_E2E_RELEASE", value, sizeof value);
  if (length > 0 && length < sizeof value) return Backslashed(value);
  return Backslashed(VELMORA_E2E_RELEASE);
}
inline std::string TreeDir(const std::string& name) { return ReleaseDir() + "\\trees\\" + name; }
inline std::string PatchFile(const std::string& name) {
  return ReleaseDir() + "\\patches\\" + name + ".rtp";
}

inline bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
inline bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline std::string ModuleDir() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string dir(path, length);
  return dir.substr(0, dir.find_last_of('\\'));
}

// Calls visit(relative, isDirectory) for everything below root, parents first.
template <typename Visit>
void Walk(const std::string& root, const std::string& relative, Visit visit) {
  const std::string here = relative.empty() ? root : root + "\\" + relative;
  WIN32_FIND_DATAA entry;
  HANDLE find = FindFirstFileA((here + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  std::vector<std::pair<std::string, bool>> children;
  do {
    const std::string name = entry.cFileName;
    if (name != "." && name != "..")
      children.emplace_back(name, (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  for (const auto& child : children) {
    const std::string rel = relative.empty() ? child.first : relative + "\\" + child.first;
    visit(rel, child.second);
    if (child.second) Walk(root, rel, visit);
  }
}

inline bool CopyTree(const std::string& from, const std::string& to) {
  bool ok = CreateDirectoryA(to.c_str(), nullptr) || IsDirectory(to);
  Walk(from, "", [&](const std::string& rel, bool dir) {
    const std::string target = to + "\\" + rel;
    ok = (dir ? CreateDirectoryA(target.c_str(), nullptr)
              : CopyFileA((from + "\\" + rel).c_str(), target.c_str(), FALSE)) &&
         ok;
  });
  return ok;
}

// A tree's content: relative path -> bytes; folders map to "<folder>".
using Tree = std::map<std::string, std::string>;
const char* const kFolder = "<folder>";

// Top-level names in `skip` are left out (the log, the backup folder).
inline Tree ReadTree(const std::string& root, const std::set<std::string>& skip = {}) {
  Tree tree;
  Walk(root, "", [&](const std::string& rel, bool dir) {
    const std::string top = rel.substr(0, rel.find('\\'));
    for (const std::string& name : skip)
      if (lstrcmpiA(top.c_str(), name.c_str()) == 0) return;
    tree[rel] = dir ? kFolder : ReadFile(root + "\\" + rel);
  });
  return tree;
}

// Empty when equal, else one line per path that differs.
inline std::string Differences(const Tree& expected, const Tree& actual) {
  std::string out;
  for (const auto& entry : expected) {
    const auto found = actual.find(entry.first);
    if (found == actual.end())
      out += "missing " + entry.first + "\n";
    else if (found->second != entry.second)
      out += "differs " + entry.first + "\n";
  }
  for (const auto& entry : actual)
    if (!expected.count(entry.first)) out += "extra " + entry.first + "\n";
  return out;
}

// Files that differ between two trees: modified, added or deleted.
inline std::set<std::string> ChangedFiles(const Tree& before, const Tree& after) {
  std::set<std::string> changed;
  for (const auto& entry : before) {
    if (entry.second == kFolder) continue;
    const auto found = after.find(entry.first);
    if (found == after.end() || found->second != entry.second) changed.insert(entry.first);
  }
  for (const auto& entry : after)
    if (entry.second != kFolder && !before.count(entry.first)) changed.insert(entry.first);
  return changed;
}

// What an edition patch alone leaves: the new release but the two files the
// small patches own, still at their old content.
inline Tree AfterEditionPatch(const std::string& oldTree, const std::string& newTree) {
  Tree expected = ReadTree(TreeDir(newTree));
  const Tree old = ReadTree(TreeDir(oldTree));
  for (const char* owned : {kPostPatchFile, kTaxTableFile}) expected[owned] = old.at(owned);
  return expected;
}

// A copy of one of the release's trees, installed in a scratch folder.
class Installation {
 public:
  explicit Installation(const std::string& tree) : m_tree(tree), m_dir("velmora-install") {
    m_copied = CopyTree(TreeDir(tree), m_dir.Path()) && IsFile(m_dir.File("vlw32.exe"));
  }
  bool Copied() const { return m_copied; }
  const std::string& Path() const { return m_dir.Path(); }
  std::string File(const std::string& name) const { return m_dir.File(name); }
  Tree Read(const std::set<std::string>& skip = {}) const { return ReadTree(Path(), skip); }

 private:
  std::string m_tree;
  TempDir m_dir;
  bool m_copied = false;
};

}  // namespace e2e
