// rtptool.exe run under Wine as a release engineer runs it in a console:
// the cases of rtptool_cases.cpp with Windows paths, and what only Windows
// has.
#include <windows.h>

#include <algorithm>

#include "rtptool_run.h"

namespace rtptest {

namespace {

std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

const std::string kKeys = backslashed(RTP_KEYS_DIR);

}  // namespace

std::string quote(const std::string& path) { return "\"" + path + "\""; }

const std::string kSign = " --key " + quote(kKeys + "\\test-release-key.pem");
const std::string kTrust = " --trust " + quote(kKeys + "\\test-release-key.pub.pem");

// stdout and stderr through one pipe, as a script sees them.
ToolRun rtptool(const std::string& args) {
  ToolRun r;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return r;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  std::string command = quote(backslashed(RTPTOOL)) + " " + args;
  const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (started) {
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0) r.out.append(buf, n);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    r.code = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(readEnd);
  for (std::size_t at; (at = r.out.find("\r\n")) != std::string::npos;) r.out.erase(at, 1);
  return r;
}

void setVariable(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }

}  // namespace rtptest

using namespace rtptest;
namespace stdfs = std::filesystem;

TEST(ToolUsage, HelpNamesTheKeysWindowsReads) {
  ToolRun h = rtptool("--help");
  EXPECT_NE(h.out.find("PEM private key file (PKCS#8"), std::string::npos) << h.out;
  EXPECT_EQ(h.out.find("OpenSSL"), std::string::npos) << "no OpenSSL providers on Windows";
}

// The properties a release engineer checks before signing it, as on the
// medium's two programs.
TEST(ToolUsage, VersionResourceNamesTheProductAndRelease) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(RTPTOOL, &ignored);
  ASSERT_GT(size, 0u);
  std::string data(size, '\0');
  ASSERT_TRUE(GetFileVersionInfoA(RTPTOOL, 0, size, &data[0]));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(0, 8));
  for (const auto& [field, want] : {std::pair<const char*, const char*>{"CompanyName", "Brennock"},
                                    {"ProductName", "Velmora"},
                                    {"ProductVersion", "Release 8"},
                                    {"OriginalFilename", "rtptool.exe"}}) {
    char* value = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(),
                               (std::string("\\StringFileInfo\\040904E4\\") + field).c_str(),
                               reinterpret_cast<void**>(&value), &length))
        << field;
    EXPECT_STREQ(value, want) << field;
  }
}

// A file that another program holds open without sharing: nothing changes.
TEST_F(Tool, AFileHeldOpenStopsTheApplyBeforeAnyChange) {
  ASSERT_EQ(rtptool(make()).code, 0);
  const HANDLE held = CreateFileA(at("tree/Velmora.exe").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const Snapshot before = snapshot(at("old"));
  ToolRun busy = rtptool("apply " + quote(patch) + " " + quote(at("tree")) + kTrust);
  CloseHandle(held);
  EXPECT_EQ(busy.code, 6) << busy.out;
  EXPECT_EQ(treeDiff(snapshot(at("tree")), before), "");
}

// A two-edition release described with Windows paths: a drive-letter key and
// backslashed trees, resolved against the description's folder.
TEST_F(Tool, ReleaseMakesAndChecksEveryPatch) {
  for (const char* edition : {"standard", "pro"}) {
    const std::string r7 = std::string("7-") + edition, r8 = std::string("8-") + edition;
    Bytes program = executableLike(60000, edition[0]);
    writeFile(t.sub(r7 + "\\app.exe"), program);
    for (std::size_t i = 500; i < 900; ++i) program[i] ^= 0x33;
    writeFile(t.sub(r8 + "\\app.exe"), program);
    writeFile(t.sub(r7 + "\\edition.txt"), edition);
    writeFile(t.sub(r8 + "\\edition.txt"), std::string(edition) + " 8");
    writeFile(t.sub(r7 + "\\tax.dat"), "rates 7");
    writeFile(t.sub(r8 + "\\tax.dat"), "rates 8");
    for (const char* r : {"7-", "8-"}) {
      stdfs::copy(t.sub(r + std::string(edition)), t.sub(r + std::string(edition) + "-part"),
                  stdfs::copy_options::recursive);
      stdfs::remove(t.sub(r + std::string(edition) + "-part\\tax.dat"));
    }
  }
  writeFile(t.sub("tax-old\\tax.dat"), "rates 7");
  writeFile(t.sub("tax-new\\tax.dat"), "rates 8");
  const std::string description =
      "[release]\n"
      "key = " +
      kKeys +
      "\\test-release-key.pem\n"
      "trust = " +
      kKeys +
      "\\test-release-key.pub.pem\n"
      "output = out\\patches\n"
      "product = Velmora\nfrom = 7\nto = 8\n"
      "[installation standard]\nold = 7-standard\nnew = 8-standard\n"
      "[installation pro]\nold = 7-pro\nnew = 8-pro\n"
      "[patch r7r8s]\nold = 7-standard-part\nnew = 8-standard-part\nfits = standard\nrefuses = "
      "pro\n"
      "[patch r7r8p]\nold = 7-pro-part\nnew = 8-pro-part\nfits = pro\nrefuses = standard\n"
      "[patch taxtbl]\nold = tax-old\nnew = tax-new\nfits = standard, pro\n";
  writeFile(t.sub("release.ini"), description);
  ToolRun r = rtptool("release " + quote(t.sub("release.ini")));
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("release: the patches in " + t.sub("out\\patches") + " hold every check"),
            std::string::npos)
      << r.out;
  for (const char* name : {"r7r8s", "r7r8p", "taxtbl"})
    EXPECT_EQ(
        rtptool("list " + quote(t.sub("out\\patches\\" + std::string(name) + ".rtp")) + kTrust)
            .code,
        0)
        << name;

  // A pro installation that the patches do not lead to.
  writeFile(t.sub("8-pro\\edition.txt"), "pro 8.1");
  r = rtptool("release " + quote(t.sub("release.ini")));
  EXPECT_EQ(r.code, 22) << r.out;
  EXPECT_NE(r.out.find("FAIL  pro: the chain ends at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("differs edition.txt"), std::string::npos) << r.out;
}
