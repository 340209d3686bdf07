// Tree comparison: which files and folders appear, change or vanish.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <utility>

#include "big_buffer.h"
#include "both.h"
#include "rtp/maker.h"
#include "rtp/paths.h"
#include "rtp/signer.h"

namespace fs = std::filesystem;

namespace rtp {

namespace {

struct Tree {
  std::set<std::string> files, dirs;  // relative, '/' separated
};

void walk(const fs::path& root, const fs::path& dir, const std::string& prefix, Tree& tree) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  if (ec) throw MakeError("cannot list " + dir.string() + ": " + ec.message());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string rel = prefix.empty() ? name : prefix + "/" + name;
    std::string why = checkRelativePath(rel);
    if (!why.empty())
      throw MakeError(rel + " in " + root.string() + " cannot go into a patch: " + why);
    const fs::path p = dir / name;
    fs::file_status st = fs::symlink_status(p, ec);
    if (ec) throw MakeError("cannot examine " + p.string() + ": " + ec.message());
    if (fs::is_symlink(st))
      throw MakeError(p.string() + " is a symbolic link; patches hold only files and folders");
    if (fs::is_directory(st)) {
      tree.dirs.insert(rel);
      walk(root, p, rel, tree);
    } else if (fs::is_regular_file(st)) {
      tree.files.insert(rel);
    } else {
      throw MakeError(p.string() + " is neither a file nor a folder");
    }
  }
}

Tree scan(const std::string& root) {
  std::error_code ec;
  if (!fs::is_directory(root, ec)) throw MakeError("folder " + root + " not found");
  Tree t;
  walk(root, root, "", t);
  return t;
}

// A file's bytes, read whole.
using FileBytes = std::vector<unsigned char, BigAllocator<unsigned char>>;

FileBytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MakeError("cannot open " + path);
  FileBytes data;
  in.seekg(0, std::ios::end);
  std::streamoff n = in.tellg();
  in.seekg(0);
  if (n < 0) throw MakeError("cannot read " + path);
  data.resize(static_cast<std::size_t>(n));
  if (n > 0 && !in.read(reinterpret_cast<char*>(data.data()), n))
    throw MakeError("cannot read " + path);
  return data;
}

// Names that differ only in case are the same file on Windows.
void checkCaseClashes(const Tree& oldTree, const Tree& newTree) {
  std::map<std::string, std::string> seen;
  auto add = [&](const std::string& p, bool fromNew) {
    auto r = seen.emplace(foldCase(p), p);
    if (!r.second && r.first->second != p)
      throw MakeError(r.first->second + " and " + p + " differ only in case" +
                      (fromNew ? "" : " (rename through a temporary name in two patches)"));
  };
  for (const auto* t : {&newTree, &oldTree}) {
    for (const auto& f : t->files) add(f, t == &newTree);
    for (const auto& d : t->dirs) add(d, t == &newTree);
  }
}

void checkBinding(const Binding& binding) {
  for (const auto& [what, text] :
       {std::pair<const char*, const std::string&>{"product", binding.product},
        {"patch name", binding.name},
        {"from-release", binding.from},
        {"to-release", binding.to}}) {
    const std::string why = format::whyNotText(text);
    if (!why.empty()) throw MakeError(std::string("the ") + what + " '" + text + "' " + why);
  }
}

// The operations that turn one tree into the other, in the order the
// applier needs: deletions first (a file may become a folder), then folders
// parents first, contents, and finally the folders that go, children first.
std::vector<PatchOp> treeOps(const Tree& oldTree, const Tree& newTree, MakeStats& stats) {
  checkCaseClashes(oldTree, newTree);
  for (const std::string& d : oldTree.dirs)
    if (newTree.files.count(d))
      throw MakeError("folder " + d + " became a file; make that change in two patches");
  std::vector<PatchOp> ops;
  auto add = [&](OpKind kind, const std::string& path) {
    PatchOp op;
    op.kind = kind;
    op.path = path;
    ops.push_back(op);
  };
  for (const std::string& f : oldTree.files)
    if (!newTree.files.count(f)) {
      add(OpKind::Delete, f);
      ++stats.deleted;
    }
  for (const std::string& d : newTree.dirs)
    if (!oldTree.dirs.count(d)) {
      add(OpKind::MakeDir, d);
      ++stats.dirsMade;
    }
  for (const std::string& f : newTree.files)
    add(oldTree.files.count(f) ? OpKind::Modify : OpKind::Add, f);
  for (auto it = oldTree.dirs.rbegin(); it != oldTree.dirs.rend(); ++it)
    if (!newTree.dirs.count(*it)) {
      add(OpKind::RemoveDir, *it);
      ++stats.dirsRemoved;
    }
  return ops;
}

// An added file takes its permissions from the new tree; a modified one
// keeps those it has.
std::uint32_t addedMode(const std::string& path) {
  std::error_code ec;
  const fs::perms p = fs::status(path, ec).permissions();
  if (ec) return 0;
#ifdef _WIN32
  // Windows keeps no permission bits: record those of a POSIX tree under the
  // usual umask, so that both tools make the same patch of the same tree.
  return (p & fs::perms::owner_write) != fs::perms::none ? 0644 : 0444;
#else
  return static_cast<std::uint32_t>(p) & 07777;
#endif
}

// A delta is made from an old file below this size; from it on the new one
// is stored in full, as sorting the old one would take several times its
// size in memory.
constexpr std::uint64_t kDeltaBelow = std::uint64_t(1) << 30;

// A file the patch adds may be made from one both trees hold unchanged under
// the same name elsewhere: a new translation's catalogue from another
// language's, a new plug-in from its sibling. Of those nearest in size, the
// ones sharing the most sampled stretches with the new content are compared
// in full; files this small are not worth the time.
class References {
 public:
  static constexpr std::uint64_t kFrom = 4096;
  static constexpr std::size_t kSampled = 32;
  static constexpr std::size_t kTried = 3;

  References(const std::string& oldDir, const std::string& newDir, const Tree& oldTree,
             const Tree& newTree)
      : oldDir_(oldDir), newDir_(newDir) {
    for (const std::string& f : oldTree.files)
      if (newTree.files.count(f)) byName_[nameOf(f)].push_back(f);
  }

  // Makes op's content as a delta from the reference it is smallest from,
  // when that beats the content in full. Returns whether it did.
  bool encode(PatchOp& op, const FileBytes& content, PatchStreams& streams) {
    if (content.size() < kFrom) return false;
    auto it = byName_.find(nameOf(op.path));
    if (it == byName_.end()) return false;
    std::vector<std::pair<std::uint64_t, std::string>> near;
    for (const std::string& f : it->second) {
      std::error_code ec, changed;
      const std::uint64_t size = fs::file_size(fs::path(oldDir_) / f, ec);
      if (ec || size >= kDeltaBelow || fs::file_size(fs::path(newDir_) / f, changed) != size ||
          changed)
        continue;
      near.emplace_back(size > content.size() ? size - content.size() : content.size() - size, f);
    }
    std::sort(near.begin(), near.end());
    if (near.size() > kSampled) near.resize(kSampled);
    // Most shared samples first; unchanged ones only.
    const std::vector<std::uint32_t> wanted = sampledStretches(content.data(), content.size());
    std::vector<std::pair<std::size_t, std::string>> ranked;
    for (const auto& candidate : near) {
      const std::string& ref = candidate.second;
      FileBytes o = readAll((fs::path(oldDir_) / ref).string());
      if (o != readAll((fs::path(newDir_) / ref).string())) continue;
      const std::vector<std::uint32_t> has = sampledStretches(o.data(), o.size());
      std::size_t shared = 0;
      for (std::uint32_t h : wanted) shared += std::binary_search(has.begin(), has.end(), h);
      ranked.emplace_back(~shared, ref);
    }
    std::sort(ranked.begin(), ranked.end());
    std::uint64_t best = compressedSize(content.data(), content.size());
    PatchStreams chosen;
    bool found = false;
    for (std::size_t i = 0; i < ranked.size() && i < kTried; ++i) {
      const std::string& ref = ranked[i].second;
      FileBytes o = readAll((fs::path(oldDir_) / ref).string());
      PatchStreams delta = encodeDelta(o.data(), o.size(), content.data(), content.size());
      const std::uint64_t size = compressedSize(delta) + ref.size();
      if (size >= best) continue;
      best = size;
      found = true;
      op.reference = ref;
      op.oldSize = o.size();
      op.oldHash = hashBytes(o.data(), o.size());
      chosen = std::move(delta);
    }
    if (!found) return false;
    op.encoding = Encoding::Delta;
    streams.append(chosen);
    return true;
  }

 private:
  static std::string nameOf(const std::string& rel) { return rel.substr(rel.rfind('/') + 1); }

  std::string oldDir_, newDir_;
  std::map<std::string, std::vector<std::string>> byName_;
};

// From this size on, a file changed in place is compared without reading
// it whole (encodeInPlace); below, the whole comparison costs little.
constexpr std::uint64_t kInPlaceFrom = 16u << 20;

// Reads op's files and appends its data to streams, as a delta where that is
// smaller than the content in full. False for a file that did not change,
// which the patch leaves out.
bool encodeOp(PatchOp& op, const std::string& oldPath, const std::string& newPath,
              References& references, PatchStreams& streams) {
  if (op.kind == OpKind::Delete) {
    FileBytes o = readAll(oldPath);
    op.oldSize = o.size();
    op.oldHash = hashBytes(o.data(), o.size());
    return true;
  }
  if (op.kind != OpKind::Add && op.kind != OpKind::Modify) return true;
  if (op.kind == OpKind::Modify) {
    std::error_code oldFailed, newFailed;
    const std::uint64_t size = fs::file_size(oldPath, oldFailed);
    if (!oldFailed && size >= kInPlaceFrom && fs::file_size(newPath, newFailed) == size &&
        !newFailed) {
      std::ifstream o(oldPath, std::ios::binary), n(newPath, std::ios::binary);
      if (!o || !n) throw MakeError("cannot open " + (o ? newPath : oldPath));
      PatchStreams delta;
      const InPlace found = encodeInPlace(o, n, size, op.oldHash, op.newHash, delta);
      if (found != InPlace::Other) {
        op.oldSize = op.newSize = size;
        if (found == InPlace::Same) return false;
        op.encoding = Encoding::Delta;
        streams.append(delta);
        return true;
      }
    }
  }
  FileBytes n = readAll(newPath);
  op.newSize = n.size();
  op.newHash = hashBytes(n.data(), n.size());
  op.encoding = Encoding::Full;
  if (op.kind == OpKind::Add) {
    op.mode = addedMode(newPath);
    if (references.encode(op, n, streams)) return true;
  }
  if (op.kind == OpKind::Modify) {
    FileBytes o = readAll(oldPath);
    op.oldSize = o.size();
    op.oldHash = hashBytes(o.data(), o.size());
    if (o == n) return false;
    if (o.size() < kDeltaBelow) {
      DeltaIndex index(o.data(), o.size(), n.data(), n.size());
      if (index.wantsWholeSort()) {
        // The new file is read again once the old one is sorted: holding
        // it through the suffix sort was the peak of the make.
        n = FileBytes();
        index.sortWhole();
        n = readAll(newPath);
        if (n.size() != op.newSize || hashBytes(n.data(), n.size()) != op.newHash)
          throw MakeError(newPath + " changed while the patch was made");
      }
      PatchStreams delta = encodeDelta(std::move(index), n.data(), n.size());
      o = FileBytes();
      // Known already where candidates were compared (compressedSize keeps
      // what it last measured). A delta this small beats the content stored
      // in full without compressing that (slow with LZMA) to see.
      const std::uint64_t deltaSize = compressedSize(delta);
      if (deltaSize < n.size() / 16 || deltaSize < compressedSize(n.data(), n.size())) {
        streams.append(delta);
        op.encoding = Encoding::Delta;
      }
    }
  }
  if (op.encoding == Encoding::Full)
    streams.literals.insert(streams.literals.end(), n.begin(), n.end());
  return true;
}

void checkLimits(const std::vector<PatchOp>& ops) {
  std::uint64_t opsBytes = 0;
  for (const PatchOp& op : ops)
    opsBytes +=
        format::kOpFixedSize + op.path.size() + (namesReference(op) ? 2 + op.reference.size() : 0);
  if (ops.size() > format::kMaxOps || opsBytes > format::kMaxOpsSection)
    throw MakeError("too many files for one patch (" + std::to_string(ops.size()) +
                    " operations); split the trees into several patches");
}

// Written under a temporary name so a failed run leaves no half patch.
void writeWhole(const std::string& patchPath, const std::vector<unsigned char>& bytes) {
  const std::string tmp = patchPath + ".part";
  {
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) throw MakeError("cannot create " + tmp);
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok) {
      std::remove(tmp.c_str());
      throw MakeError("cannot write " + tmp);
    }
  }
  // std::filesystem replaces an existing patch on Windows too, where rename() does not.
  std::error_code renamed;
  fs::rename(tmp, patchPath, renamed);
  if (renamed) {
    std::remove(tmp.c_str());
    throw MakeError("cannot create " + patchPath);
  }
}

}  // namespace

MakeStats makePatch(const std::string& oldDir, const std::string& newDir,
                    const std::string& patchPath, const SigningKey* signer, MakeProgress* progress,
                    Binding binding) {
  return makePatch(oldDir, newDir, patchPath, SignerWhenBuilt([signer] { return signer; }),
                   progress, std::move(binding));
}

MakeStats makePatch(const std::string& oldDir, const std::string& newDir,
                    const std::string& patchPath, const SignerWhenBuilt& signer,
                    MakeProgress* progress, Binding binding) {
  if (binding.name.empty()) binding.name = patchNameOf(patchPath);
  checkBinding(binding);
  helper::warm();
  MakeStats stats;
  const Tree oldTree = scan(oldDir), newTree = scan(newDir);
  std::vector<PatchOp> ops = treeOps(oldTree, newTree, stats);
  References references(oldDir, newDir, oldTree, newTree);

  // Two files at a time: most of a tree's are too small to keep a second
  // core busy on their own (not in a 32-bit process, whose address space
  // may not hold two large files' indexes). Each keeps its streams apart
  // until all are made, so the patch is the same whatever the timing.
  std::vector<PatchStreams> each(ops.size());
  std::vector<char> changed(ops.size());
  std::size_t next = 0;
  std::mutex taking;
  bool failed = false;
  auto work = [&] {
    try {
      for (;;) {
        std::size_t i;
        {
          const std::lock_guard<std::mutex> held(taking);
          if (failed || next == ops.size()) return;
          i = next++;
          if (progress) progress->onFile(i, ops.size(), ops[i].path);
        }
        changed[i] = encodeOp(ops[i], (fs::path(oldDir) / ops[i].path).string(),
                              (fs::path(newDir) / ops[i].path).string(), references, each[i]);
      }
    } catch (...) {
      const std::lock_guard<std::mutex> held(taking);
      failed = true;
      throw;
    }
  };
  both(ops.size() > 1 && sizeof(void*) >= 8, work, work);

  PatchStreams streams;
  std::vector<PatchOp> kept;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    if (!changed[i]) {
      ++stats.unchanged;
      continue;
    }
    streams.append(each[i]);
    each[i] = PatchStreams();
    stats.modified += ops[i].kind == OpKind::Modify;
    stats.added += ops[i].kind == OpKind::Add;
    kept.push_back(ops[i]);
  }
  checkLimits(kept);

  std::vector<unsigned char> bytes = buildPatch(kept, streams, binding);
  if (const SigningKey* key = signer ? signer() : nullptr) signPatch(bytes, *key);
  writeWhole(patchPath, bytes);
  stats.patchSize = bytes.size();
  return stats;
}

}  // namespace rtp
