#include "rtp/stream.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace rtp {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;

[[noreturn]] void corrupt(const std::string& what) { throw Error(Result::PatchCorrupt, what); }
}  // namespace

struct Inflater::State {
  File& file;
  std::uint64_t offset;
  std::uint64_t remaining;  // stored bytes not yet read from the file
  z_stream z{};
  bool ended = false;
  std::vector<unsigned char> in;
  State(File& f, std::uint64_t off, std::uint64_t len)
      : file(f), offset(off), remaining(len), in(kBufferSize) {}
};

Inflater::Inflater(File& file, std::uint64_t offset, std::uint64_t length)
    : s_(new State(file, offset, length)) {
  if (inflateInit(&s_->z) != Z_OK) throw std::bad_alloc();
}

Inflater::~Inflater() { inflateEnd(&s_->z); }

std::size_t Inflater::readSome(unsigned char* out, std::size_t n) {
  State& s = *s_;
  std::size_t produced = 0;
  while (produced < n && !s.ended) {
    if (s.z.avail_in == 0 && s.remaining > 0) {
      std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(s.remaining, s.in.size()));
      s.file.seek(s.offset);
      std::size_t got = 0;
      while (got < want) {
        std::size_t r = s.file.read(s.in.data() + got, want - got);
        if (r == 0) corrupt("patch file is truncated");
        got += r;
      }
      s.offset += want;
      s.remaining -= want;
      s.z.next_in = s.in.data();
      s.z.avail_in = static_cast<uInt>(want);
    }
    std::size_t chunk = std::min<std::size_t>(n - produced, 1u << 30);
    s.z.next_out = out + produced;
    s.z.avail_out = static_cast<uInt>(chunk);
    int rc = inflate(&s.z, Z_NO_FLUSH);
    produced += chunk - s.z.avail_out;
    if (rc == Z_STREAM_END) {
      s.ended = true;
    } else if (rc == Z_BUF_ERROR) {
      if (s.z.avail_in == 0 && s.remaining == 0) corrupt("compressed stream ends early");
    } else if (rc != Z_OK) {
      corrupt(std::string("compressed stream is damaged (") + (s.z.msg ? s.z.msg : "zlib error") +
              ")");
    }
  }
  return produced;
}

void Inflater::readExact(unsigned char* out, std::size_t n) {
  if (readSome(out, n) != n) corrupt("compressed stream ends early");
}

std::uint64_t Inflater::readVarint() {
  std::uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    unsigned char b;
    readExact(&b, 1);
    if (shift == 63 && (b & 0x7e)) corrupt("number too large in delta stream");
    v |= std::uint64_t(b & 0x7f) << shift;
    if (!(b & 0x80)) return v;
  }
  corrupt("number too long in delta stream");
}

void Inflater::finish() {
  unsigned char extra;
  if (readSome(&extra, 1) != 0 || !s_->ended) corrupt("data stream is longer than its file");
  if (s_->z.avail_in != 0 || s_->remaining != 0) corrupt("bytes after the end of a data stream");
}

void OldReader::read(std::uint64_t pos, unsigned char* out, std::size_t n) {
  if (!file_) {
    std::memset(out, 0, n);
    return;
  }
  if (buf_.empty()) buf_.reserve(kBufferSize);
  while (n > 0) {
    if (pos < bufPos_ || pos >= bufPos_ + buf_.size()) {
      buf_.resize(kBufferSize);
      file_->seek(pos);
      std::size_t got = 0;
      std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kBufferSize, size_ - pos));
      while (got < want) {
        std::size_t r = file_->read(buf_.data() + got, want - got);
        if (r == 0) break;
        got += r;
      }
      buf_.resize(got);
      bufPos_ = pos;
      // The old file shrank since it was checked; its hash will not match.
      if (got == 0) throw Error(Result::WrongInstallation, "old file changed while being patched");
    }
    std::size_t at = static_cast<std::size_t>(pos - bufPos_);
    std::size_t take = std::min(n, buf_.size() - at);
    std::memcpy(out, buf_.data() + at, take);
    out += take;
    pos += take;
    n -= take;
  }
}

void putVarint(std::vector<unsigned char>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<unsigned char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<unsigned char>(v));
}

void decodeStream(File& patch, std::uint64_t dataSectionOffset, const PatchOp& op, File* old,
                  ByteSink& sink) {
  Inflater in(patch, dataSectionOffset + op.dataOffset, op.dataLength);
  std::vector<unsigned char> a(kBufferSize), b(kBufferSize);
  const std::string where = op.path + ": ";
  if (op.encoding == Encoding::Full) {
    for (std::uint64_t left = op.newSize; left > 0;) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, a.size()));
      in.readExact(a.data(), n);
      sink.put(a.data(), n);
      left -= n;
    }
    in.finish();
    return;
  }
  if (op.encoding != Encoding::Delta) corrupt(where + "operation has no data stream");
  // Commands: add `add` bytes of old (from oldPos) to the stored difference
  // bytes, copy `copy` literal bytes, then move oldPos by `seek`.
  OldReader oldReader(old, op.oldSize);
  std::uint64_t newPos = 0, oldPos = 0;
  bool lastWasEmpty = false;
  while (newPos < op.newSize) {
    std::uint64_t add = in.readVarint();
    std::uint64_t copy = in.readVarint();
    std::int64_t seek = unzigzag(in.readVarint());
    if (add == 0 && copy == 0) {
      // An empty command only moves; two in a row could spin forever.
      if (lastWasEmpty) corrupt(where + "empty delta commands in a row");
      lastWasEmpty = true;
    } else {
      lastWasEmpty = false;
    }
    if (add > op.newSize - newPos) corrupt(where + "delta writes past the new size");
    if (add > op.oldSize - oldPos) corrupt(where + "delta reads past the old size");
    for (std::uint64_t left = add; left > 0;) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, a.size()));
      in.readExact(a.data(), n);
      oldReader.read(oldPos, b.data(), n);
      for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<unsigned char>(a[i] + b[i]);
      sink.put(a.data(), n);
      oldPos += n;
      newPos += n;
      left -= n;
    }
    if (copy > op.newSize - newPos) corrupt(where + "delta writes past the new size");
    for (std::uint64_t left = copy; left > 0;) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, a.size()));
      in.readExact(a.data(), n);
      sink.put(a.data(), n);
      newPos += n;
      left -= n;
    }
    if (seek < 0 ? static_cast<std::uint64_t>(-(seek + 1)) + 1 > oldPos
                 : static_cast<std::uint64_t>(seek) > op.oldSize - oldPos)
      corrupt(where + "delta moves outside the old file");
    oldPos = seek < 0 ? oldPos - (static_cast<std::uint64_t>(-(seek + 1)) + 1)
                      : oldPos + static_cast<std::uint64_t>(seek);
  }
  in.finish();
}

}  // namespace rtp
