#include "service/dmq_zel_svc_tick.hpp"

#include <exception>

#include "foundation/dmq_types.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_modes_list.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_owner_list.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_timer.hpp"

namespace zel {

namespace {

using K = TZELSVCMainQueueCommand;

// The saves in the order they are queued.
struct TSaveStep {
    uint32_t Bit;
    K Kind;
};

constexpr uint32_t kAllListBits = ZELSVCFlagAllListsButOwner | ZELSVCFlagOwner;

constexpr TSaveStep kSaveSteps[] = {
    {ZELSVCFlagMutes, K::fsmq_SaveMutes},     {ZELSVCFlagBlocks, K::fsmq_SaveBlocks},
    {ZELSVCFlagAdmins, K::fsmq_SaveAdmins},   {ZELSVCFlagModes, K::fsmq_SaveModes},
    {ZELSVCFlagRights, K::fsmq_SaveRights},   {ZELSVCFlagNotices, K::fsmq_SaveNotices},
    {ZELSVCFlagOwner, K::fsmq_SaveOwner},
};

// Every entry's prepared file line, network by network in list order.
template <class E>
void AddFileLines(TZELSVCWriteArray& Lines, const TZELNetworksList& Networks,
                  const TZELSVCEntryList<E>& (TZELSVCNetworkBase::*List)() const) {
    size_t total = 0;
    for (int32_t n = 0; n < Networks.Count(); ++n) total += size_t((Networks.Networks(n)->*List)().Count());
    Lines.clear();
    Lines.reserve(total);
    for (int32_t n = 0; n < Networks.Count(); ++n) {
        const TZELSVCEntryList<E>& list = (Networks.Networks(n)->*List)();
        for (int32_t i = 0; i < list.Count(); ++i) Lines.push_back(list.Get(i)->FileLine);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The tick.

void TZELService::TimerTick() {
    // Work that a network handler produced (answers, joins, new records) gets another pass at
    // once, and so does a backlog of the service queue, in order, while the call stays within its
    // budget (the next 100 ms step comes on time); a terminating timer leaves anyway, so a server
    // under load still stops.
    const uint32_t start = GetTickMs();
    for (;;) {
        TickPass();
        if (Timer_->Terminated()) break;
        if ((Flags_ & ZELSVCFlagNetworkActivity) != 0) continue;
        if (ServQueue_.Count() == 0 || GetTickMs() - start >= kTickBudgetMs) break;
    }
    // Once per call, not per pass: a backlog of list changes costs one save of each list.
    PushSaves();
}

uint32_t TZELService::TickNow() const { return TickClock ? TickClock() : GetTickMs(); }

void TZELService::TickPass() {
    // The list bits stay until their saves are queued: a pass that raised keeps them for the next.
    Flags_ &= ~ZELSVCFlagNetworkActivity;
    const uint32_t now = TickNow();
    CurrentTick_ = now;

    const int32_t elapsed = static_cast<int32_t>(now - LastStepTime_);
    if (elapsed >= static_cast<int32_t>(kTickStepMs)) {
        const uint32_t steps = static_cast<uint32_t>(elapsed) / kTickStepMs;
        LastStepTime_ += steps * kTickStepMs;
        // At most one second per pass: after a stall the seconds are caught up one per step, so
        // the timed moves still expire one after the other.
        Tenths_ += static_cast<int32_t>(steps);
        const bool second = Tenths_ > 9;
        if (second) {
            Tenths_ -= 10;
            Seconds_.fetch_add(1, std::memory_order_relaxed);
            CountDownMoves();
        }
        for (int32_t i = Networks_.Count() - 1; i >= 0; --i) Networks_.Networks(i)->Tick(now);
    }

    if (ServQueue_.Count() > 0) DispatchServiceQueue();

    for (int32_t i = Networks_.Count() - 1; i >= 0; --i) RunNetworkWhenDue(*Networks_.Networks(i));

    for (size_t i = Workers_.size(); i-- > 0;)
        if (Workers_[i]->TakeHasWork()) Workers_[i]->WakeUp();
}

void TZELService::CountDownMoves() {
    for (int32_t i = TemporaryMoves_.Count() - 1; i >= 0; --i) {
        auto* client = static_cast<TZELSVCWrkCtxBase*>(TemporaryMoves_.Get(i));
        int32_t left = client->MoveCountdown();
        if (left <= 0) continue;
        client->SetMoveCountdown(--left);
        if (left == 0) PostCountdownExpired(client, client->Network(), client->HomeNetwork());
    }
}

void TZELService::RunNetworkWhenDue(TZELSVCNetworkBase& Network) {
    const bool due = static_cast<int32_t>(CurrentTick_ - Network.LastRun()) >= static_cast<int32_t>(kNetworkRunMs);
    if (!due && Network.PendingCount() == 0) return;
    try {
        Network.ProcessQueue(due);
    } catch (const std::exception& e) {
        LogNetworkError(Network, e);
    }
}

bool TZELService::PushSaves() {
    bool pushed = false;
    for (const TSaveStep& step : kSaveSteps) {
        // While a save of the list waits, a newer one would only be written after it: the bit
        // waits instead, so saves never pile up faster than they are written.
        if ((Flags_ & step.Bit) == 0 || SaveQueued_[size_t(step.Kind)].load(std::memory_order_acquire)) continue;
        switch (step.Kind) {
            case K::fsmq_SaveMutes:
                SnapshotMutesBlocks(SnapshotLines_, 0);
                break;
            case K::fsmq_SaveBlocks:
                SnapshotMutesBlocks(SnapshotLines_, 1);
                break;
            case K::fsmq_SaveAdmins:
                SnapshotAdmins(SnapshotLines_);
                break;
            case K::fsmq_SaveModes:
                SnapshotModes(SnapshotLines_);
                break;
            case K::fsmq_SaveRights:
                SnapshotRights(SnapshotLines_);
                break;
            case K::fsmq_SaveNotices:
                SnapshotNotices(SnapshotLines_);
                break;
            default:
                SnapshotOwner(SnapshotLines_);
                break;
        }
        // Even an empty snapshot is saved: the file then holds its header only.
        PostMainSave(step.Kind, SnapshotLines_, (Changes_ & step.Bit) != 0);
        Flags_ &= ~step.Bit;
        Changes_ &= ~step.Bit;
        pushed = true;
    }
    if ((Flags_ & ZELSVCFlagFlushAnswers) != 0 && (Flags_ & kAllListBits) == 0) {
        // Only the requests whose saves are queued by now: a later request waits for its own.
        PostForwardPending(FlushItemsPending_);
        FlushItemsPending_ = 0;
        Flags_ &= ~ZELSVCFlagFlushAnswers;
        pushed = true;
    }
    return pushed;
}

// ---------------------------------------------------------------------------------------------
// Snapshots.

void TZELService::SnapshotMutesBlocks(TZELSVCWriteArray& Lines, int32_t Blocks) {
    AddFileLines(Lines, Networks_, Blocks == 0 ? &TZELSVCNetworkBase::MuteList : &TZELSVCNetworkBase::BlockList);
}

void TZELService::SnapshotAdmins(TZELSVCWriteArray& Lines) {
    AddFileLines(Lines, Networks_, &TZELSVCNetworkBase::AdminList);
}

void TZELService::SnapshotRights(TZELSVCWriteArray& Lines) {
    AddFileLines(Lines, Networks_, &TZELSVCNetworkBase::RightsList);
}

void TZELService::SnapshotModes(TZELSVCWriteArray& Lines) {
    Lines.clear();
    for (int32_t n = 0; n < Networks_.Count(); ++n) {
        const TZELSVCNetworkBase& net = *Networks_.Networks(n);
        const bool connection = net.ConnectionMode();
        const bool talk = net.TalkMode();
        if (connection || talk) Lines.push_back(BuildModesLine(net.ListNameUtf8(), connection, talk));
    }
}

void TZELService::SnapshotNotices(TZELSVCWriteArray& Lines) {
    Lines.clear();
    for (int32_t n = 0; n < Networks_.Count(); ++n) {
        const TZELSVCNetworkBase& net = *Networks_.Networks(n);
        const TZELSVCNoticeData& notice = net.Notices();
        if (!notice.Notice1.empty() || !notice.Notice2.empty())
            Lines.push_back(BuildNoticeLine(net.ListNameUtf8(), notice));
    }
}

void TZELService::SnapshotOwner(TZELSVCWriteArray& Lines) {
    Lines.clear();
    Lines.push_back(BuildOwnerLine(ServerOwner_));
}

// ---------------------------------------------------------------------------------------------
// Log lines of the timer thread, built in its own builder.

void TZELService::LogNetworkError(TZELSVCNetworkBase& Network, const std::exception& E) {
    if (!OnLog) return;
    TStringBldU& b = TickLogBld_;
    StrBldUReset(b);
    StrBldUAdd(b, u"ERROR: Network \"");
    StrBldUAdd(b, Network.NetworkName());
    StrBldUAdd(b, u"\": ");
    StrBldUAdd(b, DecodeUtf8U(E.what()));
    AddLogLine(StrBldUToStr(b));
}

void TZELService::LogTickError(const char* ClassName, const std::string& Message) {
    TStringBldU& b = TickLogBld_;
    StrBldUReset(b);
    StrBldUAdd(b, u"Work loop: ");
    StrBldUAdd(b, DecodeUtf8U(ClassName));
    StrBldUAddColonSpace(b);
    StrBldUAdd(b, DecodeUtf8U(Message));
    TimerError(StrBldUView(b));
}

void TZELService::LogRefusedConnection(TZELSVCDisconnectCause Cause, UnicodeView Prefix, AnsiView Message,
                                       const TZELSVCNetQueueRecord& Rec) {
    TStringBldU& b = TickLogBld_;
    StrBldUReset(b);
    StrBldUAdd(b, Prefix);
    StrBldUAddSpace(b);
    AppendHostPortU(b, DecodeUtf8U(Rec.Text1), WidenStrU(std::to_string(Rec.Value2)));
    StrBldUAddSpace(b);
    StrBldUAdd(b, DisconnectCauseInfo(Cause).Text);
    if (Cause == TZELSVCDisconnectCause::fsdc_ServInternalError) {
        StrBldUAddColonSpace(b);
        StrBldUAdd(b, DecodeUtf8U(Message));
    }
    AddLogLine(StrBldUToStr(b));
}

}  // namespace zel
