#include "foundation/dmq_signals.hpp"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zel {

namespace {

struct SignalRow {
    const char* name;
    int number;
};

// The platform's numbers; signals it lacks are left out.
const SignalRow kSignals[] = {
#ifdef SIGEMT
    {"SIGEMT", SIGEMT},
#endif
    {"SIGSYS", SIGSYS},
#ifdef SIGINFO
    {"SIGINFO", SIGINFO},
#endif
    {"SIGABRT", SIGABRT},   {"SIGALRM", SIGALRM}, {"SIGBUS", SIGBUS},     {"SIGCHLD", SIGCHLD},
    {"SIGCONT", SIGCONT},   {"SIGFPE", SIGFPE},   {"SIGHUP", SIGHUP},     {"SIGILL", SIGILL},
    {"SIGINT", SIGINT},     {"SIGIO", SIGIO},     {"SIGKILL", SIGKILL},   {"SIGPIPE", SIGPIPE},
    {"SIGPROF", SIGPROF},   {"SIGQUIT", SIGQUIT}, {"SIGSEGV", SIGSEGV},   {"SIGSTOP", SIGSTOP},
    {"SIGTERM", SIGTERM},   {"SIGTRAP", SIGTRAP}, {"SIGTTIN", SIGTTIN},   {"SIGTTOU", SIGTTOU},
    {"SIGTSTP", SIGTSTP},   {"SIGURG", SIGURG},   {"SIGUSR1", SIGUSR1},   {"SIGUSR2", SIGUSR2},
    {"SIGVTALRM", SIGVTALRM}, {"SIGWINCH", SIGWINCH}, {"SIGXCPU", SIGXCPU}, {"SIGXFSZ", SIGXFSZ},
};

// Opens "/dev/null" and puts it on target; the standard handles stay inheritable.
int NullOnto(int flags, int target) noexcept {
    int fd;
    do fd = open("/dev/null", flags | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    int rc = 0;
    if (fd == target) {
        // The descriptor was free and open() took it: only the close-on-exec flag must go.
        if (fcntl(fd, F_SETFD, 0) != 0) rc = errno;
        return rc;
    }
    int r;
    do r = dup2(fd, target);
    while (r < 0 && errno == EINTR);
    if (r < 0) rc = errno;
    close(fd);
    return rc;
}

}  // namespace

UnicodeString SignalNameU(int sig) {
    for (const SignalRow& r : kSignals)
        if (r.number == sig) return WidenStrU(r.name);
    return u"Signal #" + WidenStrU(std::to_string(sig));
}

int RedirectStdToNull() noexcept {
    const int r0 = NullOnto(O_RDONLY, STDIN_FILENO);
    const int r1 = NullOnto(O_WRONLY, STDOUT_FILENO);
    const int r2 = NullOnto(O_WRONLY, STDERR_FILENO);
    return r0 != 0 ? r0 : r1 != 0 ? r1 : r2;
}

int FillClosedStdHandles() noexcept {
    int rc = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int r = NullOnto(fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, fd);
        if (rc == 0) rc = r;
    }
    return rc;
}

void CloseExtraHandles() noexcept {
    for (int fd = 3; fd <= 1023; ++fd) {
        struct stat st {};
        if (fstat(fd, &st) == 0) close(fd);
    }
}

}  // namespace zel
