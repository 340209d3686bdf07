// Replays the fuzz corpus through the reader on every run: sound samples
// must load (as patches, or as section contents), damaged ones must be
// refused, and none may crash.
#include <gtest/gtest.h>

#include <filesystem>

#include "corpus_trees.h"
#include "support.h"

int rtpFuzzReadPatch(const std::uint8_t* data, std::size_t size);
int rtpFuzzReadSections(const std::uint8_t* data, std::size_t size);
int rtpFuzzApplyPatch(const std::uint8_t* data, std::size_t size);

using namespace rtptest;
namespace fs = std::filesystem;

TEST(Corpus, EveryFileReadsAsItsNameSays) {
  int valid = 0, bad = 0;
  for (const auto& entry : fs::directory_iterator(RTP_CORPUS_DIR)) {
    const std::string name = entry.path().filename().string();
    Bytes b = readBytes(entry.path().string());
    int result = rtpFuzzReadPatch(b.data(), b.size());
    SCOPED_TRACE(name);
    if (name.rfind("valid-", 0) == 0) {
      EXPECT_EQ(result, 0);
      ++valid;
    } else if (name.rfind("sections-", 0) == 0) {
      EXPECT_EQ(rtpFuzzReadSections(b.data(), b.size()), 0);
    } else {
      EXPECT_NE(result, 0);
      if (name == "bad-format1.rtp" || name == "bad-format2.rtp") {
        EXPECT_EQ(result, int(rtp::Result::UnsupportedVersion));
      }
      ++bad;
    }
  }
  EXPECT_GE(valid, 3);
  EXPECT_GE(bad, 8);
}

TEST(Corpus, SamplePatchTurnsOldSampleIntoNew) {
  TempDir t;
  materialise(t.path(), sampleOldTree());
  auto fs = rtp::makeNativeFileSystem();
  rtp::Outcome o = rtp::applyPatch(*fs, std::string(RTP_CORPUS_DIR) + "/valid-sample.rtp", t.path(),
                                   trustTestKey());
  ASSERT_TRUE(o.ok()) << o.message;
  const TreeText want = sampleNewTree();
  Snapshot expect(want.begin(), want.end());
  EXPECT_EQ(treeDiff(snapshot(t.path()), expect), "");
}

// The apply path's seeds: a sound patch applied, with and without backup,
// cancelled or not, must end as declared or as before (the function traps
// otherwise), and an uncancelled one must succeed.
TEST(Corpus, ApplySeedsEndOldOrNewAndLeaveTheOutsideAlone) {
  int seeds = 0;
  for (const auto& entry : fs::directory_iterator(RTP_APPLY_CORPUS_DIR)) {
    Bytes b = readBytes(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    const int result = rtpFuzzApplyPatch(b.data(), b.size());
    if ((b[0] & 0x7e) == 0) {
      EXPECT_EQ(result, 0);
    }
    ++seeds;
  }
  EXPECT_GE(seeds, 4);
}
