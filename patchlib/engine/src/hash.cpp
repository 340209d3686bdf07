#ifdef RTP_XXHASH_DISPATCH
// The packaged library, which hashes with the widest vectors the processor
// has: hashing is most of checking and changing a large file in place.
#include <xxh_x86dispatch.h>
#else
#define XXH_INLINE_ALL
#include <xxhash.h>
#endif

#include <cstdio>
#include <memory>
#include <new>

#include "rtp/format.h"

namespace rtp {

std::string Hash128::hex() const {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(high),
                static_cast<unsigned long long>(low));
  return buf;
}

Hash128 hashBytes(const void* data, std::size_t n) {
  XXH128_hash_t h = XXH3_128bits(data, n);
  Hash128 r;
  r.low = h.low64;
  r.high = h.high64;
  return r;
}

Hasher::Hasher() : state_(XXH3_createState()) {
  if (!state_) throw std::bad_alloc();
  XXH3_128bits_reset(static_cast<XXH3_state_t*>(state_));
}

Hasher::~Hasher() { XXH3_freeState(static_cast<XXH3_state_t*>(state_)); }

void Hasher::update(const void* data, std::size_t n) {
  XXH3_128bits_update(static_cast<XXH3_state_t*>(state_), data, n);
}

Hash128 Hasher::digest() const {
  XXH128_hash_t h = XXH3_128bits_digest(static_cast<XXH3_state_t*>(state_));
  Hash128 r;
  r.low = h.low64;
  r.high = h.high64;
  return r;
}

Hash128 hashFile(File& f, std::uint64_t* sizeOut) {
  Hasher h;
  // Not zeroed: every byte is read into before it is hashed.
  const std::size_t size = 64 * 1024;
  std::unique_ptr<unsigned char[]> buf(new unsigned char[size]);
  std::uint64_t total = 0;
  f.seek(0);
  for (;;) {
    std::size_t n = f.read(buf.get(), size);
    if (n == 0) break;
    h.update(buf.get(), n);
    total += n;
  }
  if (sizeOut) *sizeOut = total;
  return h.digest();
}

}  // namespace rtp
