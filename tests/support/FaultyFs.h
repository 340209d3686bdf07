// The patch engine's tests' file system that fails at a chosen step, on the
// host and under Wine: FaultyFs.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtp/fs.h"

namespace rtptest {

// Wraps a real file system. Counts every step that changes the disk
// (create, write, sync, mkdir, rmdir, remove, rename, keep, replace, flush),
// and apart the syncs (File::sync and flush) a patch costs.
//  - failAt = n: the n-th step throws once, later ones work (an error).
//  - failAgainAt = m: the m-th step throws once too (a second error, say
//    while the first is being undone).
//  - crashAt = n: the n-th step and all after it fail, and the n-th write
//    is torn halfway (power loss).
//  - keepOnlySynced(root), then powerCut() after the crash: the tree below
//    root loses everything no sync or flush made durable, as a disk with a
//    volatile cache would. Without it a crash keeps every change made.
class FaultyFs : public rtp::FileSystem {
 public:
  explicit FaultyFs(rtp::FileSystem& real) : real_(real) {}
  long failAt = 0;
  long failAgainAt = 0;
  long crashAt = 0;
  long steps() const { return steps_; }
  long syncs() const { return syncs_; }
  void countSync() { ++syncs_; }
  void reset() {
    steps_ = syncs_ = 0;
    failAt = failAgainAt = crashAt = 0;
    durableRoot_.clear();
  }
  void keepOnlySynced(const std::string& root);
  void powerCut();
  // A file's bytes reached the disk (its name only if already durable).
  void synced(const std::string& path);

  // Counts one step; for a write, returns how many of its n bytes get through.
  std::size_t step(std::size_t n = 0, bool tornWrite = false);

  std::string join(const std::string& root, const std::string& rel) const override {
    return real_.join(root, rel);
  }
  rtp::Stat stat(const std::string& path) override { return real_.stat(path); }
  std::unique_ptr<rtp::File> openRead(const std::string& path) override {
    return real_.openRead(path);
  }
  std::unique_ptr<rtp::File> create(const std::string& path) override;
  void makeDir(const std::string& path) override {
    step();
    real_.makeDir(path);
  }
  void removeDir(const std::string& path) override {
    step();
    real_.removeDir(path);
  }
  void removeFile(const std::string& path) override {
    step();
    real_.removeFile(path);
  }
  std::vector<std::string> list(const std::string& dir) override { return real_.list(dir); }
  void rename(const std::string& from, const std::string& to) override {
    step();
    real_.rename(from, to);
  }
  bool keep(const std::string& target, const std::string& saved) override {
    step();
    return real_.keep(target, saved);
  }
  void replace(const std::string& a, const std::string& b, const std::string& c) override {
    step();
    real_.replace(a, b, c);
  }
  void flush() override {
    step();
    ++syncs_;
    real_.flush();
    captureDurable();
  }

 private:
  struct Entry {
    bool dir;
    std::string bytes;
  };
  void captureDurable();

  rtp::FileSystem& real_;
  long steps_ = 0;
  long syncs_ = 0;
  std::string durableRoot_;
  std::map<std::string, Entry> durable_;  // below durableRoot_, '/'-separated
};

}  // namespace rtptest
