#include "service/dmq_zel_svc_server_id.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_file_mover.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_sock.hpp"
#include "net/dmq_waiter2_socket.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_svc_reread.hpp"
#include "service/dmq_zel_svc_sysman.hpp"
#include "service/dmq_zel_svc_timer.hpp"
#include "service/dmq_zel_types.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

// The signals that the program's signal thread takes; no server thread may receive them.
sigset_t ServerSignals() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&s, sig);
    return s;
}

UnicodeString Concat(UnicodeView A, UnicodeView B) {
    UnicodeString s;
    s.reserve(A.size() + B.size());
    s += A;
    s += B;
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction and ending.

TZELService::TZELService(UnicodeView ConfigFileName, const TZELServiceConfig& Config)
    : Waiter_(std::make_unique<TWaiter2Socket>(0)), Networks_(nullptr, DefaultConverterOptions()) {
    ConfigFileName_ = UnicodeString(ConfigFileName);
    BaseDir_ = SysCharsetToUnicodeProc(GetExeDirA());

    SetTempDir(Config.TempDir);
    SetDataDir(Config.DataDir);
    SetNetworksFileName(Config.NetworksFileName);
    SetAdminsFileName(Config.AdminsFileName);
    SetMutesFileName(Config.MutesFileName);
    SetBlocksFileName(Config.BlocksFileName);
    SetModesFileName(Config.ModesFileName);
    SetRightsFileName(Config.RightsFileName);
    SetNoticesFileName(Config.NoticesFileName);
    SetOwnerFileName(Config.OwnerFileName);
    SetDataChangeScript(Config.DataChangeScript);
    SetServerOwnerEMail(Config.ServerOwnerEMail);
    SetMaxSpeechTime(Config.MaxSpeechTime);
    LogAdmin = Config.LogAdmin;
    CommandLogLevel = Config.Command.CommandLogLevel;

    for (TZELSvcSysmanParams& p : ManagerParams_) {
        p = TZELSvcSysmanParams{};
        p.ManagerEnabled = false;
        p.ManagerPort = 10025;
        p.ManagerAddress = UnicodeString(ZELDefaultManagerAddress);
        p.Connection.ManagerConnectTimeout = 10000;
        p.Connection.ProxyConnectTimeout = 5000;
        p.Connection.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_NONE;
        p.Connection.ProxyCharsetName = u"UTF-8";
    }

    LogExec = Config.LogExec;
    LogData = Config.LogData;
    LogReopenLog = Config.LogReopenLog;
    ManagerUnicode = Config.ManagerUnicode;
    SetServerCharsetName(Config.ServerCharsetName);
    if (!Config.DefaultCountry.empty()) {
        DefaultCountry_ = Config.DefaultCountry;
        (void)UnicodeToCharsetA(DefaultCountry_, DefaultCountryCharset_, UnicodeToUtf8A(ServerCharsetName_));
        DefaultCountryA_ = NarrowStrA(DefaultCountry_);
    }
    RereadCompareAttr = Config.RereadCompareAttr;

    Networks_.SetLogHooks([this](UnicodeView Text) { NetworksInfo(Text); },
                          [this](UnicodeView Text) { NetworksError(Text); });
    OnTick = [this] { TimerTick(); };
    Timer_ = std::make_unique<TZELTimer>();
    Timer_->OnTimer = [this] { Tick(); };
    Timer_->OnError = [this](const UnicodeString& Text) { TimerError(Text); };

    Listener_ = std::make_unique<TZELSVCListenerSNPS>(MaxWaitConnections_);
    TZELSVCListenerSNPS& l = *Listener_;
    l.OnBindingStarted = [this](TSynapseListenerThread*, TSynapseBinding* B) {
        ListenerLine(u"Start listening: ", B, true, nullptr);
    };
    l.OnBindingStopped = [this](TSynapseListenerThread*, TSynapseBinding* B) {
        ListenerLine(u"Stop listening: ", B, false, nullptr);
    };
    l.OnBindingError = [this](TSynapseListenerThread*, TSynapseBinding* B, const std::exception& E) {
        ListenerLine(u"ERROR: Listening: ", B, false, E.what());
    };
    l.OnError = [this](TSynapseListenerThread*, const UnicodeString& Text) {
        AddLogLine(Concat(u"ERROR: Listener: ", Text));
    };
    l.OnInvalidPeerName = [this](TSynapseListenerThread*) { AddLogLine(u"ERROR: Listener: Invalid peer name"); };
    l.OnInfo = [this](TSynapseListenerThread*, const UnicodeString& Text) {
        AddLogLine(Concat(u"Listener: ", Text));
    };

    DefaultNetworkName_ = Config.DefaultNetworkName;

    StartTick_ = GetTickMs();
    LastStepTime_ = StartTick_;
    ProcessId_ = static_cast<int32_t>(getpid());
    ProcessIdText_ = WidenStrU(std::to_string(ProcessId_));
    ParrotId_ = CalcSourceId(" ");
}

TZELService::~TZELService() {
    StopAndWait();
    // Started but never reached the thread, or a failed Start(): nothing may stay running.
    StopLinks();
    Listener_->TerminateAndWait();
    Timer_->TerminateAndWait();
    // Normally none is left: the thread ends only once every worker and connection is gone.
    FreeLeftContexts();
    FreeLinks();
}

void TZELService::SetFactory(std::unique_ptr<TZELSVCFactory> Factory) {
    Factory_ = std::move(Factory);
    Networks_.SetFactory(Factory_.get());
}

void TZELService::Start() {
    if (Started()) return;
    const sigset_t block = ServerSignals();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    try {
        Timer_->Start();
        uint32_t waited = 0;
        while (!Timer_->ExecuteStarted()) {
            if (waited >= kTimerStartLimitMs) throw EThread("Timer thread does not start");
            std::this_thread::sleep_for(std::chrono::milliseconds(kTimerStartPollMs));
            waited += kTimerStartPollMs;
        }
        Listener_->Start();
        TThread::Start();
    } catch (...) {
        Listener_->TerminateAndWait();
        Timer_->TerminateAndWait();
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void TZELService::StopAndWait() noexcept {
    try {
        RequestStop(UnicodeView());
    } catch (...) {
    }
    WaitFor();
}

void TZELService::TerminatedSet() { WakeUp(); }

void TZELService::WakeUp() { Waiter_->Interrupt(); }

UnicodeString TZELService::StopText() const {
    std::lock_guard<TCriticalSection> g(StopTextLock_);
    return StopText_;
}

bool TZELService::RequestStop(UnicodeView Reason) {
    if (StopRequested_.exchange(true, std::memory_order_acq_rel)) return false;
    try {
        {
            std::lock_guard<TCriticalSection> g(StopTextLock_);
            StopText_.assign(Reason);
        }
        MainQueue_.PushCommand(TZELSVCMainQueueCommand::fsmq_Terminate);
        WakeUp();
    } catch (...) {
        // Without its job the thread still ends: terminated, with the timer ticking so that the
        // final terminate event is dispatched; the thread's tail ends the listener.
        Terminate();
        Timer_->StartStop(true);
    }
    return true;
}

void TZELService::RequestReopenLog() {
    if (Terminated()) return;
    PostMainCommand(TZELSVCMainQueueCommand::fsmq_ReopenLog);
}

void TZELService::RequestServiceStart() { PostMainCommand(TZELSVCMainQueueCommand::fsmq_ServiceStart); }

// ---------------------------------------------------------------------------------------------
// Log hand-over.

void TZELService::AddLogLine(UnicodeString Text) {
    LogFifo_.Push(std::move(Text));
    WakeUp();
}

void TZELService::NetworksError(UnicodeView Text) { AddLogLine(Concat(ZELLogPrefixError, Text)); }
void TZELService::NetworksInfo(UnicodeView Text) { AddLogLine(UnicodeString(Text)); }
void TZELService::WorkerLog(UnicodeView Text) { AddLogLine(UnicodeString(Text)); }
void TZELService::TimerError(UnicodeView Text) { AddLogLine(Concat(u"ERROR: Timer: ", Text)); }

void TZELService::LogSync(UnicodeView Text) {
    if (!OnLog) return;
    LogFifo_.Push(UnicodeString(Text));
    SyncLog();
}

void TZELService::LogErrorSync(UnicodeView Text) {
    if (OnLog) LogSync(Concat(ZELLogPrefixError, Text));
}

void TZELService::LogWarningSync(UnicodeView Text) {
    if (OnLog) LogSync(Concat(ZELLogPrefixWarning, Text));
}

void TZELService::SyncLog() {
    TThread::Synchronize([this] {
        if (OnLog) OnLog(this);
    });
}

void TZELService::SyncReopenLog() {
    TThread::Synchronize([this] {
        if (OnReopenLog) OnReopenLog(this);
    });
}

void TZELService::DrainLog() {
    if (!OnLog) {
        LogFifo_.Clear();
        return;
    }
    // A handler that takes nothing would hold the thread here for ever: stop when it stalls.
    int32_t left = LogFifo_.Count();
    while (left > 0) {
        SyncLog();
        const int32_t now = LogFifo_.Count();
        if (now >= left) break;
        left = now;
    }
}

void TZELService::ReportError(UnicodeView Prefix, const char* ClassName, const std::string& Message) noexcept {
    try {
        UnicodeString line(Prefix);
        line += DecodeUtf8U(ClassName);
        line += u": ";
        line += DecodeUtf8U(Message);
        LogErrorSync(line);
    } catch (...) {
        // The log itself fails (a full disk, no memory): drop what waits rather than try again and
        // again.
        LogFifo_.Clear();
    }
}

bool TZELService::Guarded(UnicodeView Prefix, const std::function<void()>& Fn) noexcept {
    return GuardedCall(Fn, [&](const char* cls, const std::string& msg) { ReportError(Prefix, cls, msg); });
}

void TZELService::ReopenLog() {
    if (LogReopenLog) LogSync(u"Reopen log file");
    if (OnReopenLog) SyncReopenLog();
}

// ---------------------------------------------------------------------------------------------
// The service thread.

void TZELService::Execute() {
    // Asleep until the first post, normally the service start.
    Guarded(kLoopPrefix, [this] { Waiter_->WaitForInterrupt(WAITER_INFINITE); });
    while (!EndReached()) Guarded(kLoopPrefix, [this] { LoopPass(); });
    Tail();
}

// The final terminate event must have been posted (and, the queue being empty, dispatched): with
// no worker counted yet, one that a record in flight creates is still ended by it.
bool TZELService::EndReached() {
    return Terminated() && FinalEventPosted_ && ConnectionCount_.load(std::memory_order_acquire) < 1 &&
           CommandContextCount_.load(std::memory_order_acquire) == 0 &&
           WorkerCount_.load(std::memory_order_acquire) == 0 && ServQueue_.Count() == 0 && MainQueue_.Count() == 0;
}

void TZELService::LoopPass() {
    if (MainQueue_.Count() > 0) ProcessMainQueue();
    if (LogFifo_.Count() > 0) {
        if (OnLog)
            SyncLog();
        else
            LogFifo_.Clear();
    }
    PostDueSaveRetries();
    if (LogFifo_.Count() > 0 || MainQueue_.Count() > 0) {
        // Busy: the next turn at once. Lines that keep coming must not hold off the end.
        if (Terminated()) PostFinalEventWhenDue();
        return;
    }
    if (!Terminated()) {
        Waiter_->WaitForInterrupt(NextRetryWaitMs());
        return;
    }
    Waiter_->WaitForInterrupt(kTerminatingWaitMs);
    PostFinalEventWhenDue();
}

// Once no client connection and no command context is left: the final terminate event, once.
void TZELService::PostFinalEventWhenDue() {
    if (FinalEventPosted_ || CommandContextCount_.load(std::memory_order_acquire) != 0 ||
        ConnectionCount_.load(std::memory_order_acquire) >= 1)
        return;
    PostServiceTerminate();
    FinalEventPosted_ = true;
}

void TZELService::Tail() noexcept {
    // Every thread that works on the networks ends before the networks go.
    StopLinks();
    Guarded(kLoopPrefix, [this] { Listener_->TerminateAndWait(); });
    Guarded(kLoopPrefix, [this] { Timer_->TerminateAndWait(); });
    // The timer's last pass may have queued saves after the end was decided (a timed entry that
    // expired in it): they are written now, and a failed one is told below.
    Guarded(kLoopPrefix, [this] { RunLastSaves(); });
    RetryFailedSaves();
    FreeLinks();
    Guarded(kLoopPrefix, [this] { FreeNetworks(); });
    Guarded(kLoopPrefix, [this] { LogUnsavedChanges(); });
    Guarded(kLoopPrefix, [this] { DrainLog(); });
}

// Nothing posts to the main queue once the timer has ended but this thread: the batches that are
// there are the last.
void TZELService::RunLastSaves() {
    for (int32_t left = MainQueue_.Count(); left > 0; left -= kMainQueueBatch) ProcessMainQueue();
    // A list whose last change waited for its earlier save: with the timer ended, its snapshot is
    // taken here.
    if (PushSaves())
        for (int32_t left = MainQueue_.Count(); left > 0; left -= kMainQueueBatch) ProcessMainQueue();
}

// ---------------------------------------------------------------------------------------------
// Service start.

// Service start, after the links are created and before the timer starts: the owner, then the
// administrators, mutes, blocks, modes, rights and notices, each from its configured file,
// installed straight into the networks (the timer is not running yet); a list that drops entries
// is marked dirty. The networks' list operations come with the networks themselves.
void TZELService::ReadLists(int64_t UnixTime) {
    // What a save cut short by a crash left (staged files in DataDir, backups and target-side
    // trees beside each list file) goes before anything is read: every directory once.
    std::vector<AnsiString> dirs;
    auto addDir = [&](AnsiString Dir) {
        if (!Dir.empty() && std::find(dirs.begin(), dirs.end(), Dir) == dirs.end()) dirs.push_back(std::move(Dir));
    };
    addDir(ExcludeTrailingSlashA(UnicodeToSysCharsetProc(DataDir_.empty() ? BaseDir_ : DataDir_)));
    for (const UnicodeString* f : {&AdminsFileName_, &MutesFileName_, &BlocksFileName_, &ModesFileName_,
                                   &RightsFileName_, &NoticesFileName_, &OwnerFileName_})
        if (!f->empty()) addDir(ExcludeTrailingSlashA(ExtractFilePathA(UnicodeToSysCharsetProc(*f))));
    for (size_t i = 0; i < dirs.size(); ++i) {
        const AnsiString& d = dirs[i];
        const int e = FileMoverSweep(d, DataFileMoverPrefix);
        // A list file's missing directory only means a missing file; a missing DataDir is told.
        if (e != 0 && (i == 0 || e != ENOENT))
            LogWarningSync(Concat(Concat(u"Data directory sweep: ", SysCharsetToUnicodeProc(d)),
                                  Concat(u": ", DecodeUtf8U(SysErrorText(e)))));
    }
    // While the networks in service are not those of a networks file read in full, the entries of
    // the networks they lack are kept as read and written back with every save (KeptLines), so
    // the operator can mend the networks file and restart without losing them.
    ReadOwner();
    ReadListsAtStart(*this, UnixTime);
}

// As the other lists at start: a missing file starts empty unsaid, a file that cannot be read is
// told (its save is then refused), and so is every line dropped.
void TZELService::ReadOwner() {
    TZELListLoadData& load = ListLoad(TZELSVCMainQueueCommand::fsmq_SaveOwner);
    const UnicodeString prefix = u"Read owner: " + OwnerFileName_ + u": ";
    bool rewrite = false;
    try {
        ReadOwnerFile(OwnerFileName_, ServerOwner_, rewrite, [&](int32_t LineNo, AnsiView Reason) {
            LogWarningSync(prefix + DecodeUtf8U(FormatListLineMessage(LineNo, Reason)));
        });
        SetListLoaded(load);
    } catch (const std::exception& e) {
        SetListLoadFailure(load, e);
        if (dynamic_cast<const EListFileMissing*>(&e) == nullptr) LogErrorSync(prefix + DecodeUtf8U(e.what()));
        return;
    }
    if (rewrite) PostDirtyOwner();
}

void TZELService::FreeNetworks() {
    SetLoginNetworks(nullptr, nullptr);
    Networks_.Clear();
}

void TZELService::ServiceStart() {
    if (Terminated()) return;
    if (ServiceStarted_.exchange(true, std::memory_order_acq_rel)) return;
    try {
        // The networks start their clocks at the tick of now: one left at 0 would lie half the
        // tick's range ahead once the tick is in the upper half, and no housekeeping would be due
        // until the tick wrapped.
        CurrentTick_ = TickNow();
        LastStepTime_ = CurrentTick_;
        ReadNetworks();
        SelectManagerLinks();
        CreateManagerLinks(ManagersMask_);
        ReadLists(GetUnixTime());
        // The timer thread sees what the reads above built: its start request is a release that
        // the thread acquires before its first tick.
        Timer_->StartStop(true);
        if (KeepHotThread) PostCreateWorker();
        StartManagerLinks();
        const uint32_t passes = Listener_->OpenPasses();
        Listener_->StartListening();
        CheckListening(passes);
    } catch (...) {
        ServiceStarted_.store(false, std::memory_order_release);
        throw;
    }
}

void TZELService::CheckListening(uint32_t PassesBefore) {
    // Binding is quick; a listener that does not report within this is left to go on by itself.
    constexpr uint32_t kOpenPassLimitMs = 10000;
    if (!Listener_->WaitForOpenPass(PassesBefore, kOpenPassLimitMs)) return;
    struct TKind {
        UnicodeView Name;
        int32_t Bindings = 0, Opened = 0;
        const TSynapseBinding* Failed = nullptr;  // the first that failed
        bool PortTaken = false;
    } kinds[2] = {{ZELCommandBindingName}, {ZELClientBindingName}};
    for (const auto& b : Listener_->Bindings())
        for (TKind& k : kinds) {
            if (b->Name != k.Name) continue;
            ++k.Bindings;
            if (b->OpenError == 0) {
                ++k.Opened;
                continue;
            }
            if (!k.Failed) k.Failed = b.get();
            if (b->OpenError == EADDRINUSE) k.PortTaken = true;
        }
    // The console reaches the daemon at "localhost": a command port that another server holds on
    // one loopback address would hand its requests (a stop) to that server.
    const TKind& command = kinds[0];
    const TKind& client = kinds[1];
    const TKind* failed = nullptr;
    if (command.Bindings > 0 && (command.Opened == 0 || command.PortTaken))
        failed = &command;
    else if (client.Bindings > 0 && client.Opened == 0)
        failed = &client;
    if (!failed || !failed->Failed) return;
    const TSynapseBinding& b = *failed->Failed;
    ListenStartError_ = u"Listening: " + b.Name + u": " + FormatHostPortU(b.Host, b.Port) + u": " +
                        DecodeUtf8U(b.OpenErrorText);
    throw Exception(UnicodeToUtf8A(ListenStartError_));
}

TZELServiceNetOptions TZELService::ServerNetOptions() const {
    TZELServiceNetOptions o;
    o.CharsetName = ServerCharsetName_;
    o.ManagerMode = ManagerMode;
    o.OutputBufferLimit = OutputBufferLimit;
    o.OutputBufferFactor = ClampOutputBufferFactor(OutputBufferFactor);
    o.LogClientLevel = ClampLogClientLevel(LogClientLevel);
    o.ClientSessionMaxTime = ClientSessionMaxTime < 0 ? 0 : ClientSessionMaxTime;
    o.MaxSpeechTime = MaxSpeechTimeMs_;
    o.SpeechPause = static_cast<uint32_t>(SpeechPause_);
    o.QuarantineTime = static_cast<uint32_t>(QuarantineTime_);
    o.ShortFrames = ShortFrames;
    o.SpeechLimit = SpeechLimit;
    o.LogAdmin = LogAdmin;
    o.TempMuteBlock = TempMuteBlock;
    o.LevelMuteBlock = LevelMuteBlock;
    o.ExactMuteBlock = ExactMuteBlock;
    o.UniqCallsign = UniqCallsign;
    return o;
}

void TZELService::ReadNetworks() {
    const TZELServiceNetOptions options = ServerNetOptions();
    // An unknown charset name raises: the networks' texts could not be built.
    if (!ServerCharsetName_.empty()) Networks_.SetServerCharsetName(ServerCharsetName_);
    NetworksFileClean_ = false;
    try {
        NetworksFileClean_ = Networks_.LoadFromFile(NetworksFileName_, options);
    } catch (const std::exception& e) {
        LogErrorSync(Concat(u"Networks: ", DecodeUtf8U(e.what())));
    }
    if (Networks_.Count() >= 1) {
        LogSync(Concat(u"List of networks is loaded: ", NetworksFileName_));
        return;
    }
    LogWarningSync(u"Networks: No networks found: use simple set of networks");
    // The stand-in set is no file's.
    NetworksFileClean_ = false;
    Networks_.AddDefaultNetworks(options);
}

void TZELService::SelectManagerLinks() {
    uint32_t wanted = 0;
    for (int i = 0; i < 3; ++i)
        if (ManagerParams_[i].ManagerEnabled) wanted |= 1u << i;
    uint32_t used = 0;
    const TZELServiceNetOptions defaults = ServerNetOptions();
    for (int32_t i = 0; i < Networks_.Count(); ++i) {
        const TZELSVCNetworkBase& n = *Networks_.Networks(i);
        const TZELSVCNetworkOptions& o = n.NetworkOptions();
        if (o.ManagerMode != TZELSystemManagerMode::smm_Standalone) used |= static_cast<uint32_t>(o.ManagersMask);
        UnicodeString line = u" Net: \"";
        line += n.NetworkName();
        line += u'"';
        const UnicodeString text = NetworkOptionsToText(defaults, o);
        if (!text.empty()) {
            line += u", options: ";
            line += text;
        }
        LogSync(line);
    }
    ManagersMask_ = wanted & used;

    TZELSVCNetworkBase* def = nullptr;
    if (!DefaultNetworkName_.empty()) {
        def = Networks_.Find(DefaultNetworkName_);
        if (def == nullptr) def = Networks_.FindUtf8(UnicodeToUtf8A(DefaultNetworkName_));
        if (def != nullptr) LogSync(u"Default network: \"" + DefaultNetworkName_ + u"\"");
        if (!DefaultCountry_.empty()) LogSync(u"Default country: \"" + DefaultCountry_ + u"\"");
    }
    Networks_.CheckNetManagers(ManagersMask_);
    // The client contexts look networks up from the first connection on.
    SetLoginNetworks(&Networks_, def);
}

// ---------------------------------------------------------------------------------------------
// The timer thread.

void TZELService::Tick() {
    if (OnTick) {
        OnTick();
        return;
    }
    std::unique_ptr<TZELSVCNetQueueRecord> batch[32];
    while (ServQueue_.PopMany(batch, 32) > 0) {
    }
}

void TZELService::PublishContextCounts(int32_t CommandContexts, int32_t Workers) noexcept {
    CommandContextCount_.store(CommandContexts, std::memory_order_release);
    WorkerCount_.store(Workers, std::memory_order_release);
}

// ---------------------------------------------------------------------------------------------
// Listening.

void TZELService::ListenAny(const UnicodeString& Name, const UnicodeString& Port,
                            TSynapseListenerIPVersions IPVersions, const TSynapseAcceptEvent& AcceptHandler) {
    Listener_->AddAny(Name, Port, IPVersions, AcceptHandler);
}

void TZELService::ListenLocalhost(const UnicodeString& Name, const UnicodeString& Port,
                                  TSynapseListenerIPVersions IPVersions, const TSynapseAcceptEvent& AcceptHandler) {
    Listener_->AddLocalhost(Name, Port, IPVersions, AcceptHandler);
}

void TZELService::AcceptClient(int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString&, int32_t,
                               int32_t PeerKind, const UnicodeString&) {
    AcceptConnection(TZELSVCNetQueueCommand::fsnq_NewClientConnection, Handle, PeerIP, PeerPort, PeerKind);
}

void TZELService::AcceptCommand(int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString&, int32_t,
                                int32_t PeerKind, const UnicodeString&) {
    AcceptConnection(TZELSVCNetQueueCommand::fsnq_NewCommandConnection, Handle, PeerIP, PeerPort, PeerKind);
}

TSynapseAcceptEvent TZELService::ClientAcceptHandler() {
    return [this](int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString& LocalIP,
                  int32_t LocalPort, int32_t PeerKind, const UnicodeString& Name) {
        AcceptClient(Handle, PeerIP, PeerPort, LocalIP, LocalPort, PeerKind, Name);
    };
}

TSynapseAcceptEvent TZELService::CommandAcceptHandler() {
    return [this](int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString& LocalIP,
                  int32_t LocalPort, int32_t PeerKind, const UnicodeString& Name) {
        AcceptCommand(Handle, PeerIP, PeerPort, LocalIP, LocalPort, PeerKind, Name);
    };
}

void TZELService::AcceptConnection(TZELSVCNetQueueCommand Command, int Handle, const AnsiString& PeerIP,
                                   int32_t PeerPort, int32_t PeerKind) noexcept {
    if (!ServiceStarted()) {
        SockCloseVar(Handle);
        return;
    }
    try {
        PostNewConnection(Command, Handle, PeerIP, PeerPort, PeerKind);
    } catch (...) {
        // The poster closed the socket.
    }
}

// Prefix, the binding's name and ": " when it has one, host and port (the bound port while the
// binding is open), and ": " + Message when given.
void TZELService::ListenerLine(UnicodeView Prefix, const TSynapseBinding* Binding, bool Bound, const char* Message) {
    TStringBldU& b = Listener_->LogBld;
    StrBldUReset(b);
    StrBldUAdd(b, Prefix);
    if (!Binding->Name.empty()) {
        StrBldUAdd(b, Binding->Name);
        StrBldUAddColonSpace(b);
    }
    UnicodeString port = Binding->Port;
    if (Bound && Binding->Socket) port = WidenStrU(std::to_string(Binding->Socket->GetLocalSinPort()));
    AppendHostPortU(b, Binding->Host, port);
    if (Message) {
        StrBldUAddColonSpace(b);
        StrBldUAdd(b, DecodeUtf8U(Message));
    }
    AddLogLine(StrBldUToStr(b));
}

// ---------------------------------------------------------------------------------------------
// Data-change program and ids.

void TZELService::RunDataChangeScript(const UnicodeString& FileName, UnicodeView KindWord,
                                      const UnicodeString& UniqueId) {
    TStringBldU line;
    StrBldUInit(line, 300);
    StrBldUAddParam(line, DataChangeScript_);
    StrBldUAddSpace(line);
    StrBldUAddParam(line, KindWord);
    StrBldUAddSpace(line);
    StrBldUAddParam(line, FileName);
    StrBldUAddSpace(line);
    StrBldUAddParam(line, ConfigFileName_);
    StrBldUAddSpace(line);
    StrBldUAdd(line, ProcessIdText_);
    StrBldUAddSpace(line);
    StrBldUAdd(line, UniqueId);
    const int32_t r = ExecProgram(DataChangeScript_, 5, KindWord, FileName, ConfigFileName_, ProcessIdText_, UniqueId);
    const int e = errno;
    if (r == 0) {
        if (LogExec) LogSync(Concat(ZELExecLogPrefix, StrBldUView(line)));
        return;
    }
    const AnsiString text = FormatExecuteError(e, UnicodeToSysCharsetProc(StrBldUView(line)));
    LogErrorSync(Concat(u"EXEC: ", SysCharsetToUnicodeProc(text)));
}

UnicodeString TZELService::NewUniqueId() {
    const uint32_t n = UniqueIdCounter_.fetch_add(1, std::memory_order_relaxed) + 1;
    UnicodeString id = FormatTimestampCompactU(Now());
    char hex[16];
    std::snprintf(hex, sizeof hex, "%06X", n);
    id += u'.';
    id += WidenStrU(hex);
    return id;
}

// ---------------------------------------------------------------------------------------------
// Setters.

UnicodeString TZELService::ResolveData(UnicodeView Name) const {
    if (Name.empty()) return UnicodeString();
    return ResolvePath(Name, DataDir_);
}

void TZELService::SetConfigFileName(UnicodeView Name) { ConfigFileName_ = UnicodeString(Name); }

void TZELService::SetServerOwnerEMail(UnicodeView EMail) {
    ServerOwnerEMail_ = UnicodeString(EMail);
    ServerOwnerSourceId_ = CalcSourceId(NarrowStrA(EMail));
    ServerOwnerEMailUpper_ = AsciiUpperCaseU(EMail);
}

void TZELService::SetServerCharsetName(UnicodeView Name) { ServerCharsetName_ = UnicodeString(Name); }

void TZELService::SetManagerSecondaryAuthTime(int32_t Seconds) {
    ManagerSecondaryAuthTimeMs_ = static_cast<uint32_t>(ClampManagerSecondaryAuthTime(Seconds)) * 1000u;
}

void TZELService::SetMaxSpeechTime(int32_t Seconds) {
    MaxSpeechTime_ = ClampMaxSpeechTime(Seconds);
    MaxSpeechTimeMs_ = static_cast<uint32_t>(MaxSpeechTime_) * 1000u;
}

void TZELService::SetSpeechPause(int32_t Value) { SpeechPause_ = ClampSpeechPause(Value); }
void TZELService::SetQuarantineTime(int32_t Value) { QuarantineTime_ = ClampQuarantineTime(Value); }

void TZELService::SetNetworksFileName(UnicodeView Name) {
    NetworksFileName_ = Name.empty() ? UnicodeString() : ResolvePath(Name, BaseDir_);
}

void TZELService::SetAdminsFileName(UnicodeView Name) { AdminsFileName_ = ResolveData(Name); }
void TZELService::SetMutesFileName(UnicodeView Name) { MutesFileName_ = ResolveData(Name); }
void TZELService::SetBlocksFileName(UnicodeView Name) { BlocksFileName_ = ResolveData(Name); }
void TZELService::SetModesFileName(UnicodeView Name) { ModesFileName_ = ResolveData(Name); }
void TZELService::SetRightsFileName(UnicodeView Name) { RightsFileName_ = ResolveData(Name); }
void TZELService::SetNoticesFileName(UnicodeView Name) { NoticesFileName_ = ResolveData(Name); }
void TZELService::SetOwnerFileName(UnicodeView Name) { OwnerFileName_ = ResolveData(Name); }

void TZELService::SetDataChangeScript(UnicodeView Name) {
    DataChangeScript_ = Name.empty() ? UnicodeString() : ResolvePath(Name, BaseDir_);
}

void TZELService::SetTempDir(UnicodeView Name) { TempDir_ = UnicodeString(Name); }

void TZELService::SetDataDir(UnicodeView Name) {
    DataDir_ = Name.empty() ? BaseDir_ : ResolvePath(Name, BaseDir_);
}

void TZELService::SetClientsPerThread(int32_t N) { ClientsPerThread_ = ClampClientsPerThread(N); }

void TZELService::SetClientActivityTimeout(int32_t Seconds) {
    ClientActivityTimeout_ = ClampClientActivityTimeout(Seconds);
    ClientActivityTimeoutMs_ = static_cast<uint32_t>(ClientActivityTimeout_) * 1000u;
}

void TZELService::SetClientHandshakeTimeout(int32_t Seconds) {
    ClientHandshakeTimeout_ = ClampClientHandshakeTimeout(Seconds);
    ClientHandshakeTimeoutMs_ = static_cast<uint32_t>(ClientHandshakeTimeout_) * 1000u;
}

void TZELService::SetMaxWaitConnections(int32_t N) {
    MaxWaitConnections_ = ClampMaxWaitConnections(N);
    // Read by the listener when it opens its bindings, after the start.
    Listener_->Backlog = MaxWaitConnections_;
}

void TZELService::SetManagerParams(const TZELSvcSysmanParams (&Params)[3]) {
    for (int i = 0; i < 3; ++i) CopySysmanParams(ManagerParams_[i], Params[i]);
}

// ---------------------------------------------------------------------------------------------
// Client login.

void TZELService::SetLoginNetworks(const TZELNetworksList* Networks, TZELSVCNetworkBase* DefaultNetwork) noexcept {
    LoginNetworks_.store(Networks, std::memory_order_release);
    DefaultNetwork_.store(DefaultNetwork, std::memory_order_release);
}

void TZELService::ContextLog(UnicodeView Name, UnicodeView Text) {
    UnicodeString line(u"Context: ");
    line += Name;
    line += u": ";
    line += Text;
    AddLogLine(std::move(line));
}

void TZELService::ContextErrorLog(UnicodeView Name, UnicodeView Text) {
    UnicodeString line(ZELLogPrefixError);
    line += u"Context: ";
    line += Name;
    line += u": ";
    line += Text;
    AddLogLine(std::move(line));
}

}  // namespace zel
