// Signing on the make side, and what the engine does with patches that are
// unsigned, signed by another key, or altered after signing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestReleaseKey.h"
#include "corpus_trees.h"
#include "rtp/maker.h"
#include "tamper.h"
#include "support.h"

using namespace rtptest;
namespace stdfs = std::filesystem;

namespace {

// A key that is not the release key, made once per run.
const rtp::SigningKey& otherKey() {
  static TempDir dir;
  static const rtp::SigningKey key = [] {
    rtp::generateKeyPair(dir.sub("other.pem"), dir.sub("other.pub.pem"), "");
    return rtp::SigningKey::load(dir.sub("other.pem"));
  }();
  return key;
}

std::size_t headerSizeOf(const Bytes& p) {
  return rtp::format::signedSize(p.data(), p.size(), rtp::Result::PatchCorrupt) + 80;
}

// b with n bytes from `from` zeroed: what two patches may differ in.
Bytes masked(Bytes b, std::size_t from, std::size_t n) {
  std::fill(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n), 0);
  return b;
}

std::string text(const std::string& path) {
  const Bytes b = readBytes(path);
  return std::string(b.begin(), b.end());
}

// Sample trees, a product at the old one, and patches made from them.
class Signing : public ::testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(work.sub("old"));
    stdfs::create_directories(work.sub("new"));
    materialise(work.sub("old"), sampleOldTree());
    materialise(work.sub("new"), sampleNewTree());
    stdfs::create_directories(product);
    materialise(product, sampleOldTree());
  }
  std::string make(const std::string& name, const rtp::SigningKey* key) {
    rtp::makePatch(work.sub("old"), work.sub("new"), work.sub(name), key, nullptr,
                   {"Velmora", "sample", "7", "8"});
    return work.sub(name);
  }
  // Applying and verifying both refuse with `want`, and the product stays
  // as it was: no file, no backup folder, no journal.
  void expectRefused(const std::string& patch, rtp::Result want, const std::string& what) {
    SCOPED_TRACE(what);
    const Snapshot before = snapshot(product);
    EXPECT_EQ(rtp::applyPatch(*fs, patch, product, trustTestKey(true)).result, want);
    EXPECT_EQ(rtp::verifyPatch(*fs, patch, product, testPublicKey()).result, want);
    EXPECT_EQ(treeDiff(snapshot(product), before), "");
  }

  TempDir work;
  std::string product = work.sub("Velmora");
  std::unique_ptr<rtp::FileSystem> fs = rtp::makeNativeFileSystem();
};

}  // namespace

TEST_F(Signing, SignedByTheTrustedKeyApplies) {
  const std::string patch = make("p.rtp", &testSigningKey());
  rtp::Outcome o = rtp::applyPatch(*fs, patch, product, trustTestKey());
  ASSERT_TRUE(o.ok()) << o.message;
  const TreeText want = sampleNewTree();
  EXPECT_EQ(treeDiff(snapshot(product), Snapshot(want.begin(), want.end())), "");
}

TEST_F(Signing, AlteredAfterSigningIsNeverApplied) {
  const Bytes good = readBytes(make("p.rtp", &testSigningKey()));
  rtp::makePatch(work.sub("new"), work.sub("old"), work.sub("back.rtp"), &testSigningKey());
  const Bytes other = readBytes(work.sub("back.rtp"));
  for (const Tampered& t : tamperings(good, other)) {
    writeFile(work.sub("t.rtp"), t.bytes);
    expectRefused(work.sub("t.rtp"), t.expect, t.name);
  }
}

TEST_F(Signing, UnsignedOrAnotherKeysPatchIsRefused) {
  expectRefused(make("unsigned.rtp", nullptr), rtp::Result::NotSigned, "unsigned");
  expectRefused(make("other.rtp", &otherKey()), rtp::Result::NotSigned, "another key");

  // Another key's signature under the release key's id.
  Bytes forged = readBytes(make("forged.rtp", &otherKey()));
  const rtp::crypto::KeyId trustedId = testSigningKey().keyId();
  std::copy(trustedId.begin(), trustedId.end(),
            forged.begin() + static_cast<long>(headerSizeOf(forged) - 80));
  writeFile(work.sub("forged.rtp"), forged);
  expectRefused(work.sub("forged.rtp"), rtp::Result::NotSigned, "forged key id");

  // No key to trust: nothing is applied.
  const std::string good = make("good.rtp", &testSigningKey());
  const Snapshot before = snapshot(product);
  EXPECT_EQ(rtp::applyPatch(*fs, good, product, rtp::ApplyOptions()).result,
            rtp::Result::NotSigned);
  EXPECT_EQ(treeDiff(snapshot(product), before), "");
}

TEST(SignatureOrder, NothingOfAnUnsignedPatchIsParsed) {
  // Hostile operations that the reader would call corrupt, were they signed:
  // without the right signature they are not looked at.
  rtp::PatchStreams data;
  const std::vector<rtp::PatchOp> hostile = {addOp("../evil.dll", "payload", data)};
  Bytes unsignedPatch = rtp::buildPatch(hostile, data);
  Bytes otherPatch = unsignedPatch;
  rtp::signPatch(otherPatch, otherKey());
  for (const Bytes* p : {&unsignedPatch, &otherPatch}) {
    rtp::MemoryFile f(p->data(), p->size());
    EXPECT_EQ(rtp::readPatch(f, &testPublicKey()).result, rtp::Result::NotSigned);
  }
  const Bytes signedHostile = signedPatch(hostile, data);
  rtp::MemoryFile f(signedHostile.data(), signedHostile.size());
  EXPECT_EQ(rtp::readPatch(f, &testPublicKey()).result, rtp::Result::PatchCorrupt);
}

TEST_F(Signing, SignThenVerifyRoundTrip) {
  const std::string patch = make("p.rtp", nullptr);
  const Bytes unsignedBytes = readBytes(patch);
  rtp::signPatchFile(patch, testSigningKey());
  const Bytes signedBytes = readBytes(patch);
  const std::size_t block = headerSizeOf(signedBytes) - 80;
  ASSERT_EQ(signedBytes.size(), unsignedBytes.size());
  EXPECT_TRUE(masked(signedBytes, block, 80) == unsignedBytes)
      << "only the signature block changes";
  EXPECT_FALSE(exists(patch + ".sign-part"));
  EXPECT_TRUE(rtp::verifyPatch(*fs, patch, product, testPublicKey()).ok());

  // Signed once only; a damaged or missing patch is not signed at all.
  EXPECT_THROW(rtp::signPatchFile(patch, otherKey()), rtp::KeyError);
  EXPECT_EQ(readBytes(patch), signedBytes);
  Bytes damaged = unsignedBytes;
  damaged.back() ^= 1;
  writeFile(work.sub("damaged.rtp"), damaged);
  try {
    rtp::signPatchFile(work.sub("damaged.rtp"), testSigningKey());
    ADD_FAILURE() << "a damaged patch was signed";
  } catch (const rtp::Error& e) {
    EXPECT_EQ(e.result(), rtp::Result::PatchCorrupt);
  }
  EXPECT_EQ(readBytes(work.sub("damaged.rtp")), damaged);
  EXPECT_FALSE(exists(work.sub("damaged.rtp.sign-part")));
  EXPECT_THROW(rtp::signPatchFile(work.sub("none.rtp"), testSigningKey()), rtp::Error);
}

TEST_F(Signing, MakeIsDeterministicButForTheSignature) {
  const Bytes a = readBytes(make("a.rtp", &testSigningKey()));
  const Bytes b = readBytes(make("b.rtp", &testSigningKey()));
  const Bytes none = readBytes(make("none.rtp", nullptr));
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a.size(), none.size());
  const std::size_t block = headerSizeOf(a) - 80, rs = block + 16;
  EXPECT_TRUE(masked(a, rs, 64) == masked(b, rs, 64))
      << "the same trees and key, apart from r and s";
  EXPECT_TRUE(masked(a, block, 80) == none)
      << "signed and unsigned, apart from the signature block";
  EXPECT_NE(Bytes(a.begin() + rs, a.begin() + rs + 64), Bytes(b.begin() + rs, b.begin() + rs + 64))
      << "ECDSA with a random nonce signs differently each time";
  for (const char* name : {"a.rtp", "b.rtp"})
    EXPECT_TRUE(rtp::verifyPatch(*fs, work.sub(name), product, testPublicKey()).ok()) << name;
}

TEST(Keys, GeneratedPairsEncryptedOrNot) {
  TempDir d;
  rtp::generateKeyPair(d.sub("enc.pem"), d.sub("enc.pub.pem"), "correct horse");
  rtp::generateKeyPair(d.sub("plain.pem"), d.sub("plain.pub.pem"), "");
  struct stat st;
  ASSERT_EQ(::stat(d.sub("enc.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(text(d.sub("enc.pem")).find("BEGIN ENCRYPTED PRIVATE KEY"), std::string::npos);
  EXPECT_NE(text(d.sub("plain.pem")).find("BEGIN PRIVATE KEY"), std::string::npos);

  const rtp::SigningKey enc = rtp::SigningKey::load(d.sub("enc.pem"), "correct horse");
  EXPECT_EQ(enc.publicKey(), rtp::readPublicKey(d.sub("enc.pub.pem")));
  EXPECT_NE(enc.publicKey(), rtp::SigningKey::load(d.sub("plain.pem")).publicKey());
  EXPECT_THROW(rtp::SigningKey::load(d.sub("enc.pem")), rtp::KeyError);
  EXPECT_THROW(rtp::SigningKey::load(d.sub("enc.pem"), "wrong"), rtp::KeyError);
  EXPECT_THROW(rtp::SigningKey::load(d.sub("missing.pem")), rtp::KeyError);

  // Never over an existing key.
  const std::string before = text(d.sub("enc.pem"));
  EXPECT_THROW(rtp::generateKeyPair(d.sub("enc.pem"), d.sub("new.pub.pem"), ""), rtp::KeyError);
  EXPECT_THROW(rtp::generateKeyPair(d.sub("new.pem"), d.sub("enc.pub.pem"), ""), rtp::KeyError);
  EXPECT_EQ(text(d.sub("enc.pem")), before);
  EXPECT_FALSE(exists(d.sub("new.pem")));
}

TEST(Keys, OnlyP256PublicKeysAreRead) {
  TempDir d;
  // The repository's test key, as OpenSSL reads it and as the build embeds it.
  const rtp::crypto::PublicKey pem =
      rtp::readPublicKey(std::string(RTP_KEYS_DIR) + "/test-release-key.pub.pem");
  EXPECT_TRUE(std::equal(pem.begin(), pem.end(), std::begin(kTestReleaseKey)));
  EXPECT_EQ(pem, testPublicKey());

  writeFile(d.sub("p384.pem"),
            "-----BEGIN PUBLIC KEY-----\n"
            "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEUTq3bgmb49C45Nx+eNawplesJOzO/0Ws\n"
            "tP6xvGOuzwA3Q3/+E3tzvyUK5DVc44BKq8zKF6Iqst7qTGWaT2abwDILfpSHjhUq\n"
            "44/SsheTkXzKXg7WmMD9Puqufv7VNap+\n"
            "-----END PUBLIC KEY-----\n");
  EXPECT_THROW(rtp::readPublicKey(d.sub("p384.pem")), rtp::KeyError);
  writeFile(d.sub("junk.pem"),
            "-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n");
  EXPECT_THROW(rtp::readPublicKey(d.sub("junk.pem")), rtp::KeyError);
  // A private key file is not a public key file.
  EXPECT_THROW(rtp::readPublicKey(std::string(RTP_KEYS_DIR) + "/test-release-key.pem"),
               rtp::KeyError);
}
