#include "rtp/paths.h"

#include <cstring>

#include "rtp/format.h"

namespace rtp {

std::string foldCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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
  static const char* const fixed[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (const char* f : fixed)
    if (base == f) return true;
  if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
      base[3] >= '1' && base[3] <= '9')
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

}  // namespace

std::string parentRel(const std::string& rel) {
  std::size_t s = rel.rfind('/');
  return s == std::string::npos ? std::string() : rel.substr(0, s);
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
  std::size_t start = 0;
  bool first = true;
  for (;;) {
    std::size_t end = path.find('/', start);
    std::string comp = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (comp.empty()) return "empty path component";
    if (comp == "." || comp == "..") return "'.' or '..' component";
    if (comp.back() == '.' || comp.back() == ' ') return "component ends with a dot or blank";
    if (isDeviceName(comp)) return "reserved device name";
    if (!allowEngineNames) {
      if (first && foldCase(comp) == format::kBackupDir) return "the backup folder is reserved";
      if (endsWithFolded(comp, format::kNewSuffix) || endsWithFolded(comp, format::kOldSuffix))
        return "temporary-file suffix is reserved";
    }
    first = false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!allowEngineNames && foldCase(path) == format::kJournalName) return "the journal name is reserved";
  return {};
}

}  // namespace rtp
