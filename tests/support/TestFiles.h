// Whole files for the tests: logs, records and trees read and written byte for byte.
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

// Replaces the file's content with bytes, making the file when it is absent.
inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
