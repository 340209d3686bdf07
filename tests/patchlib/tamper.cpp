#include "tamper.h"

#include <cstdint>

namespace rtptest {

namespace {

using Bytes = std::vector<unsigned char>;

std::uint64_t le(const Bytes& b, std::size_t at, int n) {
  std::uint64_t v = 0;
  for (int i = 0; i < n; ++i) v |= std::uint64_t(b.at(at + static_cast<std::size_t>(i))) << (8 * i);
  return v;
}

Bytes flipped(Bytes b, std::size_t at, unsigned char mask = 0x01) {
  b.at(at) ^= mask;
  return b;
}

Bytes cut(const Bytes& b, std::size_t from, std::size_t n) {
  Bytes out(b.begin(), b.begin() + static_cast<long>(from));
  out.insert(out.end(), b.begin() + static_cast<long>(from + n), b.end());
  return out;
}

Bytes inserted(const Bytes& b, std::size_t at, const Bytes& what) {
  Bytes out = b;
  out.insert(out.begin() + static_cast<long>(at), what.begin(), what.end());
  return out;
}

}  // namespace

std::vector<Tampered> tamperings(const Bytes& patch, const Bytes& other) {
  const rtp::Result notSigned = rtp::Result::NotSigned;
  const std::size_t headerSize = static_cast<std::size_t>(le(patch, 12, 4));
  const std::size_t sections = static_cast<std::size_t>(le(patch, 16, 4));
  const std::size_t block = headerSize - 80;  // key id, r, s
  const Bytes signature(patch.begin() + static_cast<long>(block),
                        patch.begin() + static_cast<long>(headerSize));
  std::vector<Tampered> t;

  // The fields that find the signature come first; changing the magic or
  // the version makes it no patch of ours at all.
  t.push_back({"magic", flipped(patch, 0), rtp::Result::PatchCorrupt});
  t.push_back({"version", flipped(patch, 8), rtp::Result::UnsupportedVersion});
  t.push_back({"header size", flipped(patch, 12, 0x80), notSigned});
  t.push_back({"section count", flipped(patch, 16), notSigned});
  const std::pair<const char*, std::size_t> fields[] = {
      {"flags", 20},           {"operation count", 24}, {"reserved 28", 28}, {"file size", 32},
      {"total new bytes", 40}, {"reserved 48", 48},     {"reserved 63", 63}};
  for (const auto& [name, at] : fields)
    t.push_back({std::string("header ") + name, flipped(patch, at), notSigned});
  for (std::size_t i = 0; i < sections; ++i) {
    const std::size_t entry = 64 + 56 * i;
    const std::string s = "section " + std::to_string(i) + " ";
    for (const auto& [name, at] : {std::pair<const char*, std::size_t>{"type", 0},
                                   {"flags", 4},
                                   {"offset", 8},
                                   {"length", 16},
                                   {"hash first byte", 24},
                                   {"hash last byte", 55}})
      t.push_back({s + "entry " + name, flipped(patch, entry + at), notSigned});
    const std::size_t off = static_cast<std::size_t>(le(patch, entry + 8, 8));
    const std::size_t len = static_cast<std::size_t>(le(patch, entry + 16, 8));
    if (len == 0) continue;
    t.push_back({s + "first byte", flipped(patch, off), notSigned});
    t.push_back({s + "middle byte", flipped(patch, off + len / 2, 0x80), notSigned});
    t.push_back({s + "last byte", flipped(patch, off + len - 1), notSigned});
  }

  t.push_back({"signature key id", flipped(patch, block), notSigned});
  t.push_back({"signature r", flipped(patch, block + 16), notSigned});
  t.push_back({"signature s", flipped(patch, block + 48), notSigned});
  t.push_back({"signature last byte", flipped(patch, block + 79, 0x80), notSigned});
  Bytes zero = patch;
  std::fill(zero.begin() + static_cast<long>(block), zero.begin() + static_cast<long>(headerSize),
            0);
  t.push_back({"unsigned", zero, notSigned});
  Bytes idOnly = patch;
  std::fill(idOnly.begin() + static_cast<long>(block + 16),
            idOnly.begin() + static_cast<long>(headerSize), 0);
  t.push_back({"key id without a signature", idOnly, notSigned});
  Bytes ones = patch;
  std::fill(ones.begin() + static_cast<long>(block + 16),
            ones.begin() + static_cast<long>(headerSize), 0xff);
  t.push_back({"signature all ones", ones, notSigned});
  Bytes sZero = patch;  // out of range for ECDSA: must not crash either back end
  std::fill(sZero.begin() + static_cast<long>(block + 48),
            sZero.begin() + static_cast<long>(headerSize), 0);
  t.push_back({"s zero", sZero, notSigned});
  Bytes swapped = patch;
  std::copy(signature.begin() + 48, signature.end(),
            swapped.begin() + static_cast<long>(block + 16));
  std::copy(signature.begin() + 16, signature.begin() + 48,
            swapped.begin() + static_cast<long>(block + 48));
  t.push_back({"r and s swapped", swapped, notSigned});
  if (other.size() >= headerSize) {
    Bytes borrowed = patch;
    std::copy(other.begin() + static_cast<long>(block),
              other.begin() + static_cast<long>(headerSize),
              borrowed.begin() + static_cast<long>(block));
    t.push_back({"signature of another patch", borrowed, notSigned});
  }

  t.push_back({"signature cut off halfway",
               Bytes(patch.begin(), patch.begin() + static_cast<long>(block + 40)), notSigned});
  t.push_back({"signature one byte short", cut(patch, headerSize - 1, 1), notSigned});
  Bytes moved = cut(patch, block, 80);
  moved.insert(moved.end(), signature.begin(), signature.end());
  t.push_back({"signature moved to the end", moved, notSigned});
  Bytes copied = zero;
  copied.insert(copied.end(), signature.begin(), signature.end());
  t.push_back({"signature zeroed, a copy at the end", copied, notSigned});
  t.push_back({"signature moved before the table", inserted(cut(patch, block, 80), 64, signature),
               notSigned});
  t.push_back({"signature duplicated", inserted(patch, headerSize, signature), notSigned});
  t.push_back({"last byte cut", Bytes(patch.begin(), patch.end() - 1), notSigned});
  Bytes longer = patch;
  longer.push_back(0);
  t.push_back({"a byte appended", longer, notSigned});
  return t;
}

}  // namespace rtptest
