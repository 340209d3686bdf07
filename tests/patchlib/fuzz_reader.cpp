// libFuzzer entry for the patch reader; the corpus replay test calls the
// same function on every test run.
#include <lzma.h>

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

using Bytes = std::vector<std::uint8_t>;

void put(Bytes& b, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One raw LZMA2 stream. The encoder lives as long as the process: making
// one allocates and clears over a megabyte, which would cost more than the
// reading it feeds.
bool encode(const Bytes& raw, std::uint32_t dictionary, Bytes& out) {
  static lzma_stream strm = LZMA_STREAM_INIT;
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.dict_size = dictionary;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK) return false;
  out.resize(raw.size() + raw.size() / 16 + 1024);
  strm.next_in = raw.data();
  strm.avail_in = raw.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  lzma_ret rc = LZMA_OK;
  while (rc == LZMA_OK && strm.avail_out > 0) rc = lzma_code(&strm, LZMA_FINISH);
  if (rc != LZMA_STREAM_END) return false;
  out.resize(out.size() - strm.avail_out);
  return true;
}

// Mutated LZMA2 streams hardly ever decode. This reads the input as the
// decoded contents of the five sections instead (four 16-bit lengths, then
// the parts; the last takes the rest), compresses them and wraps them in a
// sound, signed header, so the fuzzer reaches the records and the delta
// streams.
Bytes assemble(const std::uint8_t* data, std::size_t size) {
  namespace f = rtp::format;
  if (size < 8) return {};
  const Bytes in(data, data + size);
  std::vector<Bytes> parts;
  std::size_t at = 8;
  for (std::size_t i = 0; i < f::kSectionCount; ++i) {
    std::size_t n = i < 4 ? static_cast<std::size_t>(le(in, i * 2, 2)) : size - at;
    if (n > size - at) n = size - at;
    parts.emplace_back(data + at, data + at + n);
    at += n;
  }
  // The header's counts follow the records as far as they go.
  std::uint64_t records = 0, totalNew = 0;
  const Bytes& ops = parts[0];
  for (std::size_t p = 0; p + f::kOpFixedSize <= ops.size();
       p += f::kOpFixedSize + le(ops, p + 2, 2)) {
    ++records;
    totalNew += le(ops, p + 32, 8);
  }
  const std::size_t headerSize = f::headerSize(f::kSectionCount);
  Bytes out(headerSize);
  std::copy(f::kMagic, f::kMagic + sizeof f::kMagic, out.begin());
  put(out, 8, f::kVersion, 4);
  put(out, 12, headerSize, 4);
  put(out, 16, f::kSectionCount, 4);
  put(out, 24, records, 4);
  put(out, 40, totalNew, 8);
  for (std::size_t i = 0; i < f::kSectionCount; ++i) {
    const std::uint32_t dictionary = parts[i].empty() ? 0 : 1u << 16;
    Bytes stream;
    if (!parts[i].empty() && !encode(parts[i], dictionary, stream)) return {};
    const std::size_t entry = f::kFixedHeaderSize + i * f::kSectionEntrySize;
    put(out, entry, i + 1, 4);
    put(out, entry + 4, dictionary, 4);
    put(out, entry + 8, out.size(), 8);
    put(out, entry + 16, stream.size(), 8);
    out.insert(out.end(), stream.begin(), stream.end());
  }
  put(out, 32, out.size(), 8);
  rtpFuzzFixHashes(out);
  return out;
}

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

// The input as the decoded contents of a patch's sections, made a sound,
// signed patch; empty when it cannot be.
std::vector<std::uint8_t> rtpFuzzAssemble(const std::uint8_t* data, std::size_t size) {
  return assemble(data, size);
}

// Reads the input as the decoded contents of a patch's sections.
int rtpFuzzReadSections(const std::uint8_t* data, std::size_t size) {
  const Bytes assembled = assemble(data, size);
  return assembled.empty() ? -1 : readOnce(assembled.data(), assembled.size());
}

// Reads one patch image as it is, once more with its hashes made to match
// and its header signed, and once as section contents; returns the result of
// the first. Must never crash or hang.
int rtpFuzzReadPatch(const std::uint8_t* data, std::size_t size) {
  const int result = readOnce(data, size);
  Bytes fixed(data, data + size);
  if (rtpFuzzFixHashes(fixed)) readOnce(fixed.data(), fixed.size());
  rtpFuzzReadSections(data, size);
  return result;
}

#ifdef RTP_FUZZ_READER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtpFuzzReadPatch(data, size);
  return 0;
}
#endif
