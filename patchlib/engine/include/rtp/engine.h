// The patch engine's API: apply or verify one patch on a product tree.
// Nothing throws across these functions; every outcome is a Result.
#ifndef RTP_ENGINE_H
#define RTP_ENGINE_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "rtp/crypto.h"
#include "rtp/format.h"
#include "rtp/fs.h"
#include "rtp/result.h"

namespace rtp {

struct ApplyOptions {
  bool backup = false;  // keep originals below <product>/backup/
  // Only patches this key signed are applied; without one none is.
  std::optional<crypto::PublicKey> trustedKey;
  // What the signed patch must be for (empty fields: anything).
  Binding required;
};

// Per file: beginFile, fileName, then percent on every whole-percent change
// (0 and 100 included). Returning false cancels: the patch is rolled back.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual bool beginFile(std::size_t index, std::size_t count) = 0;
  virtual bool fileName(const std::string& relativePath) = 0;
  virtual bool percent(int percent) = 0;
};

enum class FileState {
  Pending,   // at its old content (or absent, for an add): will be changed
  Done,      // already at its new content
  Mismatch,  // neither: the patch does not fit this tree
};

struct FileReport {
  std::string path;
  OpKind kind = OpKind::Add;
  FileState state = FileState::Pending;
  std::string detail;
};

struct Outcome {
  Result result = Result::Ok;
  std::string message;            // first error, for people
  std::vector<FileReport> files;  // filled once the tree was examined
  bool recoveredJournal = false;  // an interrupted patch was rolled back first
  Binding binding;                // what the patch is signed for, once that was read
  bool ok() const { return result == Result::Ok; }
};

Outcome applyPatch(FileSystem& fs, const std::string& patchPath, const std::string& productDir,
                   const ApplyOptions& options, ProgressSink* progress = nullptr);

// Reads and checks the patch (signed by trusted, for what required names)
// and compares the tree with it; changes nothing.
Outcome verifyPatch(FileSystem& fs, const std::string& patchPath, const std::string& productDir,
                    const crypto::PublicKey& trusted, const Binding& required = {});

// Rolls back (or finishes) a patch interrupted in productDir, if any.
Outcome recoverInterrupted(FileSystem& fs, const std::string& productDir);

// What a patch says about itself; filled as far as the reader got.
struct PatchInfo {
  PatchId id{};
  crypto::KeyId signer{};  // all zero: unsigned
  Binding binding;         // what the signed header says the patch is for
};

// Reads and checks a patch without a tree (listing, signing, fuzzing). With
// trusted null only its integrity is checked, not who signed it.
Outcome readPatch(File& patch, const crypto::PublicKey* trusted,
                  std::vector<PatchOp>* ops = nullptr, PatchInfo* info = nullptr,
                  const Binding& required = {});

}  // namespace rtp

#endif
