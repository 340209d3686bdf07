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


std::vector<unsigned char> encodeOps(const std::vector<PatchOp>& ops) {
  std::vector<unsigned char> out;
  for (const PatchOp& op : ops) {
    out.push_back(static_cast<unsigned char>(op.kind));
    out.push_back(static_cast<unsigned char>(op.encoding));
    putU16(out, static_cast<std::uint16_t>(op.path.size()));
    putU32(out, 0);
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

std::vector<unsigned char> buildPatch(const std::vector<PatchOp>& ops, const std::vector<unsigned char>& data) {
  const std::size_t headerSize = format::kFixedHeaderSize + 2 * format::kSectionEntrySize + format::kHeaderHashSize;
  std::vector<unsigned char> opsBytes = encodeOps(ops);
  const std::uint64_t opsOffset = headerSize;
  const std::uint64_t dataOffset = opsOffset + opsBytes.size();
  const std::uint64_t total = dataOffset + data.size();

  std::vector<unsigned char> out(format::kMagic, format::kMagic + sizeof format::kMagic);
  putU32(out, format::kVersion);
  putU32(out, static_cast<std::uint32_t>(headerSize));
  putU32(out, 2);
  putU32(out, 0);
  putU32(out, static_cast<std::uint32_t>(ops.size()));
  putU32(out, 0);
  putU64(out, total);
  putU64(out, 0);
  putU32(out, format::kSectionOps);
  putU32(out, 0);
  putU64(out, opsOffset);
  putU64(out, opsBytes.size());
  putHash(out, hashBytes(opsBytes.data(), opsBytes.size()));
  putU32(out, format::kSectionData);
  putU32(out, 0);
  putU64(out, dataOffset);
  putU64(out, data.size());
  putHash(out, hashBytes(data.data(), data.size()));
  putHash(out, hashBytes(out.data(), out.size()));
  out.insert(out.end(), opsBytes.begin(), opsBytes.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace rtp
