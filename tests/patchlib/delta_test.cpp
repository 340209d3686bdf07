// Delta encoding and decoding on generated and real binaries, patch sizes,
// and deterministic output.
#include <gtest/gtest.h>

#include <filesystem>

#include "rtp/maker.h"
#include "rtp/stream.h"
#include "support.h"

using namespace rtptest;

namespace {

class VectorSink : public rtp::ByteSink {
 public:
  Bytes out;
  void put(const unsigned char* d, std::size_t n) override { out.insert(out.end(), d, d + n); }
};

rtp::PatchOp deltaOp(const Bytes& oldData, const Bytes& newData, const Bytes& blob) {
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "f";
  op.oldSize = oldData.size();
  op.newSize = newData.size();
  op.dataLength = blob.size();
  return op;
}

Bytes applyDelta(const Bytes& oldData, const Bytes& newData, const Bytes& blob) {
  rtp::MemoryFile patch(blob.data(), blob.size());
  rtp::MemoryFile old(oldData.data(), oldData.size());
  VectorSink sink;
  rtp::decodeStream(patch, 0, deltaOp(oldData, newData, blob), &old, sink);
  return sink.out;
}

void expectRoundTrip(const Bytes& oldData, const Bytes& newData) {
  Bytes blob = rtp::encodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size());
  EXPECT_EQ(applyDelta(oldData, newData, blob), newData);
  // The structure check alone (no old file) must accept it too.
  rtp::MemoryFile patch(blob.data(), blob.size());
  VectorSink sink;
  rtp::decodeStream(patch, 0, deltaOp(oldData, newData, blob), nullptr, sink);
  EXPECT_EQ(sink.out.size(), newData.size());
}

// Overwrites fraction of data in scattered blocks, as a rebuild with a few
// changed functions and shifted addresses would.
Bytes scatterChanges(Bytes data, double fraction, std::uint64_t seed) {
  const std::size_t block = 512;
  std::size_t blocks = static_cast<std::size_t>(data.size() * fraction / block);
  Bytes noise = randomBytes(blocks * block + 16, seed);
  for (std::size_t i = 0; i < blocks; ++i) {
    std::size_t at = (i * 7919 * block + seed) % (data.size() - block);
    std::copy(noise.begin() + static_cast<long>(i * block),
              noise.begin() + static_cast<long>((i + 1) * block),
              data.begin() + static_cast<long>(at));
  }
  return data;
}

}  // namespace

TEST(Delta, RoundTripsEdgeShapes) {
  Bytes some = executableLike(20000, 1);
  expectRoundTrip({}, {});
  expectRoundTrip({}, some);
  expectRoundTrip(some, {});
  expectRoundTrip(some, some);
  expectRoundTrip(Bytes(100000, 0), Bytes(150000, 0));          // long runs
  expectRoundTrip(randomBytes(5000, 2), randomBytes(7000, 3));  // nothing in common
  Bytes shifted(some.begin() + 1000, some.end());
  shifted.insert(shifted.end(), some.begin(), some.begin() + 1000);
  expectRoundTrip(some, shifted);
  Bytes inserted = some;
  Bytes ins = randomBytes(3000, 4);
  inserted.insert(inserted.begin() + 7000, ins.begin(), ins.end());
  expectRoundTrip(some, inserted);
  expectRoundTrip(Bytes{1}, Bytes{2});
}

TEST(Delta, OnePercentOfFiveMegabytesGivesSmallPatch) {
  Bytes oldData = executableLike(5 << 20, 11);
  Bytes newData = scatterChanges(oldData, 0.01, 12);
  Bytes blob = rtp::encodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size());
  EXPECT_LT(blob.size(), newData.size() / 20) << "delta of " << blob.size() << " bytes";
  EXPECT_EQ(applyDelta(oldData, newData, blob), newData);

  // And as a whole patch file made from trees.
  TempDir dir;
  writeFile(dir.sub("old/velmora.exe"), oldData);
  writeFile(dir.sub("new/velmora.exe"), newData);
  rtp::MakeStats st =
      rtp::makePatch(dir.sub("old"), dir.sub("new"), dir.sub("p.rtp"), &testSigningKey());
  EXPECT_LT(st.patchSize, newData.size() / 20);
  auto fs = rtp::makeNativeFileSystem();
  rtp::Outcome o = rtp::applyPatch(*fs, dir.sub("p.rtp"), dir.sub("old"), trustTestKey());
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(readBytes(dir.sub("old/velmora.exe")), newData);
}

TEST(Delta, RealBinariesOfDifferentBuilds) {
  // Same programs built for two targets, or two builds of one library.
  const std::pair<const char*, const char*> pairs[] = {
      {"/usr/bin/i686-w64-mingw32-gcc-12-posix", "/usr/bin/x86_64-w64-mingw32-gcc-12-posix"},
      {"/usr/i686-w64-mingw32/lib/libz.a", "/usr/x86_64-w64-mingw32/lib/libz.a"},
      {"/usr/lib/x86_64-linux-gnu/libdivsufsort.so.3",
       "/usr/lib/x86_64-linux-gnu/libdivsufsort64.so.3"},
  };
  int tried = 0;
  for (const auto& [a, b] : pairs) {
    if (!exists(a) || !exists(b)) continue;
    SCOPED_TRACE(std::string(a) + " -> " + b);
    Bytes oldData = readBytes(a), newData = readBytes(b);
    Bytes blob = rtp::encodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size());
    EXPECT_EQ(applyDelta(oldData, newData, blob), newData);
    Bytes full = rtp::encodeFull(newData.data(), newData.size());
    EXPECT_LT(blob.size(), full.size());
    ++tried;
  }
  if (tried == 0) GTEST_SKIP() << "no pairs of related binaries on this machine";
}

TEST(Delta, MakeIsDeterministic) {
  TempDir a, b;
  for (const TempDir* d : {&a, &b}) {
    writeFile(d->sub("old/bin/app.exe"), executableLike(300000, 5));
    writeFile(d->sub("new/bin/app.exe"), scatterChanges(executableLike(300000, 5), 0.02, 6));
    writeFile(d->sub("old/readme.txt"), "seven");
    writeFile(d->sub("new/readme.txt"), "eight");
    writeFile(d->sub("new/tax/2027.tbl"), randomBytes(5000, 7));
    writeFile(d->sub("old/obsolete.dll"), randomBytes(3000, 8));
  }
  rtp::makePatch(a.sub("old"), a.sub("new"), a.sub("1.rtp"));
  rtp::makePatch(a.sub("old"), a.sub("new"), a.sub("2.rtp"));
  rtp::makePatch(b.sub("old"), b.sub("new"), b.sub("3.rtp"));
  Bytes first = readBytes(a.sub("1.rtp"));
  EXPECT_EQ(first, readBytes(a.sub("2.rtp")));
  EXPECT_EQ(first, readBytes(b.sub("3.rtp"))) << "output depends on where the trees are";
}

TEST(Delta, MakeRefusesTreesWindowsCannotHold) {
  TempDir d;
  writeFile(d.sub("old/a.txt"), "1");
  writeFile(d.sub("new/A.txt"), "1");
  EXPECT_THROW(rtp::makePatch(d.sub("old"), d.sub("new"), d.sub("p.rtp")), rtp::MakeError);
  TempDir e;
  writeFile(e.sub("old/x"), "1");
  writeFile(e.sub("new/aux.txt"), "1");
  EXPECT_THROW(rtp::makePatch(e.sub("old"), e.sub("new"), e.sub("p.rtp")), rtp::MakeError);
  EXPECT_FALSE(exists(e.sub("p.rtp")));
  EXPECT_THROW(rtp::makePatch(e.sub("missing"), e.sub("new"), e.sub("p.rtp")), rtp::MakeError);
}
