#pragma once
// The small part of kqueue/kevent that the waiter uses: a read and a write filter per descriptor,
// each with its own user pointer, level-triggered, and a wait with a millisecond time-out.
// Where the system has kqueue (ZEL_HAVE_KQUEUE) the calls go straight to it; elsewhere the same
// behaviour is built over epoll, which keeps one entry per descriptor and so needs the table below.
//
// Errors follow the system calls: -1 with errno set (KEvent), or the errno value (the rest).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#ifdef ZEL_HAVE_KQUEUE
#include <sys/types.h>
#include <sys/event.h>
#else
struct epoll_event;
#endif

namespace zel {

// Wait without a time limit.
constexpr uint32_t KQ_TIMEOUT_NONE = 0xFFFFFFFFu;

#ifdef ZEL_HAVE_KQUEUE
using TKEvent = struct ::kevent;
constexpr int16_t kqf_Read = EVFILT_READ;
constexpr int16_t kqf_Write = EVFILT_WRITE;
constexpr uint16_t kqe_Add = EV_ADD;
constexpr uint16_t kqe_Delete = EV_DELETE;
constexpr uint16_t kqe_EOF = EV_EOF;
constexpr uint16_t kqe_Error = EV_ERROR;
#else
// The classic event record: identifier, filter, flags, filter flags, data, user pointer.
struct TKEvent {
    uintptr_t ident;
    int16_t filter;
    uint16_t flags;
    uint32_t fflags;
    intptr_t data;
    void* udata;
};
constexpr int16_t kqf_Read = -1;
constexpr int16_t kqf_Write = -2;
constexpr uint16_t kqe_Add = 0x0001;
constexpr uint16_t kqe_Delete = 0x0002;
// On returned events: the peer closed or the socket failed (hang-up or error).
constexpr uint16_t kqe_EOF = 0x8000;
constexpr uint16_t kqe_Error = 0x4000;
#endif

inline TKEvent KEventRec(uintptr_t ident, int16_t filter, uint16_t flags, void* udata) {
    TKEvent e{};
    e.ident = ident;
    e.filter = filter;
    e.flags = flags;
    e.udata = udata;
    return e;
}

class TKQueue {
public:
    TKQueue();
    ~TKQueue();
    TKQueue(const TKQueue&) = delete;
    TKQueue& operator=(const TKQueue&) = delete;

    // Opens the queue (close-on-exec); 0 or errno.
    int Open();
    void Close();
    // The queue's descriptor; over epoll it changes when the set is rebuilt.
    int Handle() const { return fd_; }

    // Applies the changes in order (kqe_Add / kqe_Delete of kqf_Read / kqf_Write), then, when
    // nEvents > 0, waits up to timeoutMs (KQ_TIMEOUT_NONE: no limit) for events. Returns the
    // number of events stored, 0 at the time-out, -1 with errno. A signal does not end the wait
    // early: it goes on with the time that remains.
    int KEvent(const TKEvent* changes, int nChanges, TKEvent* events, int nEvents, uint32_t timeoutMs);

    // One filter change for an owner that keeps the registration's generation; 0 or errno.
    // AddFilter stores in gen the generation of the descriptor's registration (over epoll a new
    // one when the number was closed and given to another file since). DeleteFilter acts only
    // while gen is still current (0: whatever is registered), so an owner that closed its
    // descriptor before deleting can never remove a later registration of the same number.
    // Native kqueue drops registrations at close and keeps no generations (gen is always 1).
    int AddFilter(int fd, int16_t filter, void* udata, uint32_t& gen);
    int DeleteFilter(int fd, int16_t filter, uint32_t gen);

private:
    int fd_ = -1;
#ifndef ZEL_HAVE_KQUEUE
    // Both filters of one descriptor. Gen tags the epoll entry (it travels in the event data next
    // to the descriptor), so an event of an entry that was replaced or dropped is recognised as
    // stale and never reaches a user pointer that may point to freed memory. Gen 0: no entry.
    struct TSlot {
        uint32_t Gen = 0;
        bool ReadOn = false;
        bool WriteOn = false;
        void* ReadData = nullptr;
        void* WriteData = nullptr;
        // The open file registered under the number, told apart from a later owner of it.
        uint64_t Dev = 0;
        uint64_t Ino = 0;
    };
    int Change(const TKEvent& c);
    int AddFilterAt(int fd, bool read, void* udata, uint32_t& gen);
    int DeleteFilterAt(int fd, bool read, uint32_t gen);
    // A new entry for the descriptor in a fresh slot; 0 or errno (the slot stays empty then).
    int AddEntry(int fd, bool read, void* udata);
    // A new epoll set holding only the live slots; 0 or errno (the old set stays then).
    int Rebuild();
    static uint32_t MaskOf(const TSlot& s);

    std::vector<TSlot> slots_;
    std::unique_ptr<epoll_event[]> ready_;
    size_t readyCap_ = 0;
    uint32_t lastGen_ = 0;
    // Consecutive waits that returned events of entries no slot owns any more.
    uint32_t staleRounds_ = 0;
#endif
};

}  // namespace zel
