// The shipped PATCHW32.dll on the release's own patch files and trees,
// loaded and called as the program does: by ordinal 1, stdcall.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "PatchW32.h"
#include "PatchW32Key.h"
#include "ReleaseTrees.h"
#include "tamper.h"

namespace {

using namespace e2e;

struct Event {
  int id;
  std::string name;    // event 7
  unsigned value = 0;  // event 5
};

std::vector<Event> g_events;
// Answers null at this event (counted from 0), -1 for never.
int g_stopAt = -1;
char g_goOn[] = "";

void* __stdcall RecordingCallback(int id, void* parameter) {
  Event event{id, {}};
  if (id == PATCHW32_EVENT_FILE_NAME) event.name = static_cast<const char*>(parameter);
  if (id == PATCHW32_EVENT_PROGRESS) event.value = *static_cast<const unsigned short*>(parameter);
  g_events.push_back(event);
  return static_cast<int>(g_events.size()) - 1 == g_stopAt ? nullptr : g_goOn;
}

class PatchLibrary : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_module = LoadLibraryA((ModuleDir() + "\\PATCHW32.dll").c_str());
    if (s_module)
      s_entry = reinterpret_cast<decltype(&PatchEntry)>(
          reinterpret_cast<void*>(GetProcAddress(s_module, MAKEINTRESOURCEA(1))));
  }
  void SetUp() override {
    ASSERT_NE(s_entry, nullptr) << "PATCHW32.dll beside the test, ordinal 1";
    ASSERT_TRUE(IsFile(PatchFile("r7r8s"))) << ReleaseDir();
    g_events.clear();
    g_stopAt = -1;
  }

  // The program's command line with the shipped option settings.
  static std::string CommandLine(const std::string& patch, const std::string& dir,
                                 bool backup = false) {
    return "\"" + patch + "\" \"" + dir + "\" " + (backup ? "/b " : "/nob ") + "/nop /nos ";
  }
  static int Apply(const std::string& patch, const std::string& dir, bool backup = false) {
    return s_entry(CommandLine(patch, dir, backup).c_str(), &RecordingCallback, 1);
  }

  static HMODULE s_module;
  static decltype(&PatchEntry) s_entry;
};
HMODULE PatchLibrary::s_module = nullptr;
decltype(&PatchEntry) PatchLibrary::s_entry = nullptr;

TEST_F(PatchLibrary, ExportsOrdinalOneOnlyAndNoName) {
  const auto* base = reinterpret_cast<const BYTE*>(s_module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  EXPECT_EQ(exports->Base, 1u);
  EXPECT_EQ(exports->NumberOfFunctions, 1u);
  EXPECT_EQ(exports->NumberOfNames, 0u);
  EXPECT_EQ(GetProcAddress(s_module, "PatchEntry"), nullptr);
  EXPECT_EQ(GetProcAddress(s_module, "PatchEntry@12"), nullptr);
  EXPECT_EQ(GetProcAddress(s_module, MAKEINTRESOURCEA(2)), nullptr);
}

TEST_F(PatchLibrary, StandardEditionReachesReleaseEightThroughTheSequence) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree before = install.Read();

  ASSERT_EQ(Apply(PatchFile("r7r8s"), install.Path()), 0);
  EXPECT_EQ(Differences(AfterEditionPatch("r7-standard", "r8-standard"), install.Read()), "");

  // Events: 8 opens each file, 7 names it once, 5 climbs to 32700 within it.
  std::set<std::string> named;
  const Event* previous = nullptr;
  std::string file;
  unsigned last = 0;
  for (const Event& event : g_events) {
    SCOPED_TRACE(file);
    if (event.id == PATCHW32_EVENT_FILE_NAME) {
      ASSERT_TRUE(previous && previous->id == PATCHW32_EVENT_NEXT_FILE) << "7 follows 8";
      EXPECT_EQ(event.name.find('/'), std::string::npos) << event.name;
      EXPECT_TRUE(named.insert(event.name).second) << "named twice: " << event.name;
      file = event.name;
      last = 0;
    } else if (event.id == PATCHW32_EVENT_PROGRESS) {
      ASSERT_TRUE(previous && previous->id != 8) << "5 only after the file is named";
      EXPECT_LE(event.value, 32700u);
      EXPECT_GE(event.value, last);
      last = event.value;
    } else {
      ASSERT_EQ(event.id, 8);
      if (previous) {
        EXPECT_EQ(last, 32700u) << "the previous file ended at 100 %";
      }
    }
    previous = &event;
  }
  EXPECT_EQ(last, 32700u);
  std::set<std::string> changed = ChangedFiles(before, install.Read());
  EXPECT_EQ(named, changed) << "one name per changed file";

  // The option tokens the library does not act on are accepted.
  EXPECT_EQ(s_entry(("\"" + PatchFile("postpatch") + "\" \"" + install.Path() +
                     "\" /l /nob /noc /e /i /nom /nop /q /noa /nos /not /u /dC:\\data")
                        .c_str(),
                    &RecordingCallback, 1),
            0);
  ASSERT_EQ(Apply(PatchFile("taxtbl"), install.Path()), 0);
  const Tree r8 = ReadTree(TreeDir("r8-standard"));
  EXPECT_EQ(Differences(r8, install.Read()), "") << "no backup folder with /nob, no leftovers";

  // Applied again, every file is already at its new content.
  EXPECT_EQ(Apply(PatchFile("r7r8s"), install.Path()), 0);
  EXPECT_EQ(Apply(PatchFile("taxtbl"), install.Path()), 0);
  EXPECT_EQ(Differences(r8, install.Read()), "");
}

TEST_F(PatchLibrary, ProEditionRefusedByTheStandardPatchThenUpdatedByItsOwn) {
  Installation install("r7-pro");
  ASSERT_TRUE(install.Copied());
  const Tree before = install.Read();
  EXPECT_NE(Apply(PatchFile("r7r8s"), install.Path(), true), 0);
  EXPECT_EQ(Differences(before, install.Read()), "") << "nothing changed, no backup made";

  ASSERT_EQ(Apply(PatchFile("r7r8p"), install.Path()), 0);
  EXPECT_EQ(Differences(AfterEditionPatch("r7-pro", "r8-pro"), install.Read()), "");
  ASSERT_EQ(Apply(PatchFile("postpatch"), install.Path()), 0);
  ASSERT_EQ(Apply(PatchFile("taxtbl"), install.Path()), 0);
  EXPECT_EQ(Differences(ReadTree(TreeDir("r8-pro")), install.Read()), "");

  // Back on release 7, the other way round: a standard tree refuses "r7r8p".
  Installation standard("r7-standard");
  ASSERT_TRUE(standard.Copied());
  EXPECT_NE(Apply(PatchFile("r7r8p"), standard.Path()), 0);
  EXPECT_EQ(Differences(ReadTree(TreeDir("r7-standard")), standard.Read()), "");
}

TEST_F(PatchLibrary, DamagedOrMissingPatchFilesFailWithTheInstallationIntact) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree before = install.Read();
  const std::string good = ReadFile(PatchFile("r7r8s"));
  ASSERT_GT(good.size(), 64u);
  TempDir media("velmora-media");

  auto flipped = [&](size_t at) {
    std::string bytes = good;
    bytes[at] = static_cast<char>(bytes[at] ^ 0x41);
    return bytes;
  };
  const std::vector<std::pair<std::string, std::string>> damages = {
      {"magic", flipped(0)},
      {"header", flipped(12)},
      {"middle", flipped(good.size() / 2)},
      {"near the end", flipped(good.size() - 40)},
      {"last byte", flipped(good.size() - 1)},
      {"truncated to half", good.substr(0, good.size() / 2)},
      {"last byte cut", good.substr(0, good.size() - 1)},
      {"empty", ""},
      {"trailing garbage", good + "garbage"},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.first);
    const std::string path = media.File("r7r8s.rtp");
    WriteWholeFile(path, damage.second);
    EXPECT_NE(Apply(path, install.Path()), 0);
    EXPECT_NE(Apply(path, install.Path(), true), 0);
    EXPECT_EQ(Differences(before, install.Read()), "");
  }
  EXPECT_NE(Apply(media.File("absent.rtp"), install.Path()), 0);
  EXPECT_NE(s_entry("", &RecordingCallback, 1), 0);
  EXPECT_NE(s_entry(("\"" + PatchFile("r7r8s") + "\"").c_str(), &RecordingCallback, 1), 0)
      << "no directory";
  EXPECT_EQ(Differences(before, install.Read()), "");
}

TEST_F(PatchLibrary, AppliesOnlyWhatTheReleaseKeySigned) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree before = install.Read();
  const auto foreign = [](const char* name) {
    return ReleaseDir() + "\\foreign\\" + name + ".rtp";
  };
  EXPECT_EQ(Apply(foreign("unsigned"), install.Path(), true), PATCHW32_NOT_SIGNED);
  EXPECT_EQ(Apply(foreign("otherkey"), install.Path(), true), PATCHW32_NOT_SIGNED);
  EXPECT_EQ(Differences(before, install.Read()), "") << "nothing changed, no backup made";

  // Every alteration after signing, through the library.
  const std::string good = ReadFile(PatchFile("r7r8s")), other = ReadFile(PatchFile("taxtbl"));
  TempDir media("velmora-media");
  const std::string path = media.File("r7r8s.rtp");
  for (const rtptest::Tampered& t :
       rtptest::tamperings(std::vector<unsigned char>(good.begin(), good.end()),
                           std::vector<unsigned char>(other.begin(), other.end()))) {
    SCOPED_TRACE(t.name);
    WriteWholeFile(path, std::string(t.bytes.begin(), t.bytes.end()));
    EXPECT_EQ(Apply(path, install.Path(), true), static_cast<int>(t.expect));
  }
  EXPECT_EQ(Differences(before, install.Read()), "");

  // The unsigned patch, signed afterwards with the release key, under its name.
  ASSERT_TRUE(CopyFileA(foreign("signed-later").c_str(), path.c_str(), FALSE));
  ASSERT_EQ(Apply(path, install.Path()), PATCHW32_OK);
  EXPECT_EQ(Differences(ReadTree(TreeDir("r8-standard")), install.Read()), "");
}

TEST_F(PatchLibrary, AppliesAPatchOnlyAsWhatItWasSignedFor) {
  // Each put where the updater asks for its main patch, all signed with the
  // release key.
  struct Case {
    const char* what;
    std::string file;
    const char* tree;
  };
  const std::string foreign = ReleaseDir() + "\\foreign\\";
  const Case cases[] = {
      {"the shared patch in the main patch's place", PatchFile("postpatch"), "r7-standard"},
      {"the add-only tax tables in its place", PatchFile("taxtbl"), "r7-standard"},
      {"the pro edition's patch on a pro installation", PatchFile("r7r8p"), "r7-pro"},
      {"Release 8 back to 7", foreign + "reverse.rtp", "r8-standard"},
      {"another product's", foreign + "otherproduct.rtp", "r7-standard"},
  };
  TempDir media("velmora-media");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Installation install(c.tree);
    ASSERT_TRUE(install.Copied());
    const Tree before = install.Read();
    ASSERT_TRUE(CopyFileA(c.file.c_str(), media.File("r7r8s.rtp").c_str(), FALSE));
    EXPECT_EQ(Apply(media.File("r7r8s.rtp"), install.Path(), true), PATCHW32_WRONG_PATCH);
    EXPECT_EQ(Differences(before, install.Read()), "") << "nothing changed, no backup made";
  }
  // The name as passed is compared without case and without ".rtp".
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  ASSERT_TRUE(CopyFileA(PatchFile("r7r8s").c_str(), media.File("R7R8S.RTP").c_str(), FALSE));
  EXPECT_EQ(Apply(media.File("R7R8S.RTP"), install.Path()), PATCHW32_OK);
}

TEST_F(PatchLibrary, VersionResourceNamesTheKeyItTrusts) {
  const std::string dll = ModuleDir() + "\\PATCHW32.dll";
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, info.data()));
  char* comments = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904E4\\Comments",
                             reinterpret_cast<void**>(&comments), &length));
  const std::string text(comments);
  EXPECT_NE(text.find(kReleasePublicKey_ID), std::string::npos) << text;
  EXPECT_EQ(text.find("TEST BUILD") != std::string::npos, kReleasePublicKey_IS_TEST_KEY == 1)
      << text;
}

TEST_F(PatchLibrary, BackupKeepsTheOriginalsOfChangedFilesUnderTheirPaths) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  const Tree r7 = install.Read();
  ASSERT_EQ(Apply(PatchFile("r7r8s"), install.Path(), true), 0);
  const Tree after = install.Read({"backup"});
  EXPECT_EQ(Differences(AfterEditionPatch("r7-standard", "r8-standard"), after), "");

  // Exactly the modified and deleted files, at their release 7 content.
  Tree expected;
  for (const std::string& changed : ChangedFiles(r7, after)) {
    const auto original = r7.find(changed);
    if (original == r7.end()) continue;  // added: nothing to keep
    expected[changed] = original->second;
    for (size_t slash = changed.find('\\'); slash != std::string::npos;
         slash = changed.find('\\', slash + 1))
      expected[changed.substr(0, slash)] = kFolder;
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(Differences(expected, ReadTree(install.File("backup"))), "");

  // The next patch of the run adds its own original; the earlier ones stay.
  ASSERT_EQ(Apply(PatchFile("postpatch"), install.Path(), true), 0);
  expected[kPostPatchFile] = r7.at(kPostPatchFile);
  expected["shared"] = kFolder;
  EXPECT_EQ(Differences(expected, ReadTree(install.File("backup"))), "");
}

TEST_F(PatchLibrary, AnAbandonAtAnyEventLeavesTheInstallationAsItWas) {
  // One full run counts the events.
  {
    Installation probe("r7-standard");
    ASSERT_TRUE(probe.Copied());
    ASSERT_EQ(Apply(PatchFile("r7r8s"), probe.Path(), true), 0);
  }
  const std::vector<Event> all = g_events;
  ASSERT_GE(all.size(), 6u);
  const Tree r7 = ReadTree(TreeDir("r7-standard"));
  for (int stop = 0; stop < static_cast<int>(all.size()); ++stop) {
    SCOPED_TRACE("null answered to event " + std::to_string(stop) + " (id " +
                 std::to_string(all[stop].id) + ")");
    Installation install("r7-standard");
    ASSERT_TRUE(install.Copied());
    g_events.clear();
    g_stopAt = stop;
    EXPECT_NE(Apply(PatchFile("r7r8s"), install.Path(), stop % 2 == 0), 0);
    EXPECT_EQ(g_events.size(), static_cast<size_t>(stop) + 1) << "no event after the null answer";
    // A backup folder may remain from the backed-up run; the product files may not differ.
    EXPECT_EQ(Differences(r7, install.Read({"backup"})), "");
    // The rolled back installation still takes the patch.
    g_stopAt = -1;
    ASSERT_EQ(Apply(PatchFile("r7r8s"), install.Path()), 0);
    EXPECT_EQ(
        Differences(AfterEditionPatch("r7-standard", "r8-standard"), install.Read({"backup"})), "");
  }
}

TEST_F(PatchLibrary, FindsThePatchInTheCurrentDirectoryFirstThenBesideTheProgram) {
  Installation install("r7-standard");
  ASSERT_TRUE(install.Copied());
  TempDir current("velmora-cwd");
  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  ASSERT_TRUE(SetCurrentDirectoryA(current.Path().c_str()));

  // Beside the program only.
  const std::string beside = ModuleDir() + "\\postpatch.rtp";
  ASSERT_TRUE(CopyFileA(PatchFile("postpatch").c_str(), beside.c_str(), FALSE));
  EXPECT_EQ(Apply("postpatch.rtp", install.Path()), 0);
  Tree expected = ReadTree(TreeDir("r7-standard"));
  expected[kPostPatchFile] = ReadTree(TreeDir("r8-standard")).at(kPostPatchFile);
  EXPECT_EQ(Differences(expected, install.Read()), "");

  // Both: the current directory's copy wins over a damaged one beside the program.
  WriteWholeFile(beside, "not a patch");
  ASSERT_TRUE(
      CopyFileA(PatchFile("postpatch").c_str(), current.File("postpatch.rtp").c_str(), FALSE));
  EXPECT_EQ(Apply("postpatch.rtp", install.Path()), 0);
  EXPECT_EQ(Differences(expected, install.Read()), "");
  DeleteFileA(current.File("postpatch.rtp").c_str());
  EXPECT_EQ(Apply("postpatch.rtp", install.Path()), PATCHW32_PATCH_CORRUPT)
      << "the damaged copy beside the program";

  DeleteFileA(beside.c_str());
  EXPECT_NE(Apply("postpatch.rtp", install.Path()), 0) << "in neither place";
  SetCurrentDirectoryA(saved);
}

TEST_F(PatchLibrary, AProductDirectoryAtADriveRoot) {
  // The test run maps X: onto a folder of its own and marks it.
  if (!IsFile("X:\\velmora-e2e-drive")) GTEST_SKIP() << "drive X: is not mapped for this run";
  struct Clear {
    ~Clear() {
      Walk("X:", "", [](const std::string& rel, bool dir) {
        if (rel.find('\\') == std::string::npos && rel != "velmora-e2e-drive") {
          const std::string path = "X:\\" + rel;
          if (dir)
            RemoveTree(path);
          else
            DeleteFileA(path.c_str());
        }
      });
    }
  } clear;
  ASSERT_TRUE(CopyTree(TreeDir("r7-standard"), "X:"));

  char saved[MAX_PATH];
  GetCurrentDirectoryA(sizeof saved, saved);
  // As the program passes it: the two-character drive designator.
  SetCurrentDirectoryA("X:");
  for (const char* patch : {"r7r8s", "postpatch", "taxtbl"}) {
    SCOPED_TRACE(patch);
    EXPECT_EQ(Apply(PatchFile(patch), "X:", true), 0);
  }
  SetCurrentDirectoryA(saved);
  EXPECT_EQ(Differences(ReadTree(TreeDir("r8-standard")),
                        ReadTree("X:", {"backup", "velmora-e2e-drive"})),
            "");
  EXPECT_EQ(ReadFile("X:\\backup\\vlw32.exe"), ReadFile(TreeDir("r7-standard") + "\\vlw32.exe"))
      << "backup\\ at the drive's root";
}

}  // namespace
