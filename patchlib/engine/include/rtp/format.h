// The patch file format (docs/patch-format.md) and its checked reader.
#ifndef RTP_FORMAT_H
#define RTP_FORMAT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
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
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kFixedHeaderSize = 64;
constexpr std::size_t kSectionEntrySize = 56;
// Key id, then r || s.
constexpr std::size_t kSignatureBlockSize = crypto::kKeyIdSize + crypto::kSignatureSize;
constexpr std::uint32_t kMinSections = 2;
constexpr std::size_t kOpFixedSize = 72;
constexpr std::uint32_t kSectionOps = 1;
constexpr std::uint32_t kSectionData = 2;
constexpr std::uint32_t kMaxSections = 8;
constexpr std::size_t headerSize(std::uint32_t sections) {
  return kFixedHeaderSize + sections * kSectionEntrySize + kSignatureBlockSize;
}
// Limits keep a hostile patch from exhausting a 32-bit process.
constexpr std::uint32_t kMaxOps = 50000;
constexpr std::uint64_t kMaxOpsSection = 4u << 20;
constexpr std::size_t kMaxPathLength = 1024;
constexpr std::uint64_t kMaxFileSize = std::uint64_t(1) << 48;
// Names the engine itself uses inside the product directory.
constexpr const char* kJournalName = "rtpatch.journal";
constexpr const char* kBackupDir = "backup";
constexpr const char* kNewSuffix = ".rtp-new";
constexpr const char* kOldSuffix = ".rtp-old";
}  // namespace format

enum class OpKind : std::uint8_t { MakeDir = 1, Add = 2, Modify = 3, Delete = 4, RemoveDir = 5 };
enum class Encoding : std::uint8_t { None = 0, Full = 1, Delta = 2 };

const char* opKindName(OpKind k);

struct PatchOp {
  OpKind kind = OpKind::MakeDir;
  Encoding encoding = Encoding::None;
  std::string path;  // relative, '/' separated, validated
  std::uint64_t oldSize = 0;
  Hash128 oldHash;
  std::uint64_t newSize = 0;
  Hash128 newHash;
  std::uint64_t dataOffset = 0;  // within the data section
  std::uint64_t dataLength = 0;
  // POSIX permission bits an added file gets (0: the platform's default).
  std::uint32_t mode = 0;
};

// First 16 bytes of SHA-256 of the signed header bytes; the journal records it.
using PatchId = std::array<unsigned char, 16>;

// Reads and checks a whole patch: header, section table, signature, section
// hashes, every operation record, and the structure of every data stream.
// Nothing of the patch is trusted before load() returns.
class PatchReader {
 public:
  // With a trusted key the patch must carry that key's signature, and any
  // change after signing is Result::NotSigned. Without one (listing) only its
  // integrity is checked.
  PatchReader(File& file, const crypto::PublicKey* trusted) : file_(file), trusted_(trusted) {}
  void load();
  const std::vector<PatchOp>& ops() const { return ops_; }
  const PatchId& id() const { return id_; }
  // All zero for an unsigned patch; known once the header has been read,
  // even when load() fails later.
  const crypto::KeyId& signerKeyId() const { return signerKeyId_; }
  std::uint64_t fileSize() const { return fileSize_; }
  std::uint64_t totalNewBytes() const { return totalNewBytes_; }
  std::uint64_t dataSectionOffset() const { return dataOffset_; }
  File& file() { return file_; }

 private:
  struct Section {
    std::uint32_t type = 0;
    std::uint64_t offset = 0, length = 0;
    crypto::Digest sha256{};
  };
  void readHeader();
  void checkSignature(const std::vector<unsigned char>& header, std::size_t signedSize);
  void checkTable(const std::vector<unsigned char>& header);
  void checkSectionHashes();
  void parseOps(const std::vector<unsigned char>& bytes);
  void checkStreams();
  // What a fault of bytes the signature covers means: with a trusted key,
  // they are not what the key signed.
  Result tampered() const { return trusted_ ? Result::NotSigned : Result::PatchCorrupt; }

  File& file_;
  const crypto::PublicKey* trusted_;
  std::uint64_t fileSize_ = 0;
  std::uint32_t opCount_ = 0;
  std::uint64_t totalNewBytes_ = 0;
  std::uint64_t opsOffset_ = 0, opsLength_ = 0;
  std::uint64_t dataOffset_ = 0, dataLength_ = 0;
  std::vector<Section> sections_;
  PatchId id_{};
  crypto::KeyId signerKeyId_{};
  std::vector<PatchOp> ops_;
};

}  // namespace rtp

#endif
