#include "net/dmq_kqueue.hpp"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

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

#else  // epoll

namespace {

uint64_t PackData(int fd, uint32_t gen) { return uint64_t(uint32_t(fd)) | (uint64_t(gen) << 32); }

}  // namespace

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
}

uint32_t TKQueue::MaskOf(const TSlot& s) {
    uint32_t m = 0;
    if (s.ReadOn) m |= EPOLLIN | EPOLLRDHUP;
    if (s.WriteOn) m |= EPOLLOUT;
    return m;
}

// Moves the descriptor's one epoll entry to the combined interest of its two filters; 0 or errno.
int TKQueue::Register(int fd, TSlot& s, uint32_t oldMask) {
    uint32_t mask = MaskOf(s);
    if (mask == oldMask) return 0;
    epoll_event ev{};
    ev.events = mask;
    if (oldMask == 0) {
        if (++lastGen_ == 0) ++lastGen_;
        s.Gen = lastGen_;
        ev.data.u64 = PackData(fd, s.Gen);
        if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) == 0) return 0;
        // An entry we no longer track (the number was given a copy of the same file): take it over.
        if (errno == EEXIST && epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
        int e = errno;
        s = TSlot{};
        return e;
    }
    if (mask == 0) {
        // Fails when the descriptor was closed first; the entry then went with the close, or
        // stays only for another copy of the file and its events are stale from now on.
        epoll_ctl(fd_, EPOLL_CTL_DEL, fd, &ev);
        s = TSlot{};
        return 0;
    }
    ev.data.u64 = PackData(fd, s.Gen);
    if (epoll_ctl(fd_, EPOLL_CTL_MOD, fd, &ev) == 0) return 0;
    return errno;
}

int TKQueue::AddFilter(int fd, bool read, void* udata) {
    if (fd < 0) return EBADF;
    if (size_t(fd) >= slots_.size()) slots_.resize(size_t(fd) + 1);
    TSlot& s = slots_[size_t(fd)];
    const TSlot old = s;
    auto set = [read, udata](TSlot& t) {
        (read ? t.ReadOn : t.WriteOn) = true;
        (read ? t.ReadData : t.WriteData) = udata;
    };
    set(s);
    int r = Register(fd, s, MaskOf(old));
    if (r == ENOENT && MaskOf(old) != 0) {
        // The descriptor was closed and its number reused: the old filters went with the close.
        s = TSlot{};
        set(s);
        r = Register(fd, s, 0);
    }
    if (r != 0) s = (r == EBADF || r == ENOENT) ? TSlot{} : old;
    return r;
}

int TKQueue::DeleteFilter(int fd, bool read) {
    if (fd < 0) return EBADF;
    if (size_t(fd) >= slots_.size()) return ENOENT;
    TSlot& s = slots_[size_t(fd)];
    if (!(read ? s.ReadOn : s.WriteOn)) return ENOENT;
    uint32_t oldMask = MaskOf(s);
    (read ? s.ReadOn : s.WriteOn) = false;
    (read ? s.ReadData : s.WriteData) = nullptr;
    int r = Register(fd, s, oldMask);
    // Only a modify can fail here: the descriptor was closed, and its filters with it.
    if (r != 0) s = TSlot{};
    return r;
}

int TKQueue::Change(const TKEvent& c) {
    if (c.filter != kqf_Read && c.filter != kqf_Write) return EINVAL;
    if (c.ident > uintptr_t(INT_MAX)) return EBADF;
    bool read = c.filter == kqf_Read;
    if (c.flags & kqe_Delete) return DeleteFilter(int(c.ident), read);
    if (c.flags & kqe_Add) return AddFilter(int(c.ident), read, c.udata);
    return EINVAL;
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
    if (ready_.size() < cap) ready_.resize(cap);
    uint64_t start = MonotonicMs();
    for (;;) {
        uint64_t left = Remaining(timeoutMs, start);
        int ms = left == KQ_TIMEOUT_NONE ? -1 : int(left > uint64_t(INT_MAX) ? INT_MAX : left);
        int n = epoll_wait(fd_, ready_.data(), int(cap), ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) return 0;
        int out = 0;
        for (int i = 0; i < n && out < nEvents; ++i) {
            uint64_t d = ready_[size_t(i)].data.u64;
            uint32_t fd = uint32_t(d);
            uint32_t gen = uint32_t(d >> 32);
            if (fd >= slots_.size() || gen == 0 || slots_[fd].Gen != gen) continue;  // stale
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
        if (out > 0) return out;
        if (left == 0) return 0;
        // Only stale events: they belong to entries that are gone, so the wait goes on.
    }
}

#endif

}  // namespace zel
