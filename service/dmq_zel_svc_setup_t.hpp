#pragma once
// The configuration record of the server and its reader for "server.ini": every default, trim
// and clamp is applied while reading, so the rest of the server sees only valid values.
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

class TIniFileUTF8;

ZEL_DECLARE_EXCEPTION(EZELServiceError, Exception);
ZEL_DECLARE_EXCEPTION(EZELServiceInvalidServerOwnerEMail, EZELServiceError);

// Default address of a System Manager. No public host is configured in: the reserved top-level
// domain ".invalid" never resolves, so a section that names no address of its own stays harmless
// (its link only reports connect errors) instead of reaching a host nobody chose.
inline constexpr std::u16string_view ZELDefaultManagerAddress = u"sysman.invalid";
// ServerVersion and LastClientVersion when not configured.
inline constexpr int32_t ZELDefaultServerVersion = 2014004;

// How a System Manager link reaches its manager.
struct TZELConnectionParams {
    int32_t ManagerConnectTimeout = 10000;   // ms
    int32_t ProxyConnectTimeout = 5000;      // ms
    int32_t ManagerActivityTimeout = 10000;  // ms
    TZELProxyType ProxyType = TZELProxyType::ZEL_PROXY_TYPE_NONE;
    UnicodeString ProxyAddress;
    int32_t ProxyPort = 0;
    UnicodeString ProxyUsername;
    UnicodeString ProxyPassword;
    UnicodeString ProxyCharsetName;
    bool ManagerPreferIPv4 = true;
};

// One System Manager section ([Manager], [Manager1], [Manager2]).
struct TZELSvcSysmanParams {
    UnicodeString PresentServerAddress;
    UnicodeString PresentServerPort;
    UnicodeString ManagerAddress;
    UnicodeString ManagerAuthEMail;
    UnicodeString ManagerAuthPassword;
    UnicodeString ManagerInvalidPasswordScript;
    UnicodeString ConfigFileName;
    UnicodeString ManagerSuccessAuthScript;
    int32_t ManagerPort = 0;
    int32_t ManagerDelayAfterConnect = 0;  // s
    int32_t ManagerReconnectInterval = 0;  // s
    int32_t ServerVersion = 0;
    int32_t ManagerLogDebug = 0;
    bool SubstituteSource = false;
    bool ManagerLogErrors = false;
    bool ManagerEnabled = false;
    bool ManagerUnicode = false;
    TZELConnectionParams Connection;
    // The configured ManagerPort text was no port: ManagerPort holds 10025, and the section check
    // reports the text as invalid without disabling the section.
    bool ManagerPortInvalid = false;
};

// The [Command] block: the local command port.
struct TZELCommandParams {
    bool CommandEnabled = false;
    uint16_t CommandPort = 10023;
    uint8_t CommandIPVersion = 1;  // 0 both families, 1 IPv4 only, 2 IPv6 only
    bool CommandPreferIPv4 = true;
    int32_t CommandLogLevel = 0;
    int32_t CommandTimeout1 = 1500;  // ms
    int32_t CommandTimeout2 = 1000;  // ms
};

// Defaults of the [Command] block and the bounds of its two time-outs.
struct TZELCommandDefaults {
    TZELCommandParams Values;
    int32_t TimeoutMin = 100;    // ms
    int32_t TimeoutMax = 60000;  // ms
};

// The configuration reader's defaults. The time-outs default to the console's fixed connect
// (1500 ms) and answer (1000 ms) limits; the bounds keep a configured value between a tenth of a
// second and a minute.
inline const TZELCommandDefaults ZELCommandDefaults{};

struct TZELServiceConfig {
    std::vector<UnicodeString> ListenServerPorts;
    int32_t ServerVersion = ZELDefaultServerVersion;
    UnicodeString PresentServerAddress;
    UnicodeString PresentServerPort;
    UnicodeString ServerOwnerEMail;
    // Not read from the file; the default of every section's ManagerAuthPassword.
    UnicodeString ServerPassword;
    UnicodeString BackupServerAddress;
    UnicodeString BackupServerPort;
    UnicodeString ManagerInvalidPasswordScript;
    UnicodeString ConfigFileName;
    bool LogExec = true;
    bool LogData = true;
    bool LogReopenLog = false;
    bool ManagerUnicode = true;
    int32_t LastClientVersion = ZELDefaultServerVersion;
    UnicodeString ServerCharsetName;
    UnicodeString DefaultNetworkName;
    UnicodeString NetworksFileName;
    UnicodeString AdminsFileName;
    UnicodeString MutesFileName;
    UnicodeString BlocksFileName;
    UnicodeString ModesFileName;
    UnicodeString RightsFileName;
    UnicodeString NoticesFileName;
    UnicodeString OwnerFileName;
    UnicodeString PidFile;
    UnicodeString LogFile;
    UnicodeString TempDir;
    UnicodeString DataDir;
    UnicodeString SystemCharsetName;
    uint8_t IPVersion = 0;  // 0 both families, 1 IPv4 only, 2 IPv6 only
    bool DisableDUPL = false;
    int32_t ClientHandshakeTimeout = 2;  // s
    int32_t ClientActivityTimeout = 8;   // s
    int32_t ClientsPerThread = 500;
    int32_t OutputBufferLimit = 131072;  // bytes
    int32_t OutputBufferFactor = 3;
    int32_t ManagerSecondaryAuthTime = 40;  // s
    bool ManagerSecondaryAuthOnce = true;
    int32_t LogClientLevel = 2;
    bool ShortFrames = true;
    int32_t MaxTotalConnections = 1000;
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    TZELSvcSysmanParams Managers[3];  // indexed by TZELSVCManagerIndex
    int32_t MaxSpeechTime = 300;  // s
    int32_t SpeechPause = 0;
    int32_t QuarantineTime = 0;
    bool KeepHotThread = false;
    int32_t ThreadCacheTime = 20;       // s
    bool SpeechLimit = true;
    int32_t ClientSessionMaxTime = 0;   // s, 0 = no limit
    int32_t MaxConnectionsPerAddress = 8;  // -1 = no limit
    int32_t MaxWaitConnections = 5;
    UnicodeString DefaultCountry;
    UnicodeString DataChangeScript;
    bool RereadCompareAttr = true;
    char16_t ListDelimiter = u';';
    TZELReopenLogSignal ReopenLogSignal = TZELReopenLogSignal::rls_SIGHUP;
    bool LogAdmin = true;
    bool TempMuteBlock = true;
    bool LevelMuteBlock = false;
    bool ExactMuteBlock = false;
    bool UniqCallsign = false;
    TZELCommandParams Command;
};

using TZELConfigLineHandler = std::function<void(const UnicodeString& Line)>;

// Reads the file (UTF-16 name, a missing file raises the file error) into Config. ServerPassword
// is left as the caller set it. Raises EZELServiceInvalidServerOwnerEMail, Exception for an empty
// ServerCharsetName, the charset error for a refused charset name (with the key as prefix), and
// any error inside a manager section with "Section [name]: " in front.
void ReadServiceConfig(TZELServiceConfig& Config, UnicodeView FileName);

// Reads the [Command] keys of Section; missing or invalid values take Defaults.
void ReadCommandSection(TIniFileUTF8& Ini, UnicodeView Section, const TZELCommandDefaults& Defaults,
                        TZELCommandParams& Block);

// Disables every enabled manager section that lacks an address, a port, an e-mail or a password,
// sending one "ERROR: " line per fault and one "WARNING: " line per disabled section. A ManagerPort
// text that was no port gets its "ERROR: " line too, but keeps the section on with port 10025: a
// typo must not turn the server into a standalone one.
void CheckManagerSections(TZELServiceConfig& Config, const TZELConfigLineHandler& LineHandler);

// Index 0..2 of the one enabled section whose ManagerAddress equals Address (ASCII case
// ignored); -1 when none matches, -2 when several do.
int32_t FindConfigManagerByAddress(const TZELServiceConfig& Config, UnicodeView Address);

}  // namespace zel
