// rtptool run through the host's shell, as a script would: the cases of
// rtptool_cases.cpp, and what only a terminal shows.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "rtptool_run.h"

namespace rtptest {

std::string quote(const std::string& path) { return "'" + path + "'"; }

const std::string kSign = " --key " + quote(std::string(RTP_KEYS_DIR) + "/test-release-key.pem");
const std::string kTrust =
    " --trust " + quote(std::string(RTP_KEYS_DIR) + "/test-release-key.pub.pem");

ToolRun rtptool(const std::string& args) {
  ToolRun r;
  std::FILE* p = popen((std::string(RTPTOOL) + " " + args + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

void setVariable(const char* name, const char* value) {
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
}

}  // namespace rtptest

using namespace rtptest;

TEST_F(Tool, ProgressBarOnlyOnATerminal) {
  if (std::system("command -v script >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "no script(1) to make a terminal";
  ASSERT_EQ(rtptool(make()).code, 0);
  const std::string cmd = std::string(RTPTOOL) + " apply " + patch + " " + at("tree") + kTrust;
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
