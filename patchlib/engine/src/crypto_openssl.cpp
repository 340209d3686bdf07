// Crypto back end for hosts: OpenSSL's libcrypto (3.0 API, no deprecated calls).
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>

#include "rtp/crypto.h"
#include "rtp/result.h"

namespace rtp {
namespace crypto {

namespace {

[[noreturn]] void fail(const char* what) {
  throw Error(Result::InternalError, std::string("crypto: ") + what + " failed");
}

template <typename T, void (*Free)(T*)>
struct Owned {
  T* p = nullptr;
  Owned() = default;
  explicit Owned(T* q) : p(q) {}
  ~Owned() {
    if (p) Free(p);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
};

void freeSig(ECDSA_SIG* s) { ECDSA_SIG_free(s); }
void freeDer(unsigned char* p) { OPENSSL_free(p); }

// Importing the key (its curve's tables included) costs more than checking
// a signature with it, and a process checks against one release key: each
// thread keeps the last key it imported. Null for a point off the curve.
EVP_PKEY* importedKey(const PublicKey& key) {
  struct Last {
    PublicKey key{};
    Owned<EVP_PKEY, EVP_PKEY_free> pkey;
  };
  thread_local Last last;
  if (last.pkey.p && last.key == key) return last.pkey.p;
  unsigned char point[1 + kPublicKeySize] = {0x04};
  std::copy(key.begin(), key.end(), point + 1);
  char group[] = "prime256v1";
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> fromData(
      EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* pkey = nullptr;
  if (!fromData.p || EVP_PKEY_fromdata_init(fromData.p) != 1) fail("P-256 key import set-up");
  OSSL_PARAM* fields = const_cast<OSSL_PARAM*>(params);
  if (EVP_PKEY_fromdata(fromData.p, &pkey, EVP_PKEY_PUBLIC_KEY, fields) != 1) return nullptr;
  if (last.pkey.p) EVP_PKEY_free(last.pkey.p);
  last.pkey.p = pkey;
  last.key = key;
  return pkey;
}

}  // namespace

struct Sha256::State {
  Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx{EVP_MD_CTX_new()};
};

// OpenSSL's own start loads the texts of all its errors and its ciphers' and
// digests' old names: a millisecond and a half of every run (the names a
// millisecond of it), where the algorithms are fetched from the provider.
// Parsing the system's configuration file was another 0.6 ms of a check's
// 8.7 (0.8 M of a 4 MiB image's 16.7 M apply instructions).
void startLean(CryptoUse use) {
  const bool checking = use == CryptoUse::CheckPatches;
  OPENSSL_init_crypto(
      (checking ? OPENSSL_INIT_NO_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_LOAD_CONFIG : 0) |
          OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS,
      nullptr);
}

Sha256::Sha256() : s_(new State) {
  if (!s_->ctx.p || EVP_DigestInit_ex(s_->ctx.p, EVP_sha256(), nullptr) != 1)
    fail("SHA-256 set-up");
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  if (n > 0 && EVP_DigestUpdate(s_->ctx.p, data, n) != 1) fail("SHA-256 update");
}

Digest Sha256::finish() {
  Digest d;
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(s_->ctx.p, d.data(), &len) != 1 || len != d.size()) fail("SHA-256 final");
  return d;
}

bool verifySignature(const PublicKey& key, const Digest& digest, const Signature& signature) {
  // The file holds r || s; OpenSSL verifies the DER form.
  Owned<ECDSA_SIG, freeSig> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!sig.p || !r || !s || ECDSA_SIG_set0(sig.p, r, s) != 1) {
    BN_free(r);
    BN_free(s);
    fail("building the signature");
  }
  unsigned char* der = nullptr;
  const int derLen = i2d_ECDSA_SIG(sig.p, &der);
  Owned<unsigned char, freeDer> derOwner(der);
  if (derLen <= 0) fail("encoding the signature");

  EVP_PKEY* pkey = importedKey(key);
  if (!pkey) fail("importing the trusted P-256 public key");
  Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr));
  if (!ctx.p || EVP_PKEY_verify_init(ctx.p) != 1) fail("signature check set-up");
  // 0 is a bad signature, a negative value a malformed one: neither holds.
  return EVP_PKEY_verify(ctx.p, der, static_cast<std::size_t>(derLen), digest.data(),
                         digest.size()) == 1;
}

bool isPublicKey(const PublicKey& key) { return importedKey(key) != nullptr; }

}  // namespace crypto
}  // namespace rtp
