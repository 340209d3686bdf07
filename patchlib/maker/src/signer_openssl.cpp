// Release keys on the make side, through OpenSSL. Key files are read and
// written by keyfile.cpp, as in Windows builds; OpenSSL gives it the crypto
// and holds the key. A key that is no file (a token, an agent) comes through
// an OpenSSL store.
#include "rtp/signer.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/store.h>
#include <openssl/ui.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "rtp/engine.h"
#include "rtp/keyfile.h"

namespace rtp {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
  void operator()(ECDSA_SIG* p) const { ECDSA_SIG_free(p); }
  void operator()(UI_METHOD* p) const { UI_destroy_method(p); }
  void operator()(OSSL_STORE_CTX* p) const { OSSL_STORE_close(p); }
  void operator()(OSSL_STORE_INFO* p) const { OSSL_STORE_INFO_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

// OpenSSL's own reason for the last failure, and a clean error queue.
std::string opensslReason() {
  std::string reason;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    reason = buf;
  }
  return reason.empty() ? std::string() : " (" + reason + ")";
}

[[noreturn]] void fail(const std::string& what) { throw KeyError(what + opensslReason()); }

// OpenSSL's own start adds the old names of all its ciphers and digests, which
// only a key store looks up by: a millisecond of a small file's make. The
// texts of errors and the system's configuration (a store may need it) stay.
// Before any other use; later calls change nothing.
void startLean() {
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ADD_ALL_CIPHERS | OPENSSL_INIT_NO_ADD_ALL_DIGESTS, nullptr);
}

// The release key is P-256 and nothing else: the DLL verifies only that.
crypto::PublicKey publicPoint(EVP_PKEY* key, const std::string& where) {
  char group[64] = {};
  std::size_t len = 0;
  if (!EVP_PKEY_is_a(key, "EC") ||
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) !=
          1 ||
      std::strcmp(group, "prime256v1") != 0)
    throw KeyError(where + " is not a P-256 (prime256v1) key");
  BIGNUM* x = nullptr;
  BIGNUM* y = nullptr;
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &x);
  EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &y);
  Owned<BIGNUM> ox(x), oy(y);
  crypto::PublicKey out;
  if (!x || !y || BN_bn2binpad(x, out.data(), 32) != 32 ||
      BN_bn2binpad(y, out.data() + 32, 32) != 32)
    fail("cannot read the public point of " + where);
  return out;
}

// Never prompts: the caller says where the passphrase comes from.
int passphraseCallback(char* buf, int size, int, void* data) {
  const std::string* passphrase = static_cast<const std::string*>(data);
  if (!passphrase || passphrase->empty() || passphrase->size() > static_cast<std::size_t>(size))
    return -1;
  std::memcpy(buf, passphrase->data(), passphrase->size());
  return static_cast<int>(passphrase->size());
}

void writeNewFile(const std::string& path, const char* data, std::size_t n, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) throw KeyError("cannot create " + path + ": " + std::strerror(errno));
  bool ok = true;
  for (std::size_t done = 0; ok && done < n;) {
    const ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    ok = w > 0;
    if (ok) done += static_cast<std::size_t>(w);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok) {
    const std::string why = std::strerror(errno);
    ::unlink(path.c_str());
    throw KeyError("cannot write " + path + ": " + why);
  }
}

class OpensslPrimitives : public keyfile::Primitives {
 public:
  keyfile::Secret pbkdf2(keyfile::Prf prf, const std::string& passphrase,
                         const keyfile::Bytes& salt, unsigned iterations,
                         std::size_t length) override {
    const EVP_MD* md = prf == keyfile::Prf::HmacSha1     ? EVP_sha1()
                       : prf == keyfile::Prf::HmacSha256 ? EVP_sha256()
                                                         : EVP_sha512();
    keyfile::Secret key(length);
    if (PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), salt.data(),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), md,
                          static_cast<int>(length), key.bytes.data()) != 1)
      fail("cannot derive a key from the passphrase");
    return key;
  }

  bool aesCbc(bool encrypt, const keyfile::Secret& key, const keyfile::Bytes& iv,
              const keyfile::Bytes& in, keyfile::Bytes& out) override {
    const EVP_CIPHER* cipher = key.bytes.size() == 16   ? EVP_aes_128_cbc()
                               : key.bytes.size() == 24 ? EVP_aes_192_cbc()
                                                        : EVP_aes_256_cbc();
    Owned<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || iv.size() != 16 ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.bytes.data(), iv.data(), encrypt) != 1)
      fail("cannot set up AES-CBC");
    out.assign(in.size() + 16, 0);
    int n = 0, last = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &n, in.data(), static_cast<int>(in.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + n, &last) != 1) {
      keyfile::wipe(out.data(), out.size());
      ERR_clear_error();
      if (!encrypt) return false;
      fail("cannot encrypt the private key");
    }
    out.resize(static_cast<std::size_t>(n + last));
    return true;
  }

  void random(unsigned char* out, std::size_t n) override {
    if (RAND_bytes(out, static_cast<int>(n)) != 1) fail("no random numbers");
  }
};

// The scalar and point that a key file holds, as OpenSSL's key; refused
// when the point is not the scalar's.
EVP_PKEY* importPrivate(const keyfile::PrivateKey& parts, const std::string& where) {
  Owned<BIGNUM> d(BN_secure_new());
  unsigned char point[1 + crypto::kPublicKeySize] = {0x04};
  std::memcpy(point + 1, parts.point.data(), parts.point.size());
  Owned<OSSL_PARAM_BLD> build(OSSL_PARAM_BLD_new());
  if (!d || !build ||
      !BN_bin2bn(parts.d.bytes.data(), static_cast<int>(parts.d.bytes.size()), d.get()) ||
      OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) !=
          1 ||
      OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point) !=
          1)
    fail("cannot use the private key in " + where);
  Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(build.get()));
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1)
    fail("cannot use the private key in " + where);
  Owned<EVP_PKEY> owned(key);
  Owned<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!check || EVP_PKEY_pairwise_check(check.get()) != 1)
    fail(where + " holds a public point that is not its private key's");
  return owned.release();
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

SigningKey::SigningKey(void* key)
    : key_(key), public_(publicPoint(static_cast<EVP_PKEY*>(key), "the signing key")) {}

SigningKey::SigningKey(SigningKey&& other) noexcept
    : key_(other.key_), public_(other.public_), warning_(std::move(other.warning_)) {
  other.key_ = nullptr;
}

SigningKey::~SigningKey() { EVP_PKEY_free(static_cast<EVP_PKEY*>(key_)); }

SigningKey SigningKey::load(const std::string& pathOrUri, const std::string& passphrase) {
  if (isRegularFile(pathOrUri)) {
    // Read by our own reader, which names its algorithms: a millisecond of
    // a small file's 24 ms make. Its errors are shown with OpenSSL's texts.
    startLean();
    const keyfile::PrivateKey parts =
        keyfile::readPrivateKey(keyfile::readText(pathOrUri, "signing key"), passphrase, pathOrUri,
                                keyfile::platformPrimitives());
    if (!parts.hasPoint)
      throw KeyError(pathOrUri +
                     " holds no public point beside the private key; write it again with "
                     "`openssl pkey -in OLD -out NEW`");
    SigningKey out(importPrivate(parts, pathOrUri));
    out.warning_ = keyfile::weakKeyWarning(pathOrUri, parts.iterations);
    return out;
  }
  Owned<UI_METHOD> ui(UI_UTIL_wrap_read_pem_callback(passphraseCallback, 0));
  if (!ui) fail("cannot set up passphrase handling");
  std::string secret = passphrase;
  Owned<OSSL_STORE_CTX> store(
      OSSL_STORE_open(pathOrUri.c_str(), ui.get(), &secret, nullptr, nullptr));
  if (!store) fail("cannot open the signing key " + pathOrUri);
  OSSL_STORE_expect(store.get(), OSSL_STORE_INFO_PKEY);
  EVP_PKEY* key = nullptr;
  while (!key && !OSSL_STORE_eof(store.get())) {
    Owned<OSSL_STORE_INFO> info(OSSL_STORE_load(store.get()));
    if (!info) {
      if (OSSL_STORE_error(store.get())) break;
      continue;
    }
    if (OSSL_STORE_INFO_get_type(info.get()) == OSSL_STORE_INFO_PKEY)
      key = OSSL_STORE_INFO_get1_PKEY(info.get());
  }
  if (!key)
    fail("no private key in " + pathOrUri +
         (passphrase.empty() ? " (if it is encrypted, give its passphrase)"
                             : " (wrong passphrase?)"));
  ERR_clear_error();
  return SigningKey(key);
}

crypto::Signature SigningKey::signUnchecked(const crypto::Digest& digest) const {
  Owned<EVP_PKEY_CTX> ctx(
      EVP_PKEY_CTX_new_from_pkey(nullptr, static_cast<EVP_PKEY*>(key_), nullptr));
  std::size_t len = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()) != 1)
    fail("cannot sign");
  std::vector<unsigned char> der(len);
  if (EVP_PKEY_sign(ctx.get(), der.data(), &len, digest.data(), digest.size()) != 1)
    fail("cannot sign");
  const unsigned char* p = der.data();
  Owned<ECDSA_SIG> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(len)));
  if (!sig) fail("cannot decode the signature");
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  crypto::Signature out;
  if (BN_bn2binpad(r, out.data(), 32) != 32 || BN_bn2binpad(s, out.data() + 32, 32) != 32)
    fail("cannot encode the signature");
  return out;
}

void generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::string& passphrase) {
  if (!passphrase.empty()) keyfile::checkNewPassphrase(passphrase);
  for (const std::string& p : {privatePath, publicPath})
    if (::access(p.c_str(), F_OK) == 0)
      throw KeyError(p + " exists; a key file is never overwritten");
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) fail("cannot generate a P-256 key");
  keyfile::PrivateKey parts;
  parts.point = publicPoint(key.get(), "the new key");
  parts.hasPoint = true;
  BIGNUM* d = nullptr;
  EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d);
  Owned<BIGNUM> owned(d);
  if (!d || BN_bn2binpad(d, parts.d.bytes.data(), static_cast<int>(parts.d.bytes.size())) !=
                static_cast<int>(parts.d.bytes.size()))
    fail("cannot read the new private key");

  std::string privateText =
      keyfile::writePrivateKey(parts, passphrase, keyfile::platformPrimitives());
  const std::string publicText = keyfile::writePublicKey(parts.point);
  writeNewFile(privatePath, privateText.data(), privateText.size(), 0600);
  keyfile::wipe(&privateText[0], privateText.size());
  try {
    writeNewFile(publicPath, publicText.data(), publicText.size(), 0644);
  } catch (...) {
    ::unlink(privatePath.c_str());
    throw;
  }
}

keyfile::Primitives& keyfile::platformPrimitives() {
  static OpensslPrimitives primitives;
  return primitives;
}

}  // namespace rtp
