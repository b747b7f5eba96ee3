#include "foundation/dmq_zel_classes.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"

extern char** environ;

namespace zel {

// ---- External-program runner ----

namespace {

constexpr int32_t kMaxExecArgs = 13;

// Everything the children need is built before fork: in a threaded process only
// async-signal-safe calls are allowed between fork and exec.
struct TExecPlan {
    std::vector<std::string> Paths;  // candidates in look-up order
    std::vector<std::string> Args;   // argv[0] first
    std::vector<char*> Argv;         // Args as a null-terminated array
    int MaxFd = 1024;                // bound for the descriptor sweep when close_range is missing
    int NullFd = -1;                 // "/dev/null", the program's standard input, output and error
};

[[noreturn]] void ReportAndExit(int reportFd, int err) noexcept {
    ssize_t n;
    do {
        n = write(reportFd, &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    _exit(127);
}

// Descriptors opened without close-on-exec (by a library, say) must not reach the program.
void CloseInherited(int keepFd, int maxFd) noexcept {
#if (defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))) || \
    defined(__FreeBSD__)
    bool swept = true;
    if (keepFd > 3 && close_range(3, static_cast<unsigned>(keepFd) - 1, 0) != 0) swept = false;
    if (swept && close_range(static_cast<unsigned>(keepFd) + 1, ~0U, 0) == 0) return;
#endif
    for (int fd = 3; fd < maxFd; ++fd)
        if (fd != keepFd) close(fd);
}

[[noreturn]] void RunProgram(const TExecPlan& plan, int reportFd) noexcept {
    // Ignored dispositions and the signal mask survive exec; the program starts with defaults.
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &sa, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Standard handles on /dev/null: a program that writes much would otherwise fill the
    // server's terminal or output file, once per login. dup2 clears close-on-exec on the copies.
    for (int fd = 0; fd <= 2; ++fd)
        if (dup2(plan.NullFd, fd) < 0) ReportAndExit(reportFd, errno);
    CloseInherited(reportFd, plan.MaxFd);

    // The report pipe is close-on-exec: a successful exec closes it, a failed one writes errno.
    int err = ENOENT;
    bool denied = false;
    for (const std::string& path : plan.Paths) {
        execve(path.c_str(), plan.Argv.data(), environ);
        err = errno;
        if (err == EACCES)
            denied = true;
        else if (err != ENOENT && err != ENOTDIR && err != ELOOP && err != ENAMETOOLONG)
            break;
    }
    if (denied && (err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG))
        err = EACCES;
    ReportAndExit(reportFd, err);
}

void BuildPaths(const std::string& exe, std::vector<std::string>& paths) {
    if (exe.find('/') != std::string::npos) {
        paths.push_back(exe);
        return;
    }
    const char* env = getenv("PATH");
    std::string list = env ? env : "/bin:/usr/bin";
    size_t start = 0;
    for (;;) {
        size_t end = list.find(':', start);
        std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        paths.push_back(dir.empty() ? exe : dir + "/" + exe);
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

// Fd moved above the standard numbers (a process started with one of them closed hands out
// that number first), so that the program's dup2 onto 0 to 2 never overwrites it; -1 on failure.
int AboveStdHandles(int Fd) noexcept {
    if (Fd < 0 || Fd > 2) return Fd;
    const int moved = fcntl(Fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(Fd);
    errno = err;
    return moved;
}

int32_t StartProgram(TExecPlan& plan) {
    struct rlimit rl {};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        plan.MaxFd = rl.rlim_cur < 65536 ? static_cast<int>(rl.rlim_cur) : 65536;
    for (std::string& a : plan.Args) plan.Argv.push_back(a.data());
    plan.Argv.push_back(nullptr);

    plan.NullFd = AboveStdHandles(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (plan.NullFd < 0) return -1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        const int err = errno;
        close(plan.NullFd);
        errno = err;
        return -1;
    }
    fds[0] = AboveStdHandles(fds[0]);
    fds[1] = AboveStdHandles(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        const int err = errno;
        for (int fd : {fds[0], fds[1], plan.NullFd})
            if (fd >= 0) close(fd);
        errno = err;
        return -1;
    }
    // No server handler may run in the children before they reset the dispositions.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid == 0) {
        // The middle process ends at once; the program is left to init, which reaps it.
        pid_t grandchild = fork();
        if (grandchild == 0) RunProgram(plan, fds[1]);
        if (grandchild < 0) ReportAndExit(fds[1], errno);
        _exit(0);
    }
    int forkErr = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(fds[1]);
    close(plan.NullFd);
    if (pid < 0) {
        close(fds[0]);
        errno = forkErr;
        return -1;
    }
    // ECHILD here is fine: SIGCHLD may be ignored, or someone else reaped the middle process.
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    int childErr = 0;
    ssize_t n;
    do {
        n = read(fds[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    int readErr = errno;
    close(fds[0]);
    if (n == 0) return 0;
    errno = n == static_cast<ssize_t>(sizeof childErr) ? childErr : (n < 0 ? readErr : EIO);
    return -1;
}

}  // namespace

int32_t ExecProgram(UnicodeView Executable, int32_t ArgCount, UnicodeView Arg1, UnicodeView Arg2,
                    UnicodeView Arg3, UnicodeView Arg4, UnicodeView Arg5, UnicodeView Arg6,
                    UnicodeView Arg7, UnicodeView Arg8, UnicodeView Arg9, UnicodeView Arg10,
                    UnicodeView Arg11, UnicodeView Arg12, UnicodeView Arg13) noexcept {
    try {
        const UnicodeView args[kMaxExecArgs] = {Arg1, Arg2,  Arg3,  Arg4,  Arg5,  Arg6, Arg7,
                                                Arg8, Arg9, Arg10, Arg11, Arg12, Arg13};
        TExecPlan plan;
        std::string exe = UnicodeToSysCharsetProc(Executable);
        if (exe.empty()) {
            errno = ENOENT;
            return -1;
        }
        BuildPaths(exe, plan.Paths);
        plan.Args.push_back(exe);
        int32_t count = ArgCount < 0 ? 0 : (ArgCount > kMaxExecArgs ? kMaxExecArgs : ArgCount);
        for (int32_t i = 0; i < count; ++i)
            plan.Args.push_back(args[i].empty() ? std::string(" ") : UnicodeToSysCharsetProc(args[i]));
        return StartProgram(plan);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

void StrBldUAddParam(TStringBldU& B, UnicodeView S) {
    if (S.empty()) {
        StrBldUAdd(B, u"\"\"");
    } else if (S.find(u' ') == UnicodeView::npos) {
        StrBldUAdd(B, S);
    } else {
        StrBldUAddChar(B, u'"');
        StrBldUAdd(B, S);
        StrBldUAddChar(B, u'"');
    }
}

}  // namespace zel

// ---- Sorted lists ----

#include <algorithm>
#include <utility>

#include "foundation/dmq_memory.hpp"

namespace zel {

namespace {
namespace lists {

constexpr int32_t kInitialCapacity = 64;

template <class V>
void SetCapacity(V& items, int32_t count, int32_t n) {
    items.resize(static_cast<size_t>(std::max({count, n, kInitialCapacity})));
}

template <class V, class T>
void InsertAt(V& items, int32_t& count, int32_t i, T&& item) {
    if (count == static_cast<int32_t>(items.size())) items.resize(items.size() + items.size() / 4 + 4);
    std::move_backward(items.begin() + i, items.begin() + count, items.begin() + count + 1);
    items[static_cast<size_t>(i)] = std::forward<T>(item);
    ++count;
}

template <class V>
void DeleteAt(V& items, int32_t& count, int32_t i) {
    std::move(items.begin() + i + 1, items.begin() + count, items.begin() + i);
    --count;
    items[static_cast<size_t>(count)] = {};  // releases a key text
}

// Lo/Hi bisection; cmp(i) is the sign of item i against the key. An absent key gives its insert
// point, a present one the first equal item that the bisection meets.
template <class Cmp>
bool Bisect(int32_t count, int32_t& index, Cmp cmp) {
    int32_t lo = 0, hi = count - 1;
    bool found = false;
    while (lo <= hi) {
        int32_t mid = lo + (hi - lo) / 2;
        int c = cmp(mid);
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid - 1;
            if (c == 0) {
                found = true;
                lo = mid;
            }
        }
    }
    index = lo;
    return found;
}

// The little-endian word of the n (at most 8) bytes at p, the missing high bytes zero.
uint64_t ReadLe64(const char* p, size_t n = 8) noexcept {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(static_cast<uint8_t>(p[i])) << (8 * i);
    return v;
}

template <class T>
int Sign3(T a, T b) noexcept {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace lists
}  // namespace

AnsiString PadKey8A(AnsiView S) {
    AnsiString k(S);
    k.resize((k.size() + 7) & ~size_t(7), '\0');
    return k;
}

AnsiString BufToSortKeyA(const char* P, int32_t Len) {
    if (P == nullptr || Len < 1) return AnsiString();
    AnsiString padded = PadKey8A(AnsiView(P, static_cast<size_t>(Len)));
    AnsiString k(padded.size(), '\0');
    for (size_t g = 0; g < padded.size(); g += 8) ReverseCopy(&k[g], &padded[g], 8);
    return k;
}

AnsiString StrToSortKeyA(AnsiView S) { return BufToSortKeyA(S.data(), static_cast<int32_t>(S.size())); }

bool TryPadKey8A(AnsiView S, AnsiString& Key) {
    if (S.find('\0') != AnsiView::npos) return false;
    Key = PadKey8A(S);
    return true;
}

int CompareKey8(AnsiView A, AnsiView B) noexcept {
    const size_t shorter = std::min(A.size(), B.size());
    // Whole words, then the shorter key's tail against the same bytes of the other as one word
    // read with zero high bytes (as if padded), so an unpadded tail counts too.
    for (size_t at = 0; at < shorter; at += 8) {
        const size_t n = std::min<size_t>(8, shorter - at);
        const uint64_t a = lists::ReadLe64(A.data() + at, n), b = lists::ReadLe64(B.data() + at, n);
        // Unsigned: a signed difference stops being a total order once a word's top byte has its
        // top bit set (a key in an 8-bit charset), and look-ups then miss entries that are there.
        if (a != b) return a < b ? -1 : 1;
    }
    return lists::Sign3(A.size(), B.size());
}

// -- TZELSortedInt64NotUniqList

TZELSortedInt64NotUniqList::TZELSortedInt64NotUniqList() : Items_(lists::kInitialCapacity) {}

bool TZELSortedInt64NotUniqList::Find(int64_t Key, int32_t& Index) const noexcept {
    // A comparison, not the sign of a difference, which overflows for keys far apart.
    return lists::Bisect(Count_, Index, [&](int32_t i) { return lists::Sign3(Items_[i].Key, Key); });
}

int32_t TZELSortedInt64NotUniqList::Add(int64_t Key, void* Value) {
    int32_t i;
    Find(Key, i);
    Insert(i, Key, Value);
    return i;
}

void TZELSortedInt64NotUniqList::ChangeKey(int64_t Key, void* Value) {
    int32_t i = IndexOfValue(Value);
    if (i >= 0) Delete(i);
    Add(Key, Value);
}

int32_t TZELSortedInt64NotUniqList::IndexOfValue(const void* Value) const noexcept {
    for (int32_t i = Count_ - 1; i >= 0; --i)
        if (Items_[i].Value == Value) return i;
    return -1;
}

void TZELSortedInt64NotUniqList::Clear() {
    Count_ = 0;
    Items_.assign(lists::kInitialCapacity, TZELSortedInt64NotUniqItem{});
}

void TZELSortedInt64NotUniqList::Delete(int32_t I) { lists::DeleteAt(Items_, Count_, I); }

void TZELSortedInt64NotUniqList::Insert(int32_t I, int64_t Key, void* Value) {
    lists::InsertAt(Items_, Count_, I, TZELSortedInt64NotUniqItem{Key, Value});
}

void TZELSortedInt64NotUniqList::SetCapacity(int32_t N) { lists::SetCapacity(Items_, Count_, N); }

// -- TZELSortedAnsiStringList

TZELSortedAnsiStringList::TZELSortedAnsiStringList(bool Mode)
    : Items_(lists::kInitialCapacity), Mode_(Mode) {}

bool TZELSortedAnsiStringList::Find(AnsiView Key, int32_t& Index) const noexcept {
    return lists::Bisect(Count_, Index, [&](int32_t i) { return CompareKey8(Items_[i].Key, Key); });
}

int32_t TZELSortedAnsiStringList::IndexOf(AnsiView Key) const noexcept {
    int32_t i;
    return Find(Key, i) ? i : -1;
}

void* TZELSortedAnsiStringList::GetObject(AnsiView Key) const noexcept {
    int32_t i;
    return Find(Key, i) ? Items_[i].Obj : nullptr;
}

int32_t TZELSortedAnsiStringList::Add(AnsiView Key, void* Obj) {
    int32_t i;
    if (Find(Key, i)) throw Exception("Duplicate string");
    Insert(i, Key, Obj);
    return i;
}

int32_t TZELSortedAnsiStringList::TryAdd(AnsiView Key, void* Obj) {
    int32_t i;
    if (Find(Key, i)) return -(i + 1);
    Insert(i, Key, Obj);
    return i;
}

void TZELSortedAnsiStringList::Insert(int32_t I, AnsiView Key, void* Obj) {
    lists::InsertAt(Items_, Count_, I, TZELSortedAnsiStringItem{AnsiString(Key), Obj});
}

void TZELSortedAnsiStringList::Delete(int32_t I) { lists::DeleteAt(Items_, Count_, I); }

int32_t TZELSortedAnsiStringList::IndexOfObject(const void* Obj) const noexcept {
    for (int32_t i = Count_ - 1; i >= 0; --i)
        if (Items_[i].Obj == Obj) return i;
    return -1;
}

void TZELSortedAnsiStringList::SetCapacity(int32_t N) { lists::SetCapacity(Items_, Count_, N); }

// -- TZELSortedObjectList

TZELSortedObjectList::TZELSortedObjectList() : Items_(lists::kInitialCapacity) {}

bool TZELSortedObjectList::Find(const void* Obj, int32_t& Index) const noexcept {
    auto key = reinterpret_cast<uintptr_t>(Obj);
    return lists::Bisect(Count_, Index, [&](int32_t i) {
        return lists::Sign3(reinterpret_cast<uintptr_t>(Items_[i]), key);
    });
}

int32_t TZELSortedObjectList::IndexOf(const void* Obj) const noexcept {
    int32_t i;
    return Find(Obj, i) ? i : -1;
}

int32_t TZELSortedObjectList::Add(void* Obj) {
    int32_t i;
    if (Find(Obj, i)) throw Exception("Duplicate object");
    Insert(i, Obj);
    return i;
}

int32_t TZELSortedObjectList::TryAdd(void* Obj) {
    int32_t i;
    if (Find(Obj, i)) return -(i + 1);
    Insert(i, Obj);
    return i;
}

int32_t TZELSortedObjectList::AddIfAbsent(void* Obj) {
    int32_t i;
    if (Find(Obj, i)) return -1;
    Insert(i, Obj);
    return i;
}

int32_t TZELSortedObjectList::Remove(const void* Obj) {
    int32_t i;
    if (!Find(Obj, i)) return -1;
    Delete(i);
    return i;
}

void TZELSortedObjectList::Insert(int32_t I, void* Obj) { lists::InsertAt(Items_, Count_, I, Obj); }

void TZELSortedObjectList::Delete(int32_t I) { lists::DeleteAt(Items_, Count_, I); }

void TZELSortedObjectList::SetCapacity(int32_t N) { lists::SetCapacity(Items_, Count_, N); }

// -- TZELObjectList

TZELObjectList::TZELObjectList() : Items_(lists::kInitialCapacity) {}

int32_t TZELObjectList::Add(void* Obj) {
    Insert(Count_, Obj);
    return Count_ - 1;
}

void TZELObjectList::Insert(int32_t I, void* Obj) { lists::InsertAt(Items_, Count_, I, Obj); }

void TZELObjectList::Delete(int32_t I) { lists::DeleteAt(Items_, Count_, I); }

void TZELObjectList::Clear() {
    if (Count_ == 0) return;
    Count_ = 0;
    Items_.assign(lists::kInitialCapacity, nullptr);
}

void TZELObjectList::SetCapacity(int32_t N) { lists::SetCapacity(Items_, Count_, N); }

}  // namespace zel
