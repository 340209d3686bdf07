// PATCHW32.dll: the updater's patch library. One entry, exported by ordinal 1
// without a name, that applies one patch file to a product directory as a
// transaction, reporting each file through the updater's callback. It applies
// only patches signed by the release key built into it (PatchW32Key.h) for
// this product, this release and the name asked for.
#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "PatchW32.h"
#include "PatchW32Key.h"
#include "rtp/command_line.h"
#include "rtp/engine.h"

namespace {

// What this medium brings: a patch must be signed for it.
constexpr char kProduct[] = "Velmora";
constexpr char kToRelease[] = "8";

static_assert(PATCHW32_OK == static_cast<int>(rtp::Result::Ok) &&
                  PATCHW32_BAD_ARGUMENTS == static_cast<int>(rtp::Result::BadArguments) &&
                  PATCHW32_PATCH_UNREADABLE == static_cast<int>(rtp::Result::PatchUnreadable) &&
                  PATCHW32_PATCH_CORRUPT == static_cast<int>(rtp::Result::PatchCorrupt) &&
                  PATCHW32_UNSUPPORTED_VERSION ==
                      static_cast<int>(rtp::Result::UnsupportedVersion) &&
                  PATCHW32_WRONG_INSTALLATION == static_cast<int>(rtp::Result::WrongInstallation) &&
                  PATCHW32_IO_ERROR == static_cast<int>(rtp::Result::IoError) &&
                  PATCHW32_CANCELLED == static_cast<int>(rtp::Result::Cancelled) &&
                  PATCHW32_ROLLBACK_FAILED == static_cast<int>(rtp::Result::RollbackFailed) &&
                  PATCHW32_INTERNAL_ERROR == static_cast<int>(rtp::Result::InternalError) &&
                  PATCHW32_NOT_SIGNED == static_cast<int>(rtp::Result::NotSigned) &&
                  PATCHW32_WRONG_PATCH == static_cast<int>(rtp::Result::WrongPatch),
              "the library's results are the engine's");

class CallbackSink : public rtp::ProgressSink {
 public:
  explicit CallbackSink(PatchCallbackFn callback) : m_callback(callback) {}

  bool beginFile(std::size_t, std::size_t) override {
    return m_callback(PATCHW32_EVENT_NEXT_FILE, nullptr) != nullptr;
  }
  bool fileName(const std::string& relativePath) override {
    std::string name = relativePath;
    for (char& c : name)
      if (c == '/') c = '\\';
    return m_callback(PATCHW32_EVENT_FILE_NAME, &name[0]) != nullptr;
  }
  bool percent(int percent) override {
    unsigned short value = static_cast<unsigned short>(percent * PATCHW32_PERCENT_SCALE);
    return m_callback(PATCHW32_EVENT_PROGRESS, &value) != nullptr;
  }

 private:
  PatchCallbackFn m_callback;
};

bool Exists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRelative(const std::string& path) {
  return !path.empty() && path[0] != '\\' && path[0] != '/' &&
         !(path.size() >= 2 && path[1] == ':');
}

// The updater names the patch file alone: it is looked for in the current
// directory (the product directory), then beside the running program, where
// the release medium keeps it.
std::string LocatePatch(const std::string& named) {
  if (!IsRelative(named) || Exists(named)) return named;
  char program[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) return named;
  std::string beside(program, length);
  const std::string::size_type slash = beside.find_last_of("\\/");
  beside = beside.substr(0, slash == std::string::npos ? 0 : slash + 1) + named;
  return Exists(beside) ? beside : named;
}

int Apply(const char* commandLine, PatchCallbackFn callback) {
  if (!commandLine) return static_cast<int>(rtp::Result::BadArguments);
  rtp::CommandLine parsed;
  if (!rtp::parseCommandLine(commandLine, parsed))
    return static_cast<int>(rtp::Result::BadArguments);
  // A drive designator alone ("D:") means the drive's root here, not the
  // drive's current directory.
  if (parsed.productDir.size() == 2 && parsed.productDir[1] == ':') parsed.productDir += '\\';
  rtp::crypto::PublicKey releaseKey;
  std::copy(std::begin(kReleasePublicKey), std::end(kReleasePublicKey), releaseKey.begin());
  parsed.options.trustedKey = releaseKey;
  // The updater names each patch by its role: the name it was asked for,
  // not the file found, is what the signed name must be.
  parsed.options.required = {kProduct, rtp::patchNameOf(parsed.patchPath), "", kToRelease};
  if (parsed.options.required.name.empty()) return static_cast<int>(rtp::Result::BadArguments);
  CallbackSink sink(callback);
  std::unique_ptr<rtp::FileSystem> fs = rtp::makeNativeFileSystem();
  const rtp::Outcome outcome =
      rtp::applyPatch(*fs, LocatePatch(parsed.patchPath), parsed.productDir, parsed.options,
                      callback ? &sink : nullptr);
  return static_cast<int>(outcome.result);
}

}  // namespace

// The third argument is reserved; the updater always passes 1.
extern "C" int __stdcall PatchEntry(const char* commandLine, PatchCallbackFn callback, int) {
  // Nothing may unwind into the caller's frames.
  try {
    return Apply(commandLine, callback);
  } catch (...) {
    return static_cast<int>(rtp::Result::InternalError);
  }
}
