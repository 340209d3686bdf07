// Helpers shared by the patch engine tests: scratch trees, snapshots, and a
// file system wrapper that fails or "loses power" at a chosen step.
#ifndef RTP_TEST_SUPPORT_H
#define RTP_TEST_SUPPORT_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtp/engine.h"
#include "rtp/fs.h"
#include "rtp/signer.h"

namespace rtptest {

using Bytes = std::vector<unsigned char>;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
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
// An add operation whose content is appended (compressed) to data.
rtp::PatchOp addOp(const std::string& path, const std::string& content, Bytes& data);
// The repository's test release key (keys/test-release-key*.pem).
const rtp::SigningKey& testSigningKey();
const rtp::crypto::PublicKey& testPublicKey();
// Options that trust the test key.
rtp::ApplyOptions trustTestKey(bool backup = false);
// buildPatch, signed with the test key.
Bytes signedPatch(const std::vector<rtp::PatchOp>& ops, const Bytes& data);
// After editing header fields: sign the header again so only the edit is wrong.
void resign(Bytes& patch);
void putLe(Bytes& b, std::size_t at, std::uint64_t v, int bytes);

// Wraps a real file system. Counts every step that changes the disk
// (create, write, sync, mkdir, rmdir, remove, rename, replace).
//  - failAt = n: the n-th step throws once, later ones work (an error).
//  - crashAt = n: the n-th step and all after it fail, and the n-th write
//    is torn halfway (power loss).
class FaultyFs : public rtp::FileSystem {
 public:
  explicit FaultyFs(rtp::FileSystem& real) : real_(real) {}
  long failAt = 0;
  long crashAt = 0;
  long steps() const { return steps_; }
  void reset() { steps_ = 0; failAt = crashAt = 0; }

  // Counts one step; for a write, returns how many of its n bytes get through.
  std::size_t step(std::size_t n = 0, bool tornWrite = false);

  std::string join(const std::string& root, const std::string& rel) const override { return real_.join(root, rel); }
  rtp::Stat stat(const std::string& path) override { return real_.stat(path); }
  std::unique_ptr<rtp::File> openRead(const std::string& path) override { return real_.openRead(path); }
  std::unique_ptr<rtp::File> create(const std::string& path) override;
  void makeDir(const std::string& path) override { step(); real_.makeDir(path); }
  void removeDir(const std::string& path) override { step(); real_.removeDir(path); }
  void removeFile(const std::string& path) override { step(); real_.removeFile(path); }
  std::vector<std::string> list(const std::string& dir) override { return real_.list(dir); }
  void rename(const std::string& from, const std::string& to) override { step(); real_.rename(from, to); }
  void replace(const std::string& a, const std::string& b, const std::string& c) override {
    step();
    real_.replace(a, b, c);
  }

 private:
  rtp::FileSystem& real_;
  long steps_ = 0;
};

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
