// The patch file format (docs/patch-format.md) and its checked reader.
#ifndef RTP_FORMAT_H
#define RTP_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtp/crypto.h"
#include "rtp/fs.h"
#include "rtp/result.h"

namespace rtp {

struct Hash128 {
  std::uint64_t low = 0, high = 0;
  bool operator==(const Hash128& o) const { return low == o.low && high == o.high; }
  bool operator!=(const Hash128& o) const { return !(*this == o); }
  std::string hex() const;
};

Hash128 hashBytes(const void* data, std::size_t n);

// Incremental XXH3-128.
class Hasher {
 public:
  Hasher();
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;
  void update(const void* data, std::size_t n);
  Hash128 digest() const;

 private:
  void* state_;
};

// Hashes a whole file; progress may be null.
Hash128 hashFile(File& f, std::uint64_t* sizeOut = nullptr);

namespace format {
constexpr char kMagic[8] = {'R', 'T', 'P', 'A', 'T', 'C', 'H', '\x1a'};
// One byte after the magic; earlier formats stored 1 and 2 there too.
constexpr std::uint8_t kVersion = 3;
// Key id, then r || s.
constexpr std::size_t kSignatureBlockSize = crypto::kKeyIdSize + crypto::kSignatureSize;
// Section types. Each data stream is one raw LZMA2 stream over the whole
// patch, read front to back by the operations in their order; a type appears
// at most once, and an empty stream not at all.
constexpr std::uint32_t kSectionOps = 1;
constexpr std::uint32_t kSectionLiterals = 2;
constexpr std::uint32_t kSectionCommands = 3;
constexpr std::uint32_t kSectionPositions = 4;
constexpr std::uint32_t kSectionDifferences = 5;
// The four data streams of a small patch in one LZMA2 stream, in place of
// types 2 to 5 (never beside them): the streams' lengths as varints, in type
// order, then their bytes. Separate sections would cost a table entry and a
// coder's flush and end marker each, more than such streams hold.
constexpr std::uint32_t kSectionSmallStreams = 6;
// The records and the four data streams in one, in place of types 1 to 6:
// five lengths, then their bytes. A patch of a few changed bytes then pays
// for one table entry and one coder, not two.
constexpr std::uint32_t kSectionSmallPatch = 7;
constexpr std::uint32_t kSectionCount = 7;
// What the engine holds in memory of either: decoded, and stored (what LZMA2
// needs for that much data it cannot compress).
constexpr std::uint32_t kMaxSmallStreams = 64u << 10;
constexpr std::uint32_t kMaxSmallStreamsStored = kMaxSmallStreams + kMaxSmallStreams / 16 + 64;
constexpr std::uint32_t kMaxSections = 8;
// The signed bytes (magic to the end of the section table) are found from
// their size alone before the signature is checked: it must lie within these.
constexpr std::size_t kMinSignedSize = 18;  // magic, version, size, four empty texts, ...
constexpr std::size_t kMaxSignedSize = 1024;
// Product, patch name and releases: short printable text.
constexpr std::size_t kMaxTextLength = 64;
constexpr std::size_t kOpFixedSize = 56;
// Limits keep a hostile patch from exhausting a 32-bit process.
constexpr std::uint32_t kMaxOps = 50000;
constexpr std::uint64_t kMaxOpsSection = 4u << 20;  // stored, and decoded
constexpr std::size_t kMaxPathLength = 1024;
constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 48;
// The largest LZMA2 dictionary a stream of each type may declare: the
// decoder's memory is at most these, whatever the file sizes. A stream
// declares its own (a power of two, stored as its exponent) so that a small
// patch gets small decoders.
constexpr std::uint32_t kOpsDictionary = 4u << 20;
constexpr std::uint32_t kLiteralsDictionary = 4u << 20;
constexpr std::uint32_t kStreamDictionary = 512u << 10;  // commands, positions, differences
constexpr std::uint32_t kMinDictionary = 4096;           // LZMA2's smallest
constexpr std::uint32_t maxDictionary(std::uint32_t sectionType) {
  return sectionType == kSectionOps            ? kOpsDictionary
         : sectionType == kSectionLiterals     ? kLiteralsDictionary
         : sectionType >= kSectionSmallStreams ? kMaxSmallStreams
                                               : kStreamDictionary;
}
// A delta with the address predictor on holds all its commands in memory.
constexpr std::uint32_t kMaxPredictedCommands = 32768;
// Names the engine itself uses inside the product directory.
constexpr const char* kJournalName = "rtpatch.journal";
constexpr const char* kBackupDir = "backup";
constexpr const char* kNewSuffix = ".rtp-new";
constexpr const char* kOldSuffix = ".rtp-old";
}  // namespace format

enum class OpKind : std::uint8_t { MakeDir = 1, Add = 2, Modify = 3, Delete = 4, RemoveDir = 5 };
// Full: the new content is the next newSize bytes of the literal stream.
// Delta: the next commands of the command stream rebuild it from the old file
// (an add's: from its reference).
enum class Encoding : std::uint8_t { None = 0, Full = 1, Delta = 2 };

const char* opKindName(OpKind k);
// Whether a record of kind k names the content before, and the content after.
bool carriesOld(OpKind k);
bool carriesNew(OpKind k);

struct PatchOp {
  OpKind kind = OpKind::MakeDir;
  Encoding encoding = Encoding::None;
  std::string path;  // relative, '/' separated, validated
  std::uint64_t oldSize = 0;
  Hash128 oldHash;
  std::uint64_t newSize = 0;
  Hash128 newHash;
  // POSIX permission bits an added file gets (0: the platform's default).
  std::uint32_t mode = 0;
  // An add made as a delta: the file it is made from, one the patch leaves
  // as it is (the old size and hash are that file's).
  std::string reference;
};

// Whether the record names a reference: an add made as a delta.
inline bool namesReference(const PatchOp& op) {
  return op.kind == OpKind::Add && op.encoding == Encoding::Delta;
}

// Where a section lies in the patch file, the dictionary its stream declares
// (0 for an empty section), and the SHA-256 its stored bytes must have.
struct SectionRange {
  std::uint64_t offset = 0, length = 0;
  std::uint32_t dictionary = 0;
  crypto::Digest sha256{};
};

// What a signed patch is for: the product, its name as released ("r7r8s",
// without ".rtp") and the releases it goes from and to. In a requirement an
// empty field asks for nothing.
struct Binding {
  std::string product, name, from, to;
};

// The patch name a file name stands for: its last component without ".rtp"
// (any case).
std::string patchNameOf(const std::string& path);
// Empty when the patch's binding meets the required one, else what differs.
// Names compare without case, as Windows compares file names.
std::string bindingMismatch(const Binding& patch, const Binding& required);

namespace format {
struct Section {
  std::uint32_t type = 0;
  SectionRange range;
};

// The signed part of the header: what the reader believes once the
// signature holds, and what the writer writes. The sections' offsets follow
// from their order: they lie back to back after the signature block.
struct Header {
  Binding binding;
  std::uint32_t opCount = 0;
  std::uint64_t totalNewBytes = 0;
  std::uint64_t fileSize = 0;
  std::vector<Section> sections;  // non-empty ones only
};

// Empty when text may be a product, name or release, else why not.
std::string whyNotText(const std::string& text);
// The signed bytes of h; the signature block follows them.
std::vector<unsigned char> writeHeader(const Header& h);
// Sets h.fileSize to the header, signature block and listed sections.
void fitFileSize(Header& h);
// From the first bytes of a file (magic, version, size; `have` of them):
// how many bytes the signature covers. Nothing else is looked at, so
// nothing else is believed. Throws Error: 3 for no patch, 4 for another
// version, `fault` for a size that cannot be.
std::size_t signedSize(const unsigned char* p, std::size_t have, Result fault);
// The fields of the signed bytes, each within its rules (types, dictionaries,
// limits, the sections adding up to the file size). Throws Error: 3, or 4
// for an unknown section type.
Header readHeader(const unsigned char* p, std::size_t signedSize);
}  // namespace format

class SmallStreams;

// The data streams of a patch, by section type: the four, or the one that
// holds them all (then the four are empty). That one is read once, by
// whoever reads first, and serves every reader after.
struct StreamRanges {
  SectionRange literals, commands, positions, differences;
  std::shared_ptr<SmallStreams> small;
};

// First 16 bytes of SHA-256 of the signed header bytes; the journal records it.
using PatchId = std::array<unsigned char, 16>;

// Reads and checks a patch's header, section table, signature and operation
// records; nothing of those is trusted before load() returns. The data
// streams are read once, by the PatchDecoder that uses them, and hashed as
// they are read: they are vouched for only once it has finished.
class PatchReader {
 public:
  // With a trusted key the patch must carry that key's signature, and any
  // change after signing is Result::NotSigned. Without one (listing) only its
  // integrity is checked. A patch signed for anything but `required` is
  // Result::WrongPatch.
  PatchReader(File& file, const crypto::PublicKey* trusted, Binding required = {})
      : file_(file), trusted_(trusted), required_(std::move(required)) {}
  void load();
  // After load(): decodes every stream to its end, writing nothing, with
  // the checks an apply makes of them.
  void checkStreams();
  const std::vector<PatchOp>& ops() const { return ops_; }
  const PatchId& id() const { return id_; }
  // All zero for an unsigned patch; known once the header has been read,
  // even when load() fails later.
  const crypto::KeyId& signerKeyId() const { return signerKeyId_; }
  // What the signed header says the patch is for; known once it was read.
  const Binding& binding() const { return header_.binding; }
  const StreamRanges& streams() const { return streams_; }
  File& file() { return file_; }
  // What a fault of bytes the signature covers means: with a trusted key,
  // they are not what the key signed.
  Result tampered() const { return trusted_ ? Result::NotSigned : Result::PatchCorrupt; }

 private:
  void readHeader();
  void checkSignature(const std::vector<unsigned char>& header, std::size_t signedSize);
  void checkTable();
  std::vector<unsigned char> readRecords();
  void parseOps(const std::vector<unsigned char>& bytes);

  File& file_;
  const crypto::PublicKey* trusted_;
  Binding required_;
  std::uint64_t fileSize_ = 0;
  format::Header header_;
  SectionRange opsRange_;
  StreamRanges streams_;
  PatchId id_{};
  crypto::KeyId signerKeyId_{};
  std::vector<PatchOp> ops_;
};

}  // namespace rtp

#endif
