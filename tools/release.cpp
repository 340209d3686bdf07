#include "release.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

#include "description.h"
#include "keys.h"
#include "rtp/engine.h"
#include "rtp/maker.h"

namespace rtptool {

namespace {

namespace stdfs = std::filesystem;

// Relative path -> "d" for a folder, "f" and the bytes for a file.
using Tree = std::map<std::string, std::string>;

Tree readTree(const std::string& root) {
  Tree tree;
  for (const auto& entry : stdfs::recursive_directory_iterator(root)) {
    const std::string rel = entry.path().lexically_relative(root).generic_string();
    if (entry.is_directory()) {
      tree[rel] = "d";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      tree[rel] = "f" + std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return tree;
}

// Empty when equal; else the first few differences.
std::string difference(const Tree& got, const Tree& want) {
  std::vector<std::string> lines;
  for (const auto& [path, content] : want) {
    const auto found = got.find(path);
    if (found == got.end())
      lines.push_back("missing " + path);
    else if (found->second != content)
      lines.push_back("differs " + path);
  }
  for (const auto& entry : got)
    if (!want.count(entry.first)) lines.push_back("extra " + entry.first);
  std::string out;
  for (std::size_t i = 0; i < lines.size() && i < 5; ++i) out += (i ? ", " : "") + lines[i];
  if (lines.size() > 5) out += " (and " + std::to_string(lines.size() - 5) + " more)";
  return out;
}

// A private scratch folder, removed with its content.
class Scratch {
 public:
  Scratch() {
#ifdef _WIN32
    // TMP or TEMP; a name nobody has taken yet.
    const stdfs::path base = stdfs::temp_directory_path();
    std::random_device random;
    for (int tries = 0; path_.empty(); ++tries) {
      const stdfs::path candidate = base / ("rtptool-release-" + std::to_string(random()));
      std::error_code error;
      if (stdfs::create_directory(candidate, error)) path_ = candidate.string();
      if (error || tries == 100) throw std::runtime_error("no scratch folder in " + base.string());
    }
#else
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/rtptool-release-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("no scratch folder in " + pattern);
    path_ = pattern;
#endif
  }
  ~Scratch() {
    std::error_code ignored;
    stdfs::remove_all(path_, ignored);
  }
  // A fresh copy of tree, named name.
  std::string copy(const std::string& tree, const std::string& name) const {
    const std::string to = (stdfs::path(path_) / name).string();
    stdfs::remove_all(to);
    stdfs::copy(tree, to, stdfs::copy_options::recursive);
    return to;
  }

 private:
  std::string path_;
};

bool contains(const std::vector<std::string>& list, const std::string& item) {
  for (const std::string& s : list)
    if (s == item) return true;
  return false;
}

class Checker {
 public:
  Checker(const ReleaseDescription& d, const rtp::crypto::PublicKey& trusted) : d_(d) {
    options_.trustedKey = trusted;
  }

  std::string file(const ReleasePatch& p) const {
    return (stdfs::path(d_.output) / (p.name + ".rtp")).string();
  }

  // What the patch is signed for, and what the updater's library asks of it.
  rtp::Binding binding(const ReleasePatch& p) const { return {d_.product, p.name, d_.from, d_.to}; }
  rtp::Outcome apply(const ReleasePatch& p, const std::string& dir) {
    rtp::ApplyOptions options = options_;
    options.required = binding(p);
    return rtp::applyPatch(*fs_, file(p), dir, options);
  }

  // The updater's sequence on dir: edition patches until one fits, then the
  // shared ones. Empty when it ran through; else what went wrong.
  std::string chain(const Installation& i, const std::string& dir, std::string& winner) {
    winner.clear();
    bool anyEdition = false;
    for (const ReleasePatch& p : d_.patches) {
      if (p.edition()) {
        anyEdition = true;
        if (!winner.empty()) continue;
        const rtp::Outcome o = apply(p, dir);
        if (o.ok()) {
          winner = p.name;
          if (!contains(p.fits, i.name))
            return p.name + ".rtp applied to " + i.name + ", which it should refuse";
        } else if (o.result != rtp::Result::WrongInstallation) {
          return p.name + ".rtp failed on " + i.name + ": " + rtp::resultName(o.result) + ": " +
                 o.message;
        }
        continue;
      }
      if (anyEdition && winner.empty()) return "no edition patch fits " + i.name;
      const rtp::Outcome o = apply(p, dir);
      if (!o.ok())
        return p.name + ".rtp does not apply" +
               (winner.empty() ? "" : " after " + winner + ".rtp") + ": " +
               rtp::resultName(o.result) + ": " + o.message;
    }
    if (anyEdition && winner.empty()) return "no edition patch fits " + i.name;
    return "";
  }

  void check(const std::string& what, const std::string& failure) {
    if (failure.empty()) {
      std::printf("  ok    %s\n", what.c_str());
    } else {
      std::printf("  FAIL  %s: %s\n", what.c_str(), failure.c_str());
      failed_.push_back(what);
    }
  }
  const std::vector<std::string>& failed() const { return failed_; }

  void run(const Scratch& scratch) {
    for (const Installation& i : d_.installations) {
      const std::string dir = scratch.copy(i.oldTree, "chain-" + i.name);
      std::string winner;
      std::string failure = chain(i, dir, winner);
      const std::string what = i.name + ": the chain ends at " + i.newTree;
      if (!failure.empty()) {
        check(what, failure);
        continue;
      }
      const Tree after = readTree(dir);
      const std::string diff = difference(after, readTree(i.newTree));
      check(what + " (via " + (winner.empty() ? "the shared patches" : winner + ".rtp") + ")",
            diff.empty() ? "" : "after the chain: " + diff);
      std::string again;
      failure = chain(i, dir, again);
      if (failure.empty() && again != winner)
        failure = "the second run took " + again + ".rtp instead of " + winner + ".rtp";
      if (failure.empty()) {
        const std::string changed = difference(readTree(dir), after);
        if (!changed.empty()) failure = "the second run changed " + changed;
      }
      check(i.name + ": the chain applied twice changes nothing the second time", failure);
    }
    for (const ReleasePatch& p : d_.patches) {
      for (const std::string& name : p.refuses) {
        const Installation& i = installation(name);
        const std::string dir = scratch.copy(i.oldTree, "refuse-" + p.name + "-" + name);
        const rtp::Outcome o = apply(p, dir);
        std::string failure;
        if (o.ok())
          failure = "it applied";
        else if (o.result != rtp::Result::WrongInstallation)
          failure =
              std::string("it failed otherwise: ") + rtp::resultName(o.result) + ": " + o.message;
        const std::string diff = difference(readTree(dir), readTree(i.oldTree));
        if (failure.empty() && !diff.empty()) failure = "refused, but changed " + diff;
        check(p.name + ".rtp refuses " + name + " with nothing changed", failure);
      }
    }
  }

 private:
  const Installation& installation(const std::string& name) const {
    for (const Installation& i : d_.installations)
      if (i.name == name) return i;
    throw std::logic_error("unknown installation " + name);
  }

  const ReleaseDescription& d_;
  std::unique_ptr<rtp::FileSystem> fs_ = rtp::makeNativeFileSystem();
  rtp::ApplyOptions options_;
  std::vector<std::string> failed_;
};

}  // namespace

int cmdRelease(std::vector<std::string> args) {
  KeyOptions keys;
  if (!takeKeyOptions(args, keys)) return 1;
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: rtptool release DESCRIPTION [--key PRIVATE] [--trust PUBLIC]\n");
    return 1;
  }
  ReleaseDescription d;
  try {
    d = readDescription(args[0]);
  } catch (const DescriptionError& e) {
    std::fprintf(stderr, "rtptool: %s\n", e.what());
    return 1;
  }
  // The command line wins over the file.
  if (keys.key.empty()) keys.key = d.key;
  if (keys.trust.empty()) keys.trust = d.trust;
  if (keys.key.empty()) {
    std::fprintf(stderr,
                 "rtptool: a release is signed: give 'key =' in [release] or --key PRIVATE\n");
    return 1;
  }
  rtp::crypto::PublicKey trusted;
  int failed = 0;
  if (!loadTrustedKey(keys, trusted, &failed)) return failed;
  KeyLoader signer(keys, "release",
                   [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });

  Checker checker(d, trusted);
  std::error_code made;
  stdfs::create_directories(d.output, made);
  std::printf("%s, release %s to %s\n", d.product.c_str(), d.from.c_str(), d.to.c_str());
  std::printf("%-16s %12s %5s %5s %5s %6s %6s %8s\n", "patch", "bytes", "add", "mod", "del",
              "mkdir", "rmdir", "make s");
  for (const ReleasePatch& p : d.patches) {
    const auto start = std::chrono::steady_clock::now();
    rtp::MakeStats s;
    try {
      s = rtp::makePatch(
          p.oldTree, p.newTree, checker.file(p), [&signer] { return signer.get(); }, nullptr,
          checker.binding(p));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "rtptool: release failed: make %s.rtp: %s\n", p.name.c_str(), e.what());
      return kExitMakeFailed;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-16s %12llu %5zu %5zu %5zu %6zu %6zu %8.2f\n", (p.name + ".rtp").c_str(),
                static_cast<unsigned long long>(s.patchSize), s.added, s.modified, s.deleted,
                s.dirsMade, s.dirsRemoved, seconds);
  }
  std::fflush(stdout);

  std::printf("checks:\n");
  try {
    Scratch scratch;
    checker.run(scratch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rtptool: release failed: checking: %s\n", e.what());
    return static_cast<int>(rtp::Result::IoError);
  }
  if (checker.failed().empty()) {
    std::printf("release: the patches in %s hold every check\n", d.output.c_str());
    sayIfTestKey(signer.get()->keyId());
    return 0;
  }
  for (const std::string& what : checker.failed())
    std::fprintf(stderr, "rtptool: release check failed: %s\n", what.c_str());
  return kExitReleaseCheckFailed;
}

}  // namespace rtptool
