// Helpers shared by the patch engine tests: scratch trees, snapshots, and (from
// the shared test support) a file system that fails or "loses power" at a
// chosen step.
#ifndef RTP_TEST_SUPPORT_H
#define RTP_TEST_SUPPORT_H

#include <cstdint>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "FaultyFs.h"
#include "TempDir.h"
#include "rtp/engine.h"
#include "rtp/fs.h"
#include "rtp/maker.h"
#include "rtp/signer.h"

namespace rtptest {

using Bytes = std::vector<unsigned char>;

// The two ways the engine confines itself below a product folder: the
// kernel's (the native file system's on Linux) and the examination of each
// folder (Win32's, and any file system's by default). A FaultyFs asks for
// the way it is set to.
enum class Way { Kernel, Examined };
inline const char* nameOf(Way w) { return w == Way::Kernel ? "Kernel" : "Examined"; }
inline void PrintTo(Way w, std::ostream* os) { *os << nameOf(w); }

// The shared temporary folder under these tests' names.
class TempDir : public testsupport::TempDir {
 public:
  TempDir() : testsupport::TempDir("rtptest") {}
  const std::string& path() const { return Path(); }
  std::string sub(const std::string& rel) const { return File(rel); }
};

void writeFile(const std::string& path, const std::string& content);
void writeFile(const std::string& path, const Bytes& content);
Bytes readBytes(const std::string& path);
bool exists(const std::string& path);

// path -> content for files, "<dir>" for folders.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const std::string& root);
// Paths whose presence or content differ, one per line; empty when equal.
// (Printing two trees of binaries would bury the difference.)
std::string treeDiff(const Snapshot& got, const Snapshot& want);
// Lays a snapshot out below root (which must exist).
void materialise(const std::string& root, const Snapshot& tree);

// Deterministic pseudo-random bytes.
Bytes randomBytes(std::size_t n, std::uint64_t seed);
// Something shaped like an executable: code-like runs, tables, strings.
Bytes executableLike(std::size_t n, std::uint64_t seed);

Bytes loadPatchBytes(const std::string& path);

// Hand-made patches, sound or hostile.
// An add operation whose content is appended to data's literal stream.
rtp::PatchOp addOp(const std::string& path, const std::string& content, rtp::PatchStreams& data);
// The repository's test release key (keys/test-release-key*.pem).
const rtp::SigningKey& testSigningKey();
const rtp::crypto::PublicKey& testPublicKey();
// Options that trust the test key.
rtp::ApplyOptions trustTestKey(bool backup = false);
// buildPatch, signed with the test key.
Bytes signedPatch(const std::vector<rtp::PatchOp>& ops, const rtp::PatchStreams& data,
                  const rtp::Binding& binding = {});
// After editing header bytes: sign the header again so only the edit is wrong.
void resign(Bytes& patch);
// A sound patch taken apart: its signed header's fields and the bytes of each
// section it lists.
struct Parts {
  rtp::format::Header header;
  std::vector<Bytes> sections;
};
Parts partsOf(const Bytes& patch);
// Put together and signed with the test key. With fit, the sections' lengths
// and hashes and the file size are made to match; without, the header is
// written as given.
Bytes assemble(Parts parts, bool fit = true);
// The patch with the section of the given type replaced by bytes (listed or
// left out, as bytes is empty), the header and signature made to fit. It
// declares the dictionary given, or (0) the type's largest.
Bytes withSection(const Bytes& patch, std::uint32_t type, const Bytes& bytes,
                  std::uint32_t dictionary = 0);
// raw as a raw LZMA2 stream with the given dictionary, and back.
Bytes lzma2Stream(const Bytes& raw, std::uint32_t dictionary);
Bytes lzma2Decode(const unsigned char* data, std::size_t size);

// Records the callback events as text; can cancel at the n-th event.
class RecordingProgress : public rtp::ProgressSink {
 public:
  std::vector<std::string> events;
  long cancelAt = -1;
  bool beginFile(std::size_t index, std::size_t count) override;
  bool fileName(const std::string& name) override;
  bool percent(int pct) override;

 private:
  bool next(const std::string& e);
};

}  // namespace rtptest

#endif
