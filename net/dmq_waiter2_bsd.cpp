#include "net/dmq_waiter2_bsd.hpp"

#include <cerrno>

#include "foundation/dmq_fileutils.hpp"

namespace zel {

TWaiter2Bsd::TWaiter2Bsd(int32_t maxResources) : TWaiter2Pipe(maxResources) {
    resourceSize_ = GetResourceSize();
    // The pipe's record was made while this class was not yet built, so its links are set here.
    InitResource(pipeResource_);
    events_.resize((size_t(maxResources_) + 1) * 2);
    if (int e = kq_.Open(); e != 0) throw EWaiterErrorKQueue(SysErrorText(e));
    // ReadActive stays false: the pipe's filter lives as long as the queue.
    pipeResource_->ReadLink.Bits = 1;
    Change(pipeRead_, kqf_Read, kqe_Add, &pipeResource_->ReadLink);
}

TWaiter2Bsd::~TWaiter2Bsd() { kq_.Close(); }

void TWaiter2Bsd::Change(int32_t handle, int16_t filter, uint16_t flags, void* udata) {
    TKEvent c = KEventRec(uintptr_t(uint32_t(handle)), filter, flags, udata);
    // Not checked: a descriptor closed before its delete has lost its filters already.
    kq_.KEvent(&c, 1, nullptr, 0, 0);
}

void TWaiter2Bsd::InitResource(TWaiter2Resource* r) {
    r->ReadActive = 0;
    r->WriteActive = 0;
    r->CurrentEvents = 0;
    r->ReadLink = TWaiter2Link{r, 0};
    r->WriteLink = TWaiter2Link{r, 0};
}

void TWaiter2Bsd::DoneResource(int32_t index) {
    TWaiter2Resource* r = resources_[size_t(index)];
    if (r->ReadActive) Change(r->Handle, kqf_Read, kqe_Delete, nullptr);
    if (r->WriteActive) Change(r->Handle, kqf_Write, kqe_Delete, nullptr);
    r->ReadActive = 0;
    r->WriteActive = 0;
}

void TWaiter2Bsd::SetResourceEvents(TWaiter2Resource* r, uint8_t bits) {
    if (bits == r->CurrentEvents) return;
    r->CurrentEvents = bits;
    bool wantWrite = (bits & WAITER_WRITE_BITS) != 0;
    if (wantWrite != bool(r->WriteActive)) {
        if (wantWrite) {
            r->WriteLink.Bits = bits & WAITER_WRITE_BITS;
            Change(r->Handle, kqf_Write, kqe_Add, &r->WriteLink);
        } else {
            Change(r->Handle, kqf_Write, kqe_Delete, nullptr);
        }
        r->WriteActive = wantWrite;
    }
    bool wantRead = (bits & WAITER_READ_BITS) != 0;
    if (wantRead != bool(r->ReadActive)) {
        if (wantRead) {
            r->ReadLink.Bits = bits & WAITER_READ_BITS;
            Change(r->Handle, kqf_Read, kqe_Add, &r->ReadLink);
        } else {
            Change(r->Handle, kqf_Read, kqe_Delete, nullptr);
        }
        r->ReadActive = wantRead;
    }
}

TWaiterResult TWaiter2Bsd::Wait(const TWaiter2WaitRequest& req) {
    if (req.Timeout != WAITER_INFINITE && req.Timeout > WAITER_MAX_TIMEOUT)
        throw EWaiterTooLargeTime(FormatA("Timeout is too large: %u", req.Timeout));
    // Signals are retried inside with the time that remains.
    int n = kq_.KEvent(nullptr, 0, events_.data(), int(events_.size()), req.Timeout);
    if (n < 0) {
        lastError_ = errno;
        return TWaiterResult::wr_Error;
    }
    if (n == 0) return TWaiterResult::wr_Timeout;
    TWaiter2Event ev;
    ev.UserData = req.UserData;
    ev.Passes = req.Passes;
    if (req.OnBeforeEvents) req.OnBeforeEvents(ev);
    bool interrupted = false;
    if (!req.OnEvent) {
        for (int i = 0; i < n; ++i)
            if (int64_t(events_[size_t(i)].ident) == pipeIdent_) interrupted = true;
    } else {
        for (int32_t pass = req.Passes - 1; pass >= 0; --pass) {
            for (int i = 0; i < n; ++i) {
                const TKEvent& k = events_[size_t(i)];
                if (int64_t(k.ident) == pipeIdent_) {
                    interrupted = true;
                    continue;
                }
                auto* link = static_cast<TWaiter2Link*>(k.udata);
                if (!link || link->Resource->Closing) continue;
                ev.Resource = link->Resource;
                ev.Events = link->Bits;
                ev.Pass = pass;
                req.OnEvent(ev);
            }
        }
    }
    if (interrupted) {
        ClearInterrupt();
        return TWaiterResult::wr_Interrupt;
    }
    return TWaiterResult::wr_Descriptor;
}

}  // namespace zel
