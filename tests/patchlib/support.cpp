#include "support.h"

#include <lzma.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "rtp/maker.h"

namespace fs = std::filesystem;

namespace rtptest {

void writeFile(const std::string& path, const Bytes& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void writeFile(const std::string& path, const std::string& content) {
  writeFile(path, Bytes(content.begin(), content.end()));
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

Bytes loadPatchBytes(const std::string& path) { return readBytes(path); }

Snapshot snapshot(const std::string& root) {
  Snapshot s;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    std::string rel = fs::relative(it->path(), root).generic_string();
    if (it->is_directory()) {
      s[rel] = "<dir>";
    } else {
      Bytes b = readBytes(it->path().string());
      s[rel] = std::string(b.begin(), b.end());
    }
  }
  return s;
}

std::string treeDiff(const Snapshot& got, const Snapshot& want) {
  std::string out;
  for (const auto& [rel, content] : got) {
    auto it = want.find(rel);
    if (it == want.end())
      out += "unexpected " + rel + "\n";
    else if (it->second != content)
      out += "different " + rel + "\n";
  }
  for (const auto& [rel, content] : want)
    if (!got.count(rel)) out += "missing " + rel + "\n";
  return out;
}

void materialise(const std::string& root, const Snapshot& tree) {
  for (const auto& [rel, content] : tree) {
    if (content == "<dir>")
      fs::create_directories(fs::path(root) / rel);
    else
      writeFile((fs::path(root) / rel).string(), content);
  }
}

namespace {
std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}
}  // namespace

Bytes randomBytes(std::size_t n, std::uint64_t seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>(splitmix(seed) >> 56);
  return b;
}

Bytes executableLike(std::size_t n, std::uint64_t seed) {
  // A small vocabulary of "instructions" repeated with varying operands
  // compresses and matches the way machine code does.
  Bytes vocab = randomBytes(4096, seed);
  Bytes b;
  b.reserve(n);
  std::uint64_t s = seed ^ 0x5555;
  while (b.size() < n) {
    std::uint64_t r = splitmix(s);
    std::size_t at = static_cast<std::size_t>(r % (vocab.size() - 64));
    std::size_t len = 4 + static_cast<std::size_t>((r >> 20) % 24);
    b.insert(b.end(), vocab.begin() + static_cast<long>(at),
             vocab.begin() + static_cast<long>(at + len));
    std::uint32_t operand = static_cast<std::uint32_t>(r >> 32) & 0xffff;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(operand >> (8 * i)));
  }
  b.resize(n);
  return b;
}

rtp::PatchOp addOp(const std::string& path, const std::string& content, rtp::PatchStreams& data) {
  rtp::PatchOp op;
  op.kind = rtp::OpKind::Add;
  op.encoding = rtp::Encoding::Full;
  op.path = path;
  op.newSize = content.size();
  op.newHash = rtp::hashBytes(content.data(), content.size());
  data.literals.insert(data.literals.end(), content.begin(), content.end());
  return op;
}

namespace {
std::uint64_t le(const Bytes& b, std::size_t at, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i)
    v |= std::uint64_t(b.at(at + static_cast<std::size_t>(i))) << (8 * i);
  return v;
}
}  // namespace

Bytes withSection(const Bytes& patch, std::uint32_t type, const Bytes& bytes,
                  std::uint32_t dictionary) {
  const std::size_t count = static_cast<std::size_t>(le(patch, 16, 4));
  const std::size_t headerSize = rtp::format::headerSize(static_cast<std::uint32_t>(count));
  std::vector<Bytes> sections;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e = rtp::format::kFixedHeaderSize + i * rtp::format::kSectionEntrySize;
    const std::size_t off = static_cast<std::size_t>(le(patch, e + 8, 8));
    const std::size_t len = static_cast<std::size_t>(le(patch, e + 16, 8));
    sections.push_back(le(patch, e, 4) == type
                           ? bytes
                           : Bytes(patch.begin() + static_cast<long>(off),
                                   patch.begin() + static_cast<long>(off + len)));
  }
  Bytes out(patch.begin(), patch.begin() + static_cast<long>(headerSize));
  std::uint64_t offset = headerSize;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t e = rtp::format::kFixedHeaderSize + i * rtp::format::kSectionEntrySize;
    if (le(patch, e, 4) == type)
      putLe(out, e + 4,
            bytes.empty() ? 0
            : dictionary  ? dictionary
                          : rtp::format::maxDictionary(type),
            4);
    putLe(out, e + 8, offset, 8);
    putLe(out, e + 16, sections[i].size(), 8);
    const rtp::crypto::Digest d = rtp::crypto::sha256(sections[i].data(), sections[i].size());
    std::copy(d.begin(), d.end(), out.begin() + static_cast<long>(e + 24));
    offset += sections[i].size();
  }
  for (const Bytes& sec : sections) out.insert(out.end(), sec.begin(), sec.end());
  putLe(out, 32, out.size(), 8);
  resign(out);
  return out;
}

Bytes lzma2Stream(const Bytes& raw, std::uint32_t dictionary) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 1);
  options.dict_size = dictionary;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(raw.size() + raw.size() / 16 + 1024);
  std::size_t n = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, raw.data(), raw.size(), out.data(), &n,
                             out.size()) != LZMA_OK)
    throw std::runtime_error("LZMA2 encoding failed");
  out.resize(n);
  return out;
}

Bytes lzma2Decode(const unsigned char* data, std::size_t size) {
  lzma_options_lzma options;
  lzma_lzma_preset(&options, 0);
  options.dict_size = 64u << 20;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&strm, filters) != LZMA_OK) throw std::runtime_error("no LZMA2 decoder");
  Bytes out;
  strm.next_in = data;
  strm.avail_in = size;
  lzma_ret rc = LZMA_OK;
  while (rc == LZMA_OK) {
    const std::size_t have = out.size();
    out.resize(have + 65536);
    strm.next_out = out.data() + have;
    strm.avail_out = 65536;
    rc = lzma_code(&strm, LZMA_RUN);
    out.resize(out.size() - strm.avail_out);
  }
  lzma_end(&strm);
  if (rc != LZMA_STREAM_END) throw std::runtime_error("damaged LZMA2 stream");
  return out;
}

void putLe(Bytes& b, std::size_t at, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    b.at(at + static_cast<std::size_t>(i)) = static_cast<unsigned char>(v >> (8 * i));
}

const rtp::SigningKey& testSigningKey() {
  static const rtp::SigningKey key =
      rtp::SigningKey::load(std::string(RTP_KEYS_DIR) + "/test-release-key.pem");
  return key;
}

const rtp::crypto::PublicKey& testPublicKey() { return testSigningKey().publicKey(); }

rtp::ApplyOptions trustTestKey(bool backup) {
  rtp::ApplyOptions o;
  o.backup = backup;
  o.trustedKey = testPublicKey();
  return o;
}

Bytes signedPatch(const std::vector<rtp::PatchOp>& ops, const rtp::PatchStreams& data) {
  Bytes patch = rtp::buildPatch(ops, data);
  rtp::signPatch(patch, testSigningKey());
  return patch;
}

void resign(Bytes& patch) { rtp::signPatch(patch, testSigningKey()); }

bool RecordingProgress::next(const std::string& e) {
  events.push_back(e);
  return cancelAt < 0 || static_cast<long>(events.size()) < cancelAt;
}
bool RecordingProgress::beginFile(std::size_t index, std::size_t count) {
  return next("begin " + std::to_string(index) + "/" + std::to_string(count));
}
bool RecordingProgress::fileName(const std::string& name) { return next("name " + name); }
bool RecordingProgress::percent(int pct) { return next("pct " + std::to_string(pct)); }

}  // namespace rtptest
