// libFuzzer entry for the patch reader; the corpus replay test calls the
// same function on every test run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rtp/engine.h"
#include "rtp/paths.h"
#include "rtp/signer.h"

namespace {

const rtp::SigningKey& testKey() {
  static const rtp::SigningKey key = rtp::SigningKey::load(RTP_KEYS_DIR "/test-release-key.pem");
  return key;
}

std::uint64_t le(const std::vector<std::uint8_t>& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v |= std::uint64_t(b[at + static_cast<std::size_t>(i)]) << (8 * i);
  return v;
}

}  // namespace

// The key the fuzzed patches are signed with, to trust when applying them.
const rtp::crypto::PublicKey& rtpFuzzTrustedKey() { return testKey().publicKey(); }

// Random bytes almost never carry matching hashes and a signature;
// recomputing the section hashes and signing the header with the test key
// lets the fuzzer reach the operation records and data streams behind them.
bool rtpFuzzFixHashes(std::vector<std::uint8_t>& b) {
  if (b.size() < rtp::format::kFixedHeaderSize) return false;
  const std::uint64_t count = le(b, 16, 4), headerSize = le(b, 12, 4);
  if (count < rtp::format::kMinSections || count > rtp::format::kMaxSections ||
      headerSize != rtp::format::headerSize(static_cast<std::uint32_t>(count)) ||
      headerSize > b.size())
    return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::size_t entry = rtp::format::kFixedHeaderSize +
                              static_cast<std::size_t>(i) * rtp::format::kSectionEntrySize;
    const std::uint64_t off = le(b, entry + 8, 8), len = le(b, entry + 16, 8);
    if (off > b.size() || len > b.size() - off) continue;
    const rtp::crypto::Digest d =
        rtp::crypto::sha256(b.data() + off, static_cast<std::size_t>(len));
    std::copy(d.begin(), d.end(), b.begin() + static_cast<long>(entry + 24));
  }
  try {
    rtp::signPatch(b, testKey());
  } catch (const rtp::KeyError&) {
    return false;  // not a patch header at all (bad magic)
  }
  return true;
}

namespace {

int readOnce(const std::uint8_t* data, std::size_t size) {
  rtp::MemoryFile file(data, size);
  std::vector<rtp::PatchOp> ops;
  rtp::Outcome o = rtp::readPatch(file, &testKey().publicKey(), &ops);
  if (o.ok()) {
    // Whatever is accepted must be safe to act on.
    for (const rtp::PatchOp& op : ops)
      if (!rtp::checkRelativePath(op.path).empty()) __builtin_trap();
  }
  return static_cast<int>(o.result);
}

}  // namespace

// Reads one patch image as it is and once more with its hashes made to
// match and its header signed; returns the result of the first. Must never
// crash or hang.
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
