#include "rtp/bytes.h"
#include "rtp/delta.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rtp {

namespace {

// Byte pairs that precede a 32-bit displacement in x86 code: call and jmp
// rel32, jcc rel32, and a ModRM byte for [rip + disp32] (disp32 alone in
// 32-bit code) after the opcodes that commonly take a memory operand.
struct Contexts {
  unsigned char before[65536];  // 1 for a pair, by previous byte | byte << 8 (a little-endian load)
  Contexts() : before() {
    static const unsigned char memoryOpcodes[] = {
        0x01, 0x03, 0x0B, 0x10, 0x11, 0x23, 0x28, 0x29, 0x2B, 0x2E, 0x2F, 0x33, 0x38, 0x39, 0x3A,
        0x3B, 0x54, 0x57, 0x58, 0x59, 0x5C, 0x5E, 0x63, 0x6F, 0x7F, 0x80, 0x81, 0x83, 0x84, 0x85,
        0x88, 0x89, 0x8A, 0x8B, 0x8D, 0xB6, 0xB7, 0xBE, 0xBF, 0xC1, 0xC6, 0xC7, 0xD1, 0xF7, 0xFF};
    for (unsigned prev = 0; prev < 256; ++prev) {
      before[prev | 0xE8 << 8] = before[prev | 0xE9 << 8] = 1;
      for (unsigned modrm = 0; modrm < 256; ++modrm)
        if ((modrm & 0xC7) == 0x05 && std::find(std::begin(memoryOpcodes), std::end(memoryOpcodes),
                                                prev) != std::end(memoryOpcodes))
          before[prev | modrm << 8] = 1;
    }
    for (unsigned cc = 0x80; cc <= 0x8F; ++cc) before[0x0F | cc << 8] = 1;
  }
};

const Contexts& contexts() {
  static const Contexts c;
  return c;
}

// Puts a predicted field (a Word wide) at old offset p into out, which
// holds old[from, to): with one store where the field lies inside, the
// part inside where it straddles an end.
template <typename Word>
__attribute__((always_inline)) inline void putField(unsigned char* out, std::uint64_t from,
                                                    std::uint64_t to, std::uint64_t p, Word value) {
  if (p >= from && p + sizeof value <= to) {
    std::memcpy(out + (p - from), &value, sizeof value);
    return;
  }
  for (std::uint64_t x = std::max(p, from); x < std::min<std::uint64_t>(p + sizeof value, to); ++x)
    out[x - from] = static_cast<unsigned char>(value >> (8 * (x - p)));
}

}  // namespace

void ShiftMap::build(const std::vector<Command>& commands) {
  starts_.clear();
  shifts_.clear();
  first_.clear();
  struct Piece {
    std::uint64_t start, end;
    std::int64_t shift;
  };
  std::vector<Piece> pieces;
  std::vector<std::uint64_t> bounds;
  std::uint64_t newPos = 0;
  for (const Command& c : commands) {
    if (c.kind == delta::Copy || c.kind == delta::Add) {
      const std::uint64_t start = newPos - static_cast<std::uint64_t>(c.shift);
      pieces.push_back({start, start + c.length, c.shift});
      bounds.push_back(start);
      bounds.push_back(start + c.length);
    }
    newPos += c.length;
  }
  if (pieces.empty()) return;
  std::sort(bounds.begin(), bounds.end());
  bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
  // Longest first; stable, so the earlier of equals paints first.
  std::vector<std::size_t> order(pieces.size());
  std::iota(order.begin(), order.end(), std::size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return pieces[a].end - pieces[a].start > pieces[b].end - pieces[b].start;
  });
  // owner of each elementary interval [bounds[i], bounds[i+1]); next[i]
  // skips painted ones (path-halving union-find).
  const std::size_t cells = bounds.size() - 1;
  std::vector<std::size_t> owner(cells, pieces.size()), next(cells + 1);
  std::iota(next.begin(), next.end(), std::size_t(0));
  auto find = [&](std::size_t i) {
    while (next[i] != i) i = next[i] = next[next[i]];
    return i;
  };
  for (std::size_t k : order) {
    const std::size_t first = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), pieces[k].start) - bounds.begin());
    const std::size_t last = static_cast<std::size_t>(
        std::lower_bound(bounds.begin(), bounds.end(), pieces[k].end) - bounds.begin());
    for (std::size_t i = find(first); i < last; i = find(i)) {
      owner[i] = k;
      next[i] = i + 1;
    }
  }
  for (std::size_t i = 0; i < cells; ++i) {
    if (owner[i] == pieces.size()) continue;
    const std::int64_t s = pieces[owner[i]].shift;
    if (shifts_.empty() || shifts_.back() != s) {
      starts_.push_back(bounds[i]);
      shifts_.push_back(s);
    }
  }
  // About four buckets an entry over the map's span, at most 2^16: a table
  // for the span alone was most of a small map's build (zeroed and faulted
  // in, 256 KiB for a 2 MiB library).
  const std::uint64_t most =
      std::min<std::uint64_t>(65536, std::max<std::uint64_t>(1024, 4 * starts_.size()));
  bucketShift_ = 0;
  while ((starts_.back() >> bucketShift_) >= most) ++bucketShift_;
  const std::size_t buckets = static_cast<std::size_t>(starts_.back() >> bucketShift_) + 1;
  first_.assign(buckets + 1, 0);
  std::size_t e = 0;
  for (std::size_t k = 0; k <= buckets; ++k) {
    while (e < starts_.size() && (starts_[e] >> bucketShift_) < k) ++e;
    first_[k] = static_cast<std::uint32_t>(e);
  }
}

std::int64_t ShiftMap::searchedAt(std::uint64_t oldOffset, std::size_t from, std::size_t to) const {
  const auto it = std::upper_bound(starts_.begin() + static_cast<std::ptrdiff_t>(from),
                                   starts_.begin() + static_cast<std::ptrdiff_t>(to), oldOffset);
  return it == starts_.begin() ? 0 : shifts_[static_cast<std::size_t>(it - starts_.begin()) - 1];
}

void predictOld(const unsigned char* window, std::uint64_t windowStart, std::size_t windowSize,
                std::uint64_t oldSize, std::uint64_t from, std::uint64_t to,
                std::int64_t commandShift, const ShiftMap& map, unsigned flags,
                unsigned char* out) {
  (void)windowSize;
  const unsigned char* old = window - windowStart;  // old[x] for x inside the window
  if (flags & delta::kPredictAbsolute) {
    // Every aligned word is read for this test: it is copied by the same
    // pass, moved or not. Only the words across from and to are clipped,
    // and the bytes after the file's last whole word copied apart.
    const std::uint64_t span = oldSize > delta::kMinAbsolute ? oldSize - delta::kMinAbsolute : 0;
    auto moved = [&](std::uint64_t p) __attribute__((always_inline)) {
      const std::uint64_t v = bytes::le64(old + p);
      return v - delta::kMinAbsolute < span ? v + static_cast<std::uint64_t>(map.at(v)) : v;
    };
    // A whole word inside [from, to).
    auto put = [&](std::uint64_t p) __attribute__((always_inline)) {
      const std::uint64_t v = moved(p);
      std::memcpy(out + (p - from), &v, 8);
    };
    const std::uint64_t wholeEnd = std::min(to, oldSize);
    std::uint64_t p = from & ~std::uint64_t(7);
    if (p < from && p + 8 <= oldSize) {
      putField(out, from, to, p, moved(p));
      p += 8;
    }
#ifdef __SSE2__
    // Four words a test. A word that moves is below the file's size, so in
    // a file below 4 GiB its high half is zero: most words (code) fail that
    // at once and are copied as they are.
    if (oldSize <= (std::uint64_t(1) << 32)) {
      const __m128i zero = _mm_setzero_si128();
      for (; p + 32 <= wholeEnd; p += 32) {
        const __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + p));
        const __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + p + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (p - from)), w0);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (p + 16 - from)), w1);
        // Each word's high half zero, as bits 1 and 3 (w0) and 5 and 7 (w1).
        const unsigned highZero = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi32(
                                      _mm_cmpeq_epi32(w0, zero), _mm_cmpeq_epi32(w1, zero)))) &
                                  0xCCCC;
        if (highZero == 0) continue;
        if (highZero & 0x000C) put(p);
        if (highZero & 0x00C0) put(p + 8);
        if (highZero & 0x0C00) put(p + 16);
        if (highZero & 0xC000) put(p + 24);
      }
    }
#endif
    for (; p + 8 <= wholeEnd; p += 8) put(p);
    if (p < to && p + 8 <= oldSize) {
      putField(out, from, to, p, moved(p));
      p += 8;
    }
    const std::uint64_t rest = std::max(p, from);
    if (rest < to)
      std::memcpy(out + (rest - from), old + rest, static_cast<std::size_t>(to - rest));
  } else {
    std::memcpy(out, old + from, static_cast<std::size_t>(to - from));
  }
  if ((flags & delta::kPredictRelative) && oldSize >= 6) {
    const Contexts& ctx = contexts();
    // Fields in order of position, a later one overwriting the bytes it
    // shares with an earlier one; a field pointing outside the file is
    // left alone.
    const std::uint64_t first = std::max<std::uint64_t>(from >= 3 ? from - 3 : 0, 2);
    const std::uint64_t end = std::min<std::uint64_t>(to, oldSize - 3);
    // The two bytes before p as one load; the table is laid out for it.
    auto pairAt = [&](std::uint64_t p) {
      std::uint16_t v;
      std::memcpy(&v, old + p - 2, 2);
      return v;
    };
    auto field = [&](std::uint64_t p) __attribute__((always_inline)) {
      const std::int64_t rel = static_cast<std::int32_t>(bytes::le32(old + p));
      const std::int64_t target = static_cast<std::int64_t>(p) + 4 + rel;
      if (target < 0 || static_cast<std::uint64_t>(target) >= oldSize) return;
      putField(out, from, to, p,
               static_cast<std::uint32_t>(
                   rel + (map.at(static_cast<std::uint64_t>(target)) - commandShift)));
    };
    std::uint64_t p = first;
#ifdef __SSE2__
    // Sixteen positions a test of the two bytes before each field: E8 or E9,
    // 0F then 80-8F, or a ModRM byte xx000101 (the table then decides on
    // the byte before it).
    const __m128i e8 = _mm_set1_epi8(static_cast<char>(0xE8));
    const __m128i x0f = _mm_set1_epi8(0x0F);
    const __m128i x80 = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i x05 = _mm_set1_epi8(0x05);
    const __m128i feMask = _mm_set1_epi8(static_cast<char>(0xFE));
    const __m128i f0Mask = _mm_set1_epi8(static_cast<char>(0xF0));
    const __m128i c7Mask = _mm_set1_epi8(static_cast<char>(0xC7));
    auto hits = [&](std::uint64_t at) __attribute__((always_inline)) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + at - 2));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + at - 1));
      const __m128i jcc =
          _mm_and_si128(_mm_cmpeq_epi8(a, x0f), _mm_cmpeq_epi8(_mm_and_si128(b, f0Mask), x80));
      return static_cast<std::uint32_t>(_mm_movemask_epi8(
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(b, feMask), e8), jcc),
                       _mm_cmpeq_epi8(_mm_and_si128(b, c7Mask), x05))));
    };
    // Positions p + i for the bits i of m.
    auto fields = [&](std::uint32_t m) __attribute__((always_inline)) {
      for (; m != 0; m &= m - 1) {
        const std::uint64_t q = p + static_cast<unsigned>(__builtin_ctz(m));
        if (ctx.before[pairAt(q)]) field(q);
      }
    };
    // Thirty-two a loop, one branch on both masks; then sixteen once.
    for (; p + 32 <= end; p += 32) fields(hits(p) | hits(p + 16) << 16);
    if (p + 16 <= end) {
      fields(hits(p));
      p += 16;
    }
#endif
    // Four positions a test: few pairs qualify, so most groups pass at once.
    for (; p + 4 <= end; p += 4) {
      if (!(ctx.before[pairAt(p)] | ctx.before[pairAt(p + 1)] | ctx.before[pairAt(p + 2)] |
            ctx.before[pairAt(p + 3)]))
        continue;
      for (std::uint64_t q = p; q < p + 4; ++q)
        if (ctx.before[pairAt(q)]) field(q);
    }
    for (; p < end; ++p)
      if (ctx.before[pairAt(p)]) field(p);
  }
}

}  // namespace rtp
