// libFuzzer entry that applies mutated patches to a real tree: whatever the
// patch says and wherever it is cancelled, nothing outside the product
// changes and the product ends exactly as it was or exactly as the patch
// declares. The corpus replay test calls the same function on every run.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "corpus_trees.h"
#include "rtp/engine.h"

bool rtpFuzzFixHashes(std::vector<std::uint8_t>& patch);
std::vector<std::uint8_t> rtpFuzzAssemble(const std::uint8_t* data, std::size_t size);
const rtp::crypto::PublicKey& rtpFuzzTrustedKey();

namespace {

namespace stdfs = std::filesystem;

// path -> content; "<dir>" for folders, "<link>target" for links.
using Tree = std::map<std::string, std::string>;

[[noreturn]] void violation() { __builtin_trap(); }

std::string slurp(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Tree read(const stdfs::path& root) {
  Tree t;
  for (auto it = stdfs::recursive_directory_iterator(root);
       it != stdfs::recursive_directory_iterator(); ++it) {
    const std::string rel = it->path().lexically_relative(root).generic_string();
    if (it->is_symlink())
      t[rel] = "<link>" + stdfs::read_symlink(it->path()).string();
    else if (it->is_directory())
      t[rel] = "<dir>";
    else
      t[rel] = slurp(it->path());
  }
  return t;
}

void lay(const stdfs::path& root, const Tree& tree) {
  stdfs::create_directories(root);
  for (const auto& [rel, content] : tree) {
    const stdfs::path p = root / rel;
    if (content == "<dir>") {
      stdfs::create_directories(p);
    } else if (content.rfind("<link>", 0) == 0) {
      stdfs::create_symlink(content.substr(6), p);
    } else {
      std::ofstream(p, std::ios::binary) << content;
    }
  }
}

class CancelAt : public rtp::ProgressSink {
 public:
  explicit CancelAt(long n) : left_(n) {}
  bool beginFile(std::size_t, std::size_t) override { return --left_ != 0; }
  bool fileName(const std::string&) override { return --left_ != 0; }
  bool percent(int) override { return --left_ != 0; }

 private:
  long left_;
};

bool hasChildren(const Tree& t, const std::string& dir) {
  auto it = t.upper_bound(dir + "/");
  return it != t.end() && it->first.compare(0, dir.size() + 1, dir + "/") == 0;
}

// The product as the patch declares it, with new contents stood for by
// their hashes.
Tree declared(Tree t, const std::vector<rtp::PatchOp>& ops) {
  for (const rtp::PatchOp& op : ops) {
    switch (op.kind) {
      case rtp::OpKind::MakeDir:
        t[op.path] = "<dir>";
        break;
      case rtp::OpKind::Add:
      case rtp::OpKind::Modify:
        t[op.path] = "<hash>" + op.newHash.hex();
        break;
      case rtp::OpKind::Delete:
        t.erase(op.path);
        break;
      case rtp::OpKind::RemoveDir:
        if (!hasChildren(t, op.path)) t.erase(op.path);
        break;
    }
  }
  return t;
}

bool matches(const Tree& got, const Tree& want, const Tree& before, bool backup) {
  for (const auto& [rel, content] : got) {
    if (backup && rel.rfind("backup", 0) == 0 && want.count(rel) == 0) {
      // A backup holds an original, or is a folder on the way to one.
      const std::string original = rel.size() > 7 ? rel.substr(7) : "";
      if (content != "<dir>" && (before.count(original) == 0 || before.at(original) != content))
        return false;
      continue;
    }
    auto w = want.find(rel);
    if (w == want.end()) return false;
    if (w->second.rfind("<hash>", 0) == 0) {
      if (rtp::hashBytes(content.data(), content.size()).hex() != w->second.substr(6)) return false;
    } else if (w->second != content) {
      return false;
    }
  }
  for (const auto& [rel, content] : want)
    if (got.count(rel) == 0) return false;
  return true;
}

const stdfs::path& base() {
  static const stdfs::path b =
      stdfs::temp_directory_path() / ("rtp-fuzz-apply-" + std::to_string(getpid()));
  return b;
}

}  // namespace

// data[0]: bit 0 backup, bits 1 to 6 the progress event to cancel at (0:
// none), bit 7 set: data[1...] are the decoded contents of the sections
// (rtpFuzzAssemble makes them a signed patch), else the patch image, its
// hashes made to match when they can be.
int rtpFuzzApplyPatch(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  rtp::ApplyOptions options;
  options.backup = data[0] & 1;
  options.trustedKey = rtpFuzzTrustedKey();
  const long cancelAt = (data[0] >> 1) & 63;
  std::vector<std::uint8_t> patch;
  if (data[0] & 0x80) {
    patch = rtpFuzzAssemble(data + 1, size - 1);
  } else {
    patch.assign(data + 1, data + size);
    rtpFuzzFixHashes(patch);
  }

  const stdfs::path product = base() / "product", outside = base() / "outside",
                    patchFile = base() / "p.rtp";
  stdfs::remove_all(base());
  rtptest::TreeText sample = rtptest::sampleOldTree();
  Tree start(sample.begin(), sample.end());
  // A link inside the product that leads out: nothing may go through it.
  start["lnk"] = "<link>" + outside.string();
  lay(product, start);
  const Tree outsideBefore = {{"canary", "outside"}};
  lay(outside, outsideBefore);
  std::ofstream(patchFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(patch.data()),
             static_cast<std::streamsize>(patch.size()));

  std::unique_ptr<rtp::FileSystem> fs = rtp::makeNativeFileSystem();
  CancelAt cancel(cancelAt);
  const rtp::Outcome o = rtp::applyPatch(*fs, patchFile.string(), product.string(), options,
                                         cancelAt > 0 ? &cancel : nullptr);
  // A healthy disk never leaves a rollback undone.
  if (o.result == rtp::Result::RollbackFailed) violation();
  if (read(outside) != outsideBefore) violation();
  const Tree after = read(product);
  if (o.ok()) {
    std::unique_ptr<rtp::File> f = fs->openRead(patchFile.string());
    std::vector<rtp::PatchOp> ops;
    if (!rtp::readPatch(*f, &rtpFuzzTrustedKey(), &ops).ok()) violation();
    if (!matches(after, declared(start, ops), start, options.backup)) violation();
  } else if (after != start) {
    violation();
  }
  stdfs::remove_all(base());
  return static_cast<int>(o.result);
}

#ifdef RTP_FUZZ_APPLY
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtpFuzzApplyPatch(data, size);
  return 0;
}
#endif
