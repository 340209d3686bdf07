// Signing on the make side, and what the engine does with patches that are
// unsigned, signed by another key, or altered after signing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <limits>

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

// The patch's sections as its table lists them.
struct SectionEntry {
  std::uint32_t type;
  std::uint64_t offset, length;
};
std::vector<SectionEntry> sectionsOf(const Bytes& p) {
  const std::size_t signedSize =
      rtp::format::signedSize(p.data(), p.size(), rtp::Result::PatchCorrupt);
  std::vector<SectionEntry> out;
  for (const rtp::format::Section& s : rtp::format::readHeader(p.data(), signedSize).sections)
    out.push_back({s.type, s.range.offset, s.range.length});
  return out;
}
const char* const kSectionNames[] = {"operations", "literals", "commands", "positions",
                                     "differences"};

// Serves the patch file as it is for its first `after` reads, then with the
// byte at `at` changed: the file rewritten in place once it was checked, or
// changed on a network share's server.
class RewrittenPatch : public FaultyFs {
 public:
  RewrittenPatch(rtp::FileSystem& real, std::string patch, std::uint64_t at, long after)
      : FaultyFs(real), patch_(std::move(patch)), at_(at), after_(after) {}
  long reads = 0;

  std::unique_ptr<rtp::File> reading(std::unique_ptr<rtp::File> f,
                                     const std::string& path) override {
    if (path != patch_) return f;
    return std::unique_ptr<rtp::File>(new Rewritten(std::move(f), *this));
  }

 private:
  class Rewritten : public rtp::File {
   public:
    Rewritten(std::unique_ptr<rtp::File> f, RewrittenPatch& fs) : f_(std::move(f)), fs_(fs) {}
    std::size_t read(void* buf, std::size_t n) override {
      const std::size_t got = f_->read(buf, n);
      if (fs_.reads++ >= fs_.after_ && fs_.at_ >= pos_ && fs_.at_ - pos_ < got)
        static_cast<unsigned char*>(buf)[fs_.at_ - pos_] ^= 0x5a;
      pos_ += got;
      return got;
    }
    void write(const void* buf, std::size_t n) override { f_->write(buf, n); }
    void seek(std::uint64_t pos) override {
      f_->seek(pos);
      pos_ = pos;
    }
    std::uint64_t size() override { return f_->size(); }
    void sync() override { f_->sync(); }
    void setMode(std::uint32_t mode) override { f_->setMode(mode); }
    void setAttributes(std::uint32_t attributes) override { f_->setAttributes(attributes); }

   private:
    std::unique_ptr<rtp::File> f_;
    RewrittenPatch& fs_;
    std::uint64_t pos_ = 0;
  };
  std::string patch_;
  std::uint64_t at_;
  long after_;
};

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

// Whenever a section changes after the signature check, its bytes are
// either never used (refused, nothing changed) or were read before the
// change (and the patch applies as signed); the bytes hashed are the bytes
// decoded. A product already at its new content is no exception.
TEST_F(Signing, PatchRewrittenWhileInUseAppliesOnlyWhatWasSigned) {
  const std::string patch = make("p.rtp", &testSigningKey());
  const Snapshot oldTree = snapshot(product);
  RewrittenPatch clean(*fs, patch, 0, std::numeric_limits<long>::max());
  ASSERT_TRUE(rtp::applyPatch(clean, patch, product, trustTestKey()).ok());
  const Snapshot newTree = snapshot(product);
  for (const SectionEntry& s : sectionsOf(readBytes(patch))) {
    SCOPED_TRACE(kSectionNames[s.type - 1]);
    ASSERT_GT(s.length, 0u);
    const std::uint64_t at = s.offset + s.length / 2;
    for (long after = 1; after <= clean.reads; ++after) {
      SCOPED_TRACE("changed after read " + std::to_string(after));
      stdfs::remove_all(product);
      stdfs::create_directories(product);
      materialise(product, oldTree);
      RewrittenPatch seam(*fs, patch, at, after);
      const rtp::Outcome o = rtp::applyPatch(seam, patch, product, trustTestKey());
      if (after > 1 && o.ok()) {
        EXPECT_EQ(treeDiff(snapshot(product), newTree), "");
        continue;
      }
      EXPECT_EQ(o.result, rtp::Result::NotSigned) << o.message;
      EXPECT_EQ(treeDiff(snapshot(product), oldTree), "");
    }
    stdfs::remove_all(product);
    stdfs::create_directories(product);
    materialise(product, newTree);
    RewrittenPatch verifying(*fs, patch, at, 1), applying(*fs, patch, at, 1);
    EXPECT_EQ(rtp::verifyPatch(verifying, patch, product, testPublicKey()).result,
              rtp::Result::NotSigned);
    EXPECT_EQ(rtp::applyPatch(applying, patch, product, trustTestKey()).result,
              rtp::Result::NotSigned);
    EXPECT_EQ(treeDiff(snapshot(product), newTree), "");
  }
}

// A section cut short but signed as it is: the maker's fault, found while
// the new files (and backups) are staged, which then go.
TEST_F(Signing, ASignedSectionThatFailsToDecodeChangesNothing) {
  const Bytes good = readBytes(make("p.rtp", &testSigningKey()));
  for (const SectionEntry& s : sectionsOf(good)) {
    const auto from = good.begin() + static_cast<long>(s.offset);
    writeFile(work.sub("cut.rtp"),
              withSection(good, s.type, Bytes(from, from + static_cast<long>(s.length) - 3)));
    expectRefused(work.sub("cut.rtp"), rtp::Result::PatchCorrupt, kSectionNames[s.type - 1]);
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
