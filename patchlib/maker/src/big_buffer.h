// Buffers that the maker fills at once: file contents, the suffix array and
// its buckets, the LZMA encoder's tables. Each 4 KiB page costs a
// fault when first touched, and on a virtual machine a fault is dear: on
// Linux such buffers ask for huge pages (a 1.8 MiB library's make went from
// 231 to 187 ms, a 45 MiB one's from 59,000 faults to 6,000).
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace rtp {

// A megabyte or more: huge pages of its own (on Linux). From 64 KiB: packed
// with others into shared huge pages, used again once all they hold is
// freed. Less: malloc's. Never null; freed with bigFree only.
void* bigAlloc(std::size_t bytes);
void bigFree(void* p);
// p's first `bytes` bytes, in a block that may be smaller (never larger).
void* bigShrink(void* p, std::size_t bytes);

// One 2 MiB huge page (on Linux; elsewhere none) that hands out blocks one
// after the other and serves again from its start once all are freed: a
// page faulted in at once, where 512 small ones fault one by one.
class HugePage {
 public:
  HugePage() = default;
  ~HugePage();
  HugePage(const HugePage&) = delete;
  HugePage& operator=(const HugePage&) = delete;

  // Null when the rest of the page is too small (or there are no huge
  // pages); the page is taken at the first block.
  void* take(std::size_t bytes);
  // False when p is not the page's.
  bool give(void* p);
  bool holds(const void* p) const;
  // What a block of the page was taken for.
  std::size_t sizeOf(const void* p) const;
  bool unused() const { return live_ == 0; }

 private:
  unsigned char* base_ = nullptr;
  std::size_t used_ = 0, live_ = 0;
};

// For vectors of such buffers. Elements are left uninitialised until
// written: a file's bytes are read over them at once.
template <typename T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <typename U>
  BigAllocator(const BigAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(bigAlloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { bigFree(p); }
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  bool operator==(const BigAllocator&) const { return true; }
  bool operator!=(const BigAllocator&) const { return false; }
};

}  // namespace rtp
