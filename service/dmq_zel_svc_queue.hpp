#pragma once
// The service queue: the one channel by which every other thread hands work to the timer thread.
// Each hand-over is one TZELSVCNetQueueRecord; the record owns its payloads and disposes of them
// in its destructor, so a record dropped anywhere (a batch left after an exception, the queue freed
// at shut-down) releases what it carries.
//
// The posters (TZELService::Post...) are defined in dmq_zel_svc_queue.cpp, beside the record.
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/dmq_fifo_ts.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TZELSVCWrkCtxBase;

// One code space shared with the networks' pending arrays: 0 to 54 are the service's own, 55 to
// 83 the client and network codes that the dispatcher forwards to a network.
enum class TZELSVCNetQueueCommand : uint8_t {
    fsnq_InstallAdmins = 0,
    fsnq_InstallMutes = 1,
    fsnq_InstallBlocks = 2,
    fsnq_InstallRights = 3,
    fsnq_InstallModes = 4,
    fsnq_InstallNotices = 5,
    fsnq_DirtyAdmins = 6,
    fsnq_DirtyMutes = 7,
    fsnq_DirtyBlocks = 8,
    fsnq_DirtyRights = 9,
    fsnq_DirtyModes = 10,
    fsnq_DirtyNotices = 11,
    fsnq_DirtyOwner = 12,
    fsnq_CmdMute = 13,
    fsnq_CmdBlock = 14,
    fsnq_CmdAdmin = 15,
    fsnq_CmdRight = 16,
    fsnq_CmdRightMark = 17,
    fsnq_CmdNotice = 18,
    fsnq_CmdConnMode = 19,
    fsnq_CmdTalkMode = 20,
    fsnq_CmdListNetwork = 21,
    fsnq_CmdListAll = 22,
    fsnq_CmdThreads = 23,
    fsnq_CmdFlushData = 24,
    fsnq_Unposted25 = 25,  // no poster; forwarded to the owner's network like the client codes
    fsnq_SetServerManagerMode = 26,
    fsnq_SetNetManagerMode = 27,
    fsnq_MoveClient = 28,
    fsnq_CmdMoveClient = 29,
    fsnq_CountdownExpired = 30,
    fsnq_CommandReply = 31,
    fsnq_Unposted32 = 32,  // as 25
    fsnq_CmdDisconnectManagerByIndex = 33,
    fsnq_CmdDisconnectManagerByAddress = 34,
    fsnq_CmdDisconnect = 35,
    fsnq_NewCommandConnection = 36,
    fsnq_NewClientConnection = 37,
    fsnq_ClientHandshakeDone = 38,
    fsnq_LoginRefused = 39,
    fsnq_ClientDisconnected = 40,
    fsnq_CommandDisconnected = 41,
    // Appended by a network to its own pending commands: set or clear its Stopped flag.
    fsnq_SetStopped = 42,
    fsnq_ClearStopped = 43,
    fsnq_ManagerAuthAnswer = 44,
    fsnq_ManagerLinkUp = 45,
    fsnq_ManagerLinkDown = 46,
    fsnq_CreateWorker = 47,
    fsnq_WorkerClosedContext = 48,
    fsnq_WorkerNoContext = 49,
    fsnq_WorkerHandOverContext = 50,
    fsnq_WorkerWaiting = 51,
    fsnq_WorkerStopped = 52,
    fsnq_ServiceStop = 53,
    fsnq_ServiceTerminate = 54,
    // Posted by a client context about itself (the lines it read, in brackets) and forwarded to
    // its network.
    fsnq_ClientReady = 55,         // login done (the KP answer, or the login answer written)
    fsnq_ClientOperating = 56,     // no poster; the network has the client's output flushed
    fsnq_ClientStatus = 57,        // "ST:"
    fsnq_ClientStopTalking = 58,   // "RX0"
    fsnq_ClientRequestFloor = 59,  // "TX0"
    fsnq_ClientVoiceBlock = 60,    // "TX1" and its block
    fsnq_ClientShortBlock = 61,    // "TX8" and its block
    fsnq_ClientMessage = 62,       // "TM:"
    fsnq_ClientMessageExt = 63,    // "TME:"
    fsnq_ClientMute = 64,          // "MC:"
    fsnq_ClientUnmute = 65,        // "UM:"
    fsnq_ClientBlock = 66,         // "BC:"
    fsnq_ClientUnblock = 67,       // "UC:"
    fsnq_ClientAddAdmin = 68,      // "AA:"
    fsnq_ClientDeleteAdmin = 69,   // "DA:"
    fsnq_ClientConnModeOn = 70,    // "ENA:1"
    fsnq_ClientConnModeOff = 71,   // "ENA:0"
    fsnq_ClientTalkModeOn = 72,    // "TXR:1"
    fsnq_ClientTalkModeOff = 73,   // "TXR:0"
    fsnq_ClientAddRight = 74,      // "AT:"
    fsnq_ClientDeleteRight = 75,   // "DT:"
    fsnq_Unposted76 = 76,          // no poster; a network has no handler for it
    fsnq_ClientMarkRight = 77,     // "ETX:"
    fsnq_ClientUnmarkRight = 78,   // "RTX:"
    fsnq_ClientNotice = 79,        // "AI:"
    fsnq_ClientNoticeUtf8 = 80,    // "AIU:"
    // Appended to a network's pending commands by the network itself or by the dispatcher: drop
    // every client with cause fsdc_ServerStopped (81) or fsdc_ByOwner (82).
    fsnq_KickAllStopped = 81,
    fsnq_KickAllByOwner = 82,
    // The member list is to be rebuilt: appended by the network after a removal, posted by the
    // Parrot when its entry changed.
    fsnq_MemberListChanged = 83
};

// Codes 55 to 83 are the clients' and the networks' own (a client posts the character whose code
// is the number); the dispatcher hands them to the poster's network.
inline constexpr uint8_t ZELSVCFirstNetworkCode = static_cast<uint8_t>(TZELSVCNetQueueCommand::fsnq_ClientReady);
inline constexpr uint8_t ZELSVCLastNetworkCode = static_cast<uint8_t>(TZELSVCNetQueueCommand::fsnq_MemberListChanged);

// One network's entries of a reread list (codes 0 to 5); the lists derive their payloads from it.
class TZELSVCListPayload {
public:
    TZELSVCListPayload() = default;
    TZELSVCListPayload(const TZELSVCListPayload&) = delete;
    TZELSVCListPayload& operator=(const TZELSVCListPayload&) = delete;
    virtual ~TZELSVCListPayload();
};

// One command, created by its poster with every field empty or zero except those it sets.
struct TZELSVCNetQueueRecord {
    TZELSVCNetQueueRecord() = default;
    TZELSVCNetQueueRecord(const TZELSVCNetQueueRecord&) = delete;
    TZELSVCNetQueueRecord& operator=(const TZELSVCNetQueueRecord&) = delete;
    // Codes 36 and 37: closes the socket in Value1 unless a handler took it (TakeSocket).
    ~TZELSVCNetQueueRecord();

    // Codes 36 and 37: hands the socket over to the caller; the record then closes nothing.
    int TakeSocket() noexcept;

    TZELSVCWrkCtxBase* Owner = nullptr;  // the context that posted or that the command concerns; not owned
    void* Obj1 = nullptr;                // a worker or a network, by code; not owned
    void* Obj2 = nullptr;                // the target network or a worker, by code; not owned
    // Codes 0 to 5 as handed to one network: that network's entries.
    std::unique_ptr<TZELSVCListPayload> Payload;
    // Codes 0 to 5 as posted: one entry per network in network-list order.
    std::vector<std::unique_ptr<TZELSVCListPayload>> Objects;
    AnsiString Text1;
    AnsiString Text2;
    AnsiString Text3;
    uint32_t OwnerId = 0;  // Owner's number when the record was posted
    int32_t Value1 = 0;
    int32_t Value2 = 0;
    int32_t Value3 = 0;
    TZELSVCNetQueueCommand Command = TZELSVCNetQueueCommand::fsnq_InstallAdmins;
};

// A network's pending commands: the records forwarded to it and those it appends itself, in order,
// owned until the network runs them. It grows as needed: one batch of the service queue plus the
// network's own appends has no fixed bound.
class TZELSVCPendingCommands {
public:
    using TRecords = std::vector<std::unique_ptr<TZELSVCNetQueueRecord>>;

    // Takes Rec over; when growing raises, Rec stays with the caller.
    void Add(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) { Items_.push_back(std::move(Rec)); }
    int32_t Count() const noexcept { return static_cast<int32_t>(Items_.size()); }
    // Every pending record, in order; none is left pending.
    TRecords TakeAll() noexcept { return std::exchange(Items_, TRecords()); }

private:
    TRecords Items_;
};

// The fields of a client or network command (codes 55 to 83) that its poster sets.
struct TZELSVCClientCommandArgs {
    void* Obj1 = nullptr;
    void* Obj2 = nullptr;
    AnsiView Text1;
    AnsiView Text2;
    AnsiView Text3;
    int32_t Value1 = 0;
    int32_t Value2 = 0;
    int32_t Value3 = 0;
};

// Any thread pushes (and wakes the timer thread); only the timer thread pops.
class TZELSVCServQueue : public TFifoThreadSafe<TZELSVCNetQueueRecord> {
public:
    static constexpr int32_t kBlockSize = 64;

    TZELSVCServQueue() : TFifoThreadSafe(kBlockSize) {}
};

}  // namespace zel
