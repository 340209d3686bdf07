#include "tamper.h"

#include <cstdint>

#include "rtp/format.h"

namespace rtptest {

namespace {

using Bytes = std::vector<unsigned char>;

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
  const std::size_t signedSize =
      rtp::format::signedSize(patch.data(), patch.size(), rtp::Result::PatchCorrupt);
  const rtp::format::Header header = rtp::format::readHeader(patch.data(), signedSize);
  const std::size_t headerSize = signedSize + 80;
  const std::size_t block = signedSize;  // key id, r, s
  const Bytes signature(patch.begin() + static_cast<long>(block),
                        patch.begin() + static_cast<long>(headerSize));
  std::vector<Tampered> t;

  // The fields that find the signature come first; changing the magic or
  // the version makes it no patch of ours at all. Every other signed byte
  // (the header's size, the fields, the table) is the signature's.
  t.push_back({"magic", flipped(patch, 0), rtp::Result::PatchCorrupt});
  t.push_back({"version", flipped(patch, 8), rtp::Result::UnsupportedVersion});
  for (std::size_t at = 9; at < signedSize; ++at)
    t.push_back({"header byte " + std::to_string(at), flipped(patch, at), notSigned});
  t.push_back({"header size's high bit", flipped(patch, 9, 0x80), notSigned});
  for (std::size_t i = 0; i < header.sections.size(); ++i) {
    const std::string s = "section " + std::to_string(i) + " ";
    const std::size_t off = static_cast<std::size_t>(header.sections[i].range.offset);
    const std::size_t len = static_cast<std::size_t>(header.sections[i].range.length);
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
  t.push_back({"signature moved before the fields", inserted(cut(patch, block, 80), 11, signature),
               notSigned});
  t.push_back({"signature duplicated", inserted(patch, headerSize, signature), notSigned});
  t.push_back({"last byte cut", Bytes(patch.begin(), patch.end() - 1), notSigned});
  Bytes longer = patch;
  longer.push_back(0);
  t.push_back({"a byte appended", longer, notSigned});
  return t;
}

}  // namespace rtptest
