#include "new_content.h"

#include <algorithm>

namespace rtp {

namespace {

constexpr std::size_t kPiece = 64 * 1024;
// Equal bytes between two differences that join them in one span: a span
// of its own costs a journal record.
constexpr std::size_t kJoin = 32;
constexpr std::size_t kSpanCost = 64;

}  // namespace

NewContentSink::NewContentSink(File* original, std::size_t budget,
                               std::function<std::unique_ptr<File>()> spillTo,
                               std::function<void(std::uint64_t)> onProduced)
    : old_(original),
      budget_(budget),
      spillTo_(std::move(spillTo)),
      onProduced_(std::move(onProduced)) {
  if (!old_) out_ = spillTo_();
}

void NewContentSink::produced(const unsigned char* data, std::size_t n) {
  hasher_->update(data, n);
  pos_ += n;
  onProduced_(pos_);
}

void NewContentSink::copied(const unsigned char* data, std::size_t n, std::uint64_t oldOffset) {
  if (out_ || oldOffset != pos_) return put(data, n);
  produced(data, n);
}

void NewContentSink::put(const unsigned char* data, std::size_t n) {
  if (out_) {
    out_->write(data, n);
    produced(data, n);
    return;
  }
  for (std::size_t done = 0; done < n;) {
    const std::size_t k = std::min(n - done, kPiece);
    compare(data + done, k);
    if (out_) return put(data + done, n - done);
    produced(data + done, k);
    done += k;
  }
}

void NewContentSink::compare(const unsigned char* data, std::size_t n) {
  buf_.resize(n);
  old_->seek(pos_);
  if (old_->read(buf_.data(), n) != n) throw IoFailure("the original changed while it was read");
  for (std::size_t i = 0; i < n;) {
    if (data[i] == buf_[i]) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    for (std::size_t equal = 0; end < n && equal < kJoin; ++end)
      equal = data[end] == buf_[end] ? equal + 1 : 0;
    while (data[end - 1] == buf_[end - 1]) --end;
    const std::uint64_t at = pos_ + i;
    Span* last = spans_.empty() ? nullptr : &spans_.back();
    const std::uint64_t lastEnd = last ? last->offset + last->after.size() : 0;
    if (last && at >= lastEnd && at - lastEnd <= kJoin && lastEnd >= pos_) {
      // Joined across the equal bytes between, which this piece holds.
      const std::size_t from = static_cast<std::size_t>(lastEnd - pos_);
      last->before.append(reinterpret_cast<const char*>(buf_.data() + from), end - from);
      last->after.append(reinterpret_cast<const char*>(data + from), end - from);
      cost_ += 2 * (end - from);
    } else {
      spans_.push_back({at, std::string(reinterpret_cast<const char*>(buf_.data() + i), end - i),
                        std::string(reinterpret_cast<const char*>(data + i), end - i)});
      cost_ += kSpanCost + 2 * (end - i);
    }
    if (cost_ > budget_) return spill();
    i = end;
  }
}

// The original as the new content has it so far, then on as any sink.
void NewContentSink::spill() {
  out_ = spillTo_();
  hasher_ = std::make_unique<Hasher>();
  std::vector<unsigned char> piece(kPiece);
  auto span = spans_.begin();
  for (std::uint64_t at = 0; at < pos_;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(pos_ - at, kPiece));
    old_->seek(at);
    if (old_->read(piece.data(), n) != n) throw IoFailure("the original changed while it was read");
    while (span != spans_.end() && span->offset + span->after.size() <= at) ++span;
    for (auto s = span; s != spans_.end() && s->offset < at + n; ++s) {
      const std::uint64_t from = std::max(s->offset, at);
      const std::uint64_t to = std::min<std::uint64_t>(s->offset + s->after.size(), at + n);
      std::copy(s->after.begin() + static_cast<std::ptrdiff_t>(from - s->offset),
                s->after.begin() + static_cast<std::ptrdiff_t>(to - s->offset),
                piece.begin() + static_cast<std::ptrdiff_t>(from - at));
    }
    out_->write(piece.data(), n);
    hasher_->update(piece.data(), n);
    at += n;
  }
  spans_.clear();
}

}  // namespace rtp
