// Delta encoding and decoding on generated and real binaries, the address
// predictor, patch sizes, and deterministic output.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>

#include "big_buffer.h"
#include "both.h"
#include "rtp/bytes.h"
#include "rtp/delta.h"
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

rtp::PatchOp modifyOp(const Bytes& oldData, const Bytes& newData) {
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "f";
  op.oldSize = oldData.size();
  op.oldHash = rtp::hashBytes(oldData.data(), oldData.size());
  op.newSize = newData.size();
  op.newHash = rtp::hashBytes(newData.data(), newData.size());
  return op;
}

// Packs the streams into a patch, which must pass the reader's checks, and
// decodes it against the old bytes.
Bytes applyStreams(const Bytes& oldData, const Bytes& newData, const rtp::PatchStreams& streams) {
  Bytes patch = signedPatch({modifyOp(oldData, newData)}, streams);
  rtp::MemoryFile file(patch.data(), patch.size());
  rtp::PatchReader reader(file, &testPublicKey());
  reader.load();
  rtp::PatchDecoder decoder(file, reader.streams(), reader.tampered());
  rtp::MemoryFile old(oldData.data(), oldData.size());
  VectorSink sink;
  decoder.decode(reader.ops()[0], &old, &sink);
  decoder.finish();
  return sink.out;
}

rtp::PatchStreams delta(const Bytes& oldData, const Bytes& newData) {
  return rtp::encodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size());
}

void expectRoundTrip(const Bytes& oldData, const Bytes& newData) {
  EXPECT_EQ(applyStreams(oldData, newData, delta(oldData, newData)), newData);
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

// Machine code as a linker lays it out: functions of filler bytes calling
// each other through call rel32. grownBy bytes go into function `grown`,
// and every call is relinked for the new addresses.
Bytes linkedCode(std::size_t functions, std::size_t grown, std::size_t grownBy,
                 std::size_t* callsMoved) {
  Bytes filler = randomBytes(functions * 700, 42);
  std::vector<std::size_t> sizes, starts;
  for (std::size_t f = 0; f < functions; ++f)
    sizes.push_back(200 + (filler[f] * 3) % 400 + (f == grown ? grownBy : 0));
  std::size_t at = 0;
  for (std::size_t s : sizes) {
    starts.push_back(at);
    at += s;
  }
  Bytes code(at);
  std::size_t moved = 0;
  for (std::size_t f = 0; f < functions; ++f) {
    Bytes body(filler.begin() + static_cast<long>(f * 700),
               filler.begin() + static_cast<long>(f * 700 + sizes[f]));
    // A call every 24 bytes, to a function chosen by the filler.
    for (std::size_t c = 8; c + 5 < sizes[f]; c += 24) {
      const std::size_t target = starts[(body[c + 1] * 7u + f) % functions];
      const std::size_t site = starts[f] + c;
      const std::uint32_t rel = static_cast<std::uint32_t>(target - (site + 5));
      body[c] = 0xE8;
      for (int k = 0; k < 4; ++k) body[c + 1 + k] = static_cast<unsigned char>(rel >> (8 * k));
      moved += (site > starts[grown]) != (target > starts[grown]);
    }
    std::copy(body.begin(), body.end(), code.begin() + static_cast<long>(starts[f]));
  }
  if (callsMoved) *callsMoved = moved;
  return code;
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
  // Long exact stretches become copies, with adds and literals around them.
  Bytes big = executableLike(300000, 9), edited = big;
  edited[150000] ^= 0x55;
  edited.insert(edited.begin() + 200000, ins.begin(), ins.end());
  expectRoundTrip(big, edited);
}

TEST(Delta, OnePercentOfFiveMegabytesGivesSmallPatch) {
  Bytes oldData = executableLike(5 << 20, 11);
  Bytes newData = scatterChanges(oldData, 0.01, 12);
  rtp::PatchStreams s = delta(oldData, newData);
  EXPECT_LT(rtp::compressedSize(s), newData.size() / 20);
  EXPECT_EQ(applyStreams(oldData, newData, s), newData);

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

TEST(Delta, AFewChangedBytesCostAFewBytes) {
  // No floor in proportion to the file, and streams of a few bytes each
  // share one section rather than pay for four.
  struct Case {
    const char* what;
    Bytes oldData, newData;
    std::uint64_t most;  // bytes, signed
  };
  std::vector<Case> cases;
  {
    Bytes o = randomBytes(8 << 20, 21), n = o;
    for (std::size_t at : {std::size_t(1000), std::size_t(3 << 20), std::size_t(8 << 20) - 100})
      for (std::size_t i = 0; i < 20; ++i) n[at + i * 3] ^= 0x5a;
    n.insert(n.begin() + (5 << 20), {'n', 'e', 'w'});
    cases.push_back({"8 MiB, 60 bytes changed and 3 inserted", std::move(o), std::move(n), 340});
  }
  {
    Bytes o = randomBytes(200000, 22), n = o;
    for (std::size_t at : {1000, 90000, 150000}) n[at] ^= 0x5a;
    // 289 with the records apart, 364 with a section for each stream
    cases.push_back({"3 bytes changed", std::move(o), std::move(n), 250});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeFile(dir.sub("old/app.bin"), c.oldData);
    writeFile(dir.sub("new/app.bin"), c.newData);
    const rtp::MakeStats st =
        rtp::makePatch(dir.sub("old"), dir.sub("new"), dir.sub("p.rtp"), &testSigningKey(), nullptr,
                       {"Velmora", "tiny", "7", "8"});
    const Parts parts = partsOf(readBytes(dir.sub("p.rtp")));
    ASSERT_EQ(parts.header.sections.size(), 1u);
    EXPECT_EQ(parts.header.sections[0].type, rtp::format::kSectionSmallPatch);
    EXPECT_LE(st.patchSize, c.most);
    auto fs = rtp::makeNativeFileSystem();
    ASSERT_TRUE(rtp::applyPatch(*fs, dir.sub("p.rtp"), dir.sub("old"), trustTestKey()).ok());
    EXPECT_EQ(readBytes(dir.sub("old/app.bin")), c.newData);
  }
}

rtp::InPlace encodeInPlace(const Bytes& o, const Bytes& n, rtp::Hash128& oldHash,
                           rtp::Hash128& newHash, rtp::PatchStreams& out) {
  std::istringstream oldIn(std::string(o.begin(), o.end())), newIn(std::string(n.begin(), n.end()));
  return rtp::encodeInPlace(oldIn, newIn, o.size(), oldHash, newHash, out);
}

// A few bytes changed in a large input, as a rebuild changes them: the
// maker sorts only what the long shared stretches leave, or (changed in
// place) compares the files a slice at a time. It must make what sorting the
// whole old file makes, or where equal bytes match in many places, no more.
TEST(Delta, NearlyUnchangedLargeInputsMakeWhatAWholeSortMakes) {
  const std::size_t size = (std::size_t(16) << 20) + 4096;  // entries of four bytes
  struct Case {
    const char* what;
    Bytes oldData, newData;
    bool same;  // else no larger
  };
  std::vector<Case> cases;
  {
    // Stamps changed at each end, a function grown by a few bytes, one
    // shrunk, and a block copied from elsewhere.
    Bytes o = executableLike(size, 41), n = o;
    for (std::size_t i = 0; i < 20; ++i) n[640 + i] = static_cast<unsigned char>(i);
    for (std::size_t i = 0; i < 40; ++i) n[n.size() - 2500 + i] ^= 0xa5;
    n.insert(n.begin() + (2 << 20), {0x90, 0x90, 0xc3});
    n.erase(n.begin() + (9 << 20), n.begin() + (9 << 20) + 7);
    std::copy(o.begin() + (1 << 20), o.begin() + (1 << 20) + 5000, n.begin() + (12 << 20));
    cases.push_back({"code", std::move(o), std::move(n), true});
  }
  {
    // Mostly zeros: long equal runs that match in many places.
    Bytes o(size, 0), n;
    Bytes noise = randomBytes(1 << 20, 43);
    std::copy(noise.begin(), noise.end(), o.begin() + (5 << 20));
    n = o;
    n[100] = 1;
    n[(5 << 20) + 77777] ^= 1;
    n.insert(n.begin() + (8 << 20) + 10, 300, 0);
    cases.push_back({"zeros", std::move(o), std::move(n), false});
  }
  {
    // A rebuild that moved nothing: stamps and a checksum changed in place.
    Bytes o = executableLike(size, 44), n = o;
    for (std::size_t i = 0; i < 20; ++i) n[640 + i] = static_cast<unsigned char>(i);
    for (std::size_t at : {std::size_t(3 << 20), n.size() - 9}) n[at] ^= 0x11;
    cases.push_back({"in place", std::move(o), std::move(n), true});
  }
  auto bytesOf = [](const rtp::PatchStreams& s) {
    Bytes all;
    for (const Bytes* b : {&s.literals, &s.commands, &s.positions, &s.differences}) {
      rtp::bytes::putLe(all, b->size(), 8);
      all.insert(all.end(), b->begin(), b->end());
    }
    return all;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(
        rtp::DeltaIndex(c.oldData.data(), c.oldData.size(), c.newData.data(), c.newData.size())
            .wantsWholeSort());
    const rtp::PatchStreams streams = delta(c.oldData, c.newData);
    const Bytes near = bytesOf(streams);
    const Bytes whole = bytesOf(rtp::encodeDelta(
        rtp::DeltaIndex(c.oldData.data(), c.oldData.size()), c.newData.data(), c.newData.size()));
    if (c.same) {
      EXPECT_EQ(near, whole);
    } else {
      EXPECT_LE(near.size(), whole.size());
    }
    EXPECT_LT(near.size(), 512u);
    EXPECT_EQ(applyStreams(c.oldData, c.newData, streams), c.newData);
    if (c.oldData.size() == c.newData.size()) {
      // Compared a slice at a time, without either file whole in memory.
      rtp::PatchStreams inPlace;
      rtp::Hash128 oldHash, newHash;
      EXPECT_EQ(encodeInPlace(c.oldData, c.newData, oldHash, newHash, inPlace),
                rtp::InPlace::Delta);
      EXPECT_EQ(bytesOf(inPlace), whole);
      EXPECT_EQ(newHash, rtp::hashBytes(c.newData.data(), c.newData.size()));
      EXPECT_EQ(oldHash, rtp::hashBytes(c.oldData.data(), c.oldData.size()));
    }
  }
  // More than one byte in 1,024 changed is not a change in place; none is no change.
  rtp::PatchStreams unused;
  rtp::Hash128 h1, h2;
  Bytes noisy = cases[0].oldData;
  for (std::size_t at = 0; at < noisy.size(); at += 1000) noisy[at] ^= 1;
  EXPECT_EQ(encodeInPlace(cases[0].oldData, noisy, h1, h2, unused), rtp::InPlace::Other);
  EXPECT_EQ(encodeInPlace(noisy, noisy, h1, h2, unused), rtp::InPlace::Same);
}

TEST(Delta, PredictorFollowsRelinkedCalls) {
  std::size_t moved = 0;
  const Bytes oldCode = linkedCode(900, 300, 37, nullptr);
  const Bytes newCode = linkedCode(900, 300, 37 + 64, &moved);
  ASSERT_GT(moved, 2000u);
  rtp::PatchStreams s = delta(oldCode, newCode);
  ASSERT_FALSE(s.commands.empty());
  EXPECT_TRUE(s.commands[0] & rtp::delta::kPredictRelative) << "predictor not chosen";
  // Without the predictor every moved call leaves differences.
  EXPECT_LT(s.differences.size(), moved / 10);
  // Spans several decoding chunks, so chunk edges cut through calls.
  ASSERT_GT(newCode.size(), 4u * 64 * 1024);
  EXPECT_EQ(applyStreams(oldCode, newCode, s), newCode);
}

// The predictor tests many positions at a time and a short range one at a
// time: predicting byte by byte must give what one call over the range gives.
TEST(Delta, PredictorFindsEveryFieldWhateverTheRange) {
  // Mostly bytes that start or end a context pair, so fields crowd and overlap.
  const unsigned char alphabet[] = {0xE8, 0xE9, 0x0F, 0x84, 0x8B, 0x89, 0x05,
                                    0x15, 0x3D, 0x48, 0x00, 0xFF, 0x10, 0x90};
  Bytes old = randomBytes(1 << 16, 77);
  // Every fourth field's two high bytes are 0 or FF: a target in the file.
  for (std::size_t i = 0; i < old.size(); ++i)
    old[i] = i % 4 >= 2 ? (old[i] & 1 ? 0xFF : 0) : alphabet[old[i] % sizeof alphabet];
  // Aligned words that point into the file, and words that only look so
  // (below the lowest address, or past the end).
  for (std::size_t i = 0; i + 8 <= old.size(); i += 40) {
    const std::uint64_t v = i % 3 == 0 ? 0x1000 + i : i % 3 == 1 ? old.size() + i : 0xFFF;
    std::memcpy(&old[i], &v, 8);
  }
  rtp::ShiftMap map;
  map.build({{rtp::delta::Add, 20000, -64},
             {rtp::delta::Literal, 100, 0},
             {rtp::delta::Add, 40000, 300}});
  // Long ranges, and every short one from 32 starts: each way through the
  // loops meets fields at each place in its group.
  std::vector<std::pair<std::size_t, std::size_t>> ranges = {
      {0, old.size()}, {5, 4099}, {old.size() - 707, old.size()}};
  for (std::size_t from = 1000; from < 1032; ++from)
    for (std::size_t to = from + 1; to < from + 80; ++to) ranges.push_back({from, to});
  for (unsigned flags : {rtp::delta::kPredictRelative, rtp::delta::kPredictAll}) {
    for (const auto& [from, to] : ranges) {
      Bytes whole(to - from), single(to - from);
      rtp::predictOld(old.data(), 0, old.size(), old.size(), from, to, 17, map, flags,
                      whole.data());
      for (std::size_t x = from; x < to; ++x)
        rtp::predictOld(old.data(), 0, old.size(), old.size(), x, x + 1, 17, map, flags,
                        &single[x - from]);
      ASSERT_EQ(whole, single) << "flags " << flags << ", from " << from << " to " << to;
      if (to - from > 100) {
        EXPECT_NE(whole, Bytes(old.begin() + from, old.begin() + to)) << "nothing predicted";
      }
    }
  }
}

TEST(Delta, ShiftMapTakesTheLongestCommandAndFillsGaps) {
  using rtp::Command;
  namespace d = rtp::delta;
  // New offsets follow from the order: [0,10) [10,40) [40,45) [45,65).
  const std::vector<Command> commands = {
      {d::Add, 10, -100},  // old [100,110)
      {d::Copy, 30, -80},  // old [90,120): longer, wins over the first
      {d::Literal, 5, 0},
      {d::Add, 20, -155},  // old [200,220)
  };
  rtp::ShiftMap map;
  map.build(commands);
  const std::pair<std::uint64_t, std::int64_t> want[] = {{0, 0},     {89, 0},     {90, -80},
                                                         {105, -80}, {119, -80},  {150, -80},
                                                         {199, -80}, {200, -155}, {5000, -155}};
  for (const auto& [at, shift] : want) EXPECT_EQ(map.at(at), shift) << "at " << at;
  // Equal lengths: the earlier command paints first.
  map.build({{d::Add, 10, 0}, {d::Add, 10, 5}});
  EXPECT_EQ(map.at(7), 0);
  EXPECT_EQ(map.at(12), 5);
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
    rtp::PatchStreams s = delta(oldData, newData);
    EXPECT_EQ(applyStreams(oldData, newData, s), newData);
    rtp::PatchStreams full;
    full.literals = newData;
    EXPECT_LT(rtp::compressedSize(s), rtp::compressedSize(full));
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
  // Named alike: the name is part of the patch.
  const rtp::Binding binding{"Velmora", "p", "7", "8"};
  rtp::makePatch(a.sub("old"), a.sub("new"), a.sub("1.rtp"), nullptr, nullptr, binding);
  rtp::makePatch(a.sub("old"), a.sub("new"), a.sub("2.rtp"), nullptr, nullptr, binding);
  rtp::makePatch(b.sub("old"), b.sub("new"), b.sub("3.rtp"), nullptr, nullptr, binding);
  Bytes first = readBytes(a.sub("1.rtp"));
  EXPECT_EQ(first, readBytes(a.sub("2.rtp")));
  EXPECT_EQ(first, readBytes(b.sub("3.rtp"))) << "output depends on where the trees are";
}

// Lines of text in a script of three-byte characters, the common ones far
// more common, some of them rewritten in the new version and the rest
// changed in one place.
std::pair<Bytes, Bytes> retranslated(std::uint32_t seed, unsigned alphabet, unsigned rewritten) {
  std::mt19937 random(seed);
  auto line = [&](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
      const double u = (random() % 1000000 + 1) / 1e6;
      const unsigned c =
          0x4e00 + std::min(static_cast<unsigned>(1 / u) - 1, alphabet - 1) * 1237 % 2000;
      s += static_cast<char>(0xe0 | c >> 12);
      s += static_cast<char>(0x80 | (c >> 6 & 0x3f));
      s += static_cast<char>(0x80 | (c & 0x3f));
    }
    return s;
  };
  std::string before, after;
  for (int i = 0; i < 3000; ++i) {
    std::string l = line(5 + random() % 16), m = l;
    if (random() % 100 < rewritten) {
      m = line(5 + random() % 16);
    } else {
      const std::size_t at = random() % (l.size() / 3) * 3;
      m = l.substr(0, at) + line(1 + random() % 3) +
          l.substr(std::min(l.size(), at + random() % 3 * 3));
    }
    before += l + "\n";
    after += m + "\n";
  }
  return {Bytes(before.begin(), before.end()), Bytes(after.begin(), after.end())};
}

// In such text short matches turn up everywhere: following each costs more
// than the bytes it saves (28,881 bytes when every match of 9 bytes broke
// the alignment).
TEST(Delta, TextEditedInManyPlacesKeepsItsAlignments) {
  const auto [oldData, newData] = retranslated(1, 300, 50);
  const rtp::PatchStreams s =
      rtp::encodeDelta(oldData.data(), oldData.size(), newData.data(), newData.size());
  EXPECT_LT(rtp::compressedSize(s), 28000u);
}

// Fields of 3 to 13 bits packed low bit first, as compiler bitcode packs
// them; a field widened by `widenedBy` bits at each of `at` moves the rest
// off the byte alignment it had. Old ends with a field ending in its last
// byte, so that new's tail reads old up to it.
Bytes bitPacked(std::size_t fields, std::initializer_list<std::size_t> at, unsigned widenedBy) {
  const Bytes values = randomBytes(2 * fields, 31);
  std::vector<bool> bits;
  for (std::size_t f = 0; f < fields; ++f) {
    unsigned width = 3 + values[2 * f] % 11;
    for (std::size_t a : at) width += (a == f) * widenedBy;
    for (unsigned b = 0; b < width; ++b) bits.push_back((values[2 * f + 1] * 0x9d >> (b % 8)) & 1);
  }
  Bytes out((bits.size() + 7) / 8);
  for (std::size_t i = 0; i < bits.size(); ++i)
    out[i / 8] |= static_cast<unsigned char>(bits[i] << (i % 8));
  return out;
}

// What moved by bits is read from the bits it moved to, up to the old
// file's last byte, which a shifted add does not read past.
TEST(Delta, BitPackedFieldsMovedByBitsAreFound) {
  const Bytes oldData = bitPacked(40000, {}, 0);
  for (unsigned by : {1u, 3u, 7u, 9u}) {
    SCOPED_TRACE(by);
    const Bytes newData = bitPacked(40000, {100, 20000, 39990}, by);
    const rtp::PatchStreams s = delta(oldData, newData);
    EXPECT_LT(rtp::compressedSize(s), newData.size() / 50);
    EXPECT_EQ(applyStreams(oldData, newData, s), newData);
  }
}

// An added file is made from the unchanged file of its name it shares most
// with, though others are nearer its size, and never from one the patch
// changes.
TEST(Delta, AddedFileIsMadeFromTheUnchangedSiblingItSharesMostWith) {
  TempDir d;
  const Bytes base = executableLike(60000, 11);
  Bytes sibling = scatterChanges(base, 0.01, 12);
  const Bytes tail = randomBytes(3000, 13);
  sibling.insert(sibling.end(), tail.begin(), tail.end());
  for (const char* side : {"/old", "/new"}) {
    for (int i = 0; i < 4; ++i)
      writeFile(d.sub(side + std::string("/decoy") + char('0' + i) + "/cat.mo"),
                randomBytes(60000 + i, 20 + i));
    writeFile(d.sub(side + std::string("/es/cat.mo")), sibling);
  }
  writeFile(d.sub("old/it/cat.mo"), base);
  writeFile(d.sub("new/it/cat.mo"), scatterChanges(base, 0.001, 14));
  writeFile(d.sub("new/fr/cat.mo"), scatterChanges(base, 0.01, 15));
  rtp::makePatch(d.sub("old"), d.sub("new"), d.sub("p.rtp"));
  const Bytes patch = readBytes(d.sub("p.rtp"));
  rtp::MemoryFile f(patch.data(), patch.size());
  std::vector<rtp::PatchOp> ops;
  ASSERT_TRUE(rtp::readPatch(f, nullptr, &ops).ok());
  std::string reference = "none";
  for (const rtp::PatchOp& op : ops)
    if (op.path == "fr/cat.mo") reference = op.reference;
  EXPECT_EQ(reference, "es/cat.mo");
  EXPECT_LT(patch.size(), 3000u);
}

// A step split over two threads fails as a whole, once both halves are
// done: an exception left on the second thread would end the process. A
// half that splits again finds the helper busy and runs its halves itself.
TEST(Delta, BothHalvesOfAStepRunAndTheirFailureReachesTheCaller) {
  struct Case {
    bool atOnce, aThrows, bThrows, bSplits;
    const char* thrown;  // nullptr: none
  };
  for (const Case& c :
       {Case{true, false, false, false, nullptr}, Case{true, false, true, false, "b"},
        Case{true, true, true, false, "a"}, Case{false, false, true, false, "b"},
        Case{true, false, false, true, nullptr}, Case{true, false, true, true, "b"}}) {
    bool aRan = false, bRan = false, innerRan[2] = {false, false};
    const char* thrown = nullptr;
    try {
      rtp::both(
          c.atOnce,
          [&] {
            aRan = true;
            if (c.aThrows) throw std::runtime_error("a");
          },
          [&] {
            if (c.bSplits)
              rtp::both(
                  true, [&] { innerRan[0] = true; }, [&] { innerRan[1] = true; });
            bRan = true;
            if (c.bThrows) throw std::runtime_error("b");
          });
    } catch (const std::runtime_error& e) {
      thrown = e.what()[0] == 'a' ? "a" : "b";
    }
    EXPECT_TRUE(aRan);
    EXPECT_TRUE(bRan);
    EXPECT_EQ(innerRan[0] && innerRan[1], c.bSplits);
    EXPECT_STREQ(thrown, c.thrown);
  }
}

// Buffers from 64 KiB up share huge pages: blocks held at once must not
// overlap (a page filled to its last byte takes no more), a shrunk one keeps
// its bytes, and once all are freed the pages serve again (a tree's files,
// one after the other, take no new ones).
TEST(Delta, BigBuffersHeldAtOnceKeepTheirBytes) {
  const std::vector<std::size_t> sets[] = {
      {64 << 10, (300 << 10) + 1, 700 << 10, 1000 << 10, 64 << 10, 5000, 3 << 20},
      {(1 << 20) - 16, (1 << 20) - 16, 64 << 10}};
  for (const auto& sizes : sets) {
    std::vector<unsigned char*> firsts;
    for (int round = 0; round < 3; ++round) {
      std::vector<unsigned char*> blocks;
      for (std::size_t i = 0; i < sizes.size(); ++i) {
        blocks.push_back(static_cast<unsigned char*>(rtp::bigAlloc(sizes[i])));
        std::memset(blocks[i], static_cast<int>(i + 1), sizes[i]);
      }
      blocks[1] = static_cast<unsigned char*>(rtp::bigShrink(blocks[1], 1000));
      for (std::size_t i = 0; i < blocks.size(); ++i) {
        const std::size_t kept = i == 1 ? 1000 : sizes[i];
        EXPECT_EQ(std::count(blocks[i], blocks[i] + kept, static_cast<unsigned char>(i + 1)),
                  static_cast<std::ptrdiff_t>(kept))
            << "block " << i << " of " << sizes.size();
      }
      firsts.push_back(blocks[0]);
      for (unsigned char* b : blocks) rtp::bigFree(b);
    }
#ifdef __linux__
    EXPECT_EQ(firsts[1], firsts[2]);
#endif
  }
}

// The old file's reader serves views from held blocks, and a few bytes far
// from them on their own: either way the bytes asked for, across block
// boundaries too, and a file shorter than checked is refused, not padded.
TEST(Delta, OldReaderGivesTheBytesAskedForHeldOrNot) {
  const Bytes data = randomBytes(300000, 21);
  rtp::MemoryFile file(data.data(), data.size());
  rtp::OldReader old(file, data.size());
  const std::pair<std::uint64_t, std::size_t> reads[] = {
      {0, 100},     {250000, 9}, {65530, 20}, {131000, 70000}, {70, 64},
      {200000, 65}, {299995, 5}, {1, 1},      {196600, 12},    {0, 300000}};
  for (const auto& [pos, n] : reads) {
    Bytes got(n);
    old.read(pos, got.data(), n);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + static_cast<long>(pos)))
        << pos << "+" << n;
  }
  const unsigned char* at;
  ASSERT_EQ(old.view(65530, 20, at), 20u);  // a lone read may cross a boundary
  EXPECT_TRUE(std::equal(at, at + 20, data.begin() + 65530));
  for (const auto& [pos, n] :
       {std::pair<std::uint64_t, std::size_t>{299990, 10}, {290000, 10000}}) {
    rtp::MemoryFile shrunk(data.data(), data.size() - 1);
    rtp::OldReader reader(shrunk, data.size());
    Bytes got(n);
    try {
      reader.read(pos, got.data(), n);
      ADD_FAILURE() << "read past a shrunk file's end at " << pos;
    } catch (const rtp::Error& e) {
      EXPECT_EQ(e.result(), rtp::Result::WrongInstallation);
    }
  }
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
