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
    int rc = ::fcntl(fd, F_SETLK, &fl) == 0 ? 0 : errno;
    if (rc == 0) {
        const AnsiString text = std::to_string(static_cast<long long>(Pid)) + "\n";
        rc = WriteAll(fd, text.data(), text.size());
    }
    if (rc != 0) {
        ::unlink(name.c_str());
        ::close(fd);
        return rc;
    }
    Name_ = name;
    Fd_ = fd;
    return 0;
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
