// The differ's byte comparisons: eight bytes at a time, the rest one by
// one; `max` bounds each.
#ifndef RTP_MAKER_COMPARE_H
#define RTP_MAKER_COMPARE_H

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rtp {

constexpr std::uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
constexpr std::uint64_t kHigh = 0x8080808080808080ull;

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
// The high bit of each byte of v that is zero.
inline std::uint64_t zeroBytes(std::uint64_t v) { return ~(((v & kLow7) + kLow7) | v) & kHigh; }

// The lowest lane of d that is set, and the highest going back: in a
// little-endian load, byte 0 is the lowest.
inline unsigned lowLanes(std::uint64_t d) { return static_cast<unsigned>(__builtin_ctzll(d)) / 8; }
inline unsigned highLanes(std::uint64_t d) { return static_cast<unsigned>(__builtin_clzll(d)) / 8; }

// How many bytes a[i] == b[i] from the start: a word first (most
// comparisons end in it), then sixteen bytes at a time where there are.
inline std::size_t sameForward(const unsigned char* a, const unsigned char* b, std::size_t max) {
  std::size_t i = 0;
  if (max >= 8) {
    if (const std::uint64_t d = load8(a) ^ load8(b)) return lowLanes(d);
    i = 8;
  }
#ifdef __SSE2__
  for (; i + 16 <= max; i += 16) {
    const __m128i eq = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    if (const unsigned ne = static_cast<unsigned>(_mm_movemask_epi8(eq)) ^ 0xffffu)
      return i + static_cast<unsigned>(__builtin_ctz(ne));
  }
#endif
  for (; i + 8 <= max; i += 8)
    if (const std::uint64_t d = load8(a + i) ^ load8(b + i)) return i + lowLanes(d);
  while (i < max && a[i] == b[i]) ++i;
  return i;
}
// How many bytes a[i] != b[i] from the start.
inline std::size_t differentForward(const unsigned char* a, const unsigned char* b,
                                    std::size_t max) {
  std::size_t i = 0;
  for (; i + 8 <= max; i += 8)
    if (const std::uint64_t e = zeroBytes(load8(a + i) ^ load8(b + i))) return i + lowLanes(e);
  while (i < max && a[i] != b[i]) ++i;
  return i;
}
// The same going back from a and b (exclusive).
inline std::size_t sameBackward(const unsigned char* a, const unsigned char* b, std::size_t max) {
  std::size_t i = 0;
  for (; i + 8 <= max; i += 8)
    if (const std::uint64_t d = load8(a - i - 8) ^ load8(b - i - 8)) return i + highLanes(d);
  while (i < max &&
         a[-1 - static_cast<std::ptrdiff_t>(i)] == b[-1 - static_cast<std::ptrdiff_t>(i)])
    ++i;
  return i;
}
inline std::size_t differentBackward(const unsigned char* a, const unsigned char* b,
                                     std::size_t max) {
  std::size_t i = 0;
  for (; i + 8 <= max; i += 8)
    if (const std::uint64_t e = zeroBytes(load8(a - i - 8) ^ load8(b - i - 8)))
      return i + highLanes(e);
  while (i < max &&
         a[-1 - static_cast<std::ptrdiff_t>(i)] != b[-1 - static_cast<std::ptrdiff_t>(i)])
    ++i;
  return i;
}
// The three bytes at p as one big-endian number, those at or past left zeros.
inline std::uint32_t prefix24(const unsigned char* p, std::size_t left) {
  if (left >= 3) return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
  return (left > 0 ? std::uint32_t(p[0]) << 16 : 0) | (left > 1 ? std::uint32_t(p[1]) << 8 : 0);
}
// How many of n bytes are equal.
inline std::size_t countSame(const unsigned char* a, const unsigned char* b, std::size_t n) {
  std::size_t count = 0, i = 0;
#ifdef __SSE2__
  // Sixteen lanes each counting its equal bytes (an equal lane is -1),
  // summed before any lane can pass 255.
  while (i + 16 <= n) {
    __m128i lanes = _mm_setzero_si128();
    const std::size_t end = std::min(n & ~std::size_t(15), i + 255 * 16);
    for (; i < end; i += 16)
      lanes = _mm_sub_epi8(
          lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))));
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; i + 8 <= n; i += 8)
    // One bit a lane: a multiply adds them (no popcount instruction assumed).
    count += static_cast<std::size_t>(
        ((zeroBytes(load8(a + i) ^ load8(b + i)) >> 7) * 0x0101010101010101ull) >> 56);
  for (; i < n; ++i) count += a[i] == b[i];
  return count;
}

}  // namespace rtp

#endif
