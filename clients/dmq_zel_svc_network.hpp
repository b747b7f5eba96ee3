#pragma once
// TZELServNetwork: one network (room). It takes the client contexts that finished their
// handshake, checks them, lets them wait for the System Managers' verdicts and a quarantine where
// the options ask for it, makes them members, keeps its indexes free of duplicates, moves clients
// in and out, and removes them again; its command dispatcher runs the records the service hands
// it.
//
// Threads: only the timer thread uses a network, without locks (the service start installs the
// first lists before the timer runs). A context is reached only through its flags word, the send
// operations, SetDisconnectCause, AbortWithCause and RequestFlush.
//
// Membership: outside the indexes and ListedMembers a context is in exactly one group, the one its
// state byte names (CheckGroups proves it). Removal is two-step: a drop takes a member out of
// Members at once (Aborted); every context is freed only after its disconnect (code 40), at the
// next housekeeping, which lowers the service's connection count once.
#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "clients/dmq_zel_svc_floor.hpp"
#include "clients/dmq_zel_svc_member_lists.hpp"
#include "clients/dmq_zel_svc_speaker_cache.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_list_base.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"

namespace zel {

class TZELService;
class TZELSVCContext;
class TZELSVCContextParrot;
enum class TZELNetClientState : uint8_t;

// Dirty bits of a network (read by the housekeeping).
inline constexpr uint32_t ZELNetDirtyMembers = 0x1;
inline constexpr uint32_t ZELNetDirtyStatus = 0x2;
inline constexpr uint32_t ZELNetDirtyEntry = 0x4;
inline constexpr uint32_t ZELNetDirtyMutes = 0x8;
inline constexpr uint32_t ZELNetDirtyBlocks = 0x20;
inline constexpr uint32_t ZELNetDirtyAdmins = 0x80;
inline constexpr uint32_t ZELNetDirtyModes = 0x200;
inline constexpr uint32_t ZELNetDirtyRights = 0x800;
inline constexpr uint32_t ZELNetDirtyNotices = 0x2000;
inline constexpr uint32_t ZELNetDirtyHousekeep = 0x40000;
// What a member-list publication clears: members, status and entries.
inline constexpr uint32_t ZELNetDirtyMemberLists = ZELNetDirtyMembers | ZELNetDirtyStatus | ZELNetDirtyEntry;

// Answers of FindActiveClient.
inline constexpr uint8_t ZELFindFound = 0;
inline constexpr uint8_t ZELFindParrot = 5;
inline constexpr uint8_t ZELFindAbsent = 6;

// Join kinds of AddClient.
inline constexpr int32_t ZELJoinLogin = 0;
inline constexpr int32_t ZELJoinMove = 1;
inline constexpr int32_t ZELJoinMoveBack = 2;

// One relay: the packet to the members of the packet group, with the speaker texts before it
// (speaker group: the speaker text once per talker; cache group: the cache entry once per position,
// then the position when it changed). A member is in a group when (MemberFlagMask AND its flags
// AND Mask) = Value.
struct TZELNetRelayGroup {
    uint32_t Mask = 0;
    uint32_t Value = 1;  // no member matches: the group is off
};
struct TZELNetRelayRecord {
    TZELSVCContext* Skip = nullptr;
    AnsiView Packet;
    TZELNetRelayGroup Speaker, Cache, Packets;
};

class TZELServNetwork : public TZELSVCNetworkBase {
public:
    // Rec's name (trimmed) and options; the housekeeping clock starts at the service's tick.
    TZELServNetwork(TZELService& Service, const TZELServNetworkRec& Rec);
    // Frees the lists and indexes, and every context still held (the service's tail: no worker
    // is left then).
    ~TZELServNetwork() override;

    // ---- TZELSVCNetworkBase: networks list
    const UnicodeString& NetworkName() const override { return Name_; }
    const TZELSVCNetworkOptions& NetworkOptions() const override { return Options_; }
    void SetLogHooks(TZELSVCLogHook Info, TZELSVCLogHook Error) override;
    // LinksMask: the links the service keeps. None of them selected outside STANDALONE gives the
    // warning; each link serves only while it is up (codes 45, 46): ActiveManagersMask is
    // ManagersMask AND the links up, and without one the network runs as STANDALONE.
    void CheckManagers(uint32_t LinksMask) override;

    // ---- data lists
    AnsiString ListNameUtf8() const override { return NameUtf8_; }
    bool RereadCompareAttr() const override;
    bool LevelMuteBlock() const override { return Options_.LevelMuteBlock; }
    bool ExactMuteBlock() const override { return Options_.ExactMuteBlock; }
    AnsiString ServerId() const override;
    void ClientRoleChangedById(AnsiView Id) override;
    void MuteClientById(AnsiView Id) override;
    void BlockClientById(AnsiView Id) override;
    void UnmuteClientById(AnsiView Id) override;

    // ---- client context
    AnsiString ClientNameA() const override { return NameA_; }
    // The notice texts by AccessInfoMode: ORIGINAL only while a mode switch is on, ALWAYS, NEVER.
    AnsiString MessageText() const override;
    AnsiString MessageTextUtf8() const override;
    TZELSystemManagerMode EffectiveManagerMode() const override { return EffectiveMode_; }
    uint32_t ActiveManagersMask() const override { return ActiveMask_; }
    int32_t SpeechLimitSeconds() const override;

    // ---- tick and dispatcher
    // Ends the pause after a turn once SpeechPause has passed; ticks the Parrot while it pauses
    // or replays.
    void Tick(uint32_t Now) override;
    uint32_t LastRun() const override { return LastRun_; }
    void ProcessQueue(bool Housekeeping) override;
    void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) override { Pending_.Add(std::move(Rec)); }
    int32_t PendingCount() const override { return Pending_.Count(); }
    const TZELSVCMuteBlockList& MuteList() const override { return Mutes_; }
    const TZELSVCMuteBlockList& BlockList() const override { return Blocks_; }
    const TZELSVCAdminList& AdminList() const override { return Admins_; }
    const TZELSVCAccessList& RightsList() const override { return Rights_; }
    bool ConnectionMode() const override { return ConnectionMode_; }
    bool TalkMode() const override { return TalkMode_; }
    const TZELSVCNoticeData& Notices() const override { return Notices_; }
    void PrepareCmdList(TZELCmdListBlock& Block) override;

    // ---- System Manager links
    uint32_t ManagersMask() const override { return ActiveMask_; }
    AnsiString ManagerNetworkName() const override { return NameA_; }

    // ---- moves
    uint8_t FindActiveClient(AnsiView Id, TZELSVCWrkCtxBase*& Client) override;
    bool CanAcceptClient(TZELSVCWrkCtxBase* Client) override;
    bool IsActiveMember(TZELSVCWrkCtxBase* Client, uint32_t Session) override;
    bool IsRequestingMember(TZELSVCWrkCtxBase* Client, uint32_t Session) override;
    void RemoveClient(TZELSVCWrkCtxBase* Client) override;
    void AddMovedClient(TZELSVCWrkCtxBase* Client, int32_t Kind, int32_t MoveTime) override;

    // ---- Membership (timer thread).
    // The join: kind 0 a login (code 38), 1 a move, 2 a move back; MoveTime in seconds.
    void AddClient(TZELSVCContext* Client, int32_t Kind, int32_t MoveTime);
    // The access check: 0 allowed, 1 talk right changed, 2 refused.
    uint8_t MemberCanStay(TZELSVCContext* Client);
    // Code 55 (and a move in STANDALONE): out of Newbies into Quarantine or Approved.
    void ClientReady(TZELSVCContext* Client);
    // The refusal login answer of kind Kind, cause first-wins, into DeleteHold.
    void Refuse(TZELSVCContext* Client, uint8_t Kind, TZELSVCDisconnectCause Cause);
    // The Parrot's join: into the indexes and Members without a login.
    void ParrotJoin(TZELSVCContext* Parrot);
    // Code 40: the client's worker let go of it; it goes to DisposeHold.
    void ClientDisconnected(TZELSVCContext* Client);
    // Kick all (codes 81, 82).
    void KickAll(TZELSVCDisconnectCause Cause);
    // Changes a mode switch; true when it changed (the access check then runs over the clients).
    bool SetConnectionMode(bool On);
    bool SetTalkMode(bool On);

    // Housekeeping steps.
    void PromoteQuarantined();
    void AdmitApproved();
    void CountSessionTime();

    // The network's own appends.
    void PostKickAllStopped();
    void PostKickAllByOwner();
    void PostFlagSet(int32_t Value);
    void PostFlagClear(int32_t Value);
    void PostLinkUp(int32_t Index);
    void PostLinkDown(int32_t Index);

    // ---- Floor, relay and member lists (timer thread).
    // The floor to Client when nobody talks, no pause runs, and it is a member past its join.
    bool GrantFloor(TZELSVCContext* Client);
    // Only for the talker: pending short frames go out, the pause starts; the former talker (or
    // null when Client did not hold the floor).
    TZELSVCContext* ReleaseFloor(TZELSVCContext* Client);
    // The one-byte packet 0 to every member not closing, Skip excepted.
    void SendFloorFree(TZELSVCContext* Skip);
    void SendToMembers(const TZELNetRelayRecord& R);
    void RelayToMembers(const TZELNetRelayRecord& R);
    TZELSVCContext* Talker() const noexcept { return Floor_.Talker(); }
    // The network's own Parrot (ParrotEnable), or null.
    TZELSVCContextParrot* ParrotBot() const noexcept { return ParrotBot_.get(); }
    bool PauseActive() const noexcept { return Floor_.PauseActive(); }
    uint32_t MemberFlagMask() const noexcept { return Floor_.MemberFlagMask(); }
    int32_t OutputLimit() const noexcept { return Lists_.OutputLimit(); }
    // The members as last published, in order (tests).
    std::vector<const TZELSVCContext*> ListedOrder() const { return Lists_.ListedOrder(); }

    // ---- Inspection (tests and the command channel; timer thread).
    // "" when every context is in exactly the group its state byte names and the indexes match
    // the groups; else what is wrong.
    std::string CheckGroups() const;
    int32_t MemberCount() const noexcept { return static_cast<int32_t>(Members_.size()); }
    // Members last published that are still members.
    int32_t ListedCount() const noexcept { return Lists_.ListedCount(); }
    // Contexts held in any group (the holds included).
    int32_t HeldCount() const noexcept;
    int32_t GroupCount(TZELNetClientState State) const noexcept;
    bool Stopped() const noexcept { return Stopped_; }
    uint32_t Dirty() const noexcept { return Dirty_; }
    // The log level of the network's client events (logins, moves in, System Manager answers,
    // disconnects): its own LogClientLevel, else the server's.
    int32_t ClientLogLevel() const noexcept;
    // The client with this id in the id index (any state), or null.
    TZELSVCContext* ClientById(AnsiView Id) const;
    // The member with this id (not closing), or null.
    TZELSVCContext* MemberById(AnsiView Id) const;
    // The client with this id (not closing) from its admission on: a member, or one on its way in
    // (AwaitingAuth, Newbies, Quarantine, Approved); else null.
    TZELSVCContext* AdmittedById(AnsiView Id) const;
    bool IsNetOwnerId(AnsiView Id) const;
    TZELService& Service() const noexcept { return S_; }
    uint32_t Now() const noexcept { return Now_; }

private:
    using TGroup = std::vector<TZELSVCContext*>;
    using TRecordList = std::vector<std::unique_ptr<TZELSVCNetQueueRecord>>;

    TGroup* GroupOf(TZELNetClientState State);
    const TGroup* GroupOf(TZELNetClientState State) const;
    void Enter(TZELSVCContext* C, TZELNetClientState State);
    // Out of the group its state byte names (state none afterwards).
    void Leave(TZELSVCContext* C);
    void Dispose(TZELSVCContext* C);
    void DeleteHold(TZELSVCContext* C, TZELSVCDisconnectCause Cause);
    // The one exit routine: out of Members (dirty 0x1), the request queues and the floor, and the
    // System Manager sessions closed.
    void ExitMembers(TZELSVCContext* C);
    // A member dropped by the network: exit, Aborted, aborted with Cause.
    void DropMember(TZELSVCContext* C, TZELSVCDisconnectCause Cause);
    // Any client of the network dropped with Cause: a member as above, the others into DeleteHold.
    void DropClient(TZELSVCContext* C, TZELSVCDisconnectCause Cause);
    void CleanIndexes(TZELSVCContext* C);
    void Approve(TZELSVCContext* C);
    void ProcessAccessModes();
    void Housekeeping(bool Full);
    void RunRecord(TZELSVCNetQueueRecord& Rec);
    // Codes 56 to 61; false for another code.
    bool RunFloorRecord(TZELSVCNetQueueCommand Code, TZELSVCContext& C, TZELSVCNetQueueRecord& Rec);
    void InstallRecord(TZELSVCNetQueueRecord& Rec);
    // Code 44: one System Manager's answer on a client; the verdict once every active one answered.
    void ManagerAnswer(TZELSVCNetQueueRecord& Rec);
    // Codes 45 and 46: a link came up (the clients are sent to it) or went down (its answers go,
    // and the clients waiting for it are judged by the links still up).
    void LinkChanged(int32_t Link, bool Up);
    // The mask, count and mode from the links up and the mode in force, and what a change of the
    // mode asks: the fall to STANDALONE releases AwaitingAuth, another mode judges every client
    // anew and asks the links for those never asked.
    void UpdateManagers();
    // The warning when a manager mode falls to STANDALONE for want of a link that is up (once per
    // fall), and a line when a link ends the fall.
    void NoteStandaloneFall();
    void ReleaseAwaiting();
    void RejudgeClients();
    // The clients the managers judge: the members but the Parrot, then Quarantine, Newbies,
    // Approved and AwaitingAuth (a copy: judging changes the groups).
    std::vector<TZELSVCContext*> ManagedClients() const;
    // Every client not asked yet is sent to the links in Links.
    void AskLinks(uint32_t Links);
    // Every link of ActiveManagersMask answered C (and there is one).
    bool AllAnswered(const TZELSVCContext* C) const;
    // The verdict on C from its answers, by the group it is in.
    void TakeVerdict(TZELSVCContext* C);
    TZELSVCContext* FindWaiting(const void* Client) const;
    void AppendOwn(TZELSVCNetQueueCommand Code, int32_t Value);
    void LogClient(TZELSVCContext* C, UnicodeView Text, bool Description);
    void LogError(UnicodeView Text);
    int32_t ClientCount() const noexcept;
    TZELSVCContext* AsClient(TZELSVCWrkCtxBase* C) const;
    void FreeAll() noexcept;

    // ---- Floor, relay and member lists.
    // The shared text builder and the first output limit.
    void InitFloor();
    // A released turn: the talker loses the floor and every member hears the packet 0.
    void ReleaseAndFree(TZELSVCContext* C);
    // The turn's limits on a talker (not the Parrot): false when it lost the floor (released at
    // the limit, or aborted for a silence beyond the activity time-out).
    bool SpeechCheck(TZELSVCContext* C);
    void RequestFloor(TZELSVCContext* C);
    void StopTalking(TZELSVCContext* C);
    void SetStatus(TZELSVCContext* C, int32_t Status);
    void VoiceBlock(TZELSVCContext* C, AnsiString& Block);
    void ShortBlock(TZELSVCContext* C, AnsiString& Block);
    void RelayBlock(TZELSVCContext* C, AnsiString& Block, char Type, uint32_t ShortBit);
    // The collected short frames, padded with silence, as one voice packet to the others.
    void SendCollector();
    void PutIndex(char* P, uint16_t Index) const noexcept;
    uint16_t TalkerIndex() const noexcept;
    // A speaker-cache position for C (most recent), and the cache texts its own.
    void CacheTouch(TZELSVCContext* C) { Cache_.Touch(*C); }
    // The speaker cache's freed hook: Pos out of every caching member's bitmap.
    void ClearCacheBit(int32_t Pos);
    void FloorHousekeeping();
    // Member lists (TZELNetMemberLists): the difference merge and its dirty bits; the lists to the
    // members of each form.
    void MemberListDiff();
    void SendMemberLists();

    TStringBldA TextBld_;
    TStringBldA CmdMemberBld_;
    // The client and member lines of the command channel's list answer, in list order.
    void PrepareCmdMembers(TZELCmdListBlock& Block);
    // Housekeeping step 8: the changed lists to every member that may see them, else to the
    // newly approved and the list's queue.
    void SendListPackets(const std::vector<TZELSVCContext*>& Approved);

    // ---- Commands: list changes, switches, notices and the command port's requests (codes 13 to
    // 20, 26, 27, 35) and the client commands (62 to 80).
    // Lists by their request queue: mutes, blocks, administrators, modes, rights, notices.
    enum TListKind : int { lkMutes, lkBlocks, lkAdmins, lkModes, lkRights, lkNotices };
    void RunCommandPort(TZELSVCNetQueueRecord& Rec);
    // The requester gets the list at the next housekeeping, changed or not.
    void QueueListRequest(TZELSVCContext* C, TListKind List);
    // The list's changed bit in the network and in the service (whose tick saves it).
    void MarkListChanged(TListKind List);
    // The server as the author of a command-port change: its own id at level 3.
    TZELSVCListClientData ServerSetter() const;
    // The online target's values (AdmittedById), else its id alone; the client or null.
    TZELSVCContext* ListTarget(AnsiView Id, TZELSVCListClientData& Data) const;
    bool IsServerOwnerId(AnsiView Id) const;
    void AddMute(const TZELSVCListClientData& Setter, AnsiView Id, int32_t Duration);
    void RemoveMute(AnsiView Id, AnsiView RequesterId, uint8_t Level);
    void AddBlock(const TZELSVCListClientData& Setter, AnsiView Id, int32_t Duration);
    void RemoveBlock(AnsiView Id, AnsiView RequesterId, uint8_t Level);
    // Requester null for the command port (no log line then).
    void AddAdmin(TZELSVCContext* Requester, AnsiView Id);
    void RemoveAdmin(AnsiView Id);
    // By e-mail (the rights list is keyed by its padded form).
    void AddRight(AnsiView EMail);
    void RemoveRight(AnsiView EMail);
    void MarkRight(AnsiView EMail, bool Mark);
    // Both texts trimmed; true when either differs (then both are taken).
    bool SetNotices(AnsiView Notice1, AnsiView Notice2);
    // Codes 19, 20, 70 to 73: a change sets dirty 0xA00 and the service's modes bit.
    void SwitchChanged();
    // Codes 26 (ServerWide: only without a ManagerMode of the network's own) and 27: the mode in
    // force, the configured one included; clients that no longer qualify are dropped.
    void SetManagerMode(int32_t Mode, bool ServerWide);
    // Code 35: the client with Id aborted by the owner; false when none.
    bool DisconnectById(AnsiView Id);
    // Codes 62 to 80 from a member (a requester no longer a member asks for nothing).
    void RunClientCommand(TZELSVCNetQueueRecord& Rec);
    // A client command of an Approved client is kept (true; Rec taken) until the client is a
    // member; at most kMaxDeferredLines a client, the lines over it are dropped.
    bool DeferClientCommand(std::unique_ptr<TZELSVCNetQueueRecord>& Rec);
    // After the admission: the kept lines of the new members, in order; the lines of clients
    // that left on their way in are dropped (logged) while their contexts still exist.
    TRecordList SettleDeferred();
    void RunDeferred(TRecordList& Lines);
    // Codes 62, 63: a private text to one member (neither joining nor closing) or a text to all.
    void TextMessage(TZELSVCContext* Sender, const TZELSVCNetQueueRecord& Rec);
    // Whether Target's speaker cache holds Sender (no position: not held).
    bool SenderCached(const TZELSVCContext* Target, const TZELSVCContext* Sender) const;

    TZELService& S_;
    UnicodeString Name_;
    AnsiString NameA_;
    AnsiString NameUtf8_;
    TZELSVCNetworkOptions Options_;
    std::vector<AnsiString> OwnerIds_;
    int32_t OwnLogLevel_ = -1;  // -1: the server's level
    TZELSVCLogHook Info_;
    TZELSVCLogHook Error_;

    // The floor and the speaker cache (after Options_, which the floor reads).
    TZELNetFloor Floor_{Options_};
    TZELNetSpeakerCache Cache_{[this](int32_t Pos) { ClearCacheBit(Pos); },
                               [](TStringBldA& B, const TZELSVCContext& C) { AddCompactEntry(B, &C); }};
    // The Parrot that joined (ParrotJoin), and the one the network made and owns (ParrotEnable).
    TZELSVCContext* Parrot_ = nullptr;
    std::unique_ptr<TZELSVCContextParrot> ParrotBot_;

    // Groups.
    // The members as last published (a member that left stays a null slot until the next list),
    // the list texts and the output limit.
    TZELNetMemberLists Lists_;
    std::map<AnsiString, TZELSVCContext*, TZELNetSortKeyLess> Members_;  // in list order
    std::map<AnsiString, TZELSVCContext*> IdIndex_;
    std::map<AnsiString, TZELSVCContext*> CallsignIndex_;
    TGroup AwaitingAuth_, Newbies_, Approved_, Quarantine_, Aborted_, DeleteHold_, DisposeHold_, MovingOut_;
    // The contexts a manager's verdict may name (AwaitingAuth_, Newbies_, Quarantine_, Approved_,
    // Members_), by address: a verdict is matched without walking the groups.
    std::unordered_set<const TZELSVCContext*> Answerable_;
    // Clients that asked for a list: mutes, blocks, administrators, modes, rights, notices.
    std::vector<TZELSVCContext*> Requests_[6];

    TZELSVCPendingCommands Pending_;
    // Client commands of clients admitted but not yet members (Approved), in arrival order: they
    // run once their senders are members, after the housekeeping that published them.
    TRecordList Deferred_;

    TZELSVCAdminList Admins_;
    TZELSVCMuteBlockList Mutes_;
    TZELSVCMuteBlockList Blocks_;
    TZELSVCAccessList Rights_;
    TZELSVCNoticeData Notices_;
    bool ConnectionMode_ = false;
    bool TalkMode_ = false;

    uint32_t ActiveMask_ = 0;
    int32_t ActiveCount_ = 0;
    TZELSystemManagerMode EffectiveMode_ = TZELSystemManagerMode::smm_Standalone;
    // The links that reported up (codes 45, 46), and the mode set by the options or the command
    // port (EffectiveMode_ is STANDALONE while no selected link is up).
    uint32_t LinksUp_ = 0;
    TZELSystemManagerMode ModeInForce_ = TZELSystemManagerMode::smm_Standalone;
    bool FellToStandalone_ = false;  // the warning of the current fall was logged

    uint32_t Now_ = 0;
    uint32_t LastRun_ = 0;
    uint32_t Dirty_ = 0;
    bool Stopped_ = false;
    // A kick all waits for the clients it dropped to be freed before Stopped is cleared.
    bool KickPending_ = false;

    TStringBldA AnswerBld_;
    TStringBldA ListBld_;
    TStringBldA MemberBld_;
};

}  // namespace zel
