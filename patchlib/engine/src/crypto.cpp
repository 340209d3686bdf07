// What both crypto back ends share.
#include "rtp/crypto.h"

namespace rtp {
namespace crypto {

KeyId keyId(const PublicKey& key) {
  Sha256 h;
  const unsigned char uncompressed = 0x04;
  h.update(&uncompressed, 1);
  h.update(key.data(), key.size());
  const Digest d = h.finish();
  KeyId id;
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = d[i];
  return id;
}

Digest sha256(const void* data, std::size_t n) {
  Sha256 h;
  h.update(data, n);
  return h.finish();
}

std::string hex(const unsigned char* data, std::size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  s.reserve(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    s += digits[data[i] >> 4];
    s += digits[data[i] & 15];
  }
  return s;
}

}  // namespace crypto
}  // namespace rtp
