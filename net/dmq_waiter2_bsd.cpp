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
    uint32_t gen = 0;
    if (int e = kq_.AddFilter(pipeRead_, kqf_Read, &pipeResource_->ReadLink, gen); e != 0)
        throw EWaiterErrorKQueue(SysErrorText(e));
}

TWaiter2Bsd::~TWaiter2Bsd() { kq_.Close(); }

void TWaiter2Bsd::InitResource(TWaiter2Resource* r) {
    r->ReadActive = 0;
    r->WriteActive = 0;
    r->CurrentEvents = 0;
    r->Generation = 0;
    r->ReadLink = TWaiter2Link{r, 0};
    r->WriteLink = TWaiter2Link{r, 0};
}

int TWaiter2Bsd::AddFilter(TWaiter2Resource* r, bool read, uint8_t bits) {
    TWaiter2Link& link = read ? r->ReadLink : r->WriteLink;
    link.Bits = bits;
    uint32_t gen = 0;
    if (int e = kq_.AddFilter(r->Handle, read ? kqf_Read : kqf_Write, &link, gen); e != 0) return e;
    // A new generation while the other filter was on: the descriptor was closed and its number
    // reused since, and that registration went with the close.
    if (r->Generation != 0 && gen != r->Generation) (read ? r->WriteActive : r->ReadActive) = 0;
    r->Generation = gen;
    (read ? r->ReadActive : r->WriteActive) = 1;
    return 0;
}

void TWaiter2Bsd::DeleteFilter(TWaiter2Resource* r, bool read) {
    // Not checked: a descriptor closed before its delete has lost its filters already, and the
    // generation keeps a later owner of the number safe from this delete.
    (void)kq_.DeleteFilter(r->Handle, read ? kqf_Read : kqf_Write, r->Generation);
    (read ? r->ReadActive : r->WriteActive) = 0;
    if (!r->ReadActive && !r->WriteActive) r->Generation = 0;
}

void TWaiter2Bsd::DoneResource(int32_t index) {
    TWaiter2Resource* r = resources_[size_t(index)];
    if (r->ReadActive) DeleteFilter(r, true);
    if (r->WriteActive) DeleteFilter(r, false);
}

int TWaiter2Bsd::SetResourceEvents(TWaiter2Resource* r, uint8_t bits) {
    if (bits == r->CurrentEvents) return 0;
    const auto apply = [&](bool read) {
        const uint8_t mine = bits & (read ? WAITER_READ_BITS : WAITER_WRITE_BITS);
        if ((mine != 0) == bool(read ? r->ReadActive : r->WriteActive)) return 0;
        if (mine != 0) return AddFilter(r, read, mine);
        DeleteFilter(r, read);
        return 0;
    };
    // Write, then read, then write again: a read filter registered anew for a reused number
    // has dropped the write filter of the closed descriptor.
    int e = apply(false);
    if (e == 0) e = apply(true);
    if (e == 0) e = apply(false);
    // After a failure the record tells what is registered, so that asking again retries.
    r->CurrentEvents = e == 0 ? bits
                              : uint8_t((r->ReadActive ? r->ReadLink.Bits : 0) | (r->WriteActive ? r->WriteLink.Bits : 0));
    return e;
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
