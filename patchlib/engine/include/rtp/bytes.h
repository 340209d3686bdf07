// Little-endian values and varints, as the patch file, the journal and the
// delta streams store them.
#ifndef RTP_BYTES_H
#define RTP_BYTES_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rtp/result.h"

namespace rtp {
namespace bytes {

// Single loads: every target of the engine (x86 Windows and Linux) is
// little-endian, which the delta's predictor relies on for speed.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian targets only");
inline std::uint32_t le32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint64_t le64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void setLe(unsigned char* p, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
inline void putLe(std::vector<unsigned char>& out, std::uint64_t v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// LEB128: 7 bits a byte, low group first, the high bit meaning "more"; at
// most 10 bytes. Signed values are zig-zag coded first.
constexpr std::size_t kMaxVarint = 10;
inline std::size_t varintSize(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}
inline void putVarint(std::vector<unsigned char>& out, std::uint64_t v) {
  for (; v >= 0x80; v >>= 7) out.push_back(static_cast<unsigned char>(v | 0x80));
  out.push_back(static_cast<unsigned char>(v));
}
inline std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

// Reads a buffer front to back; anything past its end is `fault`, with
// `what` named in the message.
class Reader {
 public:
  Reader(const unsigned char* p, std::size_t len, const char* what,
         Result fault = Result::PatchCorrupt)
      : p_(p), len_(len), what_(what), fault_(fault) {}
  void need(std::size_t n) const {
    if (n > len_ || pos_ > len_ - n) fail("runs past its end");
  }
  std::uint64_t le(std::size_t n) {
    need(n);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v |= std::uint64_t(p_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }
  std::uint8_t byte() { return static_cast<std::uint8_t>(le(1)); }
  std::uint64_t varint() {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < kMaxVarint; ++i) {
      const unsigned char b = byte();
      if (i == kMaxVarint - 1 && (b & 0x7e)) fail("holds a number too large");
      v |= std::uint64_t(b & 0x7f) << (7 * i);
      if (!(b & 0x80)) return v;
    }
    fail("holds a number too long");
  }
  // n bytes as they are.
  const unsigned char* take(std::size_t n) {
    need(n);
    pos_ += n;
    return p_ + pos_ - n;
  }
  std::size_t pos() const { return pos_; }
  bool atEnd() const { return pos_ == len_; }
  [[noreturn]] void fail(const char* why) const {
    throw Error(fault_, std::string(what_) + " " + why);
  }

 private:
  const unsigned char* p_;
  std::size_t len_;
  const char* what_;
  Result fault_;
  std::size_t pos_ = 0;
};

}  // namespace bytes
}  // namespace rtp

#endif
