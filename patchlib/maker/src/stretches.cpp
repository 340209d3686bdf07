// The long stretches a near copy (a rebuild) shares with old, found by
// hashing in one pass, before anything is sorted.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "compare.h"
#include "differ.h"

namespace rtp {

namespace {

// Shared stretches are found from blocks of this many old bytes, at
// multiples of it: any equal stretch twice as long holds one.
constexpr std::size_t kBlock = 512;
// How far past the end of a shared stretch its alignment is tried again.
constexpr std::size_t kResync = 64;

}  // namespace

std::vector<Run> sharedRuns(const unsigned char* o, std::size_t on, const unsigned char* n,
                            std::size_t nn) {
  std::vector<Run> runs;
  if (on < kBlock || nn < kBlock) return runs;
  constexpr std::uint64_t kMul = 0x100000001b3ull;
  std::uint64_t outFactor = 1;  // kMul to the power kBlock - 1: the leaving byte's weight
  for (std::size_t i = 1; i < kBlock; ++i) outFactor *= kMul;
  // Four bytes a step, the same sum: one multiplication a step waits for
  // the last instead of four.
  constexpr std::uint64_t kMul2 = kMul * kMul, kMul3 = kMul2 * kMul, kMul4 = kMul3 * kMul;
  static_assert(kBlock % 4 == 0, "the hash takes four bytes a step");
  auto hashOf = [&](const unsigned char* p) {
    std::uint64_t h = 0;
    for (std::size_t i = 0; i < kBlock; i += 4)
      h = h * kMul4 + (p[i] * kMul3 + p[i + 1] * kMul2 + p[i + 2] * kMul + p[i + 3]);
    return h;
  };
  const std::size_t blocks = on / kBlock;
  unsigned bits = 1;
  while ((std::size_t(1) << bits) < blocks * 2) ++bits;
  const std::size_t mask = (std::size_t(1) << bits) - 1;
  struct Slot {
    std::uint32_t tag;    // the hash's low half (its high half chose the slot)
    std::uint32_t block;  // + 1; 0: empty
  };
  std::vector<Slot> table;
  const unsigned filterBits = bits + 3;
  std::vector<std::uint64_t> filter;
  auto filterAt = [&](std::uint64_t h) {
    return static_cast<std::size_t>((h * 0xc2b2ae3d27d4eb4full) >> (64 - filterBits));
  };
  auto find = [&](std::uint64_t h) {
    std::size_t at = static_cast<std::size_t>((h * 0x9e3779b97f4a7c15ull) >> (64 - bits)) & mask;
    while (table[at].block && table[at].tag != static_cast<std::uint32_t>(h)) at = (at + 1) & mask;
    return at;
  };
  auto fill = [&] {
    table.assign(mask + 1, Slot{0, 0});
    filter.assign((std::size_t(1) << filterBits) / 64 + 1, 0);
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::uint64_t h = hashOf(o + b * kBlock);
      filter[filterAt(h) / 64] |= std::uint64_t(1) << (filterAt(h) % 64);
      const std::size_t at = find(h);
      if (!table[at].block)
        table[at] = {static_cast<std::uint32_t>(h), static_cast<std::uint32_t>(b + 1)};
    }
  };
  // Whether old at the last alignment holds new's next block at p.
  std::int64_t lastShift = 0;
  auto fitsLast = [&](std::size_t p) {
    const std::int64_t at = static_cast<std::int64_t>(p) + lastShift;
    return at >= 0 && static_cast<std::size_t>(at) + kBlock <= on &&
           std::memcmp(o + at, n + p, kBlock) == 0;
  };

  std::size_t p = 0, floor = 0;  // floor: where the last stretch ended in new
  std::size_t covered = 0;
  const std::size_t unmatchedLimit = nn - nn * kSharedSixteenths / 16;
  while (p + kBlock <= nn) {
    std::size_t op = 0;
    bool found = false;
    for (std::size_t k = 0; k < kResync && p + k + kBlock <= nn && !found; ++k) {
      if (fitsLast(p + k)) {
        p += k;
        op = static_cast<std::size_t>(static_cast<std::int64_t>(p) + lastShift);
        found = true;
      }
    }
    if (!found) {
      if (table.empty()) fill();
      for (std::uint64_t h = hashOf(n + p);;) {
        const std::size_t bit = filterAt(h);
        const std::size_t at = filter[bit / 64] >> (bit % 64) & 1 ? find(h) : mask + 1;
        if (at <= mask && table[at].block &&
            std::memcmp(o + (table[at].block - 1) * kBlock, n + p, kBlock) == 0) {
          // The last alignment where it fits as well: a rebuild keeps its
          // layout, and runs of equal bytes (zeros) fit anywhere.
          op = fitsLast(p) ? static_cast<std::size_t>(static_cast<std::int64_t>(p) + lastShift)
                           : (table[at].block - 1) * kBlock;
          found = true;
          break;
        }
        if (p + kBlock >= nn || p - covered > unmatchedLimit) break;
        h = (h - n[p] * outFactor) * kMul + n[p + kBlock];
        ++p;
      }
      if (!found) break;
    }
    const std::size_t back = sameBackward(o + op, n + p, std::min(op, p - floor));
    const std::size_t fwd = sameForward(o + op, n + p, std::min(on - op, nn - p));
    runs.push_back({p - back, op - back, back + fwd});
    covered += back + fwd;
    lastShift = static_cast<std::int64_t>(op) - static_cast<std::int64_t>(p);
    p += fwd;
    floor = p;
  }
  return runs;
}

}  // namespace rtp
