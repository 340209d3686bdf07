#include "FaultyFs.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace rtptest {

std::size_t FaultyFs::step(std::size_t n, bool tornWrite) {
  ++steps_;
  if (crashAt > 0 && steps_ > crashAt) throw rtp::IoFailure("simulated power loss");
  if (crashAt > 0 && steps_ == crashAt) {
    if (!tornWrite) throw rtp::IoFailure("simulated power loss");
    return n / 2;  // the caller writes this much, then fails
  }
  if ((failAt > 0 && steps_ == failAt) || (failAgainAt > 0 && steps_ == failAgainAt))
    throw rtp::IoFailure("simulated failure");
  return n;
}

namespace {

namespace stdfs = std::filesystem;

std::string slurp(const stdfs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string parentOf(const std::string& rel) {
  const std::size_t s = rel.rfind('/');
  return s == std::string::npos ? std::string() : rel.substr(0, s);
}

}  // namespace

bool FaultyFs::tracked(const std::string& path, std::string& rel) const {
  if (durableRoot_.empty()) return false;
  rel = stdfs::path(path).lexically_relative(durableRoot_).generic_string();
  return !rel.empty() && rel != "." && rel.compare(0, 2, "..") != 0;
}

void FaultyFs::keepOnlySynced(const std::string& root) {
  durableRoot_ = root;
  ids_.clear();
  captureDurable();
}

// Everything below the root as it is now, as after a syncfs.
void FaultyFs::captureDurable() {
  if (durableRoot_.empty()) return;
  durable_.clear();
  durableBytes_.clear();
  std::map<std::string, FileId> now;
  for (const auto& e : stdfs::recursive_directory_iterator(durableRoot_)) {
    const std::string rel = e.path().lexically_relative(durableRoot_).generic_string();
    if (e.is_directory()) {
      now[rel] = kFolder;
      continue;
    }
    auto it = ids_.find(rel);
    const FileId id = it != ids_.end() ? it->second : ++nextId_;
    now[rel] = id;
    durableBytes_[id] = slurp(e.path());
  }
  ids_ = now;
  durable_ = now;
  unsynced_.clear();
}

void FaultyFs::logChange(Change c) {
  if (!durableRoot_.empty()) unsynced_.push_back(std::move(c));
}

// One name on the disk: a folder that joins or leaves brings or takes its
// names along.
void FaultyFs::setDurable(const std::string& rel, FileId id) {
  auto was = durable_.find(rel);
  const bool wasFolder = was != durable_.end() && was->second == kFolder;
  if (wasFolder != (id == kFolder)) {
    const std::string below = rel + "/";
    for (auto it = durable_.lower_bound(below);
         it != durable_.end() && it->first.compare(0, below.size(), below) == 0;)
      it = durable_.erase(it);
  }
  if (id == kGone)
    durable_.erase(rel);
  else
    durable_[rel] = id;
}

// The folder's names on the disk become those it holds now. A folder that
// joins it brings no names of its own until it is synced itself; one that
// leaves it takes its names along.
void FaultyFs::syncFolder(const std::string& dir) {
  const stdfs::path at = dir.empty() ? stdfs::path(durableRoot_) : stdfs::path(durableRoot_) / dir;
  if (!stdfs::is_directory(at)) return;
  const std::string prefix = dir.empty() ? std::string() : dir + "/";
  std::map<std::string, FileId> before, now;
  for (const auto& [rel, id] : durable_)
    if (rel.compare(0, prefix.size(), prefix) == 0 && parentOf(rel) == dir) before[rel] = id;
  for (const auto& e : stdfs::directory_iterator(at)) {
    const std::string rel = prefix + e.path().filename().generic_string();
    auto id = ids_.find(rel);
    if (e.is_directory())
      now[rel] = kFolder;
    else if (id != ids_.end())
      now[rel] = id->second;
  }
  for (const auto& [rel, id] : before)
    if (!now.count(rel)) setDurable(rel, kGone);
  for (const auto& [rel, id] : now) setDurable(rel, id);
  for (auto it = unsynced_.begin(); it != unsynced_.end();) {
    for (auto name = it->begin(); name != it->end();)
      name = parentOf(name->first) == dir ? it->erase(name) : std::next(name);
    it = it->empty() ? unsynced_.erase(it) : std::next(it);
  }
}

void FaultyFs::syncFile(const std::string& rel) {
  auto it = ids_.find(rel);
  if (it != ids_.end()) durableBytes_[it->second] = slurp(stdfs::path(durableRoot_) / rel);
}

void FaultyFs::synced(const std::string& path) {
  std::string rel;
  if (tracked(path, rel)) syncFile(rel);
}

void FaultyFs::powerCut(bool keepLastChange) {
  if (durableRoot_.empty()) return;
  if (keepLastChange && !unsynced_.empty()) {
    // With the earlier changes of the same names: a name is reused only
    // once what freed it is done.
    std::set<std::string> names;
    std::vector<const Change*> kept;
    for (auto c = unsynced_.rbegin(); c != unsynced_.rend(); ++c) {
      bool related = kept.empty();
      for (const auto& name : *c) related = related || names.count(name.first);
      if (!related) continue;
      kept.push_back(&*c);
      for (const auto& name : *c) names.insert(name.first);
    }
    for (auto c = kept.rbegin(); c != kept.rend(); ++c)
      for (const auto& [rel, id] : **c) setDurable(rel, id);
  }
  for (const auto& e : stdfs::directory_iterator(durableRoot_)) stdfs::remove_all(e.path());
  std::set<std::string> folders{""};
  for (const auto& [rel, id] : durable_) {  // a folder sorts before its entries
    // A name survives only where every folder above it did.
    if (!folders.count(parentOf(rel))) continue;
    const stdfs::path p = stdfs::path(durableRoot_) / rel;
    if (id == kFolder) {
      stdfs::create_directory(p);
      folders.insert(rel);
      continue;
    }
    auto bytes = durableBytes_.find(id);
    std::ofstream out(p, std::ios::binary);
    if (bytes != durableBytes_.end())
      out.write(bytes->second.data(), static_cast<std::streamsize>(bytes->second.size()));
  }
  durableRoot_.clear();
}

void FaultyFs::makeDirOn(rtp::FileSystem& on, const std::string& path) {
  step();
  on.makeDir(path);
  std::string rel;
  if (tracked(path, rel)) logChange({{rel, kFolder}});
}

void FaultyFs::removeDirOn(rtp::FileSystem& on, const std::string& path) {
  step();
  on.removeDir(path);
  std::string rel;
  if (tracked(path, rel)) logChange({{rel, kGone}});
}

void FaultyFs::removeFileOn(rtp::FileSystem& on, const std::string& path) {
  step();
  on.removeFile(path);
  std::string rel;
  if (!tracked(path, rel)) return;
  ids_.erase(rel);
  logChange({{rel, kGone}});
}

void FaultyFs::renameOn(rtp::FileSystem& on, const std::string& from, const std::string& to) {
  step();
  on.rename(from, to);
  std::string a, b;
  if (!tracked(from, a) || !tracked(to, b)) return;
  auto it = ids_.find(a);
  if (it == ids_.end()) return;
  const FileId id = it->second;
  ids_.erase(it);
  const bool sameFile = ids_.count(b) && ids_[b] == id;
  ids_[b] = id;
  // Between two names of one file, rename removes the first.
  logChange(sameFile ? Change{{a, kGone}} : Change{{a, kGone}, {b, id}});
}

bool FaultyFs::keepOn(rtp::FileSystem& on, const std::string& target, const std::string& saved) {
  step();
  const bool kept = on.keep(target, saved);
  std::string t, s;
  if (kept && tracked(target, t) && tracked(saved, s)) {
    ids_[s] = ids_[t];
    logChange({{s, ids_[s]}});
  }
  return kept;
}

void FaultyFs::replaceOn(rtp::FileSystem& on, const std::string& a, const std::string& b,
                         const std::string& c) {
  step();
  std::string replacement, target, saved;
  const bool isTracked = tracked(a, replacement) && tracked(b, target) && tracked(c, saved);
  const bool keptBefore = isTracked && ids_.count(saved) && ids_[saved] == ids_[target];
  on.replace(a, b, c);
  if (!isTracked) return;
  if (!keptBefore) {
    // The original's second name is synced before the swap.
    ids_[saved] = ids_[target];
    logChange({{saved, ids_[saved]}});
    syncFolder(parentOf(saved));
  }
  ids_[target] = ids_[replacement];
  ids_.erase(replacement);
  logChange({{replacement, kGone}, {target, ids_[target]}});
}

void FaultyFs::flushOn(rtp::FileSystem& on) {
  step();
  ++syncs_;
  if (!observeFlush) {
    on.flush();
    captureDurable();
    return;
  }
  const Synced s = observeFlush([&on] { on.flush(); });
  if (durableRoot_.empty()) return;
  if (s.whole) return captureDurable();
  std::string rel;
  for (const std::string& f : s.files)
    if (tracked(f, rel)) syncFile(rel);
  for (const std::string& d : s.folders) {
    if (d == durableRoot_ || stdfs::path(d) == stdfs::path(durableRoot_))
      syncFolder("");
    else if (tracked(d, rel))
      syncFolder(rel);
  }
}

namespace {
class FaultyFile : public rtp::File {
 public:
  FaultyFile(std::unique_ptr<rtp::File> f, FaultyFs& fs, std::string path)
      : f_(std::move(f)), fs_(fs), path_(std::move(path)) {}
  std::size_t read(void* buf, std::size_t n) override { return f_->read(buf, n); }
  void write(const void* buf, std::size_t n) override {
    bool crashing = fs_.crashAt > 0 && fs_.steps() + 1 == fs_.crashAt;
    std::size_t allowed = fs_.step(n, true);
    if (crashing) {
      f_->write(buf, std::min(allowed, n));
      throw rtp::IoFailure("simulated power loss");
    }
    f_->write(buf, n);
  }
  void seek(std::uint64_t pos) override { f_->seek(pos); }
  std::uint64_t size() override { return f_->size(); }
  void sync() override {
    fs_.step();
    fs_.countSync();
    f_->sync();
    fs_.synced(path_);
  }
  void setMode(std::uint32_t mode) override {
    fs_.step();
    f_->setMode(mode);
  }
  void setAttributes(std::uint32_t attributes) override {
    fs_.step();
    f_->setAttributes(attributes);
  }

 private:
  std::unique_ptr<rtp::File> f_;
  FaultyFs& fs_;
  std::string path_;
};
}  // namespace

std::unique_ptr<rtp::File> FaultyFs::createOn(rtp::FileSystem& on, const std::string& path) {
  step();
  std::unique_ptr<rtp::File> f(new FaultyFile(on.create(path), *this, path));
  std::string rel;
  if (tracked(path, rel)) {
    ids_[rel] = ++nextId_;
    logChange({{rel, nextId_}});
  }
  return f;
}

// Its bytes on the disk stay those last synced.
std::unique_ptr<rtp::File> FaultyFs::openUpdateOn(rtp::FileSystem& on, const std::string& path) {
  step();
  return std::unique_ptr<rtp::File>(new FaultyFile(on.openUpdate(path), *this, path));
}

// The confined view the engine works on, with this file system's faults.
class FaultyFs::Confined : public rtp::FileSystem {
 public:
  Confined(FaultyFs& faults, std::unique_ptr<rtp::FileSystem> view)
      : faults_(faults), view_(std::move(view)) {}
  std::string join(const std::string& root, const std::string& rel) const override {
    return view_->join(root, rel);
  }
  rtp::Stat stat(const std::string& path) override { return view_->stat(path); }
  std::unique_ptr<rtp::File> openRead(const std::string& path) override {
    return faults_.reading(view_->openRead(path), path);
  }
  std::vector<std::string> list(const std::string& dir) override { return view_->list(dir); }
  std::unique_ptr<rtp::File> create(const std::string& path) override {
    return faults_.createOn(*view_, path);
  }
  std::unique_ptr<rtp::File> openUpdate(const std::string& path) override {
    return faults_.openUpdateOn(*view_, path);
  }
  void makeDir(const std::string& path) override { faults_.makeDirOn(*view_, path); }
  void removeDir(const std::string& path) override { faults_.removeDirOn(*view_, path); }
  void removeFile(const std::string& path) override { faults_.removeFileOn(*view_, path); }
  void rename(const std::string& from, const std::string& to) override {
    faults_.renameOn(*view_, from, to);
  }
  bool keep(const std::string& target, const std::string& saved) override {
    return faults_.keepOn(*view_, target, saved);
  }
  void replace(const std::string& a, const std::string& b, const std::string& c) override {
    faults_.replaceOn(*view_, a, b, c);
  }
  void flush() override { faults_.flushOn(*view_); }

 private:
  FaultyFs& faults_;
  std::unique_ptr<rtp::FileSystem> view_;
};

std::unique_ptr<rtp::FileSystem> FaultyFs::confine(const std::string& root) {
  return std::unique_ptr<rtp::FileSystem>(new Confined(
      *this, examineOnly ? rtp::confineByExamining(real_, root) : real_.confine(root)));
}

}  // namespace rtptest
