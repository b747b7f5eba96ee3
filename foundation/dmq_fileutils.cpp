#include "foundation/dmq_fileutils.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

#include <cstring>
#include <vector>

#include "foundation/dmq_crc.hpp"
#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

// A name as a zero-terminated text for the system calls.
inline std::string CName(AnsiView name) { return std::string(name); }

// One retry loop for calls that the delivery of a signal may interrupt.
template <typename F>
auto RetryEintr(F f) {
    for (;;) {
        auto r = f();
        if (r >= 0 || errno != EINTR) return r;
    }
}

int OpenCloexec(const std::string& name, int flags, mode_t mode = 0666) {
    return RetryEintr([&] { return ::open(name.c_str(), flags | O_CLOEXEC, mode); });
}

// glibc's strerror_r returns a pointer; the XSI form returns a code.
[[maybe_unused]] const char* StrErrorResult(int r, const char* buf) { return r == 0 ? buf : nullptr; }
[[maybe_unused]] const char* StrErrorResult(const char* r, const char*) { return r; }

int WriteAll(int fd, const char* p, size_t len, size_t& written) {
    written = 0;
    while (written < len) {
        const ssize_t n = ::write(fd, p + written, len - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += static_cast<size_t>(n);
    }
    return 0;
}

int CloseHandle(int& fd, bool owns) {
    int rc = 0;
    if (fd >= 0 && owns && ::close(fd) != 0 && errno != EINTR) rc = errno;
    fd = -1;
    return rc;
}

uint32_t AttrFromStat(const struct stat& st, AnsiView name) {
    uint32_t a = (static_cast<uint32_t>(st.st_mode) & 07777u) << 16;
    if (S_ISDIR(st.st_mode))
        a |= fa_Directory;
    else if (!S_ISREG(st.st_mode))
        a |= fa_SysFile;
    if (S_ISLNK(st.st_mode)) a |= fa_SymLink;
    if ((st.st_mode & S_IWUSR) == 0) a |= fa_ReadOnly;
    const AnsiView base = ExtractFileNameA(name);
    if (!base.empty() && base[0] == '.' && !IsDotDir(base)) a |= fa_Hidden;
    return a;
}

AnsiString JoinPath(AnsiView dir, AnsiView name) {
    AnsiString s = IncludeTrailingSlashA(dir);
    s.append(name);
    return s;
}

// Opens a directory stream on fd (consumed, also on failure). Returns 0 or the errno value.
int OpenDirStream(int fd, DIR*& d) {
    d = fdopendir(fd);
    if (d != nullptr) return 0;
    const int rc = errno;
    ::close(fd);
    return rc;
}

// The next entry other than "." and ".."; e is null at the end. Returns 0 or the errno value.
int NextDirEntry(DIR* d, const dirent*& e) {
    for (;;) {
        errno = 0;
        e = readdir(d);
        if (e == nullptr) return errno;
        if (!IsDotDir(e->d_name)) return 0;
    }
}

// The entries of the directory open as fd (not consumed; its read position moves), without "."
// and "..", read at once so that nothing is changed while the directory is being read.
int ListDirAt(int fd, std::vector<AnsiString>& names) {
    const int own = RetryEintr([&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); });
    if (own < 0) return errno;
    DIR* d = nullptr;
    int rc = OpenDirStream(own, d);
    if (rc != 0) return rc;
    rewinddir(d);
    for (;;) {
        const dirent* e = nullptr;
        rc = NextDirEntry(d, e);
        if (rc != 0 || e == nullptr) break;
        names.emplace_back(e->d_name);
    }
    closedir(d);
    return rc;
}

int ListDir(AnsiView dir, std::vector<AnsiString>& names) {
    const int fd = OpenCloexec(CName(dir), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return errno;
    const int rc = ListDirAt(fd, names);
    ::close(fd);
    return rc;
}

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool SameFile(const struct stat& a, const struct stat& b) noexcept { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes everything inside the directory open as rootFd (consumed). A walk without recursion that
// holds at most two descriptors: each directory is listed first and then emptied; going down it
// opens the entry relative to its parent with O_NOFOLLOW, going up it opens ".." and checks that it
// is the directory it came from. So a link, or an entry swapped for one meanwhile, never leads out
// of the tree.
int DeleteContentsAt(int rootFd) {
    struct Level {
        std::vector<AnsiString> names;
        size_t next = 0;
        struct stat st {};
    };
    std::vector<Level> levels(1);
    int fd = rootFd;
    auto enter = [&](Level& l) {
        if (::fstat(fd, &l.st) != 0) return errno;
        return ListDirAt(fd, l.names);
    };
    int rc = enter(levels.back());
    while (rc == 0) {
        Level& l = levels.back();
        if (l.next == l.names.size()) {
            if (levels.size() == 1) break;
            const int up = RetryEintr([&] { return ::openat(fd, "..", kDirOpenFlags); });
            if (up < 0) {
                rc = errno;
                break;
            }
            struct stat st {};
            const Level& parent = levels[levels.size() - 2];
            if (::fstat(up, &st) != 0 || !SameFile(st, parent.st)) {
                rc = st.st_ino == 0 ? errno : ESTALE;  // the directory was moved away meanwhile
                ::close(up);
                break;
            }
            ::close(fd);
            fd = up;
            levels.pop_back();
            const AnsiString& name = levels.back().names[levels.back().next - 1];
            if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) rc = errno;
            continue;
        }
        const AnsiString& name = l.names[l.next++];
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) rc = errno;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(fd, name.c_str(), 0) != 0 && errno != ENOENT) rc = errno;
            continue;
        }
        const int sub = RetryEintr([&] { return ::openat(fd, name.c_str(), kDirOpenFlags); });
        if (sub < 0) {
            rc = errno;
            break;
        }
        ::close(fd);
        fd = sub;
        levels.emplace_back();
        rc = enter(levels.back());
    }
    ::close(fd);
    return rc;
}

// Absolute form of a path against cwd: "." and empty parts dropped, ".." takes back one part
// (never above the root), a trailing "/" kept. No symbolic link is followed.
template <class Char>
std::basic_string<Char> ExpandPathT(std::basic_string_view<Char> path, std::basic_string_view<Char> cwd) {
    using Str = std::basic_string<Char>;
    using View = std::basic_string_view<Char>;
    Str full;
    if (path.empty() || path[0] != Char('/')) {
        full.assign(cwd);
        full += Char('/');
    }
    full += path;
    const bool trailingSlash = full.size() > 1 && full.back() == Char('/');
    std::vector<View> parts;
    const View all(full);
    size_t i = 0;
    while (i <= all.size()) {
        size_t j = all.find(Char('/'), i);
        if (j == View::npos) j = all.size();
        const View part = all.substr(i, j - i);
        if (part.size() == 2 && part[0] == Char('.') && part[1] == Char('.')) {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && !(part.size() == 1 && part[0] == Char('.'))) {
            parts.push_back(part);
        }
        i = j + 1;
    }
    Str r;
    for (const View p : parts) {
        r += Char('/');
        r += p;
    }
    if (r.empty() || trailingSlash) r += Char('/');
    return r;
}

AnsiString CurrentDirA() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? AnsiString(cwd) : AnsiString();
}

}  // namespace

// ---------------------------------------------------------------------------------------------

// The one place that touches a text file's buffer and state.
struct TTextFileIo {
    // Installs the caller's buffer when both are given, else an own one.
    static void SetupBuffer(TTextFile& f, void* buf, size_t size) {
        if (buf != nullptr && size > 0) {
            f.Buf_ = static_cast<char*>(buf);
            f.BufSize_ = size;
            return;
        }
        if (!f.ownBuf_) {
            f.ownBuf_ = std::make_unique<char[]>(DefaultTextBufSize);
            f.ownSize_ = DefaultTextBufSize;
        }
        f.Buf_ = f.ownBuf_.get();
        f.BufSize_ = f.ownSize_;
    }

    static void Bind(TTextFile& f, int fd, bool owns, TTextFileMode mode, void* buf, size_t size) {
        f.Handle_ = fd;
        f.OwnsHandle_ = owns;
        f.Mode_ = mode;
        SetupBuffer(f, buf, size);
        f.BufPos_ = 0;
        f.BufEnd_ = 0;
        f.AtEof_ = false;
    }

    // Opens f on name with the given flags and mode of use; input through TryOpenReadFile.
    static int Open(TTextFile& f, AnsiView name, int flags, TTextFileMode mode, void* buf, size_t size) {
        if (f.Mode_ != TTextFileMode::tfm_Closed) Close(f);
        if (name.empty()) return ENOENT;
        f.Name_ = AnsiString(name);
        int fd = -1;
        int64_t fileSize = 0;
        if (mode == TTextFileMode::tfm_Input) {
            if (const int rc = TryOpenReadFile(f.Name_, fd, fileSize)) return rc;
        } else {
            fd = OpenCloexec(f.Name_, flags);
            if (fd < 0) return errno;
        }
        Bind(f, fd, true, mode, buf, size);
        f.ReadLeft_ = fileSize;
        return 0;
    }

    static void AssignStdOut(TTextFile& f, void* buf, size_t size) {
        if (f.Mode_ != TTextFileMode::tfm_Closed) Close(f);
        f.Name_.clear();
        Bind(f, STDOUT_FILENO, false, TTextFileMode::tfm_Output, buf, size);
    }

    static int Close(TTextFile& f) {
        if (f.Mode_ == TTextFileMode::tfm_Closed) return EBADF;
        int rc = f.Mode_ == TTextFileMode::tfm_Output ? Flush(f) : 0;
        const int rc2 = CloseHandle(f.Handle_, f.OwnsHandle_);
        if (rc == 0) rc = rc2;
        f.Mode_ = TTextFileMode::tfm_Closed;
        f.OwnsHandle_ = true;
        f.BufPos_ = 0;
        f.BufEnd_ = 0;
        return rc;
    }

    static int Flush(TTextFile& f) {
        if (f.Mode_ == TTextFileMode::tfm_Closed) return EBADF;
        if (f.Mode_ == TTextFileMode::tfm_Input || f.BufPos_ == 0) return 0;
        size_t written = 0;
        const int rc = WriteAll(f.Handle_, f.Buf_, f.BufPos_, written);
        // Keep what could not be written, so that a later flush tries it again.
        if (written > 0 && written < f.BufPos_) std::memmove(f.Buf_, f.Buf_ + written, f.BufPos_ - written);
        f.BufPos_ -= written;
        return rc;
    }

    static int Write(TTextFile& f, const void* p, size_t len) {
        if (f.Mode_ != TTextFileMode::tfm_Output) return EBADF;
        const char* src = static_cast<const char*>(p);
        while (len > 0) {
            if (f.BufPos_ >= f.BufSize_) {
                const int rc = Flush(f);
                if (rc != 0) return rc;
            }
            const size_t n = std::min(len, f.BufSize_ - f.BufPos_);
            std::memcpy(f.Buf_ + f.BufPos_, src, n);
            f.BufPos_ += n;
            src += n;
            len -= n;
        }
        return 0;
    }

    static int Fill(TTextFile& f) {
        if (f.Mode_ != TTextFileMode::tfm_Input) return EBADF;
        if (f.ReadLeft_ < 0) return ErrFileReadPastSize;  // once refused, for good
        if (f.BufPos_ < f.BufEnd_ || f.AtEof_) return 0;
        f.BufPos_ = 0;
        f.BufEnd_ = 0;
        const ssize_t n = RetryEintr([&] { return ::read(f.Handle_, f.Buf_, f.BufSize_); });
        if (n < 0) return errno;
        if (n > f.ReadLeft_) {
            f.ReadLeft_ = -1;
            return ErrFileReadPastSize;
        }
        f.ReadLeft_ -= n;
        if (n == 0)
            f.AtEof_ = true;
        else
            f.BufEnd_ = static_cast<size_t>(n);
        return 0;
    }

    static bool Eof(TTextFile& f) {
        RaiseReadFileError(Fill(f), f.Name_);
        return f.BufPos_ >= f.BufEnd_;
    }

    static AnsiView Piece(TTextFile& f, bool& lineEnd) {
        lineEnd = false;
        RaiseReadFileError(Fill(f), f.Name_);
        const char* start = f.Buf_ + f.BufPos_;
        const size_t avail = f.BufEnd_ - f.BufPos_;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        if (lf == nullptr) {
            f.BufPos_ = f.BufEnd_;
            return AnsiView(start, avail);
        }
        lineEnd = true;
        const size_t n = static_cast<size_t>(lf - start);
        f.BufPos_ += n + 1;
        return AnsiView(start, n);
    }
};

TTextFile::~TTextFile() { TTextFileIo::Close(*this); }

TBinaryFile::~TBinaryFile() { TryCloseFile(*this); }

// ---------------------------------------------------------------------------------------------

AnsiString SysErrorText(int code) {
    char buf[256];
    buf[0] = 0;
    const char* s = StrErrorResult(strerror_r(code, buf, sizeof buf), buf);
    if (s == nullptr || *s == 0) return FormatA("Unknown error %d", code);
    return AnsiString(s);
}

AnsiString FileOpenErrorText(int code) {
    if (code == ErrNotRegularFile) return "not a regular file";
    if (code == EFBIG) return FormatA("larger than %lld bytes", static_cast<long long>(ReadFileSizeCap));
    return SysErrorText(code);
}

AnsiString FileReadErrorText(int code) {
    if (code == ErrFileReadPastSize) return "it gives more than its size when opened (it grows, or is no plain file)";
    return SysErrorText(code);
}

int TryOpenReadFile(AnsiView name, int& fd) {
    int64_t size = 0;
    return TryOpenReadFile(name, fd, size);
}

int TryOpenReadFile(AnsiView name, int& fd, int64_t& size) {
    fd = -1;
    size = 0;
    if (name.empty()) return ENOENT;
    const int h = OpenCloexec(CName(name), O_RDONLY | O_NONBLOCK);
    if (h < 0) return errno;
    struct stat st {};
    int rc = ::fstat(h, &st) != 0 ? errno : 0;
    if (rc == 0) {
        if (S_ISDIR(st.st_mode))
            rc = EISDIR;
        else if (!S_ISREG(st.st_mode))
            rc = ErrNotRegularFile;
        else if (st.st_size > ReadFileSizeCap)
            rc = EFBIG;
    }
    // Only the open had to be spared the wait; the reads of a regular file are plain ones.
    if (rc == 0) {
        const int fl = ::fcntl(h, F_GETFL);
        if (fl < 0 || ::fcntl(h, F_SETFL, fl & ~O_NONBLOCK) != 0) rc = errno;
    }
    if (rc != 0) {
        ::close(h);
        return rc;
    }
    fd = h;
    size = static_cast<int64_t>(st.st_size);
    return 0;
}

namespace {
[[noreturn]] void RaiseFileOpError(int code, const char* what, AnsiView name) {
    throw EFileException(FormatA("error [%d] of %s \"%.*s\": %s", code, what, static_cast<int>(name.size()),
                                 name.data(), SysErrorText(code).c_str()));
}
}  // namespace

void RaiseWriteFileError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "writing file", name);
}

void CheckWriteResult(const TTextFile& f, int code) { RaiseWriteFileError(code, f.Name()); }

void RaiseReadFileError(int code, AnsiView name) {
    if (code != 0)
        throw EFileException(FormatA("error [%d] of reading file \"%.*s\": %s", code, static_cast<int>(name.size()),
                                     name.data(), FileReadErrorText(code).c_str()));
}

AnsiString FormatOpenFileError(int code, AnsiView name) {
    return FormatA("error [%d] of opening file \"%.*s\": %s", code, static_cast<int>(name.size()), name.data(),
                   FileOpenErrorText(code).c_str());
}

void RaiseOpenFileError(int code, AnsiView name) {
    if (code != 0) throw EFileExceptionOpenError(FormatOpenFileError(code, name));
}

void RaiseCreateFileError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "creating file", name);
}

void RaiseOpenOrCreateFileError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "opening or creating file", name);
}

void RaiseCreateDirError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "creating directory", name);
}

void RaiseDeleteFileError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "deleting file", name);
}

void RaiseGetAttrError(int code, AnsiView name) {
    if (code != 0) RaiseFileOpError(code, "getting attributes of file", name);
}

void RaiseRenameError(int code, AnsiView oldName, AnsiView newName) {
    if (code == 0) return;
    throw EFileException(FormatA("error [%d] of renaming file/dir \"%.*s\" to \"%.*s\": %s", code,
                                 static_cast<int>(oldName.size()), oldName.data(), static_cast<int>(newName.size()),
                                 newName.data(), SysErrorText(code).c_str()));
}

AnsiString FormatExecuteError(int code, AnsiView name) {
    return FormatA("error [%d] of execute \"%.*s\": %s", code, static_cast<int>(name.size()), name.data(),
                   SysErrorText(code).c_str());
}

// ---------------------------------------------------------------------------------------------
// Text files.

int TryCloseText(TTextFile& f) { return TTextFileIo::Close(f); }

int TryResetText(TTextFile& f) { return TryResetTextName(f, AnsiString(f.Name())); }

int TryResetTextBuf(TTextFile& f, void* buf, size_t size) { return TryResetTextName(f, AnsiString(f.Name()), buf, size); }

int TryResetTextName(TTextFile& f, AnsiView name, void* buf, size_t size) {
    return TTextFileIo::Open(f, name, O_RDONLY, TTextFileMode::tfm_Input, buf, size);
}

void ResetTextName(TTextFile& f, AnsiView name, void* buf, size_t size) {
    RaiseOpenFileError(TryResetTextName(f, name, buf, size), name);
}

int TryAppendText(TTextFile& f) { return TryAppendTextBuf(f, nullptr, 0); }

int TryAppendTextBuf(TTextFile& f, void* buf, size_t size) {
    const AnsiString name = f.Name();
    return TTextFileIo::Open(f, name, O_WRONLY | O_APPEND, TTextFileMode::tfm_Output, buf, size);
}

int TryRewriteText(TTextFile& f) { return TryRewriteTextBuf(f, nullptr, 0); }

int TryRewriteTextBuf(TTextFile& f, void* buf, size_t size) {
    const AnsiString name = f.Name();
    return TryRewriteTextNameBuf(f, name, buf, size);
}

int TryRewriteTextName(TTextFile& f, AnsiView name) { return TryRewriteTextNameBuf(f, name, nullptr, 0); }

int TryRewriteTextNameBuf(TTextFile& f, AnsiView name, void* buf, size_t size) {
    return TTextFileIo::Open(f, name, O_WRONLY | O_CREAT | O_TRUNC, TTextFileMode::tfm_Output, buf, size);
}

void RewriteTextName(TTextFile& f, AnsiView name) { RaiseCreateFileError(TryRewriteTextName(f, name), name); }

void RewriteTextNameBuf(TTextFile& f, AnsiView name, void* buf, size_t size) {
    RaiseCreateFileError(TryRewriteTextNameBuf(f, name, buf, size), name);
}

int TryAppendOrRewriteTextBuf(TTextFile& f, void* buf, size_t size) {
    const AnsiString name = f.Name();
    return TryAppendOrRewriteTextName(f, name, buf, size);
}

// One open with O_CREAT: appending to an existing file and creating a missing one cannot race.
int TryAppendOrRewriteTextName(TTextFile& f, AnsiView name, void* buf, size_t size) {
    return TTextFileIo::Open(f, name, O_WRONLY | O_APPEND | O_CREAT, TTextFileMode::tfm_Output, buf, size);
}

void AppendOrRewriteTextName(TTextFile& f, AnsiView name, void* buf, size_t size) {
    RaiseOpenOrCreateFileError(TryAppendOrRewriteTextName(f, name, buf, size), name);
}

void AssignStdOutText(TTextFile& f, void* buf, size_t size) { TTextFileIo::AssignStdOut(f, buf, size); }

int TryFlushText(TTextFile& f) { return TTextFileIo::Flush(f); }

int TryWriteTextBuf(TTextFile& f, const void* p, size_t len) { return TTextFileIo::Write(f, p, len); }

void WriteTextBuf(TTextFile& f, const void* p, size_t len) { CheckWriteResult(f, TryWriteTextBuf(f, p, len)); }

void WriteLnText(TTextFile& f, AnsiView s) {
    CheckWriteResult(f, TryWriteTextBuf(f, s.data(), s.size()));
    CheckWriteResult(f, TryWriteTextBuf(f, "\n", 1));
}

int TryFillTextBuf(TTextFile& f) { return TTextFileIo::Fill(f); }

bool EofText(TTextFile& f) { return TTextFileIo::Eof(f); }

AnsiView ReadLnPieceText(TTextFile& f, bool& lineEnd) { return TTextFileIo::Piece(f, lineEnd); }

void ReadLnText(TTextFile& f, AnsiString& s) {
    s.clear();
    for (bool lineEnd = false; !lineEnd;) {
        const AnsiView piece = ReadLnPieceText(f, lineEnd);
        if (piece.empty() && !lineEnd) break;
        s.append(piece);
    }
    if (!s.empty() && s.back() == '\r') s.pop_back();
}

// ---------------------------------------------------------------------------------------------
// Byte files.

int TryCloseFile(TBinaryFile& f) {
    if (f.Handle < 0) return EBADF;
    return CloseHandle(f.Handle, true);
}

int TryRewriteFile(TBinaryFile& f) {
    const AnsiString name = f.Name;
    return TryRewriteFileName(f, name);
}

int TryRewriteFileName(TBinaryFile& f, AnsiView name) {
    if (f.Handle >= 0) TryCloseFile(f);
    if (name.empty()) return ENOENT;
    f.Name = AnsiString(name);
    const int fd = OpenCloexec(f.Name, O_RDWR | O_CREAT | O_TRUNC);
    if (fd < 0) return errno;
    f.Handle = fd;
    return 0;
}

int TryResetFile(TBinaryFile& f, int mode) {
    const AnsiString name = f.Name;
    return TryResetFileName(f, name, mode);
}

// The mode goes with the open itself, so opens on different threads cannot disturb each other.
int TryResetFileName(TBinaryFile& f, AnsiView name, int mode) {
    if (f.Handle >= 0) TryCloseFile(f);
    if (name.empty()) return ENOENT;
    f.Name = AnsiString(name);
    const int flags = mode == fm_OpenRead ? O_RDONLY : mode == fm_OpenWrite ? O_WRONLY : O_RDWR;
    const int fd = OpenCloexec(f.Name, flags);
    if (fd < 0) return errno;
    f.Handle = fd;
    return 0;
}

int TryCreateNewFileName(TBinaryFile& f, AnsiView name, uint32_t perm) {
    if (f.Handle >= 0) TryCloseFile(f);
    if (name.empty()) return ENOENT;
    f.Name = AnsiString(name);
    const int fd = OpenCloexec(f.Name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, static_cast<mode_t>(perm & 07777u));
    if (fd < 0) return errno;
    f.Handle = fd;
    return 0;
}

int TryBlockRead(TBinaryFile& f, void* buf, size_t count, size_t& done) {
    done = 0;
    if (f.Handle < 0) return EBADF;
    char* p = static_cast<char*>(buf);
    while (done < count) {
        const ssize_t n = ::read(f.Handle, p + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int TryBlockWrite(TBinaryFile& f, const void* buf, size_t count) {
    if (f.Handle < 0) return EBADF;
    size_t written = 0;
    return WriteAll(f.Handle, static_cast<const char*>(buf), count, written);
}

// ---------------------------------------------------------------------------------------------
// Names and directories.

int TryEraseFileName(AnsiView name) {
    if (name.empty()) return ENOENT;
    return ::unlink(CName(name).c_str()) == 0 ? 0 : errno;
}

void EraseFileName(AnsiView name) { RaiseDeleteFileError(TryEraseFileName(name), name); }

int TryGetFileAttr(AnsiView name, uint32_t& attr) {
    if (name.empty()) return ENOENT;
    struct stat st {};
    if (::stat(CName(name).c_str(), &st) != 0) return errno;
    attr = AttrFromStat(st, ExcludeTrailingSlashA(name));
    return 0;
}

uint32_t GetFileAttr(AnsiView name) {
    uint32_t attr = 0;
    RaiseGetAttrError(TryGetFileAttr(name, attr), name);
    return attr;
}

int TrySetFileAttr(AnsiView name, uint32_t attr) {
    if (name.empty()) return ENOENT;
    return ::chmod(CName(name).c_str(), static_cast<mode_t>((attr >> 16) & 07777u)) == 0 ? 0 : errno;
}

int TryMakeDir(AnsiView name) {
    const AnsiString dir = ExcludeTrailingSlashA(name);
    if (dir.empty()) return name.empty() ? ENOENT : EEXIST;
    return ::mkdir(dir.c_str(), 0777) == 0 ? 0 : errno;
}

void MakeDir(AnsiView name) { RaiseCreateDirError(TryMakeDir(name), name); }

int TryForceDirs(AnsiView name) {
    if (name.empty()) return ENOENT;
    const AnsiString dir = ExcludeTrailingSlashA(name);
    size_t pos = 0;
    for (;;) {
        pos = dir.find('/', pos + 1);
        const AnsiString part = dir.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), 0777) != 0) {
            const int rc = errno;
            struct stat st {};
            if (rc != EEXIST) {
                // A parent that we may not write into but that exists is fine.
                if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return rc;
            } else if (::stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return ENOTDIR;
            }
        }
        if (pos == AnsiString::npos) return 0;
    }
}

void ForceDirs(AnsiView name) { RaiseCreateDirError(TryForceDirs(name), name); }

int TryRenameFileOrDir(AnsiView oldName, AnsiView newName) {
    if (oldName.empty() || newName.empty()) return ENOENT;
    return ::rename(CName(oldName).c_str(), CName(newName).c_str()) == 0 ? 0 : errno;
}

void RenameFileOrDir(AnsiView oldName, AnsiView newName) {
    RaiseRenameError(TryRenameFileOrDir(oldName, newName), oldName, newName);
}

// ---------------------------------------------------------------------------------------------
// Copying and removal.

int TryListDir(AnsiView dir, std::vector<AnsiString>& names) {
    if (dir.empty()) return ENOENT;
    return ListDir(dir, names);
}

int TryCopyFileData(TBinaryFile& src, TBinaryFile& dst, int64_t maxBytes, void* buf, int64_t bufSize) {
    if (bufSize < 1) throw EFileException("invalid buffer size");
    if (buf == nullptr) throw EFileException("invalid buffer");
    while (maxBytes > 0) {
        const size_t want = static_cast<size_t>(std::min(bufSize, maxBytes));
        size_t got = 0;
        int rc = TryBlockRead(src, buf, want, got);
        if (rc != 0) return rc;
        if (got == 0) return 0;
        rc = TryBlockWrite(dst, buf, got);
        if (rc != 0) return rc;
        maxBytes -= static_cast<int64_t>(got);
    }
    return 0;
}

int TryCopyFile(AnsiView src, AnsiView dst, void* buf, int64_t bufSize) {
    TBinaryFile in, out;
    int rc = TryResetFileName(in, src, fm_OpenRead);
    if (rc != 0) return rc;
    rc = TryRewriteFileName(out, dst);
    if (rc == 0) {
        rc = TryCopyFileData(in, out, INT64_MAX, buf, bufSize);
        const int rc2 = TryCloseFile(out);
        if (rc == 0) rc = rc2;
        if (rc != 0) TryEraseFileName(dst);
    }
    const int rc3 = TryCloseFile(in);
    return rc != 0 ? rc : rc3;
}

int TryCopyDirContents(AnsiView srcDir, AnsiView dstDir, void* buf, int64_t bufSize) {
    std::vector<AnsiString> names;
    int rc = ListDir(srcDir, names);
    if (rc != 0) return rc;
    for (const AnsiString& n : names) {
        const AnsiString s = JoinPath(srcDir, n);
        const AnsiString d = JoinPath(dstDir, n);
        struct stat st {};
        if (::lstat(s.c_str(), &st) != 0) return errno;
        if (S_ISDIR(st.st_mode)) {
            rc = TryCopyDirTree(s, dstDir, buf, bufSize);
        } else if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
            const ssize_t len = ::readlink(s.c_str(), target.data(), target.size() - 1);
            if (len < 0) return errno;
            target[static_cast<size_t>(len)] = 0;
            rc = ::symlink(target.data(), d.c_str()) == 0 ? 0 : errno;
        } else if (S_ISREG(st.st_mode)) {
            rc = TryCopyFile(s, d, buf, bufSize);
            if (rc == 0) rc = TrySetFileAttr(d, AttrFromStat(st, n));
        }
        // FIFOs, devices and sockets are not copied: opening them blocks or reads without end.
        if (rc != 0) return rc;
    }
    return 0;
}

int TryCopyDirTree(AnsiView srcDir, AnsiView dstDir, void* buf, int64_t bufSize) {
    uint32_t attr = 0;
    int rc = TryGetFileAttr(srcDir, attr);
    if (rc != 0) return rc;
    const AnsiString src = ExcludeTrailingSlashA(srcDir);
    const AnsiView last = ExtractFileNameA(src);
    if (last.empty()) return TryCopyDirContents(srcDir, dstDir, buf, bufSize);
    const AnsiString dest = JoinPath(dstDir, last);
    uint32_t destAttr = 0;
    if (TryGetFileAttr(dest, destAttr) != 0) {
        rc = TryMakeDir(dest);
        if (rc == 0) rc = TrySetFileAttr(dest, attr);
        if (rc != 0) return rc;
    }
    return TryCopyDirContents(srcDir, dest, buf, bufSize);
}

int TryCopyDir(AnsiView srcDir, AnsiView dstDir) {
    constexpr int64_t size = 256 * 1024;
    std::unique_ptr<char[]> buf(new char[size]);
    return TryCopyDirTree(srcDir, dstDir, buf.get(), size);
}

int TryDeleteDirContents(AnsiView dir) {
    if (dir.empty()) return ENOENT;
    struct stat st {};
    const AnsiString d = CName(dir);
    if (::lstat(d.c_str(), &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    const int fd = RetryEintr([&] { return ::open(d.c_str(), kDirOpenFlags); });
    if (fd < 0) return errno;
    return DeleteContentsAt(fd);
}

int TryRemoveDirTree(AnsiView dir) {
    if (dir.empty()) return ENOENT;
    const AnsiString d = ExcludeTrailingSlashA(dir);
    if (d.empty()) return TryDeleteDirContents("/");
    struct stat st {};
    if (::lstat(d.c_str(), &st) != 0) return errno;
    // A link in the tree's place is removed itself; what it points at stays.
    if (!S_ISDIR(st.st_mode)) return ::unlink(d.c_str()) == 0 ? 0 : errno;
    const int rc = TryDeleteDirContents(d);
    if (rc != 0) return rc;
    return ::rmdir(d.c_str()) == 0 ? 0 : errno;
}

// ---------------------------------------------------------------------------------------------
// Paths.

AnsiString IncludeTrailingSlashA(AnsiView s) {
    AnsiString r(s);
    if (r.empty() || r.back() != '/') r.push_back('/');
    return r;
}

UnicodeString IncludeTrailingSlashU(UnicodeView s) {
    UnicodeString r(s);
    if (r.empty() || r.back() != u'/') r.push_back(u'/');
    return r;
}

AnsiString ExcludeTrailingSlashA(AnsiView s) {
    size_t n = s.size();
    while (n > 0 && s[n - 1] == '/') --n;
    return AnsiString(s.substr(0, n));
}

UnicodeString ExcludeTrailingSlashU(UnicodeView s) {
    size_t n = s.size();
    while (n > 0 && s[n - 1] == u'/') --n;
    return UnicodeString(s.substr(0, n));
}

bool IsCleanPath(AnsiView s) noexcept {
    for (size_t i = s.find('/'); i != AnsiView::npos; i = s.find('/', i + 1)) {
        const AnsiView rest = s.substr(i + 1);
        // "/." or "/.." followed by "/" or by the end (where the appended "/" would stand).
        if (rest.size() >= 1 && rest[0] == '.') {
            if (rest.size() == 1 || rest[1] == '/') return false;
            if (rest[1] == '.' && (rest.size() == 2 || rest[2] == '/')) return false;
        }
    }
    return true;
}

bool IsDotDir(AnsiView s) noexcept { return s == "." || s == ".."; }

AnsiView ExtractFilePathA(AnsiView path) noexcept {
    const size_t slash = path.find_last_of('/');
    return slash == AnsiView::npos ? AnsiView() : path.substr(0, slash + 1);
}

AnsiView ExtractFileNameA(AnsiView path) noexcept {
    const size_t slash = path.find_last_of('/');
    return slash == AnsiView::npos ? path : path.substr(slash + 1);
}

AnsiString ExpandToFullPathA(AnsiView path) {
    const AnsiString cwd = path.empty() || path[0] != '/' ? CurrentDirA() : AnsiString();
    return ExpandPathT<char>(path, cwd);
}

UnicodeString ExpandToFullPathU(UnicodeView path) {
    const UnicodeString cwd =
        path.empty() || path[0] != u'/' ? SysCharsetToUnicodeProc(CurrentDirA()) : UnicodeString();
    return ExpandPathT<char16_t>(path, cwd);
}

int TrySyncPath(AnsiView name) {
    if (name.empty()) return ENOENT;
    const int fd = OpenCloexec(CName(name), O_RDONLY);
    if (fd < 0) return errno;
    const int rc = ::fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
    ::close(fd);
    return rc;
}

AnsiString GetExeFileNameA() {
#if defined(__FreeBSD__)
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX];
    size_t len = sizeof path;
    if (sysctl(mib, 4, path, &len, nullptr, 0) == 0 && len > 1) return AnsiString(path);
#else
    char path[PATH_MAX];
    const ssize_t len = ::readlink("/proc/self/exe", path, sizeof path);
    if (len > 0 && static_cast<size_t>(len) < sizeof path) return AnsiString(path, static_cast<size_t>(len));
#endif
    // Fallback: the first command-line argument made absolute.
#if defined(__GLIBC__)
    const char* arg0 = program_invocation_name;
#else
    const char* arg0 = getprogname();
#endif
    if (arg0 == nullptr || *arg0 == 0) return AnsiString();
    const AnsiView a(arg0);
    if (a.find('/') != AnsiView::npos) return ExpandToFullPathA(a);
    // A bare name was found through PATH, not in the current directory.
    const char* pathEnv = getenv("PATH");
    AnsiView rest = pathEnv != nullptr ? AnsiView(pathEnv) : AnsiView();
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const AnsiView dir = rest.substr(0, colon);
        rest = colon == AnsiView::npos ? AnsiView() : rest.substr(colon + 1);
        const AnsiString candidate = ExpandToFullPathA(JoinPath(dir.empty() ? AnsiView(".") : dir, a));
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return ExpandToFullPathA(a);
}

AnsiString GetExeDirA() { return ExcludeTrailingSlashA(ExtractFilePathA(GetExeFileNameA())); }

AnsiString GetTempDirA() {
    static const char* const names[] = {"TEMP", "TMP", "TMPDIR", "TEMPDIR"};
    for (const char* n : names) {
        const char* v = getenv(n);
        if (v == nullptr || *v == 0) continue;
        // Only the first variable that is set counts.
        const AnsiString dir = ExpandToFullPathA(v);
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return IncludeTrailingSlashA(dir);
        break;
    }
    return IncludeTrailingSlashA(GetExeDirA());
}

AnsiString MakeUniqueNameA(uint32_t a, uint32_t b, AnsiView s1, AnsiView s2) {
    const TDateTime t = Now();
    unsigned char ab[4], bb[4];
    for (int i = 0; i < 4; ++i) {
        ab[i] = static_cast<unsigned char>(a >> (8 * i));
        bb[i] = static_cast<unsigned char>(b >> (8 * i));
    }
    uint32_t low = Crc32(0, &t, sizeof t);
    low = Crc32(low, ab, 4);
    low = Crc32StrA(low, s1);
    uint32_t high = Crc32(0xFFFFFFFFu, &t, sizeof t);
    high = Crc32(high, bb, 4);
    high = Crc32StrA(high, s2);
    uint64_t v = ((static_cast<uint64_t>(high) << 32) | low) & 0x7FFFFFFFFFFFFFFFull;
    static const char digits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    AnsiString r(10, '0');
    for (int i = 0; i < 10; ++i) {
        r[static_cast<size_t>(i)] = digits[v % 36];
        v /= 36;
    }
    return r;
}

int32_t PathKindU(UnicodeView s) noexcept { return !s.empty() && s[0] == u'/' ? 2 : 0; }

}  // namespace zel
