// The signed header of a patch file, read and written in one place.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "rtp/bytes.h"
#include "rtp/format.h"

namespace rtp {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWithoutCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

void putText(std::vector<unsigned char>& out, const std::string& text) {
  if (text.size() > 255) throw std::invalid_argument("header text longer than 255 bytes");
  out.push_back(static_cast<unsigned char>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

std::string takeText(bytes::Reader& r, const char* what) {
  const std::size_t n = r.byte();
  const unsigned char* p = r.take(n);
  std::string text(reinterpret_cast<const char*>(p), n);
  const std::string why = format::whyNotText(text);
  if (!why.empty()) throw Error(Result::PatchCorrupt, std::string(what) + " " + why);
  return text;
}

unsigned exponentOf(std::uint32_t dictionary) {
  unsigned e = 0;
  while (e < 31 && (std::uint32_t(1) << (e + 1)) <= dictionary) ++e;
  return dictionary ? e : 0;
}

const char* sectionName(std::uint32_t type) {
  static const char* const names[] = {"operations", "literal",       "command",    "position",
                                      "difference", "small-streams", "small-patch"};
  return type >= 1 && type <= format::kSectionCount ? names[type - 1] : "unknown";
}

}  // namespace

std::string patchNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.size() > 4 && sameWithoutCase(name.substr(name.size() - 4), ".rtp"))
    name.resize(name.size() - 4);
  return name;
}

std::string bindingMismatch(const Binding& patch, const Binding& required) {
  struct Field {
    const char* what;
    const std::string &is, &wanted;
  };
  const Field fields[] = {{"for product", patch.product, required.product},
                          {"named", patch.name, required.name},
                          {"from release", patch.from, required.from},
                          {"to release", patch.to, required.to}};
  for (const Field& f : fields) {
    const bool same = f.what == fields[1].what ? sameWithoutCase(f.is, f.wanted) : f.is == f.wanted;
    if (!f.wanted.empty() && !same)
      return std::string(f.what) + " '" + f.is + "', not '" + f.wanted + "'";
  }
  return "";
}

namespace format {

// Printable ASCII: it is shown to people and compared with what they typed.
std::string whyNotText(const std::string& text) {
  if (text.size() > kMaxTextLength)
    return "is longer than " + std::to_string(kMaxTextLength) + " characters";
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
    return "is not printable ASCII text";
  return "";
}

std::vector<unsigned char> writeHeader(const Header& h) {
  std::vector<unsigned char> body;
  for (const std::string* text :
       {&h.binding.product, &h.binding.name, &h.binding.from, &h.binding.to})
    putText(body, *text);
  bytes::putVarint(body, h.opCount);
  bytes::putVarint(body, h.totalNewBytes);
  bytes::putVarint(body, h.fileSize);
  body.push_back(static_cast<unsigned char>(h.sections.size()));
  for (const Section& s : h.sections) {
    body.push_back(static_cast<unsigned char>(s.type));
    body.push_back(static_cast<unsigned char>(exponentOf(s.range.dictionary)));
    bytes::putVarint(body, s.range.length);
    body.insert(body.end(), s.range.sha256.begin(), s.range.sha256.end());
  }
  // The size counts its own bytes.
  const std::size_t fixed = sizeof kMagic + 1 + body.size();
  std::size_t n = 1;
  while (bytes::varintSize(fixed + n) != n) ++n;
  std::vector<unsigned char> out(kMagic, kMagic + sizeof kMagic);
  out.push_back(kVersion);
  bytes::putVarint(out, fixed + n);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

void fitFileSize(Header& h) {
  std::uint64_t sections = 0;
  for (const Section& s : h.sections) sections += s.range.length;
  // The size is in the header it counts: a longer varint makes the header
  // longer, so settle it.
  for (std::uint64_t previous = ~0ull; h.fileSize != previous;) {
    previous = h.fileSize;
    h.fileSize = writeHeader(h).size() + kSignatureBlockSize + sections;
  }
}

std::size_t signedSize(const unsigned char* p, std::size_t have, Result fault) {
  if (have < sizeof kMagic || std::memcmp(p, kMagic, sizeof kMagic) != 0)
    throw Error(Result::PatchCorrupt, "not a patch file (bad magic number)");
  if (have == sizeof kMagic) throw Error(fault, "patch file is truncated");
  const unsigned version = p[sizeof kMagic];
  if (version != kVersion)
    throw Error(Result::UnsupportedVersion, "patch format version " + std::to_string(version) +
                                                " is not supported (this engine reads version " +
                                                std::to_string(kVersion) + ")");
  bytes::Reader r(p + sizeof kMagic + 1, have - sizeof kMagic - 1, "header size", fault);
  const std::uint64_t size = r.varint();
  if (size < kMinSignedSize || size > kMaxSignedSize) throw Error(fault, "bad header size");
  return static_cast<std::size_t>(size);
}

Header readHeader(const unsigned char* p, std::size_t size) {
  bytes::Reader r(p, size, "header");
  r.take(sizeof kMagic + 1);
  r.varint();
  Header h;
  h.binding.product = takeText(r, "product");
  h.binding.name = takeText(r, "patch name");
  h.binding.from = takeText(r, "from-release");
  h.binding.to = takeText(r, "to-release");
  const std::uint64_t opCount = r.varint();
  if (opCount > kMaxOps) throw Error(Result::PatchCorrupt, "too many operations");
  h.opCount = static_cast<std::uint32_t>(opCount);
  h.totalNewBytes = r.varint();
  h.fileSize = r.varint();
  const unsigned count = r.byte();
  if (count > kMaxSections) throw Error(Result::PatchCorrupt, "bad section count");
  bool present[kSectionCount + 1] = {};
  // Back to back after the signature block, in the table's order.
  std::uint64_t offset = size + kSignatureBlockSize;
  for (unsigned i = 0; i < count; ++i) {
    Section s;
    s.type = r.byte();
    const unsigned exponent = r.byte();
    s.range.length = r.varint();
    const unsigned char* sha = r.take(s.range.sha256.size());
    std::copy(sha, sha + s.range.sha256.size(), s.range.sha256.begin());
    if (s.type < kSectionOps || s.type > kSectionCount)
      throw Error(Result::UnsupportedVersion, "unknown section type " + std::to_string(s.type));
    if (present[s.type])
      throw Error(Result::PatchCorrupt,
                  std::string("duplicate ") + sectionName(s.type) + " section");
    present[s.type] = true;
    // The dictionary is what the decoder will allocate: bounded by the type.
    s.range.dictionary = exponent < 32 ? std::uint32_t(1) << exponent : 0;
    if (s.range.dictionary < kMinDictionary || s.range.dictionary > maxDictionary(s.type))
      throw Error(Result::PatchCorrupt,
                  std::string("bad dictionary size for the ") + sectionName(s.type) + " section");
    if (s.range.length == 0)
      throw Error(Result::PatchCorrupt,
                  std::string("empty ") + sectionName(s.type) + " section listed");
    if (s.type == kSectionOps && s.range.length > kMaxOpsSection)
      throw Error(Result::PatchCorrupt, "operations section too large");
    // Read into memory whole: bounded before anything is read.
    if (s.type >= kSectionSmallStreams && s.range.length > kMaxSmallStreamsStored)
      throw Error(Result::PatchCorrupt, std::string(sectionName(s.type)) + " section too large");
    if (s.range.length > h.fileSize || offset > h.fileSize - s.range.length)
      throw Error(Result::PatchCorrupt, "section lies outside the patch file");
    s.range.offset = offset;
    offset += s.range.length;
    h.sections.push_back(s);
  }
  if (!r.atEnd()) throw Error(Result::PatchCorrupt, "bytes after the section table");
  // Two places for one stream: which would the decoder believe?
  for (std::uint32_t joined : {kSectionSmallStreams, kSectionSmallPatch}) {
    if (!present[joined]) continue;
    for (std::uint32_t t = joined == kSectionSmallPatch ? kSectionOps : kSectionLiterals;
         t < joined; ++t)
      if (present[t])
        throw Error(Result::PatchCorrupt, std::string(sectionName(joined)) + " section beside a " +
                                              sectionName(t) + " section");
  }
  // Header and sections tile the file: a byte after them would be checked by
  // no hash.
  if (offset != h.fileSize) throw Error(Result::PatchCorrupt, "bytes after the last section");
  return h;
}

}  // namespace format
}  // namespace rtp
