// Crypto back end for hosts: Nettle. It needs no start: OpenSSL's load of
// its provider and first fetch of an algorithm were a millisecond of every
// check, more than checking the signature itself.
#include <gmp.h>
#include <nettle/dsa.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/ecdsa.h>
#include <nettle/sha2.h>

#include <cstdint>

#include "rtp/crypto.h"
#include "rtp/result.h"

namespace rtp {
namespace crypto {

namespace {

// z set to the big-endian unsigned number of 32 bytes: a coordinate, r or s.
void setFrom(mpz_t z, const unsigned char* bytes) { mpz_import(z, 32, 1, 1, 1, 0, bytes); }

struct Number {
  mpz_t z;
  explicit Number(const unsigned char* bytes) {
    mpz_init(z);
    setFrom(z, bytes);
  }
  ~Number() { mpz_clear(z); }
  Number(const Number&) = delete;
  Number& operator=(const Number&) = delete;
};

struct Point {
  ecc_point p;
  bool onCurve;
  explicit Point(const PublicKey& key) {
    ecc_point_init(&p, nettle_get_secp_256r1());
    const Number x(key.data()), y(key.data() + 32);
    onCurve = ecc_point_set(&p, x.z, y.z) == 1;
  }
  ~Point() { ecc_point_clear(&p); }
  Point(const Point&) = delete;
  Point& operator=(const Point&) = delete;
};

}  // namespace

struct Sha256::State {
  sha256_ctx ctx;
};

Sha256::Sha256() : s_(new State) { sha256_init(&s_->ctx); }

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t n) {
  if (n > 0) sha256_update(&s_->ctx, n, static_cast<const std::uint8_t*>(data));
}

Digest Sha256::finish() {
  Digest d;
  sha256_digest(&s_->ctx, d.size(), d.data());
  return d;
}

bool verifySignature(const PublicKey& key, const Digest& digest, const Signature& signature) {
  const Point point(key);
  if (!point.onCurve)
    throw Error(Result::InternalError, "crypto: the trusted key is no P-256 point");
  dsa_signature sig;
  dsa_signature_init(&sig);
  setFrom(sig.r, signature.data());
  setFrom(sig.s, signature.data() + 32);
  // r and s outside 1 .. n-1 do not hold.
  const bool holds = ecdsa_verify(&point.p, digest.size(), digest.data(), &sig) == 1;
  dsa_signature_clear(&sig);
  return holds;
}

bool isPublicKey(const PublicKey& key) { return Point(key).onCurve; }

}  // namespace crypto
}  // namespace rtp
