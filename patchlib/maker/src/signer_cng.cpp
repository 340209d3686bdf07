// Release keys on the make side in Windows builds, through CNG (bcrypt.dll).
// The key files themselves are keyfile.cpp's; here are the primitives it
// needs, the key's import into CNG, and files with an owner-only ACL.
#include <windows.h>
// bcrypt.h and sddl.h need windows.h first.
#include <bcrypt.h>
#include <sddl.h>

#include <cstring>
#include <vector>

#include "rtp/cng.h"
#include "rtp/keyfile.h"
#include "rtp/signer.h"

namespace rtp {

namespace {

using keyfile::Bytes;
using keyfile::Secret;

using cng::kSuccess;
constexpr std::size_t kCoordinate = 32;

[[noreturn]] void fail(const std::string& what, NTSTATUS status) {
  throw KeyError(cng::describe(what, status));
}

using cng::Provider;

// Keys live as long as the program; so does their provider.
BCRYPT_ALG_HANDLE ecdsa() {
  static Provider provider(BCRYPT_ECDSA_P256_ALGORITHM);
  return provider.get();
}

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (h_) BCryptDestroyKey(h_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  BCRYPT_KEY_HANDLE* out() { return &h_; }
  BCRYPT_KEY_HANDLE get() const { return h_; }
  BCRYPT_KEY_HANDLE release() {
    BCRYPT_KEY_HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

Bytes exportBlob(BCRYPT_KEY_HANDLE key, LPCWSTR type, std::size_t size) {
  Bytes blob(size);
  ULONG n = 0;
  const NTSTATUS st =
      BCryptExportKey(key, nullptr, type, blob.data(), static_cast<ULONG>(blob.size()), &n, 0);
  if (st != kSuccess || n != size) fail("cannot export a P-256 key", st);
  return blob;
}

crypto::PublicKey publicOf(BCRYPT_KEY_HANDLE key) {
  const Bytes blob =
      exportBlob(key, BCRYPT_ECCPUBLIC_BLOB, sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate);
  crypto::PublicKey out;
  std::memcpy(out.data(), blob.data() + sizeof(BCRYPT_ECCKEY_BLOB), out.size());
  return out;
}

class CngPrimitives : public keyfile::Primitives {
 public:
  Secret pbkdf2(keyfile::Prf prf, const std::string& passphrase, const Bytes& salt,
                unsigned iterations, std::size_t length) override {
    Provider hmac(prf == keyfile::Prf::HmacSha1     ? BCRYPT_SHA1_ALGORITHM
                  : prf == keyfile::Prf::HmacSha256 ? BCRYPT_SHA256_ALGORITHM
                                                    : BCRYPT_SHA512_ALGORITHM,
                  BCRYPT_ALG_HANDLE_HMAC_FLAG);
    Secret key(length);
    const NTSTATUS st = BCryptDeriveKeyPBKDF2(
        hmac.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(passphrase.data())),
        static_cast<ULONG>(passphrase.size()), const_cast<PUCHAR>(salt.data()),
        static_cast<ULONG>(salt.size()), iterations, key.bytes.data(),
        static_cast<ULONG>(key.bytes.size()), 0);
    if (st != kSuccess) fail("cannot derive a key from the passphrase", st);
    return key;
  }

  bool aesCbc(bool encrypt, const Secret& key, const Bytes& iv, const Bytes& in,
              Bytes& out) override {
    Provider aes(BCRYPT_AES_ALGORITHM);
    NTSTATUS st =
        BCryptSetProperty(aes.get(), BCRYPT_CHAINING_MODE,
                          reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_CBC)),
                          sizeof(BCRYPT_CHAIN_MODE_CBC), 0);
    if (st != kSuccess) fail("cannot set up AES-CBC", st);
    KeyHandle k;
    st = BCryptGenerateSymmetricKey(aes.get(), k.out(), nullptr, 0,
                                    const_cast<PUCHAR>(key.bytes.data()),
                                    static_cast<ULONG>(key.bytes.size()), 0);
    if (st != kSuccess) fail("cannot set up AES-CBC", st);
    Bytes chain = iv;  // CNG updates the iv in place
    out.assign(in.size() + 16, 0);
    ULONG n = 0;
    const auto run = encrypt ? BCryptEncrypt : BCryptDecrypt;
    st = run(k.get(), const_cast<PUCHAR>(in.data()), static_cast<ULONG>(in.size()), nullptr,
             chain.data(), static_cast<ULONG>(chain.size()), out.data(),
             static_cast<ULONG>(out.size()), &n, BCRYPT_BLOCK_PADDING);
    if (st != kSuccess) {
      if (!encrypt) return false;
      fail("cannot encrypt the private key", st);
    }
    out.resize(n);
    return true;
  }

  void random(unsigned char* out, std::size_t n) override {
    const NTSTATUS st =
        BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (st != kSuccess) fail("no random numbers", st);
  }
};

// The SID of the user this process runs as, in string form; empty on failure.
std::string currentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  DWORD n = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &n);
  std::vector<unsigned char> buffer(n);
  char* text = nullptr;
  std::string sid;
  if (n && GetTokenInformation(token, TokenUser, buffer.data(), n, &n) &&
      ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return sid;
}

void writeNewFile(const std::string& path, const std::string& text, bool ownerOnly) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // The private key's 0600: a protected ACL that lets the user alone read and
  // write it. (Wine maps it to 0640; the "owner rights" SID it maps to 0000.)
  if (ownerOnly) {
    const std::string user = currentUserSid();
    if (user.empty() ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            ("D:P(A;;FRFW;;;" + user + ")").c_str(), SDDL_REVISION_1, &descriptor, nullptr))
      throw KeyError("cannot make an ACL for " + path + " that grants only its user");
    attributes.lpSecurityDescriptor = descriptor;
  }
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD createError = GetLastError();
  if (descriptor) LocalFree(descriptor);
  if (h == INVALID_HANDLE_VALUE)
    throw KeyError("cannot create " + path + " (Windows error " + std::to_string(createError) +
                   ")");
  DWORD written = 0;
  bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
            written == text.size();
  ok = FlushFileBuffers(h) && ok;
  ok = CloseHandle(h) && ok;
  if (!ok) {
    DeleteFileA(path.c_str());
    throw KeyError("cannot write " + path);
  }
}

}  // namespace

SigningKey::SigningKey(void* key)
    : key_(key), public_(publicOf(static_cast<BCRYPT_KEY_HANDLE>(key))) {}

SigningKey::SigningKey(SigningKey&& other) noexcept
    : key_(other.key_), public_(other.public_), warning_(std::move(other.warning_)) {
  other.key_ = nullptr;
}

SigningKey::~SigningKey() {
  if (key_) BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key_));
}

SigningKey SigningKey::load(const std::string& path, const std::string& passphrase) {
  keyfile::PrivateKey parts = keyfile::readPrivateKey(
      keyfile::readText(path, "signing key"), passphrase, path, keyfile::platformPrimitives());
  if (!parts.hasPoint)
    throw KeyError(path +
                   " holds no public point beside the private key; write it again with "
                   "`openssl pkey -in OLD -out NEW`");
  Secret blob(sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate);
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, kCoordinate};
  std::memcpy(blob.bytes.data(), &header, sizeof header);
  std::memcpy(blob.bytes.data() + sizeof header, parts.point.data(), parts.point.size());
  std::memcpy(blob.bytes.data() + sizeof header + parts.point.size(), parts.d.bytes.data(),
              kCoordinate);
  KeyHandle key;
  NTSTATUS st = BCryptImportKeyPair(ecdsa(), nullptr, BCRYPT_ECCPRIVATE_BLOB, key.out(),
                                    blob.bytes.data(), static_cast<ULONG>(blob.bytes.size()), 0);
  if (st != kSuccess) fail("cannot use the private key in " + path, st);
  SigningKey out(key.release());
  // CNG takes a scalar with a point that is not its own; such a key would
  // fail only at its first signature, after the work that it signs.
  const crypto::Digest probe = crypto::sha256(path.data(), path.size());
  if (!crypto::verifySignature(parts.point, probe, out.signUnchecked(probe)))
    throw KeyError(path + " holds a public point that is not its private key's");
  out.warning_ = keyfile::weakKeyWarning(path, parts.iterations);
  return out;
}

crypto::Signature SigningKey::signUnchecked(const crypto::Digest& digest) const {
  crypto::Signature out;
  ULONG n = 0;
  const NTSTATUS st = BCryptSignHash(
      static_cast<BCRYPT_KEY_HANDLE>(key_), nullptr, const_cast<PUCHAR>(digest.data()),
      static_cast<ULONG>(digest.size()), out.data(), static_cast<ULONG>(out.size()), &n, 0);
  if (st != kSuccess || n != out.size()) fail("cannot sign", st);
  return out;
}

void generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::string& passphrase) {
  if (!passphrase.empty()) keyfile::checkNewPassphrase(passphrase);
  for (const std::string& p : {privatePath, publicPath})
    if (GetFileAttributesA(p.c_str()) != INVALID_FILE_ATTRIBUTES)
      throw KeyError(p + " exists; a key file is never overwritten");
  KeyHandle key;
  NTSTATUS st = BCryptGenerateKeyPair(ecdsa(), key.out(), 256, 0);
  if (st == kSuccess) st = BCryptFinalizeKeyPair(key.get(), 0);
  if (st != kSuccess) fail("cannot generate a P-256 key", st);
  Secret blob;
  blob.bytes =
      exportBlob(key.get(), BCRYPT_ECCPRIVATE_BLOB, sizeof(BCRYPT_ECCKEY_BLOB) + 3 * kCoordinate);
  keyfile::PrivateKey parts;
  std::memcpy(parts.point.data(), blob.bytes.data() + sizeof(BCRYPT_ECCKEY_BLOB),
              parts.point.size());
  std::memcpy(parts.d.bytes.data(), blob.bytes.data() + blob.bytes.size() - kCoordinate,
              kCoordinate);
  parts.hasPoint = true;
  std::string privateText =
      keyfile::writePrivateKey(parts, passphrase, keyfile::platformPrimitives());
  const std::string publicText = keyfile::writePublicKey(parts.point);

  writeNewFile(privatePath, privateText, true);
  keyfile::wipe(&privateText[0], privateText.size());
  try {
    writeNewFile(publicPath, publicText, false);
  } catch (...) {
    DeleteFileA(privatePath.c_str());
    throw;
  }
}

keyfile::Primitives& keyfile::platformPrimitives() {
  static CngPrimitives primitives;
  return primitives;
}

}  // namespace rtp
