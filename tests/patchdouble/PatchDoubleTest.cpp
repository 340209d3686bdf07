// The PATCHW32.dll double must look like the real library to the loader
// (ordinal 1 only, no names) and follow its script faithfully, or every
// updater test built on it proves nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PatchW32.h"
#include "TempDir.h"
#include "TestFiles.h"

namespace {

bool exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What the callback saw, and what it answers next.
struct CallbackLog {
  std::vector<std::string> seen;
  std::vector<void*> answers;  // answered in order; afterwards nonEmpty
  size_t next = 0;
  int pumpsBeforeNull = -1;  // for id 0: answer null after this many
  int pumps = 0;
};
CallbackLog* g_log = nullptr;
char g_empty[] = "";
char g_text[] = "C:\\Velmora";

void* __stdcall recordingCallback(int id, void* param) {
  std::string what = std::to_string(id);
  if (id == 0) {
    ++g_log->pumps;
    if (g_log->pumpsBeforeNull >= 0 && g_log->pumps > g_log->pumpsBeforeNull) return nullptr;
    return g_empty;
  }
  if (!param)
    what += " null";
  else if (id == 5)
    what += " word " + std::to_string(*static_cast<unsigned short*>(param));
  else
    what += " text " + std::string(static_cast<const char*>(param));
  g_log->seen.push_back(what);
  return g_log->next < g_log->answers.size() ? g_log->answers[g_log->next++] : g_text;
}

class PatchDouble : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = dir_ + "\\script.txt";
    record_ = dir_ + "\\record.txt";
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", script_.c_str());
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", record_.c_str());
    GetCurrentDirectoryA(sizeof oldCwd_, oldCwd_);
    SetCurrentDirectoryA(dir_.c_str());
    g_log = &log_;
  }
  void TearDown() override {
    SetCurrentDirectoryA(oldCwd_);
    SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", nullptr);
    SetEnvironmentVariableA("VELMORA_PATCH_RECORD", nullptr);
    g_log = nullptr;
  }
  void script(const std::string& text) { WriteWholeFile(script_, text); }
  std::vector<std::string> record() { return readLines(record_); }

  testsupport::TempDir folder_{"velmora-patchdouble"};
  const std::string dir_ = folder_.Path();
  std::string script_, record_;
  char oldCwd_[MAX_PATH] = {};
  CallbackLog log_;
};

const IMAGE_NT_HEADERS* ntHeaders(HMODULE module) {
  auto base = reinterpret_cast<const BYTE*>(module);
  auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

TEST(PatchDoubleExports, OnlyOrdinalOneWithoutName) {
  HMODULE dll = LoadLibraryA("PATCHW32.dll");
  ASSERT_NE(dll, nullptr);
  EXPECT_NE(GetProcAddress(dll, MAKEINTRESOURCEA(1)), nullptr);
  EXPECT_EQ(GetProcAddress(dll, MAKEINTRESOURCEA(2)), nullptr);
  EXPECT_EQ(GetProcAddress(dll, "PatchEntry"), nullptr);
  EXPECT_EQ(GetProcAddress(dll, "PatchEntry@12"), nullptr);
  EXPECT_EQ(GetProcAddress(dll, "_PatchEntry@12"), nullptr);

  auto base = reinterpret_cast<const BYTE*>(dll);
  const IMAGE_DATA_DIRECTORY& dirEntry =
      ntHeaders(dll)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dirEntry.VirtualAddress, 0u);
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dirEntry.VirtualAddress);
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
  EXPECT_EQ(exports->NumberOfNames, 0u);
  EXPECT_STRCASEEQ(reinterpret_cast<const char*>(base + exports->Name), "PATCHW32.dll");
  FreeLibrary(dll);
}

// The import library must make the program import by ordinal 1 and nothing
// else, and the loader must bind that slot to the DLL's ordinal 1.
TEST(PatchDoubleExports, ProgramImportsEntryByOrdinal) {
  ASSERT_EQ(PatchEntry(nullptr, nullptr, 1), 0);  // keeps the import referenced
  HMODULE exe = GetModuleHandleA(nullptr);
  HMODULE dll = GetModuleHandleA("PATCHW32.dll");
  ASSERT_NE(dll, nullptr);
  auto base = reinterpret_cast<const BYTE*>(exe);
  const IMAGE_DATA_DIRECTORY& dirEntry =
      ntHeaders(exe)->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  auto desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dirEntry.VirtualAddress);
  const IMAGE_IMPORT_DESCRIPTOR* patch = nullptr;
  for (; desc->Name != 0; ++desc)
    if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), "PATCHW32.dll") == 0)
      patch = desc;
  ASSERT_NE(patch, nullptr);
  auto lookup = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + patch->OriginalFirstThunk);
  auto bound = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + patch->FirstThunk);
  ASSERT_TRUE(IMAGE_SNAP_BY_ORDINAL(lookup[0].u1.Ordinal));
  EXPECT_EQ(IMAGE_ORDINAL(lookup[0].u1.Ordinal), 1u);
  EXPECT_EQ(lookup[1].u1.Ordinal, 0u) << "only one entry is imported";
  EXPECT_EQ(reinterpret_cast<FARPROC>(bound[0].u1.Function),
            GetProcAddress(dll, MAKEINTRESOURCEA(1)));
}

TEST_F(PatchDouble, WithoutScriptRecordsCallExactlyAndReturnsZero) {
  SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", nullptr);
  const char* cmd = "\"C:\\Velmora CD\\r7r8s.rtp\"  C:\\Velmora  ";  // blanks kept as given
  EXPECT_EQ(PatchEntry(cmd, recordingCallback, 1), 0);
  EXPECT_EQ(PatchEntry("second", recordingCallback, 7), 0);
  char cwd[MAX_PATH];
  GetCurrentDirectoryA(sizeof cwd, cwd);
  std::vector<std::string> expected = {"call",
                                       std::string("cmdline ") + cmd,
                                       "cmdlen " + std::to_string(strlen(cmd)),
                                       "arg3 1",
                                       std::string("cwd ") + cwd,
                                       "block none",
                                       "result 0",
                                       "end",
                                       "call",
                                       "cmdline second",
                                       "cmdlen 6",
                                       "arg3 7",
                                       std::string("cwd ") + cwd,
                                       "block none",
                                       "result 0",
                                       "end"};
  EXPECT_EQ(record(), expected);
  EXPECT_TRUE(log_.seen.empty());
}

TEST_F(PatchDouble, EventsPassParametersByKindAndRecordAnswers) {
  script(
      "# disk change, file progress\n"
      "event 5 513\n"
      "event 7 data\\main file.dat\n"
      "event 8\n"
      "event 42 anything\n"
      "event 9\n"
      "touch ran.txt\n"
      "return 3\n"
      "touch never.txt\n");
  char other[] = "x";
  log_.answers = {g_empty, other, g_text, reinterpret_cast<void*>(static_cast<intptr_t>(1))};
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), 3);
  EXPECT_EQ(log_.seen, (std::vector<std::string>{"5 word 513", "7 text data\\main file.dat",
                                                 "8 null", "42 text anything", "9 null"}));
  std::vector<std::string> rec = record();
  std::vector<std::string> tail(rec.begin() + 5, rec.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{"block *", "answer 5 go empty", "answer 7 go text",
                                      "answer 8 go text", "answer 42 go unreadable",
                                      "answer 9 go text", "touch ran.txt ok", "result 3", "end"}));
  EXPECT_TRUE(exists(dir_ + "\\ran.txt"));
  EXPECT_FALSE(exists(dir_ + "\\never.txt"));
}

TEST_F(PatchDouble, NullAnswerAbandonsRemainingSteps) {
  script("abandon-return 12\nevent 7 a.dat\nevent 7 b.dat\ntouch after.txt\nreturn 1\n");
  log_.answers = {g_empty, nullptr};
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), 12);
  EXPECT_EQ(log_.seen.size(), 2u);
  std::vector<std::string> rec = record();
  ASSERT_GE(rec.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(rec.end() - 5, rec.end()),
            (std::vector<std::string>{"answer 7 go empty", "answer 7 null", "abandoned",
                                      "result 12", "end"}));
  EXPECT_FALSE(exists(dir_ + "\\after.txt"));
}

TEST_F(PatchDouble, BlockChosenByPatchFileName) {
  script(
      "patch r7r8s.rtp\ntouch s.txt\nreturn 1\n"
      "patch R7R8P.RTP\ntouch p.txt\nreturn 2\n"
      "patch *\ntouch other.txt\nreturn 9\n");
  EXPECT_EQ(PatchEntry("\"D:\\patches\\r7r8p.rtp\" C:\\Velmora", recordingCallback, 1), 2);
  EXPECT_EQ(PatchEntry("D:/patches/R7R8S.rtp", recordingCallback, 1), 1);
  // Only whole file names count: neither a longer name nor a prefix matches.
  EXPECT_EQ(PatchEntry("xr7r8s.rtp r7r8s.rtpx", recordingCallback, 1), 9);
  EXPECT_TRUE(exists(dir_ + "\\s.txt"));
  EXPECT_TRUE(exists(dir_ + "\\p.txt"));
  EXPECT_TRUE(exists(dir_ + "\\other.txt"));

  script("patch r7r8s.rtp\nreturn 1\n");
  EXPECT_EQ(PatchEntry("r7r8p.rtp", recordingCallback, 1), 0) << "unmatched patch runs nothing";
  std::vector<std::string> rec = record();
  EXPECT_EQ(rec[rec.size() - 3], "block none");
}

TEST_F(PatchDouble, PumpStopsAtFirstNullOrAfterCount) {
  script("pump-until-null 50 0\nevent 8\n");
  log_.pumpsBeforeNull = 3;
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), 0);
  EXPECT_EQ(log_.pumps, 4);
  EXPECT_TRUE(log_.seen.empty()) << "the null answer abandons the patch";
  std::vector<std::string> rec = record();
  EXPECT_EQ(rec[rec.size() - 4], "pump 4 null");

  std::remove(record_.c_str());
  script("pump-until-null 5 1\nevent 8\n");
  log_.pumpsBeforeNull = -1;
  log_.pumps = 0;
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), 0);
  EXPECT_EQ(log_.pumps, 5);
  rec = record();
  EXPECT_EQ(rec[rec.size() - 4], "pump 5 go");
  EXPECT_EQ(log_.seen, std::vector<std::string>{"8 null"});
}

TEST_F(PatchDouble, BadScriptOrNullCallbackFailsWithoutCallingBack) {
  script("event 7 a.dat\nfrobnicate\n");
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), -1);
  script("event 5 65536\n");
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), -1);
  EXPECT_TRUE(log_.seen.empty());
  std::vector<std::string> rec = record();
  EXPECT_EQ(rec[5], "error line 2: unknown step: frobnicate");
  EXPECT_EQ(rec[13].rfind("error line 1: event 5 needs a 16-bit number", 0), 0u) << rec[13];

  script("event 8 x\n");
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), -1);
  EXPECT_EQ(record()[21], "error line 1: event 8 takes no argument: event 8 x");

  script("event 8\n");
  EXPECT_EQ(PatchEntry("r7r8s.rtp", nullptr, 1), -1);
  rec = record();
  EXPECT_EQ(rec[rec.size() - 3], "callback-null");

  SetEnvironmentVariableA("VELMORA_PATCH_SCRIPT", (dir_ + "\\missing.txt").c_str());
  EXPECT_EQ(PatchEntry("r7r8s.rtp", recordingCallback, 1), -1);
}

}  // namespace
