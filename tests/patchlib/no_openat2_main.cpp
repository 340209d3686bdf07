// The confinement tests once more, on a kernel without openat2 as the engine
// sees it: a seccomp filter answers ENOSYS to it, as Linux before 5.6 and
// some container sandboxes do, so the engine resolves one folder at a time.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <gtest/gtest.h>

namespace {

bool refuseOpenat2() {
#if defined(__x86_64__)
  constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

bool filtered = false;

}  // namespace

// Without it every test here would pass on openat2 and prove nothing. A
// sandbox that allows no seccomp filter of our own skips the proof, not the
// run: the tests then cover whatever resolution its kernel offers.
TEST(NoOpenat2, TheKernelRefusesIt) {
  if (!filtered) GTEST_SKIP() << "seccomp filters are not allowed here";
  open_how how{};
  how.flags = O_PATH;
  errno = 0;
  EXPECT_EQ(::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how), -1);
  EXPECT_EQ(errno, ENOSYS);
}

int main(int argc, char** argv) {
  filtered = refuseOpenat2();
  if (!filtered) std::perror("cannot install the seccomp filter");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
