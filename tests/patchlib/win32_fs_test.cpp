// The engine on the Win32 file system, under Wine: the DLL's view of the
// product folder (backslashes, read-only files, ReplaceFile).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "TestReleaseKey.h"
#include "corpus_trees.h"
#include "rtp/command_line.h"
#include "rtp/engine.h"

using rtptest::TreeText;

namespace {

std::string corpus(const std::string& name) {
  std::string dir = RTP_CORPUS_DIR;
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;  // the host's root as Wine maps it
  for (char& c : dir)
    if (c == '/') c = '\\';
  return dir + "\\" + name;
}

// The corpus is signed with the test key.
rtp::ApplyOptions trustTestKey(rtp::ApplyOptions options = {}) {
  rtp::crypto::PublicKey key;
  std::copy(std::begin(kTestReleaseKey), std::end(kTestReleaseKey), key.begin());
  options.trustedKey = key;
  return options;
}

// The updater's way in: its command line, parsed as the DLL parses it.
rtp::Outcome applyCommandLine(rtp::FileSystem& fs, const std::string& text) {
  rtp::CommandLine cl;
  if (!rtp::parseCommandLine(text, cl)) return rtp::Outcome{rtp::Result::BadArguments, text, {}, false};
  return rtp::applyPatch(fs, cl.patchPath, cl.productDir, trustTestKey(cl.options));
}

class Win32Apply : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, tmp), 0u);
    root = std::string(tmp) + "rtp-win32-" + std::to_string(GetCurrentProcessId()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    product = root + "\\Program Files\\Brennock\\Velmora";
    removeTree(root);
    fs->makeDir(root);
    fs->makeDir(root + "\\Program Files");
    fs->makeDir(root + "\\Program Files\\Brennock");
    fs->makeDir(product);
    lay(sampleOld());
  }
  void TearDown() override { removeTree(root); }

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

  void removeTree(const std::string& dir) {
    if (fs->stat(dir).type != rtp::EntryType::Directory) return;
    for (const std::string& name : fs->list(dir)) {
      const std::string p = dir + "\\" + name;
      if (fs->stat(p).type == rtp::EntryType::Directory)
        removeTree(p);
      else
        fs->removeFile(p);
    }
    fs->removeDir(dir);
  }

  std::unique_ptr<rtp::FileSystem> fs = rtp::makeNativeFileSystem();
  std::string root, product;
};

// Fails the n-th change to the disk once (failAt), or that one and every
// later one (crashAt: the power went).
class Faulty : public rtp::FileSystem {
 public:
  explicit Faulty(rtp::FileSystem& real) : real_(real) {}
  long failAt = 0, crashAt = 0, steps = 0;
  void step() {
    ++steps;
    if ((failAt && steps == failAt) || (crashAt && steps >= crashAt)) throw rtp::IoFailure("injected");
  }
  std::string join(const std::string& r, const std::string& rel) const override { return real_.join(r, rel); }
  rtp::Stat stat(const std::string& p) override { return real_.stat(p); }
  std::unique_ptr<rtp::File> openRead(const std::string& p) override { return real_.openRead(p); }
  std::unique_ptr<rtp::File> create(const std::string& p) override {
    step();
    return std::unique_ptr<rtp::File>(new FaultyFile(real_.create(p), *this));
  }
  void makeDir(const std::string& p) override { step(); real_.makeDir(p); }
  void removeDir(const std::string& p) override { step(); real_.removeDir(p); }
  void removeFile(const std::string& p) override { step(); real_.removeFile(p); }
  std::vector<std::string> list(const std::string& d) override { return real_.list(d); }
  void rename(const std::string& a, const std::string& b) override { step(); real_.rename(a, b); }
  void replace(const std::string& a, const std::string& b, const std::string& c) override {
    step();
    real_.replace(a, b, c);
  }

 private:
  class FaultyFile : public rtp::File {
   public:
    FaultyFile(std::unique_ptr<rtp::File> f, Faulty& fs) : f_(std::move(f)), fs_(fs) {}
    std::size_t read(void* b, std::size_t n) override { return f_->read(b, n); }
    void write(const void* b, std::size_t n) override { fs_.step(); f_->write(b, n); }
    void seek(std::uint64_t p) override { f_->seek(p); }
    std::uint64_t size() override { return f_->size(); }
    void sync() override { fs_.step(); f_->sync(); }

   private:
    std::unique_ptr<rtp::File> f_;
    Faulty& fs_;
  };
  rtp::FileSystem& real_;
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
  rtp::Outcome o = rtp::applyPatch(*fs, corpus("valid-sample.rtp"), product, trustTestKey());
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(snapshot(product), rtptest::sampleNewTree());
}

TEST_F(Win32Apply, FailureOrPowerLossAtEveryStepLeavesOldOrNewTree) {
  rtp::ApplyOptions opts = trustTestKey();
  opts.backup = true;
  Faulty counting(*fs);
  ASSERT_TRUE(rtp::applyPatch(counting, corpus("valid-sample.rtp"), product, opts).ok());
  const long total = counting.steps;
  const TreeText old = sampleOld();
  for (int crash = 0; crash < 2; ++crash) {
    for (long n = 1; n <= total; ++n) {
      removeTree(product);
      fs->makeDir(product);
      lay(old);
      Faulty faulty(*fs);
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
