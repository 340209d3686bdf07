// FileSystem for POSIX hosts (the tool and the host tests), and its
// confinement below a product folder by the kernel.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "confined_fs.h"
#include "rtp/fs.h"
#include "rtp/paths.h"

namespace rtp {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw IoFailure(what + " " + path + ": " + std::strerror(errno));
}

std::string parentOf(const std::string& path) {
  std::size_t s = path.rfind('/');
  if (s == std::string::npos) return ".";
  if (s == 0) return "/";
  return path.substr(0, s);
}

EntryType typeOf(mode_t m) {
  if (S_ISREG(m)) return EntryType::File;
  if (S_ISDIR(m)) return EntryType::Directory;
  if (S_ISLNK(m)) return EntryType::Link;
  return EntryType::Other;
}

#ifndef __linux__
#error "flush() relies on syncfs() for large batches; this system needs a fallback"
#endif

// Up to these many files written and folders changed between two flushes,
// flush() syncs each of them; beyond, the whole file system at once.
// syncfs also writes back every other program's dirty data, which on a busy
// disk costs far more than a patch of a few files; but each fsync of a
// written file costs a journal commit of its own (about 5 ms here), so a
// batch of many files is cheaper as one syncfs. Measured on ext4 with 8 MiB
// of other dirty data, fsync of each file and its folder against syncfs:
// 1 file 16-19 ms against 19-24, 4 files 31-42 against 12-18, 16 files
// 47-72 against 11-24.
constexpr std::size_t kFsyncFiles = 2;
constexpr std::size_t kFsyncFolders = 8;

// While a large patch is still being decoded, the disk's cache is flushed
// in the background: a flush takes time in proportion to what it holds
// (45 MiB: 25-30 ms here), so the one that ends a phase waits only for the
// last few MiB. It promises nothing: the flushes that do run as before, and
// syncfs leaves each file's write-back errors for them to report.
class WriteBehind {
 public:
  ~WriteBehind() {
    if (thread_.joinable()) thread_.join();
  }
  // n more bytes being written through fd.
  void wrote(int fd, std::size_t n) {
    unflushed_ += n;
    if (unflushed_ < kEvery || busy_.load()) return;
    if (thread_.joinable()) thread_.join();
    const int again = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (again < 0) return;
    unflushed_ = 0;
    busy_.store(true);
    try {
      thread_ = std::thread([this, again] {
        ::syncfs(again);
        ::close(again);
        busy_.store(false);
      });
    } catch (const std::system_error&) {
      ::close(again);
      busy_.store(false);
    }
  }

 private:
  static constexpr std::size_t kEvery = 4u << 20;
  std::size_t unflushed_ = 0;
  std::atomic<bool> busy_{false};
  std::thread thread_;
};

class PosixFile : public File {
 public:
  // onWrite hears of each write, before it, with its size.
  PosixFile(int fd, std::string path, std::function<void(std::size_t)> onWrite = nullptr)
      : fd_(fd), path_(std::move(path)), onWrite_(std::move(onWrite)) {}
  ~PosixFile() override { ::close(fd_); }
  std::size_t read(void* buf, std::size_t n) override {
    std::size_t got = 0;
    while (got < n) {
      ssize_t r =
          ::pread(fd_, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(pos_ + got));
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("cannot read", path_);
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    pos_ += got;
    return got;
  }
  void write(const void* buf, std::size_t n) override {
    if (onWrite_) onWrite_(n);
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
      ssize_t r = ::pwrite(fd_, p, n, static_cast<off_t>(pos_));
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("cannot write", path_);
      }
      p += r;
      n -= static_cast<std::size_t>(r);
      unsent_ += static_cast<std::size_t>(r);
      pos_ += static_cast<std::size_t>(r);
    }
    if (unsent_ >= kWriteBackEvery) startWriteBack();
  }
  // Reads and writes name their offset, so a seek costs no call: the old
  // file's blocks are read out of order, a call each (20,000 in a tree's
  // apply).
  void seek(std::uint64_t pos) override {
    if (pos > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
      errno = EINVAL;
      fail("cannot seek in", path_);
    }
    pos_ = pos;
  }
  std::uint64_t size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) fail("cannot stat", path_);
    return static_cast<std::uint64_t>(st.st_size);
  }
  void sync() override {
    if (::fsync(fd_) != 0) fail("cannot sync", path_);
  }
  void setMode(std::uint32_t mode) override {
    if (::fchmod(fd_, static_cast<mode_t>(mode & 07777)) != 0)
      fail("cannot set the permissions of", path_);
  }
  void setAttributes(std::uint32_t) override {}

 private:
  // The disk starts on a file's first MiB while the rest is decoded, so the
  // flush before the swap waits for the last one, not the whole file (45 MiB:
  // 0.168 s to 0.150 s an apply; every MiB rather than every 4, a 4 MiB
  // image's 24.1 to 22.8 ms). Only a start: it promises nothing, and its
  // errors show at the flush. Not at close: a tree's many small files go
  // faster as one syncfs.
  static constexpr std::size_t kWriteBackEvery = 1u << 20;
  void startWriteBack() {
    if (unsent_ == 0) return;
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    unsent_ = 0;
  }

  int fd_;
  std::string path_;
  std::function<void(std::size_t)> onWrite_;
  std::size_t unsent_ = 0;  // bytes written since the disk was last set going
  std::uint64_t pos_ = 0;   // where the next read or write goes
};

// Where a call lands: a name in an open folder, or (AT_FDCWD) a path.
// An open folder is open readable, so that it can be synced.
struct At {
  int dir;
  const char* name;
};

At byPath(const std::string& path) { return At{AT_FDCWD, path.c_str()}; }

class PosixFileSystem : public FileSystem {
 public:
  ~PosixFileSystem() override { forget(); }
  std::unique_ptr<FileSystem> confine(const std::string& root) override;
  std::string join(const std::string& root, const std::string& rel) const override {
    if (root.empty()) return rel;
    if (root.back() == '/') return root + rel;
    return root + "/" + rel;
  }
  Stat stat(const std::string& path) override { return statAt(byPath(path), path); }
  std::unique_ptr<File> openRead(const std::string& path) override {
    return openAt(byPath(path), path);
  }
  std::unique_ptr<File> create(const std::string& path) override {
    return createAt(byPath(path), path);
  }
  std::unique_ptr<File> openUpdate(const std::string& path) override {
    return openAt(byPath(path), path, O_RDWR);
  }
  void makeDir(const std::string& path) override { makeDirAt(byPath(path), path); }
  void removeDir(const std::string& path) override { removeDirAt(byPath(path), path); }
  void removeFile(const std::string& path) override { removeFileAt(byPath(path), path); }
  std::vector<std::string> list(const std::string& dir) override {
    return listAt(byPath(dir), dir, 0);
  }
  void rename(const std::string& from, const std::string& to) override {
    renameAt(byPath(from), from, byPath(to), to);
  }
  bool keep(const std::string& target, const std::string& saved) override {
    return keepAt(byPath(target), target, byPath(saved), saved);
  }
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override {
    replaceAt(byPath(replacement), replacement, byPath(target), target, byPath(saved), saved);
  }

  // The calls on a name in an open folder; the path names it in messages
  // and in flush()'s bookkeeping. None follows a link at the name.
  Stat statAt(At at, const std::string& path) {
    struct stat st;
    Stat r;
    if (::fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return r;
      fail("cannot examine", path);
    }
    r.type = typeOf(st.st_mode);
    r.size = static_cast<std::uint64_t>(st.st_size);
    r.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    struct stat target;
    if (r.type == EntryType::Link && ::fstatat(at.dir, at.name, &target, 0) == 0)
      r.linkTarget = typeOf(target.st_mode);
    return r;
  }
  std::unique_ptr<File> openAt(At at, const std::string& path, int access = O_RDONLY) {
    int fd = ::openat(at.dir, at.name, access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("cannot open", path);
    // A file opened to be changed is kept for the flush once it is written.
    std::unique_ptr<File> f(
        access == O_RDONLY
            ? new PosixFile(fd, path)
            : new PosixFile(fd, path, [this, fd, path, first = true](std::size_t n) mutable {
                if (std::exchange(first, false)) wrote(fd, path);
                behind_.wrote(fd, n);
              }));
    // A fifo or device would block or never end.
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("cannot examine", path);
    if (!S_ISREG(st.st_mode)) throw IoFailure(path + " is not a regular file");
    if (::fcntl(fd, F_SETFL, 0) != 0) fail("cannot open", path);
    return f;
  }
  std::unique_ptr<File> createAt(At at, const std::string& path) {
    touched(at, path);
    int fd = ::openat(at.dir, at.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create", path);
    std::unique_ptr<File> f(
        new PosixFile(fd, path, [this, fd](std::size_t n) { behind_.wrote(fd, n); }));
    wrote(fd, path);
    return f;
  }
  void makeDirAt(At at, const std::string& path) {
    touched(at, path);
    if (::mkdirat(at.dir, at.name, 0755) != 0) fail("cannot create folder", path);
  }
  void removeDirAt(At at, const std::string& path) {
    touched(at, path);
    if (::unlinkat(at.dir, at.name, AT_REMOVEDIR) != 0) fail("cannot remove folder", path);
  }
  void removeFileAt(At at, const std::string& path) {
    touched(at, path);
    if (::unlinkat(at.dir, at.name, 0) != 0) fail("cannot remove", path);
  }
  // noFollow: O_NOFOLLOW to refuse a link at the folder's own name.
  std::vector<std::string> listAt(At at, const std::string& dir, int noFollow) {
    const int fd = ::openat(at.dir, at.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | noFollow);
    DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
    if (!d) {
      if (fd >= 0) ::close(fd);
      fail("cannot list", dir);
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
  }
  void renameAt(At from, const std::string& fromPath, At to, const std::string& toPath) {
    // rename() between two links of one file succeeds without doing
    // anything; undoing a half-done replace meets exactly that.
    touched(from, fromPath);
    if (sameFile(from, to)) {
      if (::unlinkat(from.dir, from.name, 0) != 0) fail("cannot remove", fromPath);
      return;
    }
    touched(to, toPath);
    if (::renameat(from.dir, from.name, to.dir, to.name) != 0)
      fail("cannot rename " + fromPath + " to", toPath);
  }
  // A second name keeps the old content while rename swaps atomically.
  bool keepAt(At target, const std::string& targetPath, At saved, const std::string& savedPath) {
    touched(saved, savedPath);
    if (::linkat(target.dir, target.name, saved.dir, saved.name, 0) != 0)
      fail("cannot keep the original of", targetPath);
    return true;
  }
  void replaceAt(At replacement, const std::string& replacementPath, At target,
                 const std::string& targetPath, At saved, const std::string& savedPath) {
    if (!sameFile(target, saved)) {
      keepAt(target, targetPath, saved, savedPath);
      // The swap must not reach the disk before the second name does.
      syncFolderOf(saved, savedPath);
    }
    renameAt(replacement, replacementPath, target, targetPath);
  }
  // A small batch syncs exactly what it changed: each file written (its
  // bytes, size and mode) and then each folder whose entries changed (new,
  // moved, linked or removed names); a large one, one syncfs for each file
  // system written to, so thousands of files cost one flush, not one each.
  // Every descriptor is opened before the change it syncs, so that the sync
  // reports write-back errors from then on.
  void flush() override {
    int err = 0;
    for (const Held& f : files_)
      if (err == 0 && ::fsync(f.fd) != 0) err = errno;
    for (const Held& f : folders_) {
      if (err != 0) break;
      if (whole_ ? ::syncfs(f.fd) != 0 : ::fsync(f.fd) != 0 && errno != EINVAL) err = errno;
    }
    forget();
    errno = err;
    if (err != 0) fail("cannot sync", "the file system");
  }

 private:
  static bool sameFile(At a, At b) {
    struct stat x, y;
    return ::fstatat(a.dir, a.name, &x, AT_SYMLINK_NOFOLLOW) == 0 &&
           ::fstatat(b.dir, b.name, &y, AT_SYMLINK_NOFOLLOW) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
  }
  // The folder the call on path reaches (its own open folder, or by path
  // for a path of its own), opened for a sync or the syncfs it stands for.
  static int openFolderOf(At at, const std::string& path) {
    return at.dir == AT_FDCWD ? ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : ::fcntl(at.dir, F_DUPFD_CLOEXEC, 0);
  }
  // Keeps one entry's name change in order with the next one (replace()
  // without keep()).
  static void syncFolderOf(At at, const std::string& path) {
    const int fd = openFolderOf(at, path);
    if (fd < 0) fail("cannot open the folder of", path);
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    errno = err;
    if (rc != 0 && errno != EINVAL) fail("cannot sync the folder of", path);
  }
  // Each folder is held from before the change in it, so that its sync, or
  // the syncfs it stands for, reports write-back errors from then on.
  void touched(At at, const std::string& path) {
    struct stat st;
    if ((at.dir == AT_FDCWD ? ::stat(parentOf(path).c_str(), &st) : ::fstat(at.dir, &st)) != 0)
      fail("cannot examine the folder of", path);
    if (holds(folders_, st)) return;
    if (!whole_ && folders_.size() == kFsyncFolders) {
      wholeFileSystems();
      if (holds(folders_, st)) return;
    }
    const int fd = openFolderOf(at, path);
    if (fd < 0) fail("cannot open the folder of", path);
    folders_.push_back({st.st_dev, st.st_ino, fd});
  }
  // A file just created or opened to be changed: its descriptor (opened
  // before any write) is kept for the flush, once however often it is
  // opened. A file changed where it is changes no folder: in a whole batch
  // it holds its file system itself where no folder does.
  void wrote(int fd, const std::string& path) {
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("cannot examine", path);
    if (holds(files_, st) || (whole_ && holds(folders_, st))) return;
    if (!whole_ && files_.size() == kFsyncFiles) {
      wholeFileSystems();
      if (holds(folders_, st)) return;
    }
    const int again = ::dup(fd);
    if (again < 0) fail("cannot keep open", path);
    (whole_ ? folders_ : files_).push_back({st.st_dev, st.st_ino, again});
  }
  // Too many entries for one sync each: the batch goes as whole file
  // systems, each held by the first of its folders opened, or else of its
  // files (the earliest, so its syncfs reports every write-back error of the
  // batch).
  void wholeFileSystems() {
    std::vector<Held> first;
    for (std::vector<Held>* held : {&folders_, &files_})
      for (const Held& f : *held) {
        const bool seen =
            std::any_of(first.begin(), first.end(), [&](const Held& g) { return g.dev == f.dev; });
        if (seen)
          ::close(f.fd);
        else
          first.push_back(f);
      }
    files_.clear();
    folders_.swap(first);
    whole_ = true;
  }
  void forget() {
    for (const Held& f : files_) ::close(f.fd);
    for (const Held& f : folders_) ::close(f.fd);
    files_.clear();
    folders_.clear();
    whole_ = false;
  }

  // A descriptor kept for the flush, with what it is open on.
  struct Held {
    dev_t dev;
    ino_t ino;
    int fd;
  };
  // Whether held has st's entry, or in a whole batch its file system.
  bool holds(const std::vector<Held>& held, const struct stat& st) const {
    return std::any_of(held.begin(), held.end(), [&](const Held& h) {
      return h.dev == st.st_dev && (whole_ || h.ino == st.st_ino);
    });
  }

  // Changed since the last flush, in the order first changed: each folder
  // whose entries changed and each file written; or, when there were too
  // many of these to sync one by one (whole_), one folder (or file) of each
  // file system.
  std::vector<Held> folders_;
  std::vector<Held> files_;
  bool whole_ = false;
  WriteBehind behind_;
};

// openat2(2) where the kernel has it (Linux 5.6); -1 with ENOSYS where it
// or a sandbox's filter does not.
int openBeneath(int root, const char* rel) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    const long fd = ::syscall(SYS_openat2, root, rel, &how, sizeof how);
    // EAGAIN: a rename elsewhere raced the lookup; it is safe to ask again.
    if (fd >= 0 || (errno != EAGAIN && errno != EINTR)) return static_cast<int>(fd);
  }
#else
  (void)root;
  (void)rel;
  errno = ENOSYS;
  return -1;
#endif
}

// The same, one folder at a time, for kernels without openat2: each step
// opens a single name below the last, refusing a link there (ELOOP).
int walkBeneath(int root, const std::string& rel) {
  int at = root;
  forEachComponent(rel, [&](const std::string&, const std::string& name) {
    const int fd = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    // O_DIRECTORY calls a link "not a folder" ahead of O_NOFOLLOW.
    struct stat st;
    if (fd < 0 && err == ENOTDIR && ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
      err = ELOOP;
    if (at != root) ::close(at);
    at = fd;
    errno = err;
    return fd >= 0;
  });
  return at;
}

// The product folder confined by the kernel: each path below the root is
// split into its folder, which the kernel resolves from the open root
// refusing every symbolic link and every way up, and its last name, on
// which the call then acts in that folder. The folder is held open for the
// call, so nothing swapped in meanwhile can redirect it; it is closed after
// the call, as a folder kept longer could be moved out of the product (the
// flush keeps a duplicate: syncing a folder moved away does no harm).
class BeneathFileSystem : public FileSystem {
 public:
  BeneathFileSystem(PosixFileSystem& inner, std::string root, int rootFd)
      : inner_(inner), root_(std::move(root)), prefix_(inner.join(root_, "")), rootFd_(rootFd) {}
  ~BeneathFileSystem() override { ::close(rootFd_); }

  std::string join(const std::string& root, const std::string& rel) const override {
    return inner_.join(root, rel);
  }
  Stat stat(const std::string& path) override {
    Place p(*this, path, true);
    return p.missing() ? Stat() : inner_.statAt(p.at(), path);
  }
  std::unique_ptr<File> openRead(const std::string& path) override {
    return inner_.openAt(Place(*this, path).at(), path);
  }
  std::unique_ptr<File> create(const std::string& path) override {
    return inner_.createAt(Place(*this, path).at(), path);
  }
  std::unique_ptr<File> openUpdate(const std::string& path) override {
    return inner_.openAt(Place(*this, path).at(), path, O_RDWR);
  }
  void makeDir(const std::string& path) override {
    inner_.makeDirAt(Place(*this, path).at(), path);
  }
  void removeDir(const std::string& path) override {
    inner_.removeDirAt(Place(*this, path).at(), path);
  }
  void removeFile(const std::string& path) override {
    inner_.removeFileAt(Place(*this, path).at(), path);
  }
  std::vector<std::string> list(const std::string& dir) override {
    return inner_.listAt(Place(*this, dir).at(), dir, O_NOFOLLOW);
  }
  void rename(const std::string& from, const std::string& to) override {
    Place f(*this, from);
    Place t(*this, to, false, &f);
    inner_.renameAt(f.at(), from, t.at(), to);
  }
  bool keep(const std::string& target, const std::string& saved) override {
    Place t(*this, target);
    Place s(*this, saved, false, &t);
    return inner_.keepAt(t.at(), target, s.at(), saved);
  }
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override {
    Place r(*this, replacement);
    Place t(*this, target, false, &r);
    Place s(*this, saved, false, &t);
    inner_.replaceAt(r.at(), replacement, t.at(), target, s.at(), saved);
  }
  void flush() override { inner_.flush(); }

 private:
  // One path of a call: its folder open (below the root) and its last name.
  // A path not below the root is left to the plain file system.
  class Place {
   public:
    // missingOk: a folder on the way that is missing or a file makes the
    // place missing() rather than an error. share: a place of the same call
    // whose folder may be the same (renames stay in one folder).
    Place(BeneathFileSystem& fs, const std::string& path, bool missingOk = false,
          const Place* share = nullptr)
        : path_(path) {
      if (path.size() <= fs.prefix_.size() || path.compare(0, fs.prefix_.size(), fs.prefix_) != 0)
        return;
      const std::string rel = path.substr(fs.prefix_.size());
      folder_ = parentRel(rel);
      name_ = rel.substr(folder_.empty() ? 0 : folder_.size() + 1);
      if (!plainBelow(rel)) throw IoFailure(path + " is not a plain path below the product");
      if (folder_.empty()) {
        dir_ = fs.rootFd_;
      } else if (share && share->below_ && share->folder_ == folder_) {
        dir_ = share->dir_;  // the first place closes it, last
      } else {
        dir_ = fs.open(folder_);
        if (dir_ < 0) {
          if (errno == ELOOP || errno == EXDEV) fs.refuse(rel);
          if (!(missingOk && (errno == ENOENT || errno == ENOTDIR)))
            fail("cannot open the folder of", path);
          missing_ = true;
          return;
        }
        owned_ = true;
      }
      below_ = true;
    }
    ~Place() {
      if (owned_) ::close(dir_);
    }
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;

    bool missing() const { return missing_; }
    At at() const { return below_ ? At{dir_, name_.c_str()} : byPath(path_); }

   private:
    const std::string& path_;
    std::string folder_, name_;
    int dir_ = -1;
    bool owned_ = false, below_ = false, missing_ = false;
  };

  // rel's folder below the root, or -1 with ELOOP where a link is on the
  // way, ENOENT or ENOTDIR where a folder is missing or a file.
  int open(const std::string& folder) {
    if (!noOpenat2_.load(std::memory_order_relaxed)) {
      const int fd = openBeneath(rootFd_, folder.c_str());
      // A sandbox may answer EPERM for a call it does not know.
      if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
      noOpenat2_.store(true, std::memory_order_relaxed);
    }
    return walkBeneath(rootFd_, folder);
  }
  [[noreturn]] void refuse(const std::string& rel) {
    std::string why = linkOnTheWay(inner_, root_, rel);
    if (why.empty()) why = "a folder on the way to " + rel + " is a link";  // since replaced
    refuseLinkOnTheWay(why);
  }

  static std::atomic<bool> noOpenat2_;
  PosixFileSystem& inner_;
  const std::string root_, prefix_;
  const int rootFd_;
};

std::atomic<bool> BeneathFileSystem::noOpenat2_{false};

std::unique_ptr<FileSystem> PosixFileSystem::confine(const std::string& root) {
  // The root may itself be a link (a moved product): it is followed, once.
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return FileSystem::confine(root);  // its calls fail as they would have
  return std::unique_ptr<FileSystem>(new BeneathFileSystem(*this, root, fd));
}

}  // namespace

std::unique_ptr<FileSystem> makeNativeFileSystem() {
  return std::unique_ptr<FileSystem>(new PosixFileSystem);
}

}  // namespace rtp
