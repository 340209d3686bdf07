// Signing patch files, on both platforms; the keys themselves are the
// platform's (signer_openssl.cpp on hosts, signer_cng.cpp in Windows builds).
#include <cstring>

#include "rtp/engine.h"
#include "rtp/format.h"
#include "rtp/signer.h"

namespace rtp {

namespace {

void removeQuietly(FileSystem& fs, const std::string& path) {
  try {
    fs.removeFile(path);
  } catch (const IoFailure&) {
  }
}

}  // namespace

void signPatch(std::vector<unsigned char>& patch, const SigningKey& key) {
  auto le32 = [&](std::size_t at) {
    return std::uint32_t(patch[at]) | std::uint32_t(patch[at + 1]) << 8 |
           std::uint32_t(patch[at + 2]) << 16 | std::uint32_t(patch[at + 3]) << 24;
  };
  if (patch.size() < format::kFixedHeaderSize ||
      std::memcmp(patch.data(), format::kMagic, sizeof format::kMagic) != 0)
    throw KeyError("not a patch file");
  const std::uint32_t headerSize = le32(12), sections = le32(16);
  if (sections < format::kMinSections || sections > format::kMaxSections ||
      headerSize != format::headerSize(sections) || headerSize > patch.size())
    throw KeyError("the patch's header is malformed");
  const std::size_t signedSize = headerSize - format::kSignatureBlockSize;
  const crypto::Signature sig = key.sign(crypto::sha256(patch.data(), signedSize));
  const crypto::KeyId id = key.keyId();
  std::copy(id.begin(), id.end(), patch.begin() + static_cast<long>(signedSize));
  std::copy(sig.begin(), sig.end(), patch.begin() + static_cast<long>(signedSize + id.size()));
}

void signPatchFile(const std::string& path, const SigningKey& key) {
  std::unique_ptr<FileSystem> fs = makeNativeFileSystem();
  std::unique_ptr<File> in;
  try {
    in = fs->openRead(path);
  } catch (const IoFailure& e) {
    throw Error(Result::PatchUnreadable, e.what());
  }
  PatchInfo info;
  const Outcome read = readPatch(*in, nullptr, nullptr, &info);
  if (!read.ok()) throw Error(read.result, read.message);
  if (info.signer != crypto::KeyId{})
    throw KeyError("already signed by key " + crypto::hex(info.signer) +
                   "; only unsigned patches are signed");

  const std::string tmp = path + ".sign-part";
  try {
    unsigned char fixed[format::kFixedHeaderSize];
    in->seek(0);
    if (in->read(fixed, sizeof fixed) != sizeof fixed) throw KeyError("cannot read " + path);
    const std::size_t headerSize =
        fixed[12] | fixed[13] << 8 | fixed[14] << 16 | std::size_t(fixed[15]) << 24;
    std::vector<unsigned char> buf(1 << 20);
    std::vector<unsigned char> header(headerSize);
    in->seek(0);
    if (in->read(header.data(), header.size()) != header.size())
      throw KeyError("cannot read " + path);
    signPatch(header, key);
    std::unique_ptr<File> out = fs->create(tmp);
    out->write(header.data(), header.size());
    for (std::size_t n; (n = in->read(buf.data(), buf.size())) > 0;) out->write(buf.data(), n);
    out->sync();
    out.reset();
    in.reset();
    fs->rename(tmp, path);
    fs->flush();
  } catch (const IoFailure& e) {
    removeQuietly(*fs, tmp);
    throw KeyError(std::string("cannot rewrite the patch: ") + e.what());
  } catch (...) {
    removeQuietly(*fs, tmp);
    throw;
  }
}

}  // namespace rtp
