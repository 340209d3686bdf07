// Release keys on the make side in Windows builds, through CNG (bcrypt.dll).
// The key files are the PEM files that OpenSSL writes on hosts: PKCS#8, plain
// or encrypted with PBES2 (PBKDF2 and AES-CBC), and SubjectPublicKeyInfo.
#include <windows.h>
// bcrypt.h, wincrypt.h and sddl.h need windows.h first.
#include <bcrypt.h>
#include <sddl.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "rtp/cng.h"
#include "rtp/signer.h"

namespace rtp {

namespace {

using Bytes = std::vector<unsigned char>;

using cng::kSuccess;
constexpr std::size_t kCoordinate = 32;
// OpenSSL's choice for PKCS#8 with PBES2, so both tools write alike.
constexpr unsigned kIterations = 2048;

[[noreturn]] void fail(const std::string& what, NTSTATUS status) {
  throw KeyError(cng::describe(what, status));
}

// Zeroes secrets when they go.
struct Secret {
  Bytes bytes;
  explicit Secret(std::size_t n = 0) : bytes(n) {}
  ~Secret() { SecureZeroMemory(bytes.data(), bytes.size()); }
  Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// Object identifiers, as their DER content bytes.
const Bytes kEcPublicKey = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
const Bytes kPrime256v1 = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};
const Bytes kPbes2 = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x05, 0x0d};
const Bytes kPbkdf2 = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x05, 0x0c};
const Bytes kHmacSha1 = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x07};
const Bytes kHmacSha256 = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x09};
const Bytes kHmacSha512 = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x0b};
const Bytes kAesCbcPrefix = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x01};  // then 2, 22, 42

enum Tag : unsigned char {
  kInteger = 0x02,
  kBitString = 0x03,
  kOctetString = 0x04,
  kNull = 0x05,
  kOid = 0x06,
  kSequence = 0x30,
  kExplicit0 = 0xa0,
  kExplicit1 = 0xa1,
};

// Reads DER elements one after another; every length is checked against
// what is left before it is used.
class Der {
 public:
  Der(const unsigned char* data, std::size_t size, const std::string& where)
      : p_(data), n_(size), where_(where) {}
  bool empty() const { return n_ == 0; }
  bool next(unsigned char tag) const { return n_ > 0 && p_[0] == tag; }

  Der take(unsigned char tag) {
    if (n_ < 2 || p_[0] != tag) bad();
    std::size_t length = p_[1], header = 2;
    if (length & 0x80) {
      const std::size_t octets = length & 0x7f;
      if (octets == 0 || octets > 4 || n_ - 2 < octets) bad();
      length = 0;
      for (std::size_t i = 0; i < octets; ++i) length = length << 8 | p_[2 + i];
      header += octets;
    }
    if (length > n_ - header) bad();
    Der content(p_ + header, length, where_);
    p_ += header + length;
    n_ -= header + length;
    return content;
  }
  Bytes takeBytes(unsigned char tag) { return take(tag).bytes(); }
  unsigned takeSmallInteger() {
    const Der i = take(kInteger);
    if (i.n_ == 0 || i.n_ > 4 || (i.p_[0] & 0x80)) bad();
    unsigned v = 0;
    for (std::size_t k = 0; k < i.n_; ++k) v = v << 8 | i.p_[k];
    return v;
  }
  Bytes bytes() const { return Bytes(p_, p_ + n_); }

  [[noreturn]] void bad() const { throw KeyError(where_ + " is malformed"); }

 private:
  const unsigned char* p_;
  std::size_t n_;
  std::string where_;
};

Bytes element(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    Bytes length;
    for (std::size_t v = n; v; v >>= 8)
      length.insert(length.begin(), static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(0x80 | length.size()));
    out.insert(out.end(), length.begin(), length.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes sequence(std::initializer_list<Bytes> parts) {
  Bytes content;
  for (const Bytes& p : parts) content.insert(content.end(), p.begin(), p.end());
  return element(kSequence, content);
}

Bytes smallInteger(unsigned v) {
  Bytes content;
  for (; v; v >>= 8) content.insert(content.begin(), static_cast<unsigned char>(v));
  if (content.empty() || (content[0] & 0x80)) content.insert(content.begin(), 0);
  return element(kInteger, content);
}

// The algorithm of every P-256 key file: id-ecPublicKey on prime256v1.
Bytes p256Algorithm() {
  return sequence({element(kOid, kEcPublicKey), element(kOid, kPrime256v1)});
}

void expectP256(Der algorithm, const std::string& where) {
  if (algorithm.takeBytes(kOid) != kEcPublicKey || !algorithm.next(kOid) ||
      algorithm.takeBytes(kOid) != kPrime256v1)
    throw KeyError(where + " is not a P-256 (prime256v1) key");
}

// The uncompressed point 0x04 || X || Y of a BIT STRING's content.
crypto::PublicKey pointOf(const Bytes& bits, const std::string& where) {
  if (bits.size() != 2 + 2 * kCoordinate || bits[0] != 0 || bits[1] != 0x04)
    throw KeyError(where + " holds no uncompressed P-256 point");
  crypto::PublicKey key;
  std::memcpy(key.data(), bits.data() + 2, key.size());
  return key;
}

Bytes pointBits(const crypto::PublicKey& key) {
  Bytes bits{0, 0x04};
  bits.insert(bits.end(), key.begin(), key.end());
  return element(kBitString, bits);
}

// PEM: the base64 between "-----BEGIN label-----" and its END line.
bool pemBlock(const std::string& text, const std::string& label, Bytes& der) {
  const std::string begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
  const std::size_t from = text.find(begin);
  if (from == std::string::npos) return false;
  const std::size_t body = from + begin.size(), to = text.find(end, body);
  if (to == std::string::npos) return false;
  const std::string base64 = text.substr(body, to - body);
  if (base64.find(':') != std::string::npos) return false;  // legacy "Proc-Type:" headers
  DWORD n = 0;
  if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                            nullptr, &n, nullptr, nullptr))
    return false;
  der.resize(n);
  if (!CryptStringToBinaryA(base64.data(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64,
                            der.data(), &n, nullptr, nullptr))
    return false;
  der.resize(n);
  return true;
}

// As OpenSSL writes it: 64 characters a line, LF line ends.
std::string pem(const std::string& label, const Bytes& der) {
  DWORD n = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  if (!CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), flags, nullptr, &n))
    throw KeyError("cannot encode a key as PEM");
  std::string base64(n, '\0');
  if (!CryptBinaryToStringA(der.data(), static_cast<DWORD>(der.size()), flags, &base64[0], &n))
    throw KeyError("cannot encode a key as PEM");
  base64.resize(std::strlen(base64.c_str()));
  std::string out = "-----BEGIN " + label + "-----\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) out += base64.substr(at, 64) + "\n";
  return out + "-----END " + label + "-----\n";
}

std::string readText(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw KeyError("cannot open the " + what + " " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
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

Secret pbkdf2(const std::string& passphrase, const Bytes& salt, unsigned iterations, LPCWSTR hash,
              std::size_t length) {
  Provider hmac(hash, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  Secret key(length);
  const NTSTATUS st = BCryptDeriveKeyPBKDF2(
      hmac.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(passphrase.data())),
      static_cast<ULONG>(passphrase.size()), const_cast<PUCHAR>(salt.data()),
      static_cast<ULONG>(salt.size()), iterations, key.bytes.data(),
      static_cast<ULONG>(key.bytes.size()), 0);
  if (st != kSuccess) fail("cannot derive a key from the passphrase", st);
  return key;
}

// AES-CBC with PKCS#7 padding. False when decrypting finds no sound padding.
bool aesCbc(bool encrypt, const Secret& key, Bytes iv, const Bytes& in, Bytes& out) {
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
  out.assign(in.size() + 16, 0);
  ULONG n = 0;
  const auto run = encrypt ? BCryptEncrypt : BCryptDecrypt;
  st = run(k.get(), const_cast<PUCHAR>(in.data()), static_cast<ULONG>(in.size()), nullptr,
           iv.data(), static_cast<ULONG>(iv.size()), out.data(), static_cast<ULONG>(out.size()), &n,
           BCRYPT_BLOCK_PADDING);
  if (st != kSuccess) {
    if (!encrypt) return false;
    fail("cannot encrypt the private key", st);
  }
  out.resize(n);
  return true;
}

// PBES2 (PBKDF2 with HMAC-SHA1/256/512, AES-CBC): what OpenSSL writes.
// Throws KeyError for another scheme; false for a wrong passphrase.
bool decryptPkcs8(const Bytes& der, const std::string& passphrase, const std::string& where,
                  Bytes& plain) {
  Der outer = Der(der.data(), der.size(), where).take(kSequence);
  Der algorithm = outer.take(kSequence);
  const std::string unsupported =
      where +
      " is encrypted with a scheme that the Windows tool does not read (it reads "
      "PBES2 with PBKDF2 and AES-CBC, as `rtptool keygen` writes)";
  if (algorithm.takeBytes(kOid) != kPbes2) throw KeyError(unsupported);
  Der parameters = algorithm.take(kSequence);
  Der kdf = parameters.take(kSequence);
  if (kdf.takeBytes(kOid) != kPbkdf2) throw KeyError(unsupported);
  Der kdfParameters = kdf.take(kSequence);
  const Bytes salt = kdfParameters.takeBytes(kOctetString);
  const unsigned iterations = kdfParameters.takeSmallInteger();
  if (kdfParameters.next(kInteger)) kdfParameters.takeSmallInteger();  // key length: the cipher's
  LPCWSTR hash = BCRYPT_SHA1_ALGORITHM;
  if (kdfParameters.next(kSequence)) {
    const Bytes prf = kdfParameters.take(kSequence).takeBytes(kOid);
    if (prf == kHmacSha256)
      hash = BCRYPT_SHA256_ALGORITHM;
    else if (prf == kHmacSha512)
      hash = BCRYPT_SHA512_ALGORITHM;
    else if (prf != kHmacSha1)
      throw KeyError(unsupported);
  }
  Der cipher = parameters.take(kSequence);
  const Bytes cipherOid = cipher.takeBytes(kOid);
  std::size_t keyLength = 0;
  if (cipherOid.size() == kAesCbcPrefix.size() + 1 &&
      std::equal(kAesCbcPrefix.begin(), kAesCbcPrefix.end(), cipherOid.begin())) {
    const unsigned char last = cipherOid.back();
    keyLength = last == 2 ? 16 : last == 22 ? 24 : last == 42 ? 32 : 0;
  }
  const Bytes iv = cipher.takeBytes(kOctetString);
  if (keyLength == 0 || iv.size() != 16) throw KeyError(unsupported);
  // A hostile file must not hold the tool for hours.
  if (iterations == 0 || iterations > 10000000) outer.bad();
  const Bytes encrypted = outer.takeBytes(kOctetString);
  return aesCbc(false, pbkdf2(passphrase, salt, iterations, hash, keyLength), iv, encrypted, plain);
}

struct PrivateParts {
  Secret d{kCoordinate};
  crypto::PublicKey point{};
  bool hasPoint = false;
};

// ECPrivateKey (RFC 5915); the curve, when named, must be P-256.
void readEcPrivateKey(const Bytes& der, const std::string& where, PrivateParts& out) {
  Der key = Der(der.data(), der.size(), where).take(kSequence);
  if (key.takeSmallInteger() != 1) key.bad();
  Secret scalar;
  scalar.bytes = key.takeBytes(kOctetString);
  if (scalar.bytes.size() != kCoordinate)
    throw KeyError(where + " is not a P-256 (prime256v1) key");
  std::memcpy(out.d.bytes.data(), scalar.bytes.data(), kCoordinate);
  if (key.next(kExplicit0) && key.take(kExplicit0).takeBytes(kOid) != kPrime256v1)
    throw KeyError(where + " is not a P-256 (prime256v1) key");
  if (key.next(kExplicit1)) {
    out.point = pointOf(key.take(kExplicit1).takeBytes(kBitString), where);
    out.hasPoint = true;
  }
}

// PrivateKeyInfo (PKCS#8) around an ECPrivateKey.
void readPrivateKeyInfo(const Bytes& der, const std::string& where, PrivateParts& out) {
  Der info = Der(der.data(), der.size(), where).take(kSequence);
  if (info.takeSmallInteger() != 0) info.bad();
  expectP256(info.take(kSequence), where);
  const Der inner = info.take(kOctetString);
  Secret ec;
  ec.bytes = inner.bytes();
  readEcPrivateKey(ec.bytes, where, out);
}

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

SigningKey::SigningKey(SigningKey&& other) noexcept : key_(other.key_), public_(other.public_) {
  other.key_ = nullptr;
}

SigningKey::~SigningKey() {
  if (key_) BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key_));
}

SigningKey SigningKey::load(const std::string& path, const std::string& passphrase) {
  const std::string text = readText(path, "signing key");
  PrivateParts parts;
  Bytes der;
  if (pemBlock(text, "ENCRYPTED PRIVATE KEY", der)) {
    if (passphrase.empty())
      throw KeyError("no private key in " + path + " (it is encrypted: give its passphrase)");
    Secret plain;
    bool sound = decryptPkcs8(der, passphrase, path, plain.bytes);
    if (sound) {
      try {
        readPrivateKeyInfo(plain.bytes, path, parts);
      } catch (const KeyError&) {
        sound = false;  // a wrong passphrase may still leave sound padding
      }
    }
    if (!sound) throw KeyError("no private key in " + path + " (wrong passphrase?)");
  } else if (pemBlock(text, "PRIVATE KEY", der)) {
    readPrivateKeyInfo(der, path, parts);
  } else if (pemBlock(text, "EC PRIVATE KEY", der)) {
    readEcPrivateKey(der, path, parts);
  } else {
    throw KeyError("no private key in " + path +
                   " (the Windows tool reads PEM files: PKCS#8, plain or encrypted with PBES2)");
  }
  SecureZeroMemory(der.data(), der.size());
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
  const NTSTATUS st =
      BCryptImportKeyPair(ecdsa(), nullptr, BCRYPT_ECCPRIVATE_BLOB, key.out(), blob.bytes.data(),
                          static_cast<ULONG>(blob.bytes.size()), 0);
  if (st != kSuccess) fail("cannot use the private key in " + path, st);
  return SigningKey(key.release());
}

crypto::Signature SigningKey::sign(const crypto::Digest& digest) const {
  crypto::Signature out;
  ULONG n = 0;
  const NTSTATUS st = BCryptSignHash(
      static_cast<BCRYPT_KEY_HANDLE>(key_), nullptr, const_cast<PUCHAR>(digest.data()),
      static_cast<ULONG>(digest.size()), out.data(), static_cast<ULONG>(out.size()), &n, 0);
  if (st != kSuccess || n != out.size()) fail("cannot sign", st);
  // CNG takes a private scalar and a public point that do not belong together.
  if (!crypto::verifySignature(public_, digest, out))
    throw KeyError("the signing key's signature does not verify with its own public key");
  return out;
}

crypto::PublicKey readPublicKey(const std::string& pemPath) {
  const std::string text = readText(pemPath, "public key");
  Bytes der;
  if (!pemBlock(text, "PUBLIC KEY", der)) throw KeyError(pemPath + " holds no PEM public key");
  Der info = Der(der.data(), der.size(), pemPath).take(kSequence);
  expectP256(info.take(kSequence), pemPath);
  const crypto::PublicKey key = pointOf(info.takeBytes(kBitString), pemPath);
  // A point off the curve is no key.
  Bytes blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.data(), key.size());
  KeyHandle handle;
  const NTSTATUS st = BCryptImportKeyPair(ecdsa(), nullptr, BCRYPT_ECCPUBLIC_BLOB, handle.out(),
                                          blob.data(), static_cast<ULONG>(blob.size()), 0);
  if (st != kSuccess) fail(pemPath + " holds no usable P-256 public key", st);
  return key;
}

void generateKeyPair(const std::string& privatePath, const std::string& publicPath,
                     const std::string& passphrase) {
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
  crypto::PublicKey point;
  std::memcpy(point.data(), blob.bytes.data() + sizeof(BCRYPT_ECCKEY_BLOB), point.size());
  Secret d;
  d.bytes.assign(blob.bytes.end() - kCoordinate, blob.bytes.end());

  // ECPrivateKey without the curve (the PKCS#8 wrapper names it), with the point.
  Secret ec, info;
  ec.bytes = sequence(
      {smallInteger(1), element(kOctetString, d.bytes), element(kExplicit1, pointBits(point))});
  info.bytes = sequence({smallInteger(0), p256Algorithm(), element(kOctetString, ec.bytes)});
  std::string privateText;
  if (passphrase.empty()) {
    privateText = pem("PRIVATE KEY", info.bytes);
  } else {
    Bytes salt(16), iv(16);
    for (Bytes* random : {&salt, &iv}) {
      st = BCryptGenRandom(nullptr, random->data(), static_cast<ULONG>(random->size()),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG);
      if (st != kSuccess) fail("no random numbers", st);
    }
    Bytes encrypted;
    aesCbc(true, pbkdf2(passphrase, salt, kIterations, BCRYPT_SHA256_ALGORITHM, 32), iv, info.bytes,
           encrypted);
    const Bytes kdf =
        sequence({element(kOid, kPbkdf2),
                  sequence({element(kOctetString, salt), smallInteger(kIterations),
                            sequence({element(kOid, kHmacSha256), element(kNull, {})})})});
    Bytes aes256 = kAesCbcPrefix;
    aes256.push_back(42);
    const Bytes scheme = sequence({element(kOid, aes256), element(kOctetString, iv)});
    privateText = pem("ENCRYPTED PRIVATE KEY",
                      sequence({sequence({element(kOid, kPbes2), sequence({kdf, scheme})}),
                                element(kOctetString, encrypted)}));
  }
  const std::string publicText = pem("PUBLIC KEY", sequence({p256Algorithm(), pointBits(point)}));

  writeNewFile(privatePath, privateText, true);
  SecureZeroMemory(&privateText[0], privateText.size());
  try {
    writeNewFile(publicPath, publicText, false);
  } catch (...) {
    DeleteFileA(privatePath.c_str());
    throw;
  }
}

}  // namespace rtp
