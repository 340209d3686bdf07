#include "big_buffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace rtp {

#ifdef __linux__
namespace {

constexpr std::size_t kHuge = std::size_t(2) << 20;
constexpr std::size_t kPackedFrom = std::size_t(64) << 10;
constexpr std::size_t kPage = 4096;
// The buffers of a file under 1 MiB take one page or two: with fewer kept,
// each file of a tree would fault in a fresh one.
constexpr std::ptrdiff_t kKeptUnused = 2;

void* hugeAligned(std::size_t bytes, std::size_t huge) {
  void* p = std::aligned_alloc(kHuge, std::max(bytes, huge));
  if (!p) throw std::bad_alloc();
  if (huge > 0) madvise(p, huge, MADV_HUGEPAGE);
  return p;
}

// A small file's buffers (its bytes, the suffix array, the buckets: a
// 137 KiB image's make faulted in 265 pages for them) share huge pages.
// Each is taken from where the last one ended; a page is used again from
// its start once all it held is freed, which is when a file's make ends.
class Packed {
 public:
  void* take(std::size_t bytes) {
    bytes = (bytes + kPage - 1) / kPage * kPage;
    const std::lock_guard<std::mutex> held(lock_);
    for (Page& p : pages_) {
      if (kHuge - p.used >= bytes) {
        void* out = p.base + p.used;
        p.used += bytes;
        ++p.live;
        return out;
      }
    }
    pages_.reserve(pages_.size() + 1);
    Page p{static_cast<unsigned char*>(hugeAligned(kHuge, kHuge)), bytes, 1};
    pages_.push_back(p);
    return p.base;
  }

  // False when p is none of its pages'.
  bool give(void* block) {
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::lock_guard<std::mutex> held(lock_);
    for (auto it = pages_.begin(); it != pages_.end(); ++it) {
      const auto base = reinterpret_cast<std::uintptr_t>(it->base);
      if (at < base || at >= base + kHuge) continue;
      if (--it->live == 0) {
        it->used = 0;
        const auto unused =
            std::count_if(pages_.begin(), pages_.end(), [](const Page& p) { return p.live == 0; });
        if (unused > kKeptUnused) {
          std::free(it->base);
          pages_.erase(it);
        }
      }
      return true;
    }
    return false;
  }

  bool holds(const void* block) {
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::lock_guard<std::mutex> held(lock_);
    for (const Page& p : pages_) {
      const auto base = reinterpret_cast<std::uintptr_t>(p.base);
      if (at >= base && at < base + kHuge) return true;
    }
    return false;
  }

 private:
  struct Page {
    unsigned char* base;
    std::size_t used, live;
  };
  std::mutex lock_;
  std::vector<Page> pages_;
};

Packed& packed() {
  static Packed* p = new Packed;  // outlives every buffer, whatever the order of exit
  return *p;
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
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void bigFree(void* p) {
  if (p && !packed().give(p)) std::free(p);
}

void* bigShrink(void* p, std::size_t bytes) {
  if (packed().holds(p)) return p;
  void* shrunk = std::realloc(p, bytes ? bytes : 1);
  return shrunk ? shrunk : p;
}

#else

void* bigAlloc(std::size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void bigFree(void* p) { std::free(p); }

void* bigShrink(void* p, std::size_t bytes) {
  void* shrunk = std::realloc(p, bytes ? bytes : 1);
  return shrunk ? shrunk : p;
}

#endif

}  // namespace rtp
