// Crypto back end for Windows: CNG (bcrypt.dll), so PATCHW32.dll needs no
// crypto library of its own.
#include <cstdio>
#include <cstring>
#include <vector>

#include "rtp/cng.h"
#include "rtp/crypto.h"
#include "rtp/result.h"

namespace rtp {

namespace cng {

std::string describe(const std::string& what, NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
  return what + " (" + code + ")";
}

void failToOpen(LPCWSTR algorithm, NTSTATUS status) {
  char name[64];
  std::snprintf(name, sizeof name, "%ls", algorithm);
  throw Error(Result::InternalError,
              "crypto: " + describe(std::string("no CNG provider of ") + name, status));
}

}  // namespace cng

namespace crypto {

namespace {

using cng::kSuccess;
using cng::Provider;

[[noreturn]] void fail(const char* what, NTSTATUS status) {
  throw Error(Result::InternalError,
              "crypto: " + cng::describe(std::string(what) + " failed", status));
}

}  // namespace

struct Sha256::State {
  Provider provider{BCRYPT_SHA256_ALGORITHM};
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~State() {
    if (hash) BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : s_(new State) {
  // With no object buffer CNG keeps the hash state itself.
  const NTSTATUS st = BCryptCreateHash(s_->provider.get(), &s_->hash, nullptr, 0, nullptr, 0, 0);
  if (st != kSuccess) fail("BCryptCreateHash", st);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (n > 0) {
    const ULONG chunk = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
    const NTSTATUS st = BCryptHashData(s_->hash, const_cast<PUCHAR>(p), chunk, 0);
    if (st != kSuccess) fail("BCryptHashData", st);
    p += chunk;
    n -= chunk;
  }
}

Digest Sha256::finish() {
  Digest d;
  const NTSTATUS st = BCryptFinishHash(s_->hash, d.data(), static_cast<ULONG>(d.size()), 0);
  if (st != kSuccess) fail("BCryptFinishHash", st);
  return d;
}

namespace {

NTSTATUS importKey(const Provider& ecdsa, const PublicKey& key, BCRYPT_KEY_HANDLE* handle) {
  std::vector<unsigned char> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.data(), key.size());
  return BCryptImportKeyPair(ecdsa.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle, blob.data(),
                             static_cast<ULONG>(blob.size()), 0);
}

}  // namespace

bool isPublicKey(const PublicKey& key) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (importKey(ecdsa, key, &handle) != kSuccess) return false;
  BCryptDestroyKey(handle);
  return true;
}

bool verifySignature(const PublicKey& key, const Digest& digest, const Signature& signature) {
  Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
  BCRYPT_KEY_HANDLE handle = nullptr;
  NTSTATUS st = importKey(ecdsa, key, &handle);
  if (st != kSuccess) fail("importing the trusted P-256 public key", st);
  st = BCryptVerifySignature(
      handle, nullptr, const_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()),
      const_cast<PUCHAR>(signature.data()), static_cast<ULONG>(signature.size()), 0);
  BCryptDestroyKey(handle);
  // STATUS_INVALID_SIGNATURE, or any other refusal: the signature does not hold.
  return st == kSuccess;
}

}  // namespace crypto
}  // namespace rtp
