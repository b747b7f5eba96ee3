#pragma once
// The main queue, which carries the service's slow and rare jobs (saving and rereading list files,
// service start and stop, termination, reopening the log) to the service thread, and the flusher
// queue of command-port requests that wait for the data files to be written.
//
// The processor of the main queue (TZELService::ProcessMainQueue and its jobs) is defined in
// dmq_zel_svc_server_types.cpp, beside the queue it drains.
#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/dmq_fifo_ts.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TZELSVCWrkCtxBase;

enum class TZELSVCMainQueueCommand : uint8_t {
    fsmq_SaveMutes,
    fsmq_SaveBlocks,
    fsmq_SaveAdmins,
    fsmq_SaveModes,
    fsmq_SaveRights,
    fsmq_SaveNotices,
    fsmq_SaveOwner,
    fsmq_RereadAdmins,
    fsmq_RereadMutes,
    fsmq_RereadBlocks,
    fsmq_RereadRights,
    fsmq_RereadModes,
    fsmq_RereadNotices,
    fsmq_RereadAll,
    fsmq_ForwardPending,
    fsmq_ServiceStart,
    fsmq_ServiceStop,  // reserved: never posted
    fsmq_Terminate,
    fsmq_ReopenLog
};

// The lines of a list file, each ending in CR LF.
using TZELSVCWriteArray = std::vector<AnsiString>;

struct TZELSVCMainQueueRec {
    TZELSVCMainQueueCommand Kind = TZELSVCMainQueueCommand::fsmq_SaveMutes;
    TZELSVCWriteArray Lines;      // saves
    UnicodeString FileName;       // rereads; empty: the configured file
    int32_t FlushCount = 0;       // code 14: the waiting flush requests whose saves came before it
    TZELSVCWrkCtxBase* Requester = nullptr;  // rereads; not owned
    uint32_t RequesterId = 0;     // the requester's number when the request was posted
    // Saves: the service's mark that a save of this list is queued, cleared when the job goes
    // (written, failed or dropped), so that the next snapshot of the list may be queued.
    std::atomic<bool>* QueuedMark = nullptr;
    // Saves: the lines hold a change of the list since its last save (an edit, an expiry); false
    // when only a rewrite asked for them (a flush, a read that dropped lines, a retry), which
    // loses nothing when it fails.
    bool HoldsChange = true;

    TZELSVCMainQueueRec() = default;
    TZELSVCMainQueueRec(const TZELSVCMainQueueRec&) = delete;
    TZELSVCMainQueueRec& operator=(const TZELSVCMainQueueRec&) = delete;
    ~TZELSVCMainQueueRec() {
        if (QueuedMark) QueuedMark->store(false, std::memory_order_release);
    }
};

// Any thread pushes; only the service thread pops. The caller wakes the service thread.
class TZELSVCMainQueue : public TFifoThreadSafe<TZELSVCMainQueueRec> {
public:
    static constexpr int32_t kBlockSize = 32;

    TZELSVCMainQueue() : TFifoThreadSafe(kBlockSize) {}

    // Kind only (codes 13 to 18).
    void PushCommand(TZELSVCMainQueueCommand Kind);
    // Code 14 answering the oldest Count flush requests.
    void PushForwardPending(int32_t Count);
    // Kind and a copy of the lines (codes 0 to 6).
    void PushCommandText(TZELSVCMainQueueCommand Kind, const TZELSVCWriteArray& Lines,
                         std::atomic<bool>* QueuedMark = nullptr, bool HoldsChange = true);
    // Kind, file name, requester and the requester's current number (codes 7 to 12).
    void PushCommandRequest(TZELSVCMainQueueCommand Kind, UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
};

// A command-port request waiting for the data files to be written.
struct TZELSVCFlusherQueueItem {
    TZELSVCWrkCtxBase* Context = nullptr;  // not owned
    uint32_t Id = 0;                       // its number when the request was posted
};

// Filled by the service tick on the timer thread, emptied by the service thread (code 14).
class TZELSVCFlusherQueue : public TFifoThreadSafe<TZELSVCFlusherQueueItem> {
public:
    static constexpr int32_t kBlockSize = 32;

    TZELSVCFlusherQueue() : TFifoThreadSafe(kBlockSize) {}

    // The context and its current number; wakes nothing (the items wait for code 14).
    void PushContext(TZELSVCWrkCtxBase* Context);
};

}  // namespace zel
