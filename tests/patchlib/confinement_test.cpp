// An elevated apply never writes outside the product: symbolic links planted
// in the product folder, at engine names or in the backup folder lead
// nowhere, and refusing them leaves the product as it was. Every case runs
// on both ways of confining (support.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "rtp/bytes.h"
#include "rtp/delta.h"
#include "rtp/engine.h"
#include "rtp/maker.h"
#include "rtp/result.h"
#include "support.h"

using namespace rtptest;
namespace stdfs = std::filesystem;

namespace {

class Confinement : public ::testing::TestWithParam<Way> {
 protected:
  void SetUp() override {
    wrapped.examineOnly = GetParam() == Way::Examined;
    const Snapshot oldTree = {{"app.bin", "old app"},
                              {"lib", "<dir>"},
                              {"lib/sub", "<dir>"},
                              {"lib/sub/f.txt", "old f"},
                              {"readme.txt", "read me"}};
    Snapshot newTree = oldTree;
    newTree["app.bin"] = "new app";
    newTree["lib/sub/f.txt"] = "new f";
    newTree["lib/sub/added.txt"] = "added";
    for (const char* d : {"old", "new", "product", "outside"})
      stdfs::create_directories(work.sub(d));
    materialise(work.sub("old"), oldTree);
    materialise(work.sub("new"), newTree);
    materialise(work.sub("product"), oldTree);
    want = newTree;
    patch = work.sub("p.rtp");
    rtp::makePatch(work.sub("old"), work.sub("new"), patch, &testSigningKey());
    writeFile(work.sub("outside/victim"), "outside content");
  }

  rtp::Outcome apply(bool backup = false, const std::string& product = "") {
    const rtp::ApplyOptions o = trustTestKey(backup);
    return rtp::applyPatch(*fs, patch, product.empty() ? work.sub("product") : product, o);
  }

  // The folder outside the product holds exactly what the test put there.
  void expectOutsideUntouched(const Snapshot& planted = {}) {
    Snapshot outside = {{"victim", "outside content"}};
    outside.insert(planted.begin(), planted.end());
    EXPECT_EQ(treeDiff(snapshot(work.sub("outside")), outside), "");
  }

  TempDir work;
  std::unique_ptr<rtp::FileSystem> native = rtp::makeNativeFileSystem();
  FaultyFs wrapped{*native};
  rtp::FileSystem* fs = &wrapped;
  std::string patch;
  Snapshot want;
};

TEST_P(Confinement, ALinkedFolderAnywhereAboveAFileIsRefusedWithNothingChanged) {
  // lib/ (two levels above the files) and lib/sub (directly above) as links.
  for (const std::string linked : {"lib", "lib/sub"}) {
    SCOPED_TRACE(linked);
    const std::string product = work.sub("product-" + std::to_string(linked.size()));
    stdfs::create_directories(product);
    materialise(product, {{"app.bin", "old app"}, {"readme.txt", "read me"}, {"lib", "<dir>"}});
    stdfs::remove_all(work.sub("outside"));
    stdfs::create_directories(work.sub("outside/sub"));
    writeFile(work.sub("outside/victim"), "outside content");
    writeFile(work.sub("outside/sub/f.txt"), "old f");
    if (linked == "lib") {
      stdfs::remove(product + "/lib");
      stdfs::create_directory_symlink(work.sub("outside"), product + "/lib");
    } else {
      stdfs::create_directory_symlink(work.sub("outside/sub"), product + "/lib/sub");
    }
    rtp::Outcome o = apply(false, product);
    EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << o.message;
    EXPECT_NE(o.message.find("link"), std::string::npos) << o.message;
    expectOutsideUntouched({{"sub", "<dir>"}, {"sub/f.txt", "old f"}});
    EXPECT_EQ(readBytes(product + "/app.bin"), Bytes({'o', 'l', 'd', ' ', 'a', 'p', 'p'}));
  }
}

TEST_P(Confinement, LinksAtEngineNamesAreRemovedNotWrittenThrough) {
  for (bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "with backup" : "without backup");
    stdfs::remove_all(work.sub("product"));
    stdfs::create_directories(work.sub("product/backup"));
    materialise(work.sub("product"), {{"app.bin", "old app"},
                                      {"lib", "<dir>"},
                                      {"lib/sub", "<dir>"},
                                      {"lib/sub/f.txt", "old f"},
                                      {"readme.txt", "read me"}});
    const std::string victim = work.sub("outside/victim");
    std::vector<std::string> names = {"app.bin.rtp-new", "app.bin.rtp-old",
                                      "lib/sub/added.txt.rtp-new", "rtpatch.journal"};
    if (backup) names.push_back("backup/app.bin.rtp-new");
    for (const std::string& name : names)
      stdfs::create_symlink(victim, work.sub("product/") + name);
    rtp::Outcome o = apply(backup);
    ASSERT_TRUE(o.ok()) << o.message;
    expectOutsideUntouched();
    EXPECT_FALSE(stdfs::is_symlink(work.sub("product/app.bin")));
    Snapshot got = snapshot(work.sub("product"));
    Snapshot expected = want;
    expected["backup"] = "<dir>";
    if (backup) {
      expected["backup/app.bin"] = "old app";
      expected["backup/lib"] = expected["backup/lib/sub"] = "<dir>";
      expected["backup/lib/sub/f.txt"] = "old f";
    }
    EXPECT_EQ(treeDiff(got, expected), "");
  }
}

TEST_P(Confinement, ALinkedBackupFolderIsRefusedWithNothingChanged) {
  stdfs::create_directory_symlink(work.sub("outside"), work.sub("product/backup"));
  rtp::Outcome o = apply(true);
  EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << o.message;
  expectOutsideUntouched();
  EXPECT_EQ(readBytes(work.sub("product/app.bin")), Bytes({'o', 'l', 'd', ' ', 'a', 'p', 'p'}));
  // Without backups the link is none of the patch's business.
  EXPECT_TRUE(apply(false).ok());
  expectOutsideUntouched();
}

TEST_P(Confinement, AProductReachedThroughALinkIsStillTheProduct) {
  stdfs::create_directory_symlink(work.sub("product"), work.sub("moved"));
  rtp::Outcome o = apply(false, work.sub("moved"));
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(treeDiff(snapshot(work.sub("product")), want), "");
}

TEST_P(Confinement, ALinkedFileIsNeitherReadNorReplaced) {
  stdfs::remove(work.sub("product/readme.txt"));
  writeFile(work.sub("outside/readme.txt"), "read me");
  stdfs::create_symlink(work.sub("outside/readme.txt"), work.sub("product/readme.txt"));
  stdfs::remove(work.sub("product/app.bin"));
  writeFile(work.sub("outside/app.bin"), "old app");
  stdfs::create_symlink(work.sub("outside/app.bin"), work.sub("product/app.bin"));
  rtp::Outcome o = apply();
  EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << o.message;
  expectOutsideUntouched({{"readme.txt", "read me"}, {"app.bin", "old app"}});

  // Nor is one an added file would be made from.
  rtp::PatchOp add;
  add.kind = rtp::OpKind::Add;
  add.encoding = rtp::Encoding::Delta;
  add.path = "copy.txt";
  add.reference = "readme.txt";
  add.oldSize = add.newSize = 7;
  add.oldHash = add.newHash = rtp::hashBytes("read me", 7);
  rtp::PatchStreams copy;
  for (std::uint64_t v : {0u, 7u << 2 | rtp::delta::Copy, 0u})  // no predictor; copy 7, no move
    rtp::bytes::putVarint(copy.commands, v);
  writeFile(patch, signedPatch({add}, copy));
  o = apply();
  EXPECT_EQ(o.result, rtp::Result::WrongInstallation) << o.message;
  EXPECT_FALSE(stdfs::exists(work.sub("product/copy.txt")));
  stdfs::remove(work.sub("product/readme.txt"));
  writeFile(work.sub("product/readme.txt"), "read me");
  o = apply();
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(snapshot(work.sub("product"))["copy.txt"], "read me");
}

// Each call, on a path through a linked folder, is refused and reaches
// nothing outside; on the link itself it acts on the link.
TEST_P(Confinement, EveryCallThroughALinkedFolderIsRefused) {
  const std::string root = work.sub("product");
  const std::unique_ptr<rtp::FileSystem> confined = fs->confine(root);
  rtp::FileSystem& c = *confined;
  stdfs::create_directories(work.sub("outside/dir"));
  stdfs::create_directory_symlink(work.sub("outside"), root + "/lib/away");
  const auto p = [&](const std::string& rel) { return c.join(root, rel); };
  const struct {
    const char* what;
    std::function<void()> call;
  } calls[] = {
      {"stat", [&] { c.stat(p("lib/away/victim")); }},
      {"openRead", [&] { c.openRead(p("lib/away/victim")); }},
      {"create", [&] { c.create(p("lib/away/new")); }},
      {"makeDir", [&] { c.makeDir(p("lib/away/newdir")); }},
      {"removeDir", [&] { c.removeDir(p("lib/away/dir")); }},
      {"removeFile", [&] { c.removeFile(p("lib/away/victim")); }},
      {"list", [&] { c.list(p("lib/away/dir")); }},
      {"list of the link", [&] { c.list(p("lib/away")); }},
      {"rename into", [&] { c.rename(p("app.bin"), p("lib/away/app.bin")); }},
      {"rename out of", [&] { c.rename(p("lib/away/victim"), p("stolen")); }},
      {"keep", [&] { c.keep(p("app.bin"), p("lib/away/app.bin")); }},
      {"replace", [&] { c.replace(p("readme.txt"), p("lib/away/victim"), p("saved")); }},
      {"a way up", [&] { c.create(p("lib/../../outside/new")); }},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call.what);
    EXPECT_ANY_THROW(call.call());
    expectOutsideUntouched({{"dir", "<dir>"}});
  }
  EXPECT_EQ(snapshot(root).count("stolen"), 0u);
  EXPECT_EQ(readBytes(root + "/app.bin"), Bytes({'o', 'l', 'd', ' ', 'a', 'p', 'p'}));

  EXPECT_EQ(c.stat(p("lib/away")).type, rtp::EntryType::Link);
  c.removeFile(p("lib/away"));
  EXPECT_FALSE(stdfs::is_symlink(root + "/lib/away"));
  expectOutsideUntouched({{"dir", "<dir>"}});

  // A link that stays inside the product is no plain folder either.
  stdfs::create_directory_symlink("sub", root + "/lib/alias");
  EXPECT_ANY_THROW(c.create(p("lib/alias/new")));
  EXPECT_FALSE(stdfs::exists(root + "/lib/sub/new"));
}

// A folder found plain by one call and then swapped for a link is refused
// by the next: no call trusts what an earlier one saw.
TEST_P(Confinement, AFolderSwappedForALinkBetweenCallsIsRefused) {
  const std::string root = work.sub("product");
  const std::unique_ptr<rtp::FileSystem> confined = fs->confine(root);
  rtp::FileSystem& c = *confined;
  ASSERT_EQ(c.stat(c.join(root, "lib/sub/f.txt")).type, rtp::EntryType::File);
  stdfs::rename(root + "/lib/sub", work.sub("outside/sub"));
  stdfs::create_directory_symlink(work.sub("outside/sub"), root + "/lib/sub");
  try {
    c.create(c.join(root, "lib/sub/new"));
    ADD_FAILURE() << "created through a link";
  } catch (const rtp::Error& e) {
    EXPECT_EQ(e.result(), rtp::Result::WrongInstallation);
    EXPECT_NE(std::string(e.what()).find("lib/sub is a link"), std::string::npos) << e.what();
  }
  EXPECT_ANY_THROW(c.rename(c.join(root, "app.bin"), c.join(root, "lib/sub/f.txt")));
  expectOutsideUntouched({{"sub", "<dir>"}, {"sub/f.txt", "old f"}});
  // Paths elsewhere are none of its business; a missing folder is missing.
  EXPECT_EQ(c.stat(work.sub("outside/sub")).type, rtp::EntryType::Directory);
  EXPECT_EQ(c.stat(c.join(root, "gone/f")).type, rtp::EntryType::None);
}

INSTANTIATE_TEST_SUITE_P(Ways, Confinement, ::testing::Values(Way::Kernel, Way::Examined),
                         [](const ::testing::TestParamInfo<Way>& i) { return nameOf(i.param); });

}  // namespace
