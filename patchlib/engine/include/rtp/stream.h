// Streaming decoders for the data section: bounded memory whatever the
// file sizes (the library runs inside a 32-bit process).
#ifndef RTP_STREAM_H
#define RTP_STREAM_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "rtp/format.h"
#include "rtp/fs.h"

namespace rtp {

// Receives decoded bytes in order.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual void put(const unsigned char* data, std::size_t n) = 0;
};

// Inflates one zlib stream stored at [offset, offset+length) of a file.
class Inflater {
 public:
  Inflater(File& file, std::uint64_t offset, std::uint64_t length);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  // Fills exactly n bytes or throws PatchCorrupt.
  void readExact(unsigned char* out, std::size_t n);
  std::uint64_t readVarint();
  // The stream must end here, with every stored byte consumed.
  void finish();

 private:
  std::size_t readSome(unsigned char* out, std::size_t n);
  struct State;
  std::unique_ptr<State> s_;
};

// Reads an old file through seeks, one buffer at a time.
class OldReader {
 public:
  explicit OldReader(File* file, std::uint64_t size) : file_(file), size_(size) {}
  // Copies old[pos, pos+n) into out; with no file (structure check) zeros.
  void read(std::uint64_t pos, unsigned char* out, std::size_t n);

 private:
  File* file_;
  std::uint64_t size_;
  std::vector<unsigned char> buf_;
  std::uint64_t bufPos_ = 0;
};

// Decodes one operation's data stream into sink. old may be null to check
// only the structure. Throws PatchCorrupt on any inconsistency.
void decodeStream(File& patch, std::uint64_t dataSectionOffset, const PatchOp& op, File* old,
                  ByteSink& sink);

// Varint helpers (LEB128; signed values zig-zag coded).
void putVarint(std::vector<unsigned char>& out, std::uint64_t v);
inline std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace rtp

#endif
