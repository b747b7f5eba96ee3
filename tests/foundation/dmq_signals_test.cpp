#include "foundation/dmq_signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(SignalName, PlatformNumbersAndUnknown) {
    EXPECT_EQ(SignalNameU(SIGTERM), u"SIGTERM");
    EXPECT_EQ(SignalNameU(SIGINT), u"SIGINT");
    EXPECT_EQ(SignalNameU(SIGUSR1), u"SIGUSR1");
    EXPECT_EQ(SignalNameU(SIGCHLD), u"SIGCHLD");
    EXPECT_EQ(SignalNameU(SIGXFSZ), u"SIGXFSZ");
    EXPECT_EQ(SignalNameU(64), u"Signal #64");
    EXPECT_EQ(SignalNameU(0), u"Signal #0");
}

// Runs fn in a child process (it closes and rebinds descriptors) and returns its exit code.
template <typename F>
int InChild(F fn) {
    const pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(DaemonRoutines, RedirectStdToNullBindsAllThreeInheritably) {
    EXPECT_EQ(InChild([] {
                  struct stat null {};
                  if (stat("/dev/null", &null) != 0) return 10;
                  close(0);  // a free descriptor 0 is taken by the open itself
                  if (RedirectStdToNull() != 0) return 11;
                  for (int fd = 0; fd <= 2; ++fd) {
                      struct stat st {};
                      if (fstat(fd, &st) != 0 || st.st_rdev != null.st_rdev) return 20 + fd;
                      if (fcntl(fd, F_GETFD) & FD_CLOEXEC) return 30 + fd;
                  }
                  if (write(1, "x", 1) != 1 || write(2, "x", 1) != 1) return 40;
                  char c;
                  if (read(0, &c, 1) != 0) return 41;
                  return 0;
              }),
              0);
}

// Closed standard handles get "/dev/null"; an open one is left as it is, so the descriptors the
// program opens next never take a standard number.
TEST(DaemonRoutines, FillClosedStdHandlesTakesOnlyTheClosedOnes) {
    EXPECT_EQ(InChild([] {
                  struct stat null {}, before {};
                  if (stat("/dev/null", &null) != 0) return 10;
                  int keep[2];
                  if (pipe(keep) != 0 || dup2(keep[0], 0) != 0 || fstat(0, &before) != 0) return 11;
                  close(1);
                  close(2);
                  if (FillClosedStdHandles() != 0) return 12;
                  struct stat st {};
                  if (fstat(0, &st) != 0 || st.st_ino != before.st_ino) return 13;
                  for (int fd = 1; fd <= 2; ++fd)
                      if (fstat(fd, &st) != 0 || st.st_rdev != null.st_rdev || (fcntl(fd, F_GETFD) & FD_CLOEXEC))
                          return 20 + fd;
                  int p[2];
                  if (pipe(p) != 0 || p[0] < 3 || p[1] < 3) return 30;
                  return 0;
              }),
              0);
}

TEST(DaemonRoutines, CloseExtraHandlesKeepsOnlyTheStandardOnes) {
    EXPECT_EQ(InChild([] {
                  const int a = open("/dev/null", O_RDONLY | O_CLOEXEC);
                  const int b = fcntl(a, F_DUPFD_CLOEXEC, 900);
                  if (a < 3 || b < 900) return 10;
                  CloseExtraHandles();
                  if (fcntl(a, F_GETFD) != -1 || fcntl(b, F_GETFD) != -1) return 11;
                  if (fcntl(1, F_GETFD) == -1) return 12;
                  return 0;
              }),
              0);
}

}  // namespace
}  // namespace zel
