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

Parts partsOf(const Bytes& patch) {
  Parts p;
  const std::size_t size =
      rtp::format::signedSize(patch.data(), patch.size(), rtp::Result::PatchCorrupt);
  p.header = rtp::format::readHeader(patch.data(), size);
  for (const rtp::format::Section& s : p.header.sections)
    p.sections.emplace_back(patch.begin() + static_cast<long>(s.range.offset),
                            patch.begin() + static_cast<long>(s.range.offset + s.range.length));
  return p;
}

Bytes assemble(Parts p, bool fit) {
  if (fit) {
    for (std::size_t i = 0; i < p.header.sections.size(); ++i) {
      rtp::SectionRange& r = p.header.sections[i].range;
      r.length = p.sections[i].size();
      r.sha256 = rtp::crypto::sha256(p.sections[i].data(), p.sections[i].size());
    }
    rtp::format::fitFileSize(p.header);
  }
  Bytes out = rtp::format::writeHeader(p.header);
  out.resize(out.size() + rtp::format::kSignatureBlockSize, 0);
  for (const Bytes& s : p.sections) out.insert(out.end(), s.begin(), s.end());
  resign(out);
  return out;
}

Bytes withSection(const Bytes& patch, std::uint32_t type, const Bytes& bytes,
                  std::uint32_t dictionary) {
  Parts p = partsOf(patch);
  auto& sections = p.header.sections;
  std::size_t i = 0;
  while (i < sections.size() && sections[i].type != type) ++i;
  if (i == sections.size()) {
    sections.push_back({type, {}});
    p.sections.emplace_back();
  }
  sections[i].range.dictionary = dictionary ? dictionary : rtp::format::maxDictionary(type);
  p.sections[i] = bytes;
  if (bytes.empty()) {
    sections.erase(sections.begin() + static_cast<long>(i));
    p.sections.erase(p.sections.begin() + static_cast<long>(i));
  }
  return assemble(p);
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

Bytes signedPatch(const std::vector<rtp::PatchOp>& ops, const rtp::PatchStreams& data,
                  const rtp::Binding& binding) {
  Bytes patch = rtp::buildPatch(ops, data, binding);
  rtp::signPatch(patch, testSigningKey());
  return patch;
}

// Found as the reader finds it, whatever the version byte says.
void resign(Bytes& patch) {
  Bytes probe = patch;
  probe.at(8) = rtp::format::kVersion;
  const std::size_t n =
      rtp::format::signedSize(probe.data(), probe.size(), rtp::Result::PatchCorrupt);
  const rtp::crypto::Signature sig = testSigningKey().sign(rtp::crypto::sha256(patch.data(), n));
  const rtp::crypto::KeyId id = testSigningKey().keyId();
  std::copy(id.begin(), id.end(), patch.begin() + static_cast<long>(n));
  std::copy(sig.begin(), sig.end(), patch.begin() + static_cast<long>(n + id.size()));
}

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
