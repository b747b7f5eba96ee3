#include "service/dmq_zel_svc_setup_t.hpp"

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_inifile_utf8.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {
namespace {

constexpr std::u16string_view kServer = u"Server";
constexpr std::u16string_view kSystem = u"System";
constexpr std::u16string_view kCommand = u"Command";

UnicodeString Str(TIniFileUTF8& Ini, UnicodeView Section, UnicodeView Key, UnicodeView Def) {
    return Ini.ReadString(Section, Key, Def);
}
UnicodeString Trimmed(TIniFileUTF8& Ini, UnicodeView Section, UnicodeView Key, UnicodeView Def) {
    return TrimU(Ini.ReadString(Section, Key, Def));
}

UnicodeString KeyPrefix(UnicodeView Section, UnicodeView Key) {
    UnicodeString s = u"Parameter [";
    s += Section;
    s += u"].";
    s += Key;
    return s;
}

// A duration in seconds, saturated to the 32-bit range so that a huge value is clamped as huge
// instead of wrapping; false (preset kept) when the text is no duration.
bool ReadDuration(TIniFileUTF8& Ini, UnicodeView Section, UnicodeView Key, UnicodeView Def, int32_t& Seconds) {
    TDurationRec d;
    if (!TryParseDurationU(UnicodeView(Str(Ini, Section, Key, Def)), d)) return false;
    int64_t s = DurationToSeconds(d);
    if (!ClampToMaxInt32(s)) s = -1;
    Seconds = static_cast<int32_t>(s);
    return true;
}

int32_t Between(int32_t N, int32_t Lo, int32_t Hi) { return N < Lo ? Lo : (N > Hi ? Hi : N); }

// Fields split at blanks; whole numbers 1..65535 kept in order as their plain decimal text.
std::vector<UnicodeString> ParseListenPorts(UnicodeView Text) {
    std::vector<UnicodeString> ports;
    size_t i = 0;
    while (i <= Text.size()) {
        size_t j = Text.find(u' ', i);
        if (j == UnicodeView::npos) j = Text.size();
        const UnicodeString field = TrimU(Text.substr(i, j - i));
        int32_t n = 0;
        if (!field.empty() && TryStrToInt32U(UnicodeView(field), n) && n >= 1 && n <= 65535) {
            UnicodeString p;
            for (char c : std::to_string(n)) p += char16_t(c);
            ports.push_back(std::move(p));
        }
        i = j + 1;
    }
    return ports;
}

void ReadManagerSection(TIniFileUTF8& Ini, TZELServiceConfig& C, size_t Index) {
    const UnicodeView sec = ZELSVCManagerSectionNames[Index];
    TZELSvcSysmanParams& M = C.Managers[Index];
    M = TZELSvcSysmanParams{};
    TZELConnectionParams& P = M.Connection;

    M.ManagerEnabled = Ini.ReadBool(sec, u"ManagerEnabled", Index == 0);
    M.ServerVersion = Ini.ReadInteger(sec, u"ServerVersion", C.ServerVersion);
    M.PresentServerAddress = Trimmed(Ini, sec, u"PresentServerAddress", u"");
    if (M.PresentServerAddress.empty()) M.PresentServerAddress = C.PresentServerAddress;
    M.PresentServerPort = Trimmed(Ini, sec, u"PresentServerPort", u"");
    if (M.PresentServerPort.empty()) M.PresentServerPort = C.PresentServerPort;
    M.ManagerAddress = Str(Ini, sec, u"ManagerAddress", ZELDefaultManagerAddress);
    M.ManagerPort = IniReadPort(Ini, sec, u"ManagerPort", 10025);
    const UnicodeString portText = Trimmed(Ini, sec, u"ManagerPort", u"");
    uint16_t port = 0;
    M.ManagerPortInvalid = !portText.empty() && !ParsePortU(UnicodeView(portText), port);
    M.ManagerAuthEMail = Trimmed(Ini, sec, u"ManagerAuthEMail", u"");
    if (M.ManagerAuthEMail.empty()) M.ManagerAuthEMail = C.ServerOwnerEMail;
    M.ManagerAuthPassword = Trimmed(Ini, sec, u"ManagerAuthPassword", u"");
    if (M.ManagerAuthPassword.empty()) M.ManagerAuthPassword = C.ServerPassword;
    M.ManagerReconnectInterval = 60;
    ReadDuration(Ini, sec, u"ManagerReconnectInterval", u"60", M.ManagerReconnectInterval);
    M.ManagerReconnectInterval = Between(M.ManagerReconnectInterval, 1, 3600);
    M.ManagerDelayAfterConnect = Between(Ini.ReadInteger(sec, u"ManagerDelayAfterConnect", 10), 1, 300);
    M.SubstituteSource = Ini.ReadBool(sec, u"SubstituteSource", true);
    M.ManagerLogErrors = Ini.ReadBool(sec, u"ManagerLogErrors", true);
    M.ManagerLogDebug = Ini.ReadInteger(sec, u"ManagerLogDebug", 0);
    P.ManagerConnectTimeout = ClampManagerConnectTimeout(Ini.ReadInteger(sec, u"ManagerConnectTimeout", 10)) * 1000;
    P.ManagerActivityTimeout = ClampManagerConnectTimeout(Ini.ReadInteger(sec, u"ManagerActivityTimeout", 8)) * 1000;
    P.ProxyType = TZELProxyType::ZEL_PROXY_TYPE_NONE;
    ParseProxyType(UnicodeView(Trimmed(Ini, sec, u"ProxyType", u"NONE")), P.ProxyType);
    P.ProxyAddress = Trimmed(Ini, sec, u"ProxyAddress", u"");
    P.ProxyPort = IniReadPort(Ini, sec, u"ProxyPort", 0);
    P.ProxyUsername = Trimmed(Ini, sec, u"ProxyUsername", u"");
    P.ProxyPassword = Trimmed(Ini, sec, u"ProxyPassword", u"");
    P.ProxyCharsetName = AsciiUpperCaseU(UnicodeView(Trimmed(Ini, sec, u"ProxyCharsetName", u"UTF-8")));
    if (!P.ProxyCharsetName.empty())
        CheckCharsetName(P.ProxyCharsetName, KeyPrefix(sec, u"ProxyCharsetName"), DefaultConverterOptions());
    P.ProxyConnectTimeout = ClampProxyConnectTimeout(Ini.ReadInteger(sec, u"ProxyConnectTimeout", 5)) * 1000;
    P.ManagerPreferIPv4 = Ini.ReadBool(sec, u"ManagerPreferIPv4", true);
    M.ManagerInvalidPasswordScript = Trimmed(Ini, sec, u"ManagerInvalidPasswordScript", C.ManagerInvalidPasswordScript);
    M.ManagerSuccessAuthScript = Trimmed(Ini, sec, u"ManagerSuccessAuthScript", u"");
    M.ManagerUnicode = Ini.ReadBool(sec, u"ManagerUnicode", C.ManagerUnicode);
    M.ConfigFileName = C.ConfigFileName;
}

// The error of a section, raised on with the section named in front; the charset error keeps
// its class, so callers can still tell it apart.
[[noreturn]] void RaiseInSection(UnicodeView Section, const std::exception& E) {
    std::string msg = "Section [" + UnicodeToUtf8A(Section) + "]: " + E.what();
    if (dynamic_cast<const EAnsiUnicodeConverterInvalidCharsetName*>(&E))
        throw EAnsiUnicodeConverterInvalidCharsetName(std::move(msg));
    if (dynamic_cast<const EZELServiceError*>(&E)) throw EZELServiceError(std::move(msg));
    throw Exception(std::move(msg));
}

void ReadConfig(TIniFileUTF8& Ini, TZELServiceConfig& C) {
    const UnicodeView S = kServer;
    const UnicodeView Y = kSystem;

    // The owner's address comes first: without it nothing else matters.
    C.ServerOwnerEMail = Str(Ini, S, u"ServerOwnerEMail", u"");
    if (C.ServerOwnerEMail.empty())
        throw EZELServiceInvalidServerOwnerEMail(
            "[Server].ServerOwnerEMail: Invalid or empty server owner email address");
    C.PresentServerAddress = Trimmed(Ini, S, u"PresentServerAddress", u"");
    C.PresentServerPort = Str(Ini, S, u"PresentServerPort", u"");
    C.ServerVersion = Ini.ReadInteger(S, u"ServerVersion", -1);
    if (C.ServerVersion <= 0) C.ServerVersion = ZELDefaultServerVersion;
    UnicodeString ports = Trimmed(Ini, S, u"ListenServerPorts", u"");
    if (ports.empty()) ports = C.PresentServerPort;
    C.ListenServerPorts = ParseListenPorts(ports);
    C.BackupServerAddress = Str(Ini, S, u"BackupServerAddress", u"");
    C.BackupServerPort = Str(Ini, S, u"BackupServerPort", u"");
    C.ServerCharsetName = Trimmed(Ini, S, u"ServerCharsetName", u"");
    if (C.ServerCharsetName.empty()) throw Exception("Parameter [Server].ServerCharsetName is empty");
    CheckCharsetName(C.ServerCharsetName, KeyPrefix(S, u"ServerCharsetName"), DefaultConverterOptions());
    C.DefaultCountry = Trimmed(Ini, S, u"DefaultCountry", u"");
    C.LastClientVersion = Ini.ReadInteger(S, u"LastClientVersion", 0);
    if (C.LastClientVersion <= 0) C.LastClientVersion = ZELDefaultServerVersion;
    C.IPVersion = 0;
    ParseIPVersion(UnicodeView(Trimmed(Ini, S, u"IPVersion", u"")), C.IPVersion);
    C.DisableDUPL = Ini.ReadBool(S, u"DisableDUPL", false);
    C.DefaultNetworkName = Trimmed(Ini, S, u"DefaultNetworkName", u"");
    C.ClientsPerThread = ClampClientsPerThread(Ini.ReadInteger(S, u"ClientsPerThread", 500));
    C.ClientHandshakeTimeout = ClampClientHandshakeTimeout(Ini.ReadInteger(S, u"ClientHandshakeTimeout", 2));
    C.ClientActivityTimeout = ClampClientActivityTimeout(Ini.ReadInteger(S, u"ClientActivityTimeout", 8));
    C.OutputBufferLimit =
        ClampOutputBufferLimit(UnicodeView(Trimmed(Ini, S, u"OutputBufferLimit", u"131072")), 131072);
    C.OutputBufferFactor = ClampOutputBufferFactor(Ini.ReadInteger(S, u"OutputBufferFactor", 3));
    // Kept as read; every user clamps it.
    C.LogClientLevel = Ini.ReadInteger(Y, u"LogClientLevel", 2);
    C.ShortFrames = Ini.ReadBool(S, u"ShortFrames", true);
    C.MaxTotalConnections = Between(Ini.ReadInteger(S, u"MaxTotalConnections", 1000), 1, 1000000);
    C.ManagerMode = TZELSystemManagerMode::smm_Standalone;
    ParseSystemManagerMode(UnicodeView(Trimmed(Ini, S, u"ManagerMode", u"STANDALONE")), C.ManagerMode);
    C.MaxSpeechTime = 300;
    ReadDuration(Ini, S, u"MaxSpeechTime", u"300", C.MaxSpeechTime);
    C.MaxSpeechTime = ClampMaxSpeechTime(C.MaxSpeechTime);
    C.SpeechPause = ClampSpeechPause(Ini.ReadInteger(S, u"SpeechPause", 0));
    C.QuarantineTime = ClampQuarantineTime(Ini.ReadInteger(S, u"QuarantineTime", 0));
    C.KeepHotThread = Ini.ReadBool(S, u"KeepHotThread", false);
    C.ThreadCacheTime = 20;
    ReadDuration(Ini, S, u"ThreadCacheTime", u"20", C.ThreadCacheTime);
    if (C.ThreadCacheTime <= 0) C.ThreadCacheTime = 20;
    C.ThreadCacheTime = Between(C.ThreadCacheTime, 5, 300);
    C.SpeechLimit = Ini.ReadBool(S, u"SpeechLimit", true);
    C.ManagerInvalidPasswordScript = Trimmed(Ini, S, u"ManagerInvalidPasswordScript", u"");
    C.ManagerUnicode = Ini.ReadBool(S, u"ManagerUnicode", true);
    C.ManagerSecondaryAuthTime = ClampManagerSecondaryAuthTime(Ini.ReadInteger(S, u"ManagerSecondaryAuthTime", 40));
    C.ManagerSecondaryAuthOnce = Ini.ReadBool(S, u"ManagerSecondaryAuthOnce", true);
    C.ClientSessionMaxTime = 0;
    int32_t session = 0;
    if (ReadDuration(Ini, S, u"ClientSessionMaxTime", u"0", session) && session >= 0)
        C.ClientSessionMaxTime = session;
    C.LogExec = Ini.ReadBool(Y, u"LogExec", true);
    C.LogReopenLog = Ini.ReadBool(Y, u"LogReopenLog", false);
    C.LogData = Ini.ReadBool(Y, u"LogData", true);
    C.MaxWaitConnections = ClampMaxWaitConnections(Ini.ReadInteger(S, u"MaxWaitConnections", 5));
    C.MaxConnectionsPerAddress = ClampMaxConnectionsPerAddress(Ini.ReadInteger(S, u"MaxConnectionsPerAddress", 8));
    C.LogAdmin = Ini.ReadBool(S, u"LogAdmin", true);
    C.TempMuteBlock = Ini.ReadBool(S, u"TempMuteBlock", true);
    C.LevelMuteBlock = Ini.ReadBool(S, u"LevelMuteBlock", false);
    C.ExactMuteBlock = Ini.ReadBool(S, u"ExactMuteBlock", false);
    C.UniqCallsign = Ini.ReadBool(S, u"UniqCallsign", false);
    C.ReopenLogSignal = StrToReopenLogSignalDef(UnicodeView(Str(Ini, Y, u"ReopenLogSignal", u"SIGHUP")));

    for (size_t i = 0; i < ZELSVCManagerSectionNames.size(); ++i) {
        try {
            ReadManagerSection(Ini, C, i);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            RaiseInSection(ZELSVCManagerSectionNames[i], e);
        }
    }

    C.NetworksFileName = Str(Ini, Y, u"NetworksFileName", u"networks.cfg");
    C.AdminsFileName = Str(Ini, Y, u"AdminsFileName", u"admins.dat");
    C.MutesFileName = Str(Ini, Y, u"MutesFileName", u"mutes.dat");
    C.BlocksFileName = Str(Ini, Y, u"BlocksFileName", u"blocks.dat");
    C.ModesFileName = Str(Ini, Y, u"ModesFileName", u"modes.dat");
    C.RightsFileName = Str(Ini, Y, u"RightsFileName", u"rights.dat");
    C.NoticesFileName = Str(Ini, Y, u"NoticesFileName", u"notices.dat");
    C.OwnerFileName = Str(Ini, Y, u"OwnerFileName", u"owner.dat");
    C.TempDir = Str(Ini, Y, u"TempDir", u"");
    C.DataDir = Str(Ini, Y, u"DataDir", u"");
    C.SystemCharsetName = Str(Ini, Y, u"SystemCharsetName", UnicodeView(WidenStrU(SystemCharset)));
    if (!C.SystemCharsetName.empty())
        CheckCharsetName(C.SystemCharsetName, KeyPrefix(Y, u"SystemCharsetName"), DefaultConverterOptions());
    C.PidFile = Trimmed(Ini, Y, u"PidFile", u"");
    C.LogFile = Trimmed(Ini, Y, u"LogFile", u"");
    C.DataChangeScript = Trimmed(Ini, Y, u"DataChangeScript", u"");
    C.ListDelimiter = DecodeEscapes(UnicodeView(Trimmed(Ini, Y, u"ListDelimiter", u";")), u';');
    C.RereadCompareAttr = Ini.ReadBool(Y, u"RereadCompareAttr", true);

    ReadCommandSection(Ini, kCommand, ZELCommandDefaults, C.Command);
}

}  // namespace

void ReadCommandSection(TIniFileUTF8& Ini, UnicodeView Section, const TZELCommandDefaults& Defaults,
                        TZELCommandParams& Block) {
    const TZELCommandParams& D = Defaults.Values;
    Block.CommandEnabled = Ini.ReadBool(Section, u"CommandEnabled", D.CommandEnabled);
    Block.CommandPort = IniReadPort(Ini, Section, u"CommandPort", D.CommandPort);
    Block.CommandIPVersion = D.CommandIPVersion;
    ParseIPVersion(UnicodeView(TrimU(Ini.ReadString(Section, u"CommandIPVersion", u""))), Block.CommandIPVersion);
    Block.CommandPreferIPv4 = Ini.ReadBool(Section, u"CommandPreferIPv4", D.CommandPreferIPv4);
    // A negative level stays: it is what silences the log line of a refused command connection.
    Block.CommandLogLevel = Ini.ReadInteger(Section, u"CommandLogLevel", D.CommandLogLevel);
    const auto timeout = [&](UnicodeView Key, int32_t Def) {
        const int32_t v = Ini.ReadInteger(Section, Key, Def);
        return v < 0 ? Def : Between(v, Defaults.TimeoutMin, Defaults.TimeoutMax);
    };
    Block.CommandTimeout1 = timeout(u"CommandTimeout1", D.CommandTimeout1);
    Block.CommandTimeout2 = timeout(u"CommandTimeout2", D.CommandTimeout2);
}

void ReadServiceConfig(TZELServiceConfig& Config, UnicodeView FileName) {
    Config.ConfigFileName = UnicodeString(FileName);
    TIniFileUTF8 ini(UnicodeToSysCharsetProc(FileName), true);
    ReadConfig(ini, Config);
}

void CheckManagerSections(TZELServiceConfig& Config, const TZELConfigLineHandler& LineHandler) {
    const auto send = [&](UnicodeView a, UnicodeView name, UnicodeView b) {
        if (!LineHandler) return;
        UnicodeString line(a);
        line += name;
        line += b;
        LineHandler(line);
    };
    for (size_t i = 0; i < ZELSVCManagerSectionNames.size(); ++i) {
        TZELSvcSysmanParams& M = Config.Managers[i];
        if (!M.ManagerEnabled) continue;
        const UnicodeView name = ZELSVCManagerSectionNames[i];
        if (M.ManagerAddress.empty()) {
            M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerAddress in section [", name, u"] is empty");
        }
        if (M.ManagerPort < 1 || M.ManagerPortInvalid) {
            if (M.ManagerPort < 1) M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerPort in section [", name, u"] is invalid");
        }
        if (M.ManagerAuthEMail.empty()) {
            M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerAuthEMail in section [", name, u"] is empty");
        }
        if (M.ManagerAuthPassword.empty()) {
            M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerAuthPassword in section [", name, u"] is empty");
        }
        // Both go to the manager as tagged elements: "</PW>" inside the password would cut it
        // there and leave the rest, unmasked, in the debug log.
        if (!IsSafeElementTextU(M.ManagerAuthEMail)) {
            M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerAuthEMail in section [", name, u"] holds forbidden characters");
        }
        if (!IsSafeElementTextU(M.ManagerAuthPassword)) {
            M.ManagerEnabled = false;
            send(u"ERROR: Parameter ManagerAuthPassword in section [", name, u"] holds forbidden characters");
        }
        if (!M.ManagerEnabled)
            send(u"WARNING: Section [", name, u"] is disabled because of configuration errors");
    }
}

int32_t FindConfigManagerByAddress(const TZELServiceConfig& Config, UnicodeView Address) {
    const UnicodeString wanted = AsciiUpperCaseU(Address);
    int32_t found = -1;
    for (size_t i = 0; i < ZELSVCManagerSectionNames.size(); ++i) {
        const TZELSvcSysmanParams& M = Config.Managers[i];
        if (!M.ManagerEnabled || AsciiUpperCaseU(M.ManagerAddress) != wanted) continue;
        if (found >= 0) return -2;
        found = static_cast<int32_t>(i);
    }
    return found;
}

}  // namespace zel
