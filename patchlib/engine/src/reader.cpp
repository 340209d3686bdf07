#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>

#include "operations.h"
#include "rtp/bytes.h"
#include "rtp/format.h"
#include "rtp/paths.h"
#include "rtp/stream.h"

namespace rtp {

namespace {

void readAt(File& f, std::uint64_t off, unsigned char* out, std::size_t n) {
  f.seek(off);
  if (f.read(out, n) != n) throw Error(Result::PatchCorrupt, "patch file is truncated");
}

template <std::size_t N>
bool allZero(const std::array<unsigned char, N>& a) {
  for (unsigned char c : a)
    if (c != 0) return false;
  return true;
}

Hash128 takeHash(bytes::Reader& r) {
  Hash128 h;
  h.low = r.le(8);
  h.high = r.le(8);
  return h;
}

bool isZero(const Hash128& h) { return h.low == 0 && h.high == 0; }

}  // namespace

void PatchReader::load() {
  try {
    readHeader();
    parseOps(readRecords());
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, std::string("cannot read patch: ") + e.what());
  }
}

// The records are one LZMA2 stream, its size bounded here. Each stored byte
// is read once, hashed and decoded from the same buffer, and nothing decoded
// is parsed before the hash matched. Its decoder (and dictionary) is gone
// before the streams' are made.
std::vector<unsigned char> PatchReader::readRecords() {
  const bool joined = streams_.small && streams_.small->holdsRecords();
  StreamSource records(file_, opsRange_, "operations", joined ? streams_.small : nullptr);
  std::vector<unsigned char> bytes;
  try {
    unsigned char chunk[16 * 1024];
    for (;;) {
      const std::size_t got = records.readAtMost(chunk, sizeof chunk);
      bytes.insert(bytes.end(), chunk, chunk + got);
      if (bytes.size() > format::kMaxOpsSection)
        throw Error(Result::PatchCorrupt, "operations section too large");
      if (got < sizeof chunk) break;  // the end of the stream
    }
    records.finish();
  } catch (const Error& e) {
    if (e.result() == Result::PatchCorrupt && !records.intact())
      throw Error(tampered(), std::string(records.sectionName()) + " section hash mismatch");
    throw;
  }
  if (!records.intact())
    throw Error(tampered(), std::string(records.sectionName()) + " section hash mismatch");
  return bytes;
}

// Only the fields that locate the signed bytes and the signature are looked
// at before the signature holds; the rest of the header waits for it.
void PatchReader::readHeader() {
  fileSize_ = file_.size();
  // One read, of as much as the largest header: the bytes the signature is
  // checked on are the bytes parsed.
  std::vector<unsigned char> header(static_cast<std::size_t>(
      std::min<std::uint64_t>(fileSize_, format::kMaxSignedSize + format::kSignatureBlockSize)));
  readAt(file_, 0, header.data(), header.size());
  const std::size_t signedSize = format::signedSize(header.data(), header.size(), tampered());
  if (signedSize + format::kSignatureBlockSize > header.size())
    throw Error(tampered(), "patch file is truncated");
  header.resize(signedSize + format::kSignatureBlockSize);
  checkSignature(header, signedSize);
  header_ = format::readHeader(header.data(), signedSize);
  checkTable();
  const std::string why = bindingMismatch(header_.binding, required_);
  if (!why.empty()) throw Error(Result::WrongPatch, "the patch is " + why);
}

void PatchReader::checkSignature(const std::vector<unsigned char>& header, std::size_t signedSize) {
  const crypto::Digest digest = crypto::sha256(header.data(), signedSize);
  std::copy(digest.begin(), digest.begin() + static_cast<long>(id_.size()), id_.begin());
  crypto::Signature signature;
  const unsigned char* block = header.data() + signedSize;
  std::copy(block, block + signerKeyId_.size(), signerKeyId_.begin());
  std::copy(block + signerKeyId_.size(), block + format::kSignatureBlockSize, signature.begin());
  if (!trusted_) return;
  if (allZero(signerKeyId_) && allZero(signature))
    throw Error(Result::NotSigned, "patch is not signed");
  const crypto::KeyId trustedId = crypto::keyId(*trusted_);
  if (signerKeyId_ != trustedId)
    throw Error(Result::NotSigned, "patch is signed by key " + crypto::hex(signerKeyId_) +
                                       ", not by the release key " + crypto::hex(trustedId));
  if (!crypto::verifySignature(*trusted_, digest, signature))
    throw Error(Result::NotSigned, "signature does not match the patch (altered after signing?)");
}

// The header is authentic from here on and its fields sound: a file that
// differs from what it describes was altered.
void PatchReader::checkTable() {
  if (header_.fileSize != fileSize_)
    throw Error(tampered(), header_.fileSize > fileSize_
                                ? "patch file is truncated"
                                : "patch file has extra bytes or a bad size");
  // An absent section is an empty stream, hashed as no bytes.
  SectionRange* to[] = {&opsRange_, &streams_.literals, &streams_.commands, &streams_.positions,
                        &streams_.differences};
  SectionRange empty;
  const unsigned char none = 0;
  empty.sha256 = crypto::sha256(&none, 0);
  for (SectionRange* r : to) *r = empty;
  streams_.small = nullptr;
  for (const format::Section& s : header_.sections) {
    if (s.type >= format::kSectionSmallStreams)
      streams_.small = std::make_shared<SmallStreams>(file_, s);
    else
      *to[s.type - format::kSectionOps] = s.range;
  }
}

namespace {

std::string where(std::size_t i, const PatchOp& op) {
  return "operation " + std::to_string(i) + " (" + op.path + ")";
}

// One record, checked on its own: its fields against each other and its kind.
PatchOp lexOp(bytes::Reader& c, std::size_t i) {
  PatchOp op;
  unsigned kind = c.byte();
  unsigned enc = c.byte();
  std::size_t pathLen = static_cast<std::size_t>(c.le(2));
  op.mode = static_cast<std::uint32_t>(c.le(4));
  op.oldSize = c.le(8);
  op.oldHash = takeHash(c);
  op.newSize = c.le(8);
  op.newHash = takeHash(c);
  op.path.assign(reinterpret_cast<const char*>(c.take(pathLen)), pathLen);
  const std::string at = "operation " + std::to_string(i);
  if (kind < 1 || kind > 5) throw Error(Result::PatchCorrupt, at + ": unknown kind");
  if (enc > 2) throw Error(Result::PatchCorrupt, at + ": unknown encoding");
  op.kind = static_cast<OpKind>(kind);
  op.encoding = static_cast<Encoding>(enc);
  const bool fromReference = namesReference(op);
  if (fromReference) {
    const std::size_t refLen = static_cast<std::size_t>(c.le(2));
    op.reference.assign(reinterpret_cast<const char*>(c.take(refLen)), refLen);
  }
  const OpRules& rules = rulesOf(op.kind);
  if (op.mode > 07777 || (op.mode != 0 && !rules.is(OpRules::ModeFromPatch)))
    throw Error(Result::PatchCorrupt, at + ": permission bits out of place");
  std::string why = checkRelativePath(op.path);
  if (why.empty() && fromReference) why = checkRelativePath(op.reference);
  if (!why.empty()) throw Error(Result::PatchCorrupt, at + ": unsafe path: " + why);
  if (op.oldSize > format::kMaxFileSize || op.newSize > format::kMaxFileSize)
    throw Error(Result::PatchCorrupt, where(i, op) + ": file size out of range");
  const bool hasOld = rules.is(OpRules::CarriesOld) || fromReference;
  const bool hasNew = rules.is(OpRules::CarriesNew);
  if (!hasOld && (op.oldSize != 0 || !isZero(op.oldHash)))
    throw Error(Result::PatchCorrupt, where(i, op) + ": unexpected old content");
  if (!hasNew && (op.newSize != 0 || !isZero(op.newHash)))
    throw Error(Result::PatchCorrupt, where(i, op) + ": unexpected new content");
  if (hasNew) {
    // A delta rebuilds the new content from the old.
    bool encOk = op.encoding == Encoding::Full || (hasOld && op.encoding == Encoding::Delta);
    if (!encOk) throw Error(Result::PatchCorrupt, where(i, op) + ": bad encoding for its kind");
  } else if (op.encoding != Encoding::None) {
    throw Error(Result::PatchCorrupt, where(i, op) + ": unexpected data");
  }
  return op;
}

// One operation per path (as Windows compares names), and every parent must
// be a folder the tree keeps or the patch creates.
void checkPaths(const std::vector<PatchOp>& ops) {
  std::map<std::string, OpKind> seen;
  std::set<std::string> madeDirs, deleted, removedDirs;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const PatchOp& op = ops[i];
    std::string key = foldCase(op.path);
    auto prev = seen.find(key);
    if (prev != seen.end()) {
      // A file that becomes a folder is deleted first, then created as one.
      if (!(prev->second == OpKind::Delete && op.kind == OpKind::MakeDir))
        throw Error(Result::PatchCorrupt, where(i, op) + ": path appears twice");
      deleted.erase(key);
    }
    seen[key] = op.kind;
    const std::string parent = parentRel(key);
    forEachComponent(parent, [&](const std::string& p, const std::string&) {
      if (deleted.count(p))
        throw Error(Result::PatchCorrupt, where(i, op) + ": parent is a deleted file");
      if (removedDirs.count(p))
        throw Error(Result::PatchCorrupt, where(i, op) + ": parent is a removed folder");
      return true;
    });
    switch (op.kind) {
      case OpKind::MakeDir:
        madeDirs.insert(key);
        break;
      case OpKind::Delete:
        deleted.insert(key);
        break;
      case OpKind::RemoveDir:
        removedDirs.insert(key);
        break;
      case OpKind::Add:
      case OpKind::Modify:
        break;
    }
    if (rulesOf(op.kind).is(OpRules::Removes) && !parent.empty() && madeDirs.count(parent))
      throw Error(Result::PatchCorrupt,
                  where(i, op) + ": removes something inside a folder it creates");
  }
  // A reference is read while the patch is staged, and must read the same
  // in a tree patched in part: no operation may touch it.
  for (std::size_t i = 0; i < ops.size(); ++i)
    if (!ops[i].reference.empty() && seen.count(foldCase(ops[i].reference)))
      throw Error(Result::PatchCorrupt, where(i, ops[i]) + ": made from a file the patch changes");
}

}  // namespace

void PatchReader::parseOps(const std::vector<unsigned char>& bytes) {
  bytes::Reader c(bytes.data(), bytes.size(), "operation record");
  ops_.clear();
  // The count is only a claim until the records are read.
  ops_.reserve(std::min<std::size_t>(header_.opCount, bytes.size() / format::kOpFixedSize));
  std::uint64_t totalNew = 0;  // no overflow: 50 000 sizes below 2^48
  for (std::uint32_t i = 0; i < header_.opCount; ++i) {
    ops_.push_back(lexOp(c, i));
    totalNew += ops_.back().newSize;
  }
  if (!c.atEnd()) throw Error(Result::PatchCorrupt, "operations section has trailing bytes");
  checkPaths(ops_);
  if (totalNew != header_.totalNewBytes)
    throw Error(Result::PatchCorrupt, "the new sizes do not add up to the header's total");
}

// Without the old files: the streams' structure, the commands' ranges and
// every length. The operations take their data from the streams in turn,
// each the next bytes, so no byte serves two: checking costs the streams
// once plus the sizes the patch declares, however many operations there are.
void PatchReader::checkStreams() {
  try {
    PatchDecoder decoder(file_, streams_, tampered());
    decoder.checked([&] {
      for (const PatchOp& op : ops_)
        if (op.encoding != Encoding::None) decoder.decode(op, nullptr, nullptr);
      decoder.finish();
    });
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, std::string("cannot read patch: ") + e.what());
  }
}

}  // namespace rtp
