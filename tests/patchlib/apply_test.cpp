// Applying patches as transactions: checks before changes, rollback on
// failure, cancel and power loss, backups, and the updater's command line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "corpus_trees.h"
#include "rtp/command_line.h"
#include "rtp/maker.h"
#include "support.h"
#include "sync_spy.h"

using namespace rtptest;
namespace stdfs = std::filesystem;

namespace {

// A language the product had, and one it gains: the maker makes the new
// catalogue from the old one, which the patch leaves as it is.
std::string catalogue(char language) {
  std::string s;
  for (int i = 0; s.size() < 6000; ++i)
    s += "msg " + std::to_string(i * 7919 % 1000) + (i % 3 ? " text " : " ") + language + "\n";
  return s;
}

Snapshot oldTree() {
  TreeText t = sampleOldTree();
  t["legacy/sub"] = "<dir>";
  t["legacy/sub/deep.txt"] = "deep";
  t["plugins"] = "a file that becomes a folder";
  t["lang"] = "<dir>";
  t["lang/de"] = "<dir>";
  t["lang/de/velmora.cat"] = catalogue('d');
  return Snapshot(t.begin(), t.end());
}

Snapshot newTree() {
  TreeText t = sampleNewTree();
  t["plugins"] = "<dir>";
  t["plugins/tax.dll"] = "tax plugin";
  t["lang"] = "<dir>";
  t["lang/de"] = "<dir>";
  t["lang/de/velmora.cat"] = catalogue('d');
  t["lang/fr"] = "<dir>";
  t["lang/fr/velmora.cat"] = catalogue('f');
  return Snapshot(t.begin(), t.end());
}

// What the product folder holds after the patch with backups on.
Snapshot newTreeWithBackup() {
  Snapshot s = newTree(), o = oldTree(), n = newTree();
  s["backup"] = "<dir>";
  for (const auto& [rel, content] : o) {
    if (content == "<dir>") continue;
    auto it = n.find(rel);
    if (it != n.end() && it->second == content) continue;
    s["backup/" + rel] = content;
    for (std::size_t p = rel.find('/'); p != std::string::npos; p = rel.find('/', p + 1))
      s["backup/" + rel.substr(0, p)] = "<dir>";
  }
  return s;
}

class Apply : public ::testing::Test {
 protected:
  void SetUp() override {
    stdfs::create_directories(work.sub("old"));
    stdfs::create_directories(work.sub("new"));
    materialise(work.sub("old"), oldTree());
    materialise(work.sub("new"), newTree());
    patch = work.sub("r7r8s.rtp");
    rtp::makePatch(work.sub("old"), work.sub("new"), patch, &testSigningKey());
    freshProduct();
  }

  void freshProduct() {
    stdfs::remove_all(product);
    stdfs::create_directories(product);
    materialise(product, oldTree());
  }

  rtp::Outcome apply(rtp::FileSystem& fs, bool backup = false,
                     rtp::ProgressSink* progress = nullptr) {
    return rtp::applyPatch(fs, patch, product, trustTestKey(backup), progress);
  }

  TempDir work;
  std::string patch;
  std::string product = work.sub("Velmora");
  std::unique_ptr<rtp::FileSystem> real = rtp::makeNativeFileSystem();
};

}  // namespace

TEST_F(Apply, TurnsOldTreeIntoNewLeavingNoTraces) {
  // The new catalogue is made from the one the patch leaves alone.
  const Bytes bytes = readBytes(patch);
  rtp::MemoryFile f(bytes.data(), bytes.size());
  std::vector<rtp::PatchOp> ops;
  ASSERT_TRUE(rtp::readPatch(f, &testPublicKey(), &ops).ok());
  std::string reference;
  for (const rtp::PatchOp& op : ops)
    if (op.path == "lang/fr/velmora.cat") reference = op.reference;
  EXPECT_EQ(reference, "lang/de/velmora.cat");

  rtp::Outcome o = apply(*real);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(treeDiff(snapshot(product), newTree()), "");
  EXPECT_FALSE(o.recoveredJournal);
}

TEST(Permissions, AddedFilesTakeThoseOfTheNewTree) {
  TempDir w;
  for (const char* d : {"old", "new", "product"}) stdfs::create_directories(w.sub(d));
  writeFile(w.sub("new/run.sh"), "#!/bin/sh\n");
  writeFile(w.sub("new/notes.txt"), "notes");
  stdfs::permissions(w.sub("new/run.sh"), stdfs::perms(0750));
  stdfs::permissions(w.sub("new/notes.txt"), stdfs::perms(0640));
  rtp::makePatch(w.sub("old"), w.sub("new"), w.sub("p.rtp"), &testSigningKey());
  auto fs = rtp::makeNativeFileSystem();
  ASSERT_TRUE(rtp::applyPatch(*fs, w.sub("p.rtp"), w.sub("product"), trustTestKey()).ok());
  EXPECT_EQ(stdfs::status(w.sub("product/run.sh")).permissions() & stdfs::perms::all,
            stdfs::perms(0750));
  EXPECT_EQ(stdfs::status(w.sub("product/notes.txt")).permissions() & stdfs::perms::all,
            stdfs::perms(0640));
}

TEST_F(Apply, ModifiedFilesKeepTheirPermissions) {
  const std::string exe = product + "/Velmora.exe", doc = product + "/readme.txt";
  stdfs::permissions(exe, stdfs::perms(0755));
  stdfs::permissions(doc, stdfs::perms(0600));
  ASSERT_TRUE(apply(*real).ok());
  EXPECT_EQ(stdfs::status(exe).permissions() & stdfs::perms::all, stdfs::perms(0755));
  EXPECT_EQ(stdfs::status(doc).permissions() & stdfs::perms::all, stdfs::perms(0600));
}

TEST_F(Apply, BackupFolderHoldsOriginalsUnderTheirPaths) {
  rtp::Outcome o = apply(*real, true);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(treeDiff(snapshot(product), newTreeWithBackup()), "");
}

TEST_F(Apply, FilesAlreadyAtNewContentCountAsDone) {
  writeFile(product + "/readme.txt", newTree()["readme.txt"]);
  rtp::Outcome o = apply(*real);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(treeDiff(snapshot(product), newTree()), "");
  bool sawDone = false;
  for (const rtp::FileReport& r : o.files)
    if (r.path == "readme.txt") sawDone = r.state == rtp::FileState::Done;
  EXPECT_TRUE(sawDone);

  // Nothing is written to a tree that is already up to date.
  FaultyFs readOnly(*real);
  readOnly.failAt = 1;
  rtp::Outcome again = apply(readOnly);
  ASSERT_TRUE(again.ok()) << again.message;
  EXPECT_EQ(readOnly.steps(), 0);
  for (const rtp::FileReport& r : again.files) EXPECT_EQ(r.state, rtp::FileState::Done) << r.path;
  EXPECT_EQ(treeDiff(snapshot(product), newTree()), "");
}

TEST_F(Apply, FileAlreadyDoneStillTakesItsShareOfTheStreams) {
  // The operations read the shared streams in turn: one skipped must not
  // shift what the ones after it read.
  for (const char* done :
       {"Velmora.exe", "plugins/tax.dll", "readme.txt", "tax/2027.tbl", "lang/fr/velmora.cat"}) {
    SCOPED_TRACE(done);
    freshProduct();
    if (std::string(done) == "plugins/tax.dll")
      stdfs::remove(product + "/plugins");  // the file that became a folder
    stdfs::create_directories(stdfs::path(product + "/" + done).parent_path());
    writeFile(product + "/" + done, newTree()[done]);
    rtp::Outcome o = apply(*real);
    ASSERT_TRUE(o.ok()) << o.message;
    EXPECT_EQ(treeDiff(snapshot(product), newTree()), "");
  }
}

TEST_F(Apply, OtherEditionFailsCleanlySoItsOwnPatchCanApply) {
  // The pro edition ships another program build; the standard patch must
  // refuse it untouched, and the pro patch must then fit.
  Snapshot pro = oldTree();
  pro["Velmora.exe"] = pro["Velmora.exe"].substr(0, 15000) + "pro edition";
  stdfs::remove_all(product);
  stdfs::create_directories(product);
  materialise(product, pro);
  rtp::Outcome o = apply(*real);
  EXPECT_EQ(o.result, rtp::Result::WrongInstallation);
  EXPECT_NE(o.message.find("Velmora.exe"), std::string::npos) << o.message;
  EXPECT_EQ(treeDiff(snapshot(product), pro), "");

  stdfs::create_directories(work.sub("pro"));
  materialise(work.sub("pro"), pro);
  const std::string proPatch = work.sub("r7r8p.rtp");
  rtp::makePatch(work.sub("pro"), work.sub("new"), proPatch, &testSigningKey());
  rtp::Outcome p = rtp::applyPatch(*real, proPatch, product, trustTestKey());
  ASSERT_TRUE(p.ok()) << p.message;
  EXPECT_EQ(treeDiff(snapshot(product), newTree()), "");
}

TEST_F(Apply, MissingOrForeignFilesAreMismatches) {
  stdfs::remove(product + "/readme.txt");
  EXPECT_EQ(apply(*real).result, rtp::Result::WrongInstallation);
  // Where the patch adds a file; the file an added one is made from, changed
  // or gone.
  const struct {
    std::string path;
    bool gone;
  } cases[] = {
      {"tax/2027.tbl", false}, {"lang/de/velmora.cat", false}, {"lang/de/velmora.cat", true}};
  for (const auto& c : cases) {
    freshProduct();
    if (c.gone)
      stdfs::remove(product + "/" + c.path);
    else
      writeFile(product + "/" + c.path, "someone else's content");
    Snapshot before = snapshot(product);
    rtp::Outcome o = apply(*real);
    EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << c.path;
    EXPECT_NE(o.message.find(c.path), std::string::npos) << o.message;
    EXPECT_EQ(treeDiff(snapshot(product), before), "");
    rtp::Outcome v = rtp::verifyPatch(*real, patch, product, testPublicKey());
    EXPECT_EQ(v.result, rtp::Result::WrongInstallation);
    EXPECT_EQ(treeDiff(snapshot(product), before), "");
  }
}

TEST_F(Apply, DamagedPatchChangesNothing) {
  Bytes good = readBytes(patch);
  for (std::size_t cut : {std::size_t(0), std::size_t(10), good.size() / 2, good.size() - 1}) {
    writeFile(patch, Bytes(good.begin(), good.begin() + static_cast<long>(cut)));
    rtp::Outcome o = apply(*real, true);
    EXPECT_NE(o.result, rtp::Result::Ok);
    EXPECT_EQ(treeDiff(snapshot(product), oldTree()), "") << cut;
  }
  EXPECT_EQ(rtp::applyPatch(*real, work.sub("none.rtp"), product, trustTestKey()).result,
            rtp::Result::PatchUnreadable);
  writeFile(patch, good);
  EXPECT_EQ(rtp::applyPatch(*real, patch, work.sub("nowhere"), trustTestKey()).result,
            rtp::Result::BadArguments);
}

TEST_F(Apply, ReportsEachFileThenWholePercents) {
  RecordingProgress rec;
  ASSERT_TRUE(apply(*real, false, &rec).ok());
  std::size_t files = 0;
  int last = -1;
  std::string expectName;
  for (std::size_t i = 0; i < rec.events.size(); ++i) {
    const std::string& e = rec.events[i];
    if (e.rfind("begin ", 0) == 0) {
      EXPECT_EQ(last, files ? 100 : -1) << "previous file did not reach 100%";
      ++files;
      ASSERT_LT(i + 1, rec.events.size());
      EXPECT_EQ(rec.events[i + 1].rfind("name ", 0), 0u);
      last = -1;
    } else if (e.rfind("pct ", 0) == 0) {
      int pct = std::stoi(e.substr(4));
      EXPECT_GT(pct, last);
      EXPECT_LE(pct, 100);
      last = pct;
    }
  }
  EXPECT_EQ(last, 100);
  // delete x3, modify x2 (readme, exe; rates and a catalogue unchanged), add x3
  EXPECT_EQ(files, 8u);
  EXPECT_EQ(rec.events.front(), "begin 0/8");
}

TEST_F(Apply, CancelAtAnyCallbackRollsBack) {
  RecordingProgress count;
  ASSERT_TRUE(apply(*real, true, &count).ok());
  const long events = static_cast<long>(count.events.size());
  for (long k = 1; k <= events; ++k) {
    freshProduct();
    RecordingProgress rec;
    rec.cancelAt = k;
    rtp::Outcome o = apply(*real, true, &rec);
    ASSERT_EQ(o.result, rtp::Result::Cancelled) << "cancel at event " << k;
    ASSERT_EQ(treeDiff(snapshot(product), oldTree()), "") << "cancel at event " << k;
  }
}

// The fault suite, on both ways of confining, with backups and without.
class ApplySteps : public Apply, public ::testing::WithParamInterface<std::tuple<Way, bool>> {
 protected:
  void SetUp() override {
    Apply::SetUp();
    faulty.examineOnly = std::get<0>(GetParam()) == Way::Examined;
  }
  const bool backup = std::get<1>(GetParam());
  FaultyFs faulty{*real};
};

TEST_P(ApplySteps, FailureAtEveryStepRollsBack) {
  ASSERT_TRUE(apply(faulty, backup).ok());
  const long total = faulty.steps();
  ASSERT_GT(total, 20);
  const Snapshot done = backup ? newTreeWithBackup() : newTree();
  for (long n = 1; n <= total; ++n) {
    freshProduct();
    faulty.reset();
    faulty.failAt = n;
    rtp::Outcome o = apply(faulty, backup);
    if (o.ok()) {
      // The failure hit cleanup after the commit; the next call finishes it.
      ASSERT_TRUE(rtp::recoverInterrupted(*real, product).ok());
      ASSERT_EQ(treeDiff(snapshot(product), done), "") << "failure at step " << n;
    } else {
      ASSERT_NE(o.result, rtp::Result::RollbackFailed) << o.message;
      ASSERT_EQ(treeDiff(snapshot(product), oldTree()), "")
          << "failure at step " << n << ": " << o.message;
    }
  }
}

// A second fault while the first is being undone (or while the commit's
// fate is unknown), as an error or as a power loss: the next call must reach
// the old or the new tree, never a mix, and no original may be lost.
TEST_P(ApplySteps, ASecondFaultDuringTheUndoStillEndsOldOrNew) {
  ASSERT_TRUE(apply(faulty, backup).ok());
  const long total = faulty.steps();
  const Snapshot done = backup ? newTreeWithBackup() : newTree();
  for (bool power : {false, true}) {
    for (long n = 1; n <= total; ++n) {
      // The undo's own steps follow the failure at once.
      for (long m = n + 1; m <= n + 12; ++m) {
        freshProduct();
        faulty.reset();
        faulty.failAt = n;
        (power ? faulty.crashAt : faulty.failAgainAt) = m;
        apply(faulty, backup);
        rtp::Outcome r = rtp::recoverInterrupted(*real, product);
        ASSERT_TRUE(r.ok()) << r.message;
        const Snapshot after = snapshot(product);
        if (after != done) {
          ASSERT_EQ(treeDiff(after, oldTree()), "")
              << "error at step " << n << ", then " << (power ? "power loss" : "error")
              << " at step " << m;
        }
      }
    }
  }
}

// The ways a crash can meet the disk: the process killed with every change
// kept, the power lost with everything not yet synced, and the power lost
// with only the last change since written back. The power loss keeps only
// what the real flushes synced: whole file systems for the larger phases,
// single files and folders for the others.
TEST_P(ApplySteps, PowerLossAtEveryStepIsRecoveredNextTime) {
  faulty.observeFlush = watchSyncs;
  ASSERT_TRUE(apply(faulty, backup).ok());
  const long total = faulty.steps();
  const Snapshot done = backup ? newTreeWithBackup() : newTree();
  int rolledBack = 0, finished = 0;
  for (long n = 1; n <= total; ++n) {
    for (int kind = 0; kind < 3; ++kind) {
      const bool cache = kind > 0;
      const char* how = kind == 0   ? "kill"
                        : kind == 1 ? "power loss"
                                    : "power loss keeping the last change";
      freshProduct();
      faulty.reset();
      if (cache) faulty.keepOnlySynced(product);
      faulty.crashAt = n;
      apply(faulty, backup);
      faulty.powerCut(kind == 2);
      // The machine comes back: the interrupted patch is undone, or finished
      // if it had committed, and never left half way.
      rtp::Outcome r = rtp::recoverInterrupted(*real, product);
      ASSERT_TRUE(r.ok()) << r.message;
      Snapshot after = snapshot(product);
      const std::string at = std::string(how) + " at step " + std::to_string(n) + ": " + r.message;
      // A finished patch must have every new content: no commit may reach
      // the disk ahead of what it vouches for.
      if (r.message.find("finished") != std::string::npos || after != oldTree())
        ASSERT_EQ(treeDiff(after, done), "") << at;
      else
        ++rolledBack;
      finished += after == done;
    }
    // Then the updater simply applies again.
    freshProduct();
    faulty.reset();
    faulty.crashAt = n;
    apply(faulty, backup);
    rtp::Outcome again = apply(*real, backup);
    ASSERT_TRUE(again.ok()) << again.message;
    ASSERT_EQ(treeDiff(snapshot(product), done), "") << "power loss at step " << n;
  }
  EXPECT_GT(rolledBack, 10);
  EXPECT_GT(finished, 0);
}

INSTANTIATE_TEST_SUITE_P(WaysAndBackup, ApplySteps,
                         ::testing::Combine(::testing::Values(Way::Kernel, Way::Examined),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(nameOf(std::get<0>(info.param))) +
                                  (std::get<1>(info.param) ? "WithBackup" : "NoBackup");
                         });

class PowerLoss : public ::testing::TestWithParam<Way> {
 protected:
  // A FaultyFs confining itself the way under test.
  void confineAsParam(FaultyFs& fs) const { fs.examineOnly = GetParam() == Way::Examined; }
};

// A patch of one file syncs just what it changed in every phase; a power
// loss or an error anywhere must still find the old or the new file, never
// a mix: a file changed in a few places where it is, large or small, and
// one written anew, changed in too many places to keep or read-only.
TEST_P(PowerLoss, OneFilePatchSyncedFileByFileEndsOldOrNew) {
  const Bytes random = randomBytes(std::size_t(3) << 19, 7);
  const std::string large(random.begin(), random.end());
  std::string few = large, many = large;
  for (std::size_t at : {std::size_t(100), large.size() / 2, large.size() - 3}) few[at] ^= 0x5a;
  for (std::size_t at = 4096; at < many.size(); at += 100) many[at] ^= 0x5a;
  struct Case {
    const char* what;
    std::string old, now;
    bool readOnly, inPlace;
  };
  const std::string small = "core 7 " + std::string(5000, 'x');
  for (const Case& c : {Case{"small", small, "core 8 " + std::string(5000, 'y'), false, false},
                        Case{"small, few changes", small, "core 8" + small.substr(6), false, true},
                        Case{"few changes", large, few, false, true},
                        Case{"few changes, read-only", large, few, true, false},
                        Case{"many changes", large, many, false, false}}) {
    SCOPED_TRACE(c.what);
    TempDir w;
    const Snapshot before{{"lib", "<dir>"}, {"lib/core.so", c.old}, {"notes", "unchanged"}};
    Snapshot after = before;
    after["lib/core.so"] = c.now;
    for (const char* d : {"old", "new"}) stdfs::create_directories(w.sub(d));
    materialise(w.sub("old"), before);
    materialise(w.sub("new"), after);
    rtp::makePatch(w.sub("old"), w.sub("new"), w.sub("p.rtp"), &testSigningKey());
    const std::string product = w.sub("product");
    auto inode = [&] {
      struct stat st;
      return ::stat((product + "/lib/core.so").c_str(), &st) == 0 ? st.st_ino : 0;
    };
    bool stayed = false;  // the file of the last apply is the original
    for (bool backup : {false, true}) {
      Snapshot done = after;
      if (backup) {
        done["backup"] = done["backup/lib"] = "<dir>";
        done["backup/lib/core.so"] = before.at("lib/core.so");
      }
      // Power loss (or, with error, a failing call) at step n (none: 0) of
      // an apply by a process of its own.
      auto applyUntil = [&](long n, bool keepLastChange, bool error = false) {
        stdfs::remove_all(product);
        stdfs::create_directories(product);
        materialise(product, before);
        if (c.readOnly) stdfs::permissions(product + "/lib/core.so", stdfs::perms::owner_read);
        const ino_t original = inode();
        auto real = rtp::makeNativeFileSystem();
        FaultyFs faulty(*real);
        confineAsParam(faulty);
        faulty.observeFlush = [&](const std::function<void()>& flush) {
          FaultyFs::Synced s = watchSyncs(flush);
          EXPECT_FALSE(s.whole) << "a one-file patch syncs its entries, not the file system";
          return s;
        };
        faulty.keepOnlySynced(product);
        (error ? faulty.failAt : faulty.crashAt) = n;
        const rtp::Outcome o =
            rtp::applyPatch(faulty, w.sub("p.rtp"), product, trustTestKey(backup));
        EXPECT_TRUE(n > 0 || o.ok()) << o.message;
        if (error && !o.ok()) {
          EXPECT_EQ(treeDiff(snapshot(product), before), "") << o.message;
        }
        stayed = inode() == original;
        if (!error) faulty.powerCut(keepLastChange);
        return faulty.steps();
      };
      const long total = applyUntil(0, false);
      ASSERT_EQ(treeDiff(snapshot(product), done), "");
      EXPECT_EQ(stayed, c.inPlace);
      for (long step = 3; step <= 3 * total + 2; ++step) {
        const long n = step / 3;
        const bool last = step % 3 == 1, error = step % 3 == 2;
        applyUntil(n, last, error);
        auto real = rtp::makeNativeFileSystem();
        const rtp::Outcome r = rtp::recoverInterrupted(*real, product);
        ASSERT_TRUE(r.ok()) << r.message;
        const Snapshot got = snapshot(product);
        const std::string at = std::string(backup ? "with backup, " : "") +
                               (error ? "error" : "power loss") +
                               (last ? " keeping the last change" : "") + " at step " +
                               std::to_string(n) + ": " + r.message;
        if (r.message.find("finished") != std::string::npos || got != before) {
          ASSERT_EQ(treeDiff(got, done), "") << at;
        }
      }
    }
  }
}

// What the POSIX flush syncs, caught at a power cut: the bytes of a file
// written and the names in every folder changed, new folders included;
// nothing of what came after.
TEST_P(PowerLoss, FlushKeepsTheFilesAndNamesOfItsBatchOnly) {
  auto real = rtp::makeNativeFileSystem();
  TempDir w;
  const std::string root = w.sub("root");
  materialise(root, {{"kept", "old"}, {"gone", "doomed"}});
  FaultyFs faulty(*real);
  confineAsParam(faulty);
  faulty.observeFlush = watchSyncs;
  faulty.keepOnlySynced(root);
  // The kernel's way syncs the folders its calls held open.
  const std::unique_ptr<rtp::FileSystem> confined = faulty.confine(root);
  rtp::FileSystem& fs = *confined;
  fs.makeDir(root + "/sub");
  fs.create(root + "/sub/new")->write("new", 3);
  fs.keep(root + "/kept", root + "/kept.old");
  fs.removeFile(root + "/gone");
  fs.flush();
  fs.create(root + "/late")->write("late", 4);
  fs.rename(root + "/sub/new", root + "/moved");
  faulty.powerCut();
  EXPECT_EQ(treeDiff(snapshot(root),
                     {{"kept", "old"}, {"kept.old", "old"}, {"sub", "<dir>"}, {"sub/new", "new"}}),
            "");

  // Past a few files a flush syncs the file system once instead.
  FaultyFs::Synced seen;
  faulty.observeFlush = [&](const std::function<void()>& flush) {
    return seen = watchSyncs(flush);
  };
  for (int i = 0; i < 3; ++i) fs.create(root + "/many" + std::to_string(i))->write("m", 1);
  fs.flush();
  EXPECT_TRUE(seen.whole);
  EXPECT_TRUE(seen.files.empty());

  // Files changed where they are change no folder, and count once however
  // often they are opened: one is synced itself, more sync their file system.
  for (int files : {1, 3}) {
    for (int again = 0; again < 2; ++again)
      for (int i = 0; i < files; ++i)
        fs.openUpdate(root + "/many" + std::to_string(i))->write(files == 1 ? "1" : "3", 1);
    fs.flush();
    EXPECT_EQ(seen.whole, files > 1);
    faulty.powerCut();
    for (int i = 0; i < files; ++i)
      EXPECT_EQ(snapshot(root).at("many" + std::to_string(i)), files == 1 ? "1" : "3");
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, PowerLoss, ::testing::Values(Way::Kernel, Way::Examined),
                         [](const auto& info) { return nameOf(info.param); });

// Syncs come once a phase, not once a file: a patch of many files costs
// what a patch of one does, and its flushes sync whole file systems rather
// than thousands of files one by one.
TEST(Syncs, AreAsFewForAThousandFilesAsForOne) {
  auto real = rtp::makeNativeFileSystem();
  std::size_t fsyncs = 0;
  auto syncsToApply = [&](int files) {
    TempDir w;
    for (int i = 0; i < files; ++i) {
      const std::string name = "lib/" + std::to_string(i % 7) + "/f" + std::to_string(i);
      writeFile(w.sub("old/" + name), "old " + std::to_string(i));
      writeFile(w.sub("product/" + name), "old " + std::to_string(i));
      if (i % 3 != 2) writeFile(w.sub("new/" + name), "new " + std::to_string(i));
      writeFile(w.sub("new/added/" + name), "added " + std::to_string(i));
    }
    rtp::makePatch(w.sub("old"), w.sub("new"), w.sub("p.rtp"), &testSigningKey());
    FaultyFs counting(*real);
    fsyncs = 0;
    counting.observeFlush = [&](const std::function<void()>& flush) {
      FaultyFs::Synced s = watchSyncs(flush);
      fsyncs += s.files.size() + s.folders.size();
      return s;
    };
    const rtp::Outcome o =
        rtp::applyPatch(counting, w.sub("p.rtp"), w.sub("product"), trustTestKey(true));
    EXPECT_TRUE(o.ok()) << o.message;
    EXPECT_EQ(treeDiff(snapshot(w.sub("product/added")), snapshot(w.sub("new/added"))), "");
    return counting.syncs();
  };
  const long one = syncsToApply(1);
  EXPECT_LE(one, 7);
  EXPECT_EQ(syncsToApply(1000), one);
  EXPECT_LE(fsyncs, 20u);
}

TEST_F(Apply, NextCallRollsBackAnInterruptedPatchFirst) {
  FaultyFs faulty(*real);
  faulty.crashAt = 30;
  EXPECT_FALSE(apply(faulty, true).ok());
  EXPECT_TRUE(exists(product + "/rtpatch.journal"));
  rtp::Outcome o = apply(*real);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(o.recoveredJournal);
  EXPECT_EQ(treeDiff(snapshot(product), newTree()),
            "");  // the backup of the rolled-back try is gone too
}

namespace {
// Leaves a replace half done: the original has its second name, then the
// swap fails. The volume has no keep(), so the replace keeps it itself.
class HalfReplaceFs : public FaultyFs {
 public:
  using FaultyFs::FaultyFs;
  // The examination hands each call to these, as confined.
  std::unique_ptr<rtp::FileSystem> confine(const std::string& root) override {
    return rtp::confineByExamining(*this, root);
  }
  bool keep(const std::string&, const std::string&) override { return false; }
  void replace(const std::string&, const std::string& target, const std::string& saved) override {
    if (::link(target.c_str(), saved.c_str()) != 0) throw rtp::IoFailure("link failed");
    throw rtp::IoFailure("simulated failure after keeping the original");
  }
};
}  // namespace

TEST_F(Apply, HalfDoneReplaceIsUndoneWithoutLeftovers) {
  HalfReplaceFs fs(*real);
  rtp::Outcome o = apply(fs, true);
  EXPECT_EQ(o.result, rtp::Result::IoError);
  EXPECT_EQ(treeDiff(snapshot(product), oldTree()), "");
}

TEST(CommandLine, ParsesTheUpdatersForm) {
  rtp::CommandLine cl;
  ASSERT_TRUE(rtp::parseCommandLine(
      "\"r7r8s.rtp\" \"C:\\Program Files\\Brennock\\Velmora\" /b /nop /nos ", cl));
  EXPECT_EQ(cl.patchPath, "r7r8s.rtp");
  EXPECT_EQ(cl.productDir, "C:\\Program Files\\Brennock\\Velmora");
  EXPECT_TRUE(cl.options.backup);
  ASSERT_TRUE(rtp::parseCommandLine("\"a.rtp\" \"dir\" /nob /nop ", cl));
  EXPECT_FALSE(cl.options.backup);
  ASSERT_TRUE(rtp::parseCommandLine("a.rtp dir /B", cl));
  EXPECT_TRUE(cl.options.backup);
  ASSERT_TRUE(rtp::parseCommandLine("\"a.rtp\" \"dir\"", cl));
  EXPECT_FALSE(cl.options.backup);
  std::string err;
  EXPECT_FALSE(rtp::parseCommandLine("\"a.rtp\" \"dir", cl, &err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(rtp::parseCommandLine("\"a.rtp\" /b", cl));
  EXPECT_FALSE(rtp::parseCommandLine("a b c", cl));
  EXPECT_FALSE(rtp::parseCommandLine("\"\" \"dir\"", cl));
  EXPECT_FALSE(rtp::parseCommandLine("", cl));
}

TEST_F(Apply, CommandLineEntryAppliesWithBackup) {
  const std::string spaced = work.sub("Program Files/Velmora");
  stdfs::create_directories(spaced);
  materialise(spaced, oldTree());
  auto fs = rtp::makeNativeFileSystem();
  rtp::CommandLine cl;
  ASSERT_TRUE(rtp::parseCommandLine("\"" + patch + "\" \"" + spaced + "\" /b /nop /nos ", cl));
  cl.options.trustedKey = testPublicKey();
  rtp::Outcome o = rtp::applyPatch(*fs, cl.patchPath, cl.productDir, cl.options);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(treeDiff(snapshot(spaced), newTreeWithBackup()), "");
}
