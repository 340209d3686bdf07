// Release keys and patch signatures on the make side, through OpenSSL.
#include "rtp/signer.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/store.h>
#include <openssl/ui.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "rtp/engine.h"
#include "rtp/format.h"

namespace rtp {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
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

std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(n > 0 ? n : 0));
}

}  // namespace

SigningKey::SigningKey(evp_pkey_st* key)
    : key_(key), public_(publicPoint(key, "the signing key")) {}

SigningKey::SigningKey(SigningKey&& other) noexcept : key_(other.key_), public_(other.public_) {
  other.key_ = nullptr;
}

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

SigningKey SigningKey::load(const std::string& pathOrUri, const std::string& passphrase) {
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

crypto::Signature SigningKey::sign(const crypto::Digest& digest) const {
  Owned<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
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
  // A key held by a provider might not match the public part it reports.
  if (!crypto::verifySignature(public_, digest, out))
    throw KeyError("the signing key's signature does not verify with its own public key");
  return out;
}

crypto::PublicKey readPublicKey(const std::string& pemPath) {
  Owned<BIO> bio(BIO_new_file(pemPath.c_str(), "r"));
  if (!bio) fail("cannot open the public key " + pemPath);
  Owned<EVP_PKEY> key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) fail(pemPath + " holds no PEM public key");
  return publicPoint(key.get(), pemPath);
}

void generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::string& passphrase) {
  for (const std::string& p : {privatePath, publicPath})
    if (::access(p.c_str(), F_OK) == 0)
      throw KeyError(p + " exists; a key file is never overwritten");
  Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) fail("cannot generate a P-256 key");

  Owned<BIO> priv(BIO_new(BIO_s_secmem()));
  const EVP_CIPHER* cipher = passphrase.empty() ? nullptr : EVP_aes_256_cbc();
  if (!priv ||
      PEM_write_bio_PKCS8PrivateKey(priv.get(), key.get(), cipher, passphrase.data(),
                                    static_cast<int>(passphrase.size()), nullptr, nullptr) != 1)
    fail("cannot encode the private key");
  Owned<BIO> pub(BIO_new(BIO_s_mem()));
  if (!pub || PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) fail("cannot encode the public key");

  std::string privateText = bioText(priv.get());
  writeNewFile(privatePath, privateText.data(), privateText.size(), 0600);
  std::fill(privateText.begin(), privateText.end(), '\0');
  const std::string publicText = bioText(pub.get());
  try {
    writeNewFile(publicPath, publicText.data(), publicText.size(), 0644);
  } catch (...) {
    ::unlink(privatePath.c_str());
    throw;
  }
}

void signPatch(std::vector<unsigned char>& patch, const SigningKey& key) {
  auto le32 = [&](std::size_t at) {
    return std::uint32_t(patch[at]) | std::uint32_t(patch[at + 1]) << 8 |
           std::uint32_t(patch[at + 2]) << 16 | std::uint32_t(patch[at + 3]) << 24;
  };
  if (patch.size() < format::kFixedHeaderSize ||
      std::memcmp(patch.data(), format::kMagic, sizeof format::kMagic) != 0)
    throw KeyError("not a patch file");
  const std::uint32_t headerSize = le32(12), sections = le32(16);
  if (sections < format::kMinSections || sections > format::kMaxSections ||
      headerSize != format::headerSize(sections) || headerSize > patch.size())
    throw KeyError("the patch's header is malformed");
  const std::size_t signedSize = headerSize - format::kSignatureBlockSize;
  const crypto::Signature sig = key.sign(crypto::sha256(patch.data(), signedSize));
  const crypto::KeyId id = key.keyId();
  std::copy(id.begin(), id.end(), patch.begin() + static_cast<long>(signedSize));
  std::copy(sig.begin(), sig.end(), patch.begin() + static_cast<long>(signedSize + id.size()));
}

void signPatchFile(const std::string& path, const SigningKey& key) {
  std::unique_ptr<FileSystem> fs = makeNativeFileSystem();
  std::unique_ptr<File> in;
  try {
    in = fs->openRead(path);
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, e.what());
  }
  PatchInfo info;
  const Outcome read = readPatch(*in, nullptr, nullptr, &info);
  if (!read.ok()) throw Error(read.result, read.message);
  if (info.signer != crypto::KeyId{})
    throw KeyError("already signed by key " + crypto::hex(info.signer) +
                   "; only unsigned patches are signed");

  const std::string tmp = path + ".sign-part";
  try {
    unsigned char fixed[format::kFixedHeaderSize];
    in->seek(0);
    if (in->read(fixed, sizeof fixed) != sizeof fixed) throw KeyError("cannot read " + path);
    const std::size_t headerSize =
        fixed[12] | fixed[13] << 8 | fixed[14] << 16 | std::size_t(fixed[15]) << 24;
    std::vector<unsigned char> buf(1 << 20);
    std::vector<unsigned char> header(headerSize);
    in->seek(0);
    if (in->read(header.data(), header.size()) != header.size())
      throw KeyError("cannot read " + path);
    signPatch(header, key);
    std::unique_ptr<File> out = fs->create(tmp);
    out->write(header.data(), header.size());
    for (std::size_t n; (n = in->read(buf.data(), buf.size())) > 0;) out->write(buf.data(), n);
    out->sync();
    out.reset();
    in.reset();
    fs->rename(tmp, path);
    fs->flush();
  } catch (const IoFailure& e) {
    ::unlink(tmp.c_str());
    throw KeyError(std::string("cannot rewrite the patch: ") + e.what());
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
}

}  // namespace rtp
