// The reader against damaged and hostile patches.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "corpus_trees.h"
#include "rtp/delta.h"
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

// Raw delta streams for one modify operation, command by command.
struct DeltaStreams {
  rtp::PatchStreams s;
  explicit DeltaStreams(std::uint64_t flags = 0) { rtp::putVarint(s.commands, flags); }
  DeltaStreams& head(std::uint64_t length, unsigned kind) {
    rtp::putVarint(s.commands, length << 2 | kind);
    return *this;
  }
  DeltaStreams& copy(std::uint64_t length, std::int64_t move) {
    head(length, rtp::delta::Copy);
    rtp::putVarint(s.commands, rtp::zigzag(move));
    return *this;
  }
  DeltaStreams& add(std::uint64_t length, std::int64_t move,
                    std::initializer_list<std::uint64_t> gaps, const Bytes& diffs = {}) {
    head(length, rtp::delta::Add);
    rtp::putVarint(s.commands, rtp::zigzag(move));
    for (std::uint64_t g : gaps) rtp::putVarint(s.positions, g);
    s.differences.insert(s.differences.end(), diffs.begin(), diffs.end());
    return *this;
  }
  DeltaStreams& shifted(std::uint64_t length, std::int64_t move, std::uint64_t bits,
                        std::uint64_t gap) {
    head(length, rtp::delta::Shifted);
    rtp::putVarint(s.commands, rtp::zigzag(move));
    rtp::putVarint(s.commands, bits);
    rtp::putVarint(s.positions, gap);
    return *this;
  }
  DeltaStreams& literal(std::uint64_t length) {
    head(length, rtp::delta::Literal);
    s.literals.resize(s.literals.size() + length, 'x');
    return *this;
  }
};

rtp::PatchOp modifyOp(const std::string& path, std::uint64_t oldSize, std::uint64_t newSize) {
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = path;
  op.oldSize = oldSize;
  op.newSize = newSize;
  return op;
}

rtp::Result deltaResult(const DeltaStreams& d, std::uint64_t oldSize, std::uint64_t newSize) {
  return readResult(signedPatch({modifyOp("app.exe", oldSize, newSize)}, d.s));
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
    rtp::PatchStreams data;
    Bytes patch = signedPatch({addOp(p, "payload", data)}, data);
    EXPECT_EQ(readResult(patch), rtp::Result::PatchCorrupt) << p;
  }
}

TEST(Paths, NamesEqualUnderTheCodePagesCaseFoldingClash) {
  EXPECT_EQ(rtp::foldCase("\xC9T\xC9.txt"), rtp::foldCase("\xE9t\xE9.TXT"));
  EXPECT_EQ(rtp::foldCase("\x8A\x8C\x8E\x9F"), rtp::foldCase("\x9A\x9C\x9E\xFF"));
  EXPECT_NE(rtp::foldCase("\xD7"), rtp::foldCase("\xF7"));  // multiplication and division signs
  rtp::PatchStreams data;
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
                               : i == 8 ? rtp::Result::UnsupportedVersion
                                        : rtp::Result::NotSigned;
      ASSERT_EQ(readResult(q), want) << "byte " << i << " mask " << int(mask);
    }
}

TEST(Reader, SignedHeaderFieldsAreStillChecked) {
  // The maker's faults, signed: the signature vouches for the author, not
  // for the content.
  using Header = rtp::format::Header;
  const Parts sample = partsOf(samplePatch());
  ASSERT_GE(sample.header.sections.size(), 2u);
  const rtp::Result bad = rtp::Result::PatchCorrupt;
  struct Edit {
    const char* name;
    std::function<void(Header&)> edit;
    rtp::Result expect;
    bool fit = true;  // lengths, hashes and file size made to match after the edit
  };
  const Edit edits[] = {
      {"op count over the limit", [](Header& h) { h.opCount = rtp::format::kMaxOps + 1; }, bad},
      {"op count not the records'", [](Header& h) { h.opCount += 1; }, bad},
      {"no ops", [](Header& h) { h.opCount = 0; }, bad},
      {"total of the new sizes", [](Header& h) { h.totalNewBytes = 12345; }, bad},
      {"total at its largest", [](Header& h) { h.totalNewBytes = ~0ull; }, bad},
      {"file size", [](Header& h) { h.fileSize += 1; }, bad, false},
      {"file size at its largest", [](Header& h) { h.fileSize = ~0ull; }, bad, false},
      {"ops dictionary below LZMA2's", [](Header& h) { h.sections[0].range.dictionary = 2048; },
       bad},
      {"ops dictionary above its type's",
       [](Header& h) { h.sections[0].range.dictionary = rtp::format::kOpsDictionary * 2; }, bad},
      {"a stream's dictionary above its type's",
       [](Header& h) { h.sections[1].range.dictionary = 1u << 31; }, bad},
      {"ops length past the end", [](Header& h) { h.sections[0].range.length = ~0ull - 10; }, bad,
       false},
      {"ops length one more", [](Header& h) { h.sections[0].range.length += 1; }, bad, false},
      {"unknown section type", [](Header& h) { h.sections[1].type = 8; },
       rtp::Result::UnsupportedVersion},
      {"two ops sections", [](Header& h) { h.sections[1].type = rtp::format::kSectionOps; }, bad},
      {"an empty section listed", [](Header& h) { h.sections[1].range.length = 0; }, bad, false},
      {"nine sections", [](Header& h) { h.sections.resize(9, h.sections[0]); }, bad, false},
      {"product too long", [](Header& h) { h.binding.product.assign(65, 'V'); }, bad},
      {"name with a control character", [](Header& h) { h.binding.name = "r7\nr8s"; }, bad},
      {"release beyond ASCII", [](Header& h) { h.binding.to = "8\xe9"; }, bad},
  };
  for (const Edit& e : edits) {
    Parts p = sample;
    e.edit(p.header);
    EXPECT_EQ(readResult(assemble(p, e.fit)), e.expect) << e.name;
  }
  // The size that locates the signature cannot be signed wrongly; a version
  // other than this one is refused, format 2 included.
  const Bytes good = samplePatch();
  const std::pair<std::vector<unsigned char>, rtp::Result> starts[] = {
      {{0xff, 0x7f}, rtp::Result::NotSigned},
      {{17}, rtp::Result::NotSigned},
      {{0x80, 0x80, 0x80}, rtp::Result::NotSigned},
  };
  for (const auto& [size, expect] : starts) {
    Bytes p(good.begin(), good.begin() + 9);
    p.insert(p.end(), size.begin(), size.end());
    p.insert(p.end(), good.begin() + 9 + 2, good.end());
    EXPECT_EQ(readResult(p), expect) << int(size[0]);
  }
  for (unsigned char version : {1, 2, 4}) {
    Bytes p = good;
    p[8] = version;
    resign(p);
    EXPECT_EQ(readResult(p), rtp::Result::UnsupportedVersion) << int(version);
  }
}

TEST(Reader, RefusesBytesNoHashCovers) {
  const Parts sample = partsOf(samplePatch());
  // A byte after the section table, inside the signed bytes (its size is
  // one more, its varint as long).
  const Bytes table = rtp::format::writeHeader(sample.header);
  ASSERT_NE(table[9] & 0x7f, 0x7f);
  Bytes inTable = table;
  inTable[9] = static_cast<unsigned char>(inTable[9] + 1);
  inTable.push_back(0);
  inTable.resize(inTable.size() + rtp::format::kSignatureBlockSize);
  for (const Bytes& s : sample.sections) inTable.insert(inTable.end(), s.begin(), s.end());
  resign(inTable);
  EXPECT_EQ(readResult(inTable), rtp::Result::PatchCorrupt);
  // One byte after the last section, counted in the file's size.
  Parts tail = sample;
  tail.sections.back().push_back(0);
  tail.header.fileSize += 1;
  EXPECT_EQ(readResult(assemble(tail, false)), rtp::Result::PatchCorrupt);
  // The same byte not counted: not the file that was signed.
  Bytes longer = samplePatch();
  longer.push_back(0);
  EXPECT_EQ(readResult(longer), rtp::Result::NotSigned);
}

TEST(Reader, HoldsAPatchToWhatItIsSignedFor) {
  rtp::PatchStreams data;
  const Bytes patch =
      signedPatch({addOp("a.txt", "a", data)}, data, {"Velmora", "r7r8s", "7", "8"});
  struct Case {
    rtp::Binding required;
    rtp::Result expect;
  };
  const rtp::Result ok = rtp::Result::Ok, wrong = rtp::Result::WrongPatch;
  const Case cases[] = {
      {{}, ok},
      {{"Velmora", "r7r8s", "7", "8"}, ok},
      {{"Velmora", "R7R8S", "", "8"}, ok},  // names as Windows compares file names
      {{"velmora", "", "", ""}, wrong},
      {{"Velmora", "postpatch", "", "8"}, wrong},
      {{"Velmora", "r7r8", "", "8"}, wrong},
      {{"", "", "8", ""}, wrong},
      {{"", "", "", "7"}, wrong},
  };
  for (const Case& c : cases) {
    rtp::MemoryFile f(patch.data(), patch.size());
    rtp::PatchInfo info;
    EXPECT_EQ(rtp::readPatch(f, &testPublicKey(), nullptr, &info, c.required).result, c.expect)
        << c.required.product << "/" << c.required.name << "/" << c.required.from << "/"
        << c.required.to;
    EXPECT_EQ(info.binding.name, "r7r8s") << "known even when refused";
  }
  // A patch signed for nothing in particular meets no requirement.
  const Bytes plain = signedPatch({addOp("a.txt", "a", data)}, data);
  rtp::MemoryFile f(plain.data(), plain.size());
  EXPECT_EQ(rtp::readPatch(f, &testPublicKey(), nullptr, nullptr, {"", "", "", "8"}).result, wrong);
  for (const auto& [path, name] : {std::pair<const char*, const char*>{"r7r8s.rtp", "r7r8s"},
                                   {"C:\\medium\\R7R8S.RTP", "R7R8S"},
                                   {"dir/postpatch", "postpatch"},
                                   {"a.rtp.rtp", "a.rtp"},
                                   {".rtp", ".rtp"},
                                   {"dir\\", ""}})
    EXPECT_EQ(rtp::patchNameOf(path), name) << path;
}

// Many operations reading one content would make the check decode it once
// per operation: a small patch could take hours to refuse. Each operation
// takes the next bytes of the streams instead, so none can share.
TEST(Reader, EveryStreamByteIsReadOnce) {
  rtp::PatchStreams once, both;
  rtp::PatchOp a = addOp("a.dll", std::string(5000, 'a'), once);
  rtp::PatchOp b = a;
  b.path = "b.dll";
  EXPECT_EQ(readResult(signedPatch({a, b}, once)), rtp::Result::PatchCorrupt);
  addOp("a.dll", std::string(5000, 'a'), both);
  addOp("b.dll", std::string(5000, 'a'), both);
  EXPECT_EQ(readResult(signedPatch({a, b}, both)), rtp::Result::Ok);
  std::vector<rtp::PatchOp> many;
  for (int i = 0; i < 64; ++i) {
    rtp::PatchOp op = a;
    op.path = "f" + std::to_string(i) + ".txt";
    many.push_back(op);
  }
  EXPECT_EQ(readResult(signedPatch(many, both)), rtp::Result::PatchCorrupt);

  // Likewise the differences of two deltas.
  DeltaStreams d;
  d.add(10, 0, {3, 6}, {1});
  rtp::putVarint(d.s.commands, 0);
  d.head(10, rtp::delta::Add);
  rtp::putVarint(d.s.commands, 0);
  EXPECT_EQ(
      readResult(signedPatch({modifyOp("one.exe", 10, 10), modifyOp("two.exe", 10, 10)}, d.s)),
      rtp::Result::PatchCorrupt);
}

TEST(Reader, RefusesInconsistentOperations) {
  auto one = [](rtp::PatchOp op, const rtp::PatchStreams& data) {
    return readResult(signedPatch({op}, data));
  };
  rtp::PatchStreams data;
  rtp::PatchOp add = addOp("x.txt", "content", data);
  EXPECT_EQ(one(add, data), rtp::Result::Ok);

  rtp::PatchOp o = add;
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
  o = modifyOp("x.txt", 3, add.newSize);
  o.encoding = rtp::Encoding::Full;
  o.newHash = add.newHash;
  EXPECT_EQ(one(o, data), rtp::Result::Ok);
  o.mode = 0755;  // a modified file keeps the permissions it has
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.kind = static_cast<rtp::OpKind>(9);
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  // An add's delta is made from a file the patch leaves as it is: one that
  // is named, safely, and no operation's.
  DeltaStreams copy;
  copy.copy(add.newSize, 0);
  for (const char* ref : {"lang/de.cat", "", "../x", "backup/x", "X.TXT"}) {
    o = add;
    o.encoding = rtp::Encoding::Delta;
    o.oldSize = add.newSize;
    o.reference = ref;
    EXPECT_EQ(one(o, copy.s), *ref == 'l' ? rtp::Result::Ok : rtp::Result::PatchCorrupt) << ref;
  }
  o = add;
  o.kind = rtp::OpKind::Delete;  // a delete carries no data
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);
  o = add;
  o.oldSize = 1;  // an add has no old content
  EXPECT_EQ(one(o, data), rtp::Result::PatchCorrupt);

  // Records against each other: one per path, every parent kept or made.
  using K = rtp::OpKind;
  const struct {
    std::vector<std::pair<K, const char*>> ops;
    rtp::Result want;
  } sequences[] = {
      {{{K::Add, "Dup.txt"}, {K::Add, "dup.TXT"}}, rtp::Result::PatchCorrupt},
      {{{K::Delete, "f"}, {K::Delete, "F"}}, rtp::Result::PatchCorrupt},
      {{{K::RemoveDir, "gone"}, {K::Add, "gone/x"}}, rtp::Result::PatchCorrupt},
      {{{K::Delete, "f"}, {K::Add, "f/x"}}, rtp::Result::PatchCorrupt},
      {{{K::Delete, "f"}, {K::MakeDir, "f"}, {K::Add, "f/x"}}, rtp::Result::Ok},
      {{{K::MakeDir, "d"}, {K::Delete, "d/x"}}, rtp::Result::PatchCorrupt},
      {{{K::MakeDir, "d"}, {K::RemoveDir, "d/e"}}, rtp::Result::PatchCorrupt},
  };
  for (const auto& seq : sequences) {
    rtp::PatchStreams streams;
    std::vector<rtp::PatchOp> ops;
    for (const auto& [kind, path] : seq.ops) {
      if (kind == K::Add) {
        ops.push_back(addOp(path, "1", streams));
        continue;
      }
      ops.emplace_back();
      ops.back().kind = kind;
      ops.back().path = path;
    }
    EXPECT_EQ(readResult(signedPatch(ops, streams)), seq.want) << "sequence " << &seq - sequences;
  }

  rtp::PatchStreams trailing = data;
  trailing.literals.push_back(0);
  EXPECT_EQ(one(add, trailing), rtp::Result::PatchCorrupt);  // bytes no operation reads
}

TEST(Reader, RefusesHostileDeltaStreams) {
  const rtp::Result ok = rtp::Result::Ok, bad = rtp::Result::PatchCorrupt;
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {10}), 10, 10), ok);
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {3, 6}, {1}), 10, 10), ok);
  EXPECT_EQ(deltaResult(DeltaStreams().copy(4, -2).literal(2).add(4, 4, {0, 3}, {9}), 10, 10), ok);
  EXPECT_EQ(deltaResult(DeltaStreams(rtp::delta::kPredictAll).add(10, 0, {10}), 10, 10), ok);
  EXPECT_EQ(deltaResult(DeltaStreams(rtp::delta::kPredictAll).shifted(9, 0, 7, 9), 10, 9), ok);

  EXPECT_EQ(deltaResult(DeltaStreams().add(11, 0, {11}), 10, 11), bad);  // past the old file
  EXPECT_EQ(deltaResult(DeltaStreams().copy(11, 0), 10, 11), bad);
  EXPECT_EQ(deltaResult(DeltaStreams().literal(11), 10, 10), bad);  // past the new size
  EXPECT_EQ(deltaResult(DeltaStreams().copy(5, 1), 10, 5), bad);    // old offset below 0
  EXPECT_EQ(deltaResult(DeltaStreams().copy(5, -6), 10, 5), bad);   // old end past 10
  EXPECT_EQ(deltaResult(DeltaStreams().copy(5, std::int64_t(1) << 62), 10, 5), bad);
  EXPECT_EQ(deltaResult(DeltaStreams().head(0, rtp::delta::Copy), 10, 5), bad);  // empty command
  // A shifted add reads one old byte more than it makes, from a bit inside it.
  EXPECT_EQ(deltaResult(DeltaStreams().shifted(10, 0, 1, 10), 10, 10), bad);
  EXPECT_EQ(deltaResult(DeltaStreams().literal(1).shifted(9, 0, 1, 9), 10, 10), bad);
  EXPECT_EQ(deltaResult(DeltaStreams().shifted(9, 0, 0, 9), 10, 9), bad);
  EXPECT_EQ(deltaResult(DeltaStreams().shifted(9, 0, 8, 9), 10, 9), bad);
  EXPECT_EQ(deltaResult(DeltaStreams(4).add(10, 0, {10}), 10, 10), bad);  // unknown predictor
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {11}), 10, 10), bad);   // gap past the command
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {2, 7}, {0}), 10, 10), bad);  // zero difference
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {}), 10, 10), bad);           // positions run out
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {2, 7}), 10, 10), bad);     // differences run out
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {10, 0}), 10, 10), bad);    // positions left over
  EXPECT_EQ(deltaResult(DeltaStreams().add(10, 0, {10}, {1}), 10, 10), bad);  // differences too
  DeltaStreams extra;
  extra.add(10, 0, {10}).literal(1);
  EXPECT_EQ(deltaResult(extra, 10, 10), bad);  // commands left over
  DeltaStreams overflow;
  overflow.s.commands.assign(11, 0xff);
  overflow.s.commands.push_back(0x01);
  EXPECT_EQ(deltaResult(overflow, 10, 10), bad);

  // The predictor holds a file's commands in memory, so their number is bounded.
  const std::uint64_t limit = rtp::format::kMaxPredictedCommands;
  for (std::uint64_t n : {limit, limit + 1}) {
    DeltaStreams many(rtp::delta::kPredictRelative);
    for (std::uint64_t i = 0; i < n; ++i) many.literal(1);
    EXPECT_EQ(deltaResult(many, 10, n), n > limit ? bad : ok) << n << " commands";
  }
}

// The records of a patch as the maker wrote them, from their own section or
// the small-patch section.
Bytes recordsOf(const Bytes& patch) {
  const Parts parts = partsOf(patch);
  for (std::size_t i = 0; i < parts.sections.size(); ++i) {
    const Bytes d = lzma2Decode(parts.sections[i].data(), parts.sections[i].size());
    if (parts.header.sections[i].type == rtp::format::kSectionOps) return d;
    if (parts.header.sections[i].type != rtp::format::kSectionSmallPatch) continue;
    rtp::bytes::Reader r(d.data(), d.size(), "small patch");
    const std::size_t n = static_cast<std::size_t>(r.varint());
    for (int k = 0; k < 4; ++k) r.varint();
    const unsigned char* at = r.take(n);
    return Bytes(at, at + n);
  }
  return {};
}

// A small patch's streams share one section, its records too where they
// fit, decoded whole into memory: its content is checked as the separate
// streams are, and bounded.
TEST(Reader, RefusesMalformedSmallStreams) {
  namespace f = rtp::format;
  DeltaStreams d;
  d.copy(4, -2).literal(2).add(4, 4, {0, 3}, {9});
  const Bytes sound = signedPatch({modifyOp("app.exe", 10, 10)}, d.s);
  ASSERT_EQ(partsOf(sound).header.sections.back().type, f::kSectionSmallPatch);
  const Bytes streams[] = {d.s.literals, d.s.commands, d.s.positions, d.s.differences};
  Bytes joined;
  for (const Bytes& s : streams) joined.insert(joined.end(), s.begin(), s.end());
  const auto compressed = [](const Bytes& raw) { return lzma2Stream(raw, f::kMaxSmallStreams); };
  const auto byteChunks = [](const Bytes& raw) {  // uncompressed LZMA2 chunks of a byte each
    Bytes out;
    for (unsigned char c : raw) {
      const unsigned char control = out.empty() ? 1 : 2;  // the first resets the dictionary
      out.insert(out.end(), {control, 0, 0, c});
    }
    out.push_back(0);
    return out;
  };
  const rtp::Result ok = rtp::Result::Ok, bad = rtp::Result::PatchCorrupt;
  for (const std::uint32_t type : {f::kSectionSmallStreams, f::kSectionSmallPatch}) {
    SCOPED_TRACE(type);
    const bool withRecords = type == f::kSectionSmallPatch;
    // The lengths, then the bytes: the records' first, when the section
    // holds them.
    auto content = [&](const Bytes& records, std::initializer_list<std::uint64_t> lengths,
                       const Bytes& bytes) {
      Bytes raw;
      if (withRecords) rtp::putVarint(raw, records.size());
      for (std::uint64_t n : lengths) rtp::putVarint(raw, n);
      if (withRecords) raw.insert(raw.end(), records.begin(), records.end());
      raw.insert(raw.end(), bytes.begin(), bytes.end());
      return raw;
    };
    // like's header with the section stored as given, beside the records'
    // own when it does not hold them.
    auto as = [&](const Bytes& like, const Bytes& stored,
                  std::uint32_t dictionary = f::kMaxSmallStreams) {
      Parts p = partsOf(like);
      const Bytes records = recordsOf(like);
      p.header.sections.clear();
      p.sections.clear();
      if (!withRecords) {
        p.header.sections.push_back({f::kSectionOps, {}});
        p.header.sections.back().range.dictionary = 4096;
        p.sections.push_back(lzma2Stream(records, 4096));
      }
      p.header.sections.push_back({type, {}});
      p.header.sections.back().range.dictionary = dictionary;
      p.sections.push_back(stored);
      return assemble(p);
    };
    const Bytes records = recordsOf(sound);
    auto with = [&](const Bytes& raw, std::uint32_t dictionary = f::kMaxSmallStreams) {
      return as(sound, lzma2Stream(raw, dictionary), dictionary);
    };
    const Bytes good = content(
        records, {streams[0].size(), streams[1].size(), streams[2].size(), streams[3].size()},
        joined);
    // One file of n bytes added, its literals stored as store makes them; at
    // the bound, the content is exactly kMaxSmallStreams bytes.
    auto literalsOnly = [&](std::ptrdiff_t fromBound,
                            const std::function<Bytes(const Bytes&)>& store) {
      const std::size_t probe = 1u << 15;  // as long a varint as the bound
      rtp::PatchStreams data;
      const Bytes added = signedPatch({addOp("big.dat", std::string(probe, 'x'), data)}, data);
      const std::size_t n = f::kMaxSmallStreams -
                            (content(recordsOf(added), {probe, 0, 0, 0}, {}).size()) + fromBound;
      data = {};
      const Bytes patch = signedPatch({addOp("big.dat", std::string(n, 'x'), data)}, data);
      return as(patch, store(content(recordsOf(patch), {n, 0, 0, 0}, Bytes(n, 'x'))));
    };
    Bytes flipped = with(good);
    flipped.back() ^= 1;
    const Bytes stored = compressed(good);
    const Bytes beside =
        withRecords
            ? withSection(with(good), f::kSectionOps, lzma2Stream(records, 4096))
            : withSection(with(good), f::kSectionLiterals, lzma2Stream(Bytes(2, 'x'), 4096));
    const std::pair<const char*, std::pair<Bytes, rtp::Result>> cases[] = {
        {"as made", {with(good), ok}},
        {"a byte after the streams", {with(content(records, {2, 6, 2, 0}, joined)), bad}},
        {"a byte short of them", {with(content(records, {2, 6, 2, 2}, joined)), bad}},
        {"a length past the end", {with(content(records, {2, 6, 2, ~0ull >> 1}, joined)), bad}},
        {"no lengths", {with(Bytes{}), bad}},
        {"decoded at the bound", {literalsOnly(0, compressed), ok}},
        {"decoded over the bound", {literalsOnly(1, compressed), bad}},
        {"stored in chunks of a byte", {literalsOnly(1000 - 65536, byteChunks), ok}},
        {"stored over the bound", {literalsOnly(20000 - 65536, byteChunks), bad}},
        {"a dictionary over its largest", {with(good, f::kMaxSmallStreams * 2), bad}},
        {"cut short", {as(sound, Bytes(stored.begin(), stored.end() - 1)), bad}},
        {"beside a section it holds", {beside, bad}},
        {"altered after signing", {flipped, rtp::Result::NotSigned}},
    };
    for (const auto& [what, c] : cases) EXPECT_EQ(readResult(c.first), c.second) << what;
  }
}

TEST(Reader, RefusesDamagedStreams) {
  // A block, 5 MiB of zeros, the block again: a match reaching back 5 MiB.
  const Bytes block = randomBytes(4096, 31);
  Bytes raw = block;
  raw.resize(raw.size() + (5u << 20), 0);
  raw.insert(raw.end(), block.begin(), block.end());
  rtp::PatchStreams data;
  const rtp::PatchOp add = addOp("big.dat", std::string(raw.begin(), raw.end()), data);
  const Bytes sound = signedPatch({add}, data);
  ASSERT_EQ(readResult(sound), rtp::Result::Ok);
  auto withLiterals = [&](const Bytes& stream) {
    return readResult(withSection(sound, rtp::format::kSectionLiterals, stream));
  };
  // The decoder's dictionary is its own: a stream made with a larger one and
  // reaching back beyond it is refused, not given the memory.
  EXPECT_EQ(withLiterals(lzma2Stream(raw, 16u << 20)), rtp::Result::PatchCorrupt);
  const Bytes fits = lzma2Stream(raw, rtp::format::kLiteralsDictionary);
  EXPECT_EQ(withLiterals(fits), rtp::Result::Ok);
  EXPECT_EQ(withLiterals(Bytes(fits.begin(), fits.end() - 3)), rtp::Result::PatchCorrupt);
  Bytes twice = fits;
  twice.insert(twice.end(), fits.begin(), fits.end());
  EXPECT_EQ(withLiterals(twice), rtp::Result::PatchCorrupt);  // bytes after its end
  Bytes badControl = fits;
  badControl[0] = 0x10;  // no LZMA2 chunk starts so
  EXPECT_EQ(withLiterals(badControl), rtp::Result::PatchCorrupt);
  // A stream declares its dictionary, and the decoder holds it to that.
  Bytes near = block;
  near.resize(near.size() + (64u << 10), 0);
  near.insert(near.end(), block.begin(), block.end());
  rtp::PatchStreams nearData;
  const Bytes nearPatch =
      signedPatch({addOp("near.dat", std::string(near.begin(), near.end()), nearData)}, nearData);
  const Bytes reachesBack = lzma2Stream(near, 1u << 20);
  auto declaring = [&](std::uint32_t dictionary) {
    return readResult(
        withSection(nearPatch, rtp::format::kSectionLiterals, reachesBack, dictionary));
  };
  EXPECT_EQ(declaring(128u << 10), rtp::Result::Ok);
  EXPECT_EQ(declaring(16u << 10), rtp::Result::PatchCorrupt);
  EXPECT_EQ(declaring(rtp::format::kLiteralsDictionary * 2), rtp::Result::PatchCorrupt);
  // An empty stream is not listed: no decoder is made for it.
  const Parts empty = partsOf(withSection(sound, rtp::format::kSectionPositions, Bytes{}));
  ASSERT_EQ(readResult(assemble(empty)), rtp::Result::Ok);
  for (const auto& s : empty.header.sections) EXPECT_NE(s.type, rtp::format::kSectionPositions);
  // The records too: a damaged or oversized operations section.
  EXPECT_EQ(readResult(withSection(sound, rtp::format::kSectionOps, Bytes{0xff, 0xff, 0xff})),
            rtp::Result::PatchCorrupt);
  EXPECT_EQ(readResult(withSection(sound, rtp::format::kSectionOps,
                                   lzma2Stream(Bytes(5u << 20, 0), 1u << 20))),
            rtp::Result::PatchCorrupt);
}
