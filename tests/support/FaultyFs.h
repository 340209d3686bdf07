// The patch engine's tests' file system that fails at a chosen step, on the
// host and under Wine: FaultyFs.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "rtp/fs.h"

namespace rtptest {

// Wraps a real file system. Counts every step that changes the disk
// (create, open to update, write, sync, mkdir, rmdir, remove, rename, keep,
// replace, flush),
// and apart the syncs (File::sync and flush) a patch costs.
//  - failAt = n: the n-th step throws once, later ones work (an error).
//  - failAgainAt = m: the m-th step throws once too (a second error, say
//    while the first is being undone).
//  - crashAt = n: the n-th step and all after it fail, and the n-th write
//    is torn halfway (power loss).
//  - keepOnlySynced(root), then powerCut() after the crash: the tree below
//    root loses everything no sync or flush made durable, as a disk with a
//    volatile cache would. Without it a crash keeps every change made.
//    A file's bytes are durable once it is synced, a name once its folder
//    is; a durable name whose file was never synced comes back empty.
//    powerCut(true) keeps the last unsynced change of names too (a rename
//    is one change, and earlier changes of the same names come with it),
//    as a disk that wrote it back first would: a change that needs an
//    earlier one on the disk, with no sync between them, shows.
//  - observeFlush: by default flush() makes the whole tree durable, as a
//    syncfs does. Set, it runs the real flush (the function it is given)
//    and returns what that synced; only those files and folders become
//    durable, so a flush that leaves out a change the engine relies on
//    loses it at the power cut.
// confine() forwards to the real file system and injects the same faults
// into its answer, so they meet the confinement the engine really gets;
// examineOnly asks for the examination of each folder instead, the way of
// systems without the kernel's.
class FaultyFs : public rtp::FileSystem {
 public:
  struct Synced {
    std::vector<std::string> files;    // paths whose bytes were synced
    std::vector<std::string> folders;  // paths whose names were synced
    bool whole = false;                // a whole file system was synced
  };
  std::function<Synced(const std::function<void()>& flush)> observeFlush;

  explicit FaultyFs(rtp::FileSystem& real) : real_(real) {}
  long failAt = 0;
  long failAgainAt = 0;
  long crashAt = 0;
  bool examineOnly = false;
  long steps() const { return steps_; }
  long syncs() const { return syncs_; }
  void countSync() { ++syncs_; }
  void reset() {
    steps_ = syncs_ = 0;
    failAt = failAgainAt = crashAt = 0;
    durableRoot_.clear();
  }
  void keepOnlySynced(const std::string& root);
  void powerCut(bool keepLastChange = false);
  // A file's bytes reached the disk (its name only if already durable).
  void synced(const std::string& path);

  // Counts one step; for a write, returns how many of its n bytes get through.
  std::size_t step(std::size_t n = 0, bool tornWrite = false);

  std::string join(const std::string& root, const std::string& rel) const override {
    return real_.join(root, rel);
  }
  rtp::Stat stat(const std::string& path) override { return real_.stat(path); }
  std::unique_ptr<rtp::File> openRead(const std::string& path) override {
    return reading(real_.openRead(path), path);
  }
  std::unique_ptr<rtp::File> create(const std::string& path) override {
    return createOn(real_, path);
  }
  std::unique_ptr<rtp::File> openUpdate(const std::string& path) override {
    return openUpdateOn(real_, path);
  }
  void makeDir(const std::string& path) override { makeDirOn(real_, path); }
  void removeDir(const std::string& path) override { removeDirOn(real_, path); }
  void removeFile(const std::string& path) override { removeFileOn(real_, path); }
  std::vector<std::string> list(const std::string& dir) override { return real_.list(dir); }
  void rename(const std::string& from, const std::string& to) override {
    renameOn(real_, from, to);
  }
  bool keep(const std::string& target, const std::string& saved) override {
    return keepOn(real_, target, saved);
  }
  void replace(const std::string& a, const std::string& b, const std::string& c) override {
    replaceOn(real_, a, b, c);
  }
  void flush() override { flushOn(real_); }
  std::unique_ptr<rtp::FileSystem> confine(const std::string& root) override;

 protected:
  // Every file opened for reading, here or in a confined view, passes
  // through: a test may serve other bytes than the disk holds.
  virtual std::unique_ptr<rtp::File> reading(std::unique_ptr<rtp::File> f, const std::string&) {
    return f;
  }

 private:
  class Confined;
  // The steps, each on the real file system or on a confined view of it.
  std::unique_ptr<rtp::File> createOn(rtp::FileSystem& on, const std::string& path);
  std::unique_ptr<rtp::File> openUpdateOn(rtp::FileSystem& on, const std::string& path);
  void makeDirOn(rtp::FileSystem& on, const std::string& path);
  void removeDirOn(rtp::FileSystem& on, const std::string& path);
  void removeFileOn(rtp::FileSystem& on, const std::string& path);
  void renameOn(rtp::FileSystem& on, const std::string& from, const std::string& to);
  bool keepOn(rtp::FileSystem& on, const std::string& target, const std::string& saved);
  void replaceOn(rtp::FileSystem& on, const std::string& a, const std::string& b,
                 const std::string& c);
  void flushOn(rtp::FileSystem& on);

  // A file is its content's identity (an inode): names move and link to it.
  using FileId = long;
  static constexpr FileId kFolder = 0;
  bool tracked(const std::string& path, std::string& rel) const;
  void syncFolder(const std::string& dir);
  void syncFile(const std::string& rel);
  void captureDurable();

  rtp::FileSystem& real_;
  long steps_ = 0;
  long syncs_ = 0;
  std::string durableRoot_;
  // Below durableRoot_, '/'-separated: the files as they are now, the names
  // on the disk (kFolder for folders), the files' bytes on the disk.
  std::map<std::string, FileId> ids_;
  FileId nextId_ = 0;
  std::map<std::string, FileId> durable_;
  std::map<FileId, std::string> durableBytes_;
  // Name changes not yet durable, oldest first; kGone for a removed name.
  static constexpr FileId kGone = -1;
  using Change = std::map<std::string, FileId>;
  std::vector<Change> unsynced_;
  void logChange(Change c);
  void setDurable(const std::string& rel, FileId id);
};

}  // namespace rtptest
