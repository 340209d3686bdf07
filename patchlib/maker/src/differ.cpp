// Delta encoding. A suffix array of the old file finds exact matches; each
// is stretched into an approximate run while most bytes agree, so code
// moved by relinking becomes runs of old bytes with a few differences.
// Runs become commands, their differences sparse (positions and bytes), and
// the address predictor moves the old file's x86 displacements and
// pointers as the runs say before the differences are taken.
#include <divsufsort.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/maker.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

// A match at least this long is taken at once; stops long runs of equal
// bytes from making the scan quadratic.
constexpr std::size_t kLongMatch = 4096;
// An exact stretch at least this long inside a run becomes a copy; shorter
// ones cost less as a gap between differences.
constexpr std::size_t kMinCopy = 4096;
// Above this new size only the first way of matching is tried.
constexpr std::size_t kTryAllBelow = 16u << 20;

// How the scan decides to leave the current alignment for a new match.
struct ScanRules {
  std::size_t minGain;     // the match beats the alignment by this many bytes
  std::size_t window;      // 0, or: also compare both over this many bytes ...
  std::size_t minLen;      // ... for matches at least this long ...
  std::size_t windowGain;  // ... and switch when the match wins by this much
};
// The first suits code whose references moved; the second tables whose
// entries were inserted or renumbered.
constexpr ScanRules kRules[] = {{8, 0, 0, 0}, {8, 256, 6, 16}};

struct Run {
  std::size_t newStart, oldStart, length;
};

// The old file's sorted suffixes, each entry in as few bytes as the file's
// positions need: 3 up to 16 MiB, where divsufsort's own 4 would make this
// array alone four times the file.
class SuffixArray {
 public:
  SuffixArray(const unsigned char* data, std::size_t size) : width_(size <= (1u << 24) ? 3 : 4) {
    if (size == 0) return;
    // One byte more than the entries: every entry is read as four bytes.
    saidx_t* sa = static_cast<saidx_t*>(std::malloc(size * sizeof(saidx_t) + 1));
    if (!sa) throw std::bad_alloc();
    bytes_.reset(reinterpret_cast<unsigned char*>(sa));
    if (divsufsort(data, sa, static_cast<saidx_t>(size)) != 0)
      throw MakeError("suffix sort failed");
    if (width_ == 4) return;  // divsufsort's entries already read as ours
    unsigned char* out = bytes_.get();
    // In place, front to back: entry i's bytes end before entry i + 1 is
    // read, and then written over.
    for (std::size_t i = 0; i < size; ++i) {
      bytes::setLe(out + i * width_, static_cast<std::uint32_t>(sa[i]), 4);
    }
    // A shrinking realloc gives the tail back without copying.
    if (void* shrunk = std::realloc(out, size * width_ + 1)) {
      bytes_.release();
      bytes_.reset(static_cast<unsigned char*>(shrunk));
    }
  }

  const unsigned char* bytes() const { return bytes_.get(); }
  unsigned width() const { return width_; }

 private:
  struct Free {
    void operator()(unsigned char* p) const { std::free(p); }
  };
  std::unique_ptr<unsigned char, Free> bytes_;
  unsigned width_;
};

}  // namespace

struct DeltaIndex::Impl {
  Impl(const unsigned char* o, std::size_t on) : old(o), oldSize(on), sa(o, on), bucket(65537, 0) {
    // Where the suffixes starting with each pair of bytes begin in the
    // array (a one-byte suffix sorts first among its byte's): counted over
    // the file, which holds the same pairs as the array in order.
    for (std::size_t i = 0; i < on; ++i) ++bucket[keyAt(i) + 1];
    for (std::size_t k = 1; k < bucket.size(); ++k) bucket[k] += bucket[k - 1];
  }
  std::size_t keyAt(std::size_t oldPos) const {
    return static_cast<std::size_t>(old[oldPos]) << 8 |
           (oldPos + 1 < oldSize ? old[oldPos + 1] : 0);
  }

  const unsigned char* old;
  std::size_t oldSize;
  SuffixArray sa;
  std::vector<std::uint32_t> bucket;
};

DeltaIndex::DeltaIndex(const unsigned char* oldData, std::size_t oldSize) {
  if (oldSize >= 0x7fffffff) throw MakeError("old file too large for delta encoding");
  impl_ = std::make_unique<Impl>(oldData, oldSize);
}
DeltaIndex::DeltaIndex(DeltaIndex&&) noexcept = default;
DeltaIndex::~DeltaIndex() = default;

namespace {

// Width is the suffix array's entry size, fixed at compile time: the binary
// search reads an entry at every step.
template <unsigned Width>
class Matcher {
 public:
  Matcher(const DeltaIndex::Impl& index, const unsigned char* n, std::size_t nn)
      : old_(index.old),
        oldSize_(index.oldSize),
        new_(n),
        newSize_(nn),
        sa_(index.sa.bytes()),
        bucket_(index.bucket) {}

  // bsdiff's scan, with an optional wider look before keeping an alignment.
  std::vector<Run> scan(const ScanRules& rules) const {
    std::vector<Run> runs;
    std::size_t scan = 0, len = 0, pos = 0, lastScan = 0, lastPos = 0;
    std::int64_t lastOffset = 0;
    while (scan < newSize_) {
      std::size_t oldScore = 0;
      scan += len;
      std::size_t scored = scan;
      for (; scan < newSize_; ++scan) {
        len = longestMatch(scan, pos);
        // How well the current alignment already does over this match.
        for (; scored < scan + len; ++scored)
          if (sameAt(scored, lastOffset)) ++oldScore;
        if ((len == oldScore && len != 0) || len > oldScore + rules.minGain || len >= kLongMatch)
          break;
        if (rules.window && len >= rules.minLen && offsetOf(pos, scan) != lastOffset &&
            widerWins(scan, pos, lastOffset, rules))
          break;
        if (sameAt(scan, lastOffset)) --oldScore;
      }
      if (len == oldScore && scan != newSize_) continue;

      // Stretch the previous alignment forward and the new one backward
      // while they match more often than not.
      std::size_t lenF = 0;
      {
        std::int64_t s = 0, best = 0;
        for (std::size_t i = 0; lastScan + i < scan && lastPos + i < oldSize_;) {
          if (old_[lastPos + i] == new_[lastScan + i]) ++s;
          ++i;
          if (s * 2 - static_cast<std::int64_t>(i) > best * 2 - static_cast<std::int64_t>(lenF)) {
            best = s;
            lenF = i;
          }
        }
      }
      std::size_t lenB = 0;
      if (scan < newSize_) {
        std::int64_t s = 0, best = 0;
        for (std::size_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
          if (old_[pos - i] == new_[scan - i]) ++s;
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

  // Whether the match's alignment agrees with new on clearly more bytes than
  // the current one over the next window bytes (a table whose entries moved
  // agrees on little exactly, but on most bytes approximately).
  bool widerWins(std::size_t scan, std::size_t pos, std::int64_t current,
                 const ScanRules& rules) const {
    const std::size_t w = std::min(rules.window, std::min(newSize_ - scan, oldSize_ - pos));
    const std::int64_t candidate = offsetOf(pos, scan);
    std::size_t mine = 0, theirs = 0;
    for (std::size_t k = 0; k < w; ++k) {
      mine += sameAt(scan + k, candidate);
      theirs += sameAt(scan + k, current);
    }
    return mine > theirs + rules.windowGain;
  }

  // Entry i of the suffix array: four bytes read (the array has one to spare),
  // the width's kept.
  std::size_t suffix(std::size_t i) const {
    const std::uint32_t v = bytes::le32(sa_ + i * Width);
    return Width == 4 ? v : v & 0xffffff;
  }

  // Bytes old[oldPos..] and new[newPos..] share, counted from `from`.
  std::size_t commonPrefix(std::size_t oldPos, std::size_t newPos, std::size_t from = 0) const {
    const std::size_t n = std::min(oldSize_ - oldPos, newSize_ - newPos);
    const unsigned char* a = old_ + oldPos;
    const unsigned char* b = new_ + newPos;
    std::size_t i = from;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t x, y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
  }

  // Longest prefix of new[newPos..] found anywhere in old, by binary search
  // over the sorted suffixes. Both ends' common prefixes are known, so each
  // step compares from the shorter of them on.
  std::size_t longestMatch(std::size_t newPos, std::size_t& matchPos) const {
    if (oldSize_ == 0) {
      matchPos = 0;
      return 0;
    }
    // The bytes' pair narrows the search to its bucket, bracketed by its
    // neighbours: the first steps of a search over the whole array are the
    // ones that miss the cache.
    std::size_t lo = 0, hi = oldSize_ - 1;
    if (newSize_ - newPos >= 2) {
      const std::size_t key = static_cast<std::size_t>(new_[newPos]) << 8 | new_[newPos + 1];
      if (bucket_[key] < bucket_[key + 1]) {
        lo = bucket_[key] > 0 ? bucket_[key] - 1 : 0;
        hi = std::min<std::size_t>(bucket_[key + 1], oldSize_ - 1);
        if (hi == lo) hi = lo + 1 < oldSize_ ? lo + 1 : lo;
      }
    }
    std::size_t loLen = commonPrefix(suffix(lo), newPos);
    std::size_t hiLen = commonPrefix(suffix(hi), newPos);
    while (hi - lo > 1) {
      const std::size_t mid = lo + (hi - lo) / 2;
      const std::size_t op = suffix(mid);
      const std::size_t len = commonPrefix(op, newPos, std::min(loLen, hiLen));
      const std::size_t n = std::min(oldSize_ - op, newSize_ - newPos);
      // The old suffix sorts before new[newPos..] (as memcmp over n bytes).
      if (len < n && old_[op + len] < new_[newPos + len]) {
        lo = mid;
        loLen = len;
      } else {
        hi = mid;
        hiLen = len;
      }
    }
    if (loLen >= hiLen) {
      matchPos = suffix(lo);
      return loLen;
    }
    matchPos = suffix(hi);
    return hiLen;
  }

  const unsigned char* old_;
  std::size_t oldSize_;
  const unsigned char* new_;
  std::size_t newSize_;
  const unsigned char* sa_;
  const std::vector<std::uint32_t>& bucket_;
};

// Turns runs into commands: literals between runs, and each run split into
// copies (long exact stretches) and adds.
std::vector<Command> commandsOf(const std::vector<Run>& runs, const unsigned char* o,
                                const unsigned char* n, std::size_t newSize) {
  std::vector<Command> out;
  auto literal = [&](std::size_t len) {
    if (len) out.push_back({delta::Literal, len, 0});
  };
  std::size_t at = 0;
  for (const Run& r : runs) {
    literal(r.newStart - at);
    const std::int64_t shift =
        static_cast<std::int64_t>(r.newStart) - static_cast<std::int64_t>(r.oldStart);
    std::size_t i = 0, addFrom = 0;
    while (i < r.length) {
      if (o[r.oldStart + i] != n[r.newStart + i]) {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < r.length && o[r.oldStart + j] == n[r.newStart + j]) ++j;
      if (j - i >= kMinCopy) {
        if (i > addFrom) out.push_back({delta::Add, i - addFrom, shift});
        out.push_back({delta::Copy, j - i, shift});
        addFrom = j;
      }
      i = j;
    }
    if (r.length > addFrom) out.push_back({delta::Add, r.length - addFrom, shift});
    at = r.newStart + r.length;
  }
  literal(newSize - at);
  return out;
}

// Calls f(add, offset, predicted, wanted, length) for the adds, a slice at a time.
template <typename F>
void forEachAdd(const std::vector<Command>& cmds, const unsigned char* o, std::size_t oldSize,
                const unsigned char* n, const ShiftMap& map, unsigned flags, F&& f) {
  const std::uint64_t slice = 1u << 20;
  std::vector<unsigned char> pred;
  std::uint64_t at = 0;
  for (const Command& c : cmds) {
    if (c.kind == delta::Add) {
      const std::uint64_t oldStart = at - static_cast<std::uint64_t>(c.shift);
      for (std::uint64_t from = 0; from < c.length; from += slice) {
        const std::uint64_t len = std::min(slice, c.length - from);
        pred.resize(static_cast<std::size_t>(len));
        predictOld(o, 0, oldSize, oldSize, oldStart + from, oldStart + from + len, c.shift, map,
                   flags, pred.data());
        f(c, from, pred.data(), n + at + from, len);
      }
    }
    at += c.length;
  }
}

PatchStreams emit(const std::vector<Command>& cmds, const unsigned char* o, std::size_t oldSize,
                  const unsigned char* n) {
  ShiftMap map;
  unsigned flags = 0;
  if (cmds.size() <= format::kMaxPredictedCommands) {
    map.build(cmds);
    // The predictor is worth its time only where it clearly removes
    // differences.
    auto mismatches = [&](unsigned fl) {
      std::uint64_t count = 0;
      forEachAdd(cmds, o, oldSize, n, map, fl,
                 [&](const Command&, std::uint64_t, const unsigned char* pred,
                     const unsigned char* want, std::uint64_t len) {
                   for (std::uint64_t i = 0; i < len; ++i) count += pred[i] != want[i];
                 });
      return count;
    };
    std::uint64_t best = mismatches(0);
    for (unsigned fl : {delta::kPredictRelative, delta::kPredictAll}) {
      const std::uint64_t m = mismatches(fl);
      if (m < best - best / 32) {
        best = m;
        flags = fl;
      }
    }
  }
  PatchStreams s;
  putVarint(s.commands, flags);
  std::int64_t shift = 0;
  std::uint64_t at = 0;
  for (const Command& c : cmds) {
    putVarint(s.commands, c.length << 2 | c.kind);
    if (c.kind == delta::Literal) {
      s.literals.insert(s.literals.end(), n + at, n + at + c.length);
    } else {
      putVarint(s.commands, zigzag(c.shift - shift));
      shift = c.shift;
    }
    at += c.length;
  }
  // Each add lists its differences as gaps, then the gap to its end.
  std::uint64_t last = 0;
  forEachAdd(cmds, o, oldSize, n, map, flags,
             [&](const Command& c, std::uint64_t from, const unsigned char* pred,
                 const unsigned char* want, std::uint64_t len) {
               if (from == 0) last = 0;
               for (std::uint64_t i = 0; i < len; ++i) {
                 const unsigned char d = static_cast<unsigned char>(want[i] - pred[i]);
                 if (d == 0) continue;
                 putVarint(s.positions, from + i - last);
                 s.differences.push_back(d);
                 last = from + i + 1;
               }
               if (from + len == c.length) putVarint(s.positions, c.length - last);
             });
  return s;
}

}  // namespace

PatchStreams encodeDelta(DeltaIndex index, const unsigned char* newData, std::size_t newSize) {
  // Every way of matching first; the index goes before the runs become
  // streams and the candidates are compressed to compare them.
  const unsigned char* oldData = index.impl_->old;
  const std::size_t oldSize = index.impl_->oldSize;
  std::vector<std::vector<Run>> ways;
  {
    const DeltaIndex held(std::move(index));
    auto scanAll = [&](const auto& m) {
      for (const ScanRules& rules : kRules) {
        if (&rules != kRules && newSize >= kTryAllBelow) break;
        ways.push_back(m.scan(rules));
      }
    };
    if (held.impl_->sa.width() == 3)
      scanAll(Matcher<3>(*held.impl_, newData, newSize));
    else
      scanAll(Matcher<4>(*held.impl_, newData, newSize));
  }
  std::vector<PatchStreams> candidates;
  for (std::vector<Run>& runs : ways) {
    candidates.push_back(
        emit(commandsOf(runs, oldData, newData, newSize), oldData, oldSize, newData));
    runs = std::vector<Run>();
  }
  std::size_t best = 0;
  std::uint64_t bestSize = 0;
  for (std::size_t i = 0; i < candidates.size() && candidates.size() > 1; ++i) {
    const std::uint64_t size = compressedSize(candidates[i]);
    if (i == 0 || size < bestSize) {
      best = i;
      bestSize = size;
    }
  }
  return std::move(candidates[best]);
}

PatchStreams encodeDelta(const unsigned char* oldData, std::size_t oldSize,
                         const unsigned char* newData, std::size_t newSize) {
  return encodeDelta(DeltaIndex(oldData, oldSize), newData, newSize);
}

}  // namespace rtp
