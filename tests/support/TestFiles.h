// Whole-file reads for the Windows tests: logs, records and trees compared byte for byte.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes, or empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}
