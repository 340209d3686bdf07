#include "rtp/paths.h"

#include <cstring>

#include "rtp/format.h"

namespace rtp {

// Windows compares names without case in the ANSI code page, whose upper
// half has letters too: Western (1252) rules here, the common case.
std::string foldCase(const std::string& s) {
  std::string r = s;
  for (char& ch : r) {
    const unsigned char c = static_cast<unsigned char>(ch);
    unsigned char f = c;
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
      f = static_cast<unsigned char>(c + 0x20);
    else if (c == 0x8A || c == 0x8C || c == 0x8E)
      f = static_cast<unsigned char>(c + 0x10);
    else if (c == 0x9F)
      f = 0xFF;
    ch = static_cast<char>(f);
  }
  return r;
}

namespace {

bool endsWithFolded(const std::string& s, const char* suffix) {
  std::size_t n = std::strlen(suffix);
  return s.size() >= n && foldCase(s.substr(s.size() - n)) == suffix;
}

// Windows opens these as devices in any folder, with any extension.
bool isDeviceName(const std::string& component) {
  std::string base = foldCase(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const fixed[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
  for (const char* f : fixed)
    if (base == f) return true;
  if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return true;
  // Superscript digits (Latin-1 and UTF-8 forms) count as digits there too.
  if (base.size() >= 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0)) {
    std::string rest = base.substr(3);
    if (rest == "\xb9" || rest == "\xb2" || rest == "\xb3" || rest == "\xc2\xb9" ||
        rest == "\xc2\xb2" || rest == "\xc2\xb3")
      return true;
  }
  return false;
}

// An 8.3 short name (RTPATC~1.JOU, BACKUP~1) may alias a long name the
// engine keeps or another name of the patch.
bool isShortNameForm(const std::string& component) {
  const std::size_t dot = component.find('.');
  const std::string base = component.substr(0, dot);
  if (dot != std::string::npos) {
    const std::string ext = component.substr(dot + 1);
    if (ext.size() > 3 || ext.find('.') != std::string::npos) return false;
  }
  const std::size_t tilde = base.rfind('~');
  if (base.size() > 8 || tilde == std::string::npos || tilde == 0 || tilde + 1 == base.size())
    return false;
  for (std::size_t i = tilde + 1; i < base.size(); ++i)
    if (base[i] < '0' || base[i] > '9') return false;
  return true;
}

}  // namespace

bool forEachComponent(
    const std::string& path,
    const std::function<bool(const std::string& upTo, const std::string& name)>& visit) {
  if (path.empty()) return true;
  for (std::size_t begin = 0;;) {
    const std::size_t end = path.find('/', begin);
    const std::size_t stop = end == std::string::npos ? path.size() : end;
    if (!visit(path.substr(0, stop), path.substr(begin, stop - begin))) return false;
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

std::string parentRel(const std::string& rel) {
  std::size_t s = rel.rfind('/');
  return s == std::string::npos ? std::string() : rel.substr(0, s);
}

namespace {

// Why a component cannot name a plain entry, or null.
const char* notPlain(const std::string& component) {
  if (component.empty()) return "empty path component";
  if (component == "." || component == "..") return "'.' or '..' component";
  return nullptr;
}

// Why one component of a relative path is unacceptable, or null.
const char* componentProblem(const std::string& comp, bool first, bool allowEngineNames) {
  if (const char* why = notPlain(comp)) return why;
  if (comp.back() == '.' || comp.back() == ' ') return "component ends with a dot or blank";
  if (isDeviceName(comp)) return "reserved device name";
  if (isShortNameForm(comp)) return "8.3 short-name form (may alias another name)";
  if (allowEngineNames) return nullptr;
  if (first && foldCase(comp) == format::kBackupDir) return "the backup folder is reserved";
  if (endsWithFolded(comp, format::kNewSuffix) || endsWithFolded(comp, format::kOldSuffix))
    return "temporary-file suffix is reserved";
  return nullptr;
}

}  // namespace

bool plainBelow(const std::string& rel) {
  return !rel.empty() && forEachComponent(rel, [](const std::string&, const std::string& name) {
    return !notPlain(name);
  });
}

std::string checkRelativePath(const std::string& path, bool allowEngineNames) {
  if (path.empty()) return "empty path";
  if (path.size() > format::kMaxPathLength) return "path too long";
  if (path[0] == '/') return "absolute path";
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return "control character in path";
    if (c == '\\') return "backslash in path (the separator is '/')";
    if (c == ':') return "':' in path (drive or alternate stream)";
    if (std::strchr("<>\"|?*", c)) return "character not allowed in Windows names";
  }
  const char* why = nullptr;
  forEachComponent(path, [&](const std::string& upTo, const std::string& comp) {
    why = componentProblem(comp, upTo == comp, allowEngineNames);
    return !why;
  });
  if (why) return why;
  if (!allowEngineNames && foldCase(path) == format::kJournalName)
    return "the journal name is reserved";
  return {};
}

}  // namespace rtp
