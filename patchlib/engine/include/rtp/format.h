// The patch file format (docs/patch-format.md) and its checked reader.
#ifndef RTP_FORMAT_H
#define RTP_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kFixedHeaderSize = 48;
constexpr std::size_t kSectionEntrySize = 40;
constexpr std::size_t kHeaderHashSize = 16;
constexpr std::size_t kOpFixedSize = 72;
constexpr std::uint32_t kSectionOps = 1;
constexpr std::uint32_t kSectionData = 2;
constexpr std::uint32_t kMaxSections = 8;
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
};

// Reads and checks a whole patch: header, section table, section hashes,
// every operation record, and the structure of every data stream. Nothing
// of the patch is trusted before load() returns.
class PatchReader {
 public:
  explicit PatchReader(File& file) : file_(file) {}
  void load();
  const std::vector<PatchOp>& ops() const { return ops_; }
  const Hash128& id() const { return headerHash_; }
  std::uint64_t fileSize() const { return fileSize_; }
  std::uint64_t dataSectionOffset() const { return dataOffset_; }
  File& file() { return file_; }

 private:
  void readHeader();
  void checkSectionHashes();
  void parseOps(const std::vector<unsigned char>& bytes);
  void checkStreams();

  File& file_;
  std::uint64_t fileSize_ = 0;
  std::uint32_t opCount_ = 0;
  std::uint64_t opsOffset_ = 0, opsLength_ = 0;
  std::uint64_t dataOffset_ = 0, dataLength_ = 0;
  Hash128 opsHash_, dataHash_, headerHash_;
  std::vector<PatchOp> ops_;
};

}  // namespace rtp

#endif
