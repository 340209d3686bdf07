// The make side: compares two product trees and writes a patch file.
// The tool links it on both platforms; the DLL never does.
#ifndef RTP_MAKER_H
#define RTP_MAKER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "rtp/format.h"

namespace rtp {

class MakeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The four data streams of a patch before compression: what the operations
// with data read, in their order (docs/patch-format.md).
struct PatchStreams {
  std::vector<unsigned char> literals, commands, positions, differences;
  void append(const PatchStreams& other);
};

// The old file's side of a delta, its suffix array: most of the memory that
// making one takes, and at its largest while being built. Given the new file
// too, it first finds the long stretches the two share; where those are most
// of new, only the old bytes outside them are sorted, at once. Otherwise the
// whole old file is (wantsWholeSort): by sortWhole once the caller has put
// the new file aside, keeping the two peaks apart, or else by encodeDelta.
// Where new holds bit-packed data moved by bits, encodeDelta sorts old and
// its bit views instead, and nothing is sorted before.
// Points into oldData, which must outlive it.
class DeltaIndex {
 public:
  DeltaIndex(const unsigned char* oldData, std::size_t oldSize);  // sorts the whole file
  DeltaIndex(const unsigned char* oldData, std::size_t oldSize, const unsigned char* newData,
             std::size_t newSize);
  DeltaIndex(DeltaIndex&&) noexcept;
  ~DeltaIndex();
  bool wantsWholeSort() const;
  void sortWhole();
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  friend PatchStreams encodeDelta(DeltaIndex, const unsigned char*, std::size_t);
};

// The streams of a delta turning old into new (Encoding::Delta): the
// smallest of the ways of matching the differ knows. The index is freed as
// soon as the matches are found.
PatchStreams encodeDelta(DeltaIndex index, const unsigned char* newData, std::size_t newSize);
PatchStreams encodeDelta(const unsigned char* oldData, std::size_t oldSize,
                         const unsigned char* newData, std::size_t newSize);

// The hashes of the 16-byte stretches of data whose hash starts with six
// zero bits (one in 64), sorted and each once: chosen by content, so a
// stretch two files share is sampled in both wherever it lies.
std::vector<std::uint32_t> sampledStretches(const unsigned char* data, std::size_t size);

// A large file rebuilt with a few bytes changed in place (a stamp) is
// compared and encoded in one read of the two, a slice at a time, so its
// time and memory follow the change rather than the file: the streams
// encodeDelta would make of it, and both hashes. Other, with nothing set,
// once more than one byte in 1,024 differs; Same when none does. Reads
// size bytes of each; throws MakeError if either has fewer.
enum class InPlace { Same, Delta, Other };
InPlace encodeInPlace(std::istream& oldData, std::istream& newData, std::uint64_t size,
                      Hash128& oldHash, Hash128& newHash, PatchStreams& out);

// What the streams, or a whole content stored in full, cost compressed on
// their own: the measure for choosing between encodings.
std::uint64_t compressedSize(const PatchStreams& streams);
std::uint64_t compressedSize(const unsigned char* content, std::size_t size);

// Serialises the operations and compresses the streams they read, with an
// empty signature block (signPatch fills it in). Does no checking: tests use
// it to build hostile patches too.
std::vector<unsigned char> buildPatch(const std::vector<PatchOp>& ops, const PatchStreams& streams,
                                      const Binding& binding = {});

class MakeProgress {
 public:
  virtual ~MakeProgress() = default;
  virtual void onFile(std::size_t index, std::size_t count, const std::string& path) = 0;
};

struct MakeStats {
  std::size_t added = 0, modified = 0, deleted = 0, dirsMade = 0, dirsRemoved = 0, unchanged = 0;
  std::uint64_t patchSize = 0;
};

class SigningKey;

// Same trees give the same bytes, but for the signature: ECDSA's nonce is
// random. Without a signer the patch is unsigned. The patch is signed for
// `binding`; an empty name is the patch file's (patchNameOf). Throws
// MakeError.
MakeStats makePatch(const std::string& oldDir, const std::string& newDir,
                    const std::string& patchPath, const SigningKey* signer = nullptr,
                    MakeProgress* progress = nullptr, Binding binding = {});

// The same, with the signer asked for only once the patch is built, before
// anything is written: the key may still be loading while the make runs (a
// key file with a passphrase takes 600,000 rounds of PBKDF2 to open). Null:
// unsigned.
using SignerWhenBuilt = std::function<const SigningKey*()>;
MakeStats makePatch(const std::string& oldDir, const std::string& newDir,
                    const std::string& patchPath, const SignerWhenBuilt& signer,
                    MakeProgress* progress = nullptr, Binding binding = {});

}  // namespace rtp

#endif
