#include "console/dmq_zel_cmd_words.hpp"

#include <string>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

static_assert(sizeof(TConsoleListFlags) == 8);
static_assert(static_cast<int>(TZELConsoleCommand::cmd_Debug) == 59 &&
              static_cast<int>(TZELConsoleCommand::cmd_Help) == 60 &&
              static_cast<int>(TZELConsoleCommand::cmd_LogFileName) == 68);

namespace {

using C = TZELConsoleCommand;

TZELConsoleCommand LookUpWord(UnicodeView Upper) noexcept {
    for (const auto& row : ZELCommandLineCommandDetect) {
        if (row.Word == Upper) return row.Code;
    }
    return C::cmd_None;
}

// ---------------------------------------------------------------------------------------------
// Flags.

enum class TFlagEffect : uint8_t {
    fe_Flat,
    fe_Empty,
    fe_IP,
    fe_Id,
    fe_EMail,
    fe_Proto,
    fe_ManagerIds,
    fe_Full,
    fe_CharsetUTF8,
    fe_CharsetOem,
    fe_CharsetAnsi
};

struct TFlagRec {
    AnsiView Text;
    TFlagEffect Effect;
};

// "--MANANAGER" as the program has always accepted it; the help's "--managerid" is no flag.
constexpr std::array<TFlagRec, 24> FlagTable = {{
    {"--FLAT", TFlagEffect::fe_Flat},         {"-L", TFlagEffect::fe_Flat},
    {"--EMPTY", TFlagEffect::fe_Empty},       {"-T", TFlagEffect::fe_Empty},
    {"--IP", TFlagEffect::fe_IP},             {"-I", TFlagEffect::fe_IP},
    {"--ID", TFlagEffect::fe_Id},             {"-D", TFlagEffect::fe_Id},
    {"--EMAIL", TFlagEffect::fe_EMail},       {"-E", TFlagEffect::fe_EMail},
    {"--PROTO", TFlagEffect::fe_Proto},       {"-P", TFlagEffect::fe_Proto},
    {"--MANANAGER", TFlagEffect::fe_ManagerIds}, {"--MAN", TFlagEffect::fe_ManagerIds},
    {"-M", TFlagEffect::fe_ManagerIds},       {"--FULL", TFlagEffect::fe_Full},
    {"-F", TFlagEffect::fe_Full},             {"--UTF8", TFlagEffect::fe_CharsetUTF8},
    {"--UTF", TFlagEffect::fe_CharsetUTF8},   {"-U", TFlagEffect::fe_CharsetUTF8},
    {"--OEM", TFlagEffect::fe_CharsetOem},    {"-O", TFlagEffect::fe_CharsetOem},
    {"--ANSI", TFlagEffect::fe_CharsetAnsi},  {"-A", TFlagEffect::fe_CharsetAnsi},
}};

const TFlagRec* FindFlag(AnsiView Upper) noexcept {
    for (const auto& row : FlagTable) {
        if (row.Text == Upper) return &row;
    }
    return nullptr;
}

// False for a second charset flag.
bool ApplyFlag(TFlagEffect Effect, TConsoleListFlags& Flags) noexcept {
    auto setCharset = [&Flags](TConsoleCharset Cs) {
        if (Flags.Charset != TConsoleCharset::ccs_None) return false;
        Flags.Charset = Cs;
        return true;
    };
    switch (Effect) {
        case TFlagEffect::fe_Flat: Flags.Flat = true; break;
        case TFlagEffect::fe_Empty: Flags.ShowEmptyNetworks = true; break;
        case TFlagEffect::fe_IP: Flags.ShowIPs = true; break;
        case TFlagEffect::fe_Id: Flags.ShowIds = true; break;
        case TFlagEffect::fe_EMail: Flags.ShowEMails = true; break;
        case TFlagEffect::fe_Proto: Flags.ShowProtoFlags = true; break;
        case TFlagEffect::fe_ManagerIds: Flags.ShowManagerIds = true; break;
        case TFlagEffect::fe_Full:
            Flags.ShowIds = Flags.ShowIPs = Flags.ShowEMails = Flags.ShowProtoFlags = Flags.ShowManagerIds = true;
            break;
        case TFlagEffect::fe_CharsetUTF8: return setCharset(TConsoleCharset::ccs_UTF8);
        case TFlagEffect::fe_CharsetOem: return setCharset(TConsoleCharset::ccs_Oem);
        case TFlagEffect::fe_CharsetAnsi: return setCharset(TConsoleCharset::ccs_Ansi);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Parameter grammar.

enum class TParamKind : uint8_t {
    pk_ManagerIndex,
    pk_Password,
    pk_ManagerAddress,
    pk_ListFile,
    pk_ManagerMode,
    pk_Network,
    pk_TargetNetwork,
    pk_Client,
    pk_Port,
    pk_LogLevel,
    pk_TempMoveTime,
    pk_TempMuteBlockTime
};

struct TGrammar {
    std::array<TParamKind, 4> Values{};
    uint8_t Count = 0;
    bool Config = true;  // an optional configuration name may follow the values
};

TGrammar GrammarOf(TZELConsoleCommand Code) noexcept {
    using K = TParamKind;
    switch (Code) {
        case C::cmd_None:
        case C::cmd_Help: return {{}, 0, false};
        case C::cmd_SetManPassIdx:
        case C::cmd_DSetManPassIdx: return {{K::pk_ManagerIndex, K::pk_Password}, 2};
        case C::cmd_SetManPassAddr:
        case C::cmd_DSetManPassAddr: return {{K::pk_ManagerAddress, K::pk_Password}, 2};
        case C::cmd_FRereadAdmins:
        case C::cmd_FRereadMutes:
        case C::cmd_FRereadBlocks:
        case C::cmd_FRereadRights:
        case C::cmd_FRereadModes:
        case C::cmd_FRereadNotices: return {{K::pk_ListFile}, 1};
        case C::cmd_DServManMode: return {{K::pk_ManagerMode}, 1};
        case C::cmd_DNetManMode: return {{K::pk_Network, K::pk_ManagerMode}, 2};
        case C::cmd_ListNet:
        case C::cmd_DisconnectNet:
        case C::cmd_ConnEnable:
        case C::cmd_ConnDisable:
        case C::cmd_ConnStatus:
        case C::cmd_TalkEnable:
        case C::cmd_TalkDisable:
        case C::cmd_TalkStatus:
        case C::cmd_NoticeClear:
        case C::cmd_LogText: return {{K::pk_Network}, 1};
        case C::cmd_DisconnectManIdx: return {{K::pk_ManagerIndex}, 1};
        case C::cmd_DisconnectManAddrPort: return {{K::pk_ManagerAddress, K::pk_Port}, 2, false};
        case C::cmd_SetLogLevel: return {{K::pk_LogLevel}, 1};
        case C::cmd_DisconnectCli:
        case C::cmd_RightAdd:
        case C::cmd_RightDel:
        case C::cmd_RightMark:
        case C::cmd_RightUnmark:
        case C::cmd_AdminAdd:
        case C::cmd_AdminDel:
        case C::cmd_Mute:
        case C::cmd_Unmute:
        case C::cmd_Block:
        case C::cmd_Unblock:
        case C::cmd_NoticeSet: return {{K::pk_Network, K::pk_Client}, 2};
        case C::cmd_ClientMove: return {{K::pk_Client, K::pk_Network, K::pk_TargetNetwork}, 3};
        case C::cmd_MoveTemp: return {{K::pk_Client, K::pk_TempMoveTime, K::pk_Network, K::pk_TargetNetwork}, 4};
        case C::cmd_MuteTemp:
        case C::cmd_BlockTemp: return {{K::pk_Network, K::pk_TempMuteBlockTime, K::pk_Client}, 3};
        case C::cmd_ServerId: return {{K::pk_Client}, 1, false};
        default: return {};  // only an optional configuration name
    }
}

bool ParseIntInRange(UnicodeView Text, int32_t Lo, int32_t Hi, int32_t& Value) noexcept {
    int32_t n = 0;
    if (!TryStrToInt32U(Text, n) || n < Lo || n > Hi) return false;
    Value = n;
    return true;
}

// One trimmed, non-empty parameter into its field of Cmd.
bool ReadValue(TParamKind Kind, AnsiView Raw, TConsoleCommandLine& Cmd) {
    using K = TParamKind;
    if (Kind == K::pk_Password) {
        Cmd.ManagerPassword = AnsiString(Raw);
        return true;
    }
    const UnicodeString text = SysCharsetToUnicodeProc(Raw);
    int32_t n = 0;
    switch (Kind) {
        case K::pk_ManagerIndex:
            if (!ParseIntInRange(text, 0, 2, n)) return false;
            Cmd.ManagerIndex = static_cast<uint8_t>(n);
            return true;
        case K::pk_LogLevel: return ParseIntInRange(text, 0, 6, Cmd.LogLevel);
        case K::pk_ManagerAddress: Cmd.ManagerAddress = text; return true;
        case K::pk_ListFile: Cmd.ListFileName = ExpandToFullPathU(text); return true;
        case K::pk_ManagerMode: return ParseSystemManagerMode(text, Cmd.ManagerMode);
        case K::pk_Network: Cmd.NetworkName = text; return true;
        case K::pk_TargetNetwork: Cmd.TargetNetworkName = text; return true;
        case K::pk_Client: Cmd.ClientText = text; return true;
        case K::pk_Port: return ParsePortU(text, Cmd.ManagerPort);
        case K::pk_TempMoveTime:
            return ParseTempDuration(text, ZELMaxTempMoveSeconds, Cmd.TempTime, Cmd.TempDuration);
        case K::pk_TempMuteBlockTime:
            return ParseTempDuration(text, ZELMaxTempMuteBlockSeconds, Cmd.TempTime, Cmd.TempDuration);
        case K::pk_Password: break;
    }
    return false;
}

bool ReadParams(const std::vector<AnsiString>& Params, size_t Index, TConsoleCommandLine& Cmd) {
    const TGrammar g = GrammarOf(Cmd.Command);
    for (uint8_t i = 0; i < g.Count; ++i, ++Index) {
        if (Index >= Params.size()) return false;
        const AnsiString raw = TrimA(Params[Index]);
        if (raw.empty() || !ReadValue(g.Values[i], raw, Cmd)) return false;
    }
    if (g.Config && Index < Params.size()) {
        AnsiString name = TrimA(Params[Index]);
        if (name.empty()) return false;
        Cmd.ConfigFileName = std::move(name);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Texts.

constexpr UnicodeView HelpFlagLines[] = {
    u" -e, --email: show e-mail address of the clienton the list of connected clients",
    u" -d, --id: show server ID of the client on the list of connected clients",
    u" -i, --ip: show IP address of the client on the list of connected clients",
    u" -m, --managerid: show manager IDs of the client on the list of connected clients",
    u" -p, --proto: show ZEL protocol flags the for client in the list of connected clients",
    u" -f, --full: show full info: e-mail, serder ID, IP address and protocol flags in the list of connected clients",
    u" -l, --flat: show flat list of connected clients",
    u" -u, --utf8: use UTF8 encoding for console output",
};

constexpr UnicodeView HelpCommandLines[] = {
    u" debug [config] - debug mode; default",
    u" run [config] - run synchronously",
    u" logfilename [config] - show fact LOG-file name",
    u" daemon [config] - run as daemon",
    u" pidfilename [config] - show fact PID-file name",
    u" stop [config] - stop the running daemon, sends SIGTERM",
    u" reopenlog [config] - reopen log file for the running daemon; sends reopen signal",
    u" deletepidfile [config] - delete saved PID-file",
    u" pid [config] - show PID of the daemon from PID-file",
    u" setmanpassidx <index> PasSwOrD [config] - change password for manager <index> in configuration file only",
    u" dsetmanpassidx <index> PasSwOrD [config] - online change password for manager <index> for the running server only",
    u" setmanpassaddr <address> PasSwOrD [config] - change password for manager <address> in configuration file only",
    u" dsetmanpassaddr <address> PasSwOrD [config] - change password for manager <address> for the running server only",
    u" dstop [config] - stop the running daemon",
    u" dpid [config] - show PID of the running daemon",
    u" dreopenlog [config] - reopen log file for the running daemon; sends reopen command to the daemon",
    u" list [config] - list of connected clients for the whole server",
    u" listnet <network> [config] - list of clients connected to the network <network>",
    u" drereadmutes [config] - reread the list of muted clients from the default file for the running daemon",
    u" frereadmutes <filename> [config] - reread the list of muted clients from the <filename> file for the running daemon",
    u" drereadblocks [config] - reread the list of blocked clients from the default file for the running daemon",
    u" frereadblocks <filename> [config] - reread the list of blocked clients from the <filename> file for the running daemon",
    u" drereadadmins [config] - reread the list of administrators from the default file for the running daemon",
    u" frereadadmins <filename> [config] - reread the list of administrators from the file <filename> for the running daemon",
    u" drereadmodes [config] - reread the list of modes from the default file for the running daemon",
    u" frereadmodes <filename> [config] - reread the modes list from the <filename> file for the running daemon",
    u" drereadrights [config] - reread the default access list for the running daemon",
    u" frereadrights <filename> [config] - reread the access list from the <filename> file for the running daemon",
    u" drereadnotices [config] - reread the list of access info messages from the default file for the running daemon",
    u" frereadnotices <filename> [config] - reread the access info messages list from the <filename> file for the running daemon",
    u" drereadall [config] - reread all default lists for the running daemon",
    u" mute <network> <clientid> [config] - mute the client <clientid> on the network <network>",
    u" mutetemp <network> <time> <clientid> [config] - temporary mute the client <clientid> on the network <network> on the time <time>",
    u" unmute <network> <clientid> [config] - unmute the client <clientid> on the network <network>",
    u" block <network> <clientid> [config] - block the client <clientid> on the network <network>",
    u" blocktemp <network> <time> <clientid> [config] - temporary block the client <clientid> on the network <network> on the time <time>",
    u" unblock <network> <clientid> [config] - unblock the client <clientid> on the network <network>",
    u" adminadd <network> <clientid> [config] - add the client <clientid> to the administrators of the network <Network>",
    u" admindel <network> <clientid> [config] - delete client <clientid> from the administrators of the network <Network>",
    u" rightadd <network> <email> [config] - add client <email> to the access list for the network <network>",
    u" rightdel <network> <email> [config] - remove client <email> from the access list for the network <network>",
    u" rightmark <network> <email> [config] - mark client <email> in the access list for the network <network>",
    u" rightunmark <network> <email> [config] - unmark client <email> in the access list for the network <network>",
    u" connenable <network> [config] - enable permission to connect only to marked clients from the access list for the <network> network",
    u" conndisable <network> [config] - disable permission to connect only to marked clients from the access list for the <network> network",
    u" talkenable <network> [config] - enable talk permission only to marked clients from the access list for the <network> network",
    u" talkdisable <network> [config] - disable talk permission only to marked clients from the access list for the <network> network",
    u" noticeset <network> <accessinfo> [config] - set access info message <accessinfo> for the network <network>",
    u" noticeclear <network> [config] - delete access info message for the network <network>",
    u" move <clientid> <netfrom> <netto> [config] - move the client <clientid> from the network <netfrom> to the network <netto>",
    u" movetemp <clientid> <time> <netfrom> <netto> [config] - temporary move the client from the network to the other network for the time",
    u" alldisconnect [config] - disconnect all clients from the whole server",
    u" netdisconnect <network> [config] - disconnect all clients from the network <network>",
    u" clientdisconnect <network> <clientid> [config] - disconnect the client <clientid> from the network <network>",
    u" threads [config] - number of client connections on worker threads",
    u" flushdata [config] - flush all lists into data files",
    u" logtext \"text to log\" [config] - write any text to log file",
    u" setloglevel <loglevel> [config] - set log level for the client connections",
    u" clientid <email> - calculate Tolvenar client ID for <email>",
};

void WriteCommandLineFormat(TConsoleLineWriter& W) {
    AnsiString exe = GetExeFileNameA();
    const size_t slash = exe.rfind('/');
    if (slash != AnsiString::npos) exe.erase(0, slash + 1);
    W.Line(u"Command line format:");
    UnicodeString s = u"  ";
    s += SysCharsetToUnicodeProc(exe);
    s += u" [flags ...] [command [parameters ...]]";
    W.Line(s);
}

}  // namespace

void TConsoleLineWriter::Line(UnicodeView Text) {
    if (Error_ != 0) return;
    AnsiString bytes = Converter_ != nullptr ? Converter_->FromUnicode(Text) : UnicodeToSysCharsetProc(Text);
    bytes += '\n';
    Error_ = TryWriteTextBuf(Output_, bytes.data(), bytes.size());
}

void TConsoleLineWriter::Line(UnicodeView A, UnicodeView B) {
    UnicodeString s(A);
    s += B;
    Line(s);
}

int TConsoleLineWriter::Finish() {
    const int flushed = TryFlushText(Output_);
    return Error_ != 0 ? Error_ : flushed;
}

TZELConsoleCommand DetectCommandWord(UnicodeView Word, bool& HasSuffix, UnicodeString& Suffix) {
    const size_t colon = Word.find(u':');
    if (colon == UnicodeView::npos) return LookUpWord(AsciiUpperCaseU(Word));
    const TZELConsoleCommand code = LookUpWord(AsciiUpperCaseU(Word.substr(0, colon)));
    if (code != C::cmd_None) {
        HasSuffix = true;
        Suffix = UnicodeString(Word.substr(colon + 1));
    }
    return code;
}

bool ParseListFlags(const std::vector<AnsiString>& Params, int32_t& Index, int32_t& Remaining,
                    TConsoleListFlags& Flags) {
    while (Remaining > 0 && Index >= 0 && static_cast<size_t>(Index) < Params.size()) {
        const TFlagRec* flag = FindFlag(AsciiUpperCaseA(TrimA(Params[static_cast<size_t>(Index)])));
        if (flag == nullptr) return true;
        if (!ApplyFlag(flag->Effect, Flags)) return false;
        ++Index;
        --Remaining;
    }
    return true;
}

bool ParseTempDuration(UnicodeView Text, int64_t MaxSeconds, int64_t& Seconds, TDurationRec& Duration) {
    TDurationRec d;
    if (!TryParseDurationU(Text, d)) return false;
    const int64_t s = DurationToSeconds(d);
    Seconds = s > MaxSeconds ? MaxSeconds : s;
    Duration = d;
    return true;
}

TZELConsoleCommand ParseConsoleCommandLine(const std::vector<AnsiString>& Params, TConsoleCommandLine& Cmd,
                                           AnsiView DefaultConfigFileName) {
    Cmd = TConsoleCommandLine();
    Cmd.ConfigFileName = AnsiString(DefaultConfigFileName);
    int32_t index = 0;
    int32_t remaining = static_cast<int32_t>(Params.size());
    if (!ParseListFlags(Params, index, remaining, Cmd.ListFlags)) {
        Cmd.Command = C::cmd_None;
        return Cmd.Command;
    }
    if (remaining > 0) {
        const UnicodeString word = SysCharsetToUnicodeProc(TrimA(Params[static_cast<size_t>(index)]));
        bool hasSuffix = false;
        UnicodeString suffix;
        Cmd.Command = DetectCommandWord(word, hasSuffix, suffix);
        if (Cmd.Command != C::cmd_None && hasSuffix) Cmd.Command = C::cmd_Help;
        ++index;
    }
    if (Cmd.Command != C::cmd_None && !ReadParams(Params, static_cast<size_t>(index), Cmd)) Cmd.Command = C::cmd_None;
    return Cmd.Command;
}

UnicodeString ConsoleBannerLine() {
    UnicodeString s = u"ZELServer-console (";
    s += WidenStrU(ZELPlatformText());
    s += u") revision ";
    s += WidenStrU(std::to_string(ZELRevision));
    return s;
}

UnicodeString ServerProductText() {
    UnicodeString s = u"Tolvenar-Server-";
    s += WidenStrU(ZELVersionText());
    return s;
}

int PrintUsage(TTextFile& Output, TAnsiUnicodeConverter* Converter, UnicodeView BannerLine) {
    TConsoleLineWriter w(Output, Converter);
    if (!BannerLine.empty()) w.Line(BannerLine);
    w.Line(u"ERROR: wrong command or flags or parameters");
    WriteCommandLineFormat(w);
    w.Line(u"Use HELP command for full help");
    return w.Finish();
}

int PrintServerHelp(TTextFile& Output, TAnsiUnicodeConverter* Converter) {
    TConsoleLineWriter w(Output, Converter);
    w.Line(ConsoleBannerLine());
    w.Line(u"Site: ", ZELContactSite);
    w.Line(u"Origin: ", ZELContactOrigin);
    w.Line(u"E-Mail: ", ZELContactEMail);
    w.Line(ServerProductText());
    WriteCommandLineFormat(w);
    w.Line(u"Flags:");
    for (UnicodeView line : HelpFlagLines) w.Line(line);
    w.Line(u"Commands:");
    for (UnicodeView line : HelpCommandLines) w.Line(line);
    return w.Finish();
}

}  // namespace zel
