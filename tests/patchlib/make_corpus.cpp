// Writes the seed corpus for the patch reader: sound sample patches and
// one of each kind of damage, signed with the test key unless unsigned is
// the damage. Run: make_rtp_corpus tests/patchlib/corpus
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "corpus_trees.h"
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
  rtp::makePatch(t.sub("old"), t.sub("new"), t.sub("p.rtp"), &testSigningKey());
  return readBytes(t.sub("p.rtp"));
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
  save(dir, "valid-sample.rtp", sample);
  save(dir, "valid-nothing.rtp", fromTrees(sampleOldTree(), sampleOldTree()));
  save(dir, "valid-fresh.rtp", fromTrees({}, sampleNewTree()));

  save(dir, "bad-truncated.rtp",
       Bytes(sample.begin(), sample.begin() + static_cast<long>(sample.size() / 2)));
  Bytes magic = sample;
  magic[0] = 'X';
  save(dir, "bad-magic.rtp", magic);
  Bytes version = sample;
  putLe(version, 8, 1, 4);
  resign(version);
  save(dir, "bad-version.rtp", version);
  Bytes count = sample;
  putLe(count, 24, 0xffff, 4);
  resign(count);
  save(dir, "bad-opcount.rtp", count);
  Bytes flipped = sample;
  flipped[flipped.size() - 3] ^= 0x40;
  save(dir, "bad-datahash.rtp", flipped);
  Bytes unsignedSample = sample;
  const std::size_t block = 64 + 2 * 56;
  std::fill(unsignedSample.begin() + block, unsignedSample.begin() + block + 80, 0);
  save(dir, "bad-unsigned.rtp", unsignedSample);

  for (const auto& [name, path] :
       {std::pair<const char*, const char*>{"bad-path-dotdot.rtp", "../evil.dll"},
        {"bad-path-device.rtp", "tax/CON.tbl"},
        {"bad-path-stream.rtp", "readme.txt:hidden"},
        {"bad-path-absolute.rtp", "/etc/passwd"}}) {
    Bytes data;
    save(dir, name, signedPatch({addOp(path, "payload", data)}, data));
  }

  // A delta that reads past the end of its old file.
  Bytes raw;
  rtp::putVarint(raw, 100);
  rtp::putVarint(raw, 0);
  rtp::putVarint(raw, 0);
  raw.resize(raw.size() + 100, 0);
  Bytes blob = rtp::encodeFull(raw.data(), raw.size());
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Modify;
  op.encoding = rtp::Encoding::Delta;
  op.path = "Velmora.exe";
  op.oldSize = 10;
  op.newSize = 100;
  op.dataLength = blob.size();
  save(dir, "bad-delta-overrun.rtp", signedPatch({op}, blob));
  return 0;
}
