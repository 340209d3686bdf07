// Delta encoding: approximate matches found through a suffix array of the
// old file. Each command adds a run of old bytes to stored differences
// (near-identical code moved by relocations compresses to almost nothing)
// and then copies literal bytes the old file has no match for.
#include <divsufsort.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "rtp/maker.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

// A match at least this long is taken at once; stops long runs of equal
// bytes from making the scan quadratic.
constexpr std::size_t kLongMatch = 4096;
// A new match must beat the current alignment by this many bytes.
constexpr std::size_t kMinGain = 8;

class Compressor {
 public:
  Compressor() {
    if (deflateInit2(&z_, 9, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
      throw MakeError("zlib init failed");
  }
  ~Compressor() { deflateEnd(&z_); }
  void feed(const unsigned char* p, std::size_t n, bool last) {
    z_.next_in = const_cast<unsigned char*>(p);
    z_.avail_in = static_cast<uInt>(n);
    unsigned char buf[64 * 1024];
    int rc;
    do {
      z_.next_out = buf;
      z_.avail_out = sizeof buf;
      rc = deflate(&z_, last ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) throw MakeError("zlib failed");
      out.insert(out.end(), buf, buf + (sizeof buf - z_.avail_out));
    } while (z_.avail_out == 0 || (last && rc != Z_STREAM_END));
  }
  std::vector<unsigned char> out;

 private:
  z_stream z_{};
};

// Feeds the compressor in bounded slices so huge inputs never exceed uInt.
void compressAll(Compressor& c, const std::vector<unsigned char>& raw) {
  const std::size_t slice = 1u << 24;
  std::size_t pos = 0;
  do {
    std::size_t n = std::min(slice, raw.size() - pos);
    c.feed(raw.data() + pos, n, pos + n == raw.size());
    pos += n;
  } while (pos < raw.size());
}

class Differ {
 public:
  Differ(const unsigned char* o, std::size_t on, const unsigned char* n, std::size_t nn)
      : old_(o), oldSize_(on), new_(n), newSize_(nn), sa_(on) {
    if (on > 0 && divsufsort(o, sa_.data(), static_cast<saidx_t>(on)) != 0)
      throw MakeError("suffix sort failed");
  }

  std::vector<unsigned char> run() {
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
        if ((len == oldScore && len != 0) || len > oldScore + kMinGain || len >= kLongMatch) break;
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
      emit(lastScan, lastPos, lenF, (scan - lenB) - (lastScan + lenF),
           static_cast<std::int64_t>(pos - lenB) - static_cast<std::int64_t>(lastPos + lenF));
      lastScan = scan - lenB;
      lastPos = pos - lenB;
      lastOffset = static_cast<std::int64_t>(pos) - static_cast<std::int64_t>(scan);
    }
    flushPending(true);
    Compressor c;
    compressAll(c, raw_);
    return std::move(c.out);
  }

 private:
  bool sameAt(std::size_t newPos, std::int64_t offset) const {
    std::int64_t o = static_cast<std::int64_t>(newPos) + offset;
    return o >= 0 && static_cast<std::size_t>(o) < oldSize_ && old_[o] == new_[newPos];
  }

  std::size_t commonPrefix(std::size_t oldPos, std::size_t newPos) const {
    std::size_t n = std::min(oldSize_ - oldPos, newSize_ - newPos), i = 0;
    while (i < n && old_[oldPos + i] == new_[newPos + i]) ++i;
    return i;
  }

  // Longest prefix of new[newPos..] found anywhere in old, by binary search
  // over the sorted suffixes.
  std::size_t longestMatch(std::size_t newPos, std::size_t& matchPos) const {
    if (oldSize_ == 0) {
      matchPos = 0;
      return 0;
    }
    std::size_t lo = 0, hi = oldSize_ - 1;
    while (hi - lo > 1) {
      std::size_t mid = lo + (hi - lo) / 2;
      std::size_t op = static_cast<std::size_t>(sa_[mid]);
      std::size_t n = std::min(oldSize_ - op, newSize_ - newPos);
      if (std::memcmp(old_ + op, new_ + newPos, n) < 0)
        lo = mid;
      else
        hi = mid;
    }
    std::size_t a = commonPrefix(static_cast<std::size_t>(sa_[lo]), newPos);
    std::size_t b = commonPrefix(static_cast<std::size_t>(sa_[hi]), newPos);
    if (a >= b) {
      matchPos = static_cast<std::size_t>(sa_[lo]);
      return a;
    }
    matchPos = static_cast<std::size_t>(sa_[hi]);
    return b;
  }

  // Commands are held back one step: runs of empty commands (pure moves)
  // merge, and a trailing empty one is dropped, as the reader requires.
  void emit(std::size_t newFrom, std::size_t oldFrom, std::size_t add, std::size_t copy,
            std::int64_t seek) {
    if (add == 0 && copy == 0 && hasPending_ && pending_.add == 0 && pending_.copy == 0) {
      pending_.seek += seek;
      return;
    }
    flushPending(false);
    pending_ = {newFrom, oldFrom, add, copy, seek};
    hasPending_ = true;
  }

  void flushPending(bool last) {
    if (!hasPending_) return;
    hasPending_ = false;
    const Cmd& c = pending_;
    if (last && c.add == 0 && c.copy == 0) return;
    putVarint(raw_, c.add);
    putVarint(raw_, c.copy);
    putVarint(raw_, zigzag(c.seek));
    for (std::size_t i = 0; i < c.add; ++i)
      raw_.push_back(static_cast<unsigned char>(new_[c.newFrom + i] - old_[c.oldFrom + i]));
    const unsigned char* lit = new_ + c.newFrom + c.add;
    raw_.insert(raw_.end(), lit, lit + c.copy);
  }

  struct Cmd {
    std::size_t newFrom, oldFrom, add, copy;
    std::int64_t seek;
  };

  const unsigned char* old_;
  std::size_t oldSize_;
  const unsigned char* new_;
  std::size_t newSize_;
  std::vector<saidx_t> sa_;
  std::vector<unsigned char> raw_;
  Cmd pending_{};
  bool hasPending_ = false;
};

}  // namespace

std::vector<unsigned char> encodeDelta(const unsigned char* oldData, std::size_t oldSize,
                                       const unsigned char* newData, std::size_t newSize) {
  if (oldSize >= 0x7fffffff) throw MakeError("old file too large for delta encoding");
  Differ d(oldData, oldSize, newData, newSize);
  return d.run();
}

std::vector<unsigned char> encodeFull(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> raw(data, data + size);
  Compressor c;
  compressAll(c, raw);
  return std::move(c.out);
}

}  // namespace rtp
