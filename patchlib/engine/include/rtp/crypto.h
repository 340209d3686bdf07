// SHA-256 and ECDSA P-256 verification for the patch reader. Two back ends
// behind this header, like the two file systems: CNG (bcrypt.dll) in Windows
// builds, Nettle on hosts. Failures of the platform's crypto
// throw Error(InternalError); a signature that does not hold is just false.
#ifndef RTP_CRYPTO_H
#define RTP_CRYPTO_H

#include <array>
#include <cstddef>
#include <memory>
#include <string>

namespace rtp {
namespace crypto {

constexpr std::size_t kDigestSize = 32;
constexpr std::size_t kPublicKeySize = 64;
constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kKeyIdSize = 16;

using Digest = std::array<unsigned char, kDigestSize>;
// The uncompressed point without its 0x04 prefix: X then Y, big-endian.
using PublicKey = std::array<unsigned char, kPublicKeySize>;
// r then s, big-endian, 32 bytes each.
using Signature = std::array<unsigned char, kSignatureSize>;
// First 16 bytes of SHA-256 of 0x04 || X || Y.
using KeyId = std::array<unsigned char, kKeyIdSize>;

// Incremental SHA-256, for sections streamed through a small buffer.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void update(const void* data, std::size_t n);
  // Ends the hash; the object is spent afterwards.
  Digest finish();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

Digest sha256(const void* data, std::size_t n);

// True only if signature is key's ECDSA P-256 signature of digest.
bool verifySignature(const PublicKey& key, const Digest& digest, const Signature& signature);
// True if key is a point of P-256, one verifySignature can check with.
bool isPublicKey(const PublicKey& key);

KeyId keyId(const PublicKey& key);

// Lower-case hex of any byte array.
std::string hex(const unsigned char* data, std::size_t n);
template <std::size_t N>
std::string hex(const std::array<unsigned char, N>& bytes) {
  return hex(bytes.data(), N);
}

}  // namespace crypto
}  // namespace rtp

#endif
