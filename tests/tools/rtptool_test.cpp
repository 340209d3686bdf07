// Runs the rtptool program the way a release engineer or a script would.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "rtp/engine.h"
#include "support.h"

using namespace rtptest;
namespace stdfs = std::filesystem;

namespace {

struct ToolRun {
  int code = -1;
  std::string out;  // stdout and stderr together
};

std::string quote(const std::string& s) { return "'" + s + "'"; }

const std::string kTestKey = quote(std::string(RTP_KEYS_DIR) + "/test-release-key.pem");
const std::string kTestPublic = quote(std::string(RTP_KEYS_DIR) + "/test-release-key.pub.pem");
const std::string kSign = " --key " + kTestKey;
const std::string kTrust = " --trust " + kTestPublic;

ToolRun rtptool(const std::string& args, const std::string& redirect = "2>&1") {
  ToolRun r;
  std::FILE* p = popen((std::string(RTPTOOL) + " " + args + " " + redirect).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(t.sub("old/Velmora.exe"), executableLike(200000, 1));
    Bytes changed = executableLike(200000, 1);
    for (std::size_t i = 1000; i < 3000; ++i) changed[i] ^= 0x5a;
    writeFile(t.sub("new/Velmora.exe"), changed);
    writeFile(t.sub("old/readme.txt"), "7");
    writeFile(t.sub("new/readme.txt"), "8");
    writeFile(t.sub("new/tax/2027.tbl"), "rates");
    stdfs::copy(t.sub("old"), t.sub("tree"), stdfs::copy_options::recursive);
    patch = t.sub("r7r8s.rtp");
  }
  TempDir t;
  std::string patch;
};

}  // namespace

TEST(ToolUsage, HelpListsEveryExitCode) {
  ToolRun h = rtptool("--help");
  EXPECT_EQ(h.code, 0);
  for (const char* s :
       {"make OLD NEW PATCH [--key PRIVATE]", "sign PATCH --key PRIVATE", "keygen PRIVATE PUBLIC",
        "list PATCH [--trust PUBLIC]", "verify PATCH TREE --trust PUBLIC", "--backup",
        "--passphrase-env VAR", "--passphrase-file FILE", " 0  success", " 5  tree does not fit",
        " 8  rollback failed", "10  not signed", "20  make failed", "21  key failed",
        "release DESCRIPTION", "22  a release check failed"})
    EXPECT_NE(h.out.find(s), std::string::npos) << s;
  EXPECT_EQ(rtptool("").code, 1);
  EXPECT_EQ(rtptool("frobnicate").code, 1);
  EXPECT_EQ(rtptool("make onlyone").code, 1);
  EXPECT_EQ(rtptool("apply a").code, 1);
}

TEST_F(Tool, MakeListVerifyApply) {
  ToolRun m = rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " +
                      quote(patch) + kSign);
  ASSERT_EQ(m.code, 0) << m.out;
  EXPECT_NE(m.out.find("1 added, 2 modified"), std::string::npos) << m.out;

  ToolRun l = rtptool("list " + quote(patch));
  ASSERT_EQ(l.code, 0) << l.out;
  EXPECT_NE(l.out.find("modify  Velmora.exe"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("delta"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("mkdir   tax"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("add     tax/2027.tbl"), std::string::npos) << l.out;

  ToolRun v = rtptool("verify " + quote(patch) + " " + quote(t.sub("tree")) + kTrust);
  EXPECT_EQ(v.code, 0) << v.out;
  EXPECT_NE(v.out.find("4 to change, 0 already done"), std::string::npos) << v.out;

  ToolRun a = rtptool("apply " + quote(patch) + " " + quote(t.sub("tree")) + " --backup" + kTrust);
  ASSERT_EQ(a.code, 0) << a.out;
  EXPECT_EQ(readBytes(t.sub("tree/Velmora.exe")), readBytes(t.sub("new/Velmora.exe")));
  EXPECT_EQ(readBytes(t.sub("tree/backup/Velmora.exe")), readBytes(t.sub("old/Velmora.exe")));
  EXPECT_EQ(a.out.find('\r'), std::string::npos) << "progress bar drawn on a pipe";

  ToolRun again = rtptool("verify " + quote(patch) + " " + quote(t.sub("tree")) + kTrust);
  EXPECT_EQ(again.code, 0);
  EXPECT_NE(again.out.find("0 to change, 4 already done"), std::string::npos) << again.out;
}

TEST_F(Tool, FailuresHaveTheirOwnExitCodes) {
  ASSERT_EQ(rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " + quote(patch) +
                    kSign)
                .code,
            0);
  writeFile(t.sub("tree/readme.txt"), "pro");
  ToolRun v = rtptool("verify " + quote(patch) + " " + quote(t.sub("tree")) + kTrust);
  EXPECT_EQ(v.code, 5);
  EXPECT_NE(v.out.find("MISMATCH modify  readme.txt"), std::string::npos) << v.out;
  EXPECT_EQ(rtptool("apply " + quote(patch) + " " + quote(t.sub("tree")) + kTrust).code, 5);
  EXPECT_EQ(readBytes(t.sub("tree/readme.txt")), (Bytes{'p', 'r', 'o'}));

  EXPECT_EQ(rtptool("list " + quote(t.sub("none.rtp"))).code, 2);
  EXPECT_EQ(rtptool("apply " + quote(t.sub("none.rtp")) + " " + quote(t.sub("tree")) + kTrust).code,
            2);
  Bytes cut = readBytes(patch);
  cut.resize(cut.size() - 5);
  writeFile(t.sub("cut.rtp"), cut);
  ToolRun c = rtptool("list " + quote(t.sub("cut.rtp")));
  EXPECT_EQ(c.code, 3);
  EXPECT_NE(c.out.find("truncated"), std::string::npos) << c.out;
  EXPECT_EQ(rtptool("apply " + quote(patch) + " " + quote(t.sub("nowhere")) + kTrust).code, 1);
  ToolRun m = rtptool("make " + quote(t.sub("missing")) + " " + quote(t.sub("new")) + " " +
                      quote(t.sub("x.rtp")));
  EXPECT_EQ(m.code, 20);
  EXPECT_NE(m.out.find("not found"), std::string::npos) << m.out;
}

TEST_F(Tool, ProgressBarOnlyOnATerminal) {
  if (std::system("command -v script >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no script(1) to make a terminal";
  ASSERT_EQ(rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " + quote(patch) +
                    kSign)
                .code,
            0);
  const std::string cmd = std::string(RTPTOOL) + " apply " + patch + " " + t.sub("tree") + kTrust;
  std::FILE* p = popen(("script -qec " + quote(cmd) + " /dev/null 2>&1").c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(WEXITSTATUS(pclose(p)), 0) << out;
  EXPECT_NE(out.find("] 100%"), std::string::npos) << out;
  EXPECT_NE(out.find('\r'), std::string::npos);
}

TEST_F(Tool, RecoverRollsBackAnInterruptedApplyAndSaysSo) {
  ASSERT_EQ(rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " + quote(patch) +
                    kSign)
                .code,
            0);
  auto real = rtp::makeNativeFileSystem();
  FaultyFs power(*real);
  power.crashAt = 8;  // past the journal's start, before the commit
  ASSERT_FALSE(rtp::applyPatch(power, patch, t.sub("tree"), trustTestKey()).ok());
  ASSERT_TRUE(exists(t.sub("tree/rtpatch.journal")));

  ToolRun r = rtptool("recover " + quote(t.sub("tree")));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("rolled back"), std::string::npos) << r.out;
  EXPECT_EQ(treeDiff(snapshot(t.sub("tree")), snapshot(t.sub("old"))), "");
  ToolRun again = rtptool("recover " + quote(t.sub("tree")));
  EXPECT_EQ(again.code, 0);
  EXPECT_NE(again.out.find("no interrupted patch"), std::string::npos) << again.out;
  EXPECT_EQ(rtptool("recover " + quote(t.sub("nowhere"))).code, 1);
}

TEST_F(Tool, KeygenSignAndTrust) {
  const std::string key = quote(t.sub("k.pem")), pub = quote(t.sub("k.pub.pem"));
  const std::string tree = " " + quote(t.sub("tree"));
  ::unsetenv("RTPTEST_PASS");
  ToolRun g = rtptool("keygen " + key + " " + pub + " --passphrase-env RTPTEST_PASS");
  EXPECT_EQ(g.code, 21) << "the variable is not set: " << g.out;
  EXPECT_FALSE(exists(t.sub("k.pem")));
  ::setenv("RTPTEST_PASS", "horse battery", 1);
  g = rtptool("keygen " + key + " " + pub + " --passphrase-env RTPTEST_PASS");
  ASSERT_EQ(g.code, 0) << g.out;
  EXPECT_NE(g.out.find("(encrypted)"), std::string::npos) << g.out;
  const std::string id = g.out.substr(g.out.find("key id ") + 7, 32);
  EXPECT_EQ(rtptool("keygen " + key + " " + quote(t.sub("other.pub.pem"))).code, 21)
      << "never over a key";

  // Made unsigned: listed as such, refused by verify and apply.
  ToolRun m =
      rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " + quote(patch));
  ASSERT_EQ(m.code, 0) << m.out;
  EXPECT_NE(m.out.find("unsigned"), std::string::npos) << m.out;
  EXPECT_NE(rtptool("list " + quote(patch)).out.find("\nunsigned\n"), std::string::npos);
  EXPECT_EQ(rtptool("verify " + quote(patch) + tree).code, 1) << "no key to trust";
  EXPECT_EQ(rtptool("apply " + quote(patch) + tree).code, 1) << "no key to trust";
  ToolRun v = rtptool("verify " + quote(patch) + tree + " --trust " + pub);
  EXPECT_EQ(v.code, 10);
  EXPECT_NE(v.out.find("not signed by the release key: patch is not signed"), std::string::npos)
      << v.out;
  EXPECT_EQ(rtptool("apply " + quote(patch) + tree + " --trust " + pub).code, 10);
  EXPECT_EQ(readBytes(t.sub("tree/readme.txt")), (Bytes{'7'}));

  // Signed in place, with the passphrase from a file.
  EXPECT_EQ(rtptool("sign " + quote(patch) + " --key " + key).code, 21)
      << "encrypted key without passphrase";
  writeFile(t.sub("pass.txt"), "horse battery\n");
  ToolRun s = rtptool("sign " + quote(patch) + " --key " + key + " --passphrase-file " +
                      quote(t.sub("pass.txt")));
  ASSERT_EQ(s.code, 0) << s.out;
  EXPECT_EQ(rtptool("sign " + quote(patch) + kSign).code, 21) << "already signed";

  ToolRun l = rtptool("list " + quote(patch) + " --trust " + pub);
  EXPECT_EQ(l.code, 0) << l.out;
  EXPECT_NE(l.out.find("signed by key " + id + ": signature valid"), std::string::npos) << l.out;
  l = rtptool("list " + quote(patch) + kTrust);
  EXPECT_EQ(l.code, 10) << l.out;
  EXPECT_NE(l.out.find("signed by key " + id), std::string::npos) << l.out;
  EXPECT_EQ(rtptool("verify " + quote(patch) + tree + kTrust).code, 10);
  EXPECT_EQ(rtptool("apply " + quote(patch) + tree + kTrust).code, 10);
  EXPECT_EQ(readBytes(t.sub("tree/readme.txt")), (Bytes{'7'}));
  ToolRun a = rtptool("apply " + quote(patch) + tree + " --trust " + pub);
  EXPECT_EQ(a.code, 0) << a.out;
  EXPECT_EQ(readBytes(t.sub("tree/readme.txt")), (Bytes{'8'}));

  // Keys that cannot serve.
  EXPECT_EQ(rtptool("verify " + quote(patch) + tree + " --trust " + key).code, 21)
      << "a private key file";
  ::setenv("RTPTEST_PASS", "wrong", 1);
  ToolRun w = rtptool("make " + quote(t.sub("old")) + " " + quote(t.sub("new")) + " " +
                      quote(t.sub("w.rtp")) + " --key " + key + " --passphrase-env RTPTEST_PASS");
  EXPECT_EQ(w.code, 21) << w.out;
  EXPECT_FALSE(exists(t.sub("w.rtp")));
  ::unsetenv("RTPTEST_PASS");
}
