// The reader against damaged and hostile patches.
#include <gtest/gtest.h>

#include <filesystem>

#include "corpus_trees.h"
#include "rtp/maker.h"
#include "rtp/paths.h"
#include "rtp/stream.h"
#include "support.h"

using namespace rtptest;

namespace {

rtp::Result readResult(const Bytes& b) {
  rtp::MemoryFile f(b.data(), b.size());
  return rtp::readPatch(f, &testPublicKey()).result;
}

Bytes samplePatch() { return readBytes(std::string(RTP_CORPUS_DIR) + "/valid-sample.rtp"); }

// A modify operation whose delta stream is the given raw command bytes.
Bytes deltaPatch(const Bytes& raw, std::uint64_t oldSize, std::uint64_t newSize) {
  Bytes blob = rtp::encodeFull(raw.data(), raw.size());
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "app.exe";
  op.oldSize = oldSize;
  op.newSize = newSize;
  op.dataLength = blob.size();
  return signedPatch({op}, blob);
}

// Command triples (add, copy, seek); the payload bytes belong to the last.
Bytes commands(std::initializer_list<std::int64_t> triples, std::size_t payload) {
  Bytes raw;
  std::size_t i = 0;
  for (std::int64_t v : triples) {
    if (i++ % 3 == 2)
      rtp::putVarint(raw, rtp::zigzag(v));
    else
      rtp::putVarint(raw, static_cast<std::uint64_t>(v));
  }
  raw.resize(raw.size() + payload, 7);
  return raw;
}

}  // namespace

TEST(Paths, AcceptsOrdinaryRelativePaths) {
  for (const char* p :
       {"Velmora.exe", "data/rates.tbl", "a/b/c/d.txt", "name with blanks.txt", ".hidden",
        "consent.txt", "com10", "x.conf", "backups/x", "sub/backup/x", "UMLAUT\xc3\xbc.txt",
        "my~file.txt", "a~b.long", "~1", "a~1.b.c", "TOOLONGNA~1"})
    EXPECT_EQ(rtp::checkRelativePath(p), "") << p;
}

TEST(Paths, RejectsEveryWayOut) {
  const char* bad[] = {
      "", "/etc/passwd", "\\\\server\\share\\x", "//server/share/x", "C:/Windows/x.dll", "C:x.dll",
      "c:", "..", "../x", "a/../../x", "a/..", "./x", "a/./b", "a//b", "a/", "dir\\file",
      "file.txt:stream", "file.txt::$DATA", "CON", "con.txt", "Aux.dll", "nul", "NUL.tar.gz", "prn",
      "COM1", "com9.log", "LPT1", "lpt9.x", "sub/CON", "sub/nul.txt/x", "con .txt", "COM\xb9",
      "CONIN$", "trailing.", "trailing ", "dir./x", "dir /x", "a\tb", "what?", "star*", "pipe|x",
      "less<x", "backup/x.dll", "Backup", "rtpatch.journal", "x.dll.rtp-new", "sub/x.RTP-OLD",
      // Names Windows takes for devices or for 8.3 aliases of other names.
      "COM0", "lpt0.txt", "CLOCK$", "clock$.txt", "RTPATC~1.JOU", "BACKUP~1/x", "a/PROGRA~1/b",
      "VELMO~12.EXE"};
  for (const char* p : bad) EXPECT_NE(rtp::checkRelativePath(p), "") << "'" << p << "'";
  EXPECT_NE(rtp::checkRelativePath(std::string("a\0b", 3)), "");
  EXPECT_NE(rtp::checkRelativePath(std::string(2000, 'a')), "");
}

TEST(Paths, HostilePathInPatchIsRefused) {
  for (const char* p :
       {"../evil.dll", "/abs", "C:\\x", "a/CON", "x:y", "a//b", "sub/end.", "backup/v.exe"}) {
    Bytes data;
    Bytes patch = signedPatch({addOp(p, "payload", data)}, data);
    EXPECT_EQ(readResult(patch), rtp::Result::PatchCorrupt) << p;
  }
}

TEST(Paths, NamesEqualUnderTheCodePagesCaseFoldingClash) {
  EXPECT_EQ(rtp::foldCase("\xC9T\xC9.txt"), rtp::foldCase("\xE9t\xE9.TXT"));
  EXPECT_EQ(rtp::foldCase("\x8A\x8C\x8E\x9F"), rtp::foldCase("\x9A\x9C\x9E\xFF"));
  EXPECT_NE(rtp::foldCase("\xD7"), rtp::foldCase("\xF7"));  // multiplication and division signs
  Bytes data;
  Bytes patch = signedPatch({addOp("\xC9.txt", "one", data), addOp("\xE9.txt", "two", data)}, data);
  EXPECT_EQ(readResult(patch), rtp::Result::PatchCorrupt);
  TempDir work;
  for (const char* d : {"old", "new"}) std::filesystem::create_directories(work.sub(d));
  writeFile(work.sub("new/\xC9.txt"), "one");
  writeFile(work.sub("new/\xE9.txt"), "two");
  EXPECT_THROW(rtp::makePatch(work.sub("old"), work.sub("new"), work.sub("p.rtp")), rtp::MakeError);
}

TEST(Reader, AcceptsSample) { EXPECT_EQ(readResult(samplePatch()), rtp::Result::Ok); }

TEST(Reader, RefusesEveryTruncation) {
  Bytes p = samplePatch();
  for (std::size_t n = 0; n < p.size(); ++n)
    ASSERT_NE(readResult(Bytes(p.begin(), p.begin() + static_cast<long>(n))), rtp::Result::Ok) << n;
  Bytes longer = p;
  longer.push_back(0);
  EXPECT_EQ(readResult(longer), rtp::Result::NotSigned) << "not the file that was signed";
}

TEST(Reader, EveryFlippedByteIsRefusedAsNotSigned) {
  // Only the magic and the version are judged before the signature.
  Bytes p = samplePatch();
  for (std::size_t i = 0; i < p.size(); ++i)
    for (unsigned char mask : {0x01, 0x80}) {
      Bytes q = p;
      q[i] ^= mask;
      const rtp::Result want = i < 8    ? rtp::Result::PatchCorrupt
                               : i < 12 ? rtp::Result::UnsupportedVersion
                                        : rtp::Result::NotSigned;
      ASSERT_EQ(readResult(q), want) << "byte " << i << " mask " << int(mask);
    }
}

TEST(Reader, SignedHeaderFieldsAreStillChecked) {
  // The maker's faults, signed: the signature vouches for the author, not
  // for the content.
  struct Edit {
    std::size_t at;
    std::uint64_t value;
    int bytes;
    rtp::Result expect;
  };
  const Edit edits[] = {
      {20, 1, 4, rtp::Result::PatchCorrupt},           // flags
      {24, 0xffffffff, 4, rtp::Result::PatchCorrupt},  // op count
      {24, 1000, 4, rtp::Result::PatchCorrupt},
      {24, 0, 4, rtp::Result::PatchCorrupt},
      {28, 1, 4, rtp::Result::PatchCorrupt},   // reserved
      {32, ~0ull, 8, rtp::Result::NotSigned},  // file size: not the file that was signed
      {48, 1, 8, rtp::Result::PatchCorrupt},   // reserved
      {56, 1, 8, rtp::Result::PatchCorrupt},
      {64 + 4, 1, 4, rtp::Result::PatchCorrupt},            // ops section flags
      {64 + 8, ~0ull, 8, rtp::Result::PatchCorrupt},        // ops offset
      {64 + 16, ~0ull - 10, 8, rtp::Result::PatchCorrupt},  // ops length
      {64 + 16, 1u << 30, 8, rtp::Result::PatchCorrupt},
      {120 + 8, 60, 8, rtp::Result::PatchCorrupt},      // data offset inside the header
      {120 + 16, ~0ull, 8, rtp::Result::PatchCorrupt},  // data length
      {120, 7, 4, rtp::Result::UnsupportedVersion},     // unknown section type
      {120, 1, 4, rtp::Result::PatchCorrupt},           // two ops sections
  };
  for (const Edit& e : edits) {
    Bytes p = samplePatch();
    putLe(p, e.at, e.value, e.bytes);
    resign(p);
    EXPECT_EQ(readResult(p), e.expect) << "field at " << e.at;
  }
  // Fields that locate the signature cannot be signed wrongly.
  for (const auto& [at, value] :
       {std::pair<std::size_t, std::uint64_t>{12, 0xffffffff}, {16, 1}, {16, 9}}) {
    Bytes p = samplePatch();
    putLe(p, at, value, 4);
    EXPECT_EQ(readResult(p), rtp::Result::NotSigned) << "field at " << at;
  }
  Bytes version = samplePatch();
  putLe(version, 8, 1, 4);
  EXPECT_EQ(readResult(version), rtp::Result::UnsupportedVersion);
}

TEST(Reader, RefusesBytesNoHashCovers) {
  const Bytes sample = samplePatch();
  const std::size_t headerSize = 64 + 2 * 56 + 80, opsOffsetAt = 72, dataOffsetAt = 128;
  // One byte between the header and the first section, sections moved up.
  Bytes gap(sample.begin(), sample.begin() + headerSize);
  gap.push_back(0);
  gap.insert(gap.end(), sample.begin() + headerSize, sample.end());
  putLe(gap, 32, gap.size(), 8);
  for (std::size_t at : {opsOffsetAt, dataOffsetAt}) {
    std::uint64_t off = 0;
    for (int i = 0; i < 8; ++i) off |= std::uint64_t(gap[at + i]) << (8 * i);
    putLe(gap, at, off + 1, 8);
  }
  resign(gap);
  EXPECT_EQ(readResult(gap), rtp::Result::PatchCorrupt);
  // One byte after the last section, counted in the file's size.
  Bytes tail = sample;
  tail.push_back(0);
  putLe(tail, 32, tail.size(), 8);
  resign(tail);
  EXPECT_EQ(readResult(tail), rtp::Result::PatchCorrupt);
}

// Many operations reading one data range would make the check inflate that
// range once per operation: a small patch could take hours to refuse.
TEST(Reader, RefusesOperationsSharingData) {
  Bytes data;
  rtp::PatchOp first = addOp("a.txt", std::string(4096, 'a'), data);
  rtp::PatchOp second = addOp("b.txt", std::string(4096, 'b'), data);
  EXPECT_EQ(readResult(signedPatch({first, second}, data)), rtp::Result::Ok);
  std::vector<rtp::PatchOp> shared;
  for (int i = 0; i < 64; ++i) {
    rtp::PatchOp op = first;
    op.path = "f" + std::to_string(i) + ".txt";
    shared.push_back(op);
  }
  EXPECT_EQ(readResult(signedPatch(shared, data)), rtp::Result::PatchCorrupt);
  second.dataOffset = first.dataOffset;  // out of order
  EXPECT_EQ(readResult(signedPatch({first, second}, data)), rtp::Result::PatchCorrupt);
}

TEST(Reader, RefusesInconsistentOperations) {
  auto one = [](rtp::PatchOp op, const Bytes& data) { return readResult(signedPatch({op}, data)); };
  Bytes data;
  rtp::PatchOp add = addOp("x.txt", "content", data);
  EXPECT_EQ(one(add, data), rtp::Result::Ok);

  rtp::PatchOp o = add;
  o.dataLength = data.size() + 1;
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.dataOffset = ~0ull - 2;
  o.dataLength = 4;
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.newSize = ~0ull;
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.newSize = add.newSize + 1;  // stream shorter than the file it claims
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.newSize = add.newSize - 1;  // stream longer
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.mode = 010000;  // more than permission bits
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.mode = 0755;
  EXPECT_EQ(one(o, data), rtp::Result::Ok);
  o = add;
  o.kind = static_cast<rtp::OpKind>(9);
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.encoding = rtp::Encoding::Delta;  // only a modify has a delta
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.kind = rtp::OpKind::Delete;  // a delete carries no data
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);

  Bytes twice;
  rtp::PatchOp a1 = addOp("Dup.txt", "1", twice), a2 = addOp("dup.TXT", "2", twice);
  EXPECT_EQ(readResult(signedPatch({a1, a2}, twice)), rtp::Result::PatchCorrupt);

  rtp::PatchOp rm;
  rm.kind = rtp::OpKind::RemoveDir;
  rm.path = "gone";
  Bytes inside;
  rtp::PatchOp late = addOp("gone/x", "1", inside);
  EXPECT_EQ(readResult(signedPatch({rm, late}, inside)), rtp::Result::PatchCorrupt);

  Bytes trailing = data;
  trailing.push_back(0);
  o = add;
  o.dataLength += 1;
  EXPECT_EQ(one(o, trailing), rtp::Result::PatchCorrupt);  // bytes after the stream
}

TEST(Reader, RefusesHostileDeltaStreams) {
  // add, copy, seek triples followed by payload bytes.
  EXPECT_EQ(readResult(deltaPatch(commands({10, 0, 0}, 10), 10, 10)), rtp::Result::Ok);
  EXPECT_EQ(readResult(deltaPatch(commands({11, 0, 0}, 11), 10, 11)),
            rtp::Result::PatchCorrupt);  // past old
  EXPECT_EQ(readResult(deltaPatch(commands({0, 11, 0}, 11), 10, 10)),
            rtp::Result::PatchCorrupt);  // past new
  EXPECT_EQ(readResult(deltaPatch(commands({5, 0, -6}, 5), 10, 5)),
            rtp::Result::PatchCorrupt);  // before 0
  EXPECT_EQ(readResult(deltaPatch(commands({5, 0, 6}, 5), 10, 5)),
            rtp::Result::PatchCorrupt);  // past end
  EXPECT_EQ(readResult(deltaPatch(commands({0, 0, 3, 0, 0, 3, 1, 0, 0}, 1), 10, 1)),
            rtp::Result::PatchCorrupt);
  EXPECT_EQ(readResult(deltaPatch(commands({0, 0, 3, 1, 0, 0}, 1), 10, 1)), rtp::Result::Ok);
  EXPECT_EQ(readResult(deltaPatch(commands({4, 0, 0}, 3), 10, 4)),
            rtp::Result::PatchCorrupt);  // short payload
  Bytes overflow(11, 0xff);
  overflow.push_back(0x01);
  EXPECT_EQ(readResult(deltaPatch(overflow, 10, 10)), rtp::Result::PatchCorrupt);
  Bytes garbage = {0x78, 0x9c, 0xff, 0xff, 0xff};
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "app.exe";
  op.oldSize = 10;
  op.newSize = 10;
  op.dataLength = garbage.size();
  EXPECT_EQ(readResult(signedPatch({op}, garbage)), rtp::Result::PatchCorrupt);
}
