#include "console/dmq_zel_pid_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/dmq_fileutils.hpp"
#include "service/dmq_zel_utils.hpp"

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

// What the daemon writes: at most this many bytes (a pid and a line feed).
constexpr size_t kPidTextMax = 21;

// True for the text of a PID file of ours: empty (Pid 0), or a number and a line feed.
bool IsPidFileText(AnsiView Text, pid_t& Pid) {
    Pid = 0;
    if (Text.empty()) return true;
    if (Text.size() > kPidTextMax || Text.back() != '\n') return false;
    Text.remove_suffix(1);
    if (Text.find_first_not_of("0123456789") != AnsiView::npos) return false;
    return ParsePidText(Text, Pid);
}

// 0 for what may be a PID file of this server's user, else the refusal that says what it is.
int ForeignFileCode(const struct stat& St) {
    if (S_ISLNK(St.st_mode)) return ELOOP;
    if (S_ISDIR(St.st_mode)) return EISDIR;
    if (!S_ISREG(St.st_mode)) return ErrNotRegularFile;
    // A second name of the file (a hard link planted under the PID file's name) would make the
    // take-over write into whatever file that is.
    if (St.st_nlink != 1) return EMLINK;
    if (St.st_uid != ::geteuid()) return EPERM;
    return 0;
}

}  // namespace

AnsiString PidFileRefusalText(int Code) {
    switch (Code) {
        case ELOOP: return "is a symbolic link";
        case EISDIR: return "is a directory";
        case ErrNotRegularFile: return "is not a regular file";
        case EMLINK: return "has more than one link";
        case EPERM: return "belongs to another user";
        case ErrPidFileNotAPid: return "holds no process id";
        default: return {};
    }
}

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
    struct stat named {};
    if (::lstat(Name.c_str(), &named) != 0) return errno;
    if (const int r = ForeignFileCode(named)) return r;
    int fd;
    do {
        fd = ::open(Name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    struct stat own {}, now {};
    // The name may have been made anew since it was looked at: then it is looked at again.
    if (::fstat(fd, &own) != 0 || own.st_dev != named.st_dev || own.st_ino != named.st_ino) {
        ::close(fd);
        return ENOENT;
    }
    flock fl = WholeFileWriteLock();
    if (::fcntl(fd, F_SETLK, &fl) != 0) {
        const int e = errno;
        ::close(fd);
        return e == EACCES || e == EAGAIN ? EEXIST : e;
    }
    // Locked: but the name may have been deleted and made anew meanwhile, or linked elsewhere.
    if (::stat(Name.c_str(), &now) != 0 || now.st_dev != own.st_dev || now.st_ino != own.st_ino) {
        ::close(fd);
        return ENOENT;
    }
    // Only what a daemon of ours writes is overwritten: its number and a line feed, or nothing
    // (a daemon killed between creating the file and writing it).
    char text[kPidTextMax + 1];
    ssize_t got;
    do {
        got = ::pread(fd, text, sizeof text, 0);
    } while (got < 0 && errno == EINTR);
    pid_t held = 0;
    int rc = got < 0 ? errno : 0;
    if (rc == 0 && ::fstat(fd, &own) != 0) rc = errno;
    if (rc == 0) rc = ForeignFileCode(own);
    if (rc == 0 && !IsPidFileText(AnsiView(text, size_t(got)), held)) rc = ErrPidFileNotAPid;
    if (rc == 0) rc = ::ftruncate(fd, 0) == 0 ? 0 : errno;
    if (rc == 0) rc = WritePid(fd, Pid);
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    Name_ = Name;
    Fd_ = fd;
    TakenOverPid_ = held;
    return 0;
}

int TZELPidFile::Acquire(AnsiView Name, pid_t Pid, bool& Stale) {
    Stale = false;
    TakenOverPid_ = 0;
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

namespace {

// A process that runs (EPERM: under another user); one that has ended and waits to be reaped does
// not count, where the system shows it (/proc).
bool ProcessRuns(pid_t Pid) {
    if (::kill(Pid, 0) != 0 && errno != EPERM) return false;
    const AnsiString stat = "/proc/" + std::to_string(Pid) + "/stat";
    const int fd = ::open(stat.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buf[512];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) return true;
    // "pid (name) state ...": the name may hold blanks and parentheses, the state follows the last.
    const AnsiView text(buf, static_cast<size_t>(n));
    const size_t close = text.rfind(')');
    if (close == AnsiView::npos || close + 2 >= text.size()) return true;
    const char state = text[close + 2];
    return state != 'Z' && state != 'X';
}

}  // namespace

AnsiString StalePidFileReason(pid_t Held) {
    if (Held <= 0) return "it held no process id";
    if (ProcessRuns(Held)) return "no process of this server held its lock";
    return "no process held it";
}

}  // namespace zel
