// Runs become the delta streams: commands, the predictor's choice, and
// the differences; and a file changed in place, in one read.

#include <algorithm>
#include <cstdint>
#include <istream>
#include <utility>
#include <vector>

#include "compare.h"
#include "differ.h"
#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/format.h"
#include "rtp/maker.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

// An exact stretch at least this long inside a run becomes a copy; shorter
// ones cost less as a gap between differences.
constexpr std::size_t kMinCopy = 4096;
// A new file the size of the old one is taken as changed in place while at
// most one byte in this many differs.
constexpr std::uint64_t kInPlaceShare = 1024;
// The in-place comparison reads both files this many bytes at a time.
constexpr std::size_t kSlice = 1u << 20;

// Turns runs into commands: literals between runs, and each run split into
// copies (long exact stretches) and adds; a run in a bit view (o holds old's
// oldSize bytes and then the views, see bitViews in differ.cpp) becomes one shifted add.
std::vector<Command> commandsOf(const std::vector<Run>& runs, const unsigned char* o,
                                std::size_t oldSize, const unsigned char* n, std::size_t newSize) {
  std::vector<Command> out;
  auto literal = [&](std::size_t len) {
    if (len) out.push_back({delta::Literal, len, 0});
  };
  std::size_t at = 0;
  for (const Run& r : runs) {
    literal(r.newStart - at);
    if (r.oldStart >= oldSize) {
      const std::size_t view = r.oldStart / oldSize;
      out.push_back({delta::Shifted, r.length,
                     static_cast<std::int64_t>(r.newStart) -
                         static_cast<std::int64_t>(r.oldStart - view * oldSize),
                     static_cast<unsigned>(view)});
      at = r.newStart + r.length;
      continue;
    }
    const std::int64_t shift =
        static_cast<std::int64_t>(r.newStart) - static_cast<std::int64_t>(r.oldStart);
    const unsigned char* ro = o + r.oldStart;
    const unsigned char* rn = n + r.newStart;
    std::size_t i = 0, addFrom = 0;
    while (i < r.length) {
      if (ro[i] != rn[i]) {
        i += differentForward(ro + i, rn + i, r.length - i);
        continue;
      }
      const std::size_t j = i + sameForward(ro + i, rn + i, r.length - i);
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
    if (c.kind == delta::Add || c.kind == delta::Shifted) {
      const std::uint64_t oldStart = at - static_cast<std::uint64_t>(c.shift);
      for (std::uint64_t from = 0; from < c.length; from += slice) {
        const std::uint64_t len = std::min(slice, c.length - from);
        pred.resize(static_cast<std::size_t>(len));
        if (c.kind == delta::Shifted)
          shiftBits(o + oldStart + from, static_cast<std::size_t>(len), c.bits, pred.data());
        else
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
                   count += len - countSame(pred, want, static_cast<std::size_t>(len));
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
      if (c.kind == delta::Shifted) putVarint(s.commands, c.bits);
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

PatchStreams streamsOf(const std::vector<Run>& runs, const unsigned char* o, std::size_t oldSize,
                       const unsigned char* n, std::size_t newSize) {
  return emit(commandsOf(runs, o, oldSize, n, newSize), o, oldSize, n);
}

InPlace encodeInPlace(std::istream& oldData, std::istream& newData, std::uint64_t size,
                      Hash128& oldHash, Hash128& newHash, PatchStreams& out) {
  const std::uint64_t maxDifferent = std::max<std::uint64_t>(size / kInPlaceShare, 1);
  PatchStreams s;
  putVarint(s.commands, 0);  // no predictor: nothing moved
  auto command = [&](unsigned kind, std::uint64_t length) {
    putVarint(s.commands, length << 2 | kind);
    putVarint(s.commands, zigzag(0));  // in place: old offset = new offset
  };
  // What commandsOf and emit make of one run over the whole file: equal
  // stretches of kMinCopy bytes or more are copies, the rest adds listing
  // their differences.
  std::vector<std::pair<std::uint64_t, unsigned char>> pending;  // differences from addFrom
  std::uint64_t addFrom = 0, equalFrom = 0, different = 0;
  auto addUpTo = [&](std::uint64_t to) {
    if (to == addFrom) return;
    command(delta::Add, to - addFrom);
    std::uint64_t last = 0;
    for (const auto& [at, d] : pending) {
      putVarint(s.positions, at - addFrom - last);
      s.differences.push_back(d);
      last = at - addFrom + 1;
    }
    putVarint(s.positions, to - addFrom - last);
    pending.clear();
    addFrom = to;
  };
  auto equalUpTo = [&](std::uint64_t end) {
    if (end - equalFrom < kMinCopy) return;
    addUpTo(equalFrom);
    command(delta::Copy, end - equalFrom);
    addFrom = end;
  };

  Hasher oldHasher, newHasher;
  std::vector<unsigned char> o(kSlice), n(kSlice);
  for (std::uint64_t at = 0; at < size; at += kSlice) {
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(kSlice, size - at));
    if (!oldData.read(reinterpret_cast<char*>(o.data()), static_cast<std::streamsize>(len)) ||
        !newData.read(reinterpret_cast<char*>(n.data()), static_cast<std::streamsize>(len)))
      throw MakeError("cannot read a file being compared (did it change?)");
    oldHasher.update(o.data(), len);
    newHasher.update(n.data(), len);
    for (std::size_t i = sameForward(o.data(), n.data(), len); i < len;
         i += sameForward(o.data() + i, n.data() + i, len - i)) {
      if (++different > maxDifferent) return InPlace::Other;
      const std::uint64_t pos = at + i;
      if (pos > equalFrom) equalUpTo(pos);
      pending.push_back({pos, static_cast<unsigned char>(n[i] - o[i])});
      equalFrom = pos + 1;
      ++i;
    }
  }
  oldHash = oldHasher.digest();
  newHash = newHasher.digest();
  if (different == 0) return InPlace::Same;
  equalUpTo(size);
  addUpTo(size);
  out = std::move(s);
  return InPlace::Delta;
}

}  // namespace rtp
