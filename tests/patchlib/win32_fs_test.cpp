// The engine on the Win32 file system, under Wine: the DLL's view of the
// product folder (backslashes, read-only files, ReplaceFile).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "FaultyFs.h"
#include "TempDir.h"
#include "corpus_trees.h"
#include "rtp/command_line.h"
#include "rtp/engine.h"

using rtptest::FaultyFs;
using rtptest::TreeText;

namespace {

std::string corpus(const std::string& name) {
  std::string dir = RTP_CORPUS_DIR;
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;  // the host's root as Wine maps it
  for (char& c : dir)
    if (c == '/') c = '\\';
  return dir + "\\" + name;
}

// The updater's way in: its command line, parsed as the DLL parses it.
rtp::Outcome applyCommandLine(rtp::FileSystem& fs, const std::string& text) {
  rtp::CommandLine cl;
  if (!rtp::parseCommandLine(text, cl)) return rtp::Outcome{rtp::Result::BadArguments, text, {}, false};
  return rtp::applyPatch(fs, cl.patchPath, cl.productDir, cl.options);
}

class Win32Apply : public ::testing::Test {
 protected:
  void SetUp() override {
    product = root + "\\Program Files\\Brennock\\Velmora";
    fs->makeDir(root + "\\Program Files");
    fs->makeDir(root + "\\Program Files\\Brennock");
    fs->makeDir(product);
    lay(sampleOld());
  }

  static TreeText sampleOld() { return rtptest::sampleOldTree(); }

  void lay(const TreeText& t) {
    for (const auto& [rel, content] : t) {
      const std::string p = fs->join(product, rel);
      if (content == "<dir>") {
        if (fs->stat(p).type == rtp::EntryType::None) fs->makeDir(p);
      } else {
        auto f = fs->create(p);
        f->write(content.data(), content.size());
      }
    }
  }

  TreeText snapshot(const std::string& dir, const std::string& prefix = "") {
    TreeText t;
    for (const std::string& name : fs->list(dir)) {
      const std::string rel = prefix.empty() ? name : prefix + "/" + name;
      const std::string p = dir + "\\" + name;
      if (fs->stat(p).type == rtp::EntryType::Directory) {
        t[rel] = "<dir>";
        TreeText sub = snapshot(p, rel);
        t.insert(sub.begin(), sub.end());
      } else {
        auto f = fs->openRead(p);
        std::string s(static_cast<std::size_t>(f->size()), '\0');
        s.resize(f->read(&s[0], s.size()));
        t[rel] = s;
      }
    }
    return t;
  }

  std::unique_ptr<rtp::FileSystem> fs = rtp::makeNativeFileSystem();
  testsupport::TempDir temp{"rtp-win32"};
  std::string root = temp.Path(), product;
};

}  // namespace

TEST_F(Win32Apply, UpdaterCommandLineAppliesWithBackup) {
  rtp::Outcome o = applyCommandLine(*fs, "\"" + corpus("valid-sample.rtp") + "\" \"" + product + "\" /b /nop /nos ");
  ASSERT_TRUE(o.ok()) << o.message;
  TreeText want = rtptest::sampleNewTree();
  const TreeText old = sampleOld();
  want["backup"] = "<dir>";
  want["backup/Velmora.exe"] = old.at("Velmora.exe");
  want["backup/readme.txt"] = old.at("readme.txt");
  want["backup/legacy"] = "<dir>";
  want["backup/legacy/old.dll"] = old.at("legacy/old.dll");
  EXPECT_EQ(snapshot(product), want);

  rtp::Outcome again = applyCommandLine(*fs, "\"" + corpus("valid-sample.rtp") + "\" \"" + product + "\" /nob ");
  ASSERT_TRUE(again.ok()) << again.message;
  for (const rtp::FileReport& r : again.files) EXPECT_EQ(r.state, rtp::FileState::Done) << r.path;
}

TEST_F(Win32Apply, ReadOnlyProductFilesAreStillReplaced) {
  ASSERT_TRUE(SetFileAttributesA((product + "\\Velmora.exe").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesA((product + "\\legacy\\old.dll").c_str(), FILE_ATTRIBUTE_READONLY));
  rtp::Outcome o = rtp::applyPatch(*fs, corpus("valid-sample.rtp"), product, {});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(snapshot(product), rtptest::sampleNewTree());
}

TEST_F(Win32Apply, FailureOrPowerLossAtEveryStepLeavesOldOrNewTree) {
  rtp::ApplyOptions opts;
  opts.backup = true;
  FaultyFs counting(*fs);
  ASSERT_TRUE(rtp::applyPatch(counting, corpus("valid-sample.rtp"), product, opts).ok());
  const long total = counting.steps();
  const TreeText old = sampleOld();
  for (int crash = 0; crash < 2; ++crash) {
    for (long n = 1; n <= total; ++n) {
      testsupport::RemoveTree(product);
      fs->makeDir(product);
      lay(old);
      FaultyFs faulty(*fs);
      (crash ? faulty.crashAt : faulty.failAt) = n;
      rtp::Outcome o = rtp::applyPatch(faulty, corpus("valid-sample.rtp"), product, opts);
      ASSERT_TRUE(rtp::recoverInterrupted(*fs, product).ok());
      TreeText after = snapshot(product);
      if (after != old) {
        after.erase("backup");
        for (auto it = after.begin(); it != after.end();)
          it = it->first.rfind("backup/", 0) == 0 ? after.erase(it) : std::next(it);
        ASSERT_EQ(after, rtptest::sampleNewTree()) << (crash ? "power loss" : "failure") << " at step " << n;
      } else if (!crash) {
        ASSERT_FALSE(o.ok()) << "step " << n;
      }
    }
  }
}
