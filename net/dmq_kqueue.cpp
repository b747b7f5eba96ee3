#include "net/dmq_kqueue.hpp"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#ifndef ZEL_HAVE_KQUEUE
#include <sys/epoll.h>
#include <sys/stat.h>
#endif

namespace zel {

namespace {

uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// Milliseconds left of timeoutMs since start; KQ_TIMEOUT_NONE stays unlimited.
uint64_t Remaining(uint32_t timeoutMs, uint64_t start) {
    if (timeoutMs == KQ_TIMEOUT_NONE) return KQ_TIMEOUT_NONE;
    uint64_t spent = MonotonicMs() - start;
    return spent >= timeoutMs ? 0 : timeoutMs - spent;
}

}  // namespace

#ifdef ZEL_HAVE_KQUEUE

TKQueue::TKQueue() = default;
TKQueue::~TKQueue() { Close(); }

int TKQueue::Open() {
    Close();
    int fd = ::kqueue();
    if (fd < 0) return errno;
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        int e = errno;
        ::close(fd);
        return e;
    }
    fd_ = fd;
    return 0;
}

void TKQueue::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int TKQueue::KEvent(const TKEvent* changes, int nChanges, TKEvent* events, int nEvents,
                    uint32_t timeoutMs) {
    uint64_t start = MonotonicMs();
    for (;;) {
        uint64_t left = Remaining(timeoutMs, start);
        timespec ts{};
        ts.tv_sec = time_t(left / 1000u);
        ts.tv_nsec = long(left % 1000u) * 1000000L;
        int n = ::kevent(fd_, changes, nChanges, events, nEvents,
                         timeoutMs == KQ_TIMEOUT_NONE ? nullptr : &ts);
        if (n >= 0 || errno != EINTR) return n;
        // The changes were applied before the signal came: the retry only waits.
        changes = nullptr;
        nChanges = 0;
    }
}

int TKQueue::AddFilter(int fd, int16_t filter, void* udata, uint32_t& gen) {
    gen = 0;
    TKEvent c = KEventRec(uintptr_t(uint32_t(fd)), filter, kqe_Add, udata);
    if (::kevent(fd_, &c, 1, nullptr, 0, nullptr) != 0) return errno;
    gen = 1;
    return 0;
}

int TKQueue::DeleteFilter(int fd, int16_t filter, uint32_t /*gen*/) {
    TKEvent c = KEventRec(uintptr_t(uint32_t(fd)), filter, kqe_Delete, nullptr);
    return ::kevent(fd_, &c, 1, nullptr, 0, nullptr) == 0 ? 0 : errno;
}

#else  // epoll

namespace {

uint64_t PackData(int fd, uint32_t gen) { return uint64_t(uint32_t(fd)) | (uint64_t(gen) << 32); }

// Rounds in a row with events of entries that no slot owns before the set is rebuilt. Such an
// entry stays in the set while another copy of its file lives on (a child between fork and exec
// holds every descriptor), and a level-triggered one is returned by every wait.
constexpr uint32_t kStaleRoundsBeforeRebuild = 3;

bool FileId(int fd, uint64_t& dev, uint64_t& ino) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    dev = uint64_t(st.st_dev);
    ino = uint64_t(st.st_ino);
    return true;
}

}  // namespace

TKQueue::TKQueue() = default;
TKQueue::~TKQueue() { Close(); }

int TKQueue::Open() {
    Close();
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) return errno;
    fd_ = fd;
    return 0;
}

void TKQueue::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    slots_.clear();
    staleRounds_ = 0;
}

uint32_t TKQueue::MaskOf(const TSlot& s) {
    uint32_t m = 0;
    if (s.ReadOn) m |= EPOLLIN | EPOLLRDHUP;
    if (s.WriteOn) m |= EPOLLOUT;
    return m;
}

int TKQueue::AddEntry(int fd, bool read, void* udata) {
    TSlot& s = slots_[size_t(fd)];
    s = TSlot{};
    (read ? s.ReadOn : s.WriteOn) = true;
    (read ? s.ReadData : s.WriteData) = udata;
    if (++lastGen_ == 0) ++lastGen_;
    s.Gen = lastGen_;
    epoll_event ev{};
    ev.events = MaskOf(s);
    ev.data.u64 = PackData(fd, s.Gen);
    int e = 0;
    if (!FileId(fd, s.Dev, s.Ino)) {
        e = errno;
    } else if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        e = errno;
        // An entry of this very file under this number that no slot owns (left behind by a
        // delete after a close, the file later given the number again): take it over.
        if (e == EEXIST && epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0) e = 0;
        else if (e == EEXIST) e = errno;
    }
    if (e != 0) s = TSlot{};
    return e;
}

int TKQueue::AddFilterAt(int fd, bool read, void* udata, uint32_t& gen) {
    gen = 0;
    if (fd < 0) return EBADF;
    if (size_t(fd) >= slots_.size()) slots_.resize(size_t(fd) + 1);
    TSlot& s = slots_[size_t(fd)];
    if (s.Gen != 0) {
        // The slot believes the number is registered; only the system knows whether it still
        // names that file, so the entry is modified even when this filter is on already.
        TSlot next = s;
        (read ? next.ReadOn : next.WriteOn) = true;
        (read ? next.ReadData : next.WriteData) = udata;
        epoll_event ev{};
        ev.events = MaskOf(next);
        ev.data.u64 = PackData(fd, next.Gen);
        if (epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0) {
            s = next;
            gen = s.Gen;
            return 0;
        }
        const int e = errno;
        // Anything but a closed (and maybe reused) number keeps the registration as it was.
        if (e != ENOENT && e != EBADF) return e;
        // The number was closed: its filters went with the close, as kqueue drops them. A new
        // generation keeps events of an entry left behind for a surviving copy away from the new one.
    }
    const int e = AddEntry(fd, read, udata);
    if (e == 0) gen = slots_[size_t(fd)].Gen;
    return e;
}

int TKQueue::DeleteFilterAt(int fd, bool read, uint32_t gen) {
    if (fd < 0) return EBADF;
    if (size_t(fd) >= slots_.size()) return ENOENT;
    TSlot& s = slots_[size_t(fd)];
    if (!(read ? s.ReadOn : s.WriteOn)) return ENOENT;
    // A registration made after the owner's descriptor was closed and the number reused.
    if (gen != 0 && gen != s.Gen) return ENOENT;
    (read ? s.ReadOn : s.WriteOn) = false;
    (read ? s.ReadData : s.WriteData) = nullptr;
    epoll_event ev{};
    ev.events = MaskOf(s);
    ev.data.u64 = PackData(fd, s.Gen);
    if (ev.events == 0) {
        // Fails when the descriptor was closed first; the entry then went with the close, or
        // stays only for another copy of the file and its events are stale from now on.
        epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &ev);
        s = TSlot{};
        return 0;
    }
    if (epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
    const int e = errno;
    // The descriptor was closed, and its filters with it.
    if (e == ENOENT || e == EBADF) s = TSlot{};
    return e;
}

int TKQueue::AddFilter(int fd, int16_t filter, void* udata, uint32_t& gen) {
    gen = 0;
    if (fd_ < 0) return EBADF;
    if (filter != kqf_Read && filter != kqf_Write) return EINVAL;
    return AddFilterAt(fd, filter == kqf_Read, udata, gen);
}

int TKQueue::DeleteFilter(int fd, int16_t filter, uint32_t gen) {
    if (fd_ < 0) return EBADF;
    if (filter != kqf_Read && filter != kqf_Write) return EINVAL;
    return DeleteFilterAt(fd, filter == kqf_Read, gen);
}

int TKQueue::Change(const TKEvent& c) {
    if (c.filter != kqf_Read && c.filter != kqf_Write) return EINVAL;
    if (c.ident > uintptr_t(INT_MAX)) return EBADF;
    bool read = c.filter == kqf_Read;
    if (c.flags & kqe_Delete) return DeleteFilterAt(int(c.ident), read, 0);
    uint32_t gen;
    if (c.flags & kqe_Add) return AddFilterAt(int(c.ident), read, c.udata, gen);
    return EINVAL;
}

int TKQueue::Rebuild() {
    const int nfd = epoll_create1(EPOLL_CLOEXEC);
    if (nfd < 0) return errno;
    // Slots whose number no longer names the registered file were dropped at its close on
    // kqueue; they are dropped here too, after the new set is complete.
    std::vector<int> dropped;
    for (size_t fd = 0; fd < slots_.size(); ++fd) {
        const TSlot& s = slots_[fd];
        if (s.Gen == 0) continue;
        uint64_t dev = 0, ino = 0;
        if (!FileId(int(fd), dev, ino) || dev != s.Dev || ino != s.Ino) {
            dropped.push_back(int(fd));
            continue;
        }
        // The generations stay: the owners keep them for their deletes, and nothing of the old
        // set can report into the new one.
        epoll_event ev{};
        ev.events = MaskOf(s);
        ev.data.u64 = PackData(int(fd), s.Gen);
        if (epoll_ctl(nfd, EPOLL_CTL_ADD, int(fd), &ev) != 0) {
            const int e = errno;
            ::close(nfd);
            return e;
        }
    }
    for (int fd : dropped) slots_[size_t(fd)] = TSlot{};
    ::close(fd_);
    fd_ = nfd;
    return 0;
}

int TKQueue::KEvent(const TKEvent* changes, int nChanges, TKEvent* events, int nEvents,
                    uint32_t timeoutMs) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    for (int i = 0; i < nChanges; ++i) {
        int r = Change(changes[i]);
        if (r != 0) {
            errno = r;
            return -1;
        }
    }
    if (nEvents <= 0) return 0;
    // One epoll event can become two (read and write): ask for half as many.
    size_t cap = size_t(nEvents + 1) / 2;
    if (readyCap_ < cap) {
        ready_.reset(new epoll_event[cap]);
        readyCap_ = cap;
    }
    uint64_t start = MonotonicMs();
    for (;;) {
        uint64_t left = Remaining(timeoutMs, start);
        int ms = left == KQ_TIMEOUT_NONE ? -1 : int(left > uint64_t(INT_MAX) ? INT_MAX : left);
        int n = epoll_wait(fd_, ready_.get(), int(cap), ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        int out = 0;
        bool stale = false;
        for (int i = 0; i < n && out < nEvents; ++i) {
            uint64_t d = ready_[size_t(i)].data.u64;
            uint32_t fd = uint32_t(d);
            uint32_t gen = uint32_t(d >> 32);
            if (fd >= slots_.size() || gen == 0 || slots_[fd].Gen != gen) {
                stale = true;
                continue;
            }
            const TSlot& s = slots_[fd];
            uint32_t ev = ready_[size_t(i)].events;
            // Hang-up and error come without being asked for: they count for every active filter.
            bool fault = (ev & (EPOLLHUP | EPOLLERR)) != 0;
            if (s.ReadOn && (fault || (ev & (EPOLLIN | EPOLLRDHUP)))) {
                uint16_t fl = (fault || (ev & EPOLLRDHUP)) ? kqe_EOF : 0;
                events[out++] = KEventRec(fd, kqf_Read, fl, s.ReadData);
            }
            // Level-triggered: a write event that finds no room now is reported by the next wait.
            if (s.WriteOn && out < nEvents && (fault || (ev & EPOLLOUT))) {
                events[out++] = KEventRec(fd, kqf_Write, fault ? kqe_EOF : 0, s.WriteData);
            }
        }
        staleRounds_ = stale ? staleRounds_ + 1 : 0;
        if (staleRounds_ >= kStaleRoundsBeforeRebuild) {
            staleRounds_ = 0;
            if (int e = Rebuild(); e != 0 && out == 0) {
                errno = e;
                return -1;
            }
        }
        if (out > 0) return out;
        if (left == 0) return 0;
        // Only stale events: they belong to entries that are gone, so the wait goes on.
    }
}

#endif

}  // namespace zel
