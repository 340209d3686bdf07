// Serialisation of the patch container (layout in docs/patch-format.md).
#include <cstring>

#include "rtp/maker.h"

namespace rtp {

namespace {

void putU16(std::vector<unsigned char>& out, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void putU32(std::vector<unsigned char>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void putU64(std::vector<unsigned char>& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void putHash(std::vector<unsigned char>& out, const Hash128& h) {
  putU64(out, h.low);
  putU64(out, h.high);
}

void putSection(std::vector<unsigned char>& out, std::uint32_t type, std::uint64_t offset,
                const std::vector<unsigned char>& bytes) {
  putU32(out, type);
  putU32(out, 0);
  putU64(out, offset);
  putU64(out, bytes.size());
  const crypto::Digest d = crypto::sha256(bytes.data(), bytes.size());
  out.insert(out.end(), d.begin(), d.end());
}

std::vector<unsigned char> encodeOps(const std::vector<PatchOp>& ops) {
  std::vector<unsigned char> out;
  for (const PatchOp& op : ops) {
    out.push_back(static_cast<unsigned char>(op.kind));
    out.push_back(static_cast<unsigned char>(op.encoding));
    putU16(out, static_cast<std::uint16_t>(op.path.size()));
    putU32(out, op.mode);
    putU64(out, op.oldSize);
    putHash(out, op.oldHash);
    putU64(out, op.newSize);
    putHash(out, op.newHash);
    putU64(out, op.dataOffset);
    putU64(out, op.dataLength);
    out.insert(out.end(), op.path.begin(), op.path.end());
  }
  return out;
}

}  // namespace

std::vector<unsigned char> buildPatch(const std::vector<PatchOp>& ops,
                                      const std::vector<unsigned char>& data) {
  const std::size_t headerSize = format::headerSize(2);
  std::vector<unsigned char> opsBytes = encodeOps(ops);
  const std::uint64_t opsOffset = headerSize;
  const std::uint64_t dataOffset = opsOffset + opsBytes.size();
  const std::uint64_t total = dataOffset + data.size();
  std::uint64_t newBytes = 0;
  for (const PatchOp& op : ops) newBytes += op.newSize;

  std::vector<unsigned char> out(format::kMagic, format::kMagic + sizeof format::kMagic);
  putU32(out, format::kVersion);
  putU32(out, static_cast<std::uint32_t>(headerSize));
  putU32(out, 2);
  putU32(out, 0);
  putU32(out, static_cast<std::uint32_t>(ops.size()));
  putU32(out, 0);
  putU64(out, total);
  putU64(out, newBytes);
  putU64(out, 0);
  putU64(out, 0);
  putSection(out, format::kSectionOps, opsOffset, opsBytes);
  putSection(out, format::kSectionData, dataOffset, data);
  // Unsigned: the signer fills the block in.
  out.resize(out.size() + format::kSignatureBlockSize, 0);
  out.insert(out.end(), opsBytes.begin(), opsBytes.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace rtp
