// The operations' data, decoded in patch order from the four streams. Every
// command produces at least one byte of a declared size and every stream is
// read once, front to back, so checking a patch costs time in proportion to
// its streams and the sizes it declares.
#include <algorithm>
#include <cstring>

#include "rtp/stream.h"

namespace rtp {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
// No valid shift reaches this far: file sizes stop at 2^48.
constexpr std::int64_t kMaxShift = std::int64_t(1) << 49;

[[noreturn]] void corrupt(const PatchOp& op, const char* what) {
  throw Error(Result::PatchCorrupt, op.path + ": " + what);
}

// Where the data streams start in a section holding them: after the records
// if it holds those too.
std::size_t firstData(const std::shared_ptr<SmallStreams>& small) {
  return small && small->holdsRecords() ? 1 : 0;
}

}  // namespace

// Gathers pieces into whole chunks: a delta of many short commands would
// otherwise cost the sink (a file) a write each. Literals and adds are made
// in the chunk itself.
class ChunkedSink : public ByteSink {
 public:
  ChunkedSink(ByteSink& to, std::vector<unsigned char>& buf) : to_(to), buf_(buf) {
    buf_.resize(kChunk);
  }
  void put(const unsigned char* data, std::size_t n) override {
    if (used_ + n > kChunk) flush();
    if (n >= kChunk) {
      to_.put(data, n);
      return;
    }
    std::memcpy(buf_.data() + used_, data, n);
    used_ += n;
  }
  void copied(const unsigned char* data, std::size_t n, std::uint64_t oldOffset) override {
    if (!to_.takesCopies()) return put(data, n);
    flush();
    to_.copied(data, n, oldOffset);
  }
  // Points at to the free end of the chunk (flushed first if full) and
  // returns how many of up to n bytes fit there; added(k) takes k of them.
  std::size_t room(std::uint64_t n, unsigned char*& at) {
    if (used_ == kChunk) flush();
    at = buf_.data() + used_;
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, kChunk - used_));
  }
  void added(std::size_t n) { used_ += n; }
  void flush() {
    if (used_ > 0) to_.put(buf_.data(), used_);
    used_ = 0;
  }

 private:
  ByteSink& to_;
  std::vector<unsigned char>& buf_;
  std::size_t used_ = 0;
};

// Gives sink length bytes through its chunk, fill(from, n, at) writing the
// n from offset from at at.
template <class Fill>
void inChunks(std::uint64_t length, ChunkedSink& sink, Fill&& fill) {
  for (std::uint64_t from = 0; from < length;) {
    unsigned char* at;
    const std::size_t n = sink.room(length - from, at);
    fill(from, n, at);
    sink.added(n);
    from += n;
  }
}

PatchDecoder::PatchDecoder(File& patch, const StreamRanges& streams, Result tampered)
    : tampered_(tampered),
      small_(streams.small),
      literals_(patch, streams.literals, "literal", small_, firstData(small_)),
      commands_(patch, streams.commands, "command", small_, firstData(small_) + 1),
      positions_(patch, streams.positions, "position", small_, firstData(small_) + 2),
      differences_(patch, streams.differences, "difference", small_, firstData(small_) + 3) {}

PatchDecoder::~PatchDecoder() = default;

void PatchDecoder::finish() {
  literals_.finish();
  commands_.finish();
  positions_.finish();
  differences_.finish();
  requireIntact();
}

void PatchDecoder::requireIntact() {
  for (StreamSource* s : {&literals_, &commands_, &positions_, &differences_})
    if (!s->intact())
      throw Error(tampered_, std::string(s->sectionName()) + " section hash mismatch");
}

void PatchDecoder::checked(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    if (e.result() == Result::PatchCorrupt) requireIntact();
    throw;
  }
}

void PatchDecoder::decode(const PatchOp& op, File* old, ByteSink* sink) {
  if (op.encoding == Encoding::None)
    throw Error(Result::InternalError, op.path + ": operation has no data");
  if (op.encoding == Encoding::Delta && sink && !old)
    throw Error(Result::InternalError, op.path + ": a delta needs its old file");
  std::unique_ptr<ChunkedSink> chunked;
  if (sink) chunked.reset(new ChunkedSink(*sink, chunk_));
  if (op.encoding == Encoding::Full)
    decodeFull(op, chunked.get());
  else
    decodeDelta(op, old, chunked.get());
  if (chunked) chunked->flush();
}

void PatchDecoder::decodeFull(const PatchOp& op, ChunkedSink* sink) {
  if (!sink) {
    literals_.skip(op.newSize);
    return;
  }
  inChunks(op.newSize, *sink,
           [&](std::uint64_t, std::size_t n, unsigned char* at) { literals_.read(at, n); });
}

// Reads and checks the next command of op, which has produced bytes so far.
bool PatchDecoder::nextCommand(const PatchOp& op, std::uint64_t produced, Command& c) {
  if (produced == op.newSize) return false;
  const std::uint64_t head = commands_.readVarint();
  c.kind = static_cast<unsigned>(head & 3);
  c.length = head >> 2;
  if (c.length == 0) corrupt(op, "empty delta command");
  if (c.length > op.newSize - produced) corrupt(op, "delta writes past the new size");
  if (c.kind == delta::Literal) return true;
  const std::int64_t move = unzigzag(commands_.readVarint());
  if (move > kMaxShift || move < -kMaxShift) corrupt(op, "delta moves outside the old file");
  shift_ += move;
  c.shift = shift_;
  c.bits = 0;
  if (c.kind == delta::Shifted) {
    c.bits = static_cast<unsigned>(std::min<std::uint64_t>(commands_.readVarint(), 8));
    if (c.bits == 0 || c.bits > 7) corrupt(op, "shifted add starts at no bit of a byte");
  }
  // The old bytes are new offset - shift onwards; a shifted add reads one more.
  const std::int64_t oldStart = static_cast<std::int64_t>(produced) - shift_;
  const std::uint64_t read = c.length + (c.bits != 0);
  if (shift_ > kMaxShift || shift_ < -kMaxShift || oldStart < 0 || read > op.oldSize ||
      static_cast<std::uint64_t>(oldStart) > op.oldSize - read)
    corrupt(op, "delta reads outside the old file");
  return true;
}

void PatchDecoder::decodeDelta(const PatchOp& op, File* old, ChunkedSink* sink) {
  shift_ = 0;
  flags_ = static_cast<unsigned>(std::min<std::uint64_t>(commands_.readVarint(), 0xffff));
  if (flags_ & ~delta::kPredictAll) corrupt(op, "unknown predictor");
  std::unique_ptr<OldReader> reader;
  if (sink) reader.reset(new OldReader(*old, op.oldSize));
  std::uint64_t produced = 0;
  Command c;
  if (flags_ == 0) {
    while (nextCommand(op, produced, c)) {
      applyCommand(op, c, produced, reader.get(), sink);
      produced += c.length;
    }
    return;
  }
  // The predictor needs every command of the file before the first byte.
  std::vector<Command> all;
  while (nextCommand(op, produced, c)) {
    if (all.size() == format::kMaxPredictedCommands)
      corrupt(op, "too many delta commands for the predictor");
    all.push_back(c);
    produced += c.length;
  }
  if (sink) map_.build(all);
  produced = 0;
  for (const Command& cmd : all) {
    applyCommand(op, cmd, produced, reader.get(), sink);
    produced += cmd.length;
  }
}

void PatchDecoder::applyCommand(const PatchOp& op, const Command& c, std::uint64_t newPos,
                                OldReader* old, ChunkedSink* sink) {
  const std::uint64_t oldStart = newPos - static_cast<std::uint64_t>(c.shift);
  if (c.kind == delta::Literal) {
    if (!sink) {
      literals_.skip(c.length);
      return;
    }
    inChunks(c.length, *sink,
             [&](std::uint64_t, std::size_t n, unsigned char* at) { literals_.read(at, n); });
    return;
  }
  if (c.kind == delta::Copy) {
    if (!sink) return;
    for (std::uint64_t from = 0; from < c.length;) {
      const unsigned char* at;
      const std::size_t n =
          old->view(oldStart + from,
                    static_cast<std::size_t>(std::min<std::uint64_t>(c.length - from, kChunk)), at);
      sink->copied(at, n, oldStart + from);
      from += n;
    }
    return;
  }
  // Add: predicted (or shifted) old bytes, with difference bytes at the
  // positions the position stream lists as gaps; a gap reaching the end
  // closes the list.
  std::uint64_t next = 0;  // offset in the command of the pending difference
  unsigned char diff = 0;
  bool ended = false;
  std::uint64_t at = 0;  // first offset not yet covered by a gap
  auto advance = [&] {
    const std::uint64_t gap = positions_.readVarint();
    if (gap > c.length - at) corrupt(op, "difference past the end of its command");
    next = at + gap;
    if (next == c.length) {
      ended = true;
      return;
    }
    diff = differences_.readByte();
    if (diff == 0) corrupt(op, "difference of zero");
    at = next + 1;
  };
  advance();
  if (!sink) {
    while (!ended) advance();
    return;
  }
  inChunks(c.length, *sink, [&](std::uint64_t from, std::size_t n, unsigned char* out) {
    const std::uint64_t to = from + n;
    if (c.kind == delta::Shifted) {
      unshifted_.resize(kChunk + 1);
      old->read(oldStart + from, unshifted_.data(), n + 1);
      shiftBits(unshifted_.data(), n, c.bits, out);
    } else if (flags_ == 0) {
      old->read(oldStart + from, out, n);
    } else {
      predict(op, c.shift, oldStart + from, oldStart + to, *old, out);
    }
    while (!ended && next < to) {
      out[static_cast<std::size_t>(next - from)] += diff;
      advance();
    }
  });
}

// Predicts old[a, b) into out. The predictor reads a margin on either side:
// each stretch is predicted from the old file's cached block that holds it
// with its margins, and only the few bytes whose margins cross from one
// block to the next from a copy.
void PatchDecoder::predict(const PatchOp& op, std::int64_t shift, std::uint64_t a, std::uint64_t b,
                           OldReader& old, unsigned char* out) {
  constexpr std::size_t kMargin = delta::kPredictMargin;
  for (std::uint64_t at = a; at < b;) {
    const std::uint64_t wFrom = at >= kMargin ? at - kMargin : 0;
    const std::uint64_t wTo = std::min<std::uint64_t>(op.oldSize, b + kMargin);
    const unsigned char* window;
    const std::uint64_t heldTo =
        wFrom + old.view(wFrom, static_cast<std::size_t>(wTo - wFrom), window);
    const bool crosses = heldTo < wTo && heldTo <= at + kMargin;
    std::uint64_t to = b;
    if (heldTo < wTo) to = crosses ? std::min(b, heldTo + kMargin) : heldTo - kMargin;
    const std::size_t w = static_cast<std::size_t>(std::min(wTo, to + kMargin) - wFrom);
    if (crosses) {
      window_.resize(4 * kMargin);
      old.read(wFrom, window_.data(), w);
      window = window_.data();
    }
    predictOld(window, wFrom, w, op.oldSize, at, to, shift, map_, flags_, out);
    out += to - at;
    at = to;
  }
}

}  // namespace rtp
