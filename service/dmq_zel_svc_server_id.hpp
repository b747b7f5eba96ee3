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
// queue's processor; dmq_zel_svc_queue.cpp the service-queue posters and their dispatcher;
// dmq_zel_svc_tick.cpp the service tick and its save snapshots.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/dmq_fifo_string_u_ts.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "net/dmq_snps_listen_thread.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_owner_list.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_server_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

class TWaiter2Socket;
class TZELSVCFactory;
class TZELNetworksList;
class TZELSVCListenerSNPS;
class TZELSVCNetworkBase;
class TZELSVCWorkerBase;
class TZELSvcSysMan;
class TZELSVCWrkCtxBase;
class TZELTimer;

// The names of the program's bindings: the command port and the client ports.
inline constexpr UnicodeView ZELCommandBindingName = u"Command";
inline constexpr UnicodeView ZELClientBindingName = u"Client";

// The worker list, in worker-number order; the service owns the workers.
using TZELSVCWorkerList = std::vector<std::unique_ptr<TZELSVCWorkerBase>>;

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
    // Reread all or reopen the log for a command context: once the job ran, the requester gets an
    // empty reply (the fence that lets it read its next request).
    void PostMainRequest(TZELSVCMainQueueCommand Kind, TZELSVCWrkCtxBase* Requester);
    // A save job: the list file's lines; HoldsChange: they hold a change since the list's last
    // save (TZELSVCMainQueueRec::HoldsChange).
    void PostMainSave(TZELSVCMainQueueCommand Kind, const TZELSVCWriteArray& Lines, bool HoldsChange = true);
    // Code 14: answers the oldest Count waiting flush requests (those whose saves are queued).
    void PostForwardPending(int32_t Count);
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
    // The bind error that failed the start ("Listening: Command: 127.0.0.1:10023: Bind: ..."), or
    // empty. Service thread; other threads read it after the start was reported or the thread ended.
    const UnicodeString& ListenStartError() const noexcept { return ListenStartError_; }
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
    // True while a list holds changes whose last save failed (service thread; the owner reads it
    // once the thread has ended: a stop that lost changes ends the program with its own code).
    // A failed rewrite that holds no change (a flush's, a read's) does not count.
    bool UnsavedChanges() const noexcept;

    // ---- Service start: networks, links and lists (service thread) ------------------------------

    // The networks file into the networks list (the factory makes the networks): an unreadable
    // file is logged and what the list holds is used; an empty list gets the default set.
    void ReadNetworks();
    // The System Manager link slots in service: bit 1, 2, 4 for sections 0 to 2, kept only for an
    // enabled section that some network outside STANDALONE selects. Set by service start.
    uint32_t ManagersMask() const noexcept { return ManagersMask_; }
    // The server-wide options every network starts from.
    TZELServiceNetOptions ServerNetOptions() const;
    // Load state of a list file, by its save code (fsmq_SaveMutes .. fsmq_SaveOwner), set at each
    // read of the configured file. A save of a list whose file failed to read is refused (logged
    // once, never written) until a later read succeeds.
    TZELListLoadData& ListLoad(TZELSVCMainQueueCommand SaveKind) noexcept {
        return ListLoad_[static_cast<size_t>(SaveKind)];
    }
    // True when the networks in service are exactly those of a networks file read in full (there,
    // readable, every line taken): only then does a list entry of another network belong to a
    // network the operator removed. Set by service start.
    bool NetworksFromFile() const noexcept { return NetworksFileClean_; }
    // The lines of a list file, by its save code, that belong to networks not in service while
    // NetworksFromFile() is false: set at each read of the configured file, written back
    // unchanged, in their order, behind the list's own lines by every save (service thread).
    TZELSVCWriteArray& KeptLines(TZELSVCMainQueueCommand SaveKind) noexcept {
        return KeptLines_[static_cast<size_t>(SaveKind)];
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

    // List installs (codes 0 to 5; service thread, during rereads): one payload per network in
    // network-list order; Save marks the list changed, so it is written back. These do not wake
    // the timer: the installs wait for its next step.
    void PostInstallAdmins(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    void PostInstallMutes(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    void PostInstallBlocks(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    void PostInstallRights(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    void PostInstallModes(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    void PostInstallNotices(std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists, bool Save);
    // Command-port requests on one network (codes 13 to 20, 27), answered by the network when a
    // requester is given.
    void PostCommandMute(AnsiView ClientId, TZELSVCNetworkBase* Network, int32_t Time, bool On);
    void PostCommandBlock(AnsiView ClientId, TZELSVCNetworkBase* Network, int32_t Time, bool On);
    void PostCommandAdmin(AnsiView ClientId, TZELSVCNetworkBase* Network, bool Add);
    void PostCommandRight(AnsiView Key, TZELSVCNetworkBase* Network, bool Add);
    void PostCommandRightMark(AnsiView Key, TZELSVCNetworkBase* Network, bool Mark);
    void PostCommandNoticeSet(AnsiView NoticeCharset, AnsiView NoticeUtf8, TZELSVCNetworkBase* Network);
    void PostCommandNoticeClear(TZELSVCNetworkBase* Network);
    // Mode 1 on, 0 off, -1 query.
    void PostCommandConnMode(TZELSVCNetworkBase* Network, int32_t Mode, TZELSVCWrkCtxBase* Requester);
    void PostCommandTalkMode(TZELSVCNetworkBase* Network, int32_t Mode, TZELSVCWrkCtxBase* Requester);
    void PostCommandSetServerManagerMode(int32_t Mode);
    void PostCommandSetNetManagerMode(TZELSVCNetworkBase* Network, int32_t Mode);
    // Requests the service answers itself (codes 21 to 24).
    void PostCommandListNetwork(TZELSVCNetworkBase* Network, TZELSVCWrkCtxBase* Requester);
    void PostCommandListAll(TZELSVCWrkCtxBase* Requester);
    void PostCommandThreads(TZELSVCWrkCtxBase* Requester);
    void PostCommandFlushData(TZELSVCWrkCtxBase* Requester);
    // Moves (codes 28 to 30); Time in seconds, 0 a permanent move.
    void PostClientMoveRequest(TZELSVCWrkCtxBase* Requester, TZELSVCNetworkBase* Target, AnsiView ClientId,
                               int32_t Time);
    void PostCommandMoveClient(TZELSVCWrkCtxBase* Requester, TZELSVCNetworkBase* Source, TZELSVCNetworkBase* Target,
                               AnsiView ClientId, int32_t Time);
    void PostCountdownExpired(TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network, TZELSVCNetworkBase* Home);
    // System Manager link disconnects (codes 33, 34).
    void PostCommandDisconnectManagerByIndex(int32_t Index, TZELSVCWrkCtxBase* Requester);
    void PostCommandDisconnectManagerByAddress(AnsiView Address, int32_t Port, TZELSVCWrkCtxBase* Requester);
    // Code 35: Network null, every network; ClientId empty, every client of Network.
    void PostCommandDisconnect(TZELSVCNetworkBase* Network, AnsiView ClientId, TZELSVCWrkCtxBase* Requester);
    // A client's or a network's own command (codes 55 to 83) for Context's network.
    void PostClientCommand(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Context,
                           const TZELSVCClientCommandArgs& Args = {});
    // Pushes a record; Wake false only for the list installs, which wait for the next step.
    void PostServQueue(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec, bool Wake = true);
    // ---- Service queue: the System Manager links' posters (any thread) -------------------------

    // Code 44, a link's verdict on a client: Owner = Client, OwnerId = ClientId (the client's
    // session number when it was asked), Obj2 = Network (a TZELSVCNetworkBase*), Text1 = the
    // client's id (so that a network that no longer finds the client can still log it out),
    // Text2 = the manager's answer line (result 1 only), Value1 = Result (0 no verdict, 1 OK,
    // 2 ERROR, 3 WRONG, 4 BLOCK, 5 DUPL), Value2 = the link index, Value3 = the requester's tag.
    // The network checks the client (context and session number) before it uses it.
    void PostManagerAnswer(TZELSVCWrkCtxBase* Client, uint32_t ClientId, TZELSVCNetworkBase* Network,
                           int32_t Result, int32_t Index, int32_t Value, AnsiView Text, AnsiView ClientIdText);
    // Code 45 (Up) or 46 with Value1 = the link index.
    void PostManagerLinkState(int32_t Index, bool Up);

    // Service stop, one routine for both of its names: when the service is started, clears that
    // state, stops listening and posts code 53; otherwise nothing.
    void StopService();
    void ServiceStop() { StopService(); }
    // The stop, then the listener thread is asked to end (the action of code 17).
    void StopServiceAndListener();
    bool ServiceStarted() const noexcept { return ServiceStarted_.load(std::memory_order_acquire); }

    // ---- Service queue: the posters of the client and command contexts (codes 38 to 41) ---------

    // Code 38: the context's connect line was accepted; its network takes it on.
    void PostClientHandshakeDone(TZELSVCWrkCtxBase* Context);
    // Code 39: the context's login was refused; the service sends Answer and closes it.
    void PostLoginRefused(TZELSVCWrkCtxBase* Context, AnsiView Answer);
    // Codes 40 and 41: the client or command context stopped; Value (the worker) is handed on.
    // Only the first of these calls for a context posts (its closed-posted flag); true for it.
    bool PostContextClosed(TZELSVCWrkCtxBase* Context, void* Value);
    bool PostCommandContextClosed(TZELSVCWrkCtxBase* Context, void* Value);
    // ---- end of the contexts' posters

    // ---- Service tick (timer thread) -----------------------------------------------------------

    // The tick that the constructor installs as OnTick: passes until one ends with no network
    // activity (or the timer terminates).
    void TimerTick();
    // Where the tick takes "now" from (GetTickMs when unset); tests set it before the service start.
    std::function<uint32_t()> TickClock;
    uint32_t TickNow() const;
    // The tick's "now", stored at the start of every pass; the networks and handlers read it.
    uint32_t CurrentTick() const noexcept { return CurrentTick_; }
    // Whole seconds counted by the tick; any thread (the uptime answer, the running time the login
    // and state answers carry).
    uint32_t SecondsCounted() const noexcept { return Seconds_.load(std::memory_order_relaxed); }
    // The flags word (ZELSVCFlag..., dmq_zel_svc_tick.hpp): the networks and the handlers set its
    // bits; the tick turns the list bits into saves and clears each once its save is queued.
    // A list bit set here is a change of the list (an edit, an expiry): the save that takes it
    // holds a change (TZELSVCMainQueueRec::HoldsChange). A flush's and a read's rewrites set the
    // bits without it.
    void SetServiceFlags(uint32_t Bits) noexcept {
        Flags_ |= Bits;
        Changes_ |= Bits;
    }
    uint32_t ServiceFlags() const noexcept { return Flags_; }
    // Runs Network's dispatcher with housekeeping when 500 ms have passed since its last run, or
    // without when it holds pending commands; an exception is logged (LogNetworkError), not passed
    // on.
    void RunNetworkWhenDue(TZELSVCNetworkBase& Network);
    // "ERROR: Network "<name>": <message>", only while OnLog is set.
    void LogNetworkError(TZELSVCNetworkBase& Network, const std::exception& E);
    // Save snapshots: Lines becomes the list file's lines (networks in list order, each line with
    // its CR LF). Blocks 0: mutes, 1: blocks.
    void SnapshotMutesBlocks(TZELSVCWriteArray& Lines, int32_t Blocks);
    void SnapshotAdmins(TZELSVCWriteArray& Lines);
    void SnapshotModes(TZELSVCWriteArray& Lines);
    void SnapshotRights(TZELSVCWriteArray& Lines);
    void SnapshotNotices(TZELSVCWriteArray& Lines);
    void SnapshotOwner(TZELSVCWriteArray& Lines);

    // ---- Service-queue dispatcher (timer thread) ------------------------------------------------

    // One batch of at most kServQueueBatch records. A record that raises is logged as the tick's
    // error line and released; the rest of the batch is handled.
    void DispatchServiceQueue();
    // Hands Rec to Network's pending commands (Rec is then empty); nothing when Network is null.
    void ForwardToNetwork(TZELSVCNetworkBase* Network, std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    // A new record of Command with Value1 for every network, from the last to the first.
    void PostToNetworks(TZELSVCNetQueueCommand Command, int32_t Value1);
    // Owner is in the command-context list and still carries OwnerId.
    bool LiveRequester(const TZELSVCNetQueueRecord& Rec) const noexcept;
    // Prefix, a blank, the peer (Rec's Text1 and Value2) as host:port ("[::1]:5555" for IPv6), a
    // blank, the cause's text, and for fsdc_ServInternalError ": " and Message (UTF-8).
    void LogRefusedConnection(TZELSVCDisconnectCause Cause, UnicodeView Prefix, AnsiView Message,
                              const TZELSVCNetQueueRecord& Rec);
    // "ERROR: Timer: Work loop: " + ClassName + ": " + Message, the line of the timer's own guard.
    void LogTickError(const char* ClassName, const std::string& Message);

    // The state the tick and the dispatcher keep; timer thread only, nothing here is locked.
    // The lists of contexts hold TZELSVCWrkCtxBase pointers (converted to void*) and own nothing.
    TZELNetworksList& Networks() noexcept { return Networks_; }
    TZELSortedObjectList& UndefinedConnections() noexcept { return UndefinedConnections_; }
    TZELSortedObjectList& CommandContexts() noexcept { return CommandContexts_; }
    TZELSortedObjectList& TemporaryMoves() noexcept { return TemporaryMoves_; }
    TZELSVCWorkerList& Workers() noexcept { return Workers_; }
    TZELSystemManagerMode ServerManagerMode() const noexcept { return ServerManagerMode_; }
    // The server owner's callsign as the owner file keeps it.
    TZELSVCOwnerData& ServerOwner() noexcept { return ServerOwner_; }
    // A client with the server owner's privilege logs in: either of its owner fields (its callsign
    // and the callsign's UTF-8 form) differs from the stored owner's.
    bool OwnerDiffers(AnsiView ON, AnsiView ON8) const noexcept { return ServerOwner_.ON != ON || ServerOwner_.ON8 != ON8; }
    // Stores them as the server owner and marks the owner file changed.
    void SetOwner(AnsiView ON, AnsiView ON8);
    // ---- System Manager links ------------------------------------------------------------------
    // A slot per manager section 0 to 2, present while it holds a link. The slots are filled by
    // service start and emptied in the thread's tail after the timer thread ended; in between the
    // timer thread reads them without a lock.

    // Service start (service thread): creates and runs (idle) the link of every enabled section
    // whose bit (1, 2, 4) is in UsedMask, the mask of the sections that some network not in
    // STANDALONE mode selects. Returns the mask of the present slots, for the networks list.
    uint32_t CreateManagerLinks(uint32_t UsedMask);
    // Service start, after the timer: every present link starts connecting, in slot order.
    void StartManagerLinks();
    // The link of slot Index, or nullptr when the slot is not present.
    TZELSvcSysMan* ManagerLink(int32_t Index) const noexcept;
    // Timer thread. For each present link whose bit is in the network's ManagersMask and that the
    // client has not been asked by nor answered by: marks it asked and queues the authentication
    // (the verdict comes back as code 44).
    void SysManAuthenticateClient(TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network);
    // The same for link Index only (a link that came up); Value comes back in the answer.
    void SysManAuthenticateClientAt(int32_t Index, TZELSVCWrkCtxBase* Client, TZELSVCNetworkBase* Network,
                                    int32_t Value = 0);
    // Timer thread: tells link Index, when present, that the client with this id left Network.
    void SysManClientLeft(int32_t Index, AnsiView ClientId, TZELSVCNetworkBase* Network);
    // Codes 33 and 34 (timer thread): the operator's disconnect of one link. A present link
    // answers Requester itself ("+OK\r\n" or "-NOTCONNECTED\r\n", code 31); without one the answer
    // is "-NOTCONNECTED\r\n" at once. By address: the first present slot whose ManagerAddress
    // equals Address (ASCII letter case aside) and whose ManagerPort is Port.
    void SysManDisconnectByIndex(int32_t Index, TZELSVCWrkCtxBase* Requester, uint32_t RequestId);
    void SysManDisconnectByAddress(AnsiView Address, int32_t Port, TZELSVCWrkCtxBase* Requester, uint32_t RequestId);
    // The slot of that manager, or -1.
    int32_t FindManagerLink(AnsiView Address, int32_t Port) const;

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

    // ---- Service queue: the posters of the worker threads (codes 47 to 52; any thread) ----------
    // The records name workers (Obj1, Obj2) as TZELSVCWorkerBase pointers.

    void PostCreateWorker();
    // One record per context the worker stopped.
    void PostWorkerClosedContexts(TZELSVCWorkerBase* Worker);
    // The answer to a return request that found no context: Target asked for one.
    void PostWorkerNoContext(TZELSVCWorkerBase* Target);
    // Source handed Context (unregistered) over for Target.
    void PostWorkerHandOverContext(TZELSVCWorkerBase* Source, TZELSVCWorkerBase* Target, TZELSVCWrkCtxBase* Context);
    // Idle for the thread-cache time.
    void PostWorkerWaiting(TZELSVCWorkerBase* Worker);
    // The thread's loop ended: the last record the worker posts.
    void PostWorkerStopped(TZELSVCWorkerBase* Worker);
    // ---- end of the workers' posters

    // ---- Service queue: connections and workers (timer thread; dmq_zel_svc_connections.cpp) ------

    // The handlers of codes 36 to 41, 47 to 52 and 54 (DispatchClientsRecord) and the undefined
    // half of 35 and 53 (AbortUndefinedConnections) fill the dispatcher's seams below.
    // Hands a new context to the first worker that has a free entry and is not ending; creates one
    // when none has. Raises when no worker can be had.
    TZELSVCWorkerBase* AssignToWorker(TZELSVCWrkCtxBase* Context);
    // A new worker, appended, numbered and started.
    TZELSVCWorkerBase* CreateWorker();
    // Every worker's number := its position in the list.
    void RenumberWorkers();

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

    // The service tick on the timer thread: TimerTick, installed by the constructor. When none is
    // set, the tick releases the service queue's records, so that a service still ends.
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
    // Connections and workers (timer thread, from the start on).
    int32_t MaxConnectionsPerAddress = 8;  // 0 or less: no limit and no address counters
    int32_t MaxTotalConnections = 1000;
    // Command connections at once: each may hold answers its peer has not read
    // (TZELSVCCommand's bounds), so local peers together cannot take the memory. Beyond it a
    // connection is refused with fsdc_MaxCommandConnections. The console's words use one each,
    // briefly.
    int32_t MaxCommandConnections = 32;
    int32_t ThreadCacheTime = 20;  // s: a worker without contexts reports it waits (code 51) this often
    int32_t CommandLogLevel = 0;
    // The defaults every network starts from; the configuration overrides them.
    int32_t OutputBufferLimit = 131072;
    int32_t OutputBufferFactor = 3;
    // Atomic: the command port's "00b:" sets it from a worker while the timer thread reads it.
    std::atomic<int32_t> LogClientLevel{2};
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

    // ---- Client login: what client contexts read while they parse a connect line and build their
    // answers (worker and timer threads). Set before Start(); the networks are set by service
    // start before it starts listening. Nothing here changes while clients connect.

    bool DisableDUPL = false;
    UnicodeString PresentServerAddress;
    UnicodeString PresentServerPort;
    UnicodeString BackupServerAddress;
    UnicodeString BackupServerPort;
    // The networks in list order, and the default network (DefaultNetworkName) when there is one.
    void SetLoginNetworks(const TZELNetworksList* Networks, TZELSVCNetworkBase* DefaultNetwork) noexcept;
    const TZELNetworksList* LoginNetworks() const noexcept { return LoginNetworks_.load(std::memory_order_acquire); }
    // The network named by DefaultNetworkName; null when none is named or found.
    TZELSVCNetworkBase* DefaultNetwork() const noexcept { return DefaultNetwork_.load(std::memory_order_acquire); }
    // Any thread: "Context: " + Name + ": " + Text, and the same after "ERROR: ".
    void ContextLog(UnicodeView Name, UnicodeView Text);
    void ContextErrorLog(UnicodeView Name, UnicodeView Text);
    // ---- end of the client login group

    // Records taken off the service queue in one pop.
    static constexpr int32_t kServQueueBatch = 32;
    // The dispatcher's run with housekeeping is due this long after its last one.
    static constexpr uint32_t kNetworkRunMs = 500;
    static constexpr uint32_t kTickStepMs = 100;
    // The time one tick call may go on with further passes for a backlog of the service queue.
    static constexpr uint32_t kTickBudgetMs = 40;

protected:
    void Execute() override;
    void TerminatedSet() override;

    // ---- Seams: handlers that other parts of the server provide. Each runs on the timer thread
    // inside the dispatcher; a handler may take Rec (forward it), else the record is released
    // after it, with its payloads (a new connection's socket is then closed).
    // Clients: new command and client connections (36, 37), handshake done (38), login refused
    // (39), client and command context closed (40, 41), the worker codes (47 to 52) and service
    // terminate (54). Default: nothing.
    virtual void DispatchClientsRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    // Clients: codes 35 (all networks) and 53: every undefined connection whose close is not
    // posted yet is aborted with Cause, from the last to the first. Default: nothing.
    virtual void AbortUndefinedConnections(TZELSVCDisconnectCause Cause);
    // Code 53: every command context whose close is not posted yet stops reading, sends what it
    // has queued and closes within its grace (CloseWhenSent), with Cause.
    void CloseCommandContexts(TZELSVCDisconnectCause Cause);
    // Networks: the client moves (28, 29) and the end of a timed move (30). Default: MoveClient and
    // ReturnMovedClient.
    virtual void DispatchMoveRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    // System Manager links: a disconnect request of the command port, code 33 (link index 0 to 2
    // in Value1) or 34 (manager address in Text1, port in Value1). True when a present link took
    // it (the link answers through code 31); false answers "-NOTCONNECTED\r\n". Default: the
    // link of that slot, or of the first present slot with that address and port
    // (FindManagerLink), gets the disconnect request.
    virtual bool HandOverManagerDisconnect(const TZELSVCNetQueueRecord& Rec);

private:
    struct TSaveState {
        bool Failed = false;        // the last save failed: the file lacks changes
        bool RetryPending = false;  // a dirty code is due at RetryStart + RetryDelay
        bool Refused = false;       // the refusal of a save was logged (the file could not be read)
        bool Changed = false;       // a failed or refused save held a change: it is lost unless saved
        uint32_t RetryStart = 0;
        uint32_t RetryDelay = 0;
        TZELSVCWriteArray Lines;    // the lines that failed: the stop tries them once more
    };

    // Service thread.
    void LoopPass();
    void PostFinalEventWhenDue();
    bool EndReached();
    void Tail() noexcept;
    void RunLastSaves();
    void RetryFailedSaves() noexcept;
    // Hands the waiting lines over (or drops them when OnLog is not set) until none is left or
    // the handler stops taking them.
    void DrainLog();
    // "ERROR: " + Prefix + ClassName + ": " + Message; never raises (a log that fails itself drops
    // the waiting lines, so the loop cannot spin on them).
    void ReportError(UnicodeView Prefix, const char* ClassName, const std::string& Message) noexcept;
    // Runs Fn; an exception is reported with Prefix. False when Fn raised.
    bool Guarded(UnicodeView Prefix, const std::function<void()>& Fn) noexcept;
    // The System Manager links and the networks are released in the tail: the links end first
    // (StopLinks), their objects go once the timer thread, which posts to them, has ended
    // (FreeLinks), and the networks last.
    void StopLinks() noexcept;
    void FreeLinks() noexcept;
    void FreeNetworks();
    // Service start's parts, in their order.
    void SelectManagerLinks();
    void ReadLists(int64_t UnixTime);
    // The owner file into ServerOwner_; a file to rewrite is marked for saving.
    void ReadOwner();

    // Main-queue jobs.
    void PostReread(TZELSVCMainQueueCommand Kind, UnicodeView FileName, TZELSVCWrkCtxBase* Requester);
    void RunMainRecord(TZELSVCMainQueueRec& Rec) noexcept;
    void RunSave(TZELSVCMainQueueRec& Rec) noexcept;
    void RunReread(const TZELSVCMainQueueRec& Rec) noexcept;
    void RunRereadAll() noexcept;
    // The empty reply to the command context that asked for this job (PostMainRequest).
    void AnswerFence(const TZELSVCMainQueueRec& Rec) noexcept;
    void RunForwardPending(const TZELSVCMainQueueRec& Rec) noexcept;
    void RunTerminate() noexcept;
    void RunServiceStart() noexcept;
    // After StartListening: waits for the listener's opening pass and raises the first bind error
    // when no "Command" binding opened or one lost its port to another server, or when no "Client"
    // binding opened (bindings of other names, and the kinds not configured, are not looked at).
    void CheckListening(uint32_t PassesBefore);
    bool RereadFrom(const TRereadEvent& Reader, const UnicodeString& FileName, bool Default, int64_t UnixTime);
    bool RereadDefault(UnicodeView DefaultText, const UnicodeString& FileName, const TRereadEvent& Reader,
                       int64_t UnixTime);
    void SaveFailed(int32_t Index, TZELSVCWriteArray&& Lines, bool HoldsChange) noexcept;
    void PostDueSaveRetries();
    uint32_t NextRetryWaitMs() const noexcept;
    void LogUnsavedChanges();
    void PostDirty(TZELSVCNetQueueCommand Command);
    void PostNewConnection(TZELSVCNetQueueCommand Command, int Socket, AnsiView Address, int32_t Port,
                           int32_t Extra);

    // Timer thread.
    void Tick();
    void TickPass();
    void CountDownMoves();
    // Once per tick call: a save for each list changed, unless one of that list is still queued
    // (its bit then waits for a later call); the flush answers once no list bit is left. True when
    // a job was queued. The end of the service thread calls it too, once the timer has ended.
    bool PushSaves();
    void DispatchRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    void InstallLists(TZELSVCNetQueueRecord& Rec);
    void SendListAnswer(TZELSVCWrkCtxBase& Requester, TZELSVCNetworkBase* Only);
    void SendThreadsAnswer(TZELSVCWrkCtxBase& Requester);
    void DisconnectCommand(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    // Codes 28 to 30: a move (Obj1 source, Obj2 target, Text1 the client's id, Value1 seconds, 0
    // permanent; a command connection gets the answer) and the end of a timed move: a client
    // still on its way into the target (not a member yet) goes home once it is one.
    void MoveClient(TZELSVCNetQueueRecord& Rec);
    void ReturnMovedClient(TZELSVCNetQueueRecord& Rec);
    bool IsNetwork(const void* Obj) const noexcept;
    void PostInstall(TZELSVCNetQueueCommand Command, std::vector<std::unique_ptr<TZELSVCListPayload>>&& Lists,
                     bool Save);
    void PostToNetwork(TZELSVCNetQueueCommand Command, TZELSVCNetworkBase* Network, AnsiView Text1, AnsiView Text2,
                       int32_t Value1, int32_t Value2);
    void PostRequest(TZELSVCNetQueueCommand Command, TZELSVCWrkCtxBase* Requester, TZELSVCNetworkBase* Network,
                     int32_t Value1);

    // Listener thread.
    void AcceptConnection(TZELSVCNetQueueCommand Command, int Handle, const AnsiString& PeerIP, int32_t PeerPort,
                          int32_t PeerKind) noexcept;
    void ListenerLine(UnicodeView Prefix, const TSynapseBinding* Binding, bool Bound, const char* Message);

    UnicodeString ResolveData(UnicodeView Name) const;

    // Connections and workers (timer thread).
    void NewConnection(TZELSVCNetQueueRecord& Rec, bool Client);
    // Worker, when it is (still) in the worker list.
    TZELSVCWorkerBase* FindWorker(const void* Worker) const noexcept;
    void ClientHandshakeDone(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    void ClientDisconnected(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    void CommandDisconnected(TZELSVCNetQueueRecord& Rec);
    void CountDownAddress(const TZELSVCWrkCtxBase& Context);
    void LogDisconnect(const TZELSVCWrkCtxBase& Context, bool WithText);
    void FreeContext(TZELSVCWrkCtxBase* Context) noexcept;
    void WorkerClosedContext(TZELSVCNetQueueRecord& Rec);
    void WorkerHandOverContext(TZELSVCNetQueueRecord& Rec);
    void WorkerWaiting(TZELSVCNetQueueRecord& Rec);
    void WorkerStopped(TZELSVCNetQueueRecord& Rec);
    void TerminateWorkers();
    void PublishCounts() noexcept;
    void FreeLeftContexts() noexcept;

    // Owned objects; the factory goes last, after everything it made.
    std::unique_ptr<TZELSVCFactory> Factory_;
    std::unique_ptr<TWaiter2Socket> Waiter_;
    TFifoStringThreadSafeU LogFifo_{kLogFifoBlockSize};
    TZELSVCServQueue ServQueue_;
    // A save job of the list is queued or being written: set by the timer thread when it queues
    // one, cleared by the job's record when it goes (so before the main queue that holds them).
    std::array<std::atomic<bool>, 7> SaveQueued_{};
    TZELSVCMainQueue MainQueue_;
    TZELSVCFlusherQueue FlusherQueue_;
    std::unique_ptr<TZELTimer> Timer_;
    std::unique_ptr<TZELSVCListenerSNPS> Listener_;
    std::unique_ptr<TZELSvcSysMan> Links_[3];

    // Thread state.
    std::atomic<bool> StopRequested_{false};
    mutable TCriticalSection StopTextLock_;
    UnicodeString StopText_;
    std::atomic<bool> ServiceStarted_{false};
    std::atomic<bool> ServiceStartFailed_{false};
    UnicodeString ListenStartError_;  // service thread
    bool FinalEventPosted_ = false;  // service thread

    // Counts.
    std::atomic<int32_t> ConnectionCount_{0};
    std::atomic<int32_t> CommandContextCount_{0};
    std::atomic<int32_t> WorkerCount_{0};
    std::atomic<int32_t> ContextCounter_{0};
    std::atomic<uint32_t> UniqueIdCounter_{0};
    uint32_t StartTick_ = 0;

    // Connections and workers; timer thread.
    TZELSortedAnsiStringList AddressCounters_{false};
    bool WorkersTerminated_ = false;  // code 54 seen: no worker is made any more

    // Save state per save code 0 to 6; service thread.
    std::array<TSaveState, 7> SaveStates_{};
    std::array<TZELListLoadData, 7> ListLoad_{};
    std::array<TZELSVCWriteArray, 7> KeptLines_{};

    // Service start's results.
    uint32_t ManagersMask_ = 0;
    // The networks in service are those of a networks file that loaded every line.
    bool NetworksFileClean_ = false;
    UnicodeString DefaultNetworkName_;

    // Tick and dispatcher state; timer thread.
    uint32_t CurrentTick_ = 0;
    uint32_t LastStepTime_ = 0;
    int32_t Tenths_ = 0;
    std::atomic<uint32_t> Seconds_{0};
    uint32_t Flags_ = 0;
    // The list bits of Flags_ that a change set (SetServiceFlags, SetOwner); cleared with them.
    uint32_t Changes_ = 0;
    // Flush requests pushed onto the flusher queue whose answer job is not queued yet.
    int32_t FlushItemsPending_ = 0;
    TZELSVCWriteArray SnapshotLines_;
    TStringBldU TickLogBld_;
    TStringBldA AnswerBld_;
    TZELNetworksList Networks_;
    TZELSortedObjectList UndefinedConnections_;
    TZELSortedObjectList CommandContexts_;
    TZELSortedObjectList TemporaryMoves_;
    TZELSVCWorkerList Workers_;
    TZELSystemManagerMode ServerManagerMode_ = TZELSystemManagerMode::smm_Standalone;
    TZELSVCOwnerData ServerOwner_;

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

    // Client login.
    std::atomic<const TZELNetworksList*> LoginNetworks_{nullptr};
    std::atomic<TZELSVCNetworkBase*> DefaultNetwork_{nullptr};
};

}  // namespace zel
