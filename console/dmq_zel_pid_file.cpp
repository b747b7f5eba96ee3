#include "console/dmq_zel_pid_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/dmq_fileutils.hpp"

namespace zel {

namespace {

flock WholeFileWriteLock() {
    flock fl{};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fl;
}

int WriteAll(int Fd, const char* P, size_t Len) {
    while (Len > 0) {
        const ssize_t n = ::write(Fd, P, Len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        P += n;
        Len -= static_cast<size_t>(n);
    }
    return 0;
}

// The decimal PID and a line feed from the start of the file.
int WritePid(int Fd, pid_t Pid) {
    const std::string text = std::to_string(static_cast<long long>(Pid)) + "\n";
    if (::lseek(Fd, 0, SEEK_SET) < 0) return errno;
    return WriteAll(Fd, text.data(), text.size());
}

}  // namespace

TZELPidFile::~TZELPidFile() { Remove(); }

int TZELPidFile::Create(AnsiView Name, pid_t Pid) {
    if (Fd_ >= 0) return EBUSY;
    const AnsiString name(Name);
    if (name.empty()) return ENOENT;
    int fd;
    do {
        fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    flock fl = WholeFileWriteLock();
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
        // Another starting daemon took the fresh file over as stale before the lock: it is that
        // daemon's now.
        ::close(fd);
        return EEXIST;
    }
    const int rc = WritePid(fd, Pid);
    if (rc != 0) {
        ::unlink(name.c_str());
        ::close(fd);
        return rc;
    }
    Name_ = name;
    Fd_ = fd;
    return 0;
}

int TZELPidFile::TakeOver(const AnsiString& Name, pid_t Pid) {
    int fd;
    do {
        fd = ::open(Name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int e = errno;
        // A link or a directory under the name: nothing to take over.
        return e == ELOOP || e == EISDIR ? EEXIST : e;
    }
    struct stat own {}, now {};
    if (::fstat(fd, &own) != 0 || !S_ISREG(own.st_mode)) {
        ::close(fd);
        return EEXIST;
    }
    flock fl = WholeFileWriteLock();
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
        const int e = errno;
        ::close(fd);
        return e == EACCES || e == EAGAIN ? EEXIST : e;
    }
    // Locked: but the name may have been deleted and made anew meanwhile.
    if (::stat(Name.c_str(), &now) != 0 || now.st_dev != own.st_dev || now.st_ino != own.st_ino) {
        ::close(fd);
        return ENOENT;
    }
    int rc = ::ftruncate(fd, 0) == 0 ? 0 : errno;
    if (rc == 0) rc = WritePid(fd, Pid);
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    Name_ = Name;
    Fd_ = fd;
    return 0;
}

int TZELPidFile::Acquire(AnsiView Name, pid_t Pid, bool& Stale) {
    Stale = false;
    if (Fd_ >= 0) return EBUSY;
    const AnsiString name(Name);
    // A name that vanishes or changes under the take-over is tried again, a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int rc = Create(name, Pid);
        if (rc != EEXIST) return rc;
        rc = TakeOver(name, Pid);
        if (rc == 0) Stale = true;
        if (rc != ENOENT) return rc;
    }
    return EEXIST;
}

void TZELPidFile::Remove() noexcept {
    if (Fd_ < 0) return;
    struct stat own {}, now {};
    if (::fstat(Fd_, &own) == 0 && ::stat(Name_.c_str(), &now) == 0 && own.st_dev == now.st_dev &&
        own.st_ino == now.st_ino)
        ::unlink(Name_.c_str());
    // Closing drops the lock: only after the name is gone, so no reader sees our file unlocked.
    ::close(Fd_);
    Fd_ = -1;
}

pid_t PidFileLockHolder(AnsiView Name) noexcept {
    const AnsiString name(Name);
    int fd = -1;
    if (TryOpenReadFile(name, fd) != 0) return 0;
    flock fl = WholeFileWriteLock();
    pid_t holder = 0;
    if (::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) holder = fl.l_pid;
    ::close(fd);
    return holder;
}

bool PidFileDaemonAlive(AnsiView Name, pid_t Pid) noexcept { return Pid > 0 && PidFileLockHolder(Name) == Pid; }

}  // namespace zel
