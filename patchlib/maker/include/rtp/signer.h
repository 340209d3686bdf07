// Release keys on the make side: key files, key generation, and signing
// patch files. OpenSSL on hosts, CNG in Windows builds; the key files are the
// same PEM files on both. The DLL only ever verifies.
#ifndef RTP_SIGNER_H
#define RTP_SIGNER_H

#include <stdexcept>
#include <string>
#include <vector>

#include "rtp/crypto.h"

namespace rtp {

class KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A P-256 private key that signs patches.
class SigningKey {
 public:
  // From a PEM file (PKCS#8, encrypted when it has a passphrase) or, on
  // hosts, any URI an OpenSSL provider answers (a token, an agent). Throws
  // KeyError; a file hashed too few times loads with a warning().
  static SigningKey load(const std::string& pathOrUri, const std::string& passphrase = "");
  SigningKey(SigningKey&& other) noexcept;
  SigningKey& operator=(SigningKey&&) = delete;
  SigningKey(const SigningKey&) = delete;
  ~SigningKey();

  const crypto::PublicKey& publicKey() const { return public_; }
  // What the person signing should hear about the key file; usually empty.
  const std::string& warning() const { return warning_; }
  crypto::KeyId keyId() const { return crypto::keyId(public_); }
  // r || s of a fresh signature (a random nonce: not deterministic).
  crypto::Signature sign(const crypto::Digest& digest) const;

 private:
  // The platform's key: an EVP_PKEY* on hosts, a BCRYPT_KEY_HANDLE on Windows.
  explicit SigningKey(void* key);
  // The platform's signature, before sign() checks it against public_.
  crypto::Signature signUnchecked(const crypto::Digest& digest) const;
  void* key_;
  crypto::PublicKey public_{};
  std::string warning_;
};

// A P-256 public key from a PEM file (SubjectPublicKeyInfo). Throws KeyError.
crypto::PublicKey readPublicKey(const std::string& pemPath);

// Writes a new P-256 key pair as PEM. The private key file is created owner
// readable only (on Windows: a protected ACL granting its owner alone), never over an existing
// file, and encrypted (PBKDF2-HMAC-SHA256, 600,000 iterations, AES-256) with passphrase unless
// it is empty; a passphrase needs 12 characters. Throws KeyError.
void generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::string& passphrase);

// Fills in the signature block of a whole patch image. Throws KeyError when
// the image has no well-formed header.
void signPatch(std::vector<unsigned char>& patch, const SigningKey& key);

// Signs an unsigned patch file in place, through a temporary file renamed
// over it. The patch must be sound (its sections match their hashes).
// Throws rtp::Error (result of reading the patch) or KeyError.
void signPatchFile(const std::string& path, const SigningKey& key);

}  // namespace rtp

#endif
