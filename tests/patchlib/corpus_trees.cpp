#include "corpus_trees.h"

#include <cstdint>

namespace rtptest {

namespace {
// Program-like bytes: repeated short patterns with changing operands.
std::string program(std::size_t n, std::uint32_t build) {
  std::string s;
  std::uint32_t x = 12345;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += "\x55\x8b\xec\x83\xec";
    s += static_cast<char>(x >> 24);
    s += static_cast<char>((x >> 16) % 7 == 0 ? build : x >> 16);
    s += "\xe8\x00\x10\x00\x00\x5d\xc3";
  }
  s.resize(n);
  return s;
}
}  // namespace

TreeText sampleOldTree() {
  return {
      {"Velmora.exe", program(20000, 7)},
      {"readme.txt", "Velmora 7\r\n"},
      {"data", "<dir>"},
      {"data/rates.tbl", std::string(300, 'r')},
      {"legacy", "<dir>"},
      {"legacy/old.dll", program(3000, 1)},
  };
}

TreeText sampleNewTree() {
  return {
      {"Velmora.exe", program(20500, 8)},
      {"readme.txt", "Velmora 8\r\nNew tax tables.\r\n"},
      {"data", "<dir>"},
      {"data/rates.tbl", std::string(300, 'r')},
      {"tax", "<dir>"},
      {"tax/2027.tbl", "rate;0.19\nrate;0.07\n"},
  };
}

}  // namespace rtptest
