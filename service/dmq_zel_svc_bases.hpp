#pragma once
// Abstract bases through which the service holds what the clients library implements: the
// networks (rooms), the worker threads, the work contexts (client and command connections), and
// the factory that creates them. The service library cannot link the clients library (the
// libraries link one way only), so the service, the data lists and the networks list see these
// classes only; the concrete classes in clients/ derive from them.
//
// Each base grows by role: a group of pure virtual operations per caller, headed by a comment
// naming the caller. Add to the group that calls an operation; declare no second interface.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

class TZELService;
struct TZELSVCNetQueueRecord;
class TZELSVCNetworkBase;
class TZELSVCWorkerBase;
class TZELSVCWrkCtxBase;
struct TZELSVCNetQueueRecord;
struct TZELCmdListBlock;
struct TZELSVCNoticeData;
class TZELSVCAdmin;
class TZELSVCMuteBlock;
class TZELSVCAccess;
template <class E>
class TZELSVCEntryList;

// A work context: one connection a worker serves (client or command port), or the Parrot.
class TZELSVCWrkCtxBase {
public:
    TZELSVCWrkCtxBase() = default;
    TZELSVCWrkCtxBase(const TZELSVCWrkCtxBase&) = delete;
    TZELSVCWrkCtxBase& operator=(const TZELSVCWrkCtxBase&) = delete;
    virtual ~TZELSVCWrkCtxBase();

    // ---- Requester of the main queue, the flusher queue and command replies (service thread,
    // timer thread). The context's serial number: a request copies it when posted, and its answer
    // is written only while the context still carries it.
    virtual uint32_t Number() const = 0;

    // ---- Service queue: the posters of codes 40 and 41 (any thread) and the dispatcher (timer
    // thread). The closed-posted flag is set once, by the first close record posted for the
    // context; a context whose flag is set is on its way out and is not aborted again.
    virtual bool ClosedPosted() const noexcept = 0;
    // Sets the flag; true only for the one call that set it.
    virtual bool MarkClosedPosted() noexcept = 0;
    // Stores Cause unless a cause is set, requests the abort and marks the worker for a flush, so
    // that the worker closes the connection at its next step.
    virtual void AbortWithCause(TZELSVCDisconnectCause Cause) = 0;
    // Code 53 for a command-port connection: with Cause stored unless one is set, it reads no
    // more, sends what is queued and closes within a short grace. The default aborts at once.
    virtual void CloseWhenSent(TZELSVCDisconnectCause Cause) { AbortWithCause(Cause); }
    // ---- end of the service queue's group

    // ---- Service dispatcher: connections and hand-overs (timer thread; codes 37 to 40, 50).
    // The peer's address text (the key of the address counters).
    virtual const AnsiString& PeerText() const noexcept = 0;
    // Code 50: the worker that takes the context over; set before the worker is told.
    virtual void SetWorker(TZELSVCWorkerBase* Worker) noexcept = 0;
    // Code 39: queues the answer and closes once it is sent.
    virtual void SendFinalAnswer(AnsiView Answer) { (void)Answer; }
    // A context that no worker serves (its hand-over target ended): closed with Cause unless one is
    // set, and its close record (code 40 or 41) posted, on the caller's thread.
    virtual void StopUnserved(TZELSVCDisconnectCause Cause) = 0;
    // The disconnect line of code 40: the context's log name, the cause's text, the offending
    // command and the error text, and with WithText ": " and the disconnect text.
    virtual UnicodeString DisconnectLine(bool WithText) const = 0;
    virtual TZELSVCDisconnectCause DisconnectCause() const noexcept = 0;
    // Through the context's error hook ("ERROR: Context: " + name + ": " + Text).
    virtual void ContextError(UnicodeView Text) = 0;
    // ---- end of the service dispatcher's group

    // ---- Service tick and service-queue dispatcher (timer thread). The defaults suit a context
    // that is in no network and answers no command-port request.
    // The network the client is in: codes 25, 32 and 55 to 83 go to its pending commands.
    virtual TZELSVCNetworkBase* Network() const { return nullptr; }
    // A client on a timed move (in the temporary-move list): its home network and the seconds
    // left; the tick counts them down and posts the move back when they reach 0.
    virtual TZELSVCNetworkBase* HomeNetwork() const { return nullptr; }
    virtual int32_t MoveCountdown() const { return 0; }
    virtual void SetMoveCountdown(int32_t) {}
    // A command-port connection: queues Text in its send buffer (which has its own lock) and asks
    // its worker to flush.
    virtual void SendCommandText(AnsiView) {}
    // ---- end of the tick and dispatcher group
    // ---- System Manager links: what the service reads of a client when it asks a link to
    // authenticate it (SysManAuthenticateClient on the timer thread). The link thread never
    // touches the context. The defaults suit contexts that are no clients.
    // The "CC:" request text prepared for the managers, without a line end.
    virtual AnsiString ManagerRequestText() const { return AnsiString(); }
    // The UTF-8 part for the managers ("<U8TF>...</U8TF>"), empty without one.
    virtual AnsiString ManagerUtf8Part() const { return AnsiString(); }
    // The peer address as text, and the client's id.
    virtual AnsiString ManagerPeerAddress() const { return AnsiString(); }
    virtual AnsiString ManagerClientId() const { return AnsiString(); }
    // The eight client texts of ManagerSuccessAuthScript, in the order of TZELSysManScriptText.
    virtual void ManagerScriptTexts(std::array<UnicodeString, 8>& Texts) const { (void)Texts; }
    // The client's state towards link Index (0 to 2): 0 not asked, 1 asked (no answer yet),
    // 2 answered. The service asks only in state 0 and sets 1; the network sets 2 for a verdict
    // (answers 1 to 5) and 0 again for an answer without one (0) and when the link goes down, so
    // that the link is asked again once it is up.
    virtual uint8_t ManagerLinkState(int32_t Index) const {
        (void)Index;
        return 0;
    }
    virtual void SetManagerLinkState(int32_t Index, uint8_t State) {
        (void)Index;
        (void)State;
    }
    // ---- end of the System Manager links' group
};

// A worker thread serving many contexts through one waiter.
class TZELSVCWorkerBase {
public:
    TZELSVCWorkerBase() = default;
    TZELSVCWorkerBase(const TZELSVCWorkerBase&) = delete;
    TZELSVCWorkerBase& operator=(const TZELSVCWorkerBase&) = delete;
    virtual ~TZELSVCWorkerBase();

    // ---- Work contexts (any thread): a context that queued output or an abort marks its worker;
    // the next service tick wakes every worker so marked.
    virtual void MarkHasWork() noexcept = 0;
    // The context has work for the worker's next pass (called once until the worker takes it).
    virtual void NoteWork(TZELSVCWrkCtxBase* Context) noexcept { (void)Context; }
    // ---- end of the work contexts' group

    // ---- Service dispatcher: worker bookkeeping and hand-overs (timer thread). A worker is made by
    // the factory, numbered, then started; it is terminated by codes 51 and 54, and joined and
    // freed at its code 52.
    // The worker's position in the service's worker list (-1 until numbered). The worker reads it
    // atomically for its log prefix.
    virtual void SetNumber(int32_t N) = 0;
    virtual int32_t Number() const noexcept = 0;
    // Worker commands 0 to 2: queued, and the worker is marked as having work (the tick wakes it).
    virtual void PostNewContext(TZELSVCWrkCtxBase* Context) = 0;
    virtual void PostReturnEntry(TZELSVCWorkerBase* Target) = 0;
    virtual void PostCheckContext(TZELSVCWrkCtxBase* Context) = 0;
    virtual void StartWorker() = 0;
    // Sets the terminate flag and wakes the thread.
    virtual void TerminateWorker() = 0;
    virtual bool WorkerTerminated() const noexcept = 0;
    // Waits for the thread's end.
    virtual void JoinWorker() = 0;
    // After the join: stops the contexts queued after the thread's own last look at its queue
    // (each gets code 40) and answers return requests with code 49.
    virtual void StopLeftContexts() = 0;
    // The bookkeeping's entries free and reserved for a hand-over (see FreeCount, ReservedCount).
    virtual void SetCounts(int32_t Free, int32_t Reserved) = 0;
    // ---- Service tick and service-queue dispatcher (timer thread) ----
    // The has-work flag: any thread sets it when it queues work for the worker; the tick takes it
    // (reads and clears it in one step) and then wakes the worker.
    virtual bool TakeHasWork() = 0;
    // Any thread: wakes the worker's wait.
    virtual void WakeUp() = 0;
    // The worker's bookkeeping: entries it may serve (ClientsPerThread), entries free and entries
    // reserved for a hand-over; it serves capacity - free - reserved contexts.
    virtual int32_t Capacity() const = 0;
    virtual int32_t FreeCount() const = 0;
    virtual int32_t ReservedCount() const = 0;
    // ---- end of the tick and dispatcher group
};

// A log line handler: the text without any prefix of the receiver's.
using TZELSVCLogHook = std::function<void(UnicodeView Text)>;

// One network (room) with its members, floor, lists and command dispatcher.
class TZELSVCNetworkBase {
public:
    TZELSVCNetworkBase() = default;
    TZELSVCNetworkBase(const TZELSVCNetworkBase&) = delete;
    TZELSVCNetworkBase& operator=(const TZELSVCNetworkBase&) = delete;
    virtual ~TZELSVCNetworkBase();

    // ---- Networks list (loader, name indexes, list texts, manager check) ----
    // The name as the networks file gave it: trimmed, at most ZELNetworkNameMaxLen units.
    virtual const UnicodeString& NetworkName() const = 0;
    // The options the network was created with (Hidden keeps it out of the list texts).
    virtual const TZELSVCNetworkOptions& NetworkOptions() const = 0;
    // The network's information and error lines go to these (the list puts the quoted name in
    // front). Set once, before the network is used.
    virtual void SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) = 0;
    // Applies the mask of the System Manager links in service (bits 1, 2, 4 for links 0 to 2).
    virtual void CheckManagers(uint32_t LinksMask) = 0;

    // ---- Data lists (administrators, mutes, blocks, rights): what the list entries, their
    // removal and expiry and the merges of a reread ask of the network that owns the lists.
    // The network's name in UTF-8 (the first field of every file line of its entries).
    virtual AnsiString ListNameUtf8() const = 0;
    // The configuration's RereadCompareAttr: a reread also compares the entries it keeps.
    virtual bool RereadCompareAttr() const = 0;
    // The network's LevelMuteBlock and ExactMuteBlock options (who may remove a mute or block).
    virtual bool LevelMuteBlock() const = 0;
    virtual bool ExactMuteBlock() const = 0;
    // The server's own client id: the remover named by command-port requests.
    virtual AnsiString ServerId() const = 0;
    // A reread added or removed the client with this id as an administrator.
    virtual void ClientRoleChangedById(AnsiView Id) = 0;
    // A reread added a mute or a block of this id; a reread or an expiry removed a mute.
    virtual void MuteClientById(AnsiView Id) = 0;
    virtual void BlockClientById(AnsiView Id) = 0;
    virtual void UnmuteClientById(AnsiView Id) = 0;
    // ---- end of the data lists' group

    // ---- Client context: the connect line's network choice (worker threads: only what does not
    // change after the network was created), the login and state answers and the managers' verdict
    // (timer thread). The UTF-8 name is ListNameUtf8.
    // The name in the 8-bit form the network's clients use.
    virtual AnsiString ClientNameA() const = 0;
    // The message texts of the login answers (MT, MTU); empty when the network gives none.
    virtual AnsiString MessageText() const = 0;
    virtual AnsiString MessageTextUtf8() const = 0;
    // The manager mode in force and the mask of the System Manager links selected and up.
    virtual TZELSystemManagerMode EffectiveManagerMode() const = 0;
    virtual uint32_t ActiveManagersMask() const = 0;
    // MaxSpeechTime in seconds when SpeechLimit is on, else 0.
    virtual int32_t SpeechLimitSeconds() const = 0;
    // ---- end of the client context's group

    // ---- Service tick and service-queue dispatcher (timer thread) ----
    // Each tick call that counted at least one 100 ms step, with the call's time.
    virtual void Tick(uint32_t Now) = 0;
    // The time of the dispatcher's last run with housekeeping: the tick runs it with housekeeping
    // once 500 ms have passed since.
    virtual uint32_t LastRun() const = 0;
    // The command dispatcher: with Housekeeping the last-run time first advances by exactly
    // 500 ms (so the cadence never drifts); every pending command is then taken and run in order,
    // and when there was any the service's flag ZELSVCFlagNetworkActivity is set.
    virtual void ProcessQueue(bool Housekeeping) = 0;
    // Takes Rec over as the last pending command; the pending commands grow as needed. When this
    // raises, Rec stays with the caller.
    virtual void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) = 0;
    virtual int32_t PendingCount() const = 0;
    // What the save snapshots take: the lists (each entry's prepared file line), the two mode
    // switches and the notices.
    virtual const TZELSVCEntryList<TZELSVCMuteBlock>& MuteList() const = 0;
    virtual const TZELSVCEntryList<TZELSVCMuteBlock>& BlockList() const = 0;
    virtual const TZELSVCEntryList<TZELSVCAdmin>& AdminList() const = 0;
    virtual const TZELSVCEntryList<TZELSVCAccess>& RightsList() const = 0;
    virtual bool ConnectionMode() const = 0;
    virtual bool TalkMode() const = 0;
    virtual const TZELSVCNoticeData& Notices() const = 0;
    // Prepares the network's block of a command-channel list answer: the network line, the
    // member count, the client lines and the member lines. The views stay valid until the next
    // call or the next change of the network.
    virtual void PrepareCmdList(TZELCmdListBlock& Block) = 0;
    // ---- end of the tick and dispatcher group
    // ---- System Manager links: what the service reads of the network when it asks a link to
    // authenticate a client or tells it that a client left (timer thread). The link thread never
    // touches the network: it only hands it back with the answer.
    // The links (bits 1, 2, 4 for links 0 to 2) that currently serve the network.
    virtual uint32_t ManagersMask() const = 0;
    // The network's name in the server's character set (the "NT" of a logout line); its UTF-8
    // name is ListNameUtf8().
    virtual AnsiString ManagerNetworkName() const = 0;
    // ---- end of the System Manager links' group

    // ---- Client moves (the service's move codes 28 to 30; timer thread) ----
    // The member with client id Id: 0 found (Client set), 5 the Parrot, 6 absent or closing.
    virtual uint8_t FindActiveClient(AnsiView Id, TZELSVCWrkCtxBase*& Client) = 0;
    // True when a join of Client would pass: room left, not moving out of here, no duplicate, not
    // blocked, and the access check lets it in.
    virtual bool CanAcceptClient(TZELSVCWrkCtxBase* Client) = 0;
    // Client is a member here under its id, with this session number, and not closing.
    virtual bool IsActiveMember(TZELSVCWrkCtxBase* Client, uint32_t Session) = 0;
    // The same, closing or not: the requester of a line it sent, which acts even when the client
    // is leaving (its disconnect comes after its lines).
    virtual bool IsRequestingMember(TZELSVCWrkCtxBase* Client, uint32_t Session) = 0;
    // Takes the member out for a move (it waits in this network's MovingOut for the target).
    virtual void RemoveClient(TZELSVCWrkCtxBase* Client) = 0;
    // The target's join of a moved client: Kind 1 a move (MoveTime seconds, 0 permanent), 2 the
    // way back home.
    virtual void AddMovedClient(TZELSVCWrkCtxBase* Client, int32_t Kind, int32_t MoveTime) = 0;
    // ---- end of the client moves' group
};

// Creates the concrete objects. Installed on the service before Start() (TZELService::SetFactory);
// the service owns it and frees it after every object it made.
class TZELSVCFactory {
public:
    TZELSVCFactory() = default;
    TZELSVCFactory(const TZELSVCFactory&) = delete;
    TZELSVCFactory& operator=(const TZELSVCFactory&) = delete;
    virtual ~TZELSVCFactory();

    // ---- Networks list ----
    // The network for one line of the networks file (or one of the default set).
    virtual std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) = 0;

    // ---- Service dispatcher: workers and connections (timer thread). The defaults make nothing
    // and raise, so that the connection is refused.
    // A worker of Service, not numbered and not started.
    virtual std::unique_ptr<TZELSVCWorkerBase> CreateWorker(TZELService& Service);
    // The context of a new client (code 37) or command (code 36) connection on Handle. The context
    // owns Handle once made; a failure closes Handle and raises.
    virtual std::unique_ptr<TZELSVCWrkCtxBase> CreateClientContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                                   int32_t PeerPort, int32_t Extra);
    virtual std::unique_ptr<TZELSVCWrkCtxBase> CreateCommandContext(TZELService& Service, int Handle, AnsiView PeerText,
                                                                    int32_t PeerPort, int32_t Extra);
    // ---- end of the service dispatcher's group
};

}  // namespace zel
