// Writes the seed corpus for the patch reader: sound sample patches and
// one of each kind of damage, signed with the test key unless unsigned is
// the damage. Run: make_rtp_corpus tests/patchlib/corpus
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "corpus_trees.h"
#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/maker.h"
#include "rtp/stream.h"
#include "support.h"

using namespace rtptest;

namespace {

void save(const std::string& dir, const std::string& name, const Bytes& b) {
  writeFile(dir + "/" + name, b);
  std::printf("%s %zu bytes\n", name.c_str(), b.size());
}

Bytes fromTrees(const TreeText& oldTree, const TreeText& newTree) {
  TempDir t;
  std::filesystem::create_directories(t.sub("old"));
  std::filesystem::create_directories(t.sub("new"));
  materialise(t.sub("old"), oldTree);
  materialise(t.sub("new"), newTree);
  rtp::makePatch(t.sub("old"), t.sub("new"), t.sub("p.rtp"), &testSigningKey(), nullptr,
                 {"Velmora", "sample", "7", "8"});
  return readBytes(t.sub("p.rtp"));
}

// The decoded contents of a patch's sections as the reader's fuzz target
// takes them: four 16-bit lengths, then the parts in type order; with small,
// the top bit of the first length asks for the data streams in one section,
// and with withRecords, that of the second for the records in it too.
Bytes sectionContents(const Bytes& patch, bool small, bool withRecords) {
  const Parts parts = partsOf(patch);
  std::vector<Bytes> decoded(5);
  for (std::size_t i = 0; i < parts.sections.size(); ++i) {
    const Bytes d = lzma2Decode(parts.sections[i].data(), parts.sections[i].size());
    const std::uint32_t type = parts.header.sections[i].type;
    if (type < rtp::format::kSectionSmallStreams) {
      decoded[type - 1] = d;
      continue;
    }
    const std::size_t from = type == rtp::format::kSectionSmallPatch ? 0 : 1;
    rtp::bytes::Reader r(d.data(), d.size(), "small streams");
    std::size_t lengths[5];
    for (std::size_t k = from; k < 5; ++k) lengths[k] = static_cast<std::size_t>(r.varint());
    for (std::size_t k = from; k < 5; ++k) {
      const unsigned char* p = r.take(lengths[k]);
      decoded[k].assign(p, p + lengths[k]);
    }
  }
  Bytes out;
  for (std::size_t i = 0; i < 4; ++i)
    rtp::bytes::putLe(out,
                      decoded[i].size() | (i == 0 && small ? 0x8000 : 0) |
                          (i == 1 && small && withRecords ? 0x8000 : 0),
                      2);
  for (const Bytes& d : decoded) out.insert(out.end(), d.begin(), d.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_rtp_corpus READER-DIR APPLY-DIR\n");
    return 1;
  }
  const std::string dir = argv[1];
  const Bytes sample = fromTrees(sampleOldTree(), sampleNewTree());
  // Apply seeds: a control byte (bit 0 backup, the rest the event to cancel
  // at), then the patch.
  for (const auto& [name, control] : {std::pair<const char*, unsigned char>{"sample", 0},
                                      {"sample-backup", 1},
                                      {"sample-cancel-5", 10},
                                      {"sample-backup-cancel-9", 19}}) {
    Bytes seed(sample.size() + 1, control);
    std::copy(sample.begin(), sample.end(), seed.begin() + 1);
    save(argv[2], name, seed);
  }
  // The same patch as the decoded contents of its sections, the data streams
  // in sections of their own, in one, and in one with the records.
  struct Form {
    const char* name;
    bool small, withRecords;
  };
  for (const Form& form :
       {Form{"sections-sample", false, false}, Form{"sections-sample-small", true, false},
        Form{"sections-sample-patch", true, true}}) {
    const char* name = form.name;
    const Bytes contents = sectionContents(sample, form.small, form.withRecords);
    Bytes sections(contents.size() + 1, 0x80);
    std::copy(contents.begin(), contents.end(), sections.begin() + 1);
    save(argv[2], name, sections);
    save(dir, std::string(name) + ".bin", contents);
  }
  save(dir, "valid-sample.rtp", sample);
  save(dir, "valid-nothing.rtp", fromTrees(sampleOldTree(), sampleOldTree()));
  save(dir, "valid-fresh.rtp", fromTrees({}, sampleNewTree()));
  // An added file made from one the patch leaves as it is, read and applied.
  const std::string rates = sampleOldTree()["data/rates.tbl"];
  rtp::PatchOp ref;
  ref.kind = rtp::OpKind::Add;
  ref.encoding = rtp::Encoding::Delta;
  ref.path = "data/rates2.tbl";
  ref.reference = "data/rates.tbl";
  ref.oldSize = ref.newSize = rates.size();
  ref.oldHash = ref.newHash = rtp::hashBytes(rates.data(), rates.size());
  rtp::PatchStreams copy;
  for (std::uint64_t v : {std::uint64_t(0), rates.size() << 2 | rtp::delta::Copy, std::uint64_t(0)})
    rtp::putVarint(copy.commands, v);
  const Bytes fromReference = signedPatch({ref}, copy);
  save(dir, "valid-reference.rtp", fromReference);
  Bytes refSeed(fromReference.size() + 1, 0);
  std::copy(fromReference.begin(), fromReference.end(), refSeed.begin() + 1);
  save(argv[2], "reference", refSeed);
  // A file remade from its old bytes read from their third bit on.
  rtp::PatchOp shiftedOp = ref;
  shiftedOp.kind = rtp::OpKind::Modify;
  shiftedOp.path = "data/rates.tbl";
  shiftedOp.reference.clear();
  std::string remade(rates.size() - 1, '\0');
  rtp::shiftBits(reinterpret_cast<const unsigned char*>(rates.data()), remade.size(), 3,
                 reinterpret_cast<unsigned char*>(&remade[0]));
  shiftedOp.newSize = remade.size();
  shiftedOp.newHash = rtp::hashBytes(remade.data(), remade.size());
  rtp::PatchStreams shifted;
  for (std::uint64_t v : {std::uint64_t(0), remade.size() << 2 | rtp::delta::Shifted,
                          std::uint64_t(0), std::uint64_t(3)})
    rtp::putVarint(shifted.commands, v);
  rtp::putVarint(shifted.positions, remade.size());
  const Bytes fromBits = signedPatch({shiftedOp}, shifted);
  save(dir, "valid-shifted.rtp", fromBits);
  Bytes bitsSeed(fromBits.size() + 1, 0);
  std::copy(fromBits.begin(), fromBits.end(), bitsSeed.begin() + 1);
  save(argv[2], "shifted", bitsSeed);

  save(dir, "bad-truncated.rtp",
       Bytes(sample.begin(), sample.begin() + static_cast<long>(sample.size() / 2)));
  Bytes magic = sample;
  magic[0] = 'X';
  save(dir, "bad-magic.rtp", magic);
  Bytes version = sample;
  version[8] = 4;
  resign(version);
  save(dir, "bad-version.rtp", version);
  Parts count = partsOf(sample);
  count.header.opCount = 0xffff;
  save(dir, "bad-opcount.rtp", assemble(count));
  Bytes flipped = sample;
  flipped[flipped.size() - 3] ^= 0x40;
  save(dir, "bad-datahash.rtp", flipped);
  Bytes unsignedSample = sample;
  const std::size_t block =
      rtp::format::signedSize(sample.data(), sample.size(), rtp::Result::PatchCorrupt);
  std::fill(unsignedSample.begin() + block, unsignedSample.begin() + block + 80, 0);
  save(dir, "bad-unsigned.rtp", unsignedSample);

  for (const auto& [name, path] :
       {std::pair<const char*, const char*>{"bad-path-dotdot.rtp", "../evil.dll"},
        {"bad-path-device.rtp", "tax/CON.tbl"},
        {"bad-path-stream.rtp", "readme.txt:hidden"},
        {"bad-path-absolute.rtp", "/etc/passwd"}}) {
    rtp::PatchStreams data;
    save(dir, name, signedPatch({addOp(path, "payload", data)}, data));
  }

  // A delta that reads past the end of its old file.
  rtp::PatchStreams overrun;
  rtp::putVarint(overrun.commands, 0);
  rtp::putVarint(overrun.commands, 100 << 2 | rtp::delta::Add);
  rtp::putVarint(overrun.commands, 0);
  rtp::putVarint(overrun.positions, 100);
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "Velmora.exe";
  op.oldSize = 10;
  op.newSize = 100;
  save(dir, "bad-delta-overrun.rtp", signedPatch({op}, overrun));

  // Two files made from one copy of their content.
  rtp::PatchStreams once;
  rtp::PatchOp a = addOp("a.dll", std::string(4000, 'a'), once), b = a;
  b.path = "b.dll";
  save(dir, "bad-shared-data.rtp", signedPatch({a, b}, once));

  // A literal stream reaching back farther than the engine's dictionary.
  const Bytes chunk = randomBytes(4096, 31);
  Bytes far = chunk;
  far.resize(far.size() + (5u << 20), 0);
  far.insert(far.end(), chunk.begin(), chunk.end());
  rtp::PatchStreams farData;
  const rtp::PatchOp farOp = addOp("far.dat", std::string(far.begin(), far.end()), farData);
  save(dir, "bad-dictionary.rtp",
       withSection(signedPatch({farOp}, farData), rtp::format::kSectionLiterals,
                   lzma2Stream(far, 16u << 20)));
  return 0;
}
