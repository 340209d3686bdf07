// What the differ's files share: runs of new made from old, the stretches
// a near copy shares with old, and the streams runs become.
#ifndef RTP_MAKER_DIFFER_H
#define RTP_MAKER_DIFFER_H

#include <cstddef>
#include <vector>

#include "rtp/maker.h"

namespace rtp {

// new[newStart, +length) made from old[oldStart, +length), differences and all.
struct Run {
  std::size_t newStart, oldStart, length;
};

// Only the old bytes outside shared stretches are sorted when these cover
// this share of new (in 1/16) and leave at most 1/kSortedPart of old to sort.
// At every size: on a 4 MiB image it halved the make and the patch was
// smaller too (the stretches are the alignment the scan would keep anyway).
constexpr std::size_t kSharedSixteenths = 12;
constexpr std::size_t kSortedPart = 4;

// The stretches of at least a block (512 bytes) new shares with old, in new's order
// and apart. Where one ends, the same alignment is tried again a few bytes on
// (bytes changed in place, as a rebuild's stamps are). Failing that, a
// rolling hash of new's next block is looked up among old's aligned
// blocks (an equal block keeps the first place it was seen), a table built
// the first time it is needed, behind a bitmap small enough to stay in the
// cache; a block found is stretched both ways. The search stops once what
// it could not match rules out sorting only the rest.
std::vector<Run> sharedRuns(const unsigned char* o, std::size_t on, const unsigned char* n,
                            std::size_t nn);

// The delta streams of runs over new: literals between them, copies of
// long exact stretches, adds of the rest with their differences after the
// address predictor, where it pays. o holds old's oldSize bytes and then
// any bit views; a run in a bit view becomes one shifted add.
PatchStreams streamsOf(const std::vector<Run>& runs, const unsigned char* o, std::size_t oldSize,
                       const unsigned char* n, std::size_t newSize);

}  // namespace rtp

#endif
