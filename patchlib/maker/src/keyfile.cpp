// Key files without the platform. Everything here reads bytes an attacker
// may have written: every length is checked against what is left before it
// is used, and the iteration count is checked before any passphrase is hashed.
#include "rtp/keyfile.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>

namespace rtp {
namespace keyfile {

void wipe(void* data, std::size_t n) {
  // Through a volatile pointer, so the stores are not dropped as dead.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) p[i] = 0;
}

namespace {

constexpr std::size_t kCoordinate = 32;

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

// Reads DER elements one after another.
class Der {
 public:
  Der(const unsigned char* data, std::size_t size, const std::string& where)
      : p_(data), n_(size), where_(&where) {}
  bool empty() const { return n_ == 0; }
  bool next(unsigned char tag) const { return n_ > 0 && p_[0] == tag; }

  Der take(unsigned char tag) {
    if (n_ < 2 || p_[0] != tag) bad();
    std::size_t length = p_[1], header = 2;
    if (length & 0x80) {
      // Long form, minimal as DER has it: no indefinite length, no leading
      // zero octet, nothing a short form could say.
      const std::size_t octets = length & 0x7f;
      if (octets == 0 || octets > 4 || n_ - 2 < octets || p_[2] == 0) bad();
      length = 0;
      for (std::size_t i = 0; i < octets; ++i) length = length << 8 | p_[2 + i];
      if (length < 0x80) bad();
      header += octets;
    }
    if (length > n_ - header) bad();
    Der content(p_ + header, length, *where_);
    p_ += header + length;
    n_ -= header + length;
    return content;
  }
  // The one element of a whole DER image, with nothing after it.
  Der only(unsigned char tag) {
    Der content = take(tag);
    if (!empty()) bad();
    return content;
  }
  Bytes takeBytes(unsigned char tag) { return take(tag).bytes(); }
  unsigned takeSmallInteger() {
    const Der i = take(kInteger);
    // Non-negative, minimal, below 2^31.
    if (i.n_ == 0 || i.n_ > 4 || (i.p_[0] & 0x80) ||
        (i.n_ > 1 && i.p_[0] == 0 && !(i.p_[1] & 0x80)))
      bad();
    unsigned v = 0;
    for (std::size_t k = 0; k < i.n_; ++k) v = v << 8 | i.p_[k];
    return v;
  }
  Bytes bytes() const { return Bytes(p_, p_ + n_); }

  [[noreturn]] void bad() const { throw KeyError(*where_ + " is malformed"); }

 private:
  const unsigned char* p_;
  std::size_t n_;
  const std::string* where_;
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
      algorithm.takeBytes(kOid) != kPrime256v1 || !algorithm.empty())
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

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Strict base64: line breaks and blanks are skipped, anything else outside
// the alphabet is refused, and '=' only pads the last quantum.
bool decodeBase64(const std::string& text, Bytes& out) {
  out.clear();
  unsigned long bits = 0;
  int have = 0, padding = 0;
  std::size_t digits = 0;
  for (const char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      ++padding;
      ++digits;
      continue;
    }
    const char* at = c ? std::strchr(kBase64, c) : nullptr;
    if (!at || padding) return false;
    bits = (bits << 6 | static_cast<unsigned long>(at - kBase64)) & 0xffffff;
    ++digits;
    if ((have += 6) >= 8) {
      have -= 8;
      out.push_back(static_cast<unsigned char>(bits >> have));
    }
  }
  // Padding fills the quantum exactly, and the bits it drops are zero.
  if (digits % 4 != 0 || padding > 2 || (padding && (digits - padding) % 4 != 4u - padding) ||
      (bits & ((1u << have) - 1)) != 0) {
    wipe(out.data(), out.size());
    return false;
  }
  return true;
}

std::string encodeBase64(const Bytes& in) {
  std::string out;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, in.size() - i);
    unsigned long v = static_cast<unsigned long>(in[i]) << 16;
    if (n > 1) v |= static_cast<unsigned long>(in[i + 1]) << 8;
    if (n > 2) v |= in[i + 2];
    for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kBase64[(v >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

std::string pem(const std::string& label, const Bytes& der) {
  std::string base64 = encodeBase64(der);
  std::string out = "-----BEGIN " + label + "-----\n";
  for (std::size_t at = 0; at < base64.size(); at += 64) out += base64.substr(at, 64) + "\n";
  wipe(&base64[0], base64.size());
  return out + "-----END " + label + "-----\n";
}

const std::string& unsupported() {
  static const std::string text =
      " is encrypted with a scheme that rtptool does not read (it reads PBES2 with PBKDF2 and "
      "AES-CBC, as `rtptool keygen` writes); convert it with `openssl pkcs8 -topk8 -v2 "
      "aes-256-cbc -v2prf hmacWithSHA256 -iter 600000`";
  return text;
}

}  // namespace

std::string readText(const std::string& path, const std::string& what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw KeyError("cannot open the " + what + " " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool pemBlock(const std::string& text, const std::string& label, Bytes& der) {
  const std::string begin = "-----BEGIN " + label + "-----", end = "-----END " + label + "-----";
  const std::size_t from = text.find(begin);
  if (from == std::string::npos) return false;
  const std::size_t body = from + begin.size(), to = text.find(end, body);
  if (to == std::string::npos) return false;
  // Legacy "Proc-Type:" headers fail as base64.
  return decodeBase64(text.substr(body, to - body), der);
}

PrivateKey readEcPrivateKey(const Bytes& der, const std::string& where) {
  Der key = Der(der.data(), der.size(), where).only(kSequence);
  if (key.takeSmallInteger() != 1) key.bad();
  const Der scalar = key.take(kOctetString);
  Secret d;
  d.bytes = scalar.bytes();
  if (d.bytes.size() != kCoordinate) throw KeyError(where + " is not a P-256 (prime256v1) key");
  PrivateKey out;
  std::memcpy(out.d.bytes.data(), d.bytes.data(), kCoordinate);
  if (key.next(kExplicit0)) {
    Der curve = key.take(kExplicit0);
    if (curve.takeBytes(kOid) != kPrime256v1 || !curve.empty())
      throw KeyError(where + " is not a P-256 (prime256v1) key");
  }
  if (key.next(kExplicit1)) {
    Der point = key.take(kExplicit1);
    out.point = pointOf(point.takeBytes(kBitString), where);
    if (!point.empty()) point.bad();
    out.hasPoint = true;
  }
  if (!key.empty()) key.bad();
  return out;
}

PrivateKey readPrivateKeyInfo(const Bytes& der, const std::string& where) {
  Der info = Der(der.data(), der.size(), where).only(kSequence);
  if (info.takeSmallInteger() != 0) info.bad();
  expectP256(info.take(kSequence), where);
  const Der inner = info.take(kOctetString);
  // Attributes ([0]) may follow; nothing here needs them.
  Secret ec;
  ec.bytes = inner.bytes();
  return readEcPrivateKey(ec.bytes, where);
}

PrivateKey readEncryptedPrivateKeyInfo(const Bytes& der, const std::string& passphrase,
                                       const std::string& where, Primitives& primitives) {
  Der outer = Der(der.data(), der.size(), where).only(kSequence);
  Der algorithm = outer.take(kSequence);
  if (algorithm.takeBytes(kOid) != kPbes2) throw KeyError(where + unsupported());
  Der parameters = algorithm.take(kSequence);
  Der kdf = parameters.take(kSequence);
  if (kdf.takeBytes(kOid) != kPbkdf2) throw KeyError(where + unsupported());
  Der kdfParameters = kdf.take(kSequence);
  const Bytes salt = kdfParameters.takeBytes(kOctetString);
  const unsigned iterations = kdfParameters.takeSmallInteger();
  unsigned keyLengthGiven = 0;
  if (kdfParameters.next(kInteger)) {
    keyLengthGiven = kdfParameters.takeSmallInteger();
    if (keyLengthGiven == 0) kdfParameters.bad();
  }
  Prf prf = Prf::HmacSha1;  // PBKDF2's default
  if (kdfParameters.next(kSequence)) {
    Der prfAlgorithm = kdfParameters.take(kSequence);
    const Bytes oid = prfAlgorithm.takeBytes(kOid);
    if (oid == kHmacSha256)
      prf = Prf::HmacSha256;
    else if (oid == kHmacSha512)
      prf = Prf::HmacSha512;
    else if (oid != kHmacSha1)
      throw KeyError(where + unsupported());
    if (prfAlgorithm.next(kNull) && !prfAlgorithm.take(kNull).empty()) prfAlgorithm.bad();
    if (!prfAlgorithm.empty()) prfAlgorithm.bad();
  }
  if (!kdfParameters.empty()) kdfParameters.bad();
  Der cipher = parameters.take(kSequence);
  const Bytes cipherOid = cipher.takeBytes(kOid);
  std::size_t keyLength = 0;
  if (cipherOid.size() == kAesCbcPrefix.size() + 1 &&
      std::equal(kAesCbcPrefix.begin(), kAesCbcPrefix.end(), cipherOid.begin())) {
    const unsigned char last = cipherOid.back();
    keyLength = last == 2 ? 16 : last == 22 ? 24 : last == 42 ? 32 : 0;
  }
  if (keyLength == 0) throw KeyError(where + unsupported());
  const Bytes iv = cipher.takeBytes(kOctetString);
  if (iv.size() != 16 || !cipher.empty() || !parameters.empty() || !algorithm.empty() ||
      (keyLengthGiven && keyLengthGiven != keyLength))
    outer.bad();
  const Bytes encrypted = outer.takeBytes(kOctetString);
  if (!outer.empty() || encrypted.empty() || encrypted.size() % 16 != 0) outer.bad();
  if (iterations == 0)
    throw KeyError(where + " claims its passphrase is hashed 0 times: the file is damaged");
  if (iterations > kMaxIterations)
    throw KeyError(where + " asks to hash its passphrase " + std::to_string(iterations) +
                   " times, more than the " + std::to_string(kMaxIterations) +
                   " rtptool allows: the file is damaged or hostile");
  if (passphrase.empty())
    throw KeyError("no private key in " + where + " (it is encrypted: give its passphrase)");

  Secret plain;
  bool sound =
      primitives.aesCbc(false, primitives.pbkdf2(prf, passphrase, salt, iterations, keyLength), iv,
                        encrypted, plain.bytes);
  PrivateKey key;
  if (sound) {
    try {
      key = readPrivateKeyInfo(plain.bytes, where);
    } catch (const KeyError&) {
      sound = false;  // a wrong passphrase may still leave sound padding
    }
  }
  if (!sound) throw KeyError("no private key in " + where + " (wrong passphrase?)");
  key.iterations = iterations;
  return key;
}

PrivateKey readPrivateKey(const std::string& text, const std::string& passphrase,
                          const std::string& where, Primitives& primitives) {
  Secret der;
  if (pemBlock(text, "ENCRYPTED PRIVATE KEY", der.bytes))
    return readEncryptedPrivateKeyInfo(der.bytes, passphrase, where, primitives);
  if (pemBlock(text, "PRIVATE KEY", der.bytes)) return readPrivateKeyInfo(der.bytes, where);
  if (pemBlock(text, "EC PRIVATE KEY", der.bytes)) return readEcPrivateKey(der.bytes, where);
  throw KeyError("no private key in " + where +
                 " (rtptool reads PEM files: PKCS#8, plain or encrypted with PBES2)");
}

crypto::PublicKey readSubjectPublicKeyInfo(const Bytes& der, const std::string& where) {
  Der info = Der(der.data(), der.size(), where).only(kSequence);
  expectP256(info.take(kSequence), where);
  const crypto::PublicKey key = pointOf(info.takeBytes(kBitString), where);
  if (!info.empty()) info.bad();
  return key;
}

crypto::PublicKey readPublicKey(const std::string& text, const std::string& where) {
  Bytes der;
  if (!pemBlock(text, "PUBLIC KEY", der)) throw KeyError(where + " holds no PEM public key");
  return readSubjectPublicKeyInfo(der, where);
}

std::string writePrivateKey(const PrivateKey& key, const std::string& passphrase,
                            Primitives& primitives, unsigned iterations) {
  if (!key.hasPoint) throw KeyError("a private key without its public point");
  // ECPrivateKey without the curve (the PKCS#8 wrapper names it), with the point.
  Secret ec, info;
  ec.bytes = sequence({smallInteger(1), element(kOctetString, key.d.bytes),
                       element(kExplicit1, pointBits(key.point))});
  info.bytes = sequence({smallInteger(0), p256Algorithm(), element(kOctetString, ec.bytes)});
  if (passphrase.empty()) return pem("PRIVATE KEY", info.bytes);

  Bytes salt(16), iv(16);
  primitives.random(salt.data(), salt.size());
  primitives.random(iv.data(), iv.size());
  Bytes encrypted;
  primitives.aesCbc(true, primitives.pbkdf2(Prf::HmacSha256, passphrase, salt, iterations, 32), iv,
                    info.bytes, encrypted);
  const Bytes kdf =
      sequence({element(kOid, kPbkdf2),
                sequence({element(kOctetString, salt), smallInteger(iterations),
                          sequence({element(kOid, kHmacSha256), element(kNull, {})})})});
  Bytes aes256 = kAesCbcPrefix;
  aes256.push_back(42);
  const Bytes scheme = sequence({element(kOid, aes256), element(kOctetString, iv)});
  return pem("ENCRYPTED PRIVATE KEY",
             sequence({sequence({element(kOid, kPbes2), sequence({kdf, scheme})}),
                       element(kOctetString, encrypted)}));
}

std::string writePublicKey(const crypto::PublicKey& point) {
  return pem("PUBLIC KEY", sequence({p256Algorithm(), pointBits(point)}));
}

void checkNewPassphrase(const std::string& passphrase) {
  const std::size_t characters =
      static_cast<std::size_t>(std::count_if(passphrase.begin(), passphrase.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
      }));
  if (characters < kMinPassphraseLength)
    throw KeyError("the passphrase has " + std::to_string(characters) +
                   " characters; a release key's needs at least " +
                   std::to_string(kMinPassphraseLength) + " (a few words make a good one)");
}

std::string weakKeyWarning(const std::string& where, unsigned iterations) {
  if (iterations == 0 || iterations >= kWeakIterations) return "";
  return "warning: " + where + " protects its private key with a passphrase hashed only " +
         std::to_string(iterations) + " times; anyone who copies the file can try passphrases " +
         "quickly. Encrypt it again with at least " + std::to_string(kWeakIterations) +
         " iterations: `openssl pkcs8 -topk8 -v2 aes-256-cbc -v2prf hmacWithSHA256 -iter " +
         std::to_string(kNewKeyIterations) + " -in OLD -out NEW`";
}

}  // namespace keyfile
}  // namespace rtp
