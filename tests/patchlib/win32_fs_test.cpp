// The engine on the Win32 file system, under Wine: the DLL's view of the
// product folder (backslashes, read-only files, ReplaceFile).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "FaultyFs.h"
#include "TempDir.h"
#include "TestReleaseKey.h"
#include "corpus_trees.h"
#include "rtp/command_line.h"
#include "rtp/engine.h"
#include "rtp/maker.h"
#include "rtp/win32_fs.h"
#include "support.h"

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
  if (!rtp::parseCommandLine(text, cl))
    return rtp::Outcome{rtp::Result::BadArguments, text, {}, false, {}};
  return rtp::applyPatch(fs, cl.patchPath, cl.productDir, trustTestKey(cl.options));
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
  rtp::Outcome o = applyCommandLine(
      *fs, "\"" + corpus("valid-sample.rtp") + "\" \"" + product + "\" /b /nop /nos ");
  ASSERT_TRUE(o.ok()) << o.message;
  TreeText want = rtptest::sampleNewTree();
  const TreeText old = sampleOld();
  want["backup"] = "<dir>";
  want["backup/Velmora.exe"] = old.at("Velmora.exe");
  want["backup/readme.txt"] = old.at("readme.txt");
  want["backup/legacy"] = "<dir>";
  want["backup/legacy/old.dll"] = old.at("legacy/old.dll");
  EXPECT_EQ(snapshot(product), want);

  rtp::Outcome again =
      applyCommandLine(*fs, "\"" + corpus("valid-sample.rtp") + "\" \"" + product + "\" /nob ");
  ASSERT_TRUE(again.ok()) << again.message;
  for (const rtp::FileReport& r : again.files) EXPECT_EQ(r.state, rtp::FileState::Done) << r.path;
}

// A read-only file is replaced and stays read-only, in its backup copy
// too; when the update fails late (a file held open) and rolls back, the
// file is as it was, attribute and all.
TEST_F(Win32Apply, ReadOnlyProductFilesAreReplacedAndStayReadOnly) {
  const struct { bool backup, heldOpen; } cases[] = {{false, false}, {true, false}, {true, true}};
  const char* const readOnly[] = {"Velmora.exe", "legacy\\old.dll"};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.backup ? "with backup" : "") + (c.heldOpen ? ", held open" : ""));
    testsupport::RemoveTree(product);
    fs->makeDir(product);
    lay(sampleOld());
    for (const char* rel : readOnly)
      ASSERT_TRUE(SetFileAttributesA((product + "\\" + rel).c_str(), FILE_ATTRIBUTE_READONLY));
    // readme.txt is replaced after Velmora.exe: no one may move it while it is open.
    const HANDLE held =
        c.heldOpen ? CreateFileA((product + "\\readme.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                   : INVALID_HANDLE_VALUE;
    ASSERT_EQ(held != INVALID_HANDLE_VALUE, c.heldOpen);
    rtp::ApplyOptions opts = trustTestKey();
    opts.backup = c.backup;
    rtp::Outcome o = rtp::applyPatch(*fs, corpus("valid-sample.rtp"), product, opts);
    if (c.heldOpen) CloseHandle(held);
    const auto isReadOnly = [&](const std::string& rel) {
      const DWORD a = GetFileAttributesA((product + "\\" + rel).c_str());
      return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
    };
    if (c.heldOpen) {
      EXPECT_EQ(o.result, rtp::Result::IoError) << o.message;
      EXPECT_EQ(snapshot(product), sampleOld());
      for (const char* rel : readOnly) EXPECT_TRUE(isReadOnly(rel)) << rel;
      continue;
    }
    ASSERT_TRUE(o.ok()) << o.message;
    TreeText after = snapshot(product);
    if (c.backup) {
      EXPECT_TRUE(isReadOnly("backup\\Velmora.exe"));
      EXPECT_TRUE(isReadOnly("backup\\legacy\\old.dll"));
      EXPECT_FALSE(isReadOnly("backup\\readme.txt"));
      for (auto it = after.begin(); it != after.end();)
        it = it->first.rfind("backup", 0) == 0 ? after.erase(it) : std::next(it);
    }
    EXPECT_EQ(after, rtptest::sampleNewTree());
    EXPECT_TRUE(isReadOnly("Velmora.exe"));
    EXPECT_FALSE(isReadOnly("readme.txt"));
  }
}

TEST_F(Win32Apply, FailureOrPowerLossAtEveryStepLeavesOldOrNewTree) {
  rtp::ApplyOptions opts = trustTestKey();
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
      const std::string exe = product + "\\Velmora.exe";
      ASSERT_TRUE(SetFileAttributesA(exe.c_str(), FILE_ATTRIBUTE_READONLY));
      FaultyFs faulty(*fs);
      (crash ? faulty.crashAt : faulty.failAt) = n;
      rtp::Outcome o = rtp::applyPatch(faulty, corpus("valid-sample.rtp"), product, opts);
      ASSERT_TRUE(rtp::recoverInterrupted(*fs, product).ok());
      // Old or new, it is read-only as it was.
      EXPECT_TRUE(GetFileAttributesA(exe.c_str()) & FILE_ATTRIBUTE_READONLY) << "step " << n;
      TreeText after = snapshot(product);
      if (after != old) {
        after.erase("backup");
        for (auto it = after.begin(); it != after.end();)
          it = it->first.rfind("backup/", 0) == 0 ? after.erase(it) : std::next(it);
        ASSERT_EQ(after, rtptest::sampleNewTree())
            << (crash ? "power loss" : "failure") << " at step " << n;
      } else if (!crash) {
        ASSERT_FALSE(o.ok()) << "step " << n;
      }
    }
  }
}

// A large file that a patch changes in a few bytes is changed where it is,
// the same file; a read-only one is replaced and stays read-only. A failure
// or power loss at any step leaves the old or the new file.
TEST_F(Win32Apply, ALargeFileChangedInAFewPlacesIsChangedWhereItIs) {
  fs->flush();
  const rtptest::Bytes random = rtptest::randomBytes(std::size_t(3) << 19, 9);
  const std::string before(random.begin(), random.end());
  std::string after = before;
  for (std::size_t at : {std::size_t(1000), before.size() - 9}) after[at] ^= 1;
  const auto write = [&](const std::string& dir, const std::string& content) {
    if (fs->stat(dir).type == rtp::EntryType::None) fs->makeDir(dir);
    fs->create(dir + "\\core.dll")->write(content.data(), content.size());
    fs->flush();  // nothing left for the engine's flush to find gone
  };
  write(root + "\\old", before);
  write(root + "\\new", after);
  const std::string patch = root + "\\core.rtp";
  rtp::makePatch(root + "\\old", root + "\\new", patch, &rtptest::testSigningKey());
  const std::string dll = product + "\\core.dll";
  const auto fileId = [&] {
    const HANDLE h = CreateFileA(dll.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    return (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  };
  const auto fresh = [&](bool readOnly) {
    testsupport::RemoveTree(product);
    write(product, before);
    if (readOnly) SetFileAttributesA(dll.c_str(), FILE_ATTRIBUTE_READONLY);
    return fileId();
  };
  for (bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "writable");
    const std::uint64_t id = fresh(readOnly);
    const rtp::Outcome o = rtp::applyPatch(*fs, patch, product, trustTestKey());
    ASSERT_TRUE(o.ok()) << o.message;
    EXPECT_EQ(snapshot(product), (TreeText{{"core.dll", after}}));
    EXPECT_EQ(fileId() == id, !readOnly);
    EXPECT_EQ((GetFileAttributesA(dll.c_str()) & FILE_ATTRIBUTE_READONLY) != 0, readOnly);
  }
  FaultyFs counting(*fs);
  fresh(false);
  ASSERT_TRUE(rtp::applyPatch(counting, patch, product, trustTestKey()).ok());
  for (int crash = 0; crash < 2; ++crash) {
    for (long n = 1; n <= counting.steps(); ++n) {
      fresh(false);
      FaultyFs faulty(*fs);
      (crash ? faulty.crashAt : faulty.failAt) = n;
      rtp::applyPatch(faulty, patch, product, trustTestKey());
      ASSERT_TRUE(rtp::recoverInterrupted(*fs, product).ok());
      const std::string got = snapshot(product).at("core.dll");
      ASSERT_TRUE(got == before || got == after)
          << (crash ? "power loss" : "failure") << " at step " << n;
    }
  }
}

namespace {

// What Windows answers for junctions and symbolic links, which Wine cannot
// make: the attribute query and the opened handle report a reparse point
// for the names listed, everything else is the real file system.
struct Reparse {
  static std::map<std::string, DWORD>& points() {  // folded path -> attributes to add
    static std::map<std::string, DWORD> p;
    return p;
  }
  static std::map<HANDLE, DWORD>& handles() {
    static std::map<HANDLE, DWORD> h;
    return h;
  }
  static const DWORD* find(LPCSTR path) {
    std::string key = path;
    CharLowerBuffA(&key[0], static_cast<DWORD>(key.size()));
    auto it = points().find(key);
    return it == points().end() ? nullptr : &it->second;
  }
  static BOOL WINAPI attributes(LPCSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID out) {
    if (!GetFileAttributesExA(path, level, out)) return FALSE;
    if (const DWORD* extra = find(path))
      static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(out)->dwFileAttributes |= *extra;
    return TRUE;
  }
  static HANDLE WINAPI create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD how, DWORD flags, HANDLE tmpl) {
    HANDLE h = CreateFileA(path, access, share, sa, how, flags, tmpl);
    if (h != INVALID_HANDLE_VALUE) {
      if (const DWORD* extra = find(path))
        handles()[h] = *extra;
      else
        handles().erase(h);
    }
    return h;
  }
  static BOOL WINAPI info(HANDLE h, LPBY_HANDLE_FILE_INFORMATION out) {
    if (!GetFileInformationByHandle(h, out)) return FALSE;
    auto it = handles().find(h);
    if (it != handles().end()) out->dwFileAttributes |= it->second;
    return TRUE;
  }
};

constexpr DWORD kJunction = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kFileLink = FILE_ATTRIBUTE_REPARSE_POINT;

class Win32Links : public Win32Apply {
 protected:
  void TearDown() override { Reparse::points().clear(); }
  void mark(const std::string& rel, DWORD attributes) {
    std::string key = rel.empty() ? product : fs->join(product, rel);
    CharLowerBuffA(&key[0], static_cast<DWORD>(key.size()));
    Reparse::points()[key] = attributes;
  }
  rtp::Outcome apply(bool backup = false) {
    rtp::ApplyOptions o = trustTestKey();
    o.backup = backup;
    return rtp::applyPatch(*seamed, corpus("valid-sample.rtp"), product, o);
  }
  std::unique_ptr<rtp::FileSystem> seamed =
      rtp::makeWin32FileSystem(rtp::Win32Api{Reparse::attributes, Reparse::create, Reparse::info});
};

}  // namespace

TEST_F(Win32Links, AJunctionOrLinkOnTheWayOrAtTheFileIsAMismatchWithNothingChanged) {
  const struct {
    const char* rel;
    DWORD attributes;
  } cases[] = {{"legacy", kJunction},       // above a file the patch deletes
               {"data", kJunction},         // above a file the patch leaves alone
               {"Velmora.exe", kFileLink},  // a file the patch modifies
               {"legacy/old.dll", kFileLink}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rel);
    mark(c.rel, c.attributes);
    rtp::Outcome o = apply();
    if (std::string(c.rel) == "data") {
      // No operation goes through data/: the patch applies.
      EXPECT_TRUE(o.ok()) << o.message;
      testsupport::RemoveTree(product);
      fs->makeDir(product);
      lay(sampleOld());
    } else {
      EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << o.message;
      EXPECT_EQ(snapshot(product), sampleOld());
    }
    Reparse::points().clear();
  }
}

TEST_F(Win32Links, LinksAtTemporaryNamesAreRemovedAsThemselvesNeverOpened) {
  lay({{"Velmora.exe.rtp-new", "a file link's own bytes"}, {"readme.txt.rtp-new", "<dir>"}});
  mark("Velmora.exe.rtp-new", kFileLink);
  mark("readme.txt.rtp-new", kJunction);
  rtp::Outcome o = apply();
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(snapshot(product), rtptest::sampleNewTree());
}

TEST_F(Win32Links, AFileWhoseHandleIsAReparsePointIsNotRead) {
  // Plain when examined by name, a reparse point once opened: a link
  // swapped in meanwhile.
  struct OnOpen {
    static BOOL WINAPI info(HANDLE h, LPBY_HANDLE_FILE_INFORMATION out) {
      if (!GetFileInformationByHandle(h, out)) return FALSE;
      if (out->nFileSizeLow == 20000)
        out->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;  // Velmora.exe
      return TRUE;
    }
  };
  auto racing =
      rtp::makeWin32FileSystem(rtp::Win32Api{GetFileAttributesExA, CreateFileA, OnOpen::info});
  EXPECT_THROW(racing->openRead(fs->join(product, "Velmora.exe")), rtp::IoFailure);
  rtp::Outcome o = rtp::applyPatch(*racing, corpus("valid-sample.rtp"), product, trustTestKey());
  EXPECT_FALSE(o.ok());
  EXPECT_EQ(snapshot(product), sampleOld());
}

TEST_F(Win32Links, AProductFolderReachedThroughAJunctionIsFollowed) {
  mark("", kJunction);
  rtp::Outcome o = apply(true);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(snapshot(product).count("tax/2027.tbl"), 1u);
}

TEST_F(Win32Links, AJunctionAtTheBackupFolderIsRefusedWithBackupsOn) {
  lay({{"backup", "<dir>"}});
  mark("backup", kJunction);
  EXPECT_EQ(apply(true).result, rtp::Result::WrongInstallation);
  TreeText withBackupDir = sampleOld();
  withBackupDir["backup"] = "<dir>";
  EXPECT_EQ(snapshot(product), withBackupDir);
}
