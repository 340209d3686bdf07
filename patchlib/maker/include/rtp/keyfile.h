// Release key files as both tools read and write them, free of any platform:
// PEM, DER, PKCS#8 (plain, or encrypted with PBES2: PBKDF2 and AES-CBC),
// ECPrivateKey and SubjectPublicKeyInfo, for P-256 keys only. The crypto this
// needs comes from the platform's back end (Primitives): OpenSSL on hosts,
// CNG in Windows builds.
//
//   Secret       bytes that are wiped when they go
//   Primitives   PBKDF2, AES-CBC and random bytes, from the platform
//   PrivateKey   the scalar and point of a P-256 key, and how it was protected
//   read*/write* the file formats
#ifndef RTP_KEYFILE_H
#define RTP_KEYFILE_H

#include <cstddef>
#include <string>
#include <vector>

#include "rtp/crypto.h"
#include "rtp/signer.h"

namespace rtp {
namespace keyfile {

using Bytes = std::vector<unsigned char>;

// What keygen writes: OWASP's 2023 figure for PBKDF2-HMAC-SHA256.
constexpr unsigned kNewKeyIterations = 600000;
// Loading a key hashed fewer times than this warns.
constexpr unsigned kWeakIterations = 100000;
// More than this is a damaged or hostile file: it would hold the tool for hours.
constexpr unsigned kMaxIterations = 10000000;
// In characters (UTF-8 code points), for new keys.
constexpr std::size_t kMinPassphraseLength = 12;

void wipe(void* data, std::size_t n);

struct Secret {
  Bytes bytes;
  explicit Secret(std::size_t n = 0) : bytes(n) {}
  ~Secret() { wipe(bytes.data(), bytes.size()); }
  Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
  Secret& operator=(Secret&& other) noexcept {
    wipe(bytes.data(), bytes.size());
    bytes = std::move(other.bytes);
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// The pseudo-random function of PBKDF2.
enum class Prf { HmacSha1, HmacSha256, HmacSha512 };

class Primitives {
 public:
  virtual ~Primitives() = default;
  virtual Secret pbkdf2(Prf prf, const std::string& passphrase, const Bytes& salt,
                        unsigned iterations, std::size_t length) = 0;
  // With PKCS#7 padding; the key is 16, 24 or 32 bytes, the iv 16. False when
  // decrypting finds no sound padding.
  virtual bool aesCbc(bool encrypt, const Secret& key, const Bytes& iv, const Bytes& in,
                      Bytes& out) = 0;
  virtual void random(unsigned char* out, std::size_t n) = 0;
};

// This platform's back end.
Primitives& platformPrimitives();

struct PrivateKey {
  Secret d{32};
  crypto::PublicKey point{};
  bool hasPoint = false;
  // PBKDF2's iteration count of the file's encryption; 0 for a plain file.
  unsigned iterations = 0;
};

// A private key from a PEM file's text: "ENCRYPTED PRIVATE KEY" (PKCS#8 with
// PBES2), "PRIVATE KEY" (PKCS#8) or "EC PRIVATE KEY". where names the file in
// messages. Throws KeyError.
PrivateKey readPrivateKey(const std::string& pemText, const std::string& passphrase,
                          const std::string& where, Primitives& primitives);
// The point of a "PUBLIC KEY" (SubjectPublicKeyInfo) PEM text, not yet
// checked to lie on the curve. Throws KeyError.
crypto::PublicKey readPublicKey(const std::string& pemText, const std::string& where);

// A key file's whole text. Throws KeyError.
std::string readText(const std::string& path, const std::string& what);

// The DER inside, for tests and fuzzing.
PrivateKey readPrivateKeyInfo(const Bytes& der, const std::string& where);
PrivateKey readEcPrivateKey(const Bytes& der, const std::string& where);
PrivateKey readEncryptedPrivateKeyInfo(const Bytes& der, const std::string& passphrase,
                                       const std::string& where, Primitives& primitives);
crypto::PublicKey readSubjectPublicKeyInfo(const Bytes& der, const std::string& where);
// The DER of the first PEM block with this label. False when there is none
// or it is not sound base64.
bool pemBlock(const std::string& text, const std::string& label, Bytes& der);

// PKCS#8 PEM as OpenSSL writes it (64 characters a line, LF): encrypted with
// PBES2 (PBKDF2-HMAC-SHA256, AES-256-CBC) unless passphrase is empty.
std::string writePrivateKey(const PrivateKey& key, const std::string& passphrase,
                            Primitives& primitives, unsigned iterations = kNewKeyIterations);
std::string writePublicKey(const crypto::PublicKey& point);

// Throws KeyError when a passphrase is too short for a new key.
void checkNewPassphrase(const std::string& passphrase);
// What a release engineer reads on loading a key file protected by too few
// iterations; empty when there is nothing to say.
std::string weakKeyWarning(const std::string& where, unsigned iterations);

}  // namespace keyfile
}  // namespace rtp

#endif
