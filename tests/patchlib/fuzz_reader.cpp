// libFuzzer entry for the patch reader; the corpus replay test calls the
// same function on every test run.
#include <lzma.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "rtp/bytes.h"
#include "rtp/engine.h"
#include "rtp/paths.h"
#include "rtp/signer.h"

namespace {

const rtp::SigningKey& testKey() {
  static const rtp::SigningKey key = rtp::SigningKey::load(RTP_KEYS_DIR "/test-release-key.pem");
  return key;
}

}  // namespace

// The key the fuzzed patches are signed with, to trust when applying them.
const rtp::crypto::PublicKey& rtpFuzzTrustedKey() { return testKey().publicKey(); }

// Random bytes almost never carry matching hashes and a signature;
// recomputing the section hashes and signing the header with the test key
// lets the fuzzer reach the operation records and data streams behind them.
bool rtpFuzzFixHashes(std::vector<std::uint8_t>& b) {
  std::size_t n = 0;
  try {
    n = rtp::format::signedSize(b.data(), b.size(), rtp::Result::PatchCorrupt);
  } catch (const rtp::Error&) {
    return false;  // not a patch header at all
  }
  if (n + rtp::format::kSignatureBlockSize > b.size()) return false;
  // Where the fields parse, the table takes the hashes of what it lists;
  // signed either way, so the fields' own checks are reached.
  try {
    rtp::format::Header h = rtp::format::readHeader(b.data(), n);
    for (rtp::format::Section& s : h.sections)
      if (s.range.offset <= b.size() && s.range.length <= b.size() - s.range.offset)
        s.range.sha256 = rtp::crypto::sha256(b.data() + s.range.offset,
                                             static_cast<std::size_t>(s.range.length));
    const std::vector<std::uint8_t> header = rtp::format::writeHeader(h);
    if (header.size() == n) std::copy(header.begin(), header.end(), b.begin());
  } catch (const rtp::Error&) {
  }
  rtp::signPatch(b, testKey());
  return true;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t le(const Bytes& b, std::size_t at, std::size_t n) {
  return rtp::bytes::Reader(b.data() + at, n, "").le(n);
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
// streams. The top bit of the first length puts the four data streams in one
// small-streams section (their lengths as varints, then their bytes); that
// of the second as well puts the records first in that section, as the
// small-patch section holds them.
Bytes assemble(const std::uint8_t* data, std::size_t size) {
  namespace f = rtp::format;
  constexpr std::size_t kParts = 5;  // the records, then the four streams
  if (size < 8) return {};
  const Bytes in(data, data + size);
  const bool small = (le(in, 0, 2) & 0x8000) != 0;
  const bool withRecords = small && (le(in, 2, 2) & 0x8000) != 0;
  std::vector<Bytes> parts;
  std::size_t at = 8;
  for (std::size_t i = 0; i < kParts; ++i) {
    std::size_t n = size - at;  // the last takes the rest
    if (i < 4)
      n = std::min<std::size_t>(n,
                                le(in, i * 2, 2) & (i == 0 || (i == 1 && small) ? 0x7fff : 0xffff));
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
  std::vector<std::pair<std::uint32_t, Bytes>> sections;
  for (std::size_t i = 0; i < kParts; ++i)
    sections.emplace_back(static_cast<std::uint32_t>(i + 1), parts[i]);
  if (small) {
    const std::size_t from = withRecords ? 0 : 1;
    Bytes joined;
    for (std::size_t i = from; i < kParts; ++i) rtp::bytes::putVarint(joined, parts[i].size());
    for (std::size_t i = from; i < kParts; ++i)
      joined.insert(joined.end(), parts[i].begin(), parts[i].end());
    sections.resize(from);
    sections.emplace_back(withRecords ? f::kSectionSmallPatch : f::kSectionSmallStreams, joined);
  }
  rtp::format::Header header;
  header.binding = {"Velmora", "fuzz", "7", "8"};
  header.opCount = static_cast<std::uint32_t>(records);
  header.totalNewBytes = totalNew;
  Bytes streams;
  for (const auto& [type, part] : sections) {
    if (part.empty()) continue;
    rtp::format::Section s;
    s.type = type;
    s.range.dictionary = 1u << 16;
    Bytes stream;
    if (!encode(part, s.range.dictionary, stream)) return {};
    s.range.length = stream.size();
    s.range.sha256 = rtp::crypto::sha256(stream.data(), stream.size());
    header.sections.push_back(s);
    streams.insert(streams.end(), stream.begin(), stream.end());
  }
  f::fitFileSize(header);
  Bytes out = f::writeHeader(header);
  out.resize(out.size() + f::kSignatureBlockSize, 0);
  out.insert(out.end(), streams.begin(), streams.end());
  rtp::signPatch(out, testKey());
  return out;
}

int readOnce(const std::uint8_t* data, std::size_t size) {
  rtp::MemoryFile file(data, size);
  std::vector<rtp::PatchOp> ops;
  rtp::Outcome o = rtp::readPatch(file, &testKey().publicKey(), &ops);
  if (o.ok()) {
    // Whatever is accepted must be safe to act on.
    for (const rtp::PatchOp& op : ops)
      if (!rtp::checkRelativePath(op.path).empty() ||
          (!op.reference.empty() && !rtp::checkRelativePath(op.reference).empty()))
        __builtin_trap();
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
