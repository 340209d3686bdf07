#include <cstring>

#include "rtp/fs.h"

namespace rtp {

std::size_t MemoryFile::read(void* buf, std::size_t n) {
  if (pos_ >= size_) return 0;
  std::size_t avail = static_cast<std::size_t>(size_ - pos_);
  if (n > avail) n = avail;
  std::memcpy(buf, data_ + pos_, n);
  pos_ += n;
  return n;
}

}  // namespace rtp
