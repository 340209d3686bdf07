// The delta commands and the address predictor (docs/patch-format.md,
// "Delta encoding"). The maker and the engine share this code, so what the
// maker predicts is exactly what the engine will.
//   Command        one decoded delta command
//   ShiftMap       old offset -> how far that part of the old file moved
//   predictOld     old bytes with their addresses moved as the map says
#ifndef RTP_DELTA_H
#define RTP_DELTA_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtp {

namespace delta {
// A command's head varint is (length << 2) | kind. A shifted add reads the
// old file from a bit inside a byte: bit-packed data (compiler bitcode)
// keeps its content but not its byte alignment where a field before it
// changed width.
enum Kind : unsigned { Copy = 0, Add = 1, Literal = 2, Shifted = 3 };
// Predictor flags, the first varint of every delta.
constexpr unsigned kPredictRelative = 1;  // x86 rel32 and RIP-relative displacements
constexpr unsigned kPredictAbsolute = 2;  // aligned 64-bit addresses
constexpr unsigned kPredictAll = kPredictRelative | kPredictAbsolute;
// Values below this are more often counts and sizes than addresses.
constexpr std::uint64_t kMinAbsolute = 0x1000;
// predictOld reads this far on either side of the bytes it predicts.
constexpr std::size_t kPredictMargin = 8;
}  // namespace delta

struct Command {
  unsigned kind = delta::Literal;
  std::uint64_t length = 0;
  std::int64_t shift = 0;  // new offset - old offset, for all but Literal
  unsigned bits = 0;       // for Shifted: 1-7, the bit of the old byte it starts at
};

// n bytes of old read from bit `bits` (1-7) of old[0] on: n + 1 old bytes.
inline void shiftBits(const unsigned char* old, std::size_t n, unsigned bits, unsigned char* out) {
  for (std::size_t i = 0; i < n; ++i)
    out[i] = static_cast<unsigned char>((old[i] | old[i + 1] << 8) >> bits);
}

// Piecewise constant: the shift of the longest copy or add covering an old
// offset (the earlier of equals); an offset no command covers takes the
// shift of the nearest covered one before it, or 0.
class ShiftMap {
 public:
  // commands hold the new offsets implied by their order.
  void build(const std::vector<Command>& commands);
  // The predictor looks up every address it moves: inline, the few entries
  // of the address's bucket scanned in order (past the last bucket, the
  // last one's).
  std::int64_t at(std::uint64_t oldOffset) const {
    if (first_.empty()) return 0;
    const std::size_t k = static_cast<std::size_t>(
        std::min<std::uint64_t>(oldOffset >> bucketShift_, first_.size() - 2));
    std::size_t i = first_[k];
    const std::size_t end = first_[k + 1];
    if (end - i > 8) return searchedAt(oldOffset, i, end);
    while (i < end && starts_[i] <= oldOffset) ++i;
    return i == 0 ? 0 : shifts_[i - 1];
  }

 private:
  std::int64_t searchedAt(std::uint64_t oldOffset, std::size_t from, std::size_t to) const;

  std::vector<std::uint64_t> starts_;
  std::vector<std::int64_t> shifts_;
  // first_[k]: the first entry starting at or after bucket k's start; the
  // predictor looks up every address it moves.
  std::vector<std::uint32_t> first_;
  int bucketShift_ = 0;
};

// Writes to out the predicted bytes for old[from, to): the old bytes, with
// the addresses the predictor recognises moved as the map says, for a
// command whose own shift is commandShift. window holds old[windowStart,
// windowStart + windowSize), which must include [from - kPredictMargin,
// to + kPredictMargin) clipped to the old file.
void predictOld(const unsigned char* window, std::uint64_t windowStart, std::size_t windowSize,
                std::uint64_t oldSize, std::uint64_t from, std::uint64_t to,
                std::int64_t commandShift, const ShiftMap& map, unsigned flags, unsigned char* out);

}  // namespace rtp

#endif
