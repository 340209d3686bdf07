// Signing patch files, on both platforms; the keys themselves are the
// platform's (signer_openssl.cpp on hosts, signer_cng.cpp in Windows builds).
#include <cstring>

#include "rtp/engine.h"
#include "rtp/format.h"
#include "rtp/keyfile.h"
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

crypto::Signature SigningKey::sign(const crypto::Digest& digest) const {
  const crypto::Signature out = signUnchecked(digest);
  // A key held by a provider might not match the public part it reports, and
  // CNG takes a private scalar with a public point that is not its own.
  if (!crypto::verifySignature(public_, digest, out))
    throw KeyError("the signing key's signature does not verify with its own public key");
  return out;
}

void signPatch(std::vector<unsigned char>& patch, const SigningKey& key) {
  std::size_t signedSize = 0;
  try {
    signedSize = format::signedSize(patch.data(), patch.size(), Result::PatchCorrupt);
  } catch (const Error& e) {
    throw KeyError(std::string("the patch's header is malformed: ") + e.what());
  }
  if (signedSize + format::kSignatureBlockSize > patch.size())
    throw KeyError("the patch's header is malformed: it is cut short");
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
    // The reader found it sound: the header is what it says.
    unsigned char start[sizeof format::kMagic + 1 + 2];
    in->seek(0);
    if (in->read(start, sizeof start) != sizeof start) throw KeyError("cannot read " + path);
    const std::size_t headerSize =
        format::signedSize(start, sizeof start, Result::PatchCorrupt) + format::kSignatureBlockSize;
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

// Both platforms read the file here; the platform's own crypto says whether
// the point is one it can check signatures with.
crypto::PublicKey readPublicKey(const std::string& pemPath) {
  const crypto::PublicKey key =
      keyfile::readPublicKey(keyfile::readText(pemPath, "public key"), pemPath);
  if (!crypto::isPublicKey(key)) throw KeyError(pemPath + " holds no usable P-256 public key");
  return key;
}

}  // namespace rtp
