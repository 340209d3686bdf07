// Streaming decoders for the data streams: bounded memory whatever the file
// sizes (the library runs inside a 32-bit process).
//   StreamSource  one section's LZMA2 stream, read front to back
//   SmallStreams  the section holding all four streams of a small patch
//   OldReader     the old file, read through a window
//   PatchDecoder  the four streams, consumed by the operations in order
#ifndef RTP_STREAM_H
#define RTP_STREAM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/format.h"
#include "rtp/fs.h"

namespace rtp {

// Receives decoded bytes in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void put(const unsigned char* data, std::size_t n) = 0;
  // Bytes the old file holds at oldOffset. A sink that gains from knowing
  // where they came from takes them apart (takesCopies), one call each.
  virtual bool takesCopies() const { return false; }
  virtual void copied(const unsigned char* data, std::size_t n, std::uint64_t /*oldOffset*/) {
    put(data, n);
  }
};

// The section holding a small patch's four streams (small-streams), or its
// records and the four (small-patch): at most a few dozen KiB, so on first
// use it is read whole, its hash compared, and only then decoded, once, into
// memory.
class SmallStreams {
 public:
  SmallStreams(File& file, const format::Section& section)
      : file_(file),
        range_(section.range),
        holdsRecords_(section.type == format::kSectionSmallPatch) {}
  // Whether the records come first, before the four streams.
  bool holdsRecords() const { return holdsRecords_; }
  // Stream i (the records if it holds them, then the four data streams in
  // type order) as a slice of the decoded content. Throws PatchCorrupt when
  // the stored bytes are not those signed (intact() then says so) or their
  // content is malformed.
  const unsigned char* slice(std::size_t i, std::size_t& size);
  // Whether the stored bytes are those the range's SHA-256 names.
  bool intact();
  const char* name() const { return holdsRecords_ ? "small-patch" : "small-streams"; }

 private:
  void decode();
  File& file_;
  SectionRange range_;
  bool holdsRecords_;
  int verdict_ = -1;  // intact(): unknown, no, yes
  std::vector<unsigned char> stored_, decoded_;
  std::size_t bounds_[6] = {};  // where each stream starts, and the end
  bool ready_ = false;          // decoded and its lengths checked
};

// Decodes the raw LZMA2 stream stored at a range of a file, with the
// dictionary the range declares (checked against its type's bound by the
// reader); an empty range is an empty stream. A stream reaching back farther
// than its dictionary is refused, never given more memory. Each stored byte
// is read from the file once, into the range's SHA-256 and the decoder from
// the same buffer. With small, the stream is instead small's stream index,
// and range is not used.
class StreamSource {
 public:
  StreamSource(File& file, const SectionRange& range, const char* name,
               std::shared_ptr<SmallStreams> small = nullptr, std::size_t index = 0);
  ~StreamSource();
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;
  // Fills exactly n bytes or throws PatchCorrupt.
  void read(unsigned char* out, std::size_t n);
  // Fills up to n bytes; fewer only at the end of the stream.
  std::size_t readAtMost(unsigned char* out, std::size_t n);
  void skip(std::uint64_t n);
  // A delta reads a number and a byte for every difference: the common case
  // (a one-byte number, a byte at hand) is inline.
  std::uint64_t readVarint() {
    if (cur_ != end_ && *cur_ < 0x80) return *cur_++;
    return readVarintSlow();
  }
  unsigned char readByte() {
    if (cur_ != end_) return *cur_++;
    unsigned char b;
    read(&b, 1);
    return b;
  }
  // The stream must end here: its end marker read, every stored byte used.
  void finish();
  // Whether the stored bytes are those the range's SHA-256 names; reads
  // (without decoding) and hashes any not yet read, which ends decoding.
  bool intact();
  const char* name() const;
  // The section the stream is stored in, for messages.
  const char* sectionName() const;

 private:
  std::size_t readSome(unsigned char* out, std::size_t n);
  std::uint64_t readVarintSlow();
  [[noreturn]] void corrupt(const std::string& what) const;
  struct State;
  std::unique_ptr<State> s_;
  // The decoded bytes not yet read: part of the staging buffer, or of a
  // small-streams slice.
  const unsigned char* cur_ = nullptr;
  const unsigned char* end_ = nullptr;
};

// Reads an old file through a few cached blocks: a delta's commands mostly
// move forward through the old file, with jumps back to what they passed.
class OldReader {
 public:
  OldReader(File& file, std::uint64_t size) : file_(file), size_(size) {}
  // Copies old[pos, pos+n) into out.
  void read(std::uint64_t pos, unsigned char* out, std::size_t n);
  // Points at to old[pos, ...) where it is held and returns how many of the
  // n bytes from there are: a copy reaches the sink without a copy of its
  // own. Valid until the next call.
  std::size_t view(std::uint64_t pos, std::size_t n, const unsigned char*& at);

 private:
  struct Block {
    std::uint64_t index = ~std::uint64_t(0);
    std::uint64_t used = 0;
    std::size_t size = 0;
    std::unique_ptr<unsigned char[]> data;  // not zeroed: it is read into at once
  };
  // A few bytes far from the blocks held (an address, a string) are read on
  // their own: loading a block for them would evict one still being copied
  // from, and read it all again. So served, two blocks read old files about
  // as seldom as four did.
  static constexpr std::size_t kLoneRead = 64;
  Block* held(std::uint64_t index);
  const Block& load(std::uint64_t index);
  void readAt(std::uint64_t pos, unsigned char* out, std::size_t n);

  File& file_;
  std::uint64_t size_;
  Block blocks_[2];
  std::uint64_t clock_ = 0;
  unsigned char lone_[kLoneRead];
};

class ChunkedSink;

// Decodes the operations' data in patch order. Every operation with data
// must pass through, in order, skipped ones too: the streams are shared.
// Nothing decoded is vouched for before finish() returns: only then has
// every stream been read to its end and its hash compared.
class PatchDecoder {
 public:
  // tampered: the result for a stream whose bytes are not those the header
  // lists (not signed, or, without a key, merely corrupt).
  PatchDecoder(File& patch, const StreamRanges& streams, Result tampered);
  ~PatchDecoder();
  // Writes op's new content to sink, reading the old content from old (a
  // delta needs it). With no sink, only consumes and checks op's part of
  // the streams; the old file is not needed then.
  void decode(const PatchOp& op, File* old, ByteSink* sink);
  // Every stream must be used up exactly, and hold the bytes signed.
  void finish();
  // Runs body, which decodes from these streams. A fault it finds in their
  // data is the maker's only if every stream holds the bytes signed: each
  // is first read and hashed to its end, and one that does not turns the
  // fault into tampering.
  void checked(const std::function<void()>& body);

 private:
  void decodeFull(const PatchOp& op, ChunkedSink* sink);
  void decodeDelta(const PatchOp& op, File* old, ChunkedSink* sink);
  bool nextCommand(const PatchOp& op, std::uint64_t produced, Command& c);
  void applyCommand(const PatchOp& op, const Command& c, std::uint64_t newPos, OldReader* old,
                    ChunkedSink* sink);
  void predict(const PatchOp& op, std::int64_t shift, std::uint64_t a, std::uint64_t b,
               OldReader& old, unsigned char* out);
  void requireIntact();

  Result tampered_;
  std::shared_ptr<SmallStreams> small_;  // null when the streams have their own sections
  StreamSource literals_, commands_, positions_, differences_;
  std::vector<unsigned char> chunk_;  // what the file is written from, kept for the next operation
  std::vector<unsigned char> window_, unshifted_;
  std::int64_t shift_ = 0;
  ShiftMap map_;
  unsigned flags_ = 0;
};

using bytes::putVarint;
using bytes::unzigzag;
using bytes::zigzag;

}  // namespace rtp

#endif
