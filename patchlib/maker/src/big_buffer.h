// Buffers of a megabyte or more that the maker fills at once: file contents,
// the suffix array, the LZMA encoder's tables. Each 4 KiB page costs a fault
// when first touched, and on a virtual machine a fault is dear: on Linux
// such a buffer asks for huge pages (a 1.8 MiB library's make went from 231
// to 187 ms, a 45 MiB one's from 59,000 faults to 6,000). The memory is
// freed with std::free, whatever its size.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace rtp {

inline void* bigAlloc(std::size_t bytes) {
#ifdef __linux__
  // Whole huge pages, the last one rounded up only when three quarters of
  // it are used: the memory bound counts what is resident.
  constexpr std::size_t kHuge = std::size_t(2) << 20;
  if (bytes >= kHuge / 2) {
    if (bytes > SIZE_MAX - kHuge) throw std::bad_alloc();
    std::size_t huge = bytes / kHuge * kHuge;
    if (bytes - huge >= kHuge / 4 * 3) huge += kHuge;
    void* p = std::aligned_alloc(kHuge, std::max(bytes, huge));
    if (!p) throw std::bad_alloc();
    if (huge > 0) madvise(p, huge, MADV_HUGEPAGE);
    return p;
  }
#endif
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

// For vectors of such buffers. Elements are left uninitialised until
// written: a file's bytes are read over them at once.
template <typename T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <typename U>
  BigAllocator(const BigAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(bigAlloc(n * sizeof(T))); }
  void deallocate(T* p, std::size_t) { std::free(p); }
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
