#include "big_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace rtp {

namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;
constexpr std::size_t kHead = 16;  // before each block: its size

void* heapAlloc(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void* heapShrink(void* p, std::size_t bytes) {
  void* shrunk = std::realloc(p, bytes ? bytes : 1);
  return shrunk ? shrunk : p;
}

}  // namespace

HugePage::~HugePage() { std::free(base_); }

void* HugePage::take(std::size_t bytes) {
#ifdef __linux__
  if (!base_) {
    base_ = static_cast<unsigned char*>(std::aligned_alloc(kHuge, kHuge));
    if (!base_) return nullptr;
    madvise(base_, kHuge, MADV_HUGEPAGE);
  }
  if (kHuge - used_ < kHead || bytes > kHuge - used_ - kHead) return nullptr;
  unsigned char* block = base_ + used_ + kHead;
  std::memcpy(block - kHead, &bytes, sizeof bytes);
  used_ += (bytes + 2 * kHead - 1) / kHead * kHead;
  ++live_;
  return block;
#else
  (void)bytes;
  return nullptr;
#endif
}

bool HugePage::give(void* p) {
  if (!holds(p)) return false;
  if (--live_ == 0) used_ = 0;
  return true;
}

bool HugePage::holds(const void* p) const {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const auto base = reinterpret_cast<std::uintptr_t>(base_);
  return base_ && at >= base && at < base + kHuge;
}

std::size_t HugePage::sizeOf(const void* p) const {
  std::size_t size;
  std::memcpy(&size, static_cast<const unsigned char*>(p) - kHead, sizeof size);
  return size;
}

#ifdef __linux__
namespace {

constexpr std::size_t kPackedFrom = std::size_t(64) << 10;
// The buffers of a file under 1 MiB take one page or two: with fewer kept,
// each file of a tree would fault in a fresh one.
constexpr std::ptrdiff_t kKeptUnused = 2;

// A small file's buffers (its bytes, the suffix array, the buckets: a
// 137 KiB image's make faulted in 265 pages for them) share huge pages,
// which are used again once a file's make has freed all they held.
class Packed {
 public:
  void* take(std::size_t bytes) {
    const std::lock_guard<std::mutex> held(lock_);
    for (const auto& page : pages_)
      if (void* p = page->take(bytes)) return p;
    pages_.push_back(std::make_unique<HugePage>());
    if (void* p = pages_.back()->take(bytes)) return p;
    throw std::bad_alloc();
  }

  // False when p is none of its pages'.
  bool give(void* p) {
    const std::lock_guard<std::mutex> held(lock_);
    for (auto it = pages_.begin(); it != pages_.end(); ++it) {
      if (!(*it)->give(p)) continue;
      if ((*it)->unused() && std::count_if(pages_.begin(), pages_.end(), [](const auto& page) {
                               return page->unused();
                             }) > kKeptUnused)
        pages_.erase(it);
      return true;
    }
    return false;
  }

  bool holds(const void* p) {
    const std::lock_guard<std::mutex> held(lock_);
    return std::any_of(pages_.begin(), pages_.end(),
                       [&](const auto& page) { return page->holds(p); });
  }

 private:
  std::mutex lock_;
  std::vector<std::unique_ptr<HugePage>> pages_;
};

Packed& packed() {
  static Packed* p = new Packed;  // outlives every buffer, whatever the order of exit
  return *p;
}

void* hugeAligned(std::size_t bytes, std::size_t huge) {
  void* p = std::aligned_alloc(kHuge, std::max(bytes, huge));
  if (!p) throw std::bad_alloc();
  if (huge > 0) madvise(p, huge, MADV_HUGEPAGE);
  return p;
}

}  // namespace

void* bigAlloc(std::size_t bytes) {
  // Whole huge pages, the last one rounded up only when three quarters of
  // it are used: the memory bound counts what is resident.
  if (bytes >= kHuge / 2) {
    if (bytes > SIZE_MAX - kHuge) throw std::bad_alloc();
    std::size_t huge = bytes / kHuge * kHuge;
    if (bytes - huge >= kHuge / 4 * 3) huge += kHuge;
    return hugeAligned(bytes, huge);
  }
  if (bytes >= kPackedFrom) return packed().take(bytes);
  return heapAlloc(bytes);
}

void bigFree(void* p) {
  if (p && !packed().give(p)) std::free(p);
}

void* bigShrink(void* p, std::size_t bytes) {
  if (packed().holds(p)) return p;
  return heapShrink(p, bytes);
}

#else

void* bigAlloc(std::size_t bytes) { return heapAlloc(bytes); }

void bigFree(void* p) { std::free(p); }

void* bigShrink(void* p, std::size_t bytes) { return heapShrink(p, bytes); }

#endif

}  // namespace rtp
