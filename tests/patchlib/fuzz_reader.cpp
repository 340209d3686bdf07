// libFuzzer entry for the patch reader; the corpus replay test calls the
// same function on every test run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp/engine.h"
#include "rtp/paths.h"

namespace {

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= std::uint64_t(b[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

void put(std::vector<std::uint8_t>& b, std::size_t at, const rtp::Hash128& h) {
  for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(h.low >> (8 * i));
  for (int i = 0; i < 8; ++i) b[at + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(h.high >> (8 * i));
}

}  // namespace

// Random bytes almost never carry matching hashes; recomputing them lets
// the fuzzer reach the operation records and data streams behind them.
bool rtpFuzzFixHashes(std::vector<std::uint8_t>& b) {
  if (b.size() < 48) return false;
  const std::uint64_t count = le(b, 16, 4), headerSize = le(b, 12, 4);
  if (count > 8 || headerSize != 48 + count * 40 + 16 || headerSize > b.size()) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t entry = 48 + static_cast<std::size_t>(i) * 40;
    const std::uint64_t off = le(b, entry + 8, 8), len = le(b, entry + 16, 8);
    if (off > b.size() || len > b.size() - off) continue;
    put(b, entry + 24, rtp::hashBytes(b.data() + off, static_cast<std::size_t>(len)));
  }
  put(b, static_cast<std::size_t>(headerSize) - 16, rtp::hashBytes(b.data(), static_cast<std::size_t>(headerSize) - 16));
  return true;
}

namespace {

int readOnce(const std::uint8_t* data, std::size_t size) {
  rtp::MemoryFile file(data, size);
  std::vector<rtp::PatchOp> ops;
  rtp::Outcome o = rtp::readPatch(file, &ops);
  if (o.ok()) {
    // Whatever is accepted must be safe to act on.
    for (const rtp::PatchOp& op : ops)
      if (!rtp::checkRelativePath(op.path).empty()) __builtin_trap();
  }
  return static_cast<int>(o.result);
}

}  // namespace

// Reads one patch image as it is and once more with its hashes made to
// match; returns the result of the first. Must never crash or hang.
int rtpFuzzReadPatch(const std::uint8_t* data, std::size_t size) {
  const int result = readOnce(data, size);
  std::vector<std::uint8_t> fixed(data, data + size);
  if (rtpFuzzFixHashes(fixed)) readOnce(fixed.data(), fixed.size());
  return result;
}

#ifdef RTP_FUZZ_READER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtpFuzzReadPatch(data, size);
  return 0;
}
#endif
