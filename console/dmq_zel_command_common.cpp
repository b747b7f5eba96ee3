#include "console/dmq_zel_command_common.hpp"

#include <cerrno>
#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using C = TZELConsoleCommand;
using A = TZELChannelCommandAnswer;

TSocketFamily FamilyOf(uint8_t IPVersion) noexcept {
    switch (IPVersion) {
        case 1: return TSocketFamily::SF_IP4;
        case 2: return TSocketFamily::SF_IP6;
        default: return TSocketFamily::SF_Any;
    }
}

bool PreferIPv4Of(const TZELCommandParams& Block) noexcept {
    switch (Block.CommandIPVersion) {
        case 1: return true;
        case 2: return false;
        default: return Block.CommandPreferIPv4;
    }
}

void DropCR(AnsiString& Line) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// One exchange.

TZELCommandCommunicator::TZELCommandCommunicator(const TZELCommandParams& Block)
    : port_(Block.CommandPort), family_(FamilyOf(Block.CommandIPVersion)), waiter_(1), hooks_(waiter_) {
    params_.ManagerConnectTimeout = ZELCmdConnectTimeout;
    params_.ProxyConnectTimeout = ZELCmdConnectTimeout;
    params_.ManagerActivityTimeout = ZELCmdReplyTimeout;
    params_.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_NONE;
    params_.ManagerPreferIPv4 = PreferIPv4Of(Block);
}

int32_t TZELCommandCommunicator::Open() {
    ApplyConnectionParams(socket_, params_);
    hooks_.Install(socket_);
    socket_.Family = family_;
    socket_.RaiseExcept = false;
    socket_.MaxLineLength = ZELCmdMaxAnswerLineLength;
    // The time-out of a read bounds the whole line, not each packet of it.
    socket_.InterPacketTimeout = false;
    socket_.EnableReuse(true);
    socket_.EnableNoDelay(true);
    socket_.SetNonBlockMode(false);
    socket_.ResetLastError();
    socket_.Connect(u"localhost", WidenStrU(std::to_string(port_)));
    return socket_.LastError();
}

int32_t TZELCommandCommunicator::Send(AnsiView Line) {
    socket_.SendString(Line);
    return socket_.LastError();
}

int32_t TZELCommandCommunicator::ReadLine(int32_t Timeout, AnsiString& Line) {
    Line = socket_.RecvTerminated(Timeout, "\n");
    const int32_t error = socket_.LastError();
    if (error != 0) {
        Line.clear();
        return error;
    }
    DropCR(Line);
    return 0;
}

void TZELCommandCommunicator::Close() {
    socket_.CloseSocket();
    hooks_.Release();
}

int32_t TZELCommandCommunicator::ExchangeSimple(AnsiView Line, TZELChannelCommandAnswer& Answer) {
    int32_t error = Open();
    if (error == 0) error = Send(Line);
    if (error == 0) {
        AnsiString answer;
        error = ReadLine(params_.ManagerActivityTimeout, answer);
        // The peer's close before a whole line is the empty answer.
        if (error == ECONNRESET) error = 0;
        if (error == 0) Answer = ReadCmdSimpleAnswer(answer);
    }
    Close();
    return error;
}

int32_t TZELCommandCommunicator::ExchangeList(AnsiView Line, TZELChannelCommandAnswer& Answer,
                                              std::vector<AnsiString>& Lines) {
    Lines.clear();
    int32_t error = Open();
    if (error == 0) error = Send(Line);
    if (error == 0) {
        const int32_t timeout = params_.ManagerActivityTimeout;
        const uint32_t start = GetTickMs();
        AnsiString line;
        int32_t count = 0;
        error = ReadLine(timeout, line);
        if (error == ECONNRESET) error = 0;
        if (error == 0) Answer = ReadCmdCountLine(line, count);
        for (int32_t i = 0; error == 0 && Answer == A::fsca_OK && i < count; ++i) {
            const uint32_t spent = GetTickMs() - start;
            if (spent >= static_cast<uint32_t>(timeout)) {
                Answer = A::fsca_AnswerTimeout;
                break;
            }
            error = ReadLine(timeout - static_cast<int32_t>(spent), line);
            if (error == ETIMEDOUT) {
                // The read had only what was left of the deadline.
                error = 0;
                Answer = A::fsca_AnswerTimeout;
                break;
            }
            if (error == 0) Lines.push_back(std::move(line));
        }
        if (error != 0 || Answer != A::fsca_OK) Lines.clear();
    }
    Close();
    return error;
}

int32_t SendSimpleRequest(const TZELCommandParams& Block, AnsiView Line, TZELChannelCommandAnswer& Answer) {
    TZELCommandCommunicator c(Block);
    return c.ExchangeSimple(Line, Answer);
}

int32_t SendListRequest(const TZELCommandParams& Block, AnsiView Line, TZELChannelCommandAnswer& Answer,
                        std::vector<AnsiString>& Lines) {
    TZELCommandCommunicator c(Block);
    return c.ExchangeList(Line, Answer, Lines);
}

// ---------------------------------------------------------------------------------------------
// Printing.

namespace {

UnicodeString Utf8U(AnsiView s) { return DefaultAnsiToUnicodeU(s); }

// The converter of a network's character set; none (bytes widened one by one) for an empty or
// unknown name, so that one odd network does not cost the listing.
std::unique_ptr<TAnsiUnicodeConverter> NetworkConverter(AnsiView CharsetName) {
    if (TrimA(CharsetName).empty()) return nullptr;
    auto c = std::make_unique<TAnsiUnicodeConverter>();
    try {
        c->SetCharset(Utf8U(CharsetName));
    } catch (const EAnsiUnicodeConverterError&) {
        return nullptr;
    }
    return c;
}

UnicodeString DecodeNetworkText(AnsiView s, TAnsiUnicodeConverter* Converter) {
    return Converter != nullptr ? Converter->ToUnicode(s) : WidenStrU(s);
}

constexpr char16_t VisibleStatusLetters[] = {u'a', u'n', u'g'};
constexpr char16_t ClientTypeLetters[] = {u'C', u'G', u'P'};
constexpr char16_t PrivilegeLetters[] = {u'.', u'A', u'N', u'S'};

UnicodeString FlagsColumn(const TZELClientRec& Rec, const TZELCmdMemberLine& Member) {
    UnicodeString s;
    s += Rec.VisibleStatus < 3 ? VisibleStatusLetters[Rec.VisibleStatus] : u'?';
    s += Rec.ClientType < 3 ? ClientTypeLetters[Rec.ClientType] : u'?';
    s += Rec.Muted != 0 ? u'M' : u'.';
    s += Rec.ListenOnly != 0 ? u'L' : u'.';
    s += PrivilegeLetters[static_cast<uint8_t>(Member.Privilege) & 3];
    s += u'/';
    s += ExtensionFlagsToLetters(Member.ExtensionFlags);
    return s;
}

UnicodeString ManagerIdsColumn(const TZELCmdMemberLine& Member) {
    UnicodeString s;
    for (int i = 0; i < 3; ++i) {
        if (Member.ManagerIds[i].empty()) continue;
        if (!s.empty()) s += u',';
        s += static_cast<char16_t>(u'0' + i);
        s += u'=';
        s += Utf8U(Member.ManagerIds[i]);
    }
    return s;
}

UnicodeString ClientRow(const TZELClientRec& Rec, const TZELCmdMemberLine& Member, const TConsoleListFlags& Flags,
                        char16_t Delimiter, TAnsiUnicodeConverter* NetConverter) {
    UnicodeString s = Rec.Callsign;
    for (const UnicodeString* f : {&Rec.City, &Rec.Band, &Rec.Description, &Rec.Country}) {
        s += Delimiter;
        s += *f;
    }
    const auto add = [&](const UnicodeString& v) {
        s += Delimiter;
        s += v;
    };
    if (Flags.ShowEMails) add(DecodeNetworkText(Member.EMail, NetConverter));
    if (Flags.ShowIPs) add(Utf8U(Member.Address));
    if (Flags.ShowIds) add(Rec.Id);
    if (Flags.ShowManagerIds) add(ManagerIdsColumn(Member));
    if (Flags.ShowProtoFlags) add(FlagsColumn(Rec, Member));
    return s;
}

}  // namespace

UnicodeString ChooseConsoleCharset(TConsoleCharset Selector, UnicodeView Configured) {
    switch (Selector) {
        case TConsoleCharset::ccs_UTF8: return u"UTF-8";
        case TConsoleCharset::ccs_Ansi: return WidenStrU(SystemCharset);
        case TConsoleCharset::ccs_Oem: return WidenStrU(DefaultCharset);
        case TConsoleCharset::ccs_None: break;
    }
    return UnicodeString(Configured);
}

std::unique_ptr<TAnsiUnicodeConverter> MakeConsoleConverter(UnicodeView Name) {
    if (TrimU(Name).empty()) return nullptr;
    auto c = std::make_unique<TAnsiUnicodeConverter>();
    c->SetCharset(Name);
    return c;
}

int ReportCommandResult(TTextFile& Output, int32_t OsError, TZELChannelCommandAnswer Answer, UnicodeView Prefix,
                        TAnsiUnicodeConverter* Converter) {
    UnicodeString text;
    int code = 0;
    if (OsError != 0) {
        text = SockErrorText(OsError, SysCharsetToUnicodeProc(SysErrorText(OsError)));
        code = 16;
    } else if (Answer != A::fsca_OK) {
        const TZELChannelCommandAnswerRec& info = ChannelCommandAnswerInfo(Answer);
        text = UnicodeString(info.Text);
        code = info.ExitCode;
    } else {
        return 0;
    }
    TConsoleLineWriter w(Output, Converter);
    UnicodeString line(Prefix);
    line += u": ";
    line += text;
    w.Line(line);
    (void)w.Finish();
    return code;
}

int PrintAnswerLines(TTextFile& Output, std::span<const AnsiString> Lines, TAnsiUnicodeConverter* Converter) {
    TConsoleLineWriter w(Output, Converter);
    for (const AnsiString& l : Lines) w.Line(Utf8U(l));
    return w.Finish();
}

int PrintThreadsAnswer(TTextFile& Output, std::span<const AnsiString> Lines, TAnsiUnicodeConverter* Converter) {
    TConsoleLineWriter w(Output, Converter);
    for (size_t i = 0; i < Lines.size(); ++i) {
        UnicodeString s = u"Working thread #";
        s += WidenStrU(std::to_string(i));
        s += u": ";
        s += Utf8U(Lines[i]);
        s += u" connection(s)";
        w.Line(s);
    }
    return w.Finish();
}

int PrintClientList(TTextFile& Output, std::span<const AnsiString> Lines, const TConsoleListFlags& Flags,
                    char16_t Delimiter, TAnsiUnicodeConverter* Converter) {
    std::vector<TZELCmdListNetwork> networks;
    // A line that cannot be read ends the listing: the networks before it are still shown.
    (void)ReadCmdListAnswer(Lines, networks);
    TConsoleLineWriter w(Output, Converter);
    for (const TZELCmdListNetwork& net : networks) {
        const std::unique_ptr<TAnsiUnicodeConverter> conv = NetworkConverter(net.Network.CharsetName);
        const UnicodeString name = Utf8U(net.Network.Name);
        const UnicodeString parrot = Utf8U(net.Network.ParrotId);
        std::vector<UnicodeString> rows;
        bool cut = false;
        for (size_t i = 0; i < net.ClientLines.size(); ++i) {
            TZELClientRec rec;
            try {
                DecodeClientLine(net.ClientLines[i], rec, conv.get());
            } catch (const EZELClientLineError&) {
                cut = true;
                break;
            }
            if (!parrot.empty() && rec.Id == parrot) continue;
            rows.push_back(ClientRow(rec, net.Members[i], Flags, Delimiter, conv.get()));
        }
        if (!rows.empty() || Flags.ShowEmptyNetworks) {
            if (!Flags.Flat) w.Line(name, u":");
            UnicodeString lead = u"    ";
            if (Flags.Flat) {
                lead = name;
                lead += Delimiter;
            }
            for (const UnicodeString& r : rows) w.Line(lead, r);
        }
        if (cut) break;
    }
    return w.Finish();
}

// ---------------------------------------------------------------------------------------------
// Daemon command words.

namespace {

AnsiString Utf8(UnicodeView s) { return UnicodeToUtf8A(s); }

UnicodeString Quoted(UnicodeView s) {
    UnicodeString q = u"\"";
    q += s;
    q += u'"';
    return q;
}

struct TRereadWord {
    TZELCmdRereadList List;
    bool FromFile;
    UnicodeView Prefix;
};

bool RereadWord(TZELConsoleCommand Code, TRereadWord& W) noexcept {
    using L = TZELCmdRereadList;
    switch (Code) {
        case C::cmd_DRereadAdmins: W = {L::fcrl_Admins, false, u"ERROR: Reread default list of admins"}; return true;
        case C::cmd_FRereadAdmins: W = {L::fcrl_Admins, true, u"ERROR: Reread list of admins "}; return true;
        case C::cmd_DRereadMutes: W = {L::fcrl_Mutes, false, u"ERROR: Reread default list of muted clients"}; return true;
        case C::cmd_FRereadMutes: W = {L::fcrl_Mutes, true, u"ERROR: Reread list of muted clients: "}; return true;
        case C::cmd_DRereadBlocks: W = {L::fcrl_Blocks, false, u"ERROR: Reread default list of blocked clients"}; return true;
        case C::cmd_FRereadBlocks: W = {L::fcrl_Blocks, true, u"ERROR: Read list of blocked clients: "}; return true;
        case C::cmd_DRereadRights: W = {L::fcrl_Rights, false, u"ERROR: Reread default list of rights"}; return true;
        case C::cmd_FRereadRights: W = {L::fcrl_Rights, true, u"ERROR: Read list of rights: "}; return true;
        case C::cmd_DRereadModes: W = {L::fcrl_Modes, false, u"ERROR: Reread default list of modes"}; return true;
        case C::cmd_FRereadModes: W = {L::fcrl_Modes, true, u"ERROR: Read list of modes: "}; return true;
        case C::cmd_DRereadNotices: W = {L::fcrl_Notices, false, u"ERROR: Reread default list of notices"}; return true;
        case C::cmd_FRereadNotices: W = {L::fcrl_Notices, true, u"ERROR: Read list of notices: "}; return true;
        default: return false;
    }
}

uint32_t TempSeconds(int64_t Seconds, int64_t Max) noexcept {
    if (Seconds < 0) return 0;
    return static_cast<uint32_t>(Seconds > Max ? Max : Seconds);
}

}  // namespace

bool IsDaemonCommand(TZELConsoleCommand Code) noexcept {
    const auto n = static_cast<int>(Code);
    return n == static_cast<int>(C::cmd_DSetManPassIdx) ||
           (n >= static_cast<int>(C::cmd_DSetManPassAddr) && n <= static_cast<int>(C::cmd_NoticeClear)) ||
           (n >= static_cast<int>(C::cmd_List) && n <= static_cast<int>(C::cmd_DPid));
}

TZELDaemonRequest BuildDaemonRequest(const TConsoleCommandLine& Cmd, TAnsiUnicodeConverter* PasswordConverter) {
    TZELDaemonRequest r;
    const AnsiString net = Utf8(Cmd.NetworkName);
    // Ids and e-mails are ASCII: each unit goes as its low byte.
    const AnsiString client = NarrowStrA(Cmd.ClientText);
    const auto simple = [&r](AnsiString Line, UnicodeView Prefix) {
        r.Line = std::move(Line);
        r.ErrorPrefix = UnicodeString(Prefix);
    };
    const auto listed = [&r](AnsiString Line, TZELCmdOutputKind Output, UnicodeView Prefix) {
        r.Line = std::move(Line);
        r.ListAnswer = true;
        r.Output = Output;
        r.ErrorPrefix = UnicodeString(Prefix);
    };
    if (TRereadWord w; RereadWord(Cmd.Command, w)) {
        const UnicodeString file = w.FromFile ? ExpandPath(Cmd.ListFileName) : UnicodeString();
        UnicodeString prefix(w.Prefix);
        if (w.FromFile) prefix += Quoted(file);
        simple(MakeCmdReread(w.List, Utf8(file)), prefix);
        return r;
    }
    switch (Cmd.Command) {
        case C::cmd_DSetManPassIdx:
        case C::cmd_DSetManPassAddr: {
            const UnicodeString password = PasswordConverter != nullptr
                                               ? PasswordConverter->ToUnicode(Cmd.ManagerPassword)
                                               : SysCharsetToUnicodeProc(Cmd.ManagerPassword);
            simple(Cmd.Command == C::cmd_DSetManPassIdx
                       ? MakeCmdSetManagerPasswordByIndex(Cmd.ManagerIndex, Utf8(password))
                       : MakeCmdSetManagerPasswordByAddress(Utf8(Cmd.ManagerAddress), Utf8(password)),
                   u"ERROR: Set password for manager");
            break;
        }
        case C::cmd_DRereadAll: simple(AnsiString(ZELCmdLineRereadAll), u"ERROR: Reread all default files"); break;
        case C::cmd_DStop: simple(AnsiString(ZELCmdLineStop), u"ERROR: stop"); break;
        case C::cmd_List:
            listed(AnsiString(ZELCmdLineListAll), TZELCmdOutputKind::cok_ClientList,
                   u"ERROR: List of clients for the whole server");
            break;
        case C::cmd_ListNet:
            listed(MakeCmdListNetwork(net), TZELCmdOutputKind::cok_ClientList,
                   u"ERROR: List of clients for the network");
            break;
        case C::cmd_Mute: simple(MakeCmdMute(net, 0, client, true), u"ERROR: Mute client"); break;
        case C::cmd_MuteTemp:
            simple(MakeCmdMute(net, TempSeconds(Cmd.TempTime, ZELMaxTempMuteBlockSeconds), client, true),
                   u"ERROR: Mute client");
            break;
        case C::cmd_Unmute: simple(MakeCmdMute(net, 0, client, false), u"ERROR: Unmute client"); break;
        case C::cmd_Block: simple(MakeCmdBlock(net, 0, client, true), u"ERROR: Block client"); break;
        case C::cmd_BlockTemp:
            simple(MakeCmdBlock(net, TempSeconds(Cmd.TempTime, ZELMaxTempMuteBlockSeconds), client, true),
                   u"ERROR: Block client");
            break;
        case C::cmd_Unblock: simple(MakeCmdBlock(net, 0, client, false), u"ERROR: Unblock client"); break;
        case C::cmd_AdminAdd: simple(MakeCmdAdmin(net, client, true), u"ERROR: Admin add"); break;
        case C::cmd_AdminDel: simple(MakeCmdAdmin(net, client, false), u"ERROR: Admin delete"); break;
        case C::cmd_RightAdd: simple(MakeCmdRight(net, Utf8(Cmd.ClientText), true), u"ERROR: Right add"); break;
        case C::cmd_RightDel: simple(MakeCmdRight(net, Utf8(Cmd.ClientText), false), u"ERROR: Right delete"); break;
        case C::cmd_RightMark: simple(MakeCmdRightMark(net, Utf8(Cmd.ClientText), true), u"ERROR: Right mark"); break;
        case C::cmd_RightUnmark:
            simple(MakeCmdRightMark(net, Utf8(Cmd.ClientText), false), u"ERROR: Right unmark");
            break;
        case C::cmd_NoticeSet: simple(MakeCmdNoticeSet(net, Utf8(Cmd.ClientText)), u"ERROR: set notice"); break;
        case C::cmd_NoticeClear: simple(MakeCmdNoticeClear(net), u"ERROR: clear notice"); break;
        case C::cmd_ConnEnable:
            simple(MakeCmdConnMode(net, ZELCmdFlagOn), u"ERROR: Enable to connect listed only");
            break;
        case C::cmd_ConnDisable:
            simple(MakeCmdConnMode(net, ZELCmdFlagOff), u"ERROR: Disable to connect listed only");
            break;
        case C::cmd_ConnStatus:
            listed(MakeCmdConnMode(net, ZELCmdFlagQuery), TZELCmdOutputKind::cok_Lines, u"ERROR: conn status");
            break;
        case C::cmd_TalkEnable:
            simple(MakeCmdTalkMode(net, ZELCmdFlagOn), u"ERROR: Enable to speak marked only");
            break;
        case C::cmd_TalkDisable:
            simple(MakeCmdTalkMode(net, ZELCmdFlagOff), u"ERROR: Disable to speak marked only");
            break;
        case C::cmd_TalkStatus:
            listed(MakeCmdTalkMode(net, ZELCmdFlagQuery), TZELCmdOutputKind::cok_Lines, u"ERROR: talk status");
            break;
        case C::cmd_DReopenLog: simple(AnsiString(ZELCmdLineReopenLog), u"ERROR: reopen log"); break;
        case C::cmd_DServManMode:
            simple(MakeCmdServerManagerMode(Cmd.ManagerMode), u"ERROR: server manager mode");
            break;
        case C::cmd_DNetManMode:
            simple(MakeCmdNetManagerMode(net, Cmd.ManagerMode), u"ERROR: network manager mode");
            break;
        case C::cmd_Threads:
            listed(AnsiString(ZELCmdLineThreads), TZELCmdOutputKind::cok_Threads,
                   u"ERROR: Number of client connections on worker threads");
            break;
        case C::cmd_FlushData: simple(AnsiString(ZELCmdLineFlushData), u"ERROR: flush data"); break;
        case C::cmd_Uptime:
            listed(AnsiString(ZELCmdLineUptime), TZELCmdOutputKind::cok_SystemLines, u"ERROR: uptime");
            break;
        case C::cmd_ClientMove:
            simple(MakeCmdMoveClient(Utf8(Cmd.ClientText), net, Utf8(Cmd.TargetNetworkName), 0),
                   u"ERROR: move client");
            break;
        case C::cmd_MoveTemp:
            simple(MakeCmdMoveClient(Utf8(Cmd.ClientText), net, Utf8(Cmd.TargetNetworkName),
                                     TempSeconds(Cmd.TempTime, ZELMaxTempMoveSeconds)),
                   u"ERROR: temp move client");
            break;
        case C::cmd_DisconnectAll: simple(MakeCmdDisconnect("", ""), u"ERROR: disconnect all"); break;
        case C::cmd_DisconnectNet: simple(MakeCmdDisconnect(net, ""), u"ERROR: disconnect network"); break;
        case C::cmd_DisconnectCli:
            simple(MakeCmdDisconnect(net, Utf8(Cmd.ClientText)), u"ERROR: disconnect client");
            break;
        case C::cmd_LogText:
            // The text to log stands in the network parameter.
            simple(MakeCmdLogText(Utf8(CleanLogText(Cmd.NetworkName))), u"ERROR: log text");
            break;
        case C::cmd_DPid:
            listed(AnsiString(ZELCmdLinePid), TZELCmdOutputKind::cok_SystemLines, u"ERROR: dpid");
            break;
        case C::cmd_DisconnectManIdx:
            simple(MakeCmdDisconnectManagerByIndex(Cmd.ManagerIndex), u"ERROR: disconnect manager by index");
            break;
        case C::cmd_DisconnectManAddrPort:
            simple(MakeCmdDisconnectManagerByAddress(Utf8(Cmd.ManagerAddress), Cmd.ManagerPort),
                   u"ERROR: disconnect manager by address/port");
            break;
        case C::cmd_SetLogLevel: simple(MakeCmdSetLogLevel(Cmd.LogLevel), u"ERROR: log level"); break;
        case C::cmd_MemoryReport: simple(AnsiString(), u"ERROR: Memory report"); break;
        default:
            throw Exception(FormatA("Not a daemon command: %d", static_cast<int>(Cmd.Command)));
    }
    return r;
}

int RunDaemonCommand(const TConsoleCommandLine& Cmd, const TZELServiceConfig& Config, TTextFile& Output) {
    const TZELDaemonRequest request = [&] {
        // The console converter reads the password typed in the system's own charset.
        const std::unique_ptr<TAnsiUnicodeConverter> system = MakeConsoleConverter(Config.SystemCharsetName);
        return BuildDaemonRequest(Cmd, system.get());
    }();
    const std::unique_ptr<TAnsiUnicodeConverter> console =
        MakeConsoleConverter(ChooseConsoleCharset(Cmd.ListFlags.Charset, Config.SystemCharsetName));
    if (!Config.Command.CommandEnabled) {
        TConsoleLineWriter w(Output, console.get());
        w.Line(u"ERROR: Commands for daemon are not allowed");
        (void)w.Finish();
        return 16;
    }
    TZELChannelCommandAnswer answer = A::fsca_NotSupported;
    std::vector<AnsiString> lines;
    int32_t error = 0;
    if (!request.Line.empty()) {
        error = request.ListAnswer ? SendListRequest(Config.Command, request.Line, answer, lines)
                                   : SendSimpleRequest(Config.Command, request.Line, answer);
    }
    const int code = ReportCommandResult(Output, error, answer, request.ErrorPrefix, console.get());
    if (code != 0) return code;
    switch (request.Output) {
        case TZELCmdOutputKind::cok_None: break;
        case TZELCmdOutputKind::cok_Lines: (void)PrintAnswerLines(Output, lines, console.get()); break;
        case TZELCmdOutputKind::cok_SystemLines: {
            const std::unique_ptr<TAnsiUnicodeConverter> system = MakeConsoleConverter(Config.SystemCharsetName);
            (void)PrintAnswerLines(Output, lines, system.get());
            break;
        }
        case TZELCmdOutputKind::cok_ClientList:
            (void)PrintClientList(Output, lines, Cmd.ListFlags, Config.ListDelimiter, console.get());
            break;
        case TZELCmdOutputKind::cok_Threads: (void)PrintThreadsAnswer(Output, lines, console.get()); break;
    }
    return 0;
}

}  // namespace zel
