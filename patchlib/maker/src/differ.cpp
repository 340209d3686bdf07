// Delta encoding. A suffix array of the old file finds exact matches; each
// is stretched into an approximate run while most bytes agree, so code
// moved by relinking becomes runs of old bytes with a few differences.
// Runs become commands, their differences sparse (positions and bytes), and
// the address predictor moves the old file's x86 displacements and
// pointers as the runs say before the differences are taken
// (encode_runs.cpp).
//
// A near copy (a rebuild that changed a stamp) is first matched by hashing:
// the long stretches it shares with the old file are found in one pass
// (stretches.cpp), and only the old bytes outside them are sorted, so time
// and memory follow the change rather than the file.
#include <divsufsort.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "big_buffer.h"
#include "both.h"
#include "compare.h"
#include "differ.h"
#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/maker.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

// A match at least this long is taken at once; stops long runs of equal
// bytes from making the scan quadratic.
constexpr std::size_t kLongMatch = 4096;
// A match the scan passed over is carried to the next position, one byte
// shorter, while it is longer than this, instead of searching again: the
// search at every byte was most of a large file's make. Shorter matches are
// searched for, since a new one is then likely to be longer. Measured on
// Debian binaries: a 45 MiB library 30 % faster and 0.04 % larger at 8;
// below 16 MiB, 8 cost a 4 MiB image 1.2 %, 16 nothing.
constexpr std::size_t kCarryLarge = 8;
constexpr std::size_t kCarrySmall = 16;
// Above this new size only the first way of matching is tried.
constexpr std::size_t kTryAllBelow = 16u << 20;
// From this new size on, new's two halves are scanned at once (split where
// both keep the alignment of a shared stretch: the runs are the ones a
// single scan finds, as a rule). From 64 KiB, efiboot's make took a
// millisecond less, but the tree's patch was 1,212 bytes larger.
constexpr std::size_t kSplitFrom = 256u << 10;

// How the scan decides to leave the current alignment for a new match.
struct ScanRules {
  std::size_t minGain;     // the match beats the alignment by this many bytes
  std::size_t window;      // 0, or: also compare both over this many bytes ...
  std::size_t minLen;      // ... for matches at least this long ...
  std::size_t windowGain;  // ... and switch when the match wins by this much
};
// The first suits code whose references moved; the second tables whose
// entries were inserted or renumbered; the third text edited in many small
// places (a catalogue of translations), where a short match must win by
// more to break the alignment: its commands cost more than the bytes they
// save. The third is tried only where the first finds a run in every
// kTextRuns bytes or more; code has one in some thousands.
constexpr ScanRules kRules[] = {{8, 0, 0, 0}, {8, 256, 6, 16}, {32, 0, 0, 0}};
constexpr std::size_t kTextWay = 2;
constexpr std::size_t kTextRuns = 256;

// Old bytes sorted on each side of what the shared stretches leave, so that
// matches reaching into them rank as they would in the whole file.
constexpr std::size_t kMargin = 256;

// Bit-packed data (compiler bitcode) keeps its fields but not their byte
// alignment after a field that changed width. Below this old size, where new
// shares enough sampled stretches with old read from the other bits of a
// byte (the bit views) and not with old itself, those views are matched too:
// eight times old, and its suffix array.
constexpr std::size_t kBitViewsBelow = 4u << 20;
// The share of new's samples (in 1/kBitShare) found only in the bit views.
constexpr std::size_t kBitShare = 100;

// The old file's sorted suffixes, each entry in as few bytes as the file's
// positions need: 3 up to 16 MiB, where divsufsort's own 4 would make this
// array alone four times the file.
class SuffixArray {
 public:
  SuffixArray() : width_(3) {}
  SuffixArray(const unsigned char* data, std::size_t size) : width_(size <= (1u << 24) ? 3 : 4) {
    if (size == 0) return;
    // One byte more than the entries: every entry is read as four bytes.
    saidx_t* sa = static_cast<saidx_t*>(bigAlloc(size * sizeof(saidx_t) + 1));
    bytes_.reset(reinterpret_cast<unsigned char*>(sa));
    if (divsufsort(data, sa, static_cast<saidx_t>(size)) != 0)
      throw MakeError("suffix sort failed");
    if (width_ == 4) return;  // divsufsort's entries already read as ours
    unsigned char* out = bytes_.get();
    // In place, front to back, each entry stored as four bytes whose fourth
    // the next entry overwrites: entry i's bytes end before entry i + 1 is
    // read, and then written over.
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint32_t v = static_cast<std::uint32_t>(sa[i]);
      std::memcpy(out + i * width_, &v, 4);
    }
    // A shrinking realloc gives the tail back without copying.
    bytes_.release();
    bytes_.reset(static_cast<unsigned char*>(bigShrink(out, size * width_ + 1)));
  }

  const unsigned char* bytes() const { return bytes_.get(); }
  unsigned width() const { return width_; }

 private:
  struct Free {
    void operator()(unsigned char* p) const { bigFree(p); }
  };
  std::unique_ptr<unsigned char, Free> bytes_;
  unsigned width_;
};

// Calls f with the hash of each 16-byte stretch of p[0, n) whose hash
// starts with six zero bits (one in 64): chosen by content, so a stretch two
// files share is sampled in both wherever it lies.
constexpr std::size_t kSampleWindow = 16;
template <class F>
void forEachSample(const unsigned char* p, std::size_t n, F&& f) {
  constexpr std::uint32_t kMul = 0x9e3779b1u;
  if (n < kSampleWindow) return;
  std::uint32_t outgoing = 1;  // kMul to the window's length
  for (std::size_t i = 0; i < kSampleWindow; ++i) outgoing *= kMul;
  std::uint32_t h = 0;
  for (std::size_t i = 0; i < n; ++i) {
    h = h * kMul + p[i];
    if (i >= kSampleWindow) h -= outgoing * p[i - kSampleWindow];
    const std::uint32_t mixed = (h ^ h >> 15) * 0x2c1b3c6du;
    if (i + 1 >= kSampleWindow && (mixed >> 26) == 0) f(mixed);
  }
}

// Whether a kBitShare-th of new's sampled stretches are found in the bit
// views and not in old itself. The views are read a part at a time, and no
// further once they find less than a quarter of the share needed: a file
// that is not bit-packed costs little more than its first part.
bool bitViewsMayPay(const unsigned char* o, std::size_t oldSize, const unsigned char* n,
                    std::size_t newSize) {
  if (oldSize < 2 || oldSize >= kBitViewsBelow) return false;
  std::vector<std::uint32_t> wanted = sampledStretches(n, newSize);
  const std::size_t enough = std::max<std::size_t>(1, (wanted.size() + kBitShare - 1) / kBitShare);
  const std::vector<std::uint32_t> aligned = sampledStretches(o, oldSize);
  wanted.erase(std::remove_if(wanted.begin(), wanted.end(),
                              [&](std::uint32_t h) {
                                return std::binary_search(aligned.begin(), aligned.end(), h);
                              }),
               wanted.end());
  if (wanted.size() < enough) return false;
  constexpr std::size_t kPart = 64u << 10;
  std::vector<char> found(wanted.size());
  std::size_t only = 0;
  std::vector<unsigned char> view(kPart + kSampleWindow);
  for (std::size_t at = 0; at < oldSize - 1; at += kPart) {
    if (at > 0 && only * 4 * (oldSize - 1) < enough * at) return false;
    const std::size_t from = at >= kSampleWindow ? at - (kSampleWindow - 1) : 0;
    const std::size_t to = std::min(at + kPart, oldSize - 1);
    for (unsigned k = 1; k < 8; ++k) {
      shiftBits(o + from, to - from, k, view.data());
      forEachSample(view.data(), to - from, [&](std::uint32_t h) {
        const auto it = std::lower_bound(wanted.begin(), wanted.end(), h);
        if (it == wanted.end() || *it != h) return;
        char& seen = found[static_cast<std::size_t>(it - wanted.begin())];
        only += !seen;
        seen = 1;
      });
    }
    if (only >= enough) return true;
  }
  return false;
}

}  // namespace

struct DeltaIndex::Impl {
  Impl(const unsigned char* o, std::size_t on) : old(o), oldSize(on) {}

  // Sorts the suffixes of text: old itself, or the parts of it in pieces.
  void sort(const unsigned char* t, std::size_t size) {
    text = t;
    textSize = size;
    sa = SuffixArray(t, size);
    // Where the suffixes starting with each key (their first bucketBits
    // bits, a short suffix's padded with zeros, so that it sorts first
    // among its key's) begin in the array: counted over the text, which
    // holds the same keys as the array in order. As many keys as an eighth
    // of the text (a table half its size), from a byte to three: a search's
    // first steps are its cache misses, and a small file's table is zeroed
    // and faulted in for each file.
    bucketBits = 8;
    while (bucketBits < 24 && (std::size_t(8) << bucketBits) <= size) ++bucketBits;
    bucket.assign((std::size_t(1) << bucketBits) + 1, 0);
    for (std::size_t i = 0; i < size; ++i) ++bucket[keyAt(i) + 1];
    for (std::size_t k = 1; k < bucket.size(); ++k) bucket[k] += bucket[k - 1];
    sorted = true;
  }
  std::size_t keyAt(std::size_t at) const {
    return prefix24(text + at, textSize - at) >> (24 - bucketBits);
  }

  // Sorts only the old bytes the shared stretches leave, with margins, when
  // the stretches are most of new and that is a small part of old.
  void sortOutside(std::size_t newSize) {
    std::vector<Run> runs = stretches;
    std::size_t covered = 0;
    for (const Run& r : runs) covered += r.length;
    if (covered * 16 < newSize * kSharedSixteenths) return;
    std::sort(runs.begin(), runs.end(),
              [](const Run& a, const Run& b) { return a.oldStart < b.oldStart; });
    std::vector<std::pair<std::size_t, std::size_t>> parts;  // [from, to) of old
    std::size_t at = 0, total = 0;
    auto keep = [&](std::size_t from, std::size_t to) {
      from = from > kMargin ? from - kMargin : 0;
      to = std::min(oldSize, to + kMargin);
      if (!parts.empty() && from <= parts.back().second) {
        total -= parts.back().second - parts.back().first;
        parts.back().second = std::max(parts.back().second, to);
      } else {
        parts.push_back({from, to});
      }
      total += parts.back().second - parts.back().first;
    };
    for (const Run& r : runs) {
      if (r.oldStart > at) keep(at, r.oldStart);
      at = std::max(at, r.oldStart + r.length);
    }
    if (at < oldSize) keep(at, oldSize);
    if (total > oldSize / kSortedPart) return;
    pieces.reserve(total);
    for (const auto& [from, to] : parts) {
      starts.push_back({pieces.size(), from});
      pieces.insert(pieces.end(), old + from, old + to);
    }
    sort(pieces.data(), pieces.size());
  }

  // Where new is split for its halves to be scanned at once: inside the
  // stretch where half of what the stretches leave (where the searches
  // are) lies before, so that both halves keep its alignment there.
  std::size_t middle(std::size_t newSize) const {
    std::size_t outside = newSize;
    for (const Run& r : stretches) outside -= r.length;
    std::size_t at = 0, before = 0;
    for (const Run& r : stretches) {
      before += r.newStart - at;
      if (before * 2 >= outside) return r.newStart + r.length / 2;
      at = r.newStart + r.length;
    }
    return at + (newSize - at) / 2;
  }

  // Once sorted: only the parts of old the stretches leave, or else old whole.
  bool sortedOutside() const { return text != old; }

  // Where a position of the text lies in old.
  std::size_t oldPosOf(std::size_t at) const {
    if (!sortedOutside()) return at;
    auto it = std::upper_bound(
        starts.begin(), starts.end(), at,
        [](std::size_t a, const std::pair<std::size_t, std::size_t>& s) { return a < s.first; });
    --it;
    return it->second + (at - it->first);
  }

  const unsigned char* old;
  std::size_t oldSize;
  std::vector<Run> stretches;  // shared with new, in new's order
  bool stretchesFound = false;
  std::vector<unsigned char, BigAllocator<unsigned char>> pieces;
  std::vector<std::pair<std::size_t, std::size_t>> starts;  // each piece's text and old start
  const unsigned char* text = nullptr;
  std::size_t textSize = 0;
  SuffixArray sa;
  std::vector<std::uint32_t, BigAllocator<std::uint32_t>> bucket;
  unsigned bucketBits = 16;
  bool sorted = false;
  bool bitViews = false;  // matched against old and its bit views instead
};

DeltaIndex::DeltaIndex(const unsigned char* oldData, std::size_t oldSize) {
  if (oldSize >= 0x7fffffff) throw MakeError("old file too large for delta encoding");
  impl_ = std::make_unique<Impl>(oldData, oldSize);
  impl_->sort(oldData, oldSize);
}
DeltaIndex::DeltaIndex(const unsigned char* oldData, std::size_t oldSize,
                       const unsigned char* newData, std::size_t newSize) {
  if (oldSize >= 0x7fffffff) throw MakeError("old file too large for delta encoding");
  impl_ = std::make_unique<Impl>(oldData, oldSize);
  // Where the bit views may be matched, old is sorted while they are
  // checked, at once: efiboot's make 23.7 -> 21.2 ms. The sort is thrown
  // away when they pay (bit-packed files, a few in a tree); one after the
  // other, the check comes first and spares it.
  const bool mayView = oldSize >= 2 && oldSize < kBitViewsBelow;
  std::atomic<bool> views{false};
  both(
      mayView, [&] { views = bitViewsMayPay(oldData, oldSize, newData, newSize); },
      [&] {
        if (views) return;
        impl_->stretches = sharedRuns(oldData, oldSize, newData, newSize);
        impl_->stretchesFound = true;
        impl_->sortOutside(newSize);
        if (mayView && !impl_->sorted && !views) impl_->sort(oldData, oldSize);
      });
  if (views) {
    impl_ = std::make_unique<Impl>(oldData, oldSize);
    impl_->bitViews = true;
  }
}
DeltaIndex::DeltaIndex(DeltaIndex&&) noexcept = default;
DeltaIndex::~DeltaIndex() = default;

bool DeltaIndex::wantsWholeSort() const { return !impl_->sorted && !impl_->bitViews; }
void DeltaIndex::sortWhole() {
  if (wantsWholeSort()) impl_->sort(impl_->old, impl_->oldSize);
}

namespace {

// The equal bytes last counted in a window of new at each of two offsets.
struct WindowCounts {
  struct Count {
    std::int64_t offset = 0;
    std::size_t from = 0, to = 0, same = 0;
  };
  Count slot[2];
  unsigned older = 0;
};

// The longest matches one scan found, for the next scan over the same files:
// a match depends on its new position alone, the ways of matching search at
// many of the same positions, each way in increasing order, and on a large
// file the searches' cache misses are most of a scan.
class Searches {
 public:
  // From now on, answers from what was recorded.
  void replay() {
    replaying_ = true;
    block_ = 0;
    in_ = bytes::Reader(nullptr, 0, "searches");
    next_ = Found{};
    readNext();
  }
  template <class Search>
  std::size_t at(std::size_t newPos, std::size_t& matchPos, Search&& search) {
    if (replaying_) {
      while (more_ && next_.newPos < newPos) readNext();
      if (more_ && next_.newPos == newPos) {
        matchPos = next_.matchPos;
        return next_.len;
      }
      return search(newPos, matchPos);
    }
    const std::size_t len = search(newPos, matchPos);
    record({newPos, matchPos, len});
    return len;
  }

 private:
  struct Found {
    std::size_t newPos = 0, matchPos = 0, len = 0;
  };

  // Only new files below kTryAllBelow are scanned twice, and their searches
  // kept: a 9 MiB executable's scan makes two million, a 1.8 MiB library's
  // was the peak of its make as ten bytes each. Each is kept in a few bytes
  // (how far past the last one, how its offset differs from the last one's,
  // its length), in blocks that never move: no spare capacity to double the
  // memory.
  static constexpr std::size_t kBlock = 64u << 10;
  void record(const Found& f) {
    if (blocks_.empty() || blocks_.back().size() > kBlock - 3 * bytes::kMaxVarint) {
      blocks_.emplace_back();
      blocks_.back().reserve(kBlock);
    }
    std::vector<unsigned char>& out = blocks_.back();
    const auto offset = static_cast<std::int64_t>(f.matchPos - f.newPos);
    bytes::putVarint(out, f.newPos - last_.newPos);
    bytes::putVarint(
        out, bytes::zigzag(offset - static_cast<std::int64_t>(last_.matchPos - last_.newPos)));
    bytes::putVarint(out, f.len);
    last_ = f;
  }
  void readNext() {
    if (in_.atEnd() && block_ < blocks_.size()) {
      in_ = bytes::Reader(blocks_[block_].data(), blocks_[block_].size(), "searches");
      ++block_;
    }
    more_ = !in_.atEnd();
    if (!more_) return;
    const std::size_t newPos = next_.newPos + in_.varint();
    const std::int64_t offset =
        static_cast<std::int64_t>(next_.matchPos - next_.newPos) + bytes::unzigzag(in_.varint());
    next_.newPos = newPos;
    next_.matchPos = static_cast<std::size_t>(static_cast<std::int64_t>(newPos) + offset);
    next_.len = in_.varint();
  }

  std::vector<std::vector<unsigned char>> blocks_;
  Found last_;  // the last one recorded
  bool replaying_ = false;
  std::size_t block_ = 0;  // the next block to read, once in_ is read
  bytes::Reader in_{nullptr, 0, "searches"};
  Found next_;
  bool more_ = false;
};

// Width is the suffix array's entry size, fixed at compile time: the binary
// search reads an entry at every step.
template <unsigned Width>
class Matcher {
 public:
  Matcher(const DeltaIndex::Impl& index, const unsigned char* n, std::size_t nn)
      : index_(index),
        old_(index.old),
        oldSize_(index.oldSize),
        new_(n),
        newSize_(nn),
        text_(index.text),
        textSize_(index.textSize),
        sa_(index.sa.bytes()),
        bucket_(index.bucket.data()),
        bucketBits_(index.bucketBits) {}

  // bsdiff's scan over new[from, to), with an optional wider look before
  // keeping an alignment. Its runs lie in that part; matches reach past it.
  std::vector<Run> scan(std::size_t from, std::size_t to, const ScanRules& rules,
                        Searches* searches = nullptr) const {
    std::vector<Run> runs;
    std::size_t scan = from, len = 0, pos = 0, lastScan = from, lastPos = from;
    std::int64_t lastOffset = 0;
    const std::size_t carryOver = newSize_ >= kTryAllBelow ? kCarryLarge : kCarrySmall;
    WindowCounts windows;
    while (scan < to) {
      std::size_t oldScore = 0;
      scan = std::min(scan + len, to);
      std::size_t scored = scan;
      bool carry = false;
      for (; scan < to; ++scan) {
        if (carry && len > carryOver) {
          --len;
          ++pos;
        } else if (searches) {
          len = searches->at(scan, pos,
                             [this](std::size_t p, std::size_t& m) { return longestMatch(p, m); });
        } else {
          len = longestMatch(scan, pos);
        }
        carry = true;
        // How well the current alignment already does over this match.
        if (scored < scan + len) {
          oldScore += countAt(scored, scan + len, lastOffset);
          scored = scan + len;
        }
        if ((len == oldScore && len != 0) || len > oldScore + rules.minGain || len >= kLongMatch)
          break;
        if (rules.window && len >= rules.minLen && offsetOf(pos, scan) != lastOffset &&
            widerWins(scan, pos, lastOffset, rules, windows))
          break;
        if (sameAt(scan, lastOffset)) --oldScore;
      }
      if (len == oldScore && scan != to) continue;

      // Stretch the previous alignment forward and the new one backward
      // while they match more often than not. The score (twice the equal
      // bytes less the length) rises along an equal stretch and falls along
      // an unequal one, so only the end of an equal stretch can be the best.
      std::size_t lenF = 0;
      {
        std::int64_t s = 0, best = 0;
        const std::size_t limit =
            lastPos < oldSize_ ? std::min(scan - lastScan, oldSize_ - lastPos) : 0;
        const unsigned char* o = old_ + lastPos;
        const unsigned char* n = new_ + lastScan;
        for (std::size_t i = 0; i < limit;) {
          if (o[i] != n[i]) {
            i += differentForward(o + i, n + i, limit - i);
            continue;
          }
          const std::size_t k = sameForward(o + i, n + i, limit - i);
          s += static_cast<std::int64_t>(k);
          i += k;
          if (s * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(lenF)) {
            best = s;
            lenF = i;
          }
        }
      }
      std::size_t lenB = 0;
      if (scan < to) {
        std::int64_t s = 0, best = 0;
        const std::size_t limit = std::min(scan - lastScan, pos);
        const unsigned char* o = old_ + pos;
        const unsigned char* n = new_ + scan;
        for (std::size_t i = 0; i < limit;) {  // i bytes back so far
          if (o[-1 - static_cast<std::ptrdiff_t>(i)] != n[-1 - static_cast<std::ptrdiff_t>(i)]) {
            i += differentBackward(o - i, n - i, limit - i);
            continue;
          }
          const std::size_t k = sameBackward(o - i, n - i, limit - i);
          s += static_cast<std::int64_t>(k);
          i += k;
          if (s * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(lenB)) {
            best = s;
            lenB = i;
          }
        }
      }
      if (lastScan + lenF > scan - lenB) {
        // The two stretches overlap: split where the byte agreement is best.
        std::size_t overlap = (lastScan + lenF) - (scan - lenB);
        std::int64_t s = 0, best = 0;
        std::size_t split = 0;
        for (std::size_t i = 0; i < overlap; ++i) {
          if (new_[lastScan + lenF - overlap + i] == old_[lastPos + lenF - overlap + i]) ++s;
          if (new_[scan - lenB + i] == old_[pos - lenB + i]) --s;
          if (s > best) {
            best = s;
            split = i + 1;
          }
        }
        lenF += split - overlap;
        lenB -= split;
      }
      if (lenF > 0) runs.push_back({lastScan, lastPos, lenF});
      lastScan = scan - lenB;
      lastPos = pos - lenB;
      lastOffset = offsetOf(pos, scan);
    }
    return runs;
  }

 private:
  static std::int64_t offsetOf(std::size_t oldPos, std::size_t newPos) {
    return static_cast<std::int64_t>(oldPos) - static_cast<std::int64_t>(newPos);
  }

  bool sameAt(std::size_t newPos, std::int64_t offset) const {
    std::int64_t o = static_cast<std::int64_t>(newPos) + offset;
    return o >= 0 && static_cast<std::size_t>(o) < oldSize_ && old_[o] == new_[newPos];
  }

  // How many of new[from, to) sameAt finds at the offset.
  std::size_t countAt(std::size_t from, std::size_t to, std::int64_t offset) const {
    const std::int64_t lo = std::max(static_cast<std::int64_t>(from), -offset);
    const std::int64_t hi =
        std::min(static_cast<std::int64_t>(to), static_cast<std::int64_t>(oldSize_) - offset);
    if (lo >= hi) return 0;
    return countSame(new_ + lo, old_ + lo + offset, static_cast<std::size_t>(hi - lo));
  }

  // The wider look asks at nearly every position, for windows that slide a
  // byte at a time under the current alignment and under a carried match:
  // the last count at each of the two offsets is moved to the new window by
  // its ends, not counted again.
  std::size_t countWindow(WindowCounts& windows, std::size_t from, std::size_t to,
                          std::int64_t offset) const {
    for (WindowCounts::Count& c : windows.slot) {
      if (c.offset != offset || c.to == 0 || from < c.from || from > c.to || to < c.to) continue;
      c.same = c.same - countAt(c.from, from, offset) + countAt(c.to, to, offset);
      c.from = from;
      c.to = to;
      windows.older = static_cast<unsigned>(&c == windows.slot);
      return c.same;
    }
    WindowCounts::Count& c = windows.slot[windows.older];
    c = {offset, from, to, countAt(from, to, offset)};
    windows.older ^= 1;
    return c.same;
  }

  // Whether the match's alignment agrees with new on clearly more bytes than
  // the current one over the next window bytes (a table whose entries moved
  // agrees on little exactly, but on most bytes approximately).
  bool widerWins(std::size_t scan, std::size_t pos, std::int64_t current, const ScanRules& rules,
                 WindowCounts& windows) const {
    const std::size_t w = std::min(rules.window, std::min(newSize_ - scan, oldSize_ - pos));
    return countWindow(windows, scan, scan + w, offsetOf(pos, scan)) >
           countWindow(windows, scan, scan + w, current) + rules.windowGain;
  }

  // Entry i of the suffix array: four bytes read (the array has one to spare),
  // the width's kept.
  std::size_t suffix(std::size_t i) const {
    const std::uint32_t v = bytes::le32(sa_ + i * Width);
    return Width == 4 ? v : v & 0xffffff;
  }

  // Bytes text[at..] and new[newPos..] share, counted from `from`.
  std::size_t commonPrefix(std::size_t at, std::size_t newPos, std::size_t from = 0) const {
    const std::size_t n = std::min(textSize_ - at, newSize_ - newPos);
    return from + sameForward(text_ + at + from, new_ + newPos + from, n - from);
  }
  std::size_t oldPrefix(std::size_t oldPos, std::size_t newPos) const {
    return sameForward(old_ + oldPos, new_ + newPos,
                       std::min(oldSize_ - oldPos, newSize_ - newPos));
  }

  // Longest prefix of new[newPos..] found in old: along the shared stretch
  // that holds newPos, else (or if longer) in the sorted text.
  std::size_t longestMatch(std::size_t newPos, std::size_t& matchPos) const {
    matchPos = 0;
    std::size_t best = 0;
    if (index_.sortedOutside()) {
      const std::vector<Run>& shared = index_.stretches;
      auto it = std::upper_bound(shared.begin(), shared.end(), newPos,
                                 [](std::size_t p, const Run& r) { return p < r.newStart; });
      if (it != shared.begin() && newPos < (it - 1)->newStart + (it - 1)->length) {
        --it;
        matchPos = it->oldStart + (newPos - it->newStart);
        best = oldPrefix(matchPos, newPos);
        if (best >= kLongMatch) return best;
      }
    }
    if (textSize_ == 0) return best;
    std::size_t at;
    std::size_t len = searchText(newPos, at);
    if (text_ != old_) {
      at = index_.oldPosOf(at);
      len = oldPrefix(at, newPos);
    }
    if (len > best) {
      best = len;
      matchPos = at;
    }
    return best;
  }

  // Longest prefix of new[newPos..] in the sorted text, by binary search
  // over its suffixes. Both ends' common prefixes are known, so each step
  // compares from the shorter of them on.
  std::size_t searchText(std::size_t newPos, std::size_t& matchPos) const {
    // The first bytes' key narrows the search to its bucket, bracketed by
    // its neighbours (an empty one to where it would be): the first steps
    // of a search over the whole array are the ones that miss the cache.
    // Two bytes left ask for every key they begin.
    std::size_t lo = 0, hi = textSize_ - 1;
    if (newSize_ - newPos >= 2) {
      const unsigned shift = 24 - bucketBits_;
      const std::uint32_t v = prefix24(new_ + newPos, newSize_ - newPos);
      const std::size_t first = v >> shift;
      const std::size_t last = newSize_ - newPos >= 3 ? first + 1 : ((v + 255) >> shift) + 1;
      lo = bucket_[first] > 0 ? bucket_[first] - 1 : 0;
      hi = std::min<std::size_t>(bucket_[last], textSize_ - 1);
      if (hi <= lo) hi = lo + 1 < textSize_ ? lo + 1 : lo;
    }
    std::size_t loLen = commonPrefix(suffix(lo), newPos);
    std::size_t hiLen = commonPrefix(suffix(hi), newPos);
    // Which way a step goes is a coin toss to the branch predictor: the
    // step picks its ends without a branch, and both entries the next step
    // may read are fetched meanwhile.
    while (hi - lo > 1) {
      const std::size_t mid = lo + (hi - lo) / 2;
      __builtin_prefetch(sa_ + (lo + (mid - lo) / 2) * Width);
      __builtin_prefetch(sa_ + (mid + (hi - mid) / 2) * Width);
      const std::size_t op = suffix(mid);
      const std::size_t len = commonPrefix(op, newPos, std::min(loLen, hiLen));
      const std::size_t n = std::min(textSize_ - op, newSize_ - newPos);
      // The old suffix sorts before new[newPos..] (as memcmp over n bytes);
      // k keeps the reads in bounds when they agree on all n.
      const std::size_t k = len < n ? len : 0;
      const bool before = (len < n) & (text_[op + k] < new_[newPos + k]);
      lo = before ? mid : lo;
      loLen = before ? len : loLen;
      hi = before ? hi : mid;
      hiLen = before ? hiLen : len;
    }
    if (loLen >= hiLen) {
      matchPos = suffix(lo);
      return loLen;
    }
    matchPos = suffix(hi);
    return hiLen;
  }

  const DeltaIndex::Impl& index_;
  const unsigned char* old_;
  std::size_t oldSize_;
  const unsigned char* new_;
  std::size_t newSize_;
  const unsigned char* text_;
  std::size_t textSize_;
  const unsigned char* sa_;
  const std::uint32_t* bucket_;
  unsigned bucketBits_;
};

// The first wayCount ways of matching over new[from, to), the later ones
// replaying the first one's searches; the text's way only where it may pay.
template <class M>
std::vector<std::vector<Run>> scanPart(const M& m, std::size_t from, std::size_t to,
                                       std::size_t wayCount) {
  std::vector<std::vector<Run>> ways;
  Searches searches;
  for (std::size_t i = 0; i < wayCount; ++i) {
    if (i == kTextWay && ways[0].size() * kTextRuns < to - from) break;
    ways.push_back(m.scan(from, to, kRules[i], wayCount > 1 ? &searches : nullptr));
    searches.replay();
  }
  return ways;
}

// Appends the runs of new's second half to those of its first: one run
// where both kept the alignment across the middle.
void join(std::vector<Run>& runs, const std::vector<Run>& more) {
  auto from = more.begin();
  if (!runs.empty() && from != more.end() &&
      runs.back().newStart + runs.back().length == from->newStart &&
      runs.back().oldStart + runs.back().length == from->oldStart)
    runs.back().length += (from++)->length;
  runs.insert(runs.end(), from, more.end());
}

// Every way over new, its two halves at once from kSplitFrom on.
template <class M>
std::vector<std::vector<Run>> scanWays(const M& m, const DeltaIndex::Impl& index,
                                       std::size_t newSize, std::size_t wayCount) {
  if (newSize < kSplitFrom) return scanPart(m, 0, newSize, wayCount);
  const std::size_t middle = index.middle(newSize);
  std::vector<std::vector<Run>> ways, second;
  both(
      true, [&] { ways = scanPart(m, 0, middle, wayCount); },
      [&] { second = scanPart(m, middle, newSize, wayCount); });
  // A half without the text's way takes its first way's runs for it.
  for (auto* part : {&ways, &second})
    if (part->size() == kTextWay && std::max(ways.size(), second.size()) > kTextWay)
      part->push_back(part->front());
  for (std::size_t i = 0; i < ways.size(); ++i) join(ways[i], second[i]);
  return ways;
}

// scanWays with the matcher for the index's entry width.
std::vector<std::vector<Run>> scanWays(const DeltaIndex::Impl& index, const unsigned char* n,
                                       std::size_t newSize, std::size_t wayCount) {
  if (index.sa.width() == 3)
    return scanWays(Matcher<3>(index, n, newSize), index, newSize, wayCount);
  return scanWays(Matcher<4>(index, n, newSize), index, newSize, wayCount);
}

// Old's bytes, then the bit views: view k (1-7) at k * oldSize holds old
// read from bit k of each byte on, its last byte (not whole) left zero.
std::vector<unsigned char, BigAllocator<unsigned char>> bitViews(const unsigned char* o,
                                                                 std::size_t oldSize) {
  std::vector<unsigned char, BigAllocator<unsigned char>> views(8 * oldSize);
  std::memcpy(views.data(), o, oldSize);
  for (unsigned k = 1; k < 8; ++k) {
    shiftBits(o, oldSize - 1, k, views.data() + k * oldSize);
    views[(k + 1) * oldSize - 1] = 0;
  }
  return views;
}

// Runs as commands can take them: each inside one view, short of a bit
// view's last byte.
std::vector<Run> withinViews(const std::vector<Run>& runs, std::size_t oldSize) {
  std::vector<Run> out;
  for (Run r : runs) {
    while (r.length > 0) {
      const std::size_t view = r.oldStart / oldSize;
      const std::size_t end = (view + 1) * oldSize - (view > 0);
      const std::size_t n = r.oldStart < end ? std::min(r.length, end - r.oldStart) : 1;
      if (r.oldStart < end) out.push_back({r.newStart, r.oldStart, n});
      r.newStart += n;
      r.oldStart += n;
      r.length -= n;
    }
  }
  return out;
}

// The ways become candidates and are ranked, the first two at once; o holds
// old's oldSize bytes and then any bit views.
PatchStreams smallest(std::vector<std::vector<Run>>& ways, const unsigned char* o,
                      std::size_t oldSize, const unsigned char* n, std::size_t newSize) {
  const std::size_t count = ways.size();
  std::vector<PatchStreams> candidates(count);
  std::vector<std::uint64_t> sizes(count);
  auto rank = [&](std::size_t i) {
    candidates[i] = streamsOf(ways[i], o, oldSize, n, newSize);
    ways[i] = std::vector<Run>();
    if (count > 1) sizes[i] = compressedSize(candidates[i]);
  };
  if (count == 1) {
    rank(0);
    return std::move(candidates[0]);
  }
  both(
      true, [&] { rank(0); }, [&] { rank(1); });
  for (std::size_t i = 2; i < count; ++i) rank(i);
  const std::size_t best =
      static_cast<std::size_t>(std::min_element(sizes.begin(), sizes.end()) - sizes.begin());
  return std::move(candidates[best]);
}

// The ways of matching new against old and its bit views.
PatchStreams bitViewDelta(const unsigned char* o, std::size_t oldSize, const unsigned char* n,
                          std::size_t newSize, std::size_t wayCount) {
  const auto views = bitViews(o, oldSize);
  std::vector<std::vector<Run>> ways;
  {
    DeltaIndex::Impl index(views.data(), views.size());
    index.sort(views.data(), views.size());
    ways = scanWays(index, n, newSize, wayCount);
  }
  for (std::vector<Run>& runs : ways) runs = withinViews(runs, oldSize);
  return smallest(ways, views.data(), oldSize, n, newSize);
}

}  // namespace

std::vector<std::uint32_t> sampledStretches(const unsigned char* p, std::size_t n) {
  std::vector<std::uint32_t> out;
  forEachSample(p, n, [&](std::uint32_t h) { out.push_back(h); });
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

PatchStreams encodeDelta(DeltaIndex index, const unsigned char* newData, std::size_t newSize) {
  const unsigned char* oldData = index.impl_->old;
  const std::size_t oldSize = index.impl_->oldSize;
  const std::size_t wayCount = newSize >= kTryAllBelow ? 1 : std::size(kRules);
  // The bit views hold old too: matched against them, new finds all it
  // would in old alone.
  if (index.impl_->bitViews) {
    { DeltaIndex freed(std::move(index)); }
    return bitViewDelta(oldData, oldSize, newData, newSize, wayCount);
  }
  // Every way of matching first; the index goes before the runs become
  // streams and the candidates are compressed to compare them.
  std::vector<std::vector<Run>> ways;
  {
    DeltaIndex held(std::move(index));
    held.sortWhole();
    DeltaIndex::Impl& impl = *held.impl_;
    if (newSize >= kSplitFrom && !impl.stretchesFound)
      impl.stretches = sharedRuns(oldData, oldSize, newData, newSize);
    ways = scanWays(impl, newData, newSize, wayCount);
  }
  return smallest(ways, oldData, oldSize, newData, newSize);
}

PatchStreams encodeDelta(const unsigned char* oldData, std::size_t oldSize,
                         const unsigned char* newData, std::size_t newSize) {
  return encodeDelta(DeltaIndex(oldData, oldSize, newData, newSize), newData, newSize);
}

}  // namespace rtp
