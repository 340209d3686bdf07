// The update log "update.txt" as the tests read it back: ReadUpdateLog.
#pragma once

#include <string>
#include <vector>

#include "TestFiles.h"

// A header line for each patch, then a line for each file it updated; CR LF each.
struct UpdateLog {
  std::vector<std::string> headers;                 // patch names, in order
  std::vector<std::vector<std::string>> fileLines;  // file names, per header
  bool wellFormed = true;  // no other line, none unterminated, no file before a header
};

// An absent log reads as an empty one.
inline UpdateLog ReadUpdateLog(const std::string& path) {
  UpdateLog log;
  const std::string text = ReadFile(path);
  const std::string header = "--- Applying patch file \"", file = "Updating file \"";
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos) {
      log.wellFormed = false;
      break;
    }
    const std::string line = text.substr(at, end - at);
    at = end + 2;
    if (line.compare(0, header.size(), header) == 0 && line.size() > header.size() + 5 &&
        line.compare(line.size() - 5, 5, "\" ---") == 0) {
      log.headers.push_back(line.substr(header.size(), line.size() - header.size() - 5));
      log.fileLines.emplace_back();
    } else if (line.compare(0, file.size(), file) == 0 && line.size() > file.size() &&
               line.back() == '"' && !log.headers.empty()) {
      log.fileLines.back().push_back(line.substr(file.size(), line.size() - file.size() - 1));
    } else {
      log.wellFormed = false;
    }
  }
  return log;
}
