// FileSystem for POSIX hosts (the tool and the host tests).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "rtp/fs.h"

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

// Keeps one entry's name change in order with the next one (replace()
// without keep()).
void syncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("cannot open folder", dir);
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  if (rc != 0 && errno != EINVAL) fail("cannot sync folder", dir);
}

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override { ::close(fd_); }
  std::size_t read(void* buf, std::size_t n) override {
    std::size_t got = 0;
    while (got < n) {
      ssize_t r = ::read(fd_, static_cast<char*>(buf) + got, n - got);
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("cannot read", path_);
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }
  void write(const void* buf, std::size_t n) override {
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
      ssize_t r = ::write(fd_, p, n);
      if (r < 0) {
        if (errno == EINTR) continue;
        fail("cannot write", path_);
      }
      p += r;
      n -= static_cast<std::size_t>(r);
    }
  }
  void seek(std::uint64_t pos) override {
    if (::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) fail("cannot seek in", path_);
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

 private:
  int fd_;
  std::string path_;
};

class PosixFileSystem : public FileSystem {
 public:
  ~PosixFileSystem() override { forget(); }
  std::string join(const std::string& root, const std::string& rel) const override {
    if (root.empty()) return rel;
    if (root.back() == '/') return root + rel;
    return root + "/" + rel;
  }
  Stat stat(const std::string& path) override {
    struct stat st;
    Stat r;
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return r;
      fail("cannot examine", path);
    }
    r.type = typeOf(st.st_mode);
    r.size = static_cast<std::uint64_t>(st.st_size);
    r.mode = static_cast<std::uint32_t>(st.st_mode & 07777);
    struct stat target;
    if (r.type == EntryType::Link && ::stat(path.c_str(), &target) == 0)
      r.linkTarget = typeOf(target.st_mode);
    return r;
  }
  std::unique_ptr<File> openRead(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("cannot open", path);
    std::unique_ptr<File> f(new PosixFile(fd, path));
    // A fifo or device would block or never end.
    struct stat st;
    if (::fstat(fd, &st) != 0) fail("cannot examine", path);
    if (!S_ISREG(st.st_mode)) throw IoFailure(path + " is not a regular file");
    if (::fcntl(fd, F_SETFL, 0) != 0) fail("cannot open", path);
    return f;
  }
  std::unique_ptr<File> create(const std::string& path) override {
    touched(parentOf(path));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) fail("cannot create", path);
    std::unique_ptr<File> f(new PosixFile(fd, path));
    wrote(fd, path);
    return f;
  }
  void makeDir(const std::string& path) override {
    touched(parentOf(path));
    if (::mkdir(path.c_str(), 0755) != 0) fail("cannot create folder", path);
  }
  void removeDir(const std::string& path) override {
    touched(parentOf(path));
    if (::rmdir(path.c_str()) != 0) fail("cannot remove folder", path);
  }
  void removeFile(const std::string& path) override {
    touched(parentOf(path));
    if (::unlink(path.c_str()) != 0) fail("cannot remove", path);
  }
  std::vector<std::string> list(const std::string& dir) override {
    DIR* d = ::opendir(dir.c_str());
    if (!d) fail("cannot list", dir);
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
  }
  void rename(const std::string& from, const std::string& to) override {
    // rename() between two links of one file succeeds without doing
    // anything; undoing a half-done replace meets exactly that.
    touched(parentOf(from));
    if (sameFile(from, to)) {
      if (::unlink(from.c_str()) != 0) fail("cannot remove", from);
      return;
    }
    touched(parentOf(to));
    if (::rename(from.c_str(), to.c_str()) != 0) fail("cannot rename " + from + " to", to);
  }
  // A second name keeps the old content while rename swaps atomically.
  bool keep(const std::string& target, const std::string& saved) override {
    touched(parentOf(saved));
    if (::link(target.c_str(), saved.c_str()) != 0) fail("cannot keep the original of", target);
    return true;
  }
  void replace(const std::string& replacement, const std::string& target,
               const std::string& saved) override {
    if (!sameFile(target, saved)) {
      keep(target, saved);
      // The swap must not reach the disk before the second name does.
      syncDir(parentOf(saved));
    }
    rename(replacement, target);
  }
  // A small batch syncs exactly what it changed: each file written (its
  // bytes, size and mode) and then each folder whose entries changed (new,
  // moved, linked or removed names); a large one, one syncfs for each file
  // system written to, so thousands of files cost one flush, not one each.
  // Every descriptor is opened before the change it syncs, so that the sync
  // reports write-back errors from then on.
  void flush() override {
    int err = 0;
    if (!whole_) {
      for (int fd : files_)
        if (err == 0 && ::fsync(fd) != 0) err = errno;
      for (const auto& d : folders_)
        if (err == 0 && ::fsync(d.second) != 0 && errno != EINVAL) err = errno;
    } else {
      for (const auto& f : fileSystems_)
        if (err == 0 && ::syncfs(f.second) != 0) err = errno;
    }
    forget();
    errno = err;
    if (err != 0) fail("cannot sync", "the file system");
  }

 private:
  static bool sameFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
  }
  void touched(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) fail("cannot examine", dir);
    const bool newFs = fileSystems_.count(st.st_dev) == 0;
    const bool newFolder = !whole_ && folders_.count({st.st_dev, st.st_ino}) == 0;
    if (!newFs && !newFolder) return;
    if (newFolder && folders_.size() == kFsyncFolders) {
      wholeFileSystems();
      if (!newFs) return;
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) fail("cannot open folder", dir);
    if (newFs) {
      fileSystems_[st.st_dev] = fd;
      if (whole_) return;
      const int again = ::dup(fd);
      if (again < 0) fail("cannot open folder", dir);
      folders_[{st.st_dev, st.st_ino}] = again;
    } else {
      folders_[{st.st_dev, st.st_ino}] = fd;
    }
  }
  // A file just created: its descriptor (opened before any write) is kept
  // for the flush.
  void wrote(int fd, const std::string& path) {
    if (whole_) return;
    if (files_.size() == kFsyncFiles) return wholeFileSystems();
    const int again = ::dup(fd);
    if (again < 0) fail("cannot keep open", path);
    files_.push_back(again);
  }
  // Too many entries for one sync each: the batch goes as whole file systems.
  void wholeFileSystems() {
    for (int fd : files_) ::close(fd);
    for (const auto& d : folders_) ::close(d.second);
    files_.clear();
    folders_.clear();
    whole_ = true;
  }
  void forget() {
    wholeFileSystems();
    for (const auto& f : fileSystems_) ::close(f.second);
    fileSystems_.clear();
    whole_ = false;
  }

  // Changed since the last flush: one folder of each file system, each
  // folder whose entries changed and each file written, unless there were
  // too many of these to sync one by one (whole_).
  std::map<dev_t, int> fileSystems_;
  std::map<std::pair<dev_t, ino_t>, int> folders_;
  std::vector<int> files_;
  bool whole_ = false;
};

}  // namespace

std::unique_ptr<FileSystem> makeNativeFileSystem() {
  return std::unique_ptr<FileSystem>(new PosixFileSystem);
}

}  // namespace rtp
