#include "clients/dmq_zel_svc_context.hpp"

#include <algorithm>
#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "clients/dmq_zel_svc_login_answer.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_sysman_queue.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using DC = TZELSVCDisconnectCause;

// Accept marks by manager mode (row) and answer code (column).
constexpr bool kManagerAccept[4][6] = {
    {true, true, true, true, true, true},
    {true, true, true, true, true, true},
    {true, true, true, false, false, true},
    {true, true, false, false, false, false},
};

char TypeDigit(TZELClientType T) { return static_cast<char>('0' + static_cast<int>(T)); }

// A field of the sort key: the bytes cut or filled with blanks to Width.
void AddFixedWidth(TStringBldA& B, AnsiView S, int32_t Width) {
    const int32_t n = static_cast<int32_t>(std::min(S.size(), static_cast<size_t>(Width)));
    StrBldAAddBuf(B, S.data(), n);
    StrBldAAddChars(B, ' ', Width - n);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Construction.

TZELSVCContext::TZELSVCContext(TZELService* Owner, int32_t Handle, AnsiView PeerText, int32_t ConnValue,
                               int32_t Extra)
    : TZELSVCWrkCtx(Owner, Handle, PeerText, ConnValue, Extra) {
    Tag = ZELWrkCtxTagClient;
    // All three links' records: a client may be asked by every link.
    for (TZELSVCContextManagerInfo& m : ManagerInfo) m = TZELSVCContextManagerInfo{};
    LastActivity = ConnectTick = GetTickMs();
    StrBldAInit(RecvLine, 250);
    StrBldAInit(Answer, 150);
    LogName = u"Client: " + WidenStrU(this->PeerText()) + u" " + WidenStrU(ConnText());
}

TZELSVCContext::~TZELSVCContext() = default;

bool TZELSVCContext::vIsOutputOverLimit(int32_t) const { return false; }

int32_t TZELSVCContext::ClientLogLevel() const noexcept { return Owner ? Owner->LogClientLevel.load(std::memory_order_relaxed) : 0; }

UnicodeString TZELSVCContext::ServerCharset() const { return Owner ? Owner->GetServerCharsetName() : UnicodeString(); }

UnicodeString TZELSVCContext::TextCharset() const { return NetworkCharsetName(Net, ServerCharset()); }

void TZELSVCContext::OpenTextCharset(TAnsiUnicodeConverter& Converter) const {
    OpenClientCharset(Converter, TextCharset());
}

UnicodeString TZELSVCContext::LogTextOf(AnsiView Bytes) const { return ClientBytesLogText(TextCharset(), Bytes); }

// ---------------------------------------------------------------------------------------------
// Login.

void TZELSVCContext::ParseConnectString(AnsiView Line) {
    TZELConnectLineEnv env;
    env.ServerCharset = ServerCharset();
    if (Owner != nullptr) {
        env.DefaultCountryCharset = Owner->DefaultCountryCharset();
        env.DefaultCountry = Owner->DefaultCountry();
        env.DefaultNetwork = Owner->DefaultNetwork();
        env.Networks = Owner->LoginNetworks();
    }
    env.LogLevel = ClientLogLevel();
    TZELConnectLineReport report;
    ParseConnectLine(Line, env, report);
    SetDisconnectCause(report.Cause);
    for (const TZELConnectLineReport::TLine& l : report.Lines) {
        if (l.Error)
            LogError(l.Text);
        else
            LogText(l.Text);
    }
    if (HandshakeResult == ZELLoginAccepted) BuildListEntries();
}

AnsiView TZELSVCContext::AcceptedWord() const { return LoginAnswerWord(*this); }

void TZELSVCContext::BuildLoginAnswer(TStringBldA& B, bool Accepted, AnsiView AL) {
    BuildLoginAnswerLines(B, *this, Accepted, AL, Owner);
}

void TZELSVCContext::SendAcceptedLogin() {
    const AnsiView word = AcceptedWord();
    BuildLoginAnswer(Answer, true, word);
    vSendLoginAnswer(StrBldAView(Answer));
}

void TZELSVCContext::BuildRefusal(TStringBldA& B, uint8_t Reason) { BuildLoginRefusal(B, *this, Reason, Owner); }

void TZELSVCContext::RefuseHandshake() {
    SetDisconnectCause(LoginRefusalCause(HandshakeResult, Owner));
    BuildRefusal(Answer, HandshakeResult);
    if (Owner) Owner->PostLoginRefused(this, StrBldAView(Answer));
}

bool TZELSVCContext::BuildStateAnswer(TStringBldA& B) { return BuildLoginStateAnswer(B, *this, Owner); }

// ---------------------------------------------------------------------------------------------
// The System Managers' verdict.

bool TZELSVCContext::ManagerAccepts(TZELSystemManagerMode Mode, uint8_t Answer) noexcept {
    const unsigned row = static_cast<unsigned>(Mode);
    return row < 4 && Answer < 6 && kManagerAccept[row][Answer];
}

bool TZELSVCContext::ManagerVerdict(uint8_t& Reason) const {
    if (Net == nullptr || Net->EffectiveManagerMode() == TZELSystemManagerMode::smm_Standalone)
        throw Exception("Manager mode must not be STANDALONE");
    const uint32_t mask = Net->ActiveManagersMask();
    bool any = false;
    uint32_t answered = 0;  // bit n: some selected link answered n
    for (int i = 0; i < 3; ++i) {
        if ((mask & (1u << i)) == 0) continue;
        any = true;
        if (ManagerInfo[i].Accept) return true;
        answered |= 1u << ManagerInfo[i].Answer;
    }
    if (!any) return false;
    for (uint8_t r : {ZELLoginDupl, ZELLoginWrong, ZELLoginBlock, ZELLoginError}) {
        if (answered & (1u << r)) {
            Reason = r;
            return false;
        }
    }
    Reason = 0;
    return false;
}

void TZELSVCContext::ResetManagerAnswers(TZELSystemManagerMode Mode) {
    ManagerAnswerCount = 0;
    for (TZELSVCContextManagerInfo& m : ManagerInfo) {
        m.Session.clear();
        m.Answer = 0;
        m.Accept = ManagerAccepts(Mode, 0);
    }
}

void TZELSVCContext::ClearManagerAnswer(int32_t Link, TZELSystemManagerMode Mode) {
    if (Link < 0 || Link > 2) return;
    TZELSVCContextManagerInfo& m = ManagerInfo[static_cast<size_t>(Link)];
    m.Session.clear();
    m.Answer = 0;
    m.Accept = ManagerAccepts(Mode, 0);
    if (ManagerAnswerCount > 0) --ManagerAnswerCount;
}

void TZELSVCContext::RemarkManagerAnswers(TZELSystemManagerMode Mode) {
    for (TZELSVCContextManagerInfo& m : ManagerInfo) m.Accept = ManagerAccepts(Mode, m.Answer);
}

// ---------------------------------------------------------------------------------------------
// The join preparation.

void TZELSVCContext::FillListClientData(TZELSVCListClientData& D) const {
    const bool utf8 = (ClientFlags.load() & ZELClientUtf8) != 0;
    D.Id = Id;
    D.EMail = EMail;
    D.EMailKey = EMailKey;
    D.NN = Country;
    D.CT = City;
    D.BC = Band;
    D.ON = Callsign;
    D.NN8 = utf8 ? CountryUtf8 : AnsiString();
    D.CT8 = utf8 ? CityUtf8 : AnsiString();
    D.BC8 = utf8 ? BandUtf8 : AnsiString();
    D.ON8 = utf8 ? CallsignUtf8 : AnsiString();
    D.ClientType = static_cast<uint8_t>(ClientType);
    D.Utf8 = utf8 ? 1 : 0;
    D.Privilege = Privilege;
    D.Online = true;
}

void TZELSVCContext::JoinPrepare(TZELServNetwork& N) {
    ListCacheIndex.fill(-1);
    RefreshMarks = 0;
    uint32_t flags = (ClientFlags.load() & 0x78023B3u) | 0x700800u;
    AcceptedFlags &= 0x8CFu;
    TZELSVCListClientData data;
    FillListClientData(data);

    // The role replaces bits 17 to 21 as a whole: OR-ed into the preset rank, an administrator
    // would pass the owners' test.
    uint32_t role;
    const TZELSVCAdmin* admin = nullptr;
    if (Owner != nullptr && !Owner->ServerOwnerSourceId().empty() && Id == Owner->ServerOwnerSourceId()) {
        Privilege = TZELClientPrivilege::clpr_SERVOWNER;
        role = ZELClientRoleOwner | 0x180000u;
    } else if (N.IsNetOwnerId(Id)) {
        Privilege = TZELClientPrivilege::clpr_NETOWNER;
        role = ZELClientRoleOwner | 0x180000u;
    } else if ((admin = N.AdminList().Find(Id)) != nullptr) {
        Privilege = TZELClientPrivilege::clpr_ADMIN;
        role = ZELClientRoleAdmin | 0x280000u;
        if (!admin->EqualsClient(data)) RefreshMarks |= kRefreshAdmin;
    } else {
        Privilege = TZELClientPrivilege::clpr_USER;
        role = 0x300000u;
    }
    flags = (flags & ~ZELClientRoleBits) | role;
    data.Privilege = Privilege;

    HandshakeResult = ZELLoginAccepted;
    bool differs = false;
    const bool blocked = MuteBlockListFindClient(N.BlockList(), data, differs);
    if (blocked && Privilege == TZELClientPrivilege::clpr_USER) {
        ClientFlags.store(flags);
        SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerAdminBlock);
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (blocked && differs) RefreshMarks |= kRefreshBlocked;
    const TZELSVCAccess* right = N.RightsList().Find(EMailKey);
    const bool owner = Privilege >= TZELClientPrivilege::clpr_NETOWNER;
    if (N.ConnectionMode() && right == nullptr && !owner) {
        ClientFlags.store(flags);
        SetDisconnectCause(TZELSVCDisconnectCause::fsdc_ServerAccessDenied);
        HandshakeResult = ZELLoginBlock;
        return;
    }
    if (right != nullptr && !right->EqualsClient(data)) RefreshMarks |= kRefreshRights;

    differs = false;
    if (MuteBlockListFindClient(N.MuteList(), data, differs)) {
        flags |= ZELClientMuted;
        if (differs) RefreshMarks |= kRefreshMuted;
    }
    const bool mayTalk = owner || !N.TalkMode() || (right != nullptr && right->Data.Mark != 0);
    if (mayTalk)
        flags &= ~ZELClientListenOnly;
    else
        flags |= ZELClientListenOnly;

    const TZELSVCNetworkOptions& o = N.NetworkOptions();
    if ((RequestedFlags & ZELExtShortFrames) && o.ShortFrames) {
        flags |= 0x4000u;
        AcceptedFlags |= ZELExtShortFrames;
    }
    if ((RequestedFlags & ZELExtTempMuteBlock) && o.TempMuteBlock && Privilege > TZELClientPrivilege::clpr_USER)
        AcceptedFlags |= ZELExtTempMuteBlock;
    if (RequestedFlags & ZELExtNetChangeInfo) AcceptedFlags |= ZELExtNetChangeInfo;
    if ((RequestedFlags & ZELExtMoveClient) && owner) AcceptedFlags |= ZELExtMoveClient;
    ClientFlags.store(flags);
    WriteEntryStatus();

    ManagerConnectText.clear();
    // Also in STANDALONE: a link that comes up, or a mode set later, asks the managers about the
    // clients already in.
    {
        TStringBldA b;
        StrBldAAdd(b, "CC:");
        StrBldAAddElement(b, "EA", EMail);
        StrBldAAddElement(b, "PW", Password);
        StrBldAAddElement(b, "ON", Callsign);
        StrBldAAddElementChar(b, "CL", TypeDigit(ClientType));
        StrBldAAddElement(b, "BC", Band);
        StrBldAAddElement(b, "NN", Country);
        StrBldAAddElement(b, "CT", City);
        StrBldAAddElement(b, "DS", Description);
        StrBldAAddElement(b, "NT", N.ManagerNetworkName());
        ManagerConnectText = StrBldAToStr(b);
    }
    if (Privilege == TZELClientPrivilege::clpr_SERVOWNER && Owner != nullptr &&
        Owner->OwnerDiffers(Callsign, CallsignUtf8))
        RefreshMarks |= kRefreshOwner;
}

void TZELSVCContext::ManagerScriptTexts(std::array<UnicodeString, 8>& Texts) const {
    Texts[smst_EMail] = EMailU;
    Texts[smst_Callsign] = CallsignU;
    Texts[smst_Band] = BandU;
    Texts[smst_City] = CityU;
    Texts[smst_Country] = CountryU;
    Texts[smst_Description] = DescriptionU;
    Texts[smst_Id] = WidenStrU(Id);
    Texts[smst_Network].clear();
    if (Net == nullptr) return;
    if ((ClientFlags.load() & ZELClientUtf8) != 0) {
        Texts[smst_Network] = DecodeUtf8U(Net->ListNameUtf8());
        return;
    }
    TAnsiUnicodeConverter conv;
    OpenTextCharset(conv);
    Texts[smst_Network] = conv.ToUnicodeReplacing(Net->ManagerNetworkName());
}

// ---------------------------------------------------------------------------------------------
// Client-list entries.

void TZELSVCContext::BuildListEntries() { MakeListEntries(false); }

void TZELSVCContext::MakeListEntries(bool KeptTexts) {
    const uint32_t flags = ClientFlags.load();
    const char type = TypeDigit(ClientType);
    TStringBldA b;
    StrBldAInit(b, 200);

    StrBldAAddElementChar(b, "S", '0');
    StrBldAAddElementChar(b, "M", '0');
    StrBldAAddElement(b, "NN", Country);
    StrBldAAddElement(b, "CT", City);
    StrBldAAddElement(b, "BC", Band);
    StrBldAAddElementChar(b, "CL", type);
    StrBldAAddElement(b, "ON", Callsign);
    StrBldAAddElement(b, "ID", Id);
    StrBldAAddElementLn(b, "DS", Description);
    ClassicEntry = StrBldAToStr(b);
    WriteEntryStatus();

    const auto compact = [&](uint8_t Head, const AnsiString& Co, const AnsiString& Ci, const AnsiString& Ba,
                             const AnsiString& Ca, const AnsiString& De) {
        StrBldAReset(b);
        StrBldAAddHexByte(b, Head);
        StrBldAAddTLV(b, '5', Co);
        StrBldAAddTLV(b, '6', Ci);
        StrBldAAddTLV(b, '3', Ba);
        StrBldAAddTLV(b, '2', Ca);
        StrBldAAddTLV(b, '8', Id);
        StrBldAAddTLV(b, '4', De);
        StrBldAAddCRLF(b);
        return StrBldAToStr(b);
    };
    CompactEntry = compact(static_cast<uint8_t>(flags & 63), Country, City, Band, Callsign, Description);
    ManagerUtf8Text.clear();
    if ((flags & ZELClientUtf8) == 0 && KeptTexts) {
        // The texts as read where the client logged in: the 8-bit forms of this network may have
        // lost characters that its set lacks.
        CompactEntryUtf8 = compact(static_cast<uint8_t>(flags & 63), UnicodeToUtf8A(CountryU), UnicodeToUtf8A(CityU),
                                   UnicodeToUtf8A(BandU), UnicodeToUtf8A(CallsignU), UnicodeToUtf8A(DescriptionU));
    } else if ((flags & ZELClientUtf8) == 0) {
        // A UTF-8 member never receives bytes that are not UTF-8: the 8-bit texts as the
        // network's character set reads them, a byte that does not convert as "?".
        TAnsiUnicodeConverter conv;
        OpenTextCharset(conv);
        const auto utf8 = [&conv](const AnsiString& S) { return UnicodeToUtf8A(conv.ToUnicodeReplacing(S)); };
        CompactEntryUtf8 = compact(static_cast<uint8_t>(flags & 63), utf8(Country), utf8(City), utf8(Band),
                                   utf8(Callsign), utf8(Description));
    } else {
        CompactEntryUtf8 = compact(static_cast<uint8_t>(flags & 191), CountryUtf8, CityUtf8, BandUtf8, CallsignUtf8,
                                   DescriptionUtf8);
        StrBldAReset(b);
        StrBldAAdd(b, "<U8TF>");
        StrBldAAddChar(b, type);
        StrBldAAddTLV(b, '0', EMailUtf8);
        StrBldAAddTLV(b, '1', PasswordUtf8);
        StrBldAAddTLV(b, '2', CallsignUtf8);
        StrBldAAddTLV(b, '3', BandUtf8);
        StrBldAAddTLV(b, '4', DescriptionUtf8);
        StrBldAAddTLV(b, '5', CountryUtf8);
        StrBldAAddTLV(b, '6', CityUtf8);
        StrBldAAdd(b, "</U8TF>");
        ManagerUtf8Text = StrBldAToStr(b);
    }

    StrBldAReset(b);
    StrBldAAddChar(b, type);
    AddFixedWidth(b, Country, 19);
    AddFixedWidth(b, City, 20);
    AddFixedWidth(b, Callsign, 28);
    AddFixedWidth(b, Band, 20);
    // Big-endian, so that equal texts order by the context's number.
    const uint32_t n = Number();
    const char number[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                            static_cast<char>(n)};
    StrBldAAddBuf(b, number, 4);
    SortKey = BufToSortKeyA(b.Buf(), b.Len());
}

void TZELSVCContext::RemakeNetworkTexts() {
    // The client's texts stay what it sent (its UTF-8 part's, else its 8-bit texts as read where it
    // logged in): only their 8-bit forms become this network's. Reading the old bytes in the new
    // set would give the members garbage.
    TAnsiUnicodeConverter conv;
    OpenTextCharset(conv);
    EncodeTextsFor(conv);
    MakeListEntries(true);
}

void TZELSVCContext::WriteEntryStatus() {
    if (ClassicEntry.size() <= static_cast<size_t>(ZELEntryMutedPos)) return;
    const uint32_t flags = ClientFlags.load();
    const uint32_t status = (flags & ZELClientStatusMask) + ((flags & ZELClientListenOnly) ? 5 : 0);
    ClassicEntry[ZELEntryStatusPos] = static_cast<char>('0' + status);
    ClassicEntry[ZELEntryMutedPos] = (flags & ZELClientMuted) ? '1' : '0';
}

// ---------------------------------------------------------------------------------------------
// Log lines.

void TZELSVCContext::AddLogDescription(TStringBldU& B) const {
    // The client's own texts may hold C1 controls and DEL: escaped, as in every other line.
    const auto add = [&B](UnicodeView Key, UnicodeView Value) {
        if (Value.empty()) return;
        StrBldUAdd(B, Key);
        StrBldUAdd(B, EscapeLogTextU(Value));
        StrBldUAddChar(B, u'`');
    };
    add(u" EMail=`", EMailU);
    add(u" Call=`", CallsignU);
    add(u" Net=`", Net ? UnicodeView(Net->NetworkName()) : UnicodeView(NetworkU));
    for (int i = 0; i < 3; ++i) {
        if (ManagerInfo[i].Session.empty()) continue;
        const char16_t key[] = {u' ', u'M', u'I', u'D', static_cast<char16_t>(u'0' + i), u'=', u'`', 0};
        add(key, WidenStrU(ManagerInfo[i].Session));
    }
    add(u" SID=`", WidenStrU(Id));
    add(u" City=`", CityU);
    add(u" Band=`", BandU);
    add(u" Descr=`", DescriptionU);
    add(u" Country=`", CountryU);
    if (Privilege != TZELClientPrivilege::clpr_USER) {
        StrBldUAdd(B, u" Priv=");
        StrBldUAdd(B, ClientPrivilegeText(Privilege));
    }
    const uint32_t flags = ClientFlags.load();
    const auto option = [&B](bool Set, UnicodeView Name) {
        if (!Set) return;
        StrBldUAddChar(B, u' ');
        StrBldUAdd(B, Name);
    };
    option(flags & ZELClientListenOnly, u"ListenOnly");
    option(AcceptedFlags & ZELExtUtf8, u"UTF8");
    option(AcceptedFlags & ZELExtSoundAck, u"SoundAck");
    StrBldUAdd(B, u" ListFormat=");
    StrBldUAdd(B, ZELProtoListFormatTexts[AcceptedFlags & ZELExtListFormat]);
    option(AcceptedFlags & ZELExtShortFrames, u"ShortFrames");
    option(AcceptedFlags & ZELExtCompressList, u"CompressList");
    option(AcceptedFlags & ZELExtSpeakerInfo, u"SpeakerInfo");
    option(AcceptedFlags & ZELExtTempMuteBlock, u"TempMuteBlock");
    option(AcceptedFlags & ZELExtNetChangeInfo, u"NetChangeInfo");
    option(AcceptedFlags & ZELExtMoveClient, u"MoveClient");
    option(AcceptedFlags & ZELExtCacheList, u"CacheList");
}

UnicodeString TZELSVCContext::DisconnectLogLine() const {
    TStringBldU b;
    StrBldUInit(b, 200);
    StrBldUAdd(b, LogName);
    StrBldUAddChar(b, u' ');
    StrBldUAdd(b, DisconnectCauseInfo(Cause()).Text);
    if (Cause() == DC::fsdc_ClientWrongCommand) {
        StrBldUAdd(b, u" WRONG_CMD=`");
        StrBldUAdd(b, LastErrorText);
        StrBldUAddChar(b, u'`');
    }
    if (HasCauseText()) {
        StrBldUAdd(b, u" ERROR_TEXT=`");
        StrBldUAddEscapedA(b, CauseText());
        StrBldUAddChar(b, u'`');
    }
    return StrBldUToStr(b);
}

UnicodeString TZELSVCContext::ActionLogLine(const TZELSVCContext& Actor, UnicodeView Action) const {
    TStringBldU b;
    StrBldUInit(b, 300);
    StrBldUAdd(b, LogName);
    StrBldUAdd(b, Action);
    StrBldUAdd(b, u": by=");
    StrBldUAdd(b, ClientPrivilegeText(Actor.Privilege));
    StrBldUAdd(b, u" byCall=`");
    StrBldUAdd(b, EscapeLogTextU(Actor.CallsignU));
    StrBldUAdd(b, u"` byEMail=`");
    StrBldUAdd(b, EscapeLogTextU(Actor.EMailU));
    StrBldUAddChar(b, u'`');
    AddLogDescription(b);
    return StrBldUToStr(b);
}

// ---------------------------------------------------------------------------------------------
// Operating lines: the client commands.

bool TZELSVCContext::ParseCommandLine(AnsiView Line, TZELClientLine& Out) {
    TZELClientCommandSender sender;
    sender.Privilege = Privilege;
    sender.Extensions = AcceptedFlags.load();
    sender.NetOwner = (ClientFlags.load() & ZELClientRoleMask) == ZELClientRoleOwner;
    sender.Id = Id;
    sender.Charset = TextCharset();
    TZELClientCommandRefusal refusal;
    if (ParseClientCommandLine(Line, sender, Out, refusal)) return true;
    SetDisconnectCause(refusal.Cause);
    if (refusal.HasText) LastErrorText = std::move(refusal.Text);
    return false;
}

bool TZELSVCContext::DispatchCommandLine(AnsiView Line) {
    TZELClientLine l;
    if (!ParseCommandLine(Line, l)) return false;
    if (Owner == nullptr) return true;
    if (l.Kind == TZELClientLine::clk_Move) {
        // A network that is not there asks for nothing.
        const TZELNetworksList* nets = Owner->LoginNetworks();
        TZELSVCNetworkBase* target = nets != nullptr ? nets->Find(DecodeUtf8U(l.Text2)) : nullptr;
        if (target != nullptr) Owner->PostClientMoveRequest(this, target, l.Text1, l.Value);
        return true;
    }
    TZELSVCClientCommandArgs a;
    a.Text1 = l.Text1;
    a.Text2 = l.Text2;
    a.Text3 = l.Text3;
    a.Value1 = l.Value;
    Owner->PostClientCommand(l.Code, this, a);
    return true;
}

}  // namespace zel
