#include "sync_spy.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace rtptest {

namespace {

// Per thread: the file system's own background flushes are not the flush's.
thread_local FaultyFs::Synced* watching = nullptr;

void note(int fd) {
  if (!watching) return;
  char link[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(self.c_str(), link, sizeof link - 1);
  struct stat st;
  if (n <= 0 || ::fstat(fd, &st) != 0) return;
  std::string path(link, static_cast<std::size_t>(n));
  (S_ISDIR(st.st_mode) ? watching->folders : watching->files).push_back(path);
}

}  // namespace

FaultyFs::Synced watchSyncs(const std::function<void()>& flush) {
  FaultyFs::Synced seen;
  watching = &seen;
  try {
    flush();
  } catch (...) {
    watching = nullptr;
    throw;
  }
  watching = nullptr;
  return seen;
}

}  // namespace rtptest

extern "C" {

int fsync(int fd) {
  rtptest::note(fd);
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

int fdatasync(int fd) {
  rtptest::note(fd);
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}

int syncfs(int fd) {
  if (rtptest::watching) rtptest::watching->whole = true;
  return static_cast<int>(::syscall(SYS_syncfs, fd));
}
}
