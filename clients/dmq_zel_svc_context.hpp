#pragma once
// TZELSVCContext: one client of the voice network, whatever carries it (a socket, or nothing for
// the Parrot). Its login record (identity fields, versions, extension flags, the network asked
// for) and the connect-line parser are TZELClientLoginData (dmq_zel_svc_connect_line), the login
// answers are built by dmq_zel_svc_login_answer and the client commands read by
// dmq_zel_svc_client_commands; the context runs them on its own state and keeps the rest: the
// System Managers' verdict, the join preparation, the client-list entries, the list sort key and
// the log lines that describe the client.
//
// Threads: the connect line is parsed on the worker; from the handshake-done record on, the
// network reads and writes the client on the timer thread. ClientFlags is atomic (both touch it).
#include <array>
#include <atomic>
#include <cstdint>

#include "clients/dmq_zel_svc_client_commands.hpp"
#include "clients/dmq_zel_svc_connect_line.hpp"
#include "clients/dmq_zel_svc_wrkctx.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

class TAnsiUnicodeConverter;
class TZELSVCNetworkBase;
class TZELServNetwork;
struct TZELSVCListClientData;

// ClientFlags bits the network sets.
inline constexpr uint32_t ZELClientLoggedIn = 0x800;
inline constexpr uint32_t ZELClientHoldsFloor = 0x1000;
inline constexpr uint32_t ZELClientRoleMask = 0x60000;  // 0 user, 0x20000 administrator, 0x40000 owner
inline constexpr uint32_t ZELClientRoleAdmin = 0x20000;
inline constexpr uint32_t ZELClientRoleOwner = 0x40000;
inline constexpr uint32_t ZELClientRoleBits = 0x3E0000;  // the role and its rank, bits 17 to 21
inline constexpr uint32_t ZELClientParrot = 0x400;
inline constexpr uint32_t ZELClientJoining = 0x400000;
inline constexpr uint32_t ZELClientChanged = 0x40000000;
inline constexpr uint32_t ZELClientShortFrames = 0x4000;
inline constexpr uint32_t ZELClientEntryChanged = 0x20000000;

// Where a client stands in its network (its state byte): the one group that holds it.
enum class TZELNetClientState : uint8_t {
    ncs_None = 0,         // in no group of a network yet
    ncs_Newbie = 1,       // Newbies: login answer sent, client ready awaited
    ncs_Quarantine = 2,   // Quarantine
    ncs_Approved = 3,     // Approved: a member at the next housekeeping
    ncs_DeleteHold = 4,   // refused or dropped before admission, disconnect awaited
    ncs_Member = 5,       // Members
    ncs_Aborted = 6,      // dropped member, disconnect awaited
    ncs_DisposeHold = 8,  // freed at the next housekeeping
    ncs_AwaitingAuth = 9, // the System Managers' verdicts awaited
    ncs_MovingOut = 10,   // taken out of its origin by a move; the target's join takes it
};

// Positions of the status and the muted digit in the classic list entry ("<S>0</S><M>0</M>...").
inline constexpr int32_t ZELEntryStatusPos = 3;
inline constexpr int32_t ZELEntryMutedPos = 11;

// One System Manager link's part in this client's login.
struct TZELSVCContextManagerInfo {
    AnsiString Session;  // the link's session text; empty: no session
    uint8_t Answer = 0;  // 0 none yet, 1 OK, 2 ERROR, 3 WRONG, 4 BLOCK, 5 DUPL
    bool Accept = false;
};

class TZELSVCContext : public TZELSVCWrkCtx, public TZELClientLoginData {
public:
    TZELSVCContext(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue, int32_t Extra);
    ~TZELSVCContext() override;
    // The network text the client asked for, as before the record stood apart: the field hides
    // the work context base's Network(), which the socket contexts and the Parrot override.
    using TZELClientLoginData::Network;

    // ---- Send operations (the network and the service queue; any thread).
    virtual void vSend(AnsiView Bytes) = 0;
    virtual void vSendNoFlush(AnsiView Bytes) = 0;
    virtual void vSendLoginAnswer(AnsiView Bytes) = 0;
    virtual void vSendAndClose(AnsiView Bytes) = 0;
    virtual bool vIsOutputOverLimit(int32_t Limit) const;

    // ---- Login.
    // The first line after "CT:", without its line end, read by ParseConnectLine: sets ConnectText,
    // the fields and HandshakeResult; a failure also sets the cause (result 0) or leaves it to the
    // refusal. An accepted line builds the list entries.
    void ParseConnectString(AnsiView Line);
    // Into a cleared builder: the client's version line and the tagged answer line. A refusal
    // (Accepted false) first clears every granted extension flag but UTF8.
    void BuildLoginAnswer(TStringBldA& Builder, bool Accepted, AnsiView AL);
    // The network admits the client: the accepted answer by Privilege, queued through
    // vSendLoginAnswer. Raises "Undetected client mode" for an unknown privilege.
    void SendAcceptedLogin();
    // The refusal with reason 2 to 5 (5 is answered BLOCK under DisableDUPL); any other reason
    // raises "Unknown login error".
    void BuildRefusal(TStringBldA& Builder, uint8_t Reason);
    // For HandshakeResult 2 to 5: the cause, the refusal into the answer builder and the
    // login-refused record that carries it. Result 1 raises "TCP_client_error: there is no any
    // error", anything else "Unknown login error".
    void RefuseHandshake();
    // The answer after a change of privilege or network: the byte 0x90 and one line. False (and
    // an empty builder) without a network.
    bool BuildStateAnswer(TStringBldA& Builder);
    // The answer word of the accepted login by Privilege ("OK", "ADMIN", "OWNER", "NETOWNER").
    AnsiView AcceptedWord() const;

    // ---- The System Managers' verdict (timer thread).
    // Accepted: some link selected by the network's active mask marks the client accepted. Not
    // accepted: Reason 5, 3, 4, 2 or 0 by the selected links' answers (DUPL first), unchanged when
    // no link is selected. Raises "Manager mode must not be STANDALONE" in that mode (and without
    // a network).
    bool ManagerVerdict(uint8_t& Reason) const;
    // All three links: no session, no answer, the mark of "no answer yet" under Mode; count 0.
    void ResetManagerAnswers(TZELSystemManagerMode Mode);
    // The same for one link that went down; the count drops by one.
    void ClearManagerAnswer(int32_t Link, TZELSystemManagerMode Mode);
    // Every link's mark again from its answer, under a new mode.
    void RemarkManagerAnswers(TZELSystemManagerMode Mode);
    static bool ManagerAccepts(TZELSystemManagerMode Mode, uint8_t Answer) noexcept;

    // ---- Operating lines: the client commands (any line but keep-alives, blocks and floor lines).
    // What Line asks for; false for a refused line, with the cause (privilege, control bytes) and
    // LastErrorText set.
    bool ParseCommandLine(AnsiView Line, TZELClientLine& Out);
    // Parses and posts the record (or the move request); false for a refused line.
    bool DispatchCommandLine(AnsiView Line);

    // ---- Client-list entries (built by a successful parse).
    void BuildListEntries();
    // The character set of the client's 8-bit texts: its network's (NetworkCharsetName), the
    // server's before it has one.
    UnicodeString TextCharset() const;
    // After a move into a network of another charset: the 8-bit texts made anew from the client's
    // texts in TextCharset (EncodeTextsFor), and the list entries built again, the UTF-8 entry
    // from the client's texts.
    void RemakeNetworkTexts();
    // The status and muted digits of the classic entry again from ClientFlags.
    void WriteEntryStatus();

    // ---- Log lines.
    // " EMail=`...`", ..., " Priv=...", the options; appended.
    void AddLogDescription(TStringBldU& Builder) const;
    // LogName, the cause's log text, the refused command and the disconnect text.
    UnicodeString DisconnectLogLine() const;
    // The target (this client), Action, the actor and its identity, then this client's description.
    UnicodeString ActionLogLine(const TZELSVCContext& Actor, UnicodeView Action) const;
    // Bytes the client sent, for a log line: converted from its TextCharset, then
    // every control character escaped (EscapeLogTextU).
    UnicodeString LogTextOf(AnsiView Bytes) const;

    // ---- Login state beside the login record.
    uint8_t State = 1;  // 1 handshake, 2 login pending, 3 awaiting the KP answer, 0 operating, 4 finished
    uint8_t Phase = 0;  // 0 nothing received, 1 connect prefix seen, 2 closing
    uint32_t LastActivity = 0;
    uint32_t ConnectTick = 0;
    std::array<TZELSVCContextManagerInfo, 3> ManagerInfo{};
    int32_t ManagerAnswerCount = 0;
    // The speaker-cache positions of the member lists (-1: none).
    std::array<int32_t, 5> ListCacheIndex{-1, -1, -1, -1, -1};
    TStringBldA RecvLine;
    TStringBldA Answer;
    // "Client: " + PeerText + " " + ConnText.
    UnicodeString LogName;
    // Why the last line was refused (the disconnect line's WRONG_CMD).
    UnicodeString LastErrorText;

    // ---- Client-list entries and sort key.
    AnsiString ClassicEntry;      // S, M, NN, CT, BC, CL, ON, ID, DS elements, CRLF
    AnsiString CompactEntry;      // flags and items in the server's character set
    AnsiString CompactEntryUtf8;  // from the UTF-8 values; the compact entry without a UTF-8 part
    AnsiString ManagerUtf8Text;   // "<U8TF>...</U8TF>" for the System Manager; empty without a part
    AnsiString SortKey;           // BufToSortKeyA of type, country, city, callsign, band, Number

    // ---- Network membership (timer thread; the network sets them).
    // Join preparation against Network: flags and role, the list marks, the extensions granted, the
    // managers' request text and HandshakeResult (1, or 4 with its cause).
    void JoinPrepare(TZELServNetwork& Network);
    // The client's values as the data lists take them.
    void FillListClientData(TZELSVCListClientData& Data) const;

    TZELNetClientState NetState = TZELNetClientState::ncs_None;
    bool Indexed = false;  // in the network's id index (and callsign index where used)
    bool Moved = false;    // came by a move
    // Its lines the network keeps until it is a member (it is Approved), and those it dropped over
    // the bound.
    int32_t DeferredLines = 0;
    int32_t DeferredDropped = 0;
    uint32_t JoinTime = 0;
    uint32_t QuarantineStart = 0;
    int32_t SessionLeft = 0;   // seconds
    uint32_t LastSecond = 0;   // tick of the last second counted
    // Refresh-the-list-entry marks of the join: the entry's stored values differ from the client's.
    uint8_t RefreshMarks = 0;
    static constexpr uint8_t kRefreshMuted = 0x1, kRefreshBlocked = 0x2, kRefreshAdmin = 0x4, kRefreshRights = 0x8,
                             kRefreshOwner = 0x10;
    TZELSVCNetworkBase* OriginNet = nullptr;  // the network a move took it from
    TZELSVCNetworkBase* HomeNet = nullptr;    // a timed move's home
    int32_t Countdown = 0;                    // seconds left of a timed move
    uint32_t ListCacheBits = 0;
    AnsiString ManagerConnectText;  // "CC:" and the elements for the System Managers
    std::array<uint8_t, 3> LinkStates{};

    // ---- Floor, relay and member lists (timer thread; the network sets them).
    uint16_t ListIndex = 0;          // 1-based place in the list last published (0: not listed)
    int32_t CachePos = -1;           // speaker-cache position (-1: none)
    uint32_t CacheBitmap = 0;        // cache positions this client has been sent
    uint64_t ToldTalkerKey = ~uint64_t(0);  // session and serial of the speaker text last sent
    int32_t ToldPos = -1;            // cache position last told (byte 146)
    int32_t ToldMsgPos = -1;         // cache position last told for a message (byte 147)
    uint64_t ToldMsgKey = ~uint64_t(0);  // session and serial of the message sender text last sent
    uint32_t EntrySerial = 0;        // raised whenever the client's entry changes
    uint32_t FloorStart = 0;
    uint32_t LastVoice = 0;

    // ---- TZELSVCWrkCtxBase: the tick (timed moves) and the System Manager links.
    TZELSVCNetworkBase* HomeNetwork() const override { return HomeNet; }
    int32_t MoveCountdown() const override { return Countdown; }
    void SetMoveCountdown(int32_t N) override { Countdown = N; }
    AnsiString ManagerRequestText() const override { return ManagerConnectText; }
    AnsiString ManagerUtf8Part() const override { return ManagerUtf8Text; }
    // The UTF-8 part's texts where the client sent one (the ...U fields hold them then), else the
    // 8-bit ones; the network is the one the client is in.
    void ManagerScriptTexts(std::array<UnicodeString, 8>& Texts) const override;
    AnsiString ManagerPeerAddress() const override { return PeerText(); }
    AnsiString ManagerClientId() const override { return Id; }
    uint8_t ManagerLinkState(int32_t Index) const override {
        return Index >= 0 && Index < 3 ? LinkStates[static_cast<size_t>(Index)] : 0;
    }
    void SetManagerLinkState(int32_t Index, uint8_t S) override {
        if (Index >= 0 && Index < 3) LinkStates[static_cast<size_t>(Index)] = S;
    }

private:
    int32_t ClientLogLevel() const noexcept;
    // The server's character set (empty without a service: UTF-8).
    UnicodeString ServerCharset() const;
    // Converter set to TextCharset (UTF-8 when none is named).
    void OpenTextCharset(TAnsiUnicodeConverter& Converter) const;
    // The list entries; the UTF-8 entry of a client without a UTF-8 part from its UTF-16 texts when
    // KeptTexts (after a move), else from its 8-bit texts read in TextCharset.
    void MakeListEntries(bool KeptTexts);
};

}  // namespace zel
