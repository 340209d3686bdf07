// Running rtptool from a test, on either platform: what each platform's file
// provides (rtptool_test.cpp through the host's shell, rtptool_exe_test.cpp
// through CreateProcess under Wine), and the trees its cases start from.
// rtptool_cases.cpp holds the cases both run.
#ifndef RTPTEST_RTPTOOL_RUN_H
#define RTPTEST_RTPTOOL_RUN_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support.h"

namespace rtptest {

struct ToolRun {
  int code = -1;
  std::string out;  // stdout and stderr together, line ends '\n'
};

// Provided by the platform's file.
ToolRun rtptool(const std::string& args);
std::string quote(const std::string& path);             // as the platform's shell quotes it
extern const std::string kSign;                         // " --key " and the test release key
extern const std::string kTrust;                        // " --trust " and its public key
void setVariable(const char* name, const char* value);  // null unsets

// Old and new releases and an installed copy of the old one, in the
// platform's own paths (on Windows a drive letter and backslashes).
class Tool : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    ASSERT_EQ(t.path().find('/'), std::string::npos);
    ASSERT_EQ(t.path()[1], ':');
#endif
    writeFile(at("old/Velmora.exe"), executableLike(200000, 1));
    Bytes changed = executableLike(200000, 1);
    for (std::size_t i = 1000; i < 3000; ++i) changed[i] ^= 0x5a;
    writeFile(at("new/Velmora.exe"), changed);
    writeFile(at("old/readme.txt"), "7");
    writeFile(at("new/readme.txt"), "8");
    writeFile(at("new/tax/2027.tbl"), "rates");
    std::filesystem::copy(at("old"), at("tree"), std::filesystem::copy_options::recursive);
    patch = at("r7r8s.rtp");
  }
  // rel ('/' separated) below the test's folder, in the platform's separators.
  std::string at(std::string rel) const {
    std::replace(rel.begin(), rel.end(), '/',
                 static_cast<char>(std::filesystem::path::preferred_separator));
    return t.sub(rel);
  }
  std::string make(const std::string& extra = kSign) const {
    return "make " + quote(at("old")) + " " + quote(at("new")) + " " + quote(patch) + extra;
  }
  TempDir t;
  std::string patch;
};

}  // namespace rtptest

#endif
