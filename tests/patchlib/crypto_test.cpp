// The crypto back end of this platform (Nettle on hosts, CNG under Wine)
// and the reader's signature check on top of it: the same cases for both.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "TestReleaseKey.h"
#include "rtp/crypto.h"
#include "rtp/engine.h"
#include "tamper.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace crypto = rtp::crypto;

Bytes corpusFile(const std::string& name) {
  std::string dir = RTP_CORPUS_DIR;
#ifdef _WIN32
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;  // the host's root as Wine maps it
#endif
  std::ifstream in(dir + "/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

crypto::PublicKey testKey() {
  crypto::PublicKey key;
  std::copy(std::begin(kTestReleaseKey), std::end(kTestReleaseKey), key.begin());
  return key;
}

rtp::Result readWith(const Bytes& b, const crypto::PublicKey* key) {
  rtp::MemoryFile f(b.data(), b.size());
  return rtp::readPatch(f, key).result;
}

// The signed header of a patch and its signature block.
struct Signed {
  crypto::Digest digest;
  crypto::Signature signature;
};
Signed signedHeader(const Bytes& patch) {
  const std::size_t headerSize =
      rtp::format::signedSize(patch.data(), patch.size(), rtp::Result::PatchCorrupt) + 80;
  Signed s;
  s.digest = crypto::sha256(patch.data(), headerSize - 80);
  std::copy(patch.begin() + static_cast<long>(headerSize - 64),
            patch.begin() + static_cast<long>(headerSize), s.signature.begin());
  return s;
}

}  // namespace

TEST(Crypto, Sha256KnownAnswersWholeAndStreamed) {
  EXPECT_EQ(crypto::hex(crypto::sha256("", 0)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(crypto::hex(crypto::sha256("abc", 3)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // A million 'a' in uneven pieces, as sections stream through a buffer.
  crypto::Sha256 h;
  const std::string chunk(9973, 'a');
  std::size_t left = 1000000;
  for (std::size_t n = 1; left > 0; n = n * 7 % chunk.size() + 1) {
    const std::size_t take = std::min(n, left);
    h.update(chunk.data(), take);
    left -= take;
  }
  EXPECT_EQ(crypto::hex(h.finish()),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Crypto, KeyIdIsTheHashOfTheUncompressedPoint) {
  // The build computed this id with another SHA-256 (Python's).
  EXPECT_EQ(crypto::hex(crypto::keyId(testKey())), kTestReleaseKey_ID);
}

TEST(Crypto, VerifiesTheTestKeysSignatureAndNothingElse) {
  const Signed s = signedHeader(corpusFile("valid-sample.rtp"));
  EXPECT_TRUE(crypto::verifySignature(testKey(), s.digest, s.signature));

  // Another valid key, P-256's generator itself, in between: a back end
  // that keeps an imported key must not check with the wrong one.
  const Bytes generator = {0x6b, 0x17, 0xd1, 0xf2, 0xe1, 0x2c, 0x42, 0x47, 0xf8, 0xbc, 0xe6,
                           0xe5, 0x63, 0xa4, 0x40, 0xf2, 0x77, 0x03, 0x7d, 0x81, 0x2d, 0xeb,
                           0x33, 0xa0, 0xf4, 0xa1, 0x39, 0x45, 0xd8, 0x98, 0xc2, 0x96, 0x4f,
                           0xe3, 0x42, 0xe2, 0xfe, 0x1a, 0x7f, 0x9b, 0x8e, 0xe7, 0xeb, 0x4a,
                           0x7c, 0x0f, 0x9e, 0x16, 0x2b, 0xce, 0x33, 0x57, 0x6b, 0x31, 0x5e,
                           0xce, 0xcb, 0xb6, 0x40, 0x68, 0x37, 0xbf, 0x51, 0xf5};
  crypto::PublicKey other;
  std::copy(generator.begin(), generator.end(), other.begin());
  EXPECT_FALSE(crypto::verifySignature(other, s.digest, s.signature));
  EXPECT_TRUE(crypto::verifySignature(testKey(), s.digest, s.signature));

  crypto::Digest otherDigest = s.digest;
  otherDigest[31] ^= 1;
  EXPECT_FALSE(crypto::verifySignature(testKey(), otherDigest, s.signature));
  // P-256's group order n: r and s must lie in 1 .. n-1.
  const Bytes order = {0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff,
                       0xff, 0xff, 0xff, 0xff, 0xff, 0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17,
                       0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};
  struct Case {
    const char* name;
    std::size_t at;  // 0: r, 32: s
    Bytes value;
  };
  const Case cases[] = {{"r zero", 0, Bytes(32, 0)},
                        {"s zero", 32, Bytes(32, 0)},
                        {"r = n", 0, order},
                        {"s = n", 32, order},
                        {"r all ones", 0, Bytes(32, 0xff)}};
  for (const Case& c : cases) {
    crypto::Signature bad = s.signature;
    std::copy(c.value.begin(), c.value.end(), bad.begin() + static_cast<long>(c.at));
    EXPECT_FALSE(crypto::verifySignature(testKey(), s.digest, bad)) << c.name;
  }
}

TEST(SignedPatch, EveryAlterationAfterSigningIsRefused) {
  const crypto::PublicKey key = testKey();
  const Bytes sample = corpusFile("valid-sample.rtp"), fresh = corpusFile("valid-fresh.rtp");
  ASSERT_EQ(readWith(sample, &key), rtp::Result::Ok);
  ASSERT_EQ(readWith(fresh, &key), rtp::Result::Ok);
  const std::vector<rtptest::Tampered> table = rtptest::tamperings(sample, fresh);
  ASSERT_GE(table.size(), 40u);
  for (const rtptest::Tampered& t : table) EXPECT_EQ(readWith(t.bytes, &key), t.expect) << t.name;
}

TEST(SignedPatch, WithoutAKeyOnlyIntegrityIsChecked) {
  const Bytes unsignedSample = corpusFile("bad-unsigned.rtp");
  const crypto::PublicKey key = testKey();
  EXPECT_EQ(readWith(unsignedSample, &key), rtp::Result::NotSigned);
  EXPECT_EQ(readWith(unsignedSample, nullptr), rtp::Result::Ok);
  EXPECT_EQ(readWith(corpusFile("bad-datahash.rtp"), nullptr), rtp::Result::PatchCorrupt);
  EXPECT_EQ(readWith(corpusFile("bad-datahash.rtp"), &key), rtp::Result::NotSigned);

  const Bytes sample = corpusFile("valid-sample.rtp");
  rtp::MemoryFile f(sample.data(), sample.size());
  rtp::PatchInfo info;
  ASSERT_TRUE(rtp::readPatch(f, nullptr, nullptr, &info).ok());
  EXPECT_EQ(crypto::hex(info.signer), kTestReleaseKey_ID);
  // The patch id is where the signed digest starts.
  EXPECT_EQ(crypto::hex(info.id), crypto::hex(signedHeader(sample).digest).substr(0, 32));
}
