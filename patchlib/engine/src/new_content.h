// Where a file's new content goes as it is decoded: to a file of its own,
// or, for a file that a patch changes in a few places, nowhere yet: the
// bytes that differ from the original are gathered, to be written over it
// once the journal holds the bytes they replace.
#ifndef RTP_NEW_CONTENT_H
#define RTP_NEW_CONTENT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtp/format.h"
#include "rtp/fs.h"
#include "rtp/stream.h"

namespace rtp {

// What a patch may change in place, original and new bytes each held in
// memory until the swap; a file costs its bookkeeping besides. A file is
// changed in place while its changes cost at most an eighth of its size:
// past that, writing it anew costs about as much, and freeing the original
// is what in place saves (on a disk that discards freed blocks, removing a
// tree's thousand originals was a fifth of its apply).
constexpr std::size_t kInPlaceBudget = 1u << 20;
constexpr std::size_t kInPlaceFileCost = 256;
constexpr std::size_t inPlaceBudgetOf(std::uint64_t size, std::size_t left) {
  return left > kInPlaceFileCost && size / 8 < left - kInPlaceFileCost
             ? kInPlaceFileCost + static_cast<std::size_t>(size / 8)
             : left;
}

struct Span {
  std::uint64_t offset;
  std::string before, after;
};

// Hashes the new content and counts it for progress. Without an original it
// writes it to the file spillTo opens. With the original of a file as large
// (read from it), it keeps the spans where the two differ, until they cost
// more than budget; from there on the original with the spans so far, then
// the rest, go to that file.
class NewContentSink : public ByteSink {
 public:
  NewContentSink(File* original, std::size_t budget, std::function<std::unique_ptr<File>()> spillTo,
                 std::function<void(std::uint64_t)> onProduced);
  void put(const unsigned char* data, std::size_t n) override;
  bool takesCopies() const override { return !out_; }
  void copied(const unsigned char* data, std::size_t n, std::uint64_t oldOffset) override;

  bool inPlace() const { return !out_; }
  std::vector<Span> takeSpans() { return std::move(spans_); }
  // What the spans take of the budget.
  std::size_t cost() const { return cost_; }
  // Of what was produced, or once spilled, of what went to the file.
  Hash128 digest() const { return hasher_->digest(); }
  std::uint64_t produced() const { return pos_; }

 private:
  void compare(const unsigned char* data, std::size_t n);
  void spill();
  void produced(const unsigned char* data, std::size_t n);

  File* old_;
  std::size_t budget_, cost_ = kInPlaceFileCost;
  std::function<std::unique_ptr<File>()> spillTo_;
  std::function<void(std::uint64_t)> onProduced_;
  std::unique_ptr<File> out_;
  std::vector<Span> spans_;
  std::vector<unsigned char> buf_;
  std::unique_ptr<Hasher> hasher_ = std::make_unique<Hasher>();
  std::uint64_t pos_ = 0;
};

}  // namespace rtp

#endif
