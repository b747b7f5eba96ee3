#pragma once
// TZELService: the one object every thread of the server posts to. Its own thread, the service
// thread, does the slow and rare work (the main queue: saves, rereads, service start and stop,
// termination, reopening the log) and hands the log lines of every thread to the main thread, the
// only thread that writes the log. The fast work runs on the timer thread through the tick.
//
// Lifetime: construct, set every handler and setting, then Start() (timer, listener, service
// thread). The thread ends after a stop request once no connection, command context, worker or
// queued record is left; StopAndWait() requests that and waits, serving the thread's synchronized
// log calls. Every derived class calls StopAndWait() first in its own destructor, so the thread
// never runs on a half-destroyed object. Create and destroy the service on the main thread.
//
// The methods are defined by role: this unit's source holds the object, the thread, the log
// hand-over, the listener handlers, start and the setters; dmq_zel_svc_server_types.cpp the main
// queue's processor; dmq_zel_svc_queue.cpp the service-queue posters.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/dmq_fifo_string_u_ts.hpp"
#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_listen_thread.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_server_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

class TWaiter2Socket;
class TZELNetworksList;
class TZELSVCNetworkBase;
class TZELSVCFactory;
class TZELSVCListenerSNPS;
class TZELSVCWrkCtxBase;
class TZELTimer;

class TZELService : public TThread {
public:
    using TNotifyEvent = std::function<void(TZELService* Sender)>;
    // Rereads one list from FileName (Default: it is the configured file); true on success, false
    // when the file could not be used (the reader logs why). May raise.
    using TRereadEvent = std::function<bool(const UnicodeString& FileName, bool Default, int64_t UnixTime)>;
    // Writes Lines as the data file FileName, staged in DataDir; false when it failed (the writer
    // logs its own trouble). May raise.
    using TDataFileWriter =
        std::function<bool(const UnicodeString& FileName, const UnicodeString& DataDir, const TZELSVCWriteArray& Lines)>;

    // Records taken off the main queue in one pop.
    static constexpr int32_t kMainQueueBatch = 32;
    // Lines handed to the main thread per synchronized call.
    static constexpr int32_t kLogFifoBlockSize = 128;
    // Wait of the service thread while it terminates.
    static constexpr uint32_t kTerminatingWaitMs = 50;
    static constexpr uint32_t kTimerStartPollMs = 20;
    static constexpr uint32_t kTimerStartLimitMs = 10000;
    // Prefix of the service thread's own failures.
    static constexpr UnicodeView kLoopPrefix = u"Service thread: main loop: ";

    TZELService(UnicodeView ConfigFileName, const TZELServiceConfig& Config);
    ~TZELService() override;

    // ---- Start and end (main thread) -----------------------------------------------------------

    // The creator of networks, workers and contexts; before Start().
    void SetFactory(std::unique_ptr<TZELSVCFactory> Factory);
    TZELSVCFactory* Factory() const noexcept { return Factory_.get(); }
    // Starts the timer (and waits until its loop runs), the listener and the service thread, with
    // the signals that the program's signal thread takes blocked. A failure ends what started and
    // raises.
    void Start();
    // Requests the stop (when none was requested yet) and waits for the service thread, serving
    // its synchronized calls. Idempotent.
    void StopAndWait() noexcept;

    // ---- Log hand-over --------------------------------------------------------------------------

    // Any thread: pushes a line and wakes the service thread.
    void AddLogLine(UnicodeString Text);
    void NetworksError(UnicodeView Text);  // "ERROR: " + Text
    void NetworksInfo(UnicodeView Text);
    void WorkerLog(UnicodeView Text);
    void TimerError(UnicodeView Text);  // "ERROR: Timer: " + Text
    // Service thread only: push the line and have the main thread write it, waiting for that.
    // Nothing happens when OnLog is not set.
    void LogSync(UnicodeView Text);
    void LogErrorSync(UnicodeView Text);    // "ERROR: " + Text
    void LogWarningSync(UnicodeView Text);  // "WARNING: " + Text
    // Service thread only: runs OnLog / OnReopenLog on the main thread and waits for it.
    void SyncLog();
    void SyncReopenLog();
    // The oldest waiting line; false when none. The main thread's OnLog drains the lines with it.
    bool PopLogLine(UnicodeString& Text) { return LogFifo_.Pop(Text); }

    // Main-thread handlers, set before Start().
    TNotifyEvent OnLog;
    TNotifyEvent OnReopenLog;

    // ---- Listening ------------------------------------------------------------------------------

    // Bindings on the any or the loopback addresses; before Start().
    void ListenAny(const UnicodeString& Name, const UnicodeString& Port, TSynapseListenerIPVersions IPVersions,
                   const TSynapseAcceptEvent& AcceptHandler);
    void ListenLocalhost(const UnicodeString& Name, const UnicodeString& Port, TSynapseListenerIPVersions IPVersions,
                         const TSynapseAcceptEvent& AcceptHandler);
    // Listener thread: the accept handlers of the "Client" and "Command" bindings. While the service
    // is started they post the connection (codes 37 and 36, which then own the socket); otherwise
    // they close it. Value3 of the record carries the peer address kind.
    void AcceptClient(int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString& LocalIP,
                      int32_t LocalPort, int32_t PeerKind, const UnicodeString& Name);
    void AcceptCommand(int Handle, const AnsiString& PeerIP, int32_t PeerPort, const AnsiString& LocalIP,
                       int32_t LocalPort, int32_t PeerKind, const UnicodeString& Name);
    TSynapseAcceptEvent ClientAcceptHandler();
    TSynapseAcceptEvent CommandAcceptHandler();

    // ---- Main queue: posters (any thread) -------------------------------------------------------

    void PostRereadAdmins(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void PostRereadMutes(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void PostRereadBlocks(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void PostRereadRights(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void PostRereadModes(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void PostRereadNotices(UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    // A job of kind only (reread all, forward pending flush requests, ...).
    void PostMainCommand(TZELSVCMainQueueCommand Kind);
    // A save job: the list file's lines.
    void PostMainSave(TZELSVCMainQueueCommand Kind, const TZELSVCWriteArray& Lines);
    void RequestServiceStart();
    // Only the first call acts: it keeps Reason as the stop text and posts the terminate job. Safe
    // from any thread (not from a signal handler: it allocates). True for the call that acted.
    bool RequestStop(UnicodeView Reason);
    // Posts the reopen job unless the thread is already terminated.
    void RequestReopenLog();
    bool StopRequested() const noexcept { return StopRequested_.load(std::memory_order_acquire); }
    UnicodeString StopText() const;

    // ---- Main queue: processor (service thread) -------------------------------------------------

    void ProcessMainQueue();
    // Code 18: "Reopen log file" (with LogReopenLog), then OnReopenLog on the main thread.
    void ReopenLog();
    // Code 15, in this order: the networks, the System Manager links they ask for, the lists, the
    // timer, a hot worker (KeepHotThread), the links started, listening. A second start while
    // started, or a start after the stop, does nothing; a failure clears the started flag again
    // and raises. The main-queue job then requests the stop with "Service start failed".
    void ServiceStart();
    // True once a service start failed (the program then ends with its failure code).
    bool ServiceStartFailed() const noexcept { return ServiceStartFailed_.load(std::memory_order_acquire); }
    // Rereads; the default forms log and read the configured file.
    bool RereadAdminsFrom(const UnicodeString& FileName, bool Default);
    bool RereadAdmins();
    // Selector 0 mutes, 1 blocks.
    bool RereadMuteBlocksFrom(int32_t Selector, const UnicodeString& FileName, bool Default, int64_t UnixTime);
    bool RereadMuteBlocks(int32_t Selector, int64_t UnixTime);
    bool RereadRightsFrom(const UnicodeString& FileName, bool Default, int64_t UnixTime);
    bool RereadRights(int64_t UnixTime);
    bool RereadModesFrom(const UnicodeString& FileName, bool Default);
    bool RereadModes();
    bool RereadNoticesFrom(const UnicodeString& FileName, bool Default);
    bool RereadNotices();
    // True while a list holds changes whose last save failed (service thread).
    bool UnsavedChanges() const noexcept;

    // ---- Service start: networks, links and lists (service thread) ------------------------------

    // The networks file into the networks list (the factory makes the networks): an unreadable
    // file is logged and what the list holds is used; an empty list gets the default set.
    void ReadNetworks();
    // The System Manager link slots in service: bit 1, 2, 4 for sections 0 to 2, kept only for an
    // enabled section that some network outside STANDALONE selects. Set by service start.
    uint32_t ManagersMask() const noexcept { return ManagersMask_; }
    // The network named by DefaultNetworkName; null when none is named or found.
    TZELSVCNetworkBase* DefaultNetwork() const noexcept { return DefaultNetwork_; }
    // The networks: built by service start on the service thread, then used by the timer thread
    // (the timer's start publishes them) and looked up by the rereads; emptied in the tail.
    TZELNetworksList& Networks() noexcept { return *Networks_; }
    // The server-wide options every network starts from.
    TZELServiceNetOptions ServerNetOptions() const;
    // Load state of a list file, by its save code (fsmq_SaveMutes .. fsmq_SaveOwner), set at each
    // read of the configured file. A save of a list whose file failed to read is refused (logged
    // once, never written) until a later read succeeds.
    TZELListLoadData& ListLoad(TZELSVCMainQueueCommand SaveKind) noexcept {
        return ListLoad_[static_cast<size_t>(SaveKind)];
    }

    // Service thread, once per code 15 that ran: Ok, or the error text of the failed start. The
    // daemon reports its readiness from here.
    std::function<void(bool Ok, const UnicodeString& Error)> OnServiceStartDone;

    // ---- Service queue: posters (any thread; each wakes the timer thread) -----------------------

    void PostDirtyAdmins();
    void PostDirtyMutes();
    void PostDirtyBlocks();
    void PostDirtyRights();
    void PostDirtyModes();
    void PostDirtyNotices();
    void PostDirtyOwner();
    // Answer Text for the command context Requester, written only while it still carries Id.
    void PostCommandReply(TZELSVCWrkCtxBase* Requester, uint32_t Id, AnsiView Text);
    // The record owns Socket from the call on: it is closed when posting fails.
    void PostNewCommandConnection(int Socket, AnsiView Address, int32_t Port, int32_t Extra);
    void PostNewClientConnection(int Socket, AnsiView Address, int32_t Port, int32_t Extra);
    void PostServiceTerminate();
    // Pushes a record; Wake false only for the list installs, which wait for the next step.
    void PostServQueue(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec, bool Wake = true);
    // Service stop, one routine for both of its names: when the service is started, clears that
    // state, stops listening and posts code 53; otherwise nothing.
    void StopService();
    void ServiceStop() { StopService(); }
    // The stop, then the listener thread is asked to end (the action of code 17).
    void StopServiceAndListener();
    bool ServiceStarted() const noexcept { return ServiceStarted_.load(std::memory_order_acquire); }

    // ---- Counts behind the end condition --------------------------------------------------------
    // Written on the timer thread only; the service thread reads nothing else of the timer thread's
    // state.

    void IncConnectionCount() noexcept { ConnectionCount_.fetch_add(1, std::memory_order_acq_rel); }
    void DecConnectionCount() noexcept { ConnectionCount_.fetch_sub(1, std::memory_order_acq_rel); }
    int32_t ConnectionCount() const noexcept { return ConnectionCount_.load(std::memory_order_acquire); }
    // The sizes of the command-context list and of the worker list after each change.
    void PublishContextCounts(int32_t CommandContexts, int32_t Workers) noexcept;
    // The serial number of a new work context.
    int32_t NextContextNumber() noexcept { return ContextCounter_.fetch_add(1, std::memory_order_relaxed) + 1; }

    // ---- Data-change program and ids ------------------------------------------------------------

    // Starts DataChangeScript with the kind word, the file, the configuration file, the process id
    // and UniqueId; "EXEC: " + the command line with LogExec, an error line on failure always.
    void RunDataChangeScript(const UnicodeString& FileName, UnicodeView KindWord, const UnicodeString& UniqueId);
    // The local time as 17 digits, ".", and a counter as upper-case hex of at least 6 digits.
    UnicodeString NewUniqueId();

    // ---- Queues and threads ---------------------------------------------------------------------

    TZELSVCMainQueue& MainQueue() noexcept { return MainQueue_; }
    TZELSVCServQueue& ServQueue() noexcept { return ServQueue_; }
    TZELSVCFlusherQueue& FlusherQueue() noexcept { return FlusherQueue_; }
    TZELTimer& Timer() noexcept { return *Timer_; }
    TZELSVCListenerSNPS& Listener() noexcept { return *Listener_; }
    // Any thread: wakes the service thread.
    void WakeUp();

    // ---- Handlers installed by the server's owner, before Start() -------------------------------

    // The service tick on the timer thread. When none is set, the tick releases the service
    // queue's records, so that a service without networks still ends.
    std::function<void()> OnTick;
    // The data-file writer of the saves; unset: WriteDataFile.
    TDataFileWriter DataFileWriter;
    // The list readers of the rereads (InstallListRereads sets the real ones).
    TRereadEvent OnRereadAdmins;
    TRereadEvent OnRereadMutes;
    TRereadEvent OnRereadBlocks;
    TRereadEvent OnRereadRights;
    TRereadEvent OnRereadModes;
    TRereadEvent OnRereadNotices;

    // ---- Setters (main thread, before Start()) --------------------------------------------------
    // The list-file setters resolve against the data directory of the moment: SetDataDir first.

    void SetConfigFileName(UnicodeView Name);
    void SetServerOwnerEMail(UnicodeView EMail);
    void SetServerCharsetName(UnicodeView Name);
    const UnicodeString& GetServerCharsetName() const noexcept { return ServerCharsetName_; }
    void SetManagerSecondaryAuthTime(int32_t Seconds);
    void SetMaxSpeechTime(int32_t Seconds);
    void SetSpeechPause(int32_t Value);
    void SetQuarantineTime(int32_t Value);
    void SetNetworksFileName(UnicodeView Name);
    void SetAdminsFileName(UnicodeView Name);
    void SetMutesFileName(UnicodeView Name);
    void SetBlocksFileName(UnicodeView Name);
    void SetModesFileName(UnicodeView Name);
    void SetRightsFileName(UnicodeView Name);
    void SetNoticesFileName(UnicodeView Name);
    void SetOwnerFileName(UnicodeView Name);
    void SetDataChangeScript(UnicodeView Name);
    void SetTempDir(UnicodeView Name);
    void SetDataDir(UnicodeView Name);
    void SetClientsPerThread(int32_t N);
    void SetClientActivityTimeout(int32_t Seconds);
    void SetClientHandshakeTimeout(int32_t Seconds);
    void SetMaxWaitConnections(int32_t N);
    void SetManagerParams(const TZELSvcSysmanParams (&Params)[3]);
    void SetDefaultNetworkName(UnicodeView Name) { DefaultNetworkName_ = UnicodeString(Name); }
    const UnicodeString& DefaultNetworkName() const noexcept { return DefaultNetworkName_; }

    const UnicodeString& BaseDir() const noexcept { return BaseDir_; }
    const UnicodeString& ConfigFileName() const noexcept { return ConfigFileName_; }
    const UnicodeString& NetworksFileName() const noexcept { return NetworksFileName_; }
    const UnicodeString& AdminsFileName() const noexcept { return AdminsFileName_; }
    const UnicodeString& MutesFileName() const noexcept { return MutesFileName_; }
    const UnicodeString& BlocksFileName() const noexcept { return BlocksFileName_; }
    const UnicodeString& ModesFileName() const noexcept { return ModesFileName_; }
    const UnicodeString& RightsFileName() const noexcept { return RightsFileName_; }
    const UnicodeString& NoticesFileName() const noexcept { return NoticesFileName_; }
    const UnicodeString& OwnerFileName() const noexcept { return OwnerFileName_; }
    const UnicodeString& DataChangeScript() const noexcept { return DataChangeScript_; }
    const UnicodeString& TempDir() const noexcept { return TempDir_; }
    const UnicodeString& DataDir() const noexcept { return DataDir_; }
    const UnicodeString& ServerOwnerEMail() const noexcept { return ServerOwnerEMail_; }
    const AnsiString& ServerOwnerSourceId() const noexcept { return ServerOwnerSourceId_; }
    const UnicodeString& ServerOwnerEMailUpper() const noexcept { return ServerOwnerEMailUpper_; }
    const AnsiString& ParrotId() const noexcept { return ParrotId_; }
    int32_t ProcessId() const noexcept { return ProcessId_; }
    const UnicodeString& ProcessIdText() const noexcept { return ProcessIdText_; }
    uint32_t StartTick() const noexcept { return StartTick_; }
    int32_t MaxSpeechTime() const noexcept { return MaxSpeechTime_; }
    uint32_t MaxSpeechTimeMs() const noexcept { return MaxSpeechTimeMs_; }
    int32_t SpeechPause() const noexcept { return SpeechPause_; }
    int32_t QuarantineTime() const noexcept { return QuarantineTime_; }
    uint32_t ManagerSecondaryAuthTimeMs() const noexcept { return ManagerSecondaryAuthTimeMs_; }
    int32_t ClientsPerThread() const noexcept { return ClientsPerThread_; }
    int32_t ClientHandshakeTimeout() const noexcept { return ClientHandshakeTimeout_; }
    uint32_t ClientHandshakeTimeoutMs() const noexcept { return ClientHandshakeTimeoutMs_; }
    int32_t ClientActivityTimeout() const noexcept { return ClientActivityTimeout_; }
    uint32_t ClientActivityTimeoutMs() const noexcept { return ClientActivityTimeoutMs_; }
    int32_t MaxWaitConnections() const noexcept { return MaxWaitConnections_; }
    const TZELSvcSysmanParams& ManagerParams(int32_t Index) const noexcept { return ManagerParams_[Index]; }
    const UnicodeString& DefaultCountry() const noexcept { return DefaultCountry_; }
    const AnsiString& DefaultCountryCharset() const noexcept { return DefaultCountryCharset_; }
    const AnsiString& DefaultCountryA() const noexcept { return DefaultCountryA_; }

    // ---- Server-wide settings (main thread, before Start()) -------------------------------------

    bool LogExec = true;
    bool LogData = true;
    bool LogReopenLog = false;
    bool LogAdmin = true;
    bool ManagerUnicode = true;
    bool RereadCompareAttr = true;
    bool KeepHotThread = false;
    int32_t CommandLogLevel = 0;
    // The defaults every network starts from; the configuration overrides them.
    int32_t OutputBufferLimit = 131072;
    int32_t OutputBufferFactor = 3;
    int32_t LogClientLevel = 2;
    int32_t ClientSessionMaxTime = 0;  // s, 0 = no limit
    bool TempMuteBlock = true;
    bool LevelMuteBlock = false;
    bool ExactMuteBlock = false;
    bool UniqCallsign = false;
    bool ShortFrames = true;
    bool SpeechLimit = true;
    // The server-wide System Manager mode.
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    // Pause before a failed save is tried again, doubled after each failure up to the maximum.
    uint32_t SaveRetryFirstMs = 10000;
    uint32_t SaveRetryMaxMs = 60000;

protected:
    void Execute() override;
    void TerminatedSet() override;

private:
    struct TSaveState {
        bool Failed = false;        // the last save failed: the file lacks changes
        bool RetryPending = false;  // a dirty code is due at RetryStart + RetryDelay
        bool Refused = false;       // the refusal of a save was logged (the file could not be read)
        uint32_t RetryStart = 0;
        uint32_t RetryDelay = 0;
    };

    // Service thread.
    void LoopPass();
    void PostFinalEventWhenDue();
    bool EndReached();
    void Tail() noexcept;
    // Hands the waiting lines over (or drops them when OnLog is not set) until none is left or
    // the handler stops taking them.
    void DrainLog();
    // "ERROR: " + Prefix + ClassName + ": " + Message; never raises (a log that fails itself drops
    // the waiting lines, so the loop cannot spin on them).
    void ReportError(UnicodeView Prefix, const char* ClassName, const std::string& Message) noexcept;
    // Runs Fn; an exception is reported with Prefix. False when Fn raised.
    bool Guarded(UnicodeView Prefix, const std::function<void()>& Fn) noexcept;
    // The System Manager links and the networks are released in the tail.
    void StopLinks();
    void FreeNetworks();
    // Service start's parts, in their order.
    void SelectManagerLinks();
    void CreateManagerLinks();
    void ReadLists(int64_t UnixTime);
    void PostCreateWorkerRequest();
    void StartManagerLinks();
    void MakeNetworksList();

    // Main-queue jobs.
    void PostReread(TZELSVCMainQueueCommand Kind, UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void RunMainRecord(TZELSVCMainQueueRec& Rec) noexcept;
    void RunSave(const TZELSVCMainQueueRec& Rec) noexcept;
    void RunReread(const TZELSVCMainQueueRec& Rec) noexcept;
    void RunRereadAll() noexcept;
    void RunForwardPending() noexcept;
    void RunTerminate() noexcept;
    void RunServiceStart() noexcept;
    bool RereadFrom(const TRereadEvent& Reader, const UnicodeString& FileName, bool Default, int64_t UnixTime);
    bool RereadDefault(UnicodeView DefaultText, const UnicodeString& FileName, const TRereadEvent& Reader,
                       int64_t UnixTime);
    void SaveFailed(int32_t Index) noexcept;
    void PostDueSaveRetries();
    uint32_t NextRetryWaitMs() const noexcept;
    void LogUnsavedChanges();
    void PostDirty(TZELSVCNetQueueCommand Command);
    void PostNewConnection(TZELSVCNetQueueCommand Command, int Socket, AnsiView Address, int32_t Port,
                           int32_t Extra);

    // Timer thread.
    void Tick();

    // Listener thread.
    void AcceptConnection(TZELSVCNetQueueCommand Command, int Handle, const AnsiString& PeerIP, int32_t PeerPort,
                          int32_t PeerKind) noexcept;
    void ListenerLine(UnicodeView Prefix, const TSynapseBinding* Binding, bool Bound, const char* Message);

    UnicodeString ResolveData(UnicodeView Name) const;

    // Owned objects; the factory goes last, after everything it made.
    std::unique_ptr<TZELSVCFactory> Factory_;
    std::unique_ptr<TWaiter2Socket> Waiter_;
    TFifoStringThreadSafeU LogFifo_{kLogFifoBlockSize};
    TZELSVCServQueue ServQueue_;
    TZELSVCMainQueue MainQueue_;
    TZELSVCFlusherQueue FlusherQueue_;
    std::unique_ptr<TZELTimer> Timer_;
    std::unique_ptr<TZELSVCListenerSNPS> Listener_;
    // Made again by SetFactory, so that it creates its networks through the factory.
    std::unique_ptr<TZELNetworksList> Networks_;

    // Thread state.
    std::atomic<bool> StopRequested_{false};
    mutable TCriticalSection StopTextLock_;
    UnicodeString StopText_;
    std::atomic<bool> ServiceStarted_{false};
    std::atomic<bool> ServiceStartFailed_{false};
    bool FinalEventPosted_ = false;  // service thread

    // Counts.
    std::atomic<int32_t> ConnectionCount_{0};
    std::atomic<int32_t> CommandContextCount_{0};
    std::atomic<int32_t> WorkerCount_{0};
    std::atomic<int32_t> ContextCounter_{0};
    std::atomic<uint32_t> UniqueIdCounter_{0};
    uint32_t StartTick_ = 0;

    // Save state per save code 0 to 6; service thread.
    std::array<TSaveState, 7> SaveStates_{};
    std::array<TZELListLoadData, 7> ListLoad_{};

    // Service start's results.
    uint32_t ManagersMask_ = 0;
    TZELSVCNetworkBase* DefaultNetwork_ = nullptr;
    UnicodeString DefaultNetworkName_;

    // Paths.
    UnicodeString BaseDir_;
    UnicodeString ConfigFileName_;
    UnicodeString NetworksFileName_;
    UnicodeString AdminsFileName_;
    UnicodeString MutesFileName_;
    UnicodeString BlocksFileName_;
    UnicodeString ModesFileName_;
    UnicodeString RightsFileName_;
    UnicodeString NoticesFileName_;
    UnicodeString OwnerFileName_;
    UnicodeString DataChangeScript_;
    UnicodeString TempDir_;
    UnicodeString DataDir_;

    // Identity.
    AnsiString ParrotId_;
    int32_t ProcessId_ = 0;
    UnicodeString ProcessIdText_;
    UnicodeString ServerOwnerEMail_;
    AnsiString ServerOwnerSourceId_;
    UnicodeString ServerOwnerEMailUpper_;

    // Settings.
    UnicodeString ServerCharsetName_;
    UnicodeString DefaultCountry_;
    AnsiString DefaultCountryCharset_;
    AnsiString DefaultCountryA_;
    int32_t MaxSpeechTime_ = 300;
    uint32_t MaxSpeechTimeMs_ = 300000;
    int32_t SpeechPause_ = 0;
    int32_t QuarantineTime_ = 0;
    uint32_t ManagerSecondaryAuthTimeMs_ = 40000;
    int32_t ClientsPerThread_ = 500;
    int32_t ClientHandshakeTimeout_ = 2;
    uint32_t ClientHandshakeTimeoutMs_ = 2000;
    int32_t ClientActivityTimeout_ = 8;
    uint32_t ClientActivityTimeoutMs_ = 8000;
    int32_t MaxWaitConnections_ = 5;
    TZELSvcSysmanParams ManagerParams_[3];
};

}  // namespace zel
