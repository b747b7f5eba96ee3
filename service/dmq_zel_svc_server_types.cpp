#include "service/dmq_zel_svc_server_types.hpp"

#include <algorithm>
#include <memory>

#include "foundation/dmq_datetime.hpp"
#include "net/dmq_sock.hpp"
#include "net/dmq_waiter2_base.hpp"
#include "net/dmq_waiter2_bsd.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_timer.hpp"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Push routines.

namespace {

std::unique_ptr<TZELSVCMainQueueRec> NewMainRec(TZELSVCMainQueueCommand Kind) {
    auto r = std::make_unique<TZELSVCMainQueueRec>();
    r->Kind = Kind;
    return r;
}

}  // namespace

void TZELSVCMainQueue::PushCommand(TZELSVCMainQueueCommand Kind) { Push(NewMainRec(Kind)); }

void TZELSVCMainQueue::PushForwardPending(int32_t Count) {
    auto r = NewMainRec(TZELSVCMainQueueCommand::fsmq_ForwardPending);
    r->FlushCount = Count;
    Push(std::move(r));
}

void TZELSVCMainQueue::PushCommandText(TZELSVCMainQueueCommand Kind, const TZELSVCWriteArray& Lines,
                                       std::atomic<bool>* QueuedMark, bool HoldsChange) {
    auto r = NewMainRec(Kind);
    r->HoldsChange = HoldsChange;
    // Set with the record that clears it, whatever fails from here on.
    if (QueuedMark) {
        r->QueuedMark = QueuedMark;
        QueuedMark->store(true, std::memory_order_release);
    }
    r->Lines = Lines;
    Push(std::move(r));
}

void TZELSVCMainQueue::PushCommandRequest(TZELSVCMainQueueCommand Kind, UnicodeView FileName,
                                          TZELSVCWrkCtxBase* Requester) {
    auto r = NewMainRec(Kind);
    r->FileName.assign(FileName);
    r->Requester = Requester;
    if (Requester) r->RequesterId = Requester->Number();
    Push(std::move(r));
}

void TZELSVCFlusherQueue::PushContext(TZELSVCWrkCtxBase* Context) {
    auto item = std::make_unique<TZELSVCFlusherQueueItem>();
    item->Context = Context;
    item->Id = Context->Number();
    Push(std::move(item));
}

// ---------------------------------------------------------------------------------------------
// Posters of the service.

void TZELService::PostMainCommand(TZELSVCMainQueueCommand Kind) {
    MainQueue_.PushCommand(Kind);
    WakeUp();
}

void TZELService::PostMainRequest(TZELSVCMainQueueCommand Kind, TZELSVCWrkCtxBase* Requester) {
    MainQueue_.PushCommandRequest(Kind, {}, Requester);
    WakeUp();
}

void TZELService::PostMainSave(TZELSVCMainQueueCommand Kind, const TZELSVCWriteArray& Lines, bool HoldsChange) {
    MainQueue_.PushCommandText(Kind, Lines, &SaveQueued_[size_t(Kind)], HoldsChange);
    WakeUp();
}

void TZELService::PostForwardPending(int32_t Count) {
    MainQueue_.PushForwardPending(Count);
    WakeUp();
}

void TZELService::PostReread(TZELSVCMainQueueCommand Kind, UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    MainQueue_.PushCommandRequest(Kind, FileName, Requester);
    WakeUp();
}

void TZELService::PostRereadAdmins(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadAdmins, FileName, Requester);
}
void TZELService::PostRereadMutes(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadMutes, FileName, Requester);
}
void TZELService::PostRereadBlocks(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadBlocks, FileName, Requester);
}
void TZELService::PostRereadRights(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadRights, FileName, Requester);
}
void TZELService::PostRereadModes(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadModes, FileName, Requester);
}
void TZELService::PostRereadNotices(UnicodeView FileName, TZELSVCWrkCtxBase* Requester) {
    PostReread(TZELSVCMainQueueCommand::fsmq_RereadNotices, FileName, Requester);
}

// ---------------------------------------------------------------------------------------------
// The processor.

namespace {

// Per save code 0 to 6.
struct TSaveJob {
    UnicodeView KindWord;  // empty: no data-change program (the owner)
    UnicodeView SuccessText;
    UnicodeView ErrorPrefix;
    TZELSVCNetQueueCommand Dirty;
    const UnicodeString& (TZELService::*File)() const noexcept;
};

const TSaveJob kSaveJobs[7] = {
    {u"MUTES", u"Mutes are saved: ", u"Saving list of muted clients: ", TZELSVCNetQueueCommand::fsnq_DirtyMutes,
     &TZELService::MutesFileName},
    {u"BLOCKS", u"Blocks are saved: ", u"Saving list of blocked clients: ", TZELSVCNetQueueCommand::fsnq_DirtyBlocks,
     &TZELService::BlocksFileName},
    {u"ADMINS", u"Admins are saved: ", u"Saving list of admins: ", TZELSVCNetQueueCommand::fsnq_DirtyAdmins,
     &TZELService::AdminsFileName},
    {u"MODES", u"Modes are saved: ", u"Saving modes: ", TZELSVCNetQueueCommand::fsnq_DirtyModes,
     &TZELService::ModesFileName},
    {u"RIGHTS", u"Rights are saved: ", u"Saving access list: ", TZELSVCNetQueueCommand::fsnq_DirtyRights,
     &TZELService::RightsFileName},
    {u"NOTICES", u"Notices are saved: ", u"Saving notices: ", TZELSVCNetQueueCommand::fsnq_DirtyNotices,
     &TZELService::NoticesFileName},
    {u"", u"Owner is saved: ", u"Saving owner: ", TZELSVCNetQueueCommand::fsnq_DirtyOwner,
     &TZELService::OwnerFileName},
};

// Per reread code 7 to 12.
struct TRereadJob {
    UnicodeView FromText;
    UnicodeView ErrorPrefix;
};

const TRereadJob kRereadJobs[6] = {
    {u"Reread admins from: ", u"Reread admin list: "},
    {u"Reread mutes from: ", u"Reread list of mutes: "},
    {u"Reread blocks from: ", u"Reread full list of blocks: "},
    {u"Reread rights from: ", u"Reread list of rights: "},
    {u"Reread modes from: ", u"Reread list of modes: "},
    {u"Reread notices from: ", u"Reread list of notices: "},
};

constexpr AnsiView kAnswerOk = "+OK\r\n";
constexpr AnsiView kAnswerError = "-ERROR\r\n";

UnicodeString Concat(UnicodeView A, UnicodeView B) {
    UnicodeString s(A);
    s += B;
    return s;
}

}  // namespace

void TZELService::ProcessMainQueue() {
    std::unique_ptr<TZELSVCMainQueueRec> batch[kMainQueueBatch];
    const int32_t n = MainQueue_.PopMany(batch, kMainQueueBatch);
    // Each job has its own handler: one failing job never drops the rest of the batch.
    for (int32_t i = 0; i < n; ++i) RunMainRecord(*batch[i]);
}

void TZELService::RunMainRecord(TZELSVCMainQueueRec& Rec) noexcept {
    using C = TZELSVCMainQueueCommand;
    // Once a stop is asked for, rereads still queued are dropped: a backlog of them would hold the
    // stop for as long as they take. Saves stay.
    if (Rec.Kind >= C::fsmq_RereadAdmins && Rec.Kind <= C::fsmq_RereadAll && StopRequested()) return;
    switch (Rec.Kind) {
        case C::fsmq_SaveMutes:
        case C::fsmq_SaveBlocks:
        case C::fsmq_SaveAdmins:
        case C::fsmq_SaveModes:
        case C::fsmq_SaveRights:
        case C::fsmq_SaveNotices:
        case C::fsmq_SaveOwner:
            RunSave(Rec);
            return;
        case C::fsmq_RereadAdmins:
        case C::fsmq_RereadMutes:
        case C::fsmq_RereadBlocks:
        case C::fsmq_RereadRights:
        case C::fsmq_RereadModes:
        case C::fsmq_RereadNotices:
            RunReread(Rec);
            return;
        case C::fsmq_RereadAll:
            RunRereadAll();
            AnswerFence(Rec);
            return;
        case C::fsmq_ForwardPending:
            RunForwardPending(Rec);
            return;
        case C::fsmq_ServiceStart:
            RunServiceStart();
            return;
        case C::fsmq_Terminate:
            RunTerminate();
            return;
        case C::fsmq_ReopenLog:
            Guarded(u"Reopen log: ", [this] { ReopenLog(); });
            AnswerFence(Rec);
            return;
        case C::fsmq_ServiceStop:
            break;
    }
    Guarded(kLoopPrefix, [this, &Rec] {
        LogErrorSync(WidenStrU(FormatA("Main thread: Unknown cmd: %d", static_cast<int>(Rec.Kind))));
    });
}

// A server that could not start has no listener or command port: it ends instead of running on
// without them (code 17 starts the timer when the start failed before it).
void TZELService::RunServiceStart() noexcept {
    UnicodeString error;
    const bool ok = GuardedCall([this] { ServiceStart(); },
                                [&](const char* cls, const std::string& msg) {
                                    ReportError(u"Service start: ", cls, msg);
                                    error = DecodeUtf8U(cls) + u": " + DecodeUtf8U(msg);
                                });
    if (!ok) {
        ServiceStartFailed_.store(true, std::memory_order_release);
        Guarded(kLoopPrefix, [this] { RequestStop(u"Service start failed"); });
    } else if (!ServiceStarted()) {
        error = u"Stopped before the start: " + StopText();
    }
    if (OnServiceStartDone)
        Guarded(kLoopPrefix, [&] { OnServiceStartDone(ok && error.empty(), error); });
}

void TZELService::RunSave(TZELSVCMainQueueRec& Rec) noexcept {
    const int32_t index = static_cast<int32_t>(Rec.Kind);
    const TSaveJob& job = kSaveJobs[index];
    const UnicodeString& file = (this->*job.File)();
    TSaveState& state = SaveStates_[size_t(index)];
    // Writing a list whose file could not be read would replace the operator's file with what is
    // left of it: refused, told once, not retried; a successful read of the file lifts it.
    if (const TZELListLoadData& load = ListLoad_[size_t(index)]; !ListSaveAllowed(load)) {
        if (!state.Refused)
            Guarded(job.ErrorPrefix, [&] {
                LogErrorSync(Concat(job.ErrorPrefix, u"\"" + file + u"\" is not saved: its file could not be read: " +
                                                         DecodeUtf8U(load.Error)));
            });
        state.Refused = true;
        state.Failed = true;
        state.Changed = state.Changed || Rec.HoldsChange;
        return;
    }
    state.Refused = false;
    // A file read without line feeds gave no entry: writing the list empty over it is no change
    // (a flush, say); the first save with lines replaces it.
    if (ListSaveKeepsFile(ListLoad_[size_t(index)], Rec.Lines.size() + KeptLines_[size_t(index)].size())) {
        state = TSaveState{};
        return;
    }
    bool saved = false;
    Guarded(job.ErrorPrefix, [&] {
        UnicodeString id;
        if (!job.KindWord.empty()) id = NewUniqueId();
        // The lines of networks not in service go back as they were read, behind the list's own.
        const TZELSVCWriteArray& kept = KeptLines_[size_t(index)];
        TZELSVCWriteArray withKept;
        if (!kept.empty()) {
            withKept = Rec.Lines;
            withKept.insert(withKept.end(), kept.begin(), kept.end());
        }
        const TZELSVCWriteArray& lines = kept.empty() ? Rec.Lines : withKept;
        if (DataFileWriter) {
            saved = DataFileWriter(file, DataDir_, lines);
        } else {
            WriteDataFile(file, DataDir_, lines);
            saved = true;
        }
        if (!saved) return;
        SaveStates_[size_t(index)] = TSaveState{};
        ListLoad_[size_t(index)].NoLineFeeds = false;
        if (LogData) LogSync(Concat(job.SuccessText, file));
        if (!job.KindWord.empty() && !DataChangeScript_.empty()) RunDataChangeScript(file, job.KindWord, id);
    });
    if (!saved) SaveFailed(index, std::move(Rec.Lines), Rec.HoldsChange);
}

// The changes stay unsaved: the list is marked dirty again after a pause that grows with every
// failure in a row, so that the tick writes a fresh snapshot. The failed lines are kept for the
// stop, which comes before the retry when it comes within the pause.
void TZELService::SaveFailed(int32_t Index, TZELSVCWriteArray&& Lines, bool HoldsChange) noexcept {
    TSaveState& s = SaveStates_[size_t(Index)];
    s.Failed = true;
    // A change stays lost until a save succeeds, whatever rewrites fail after it.
    s.Changed = s.Changed || HoldsChange;
    s.Lines = std::move(Lines);
    s.RetryDelay = s.RetryDelay == 0 ? SaveRetryFirstMs : std::min(s.RetryDelay * 2, SaveRetryMaxMs);
    s.RetryStart = GetTickMs();
    s.RetryPending = true;
}

void TZELService::PostDueSaveRetries() {
    const uint32_t now = GetTickMs();
    for (size_t i = 0; i < SaveStates_.size(); ++i) {
        TSaveState& s = SaveStates_[i];
        if (!s.RetryPending || now - s.RetryStart < s.RetryDelay) continue;
        PostDirty(kSaveJobs[i].Dirty);
        s.RetryPending = false;
    }
}

uint32_t TZELService::NextRetryWaitMs() const noexcept {
    uint32_t wait = WAITER_INFINITE;
    const uint32_t now = GetTickMs();
    for (const TSaveState& s : SaveStates_) {
        if (!s.RetryPending) continue;
        const uint32_t spent = now - s.RetryStart;
        wait = std::min(wait, spent >= s.RetryDelay ? 0u : s.RetryDelay - spent);
    }
    return wait == WAITER_INFINITE ? wait : std::min(wait, WAITER_MAX_TIMEOUT);
}

// At the stop, after the queued saves: every list whose last save failed is written once more
// from the lines that failed (the timer has ended, so no newer snapshot can come); only what
// fails again stays unsaved.
void TZELService::RetryFailedSaves() noexcept {
    for (size_t i = 0; i < SaveStates_.size(); ++i) {
        TSaveState& s = SaveStates_[i];
        if (!s.Failed || s.Refused) continue;
        TZELSVCMainQueueRec rec;
        rec.Kind = static_cast<TZELSVCMainQueueCommand>(i);
        rec.Lines = std::move(s.Lines);
        rec.HoldsChange = s.Changed;
        RunSave(rec);
    }
}

bool TZELService::UnsavedChanges() const noexcept {
    return std::any_of(SaveStates_.begin(), SaveStates_.end(), [](const TSaveState& s) { return s.Failed && s.Changed; });
}

// Only the lists whose changes are lost: a failed rewrite of a list that a flush (or a read that
// dropped lines) marked leaves its file as it was, with nothing of the server's answers missing.
void TZELService::LogUnsavedChanges() {
    for (size_t i = 0; i < SaveStates_.size(); ++i) {
        if (!SaveStates_[i].Failed || !SaveStates_[i].Changed) continue;
        UnicodeString line(kSaveJobs[i].ErrorPrefix);
        line += u"Changes not saved: ";
        line += (this->*kSaveJobs[i].File)();
        LogErrorSync(line);
    }
}

void TZELService::RunReread(const TZELSVCMainQueueRec& Rec) noexcept {
    using C = TZELSVCMainQueueCommand;
    const TRereadJob& job = kRereadJobs[static_cast<int>(Rec.Kind) - static_cast<int>(C::fsmq_RereadAdmins)];
    bool ok = false;
    Guarded(job.ErrorPrefix, [&] {
        const bool byDefault = Rec.FileName.empty();
        if (!byDefault && LogData) LogSync(Concat(job.FromText, Rec.FileName));
        const int64_t now = GetUnixTime();
        switch (Rec.Kind) {
            case C::fsmq_RereadAdmins:
                ok = byDefault ? RereadAdmins() : RereadAdminsFrom(Rec.FileName, false);
                break;
            case C::fsmq_RereadMutes:
                ok = byDefault ? RereadMuteBlocks(0, now) : RereadMuteBlocksFrom(0, Rec.FileName, false, now);
                break;
            case C::fsmq_RereadBlocks:
                ok = byDefault ? RereadMuteBlocks(1, now) : RereadMuteBlocksFrom(1, Rec.FileName, false, now);
                break;
            case C::fsmq_RereadRights:
                ok = byDefault ? RereadRights(now) : RereadRightsFrom(Rec.FileName, false, now);
                break;
            case C::fsmq_RereadModes:
                ok = byDefault ? RereadModes() : RereadModesFrom(Rec.FileName, false);
                break;
            default:
                ok = byDefault ? RereadNotices() : RereadNoticesFrom(Rec.FileName, false);
                break;
        }
    });
    // A reread that raised is a failed one: the requester is answered either way.
    if (Rec.Requester)
        Guarded(job.ErrorPrefix, [&] {
            PostCommandReply(Rec.Requester, Rec.RequesterId, ok ? kAnswerOk : kAnswerError);
        });
}

void TZELService::RunRereadAll() noexcept {
    Guarded(u"Reread all: ", [this] {
        const int64_t now = GetUnixTime();
        RereadMuteBlocks(1, now);
        RereadMuteBlocks(0, now);
        RereadAdmins();
        RereadModes();
        RereadRights(now);
        RereadNotices();
    });
}

void TZELService::AnswerFence(const TZELSVCMainQueueRec& Rec) noexcept {
    if (Rec.Requester) Guarded(kLoopPrefix, [&] { PostCommandReply(Rec.Requester, Rec.RequesterId, {}); });
}

void TZELService::RunForwardPending(const TZELSVCMainQueueRec& Rec) noexcept {
    Guarded(kLoopPrefix, [this, &Rec] {
        // The saves that a flush request caused come before this job: a failed one leaves changes
        // unsaved, and the requester must not hear that all is written. Requests queued after
        // these saves were built wait for the job that follows their own saves. A flush never
        // saves the owner, so the owner's state is not its answer.
        bool unsaved = false;
        for (size_t i = 0; i < SaveStates_.size(); ++i)
            if (i != size_t(TZELSVCMainQueueCommand::fsmq_SaveOwner) && SaveStates_[i].Failed) unsaved = true;
        const AnsiView answer = unsaved ? kAnswerError : kAnswerOk;
        std::unique_ptr<TZELSVCFlusherQueueItem> batch[kMainQueueBatch];
        int32_t left = Rec.FlushCount;
        int32_t n;
        while (left > 0 && (n = FlusherQueue_.PopMany(batch, std::min(left, kMainQueueBatch))) > 0) {
            left -= n;
            for (int32_t i = 0; i < n; ++i) PostCommandReply(batch[i]->Context, batch[i]->Id, answer);
        }
    });
}

void TZELService::RunTerminate() noexcept {
    Guarded(kLoopPrefix, [this] { StopServiceAndListener(); });
    // Whatever failed above: the listener ends, the final terminate event gets a tick to dispatch
    // it (a start that failed early never started the timer), and the thread terminates.
    Guarded(kLoopPrefix, [this] { Listener_->TerminateAndWakeUp(); });
    Guarded(kLoopPrefix, [this] {
        if (!Timer_->Running()) Timer_->StartStop(true);
    });
    Guarded(kLoopPrefix, [this] { Terminate(); });
}

// ---------------------------------------------------------------------------------------------
// Rereads.

bool TZELService::RereadFrom(const TRereadEvent& Reader, const UnicodeString& FileName, bool Default,
                             int64_t UnixTime) {
    if (!Reader) throw EZELServiceError("No reader for this list");
    return Reader(FileName, Default, UnixTime);
}

bool TZELService::RereadDefault(UnicodeView DefaultText, const UnicodeString& FileName, const TRereadEvent& Reader,
                                int64_t UnixTime) {
    if (LogData) LogSync(Concat(DefaultText, FileName));
    return RereadFrom(Reader, FileName, true, UnixTime);
}

bool TZELService::RereadAdminsFrom(const UnicodeString& FileName, bool Default) {
    return RereadFrom(OnRereadAdmins, FileName, Default, GetUnixTime());
}

bool TZELService::RereadAdmins() {
    return RereadDefault(u"Reread admins: default: ", AdminsFileName_, OnRereadAdmins, GetUnixTime());
}

bool TZELService::RereadMuteBlocksFrom(int32_t Selector, const UnicodeString& FileName, bool Default,
                                       int64_t UnixTime) {
    return RereadFrom(Selector == 0 ? OnRereadMutes : OnRereadBlocks, FileName, Default, UnixTime);
}

bool TZELService::RereadMuteBlocks(int32_t Selector, int64_t UnixTime) {
    if (Selector == 0) return RereadDefault(u"Reread mutes: default: ", MutesFileName_, OnRereadMutes, UnixTime);
    return RereadDefault(u"Reread blocks: default: ", BlocksFileName_, OnRereadBlocks, UnixTime);
}

bool TZELService::RereadRightsFrom(const UnicodeString& FileName, bool Default, int64_t UnixTime) {
    return RereadFrom(OnRereadRights, FileName, Default, UnixTime);
}

bool TZELService::RereadRights(int64_t UnixTime) {
    return RereadDefault(u"Reread rights: default: ", RightsFileName_, OnRereadRights, UnixTime);
}

bool TZELService::RereadModesFrom(const UnicodeString& FileName, bool Default) {
    return RereadFrom(OnRereadModes, FileName, Default, GetUnixTime());
}

bool TZELService::RereadModes() {
    return RereadDefault(u"Reread modes: default: ", ModesFileName_, OnRereadModes, GetUnixTime());
}

bool TZELService::RereadNoticesFrom(const UnicodeString& FileName, bool Default) {
    return RereadFrom(OnRereadNotices, FileName, Default, GetUnixTime());
}

bool TZELService::RereadNotices() {
    return RereadDefault(u"Reread notices: default: ", NoticesFileName_, OnRereadNotices, GetUnixTime());
}

}  // namespace zel
