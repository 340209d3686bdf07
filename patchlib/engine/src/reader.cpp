#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "rtp/format.h"
#include "rtp/paths.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

struct Cursor {
  const unsigned char* p;
  std::size_t len;
  std::size_t pos = 0;
  void need(std::size_t n) const {
    if (n > len || pos > len - n) throw Error(Result::PatchCorrupt, "record runs past its section");
  }
  std::uint64_t le(int bytes) {
    need(static_cast<std::size_t>(bytes));
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t(p[pos + i]) << (8 * i);
    pos += static_cast<std::size_t>(bytes);
    return v;
  }
  Hash128 hash() {
    Hash128 h;
    h.low = le(8);
    h.high = le(8);
    return h;
  }
};

void readAt(File& f, std::uint64_t off, unsigned char* out, std::size_t n) {
  f.seek(off);
  std::size_t got = 0;
  while (got < n) {
    std::size_t r = f.read(out + got, n - got);
    if (r == 0) throw Error(Result::PatchCorrupt, "patch file is truncated");
    got += r;
  }
}

Hash128 hashRange(File& f, std::uint64_t off, std::uint64_t len) {
  Hasher h;
  std::vector<unsigned char> buf(64 * 1024);
  f.seek(off);
  while (len > 0) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(len, buf.size()));
    std::size_t r = f.read(buf.data(), want);
    if (r == 0) throw Error(Result::PatchCorrupt, "patch file is truncated");
    h.update(buf.data(), r);
    len -= r;
  }
  return h.digest();
}

bool isZero(const Hash128& h) { return h.low == 0 && h.high == 0; }

class NullSink : public ByteSink {
 public:
  void put(const unsigned char*, std::size_t) override {}
};

}  // namespace

void PatchReader::load() {
  try {
    readHeader();
    checkSectionHashes();
    std::vector<unsigned char> bytes(static_cast<std::size_t>(opsLength_));
    if (!bytes.empty()) readAt(file_, opsOffset_, bytes.data(), bytes.size());
    parseOps(bytes);
    checkStreams();
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, std::string("cannot read patch: ") + e.what());
  }
}

void PatchReader::readHeader() {
  fileSize_ = file_.size();
  if (fileSize_ < format::kFixedHeaderSize) throw Error(Result::PatchCorrupt, "patch file is too short");
  unsigned char fixed[format::kFixedHeaderSize];
  readAt(file_, 0, fixed, sizeof fixed);
  if (std::memcmp(fixed, format::kMagic, sizeof format::kMagic) != 0)
    throw Error(Result::PatchCorrupt, "not a patch file (bad magic number)");
  Cursor c{fixed, sizeof fixed};
  c.pos = 8;
  std::uint32_t version = static_cast<std::uint32_t>(c.le(4));
  std::uint32_t headerSize = static_cast<std::uint32_t>(c.le(4));
  std::uint32_t sectionCount = static_cast<std::uint32_t>(c.le(4));
  std::uint32_t flags = static_cast<std::uint32_t>(c.le(4));
  opCount_ = static_cast<std::uint32_t>(c.le(4));
  std::uint32_t reserved = static_cast<std::uint32_t>(c.le(4));
  std::uint64_t declaredSize = c.le(8);
  std::uint64_t reserved2 = c.le(8);
  if (version != format::kVersion)
    throw Error(Result::UnsupportedVersion, "patch format version " + std::to_string(version) +
                                                " is not supported (this engine reads version " +
                                                std::to_string(format::kVersion) + ")");
  if (flags != 0 || reserved != 0 || reserved2 != 0)
    throw Error(Result::PatchCorrupt, "reserved header fields are not zero");
  if (sectionCount < 2 || sectionCount > format::kMaxSections)
    throw Error(Result::PatchCorrupt, "bad section count");
  std::uint64_t expectHeader =
      format::kFixedHeaderSize + std::uint64_t(sectionCount) * format::kSectionEntrySize + format::kHeaderHashSize;
  if (headerSize != expectHeader) throw Error(Result::PatchCorrupt, "bad header size");
  if (declaredSize != fileSize_)
    throw Error(Result::PatchCorrupt, declaredSize > fileSize_ ? "patch file is truncated"
                                                              : "patch file has extra bytes or a bad size");
  if (headerSize > fileSize_) throw Error(Result::PatchCorrupt, "patch file is truncated");
  if (opCount_ > format::kMaxOps) throw Error(Result::PatchCorrupt, "too many operations");

  std::vector<unsigned char> header(headerSize);
  readAt(file_, 0, header.data(), header.size());
  Cursor h{header.data(), header.size()};
  h.pos = headerSize - format::kHeaderHashSize;
  Hash128 stored = h.hash();
  headerHash_ = hashBytes(header.data(), headerSize - format::kHeaderHashSize);
  if (stored != headerHash_) throw Error(Result::PatchCorrupt, "header hash mismatch");

  h.pos = format::kFixedHeaderSize;
  bool haveOps = false, haveData = false;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (std::uint32_t i = 0; i < sectionCount; ++i) {
    std::uint32_t type = static_cast<std::uint32_t>(h.le(4));
    std::uint32_t sflags = static_cast<std::uint32_t>(h.le(4));
    std::uint64_t off = h.le(8);
    std::uint64_t len = h.le(8);
    Hash128 hash = h.hash();
    if (sflags != 0) throw Error(Result::PatchCorrupt, "reserved section flags are not zero");
    if (off < headerSize || len > fileSize_ || off > fileSize_ - len)
      throw Error(Result::PatchCorrupt, "section lies outside the patch file");
    ranges.emplace_back(off, len);
    if (type == format::kSectionOps) {
      if (haveOps) throw Error(Result::PatchCorrupt, "duplicate operations section");
      haveOps = true;
      opsOffset_ = off;
      opsLength_ = len;
      opsHash_ = hash;
    } else if (type == format::kSectionData) {
      if (haveData) throw Error(Result::PatchCorrupt, "duplicate data section");
      haveData = true;
      dataOffset_ = off;
      dataLength_ = len;
      dataHash_ = hash;
    } else {
      throw Error(Result::UnsupportedVersion, "unknown section type " + std::to_string(type));
    }
  }
  if (!haveOps || !haveData) throw Error(Result::PatchCorrupt, "a required section is missing");
  if (opsLength_ > format::kMaxOpsSection) throw Error(Result::PatchCorrupt, "operations section too large");
  // Header and sections tile the file: a byte in a gap would be checked by
  // no hash.
  std::sort(ranges.begin(), ranges.end());
  std::uint64_t end = headerSize;
  for (const auto& [off, len] : ranges) {
    if (off < end) throw Error(Result::PatchCorrupt, "sections overlap");
    if (off > end) throw Error(Result::PatchCorrupt, "bytes between sections");
    end = off + len;
  }
  if (end != fileSize_) throw Error(Result::PatchCorrupt, "bytes after the last section");
}

void PatchReader::checkSectionHashes() {
  if (hashRange(file_, opsOffset_, opsLength_) != opsHash_)
    throw Error(Result::PatchCorrupt, "operations section hash mismatch");
  if (hashRange(file_, dataOffset_, dataLength_) != dataHash_)
    throw Error(Result::PatchCorrupt, "data section hash mismatch");
}

void PatchReader::parseOps(const std::vector<unsigned char>& bytes) {
  Cursor c{bytes.data(), bytes.size()};
  ops_.clear();
  // The count is only a claim until the records are read.
  ops_.reserve(std::min<std::size_t>(opCount_, bytes.size() / format::kOpFixedSize));
  std::map<std::string, OpKind> seen;
  std::set<std::string> madeDirs, deleted, removedDirs;
  for (std::uint32_t i = 0; i < opCount_; ++i) {
    PatchOp op;
    unsigned kind = static_cast<unsigned>(c.le(1));
    unsigned enc = static_cast<unsigned>(c.le(1));
    std::size_t pathLen = static_cast<std::size_t>(c.le(2));
    std::uint32_t reserved = static_cast<std::uint32_t>(c.le(4));
    op.oldSize = c.le(8);
    op.oldHash = c.hash();
    op.newSize = c.le(8);
    op.newHash = c.hash();
    op.dataOffset = c.le(8);
    op.dataLength = c.le(8);
    c.need(pathLen);
    op.path.assign(reinterpret_cast<const char*>(c.p + c.pos), pathLen);
    c.pos += pathLen;
    std::string where = "operation " + std::to_string(i);
    if (kind < 1 || kind > 5) throw Error(Result::PatchCorrupt, where + ": unknown kind");
    if (enc > 2) throw Error(Result::PatchCorrupt, where + ": unknown encoding");
    if (reserved != 0) throw Error(Result::PatchCorrupt, where + ": reserved field is not zero");
    op.kind = static_cast<OpKind>(kind);
    op.encoding = static_cast<Encoding>(enc);
    std::string why = checkRelativePath(op.path);
    if (!why.empty()) throw Error(Result::PatchCorrupt, where + ": unsafe path: " + why);
    where += " (" + op.path + ")";
    if (op.oldSize > format::kMaxFileSize || op.newSize > format::kMaxFileSize)
      throw Error(Result::PatchCorrupt, where + ": file size out of range");
    bool hasOld = op.kind == OpKind::Modify || op.kind == OpKind::Delete;
    bool hasNew = op.kind == OpKind::Modify || op.kind == OpKind::Add;
    if (!hasOld && (op.oldSize != 0 || !isZero(op.oldHash)))
      throw Error(Result::PatchCorrupt, where + ": unexpected old content");
    if (!hasNew && (op.newSize != 0 || !isZero(op.newHash)))
      throw Error(Result::PatchCorrupt, where + ": unexpected new content");
    if (hasNew) {
      bool encOk = op.encoding == Encoding::Full || (op.kind == OpKind::Modify && op.encoding == Encoding::Delta);
      if (!encOk) throw Error(Result::PatchCorrupt, where + ": bad encoding for its kind");
      if (op.dataLength == 0) throw Error(Result::PatchCorrupt, where + ": no data");
      if (op.dataLength > dataLength_ || op.dataOffset > dataLength_ - op.dataLength)
        throw Error(Result::PatchCorrupt, where + ": data lies outside the data section");
    } else if (op.encoding != Encoding::None || op.dataOffset != 0 || op.dataLength != 0) {
      throw Error(Result::PatchCorrupt, where + ": unexpected data");
    }
    // One operation per path (as Windows compares names), and every parent
    // must be a directory the tree keeps or the patch creates.
    std::string key = foldCase(op.path);
    auto prev = seen.find(key);
    if (prev != seen.end()) {
      // A file that becomes a folder is deleted first, then created as one.
      if (!(prev->second == OpKind::Delete && op.kind == OpKind::MakeDir))
        throw Error(Result::PatchCorrupt, where + ": path appears twice");
      deleted.erase(key);
    }
    seen[key] = op.kind;
    std::size_t slash = key.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : key.substr(0, slash);
    for (std::string p = parent; !p.empty();) {
      if (deleted.count(p)) throw Error(Result::PatchCorrupt, where + ": parent is a deleted file");
      if (removedDirs.count(p)) throw Error(Result::PatchCorrupt, where + ": parent is a removed folder");
      std::size_t s = p.rfind('/');
      p = s == std::string::npos ? std::string() : p.substr(0, s);
    }
    switch (op.kind) {
      case OpKind::MakeDir: madeDirs.insert(key); break;
      case OpKind::Delete: deleted.insert(key); break;
      case OpKind::RemoveDir: removedDirs.insert(key); break;
      case OpKind::Add:
      case OpKind::Modify: break;
    }
    if ((op.kind == OpKind::Delete || op.kind == OpKind::RemoveDir) && !parent.empty() && madeDirs.count(parent))
      throw Error(Result::PatchCorrupt, where + ": removes something inside a folder it creates");
    ops_.push_back(std::move(op));
  }
  if (c.pos != c.len) throw Error(Result::PatchCorrupt, "operations section has trailing bytes");
}

void PatchReader::checkStreams() {
  NullSink sink;
  for (const PatchOp& op : ops_)
    if (op.encoding != Encoding::None) decodeStream(file_, dataOffset_, op, nullptr, sink);
}

}  // namespace rtp
