#include "rtp/stream.h"

#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace rtp {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;
}  // namespace

// StreamSource

struct StreamSource::State {
  File& file;
  const char* name;
  std::uint64_t offset;     // next stored byte to read from the file
  std::uint64_t remaining;  // stored bytes not yet read from the file
  crypto::Sha256 hash;      // of the stored bytes read so far
  crypto::Digest expected;
  int verdict = -1;  // intact(): unknown, no, yes
  lzma_stream strm = LZMA_STREAM_INIT;
  bool open = false;
  // Not zeroed: every byte is written before it is read, and a patch reads
  // several streams several times over.
  struct Buffer {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
    void make(std::size_t n) {
      bytes.reset(new unsigned char[n]);
      size = n;
    }
    unsigned char* data() const { return bytes.get(); }
  } in, staged;
  bool ended = false;
  std::shared_ptr<SmallStreams> small;
  std::size_t index = 0;
  State(File& f, const SectionRange& r, const char* n)
      : file(f), name(n), offset(r.offset), remaining(r.length), expected(r.sha256) {}
  // Fills the input buffer from the file with the next stored bytes.
  bool refill();
};

// False when the file ends early: it shrank since its size was checked.
bool StreamSource::State::refill() {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, in.size));
  file.seek(offset);
  if (file.read(in.data(), want) != want) return false;  // fewer only at the file's end
  hash.update(in.data(), want);
  offset += want;
  remaining -= want;
  strm.next_in = in.data();
  strm.avail_in = want;
  return true;
}

StreamSource::StreamSource(File& file, const SectionRange& range, const char* name,
                           std::shared_ptr<SmallStreams> small, std::size_t index)
    : s_(new State(file, small ? SectionRange() : range, name)) {
  if (small) {
    // Decoded on first use, with the other three: nothing to set up here.
    s_->small = std::move(small);
    s_->index = index;
    return;
  }
  if (range.length == 0) {
    s_->ended = true;
    return;
  }
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.dict_size = range.dictionary;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  const lzma_ret rc = lzma_raw_decoder(&s_->strm, filters);
  if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (rc != LZMA_OK) throw Error(Result::InternalError, "cannot start the LZMA2 decoder");
  s_->open = true;
  s_->in.make(static_cast<std::size_t>(std::min<std::uint64_t>(range.length, kBufferSize)));
  s_->staged.make(kBufferSize);
}

StreamSource::~StreamSource() {
  if (s_->open) lzma_end(&s_->strm);
}

void StreamSource::corrupt(const std::string& what) const {
  throw Error(Result::PatchCorrupt, std::string(s_->name) + " stream: " + what);
}

// Returns bytes from the staging buffer, decoding more when it is empty; 0
// only at the end of the stream.
std::size_t StreamSource::readSome(unsigned char* out, std::size_t n) {
  State& s = *s_;
  if (s.small && !s.ended) {
    std::size_t size;
    cur_ = s.small->slice(s.index, size);
    end_ = cur_ + size;
    s.ended = true;
  }
  while (cur_ == end_ && !s.ended) {
    if (s.strm.avail_in == 0 && s.remaining > 0 && !s.refill()) corrupt("patch file is truncated");
    s.strm.next_out = s.staged.data();
    s.strm.avail_out = s.staged.size;
    const lzma_ret rc = lzma_code(&s.strm, LZMA_RUN);
    cur_ = s.staged.data();
    end_ = s.strm.next_out;
    if (rc == LZMA_STREAM_END) {
      s.ended = true;
    } else if (rc == LZMA_MEM_ERROR) {
      throw std::bad_alloc();
    } else if (rc != LZMA_OK) {
      corrupt(rc == LZMA_BUF_ERROR ? "ends early" : "damaged");
    } else if (cur_ == end_ && s.strm.avail_in == 0 && s.remaining == 0) {
      corrupt("ends early");
    }
  }
  const std::size_t take = std::min(n, static_cast<std::size_t>(end_ - cur_));
  if (out && take > 0) std::memcpy(out, cur_, take);
  cur_ += take;
  return take;
}

void StreamSource::read(unsigned char* out, std::size_t n) {
  if (n > 0 && n <= static_cast<std::size_t>(end_ - cur_)) {
    std::memcpy(out, cur_, n);
    cur_ += n;
    return;
  }
  while (n > 0) {
    const std::size_t got = readSome(out, n);
    if (got == 0) corrupt("ends early");
    out += got;
    n -= got;
  }
}

std::size_t StreamSource::readAtMost(unsigned char* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const std::size_t got = readSome(out + done, n - done);
    if (got == 0) break;
    done += got;
  }
  return done;
}

void StreamSource::skip(std::uint64_t n) {
  while (n > 0) {
    const std::size_t got =
        readSome(nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(n, kBufferSize)));
    if (got == 0) corrupt("ends early");
    n -= got;
  }
}

std::uint64_t StreamSource::readVarintSlow() {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    const unsigned char b = readByte();
    if (shift == 63 && (b & 0x7e)) corrupt("number too large");
    v |= std::uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
  }
  corrupt("number too long");
}

void StreamSource::finish() {
  if (readSome(nullptr, 1) != 0) corrupt("holds bytes no operation uses");
  if (s_->strm.avail_in != 0 || s_->remaining != 0) corrupt("has bytes after its end");
}

bool StreamSource::intact() {
  State& s = *s_;
  if (s.small) return s.small->intact();
  if (s.verdict < 0) {
    s.ended = true;
    cur_ = end_ = nullptr;
    bool whole = true;
    while (whole && s.remaining > 0) whole = s.refill();
    s.strm.avail_in = 0;
    s.verdict = whole && s.hash.finish() == s.expected;
  }
  return s.verdict == 1;
}

const char* StreamSource::name() const { return s_->name; }

const char* StreamSource::sectionName() const { return s_->small ? s_->small->name() : s_->name; }

// SmallStreams

bool SmallStreams::intact() {
  if (verdict_ < 0) {
    stored_.resize(static_cast<std::size_t>(range_.length));
    file_.seek(range_.offset);
    // Fewer only at the file's end: it shrank, and is not what was signed.
    const std::size_t got = file_.read(stored_.data(), stored_.size());
    verdict_ = got == stored_.size() && crypto::sha256(stored_.data(), got) == range_.sha256;
  }
  return verdict_ == 1;
}

const unsigned char* SmallStreams::slice(std::size_t i, std::size_t& size) {
  if (!ready_) {
    if (!intact())
      throw Error(Result::PatchCorrupt,
                  std::string(name()) + " section: not the bytes its hash names");
    decode();
  }
  size = bounds_[i + 1] - bounds_[i];
  return decoded_.data() + bounds_[i];
}

// One call decodes it all: the stored bytes are in memory, and the output
// has room for one byte more than the bound, to see it exceeded.
void SmallStreams::decode() {
  auto corrupt = [this](const char* what) {
    throw Error(Result::PatchCorrupt, std::string(name()) + " section: " + what);
  };
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.dict_size = range_.dictionary;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  struct Decoder {
    lzma_stream strm = LZMA_STREAM_INIT;
    ~Decoder() { lzma_end(&strm); }
  } d;
  lzma_ret rc = lzma_raw_decoder(&d.strm, filters);
  if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (rc != LZMA_OK) throw Error(Result::InternalError, "cannot start the LZMA2 decoder");
  decoded_.resize(std::size_t(format::kMaxSmallStreams) + 1);
  d.strm.next_in = stored_.data();
  d.strm.avail_in = stored_.size();
  d.strm.next_out = decoded_.data();
  d.strm.avail_out = decoded_.size();
  do {
    rc = lzma_code(&d.strm, LZMA_RUN);
  } while (rc == LZMA_OK && d.strm.avail_in > 0 && d.strm.avail_out > 0);
  const std::size_t size = decoded_.size() - d.strm.avail_out;
  if (rc == LZMA_MEM_ERROR) throw std::bad_alloc();
  if (size > format::kMaxSmallStreams) corrupt("decodes to more than its bound");
  if (rc == LZMA_OK || rc == LZMA_BUF_ERROR) corrupt("ends early");
  if (rc != LZMA_STREAM_END) corrupt("damaged");
  if (d.strm.avail_in != 0) corrupt("has bytes after its end");
  decoded_.resize(size);
  stored_ = {};
  // The lengths, then the streams, filling the rest exactly.
  const std::size_t count = holdsRecords_ ? 5 : 4;
  bytes::Reader r(decoded_.data(), size,
                  holdsRecords_ ? "small-patch section" : "small-streams section");
  std::uint64_t lengths[5];
  for (std::size_t i = 0; i < count; ++i) lengths[i] = r.varint();
  bounds_[0] = r.pos();
  for (std::size_t i = 0; i < count; ++i) {
    if (lengths[i] > size - bounds_[i]) corrupt("lengths run past its end");
    bounds_[i + 1] = bounds_[i] + static_cast<std::size_t>(lengths[i]);
  }
  if (bounds_[count] != size) corrupt("holds bytes after its streams");
  ready_ = true;
}

// OldReader

OldReader::Block* OldReader::held(std::uint64_t index) {
  for (Block& b : blocks_)
    if (b.index == index) {
      b.used = ++clock_;
      return &b;
    }
  return nullptr;
}

const OldReader::Block& OldReader::load(std::uint64_t index) {
  Block* victim = &blocks_[0];
  for (Block& b : blocks_)
    if (b.used < victim->used) victim = &b;
  const std::uint64_t start = index * kBufferSize;
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, size_ - start));
  victim->index = ~std::uint64_t(0);
  if (!victim->data) victim->data.reset(new unsigned char[kBufferSize]);
  victim->size = want;
  readAt(start, victim->data.get(), want);
  victim->index = index;
  victim->used = ++clock_;
  return *victim;
}

void OldReader::readAt(std::uint64_t pos, unsigned char* out, std::size_t n) {
  file_.seek(pos);
  // Fewer only at its end: the old file shrank since it was checked.
  if (file_.read(out, n) != n)
    throw Error(Result::WrongInstallation, "old file changed while being patched");
}

std::size_t OldReader::view(std::uint64_t pos, std::size_t n, const unsigned char*& at) {
  if (n > size_ || pos > size_ - n) throw Error(Result::InternalError, "read outside the old file");
  const std::uint64_t index = pos / kBufferSize;
  const Block* b = held(index);
  if (!b) {
    if (n <= kLoneRead) {
      readAt(pos, lone_, n);
      at = lone_;
      return n;
    }
    b = &load(index);
  }
  const std::size_t offset = static_cast<std::size_t>(pos % kBufferSize);
  at = b->data.get() + offset;
  return std::min(n, b->size - offset);
}

void OldReader::read(std::uint64_t pos, unsigned char* out, std::size_t n) {
  while (n > 0) {
    const unsigned char* at;
    const std::size_t take = view(pos, n, at);
    std::memcpy(out, at, take);
    out += take;
    pos += take;
    n -= take;
  }
}

}  // namespace rtp
