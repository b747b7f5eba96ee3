#pragma once
// The service's own enumerations, the manager-mode name table, log prefixes, the network
// option key names and the clamps that bring configuration values into their ranges.
#include <array>
#include <cstdint>
#include <string_view>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Product and platform texts: every text that names the platform or the revision is built from
// these two routines, so the console banner, the daemon start line and the version that clients
// see always agree with the build target.

inline constexpr int32_t ZELRevision = 6583;
// The build target in `uname -s`-`uname -m` form ("FreeBSD-amd64", "Linux-x86_64").
AnsiView ZELPlatformText() noexcept;
// "r6583-" + the platform text: the version text sent to clients (TVR).
AnsiView ZELVersionText() noexcept;

// ---------------------------------------------------------------------------------------------

enum class TZELSVCManagerIndex : uint8_t { fmi_Manager0, fmi_Manager1, fmi_Manager2 };
inline constexpr std::array<std::u16string_view, 3> ZELSVCManagerSectionNames = {u"Manager", u"Manager1",
                                                                                 u"Manager2"};

enum class TZELSVCAccessInfoMode : uint8_t { fsaim_Original, fsaim_Always, fsaim_Never };
inline constexpr std::array<std::u16string_view, 3> ZELSVCAccessInfoModeTexts = {u"ORIGINAL", u"ALWAYS",
                                                                                 u"NEVER"};

// Why a client connection ended; the first cause set on a context is kept.
enum class TZELSVCDisconnectCause : uint8_t {
    fsdc_DisconnectWithoutAuth,
    fsdc_HandshakeTimeout,
    fsdc_KPAnswerTimeout,
    fsdc_ManagerTimeout,
    fsdc_ClientTimeout,
    fsdc_InvalidConnectString,
    fsdc_InvalidCharacter,
    fsdc_InvalidKPAnswer,
    fsdc_ClientWrongCommand,
    fsdc_ServerError,
    fsdc_ServerBlock,
    fsdc_ServerWrongPasssword,
    fsdc_ServerDuplicate,
    fsdc_BandWidthLimit,
    fsdc_ManagerError,
    fsdc_ManagerWrongPassword,
    fsdc_ManagerDuplicate,
    fsdc_ManagerBlock,
    fsdc_ServerAdminBlock,
    fsdc_ServerAccessDenied,
    fsdc_ServerTerminate,
    fsdc_ServerStopped,
    fsdc_NetMaxClients,
    fsdc_MaxTotalConnections,
    fsdc_MaxConnectionPerAddress,
    fsdc_ServOutOfMemory,
    fsdc_ServInternalError,
    fsdc_SocketError,
    fsdc_GracefullDisconnect,
    fsdc_SessionTimeLimit,
    fsdc_ChangeRole,
    fsdc_InvalidPeer,
    fsdc_MaxCommandConnections,
    fsdc_CommandWrongCommand,
    fsdc_PrivilegeViolation,
    fsdc_InvalidAudioData,
    fsdc_TxRulesViolation,
    fsdc_TxTempViolation,
    fsdc_ExtProtoViolation,
    fsdc_WrongUnicodePart,
    fsdc_TooLongString,
    fsdc_ByOwner
};
inline constexpr int ZELSVCDisconnectCauseCount = 42;

// Log text of a cause and the lowest client log level at which it is logged.
struct TZELSVCDisconnectCauseRec {
    std::u16string_view Text;
    int32_t Level;
};
inline constexpr std::array<TZELSVCDisconnectCauseRec, ZELSVCDisconnectCauseCount> ZELSVCDisconnectCauseTable = {{
    {u"HANDSHAKE_NONE", 1},
    {u"HANDSHAKE_TIMEOUT", 1},
    {u"DISCONNECT_KP_ANSWER_TIMEOUT", 2},
    {u"DISCONNECT_MANAGER_TIMEOUT", 5},
    {u"DISCONNECT_TIMEOUT", 3},
    {u"DISCONNECT_INVALID_HANDSHAKE", 1},
    {u"DISCONNECT_INVALID_CHARACTERS", 1},
    {u"DISCONNECT_INVALID_KP_ANSWER", 1},
    {u"DISCONNECT_INVALID_COMMAND", 1},
    {u"DISCONNECT_SERVER_ERROR", 3},
    {u"DISCONNECT_SERVER_BLOCK", 3},
    {u"DISCONNECT_SERVER_WRONG", 3},
    {u"DISCONNECT_SERVER_DUPL", 3},
    {u"DISCONNECT_BANDWIDTH", 2},
    {u"DISCONNECT_MANAGER_ERROR", 3},
    {u"DISCONNECT_MANAGER_WRONG", 3},
    {u"DISCONNECT_MANAGER_DUPL", 3},
    {u"DISCONNECT_MANAGER_BLOCK", 3},
    {u"DISCONNECT_ADMIN_BLOCK", 3},
    {u"DISCONNECT_ACCESS_DENIED", 3},
    {u"DISCONNECT_TERMINATED_BY_SERVER", 4},
    {u"DISCONNECT_SERVER_STOP", 4},
    {u"DISCONNECT_MAX_CLIENTS", 2},
    {u"DISCONNECT_LIMIT_TOTAL", 1},
    {u"DISCONNECT_LIMIT_ADDRESS", 1},
    {u"DISCONNECT_OUT_OF_MEMORY", 1},
    {u"DISCONNECT_INTERNAL_ERROR", 1},
    {u"DISCONNECT_SOCKET_ERROR", 3},
    {u"DISCONNECT_BY_CLIENT", 4},
    {u"DISCONNECT_LIMIT_TIME", 2},
    {u"DISCONNECT_NEW_ROLE", 4},
    {u"HANDSHAKE_INVALID_PEER", 1},
    {u"DISCONNECT_MAX_COMMAND_CONNECTIONS", 2},
    {u"DISCONNECT_INVALID_CONTROL_COMMAND", 1},
    {u"DISCONNECT_PRIVILEGE_VIOLATION", 1},
    {u"DISCONNECT_INVALID_AUDIO", 1},
    {u"DISCONNECT_TX_RULES_VIOLATION", 1},
    {u"DISCONNECT_TX_TEMP_VIOLATION", 1},
    {u"DISCONNECT_EXT_PROTO_VIOLATION", 1},
    {u"DISCONNECT_WRONG_UNICODE", 1},
    {u"DISCONNECT_TOO_LONG", 1},
    {u"DISCONNECT_BY_SERVER_OWNER", 4},
}};
constexpr const TZELSVCDisconnectCauseRec& DisconnectCauseInfo(TZELSVCDisconnectCause c) {
    return ZELSVCDisconnectCauseTable[static_cast<uint8_t>(c)];
}

// Log-line prefixes.
inline constexpr std::u16string_view ZELLogPrefixError = u"ERROR: ";
inline constexpr std::u16string_view ZELLogPrefixWarning = u"WARNING: ";
inline constexpr std::u16string_view ZELLogPrefixDebug = u"DEBUG: ";

// Key names of the per-network options (networks file).
inline constexpr std::u16string_view ZELNetOptOwnerEMail = u"OwnerEMail";
inline constexpr std::u16string_view ZELNetOptMaxClients = u"MaxClients";
inline constexpr std::u16string_view ZELNetOptCharsetName = u"CharsetName";
inline constexpr std::u16string_view ZELNetOptMaxSpeechTime = u"MaxSpeechTime";
inline constexpr std::u16string_view ZELNetOptSpeechPause = u"SpeechPause";
inline constexpr std::u16string_view ZELNetOptQuarantineTime = u"QuarantineTime";
inline constexpr std::u16string_view ZELNetOptAccessInfoMode = u"AccessInfoMode";
inline constexpr std::u16string_view ZELNetOptParrotEnable = u"ParrotEnable";
inline constexpr std::u16string_view ZELNetOptParrotStartStopEnable = u"ParrotStartStopEnable";
inline constexpr std::u16string_view ZELNetOptParrotMuteEnable = u"ParrotMuteEnable";
inline constexpr std::u16string_view ZELNetOptParrotMaxRecordTime = u"ParrotMaxRecordTime";
inline constexpr std::u16string_view ZELNetOptParrotPause = u"ParrotPause";
inline constexpr std::u16string_view ZELNetOptParrotRepeatCount = u"ParrotRepeatCount";
inline constexpr std::u16string_view ZELNetOptParrotMessageDisable = u"ParrotMessageDisable";
inline constexpr std::u16string_view ZELNetOptParrotPrefixFileName = u"ParrotPrefixFileName";
inline constexpr std::u16string_view ZELNetOptParrotPrefixMaxTime = u"ParrotPrefixMaxTime";
inline constexpr std::u16string_view ZELNetOptParrotPrefixRepeatEach = u"ParrotPrefixRepeatEach";
inline constexpr std::u16string_view ZELNetOptManagerMode = u"ManagerMode";
inline constexpr std::u16string_view ZELNetOptOutputBufferLimit = u"OutputBufferLimit";
inline constexpr std::u16string_view ZELNetOptOutputBufferFactor = u"OutputBufferFactor";
inline constexpr std::u16string_view ZELNetOptLogClientLevel = u"LogClientLevel";
inline constexpr std::u16string_view ZELNetOptManagersMask = u"ManagersMask";
inline constexpr std::u16string_view ZELNetOptShortFrames = u"ShortFrames";
inline constexpr std::u16string_view ZELNetOptSpeechLimit = u"SpeechLimit";
inline constexpr std::u16string_view ZELNetOptLogAdmin = u"LogAdmin";
inline constexpr std::u16string_view ZELNetOptTempMuteBlock = u"TempMuteBlock";
inline constexpr std::u16string_view ZELNetOptLevelMuteBlock = u"LevelMuteBlock";
inline constexpr std::u16string_view ZELNetOptExactMuteBlock = u"ExactMuteBlock";
inline constexpr std::u16string_view ZELNetOptUniqCallsign = u"UniqCallsign";
inline constexpr std::u16string_view ZELNetOptClientSessionMaxTime = u"ClientSessionMaxTime";
inline constexpr std::u16string_view ZELNetOptHidden = u"Hidden";

// Manager-mode names, searched in this order.
struct TZELSVCSystemManagerModeConvertRec {
    std::u16string_view Text;
    TZELSystemManagerMode Mode;
};
inline constexpr std::array<TZELSVCSystemManagerModeConvertRec, 8> ZELSVCSystemManagerModeConvert = {{
    {u"ZEL", TZELSystemManagerMode::smm_ZEL},
    {u"Z", TZELSystemManagerMode::smm_ZEL},
    {u"LIGHT", TZELSystemManagerMode::smm_Light},
    {u"L", TZELSystemManagerMode::smm_Light},
    {u"NOTIFY", TZELSystemManagerMode::smm_Notify},
    {u"N", TZELSystemManagerMode::smm_Notify},
    {u"STANDALONE", TZELSystemManagerMode::smm_Standalone},
    {u"S", TZELSystemManagerMode::smm_Standalone},
}};

// Every field of a manager section's parameters.
struct TZELSvcSysmanParams;
void CopySysmanParams(TZELSvcSysmanParams& Dest, const TZELSvcSysmanParams& Source);

// Trimmed number 0..3 or a name of the table (ASCII case ignored); Mode is unchanged on false.
bool ParseSystemManagerMode(UnicodeView Text, TZELSystemManagerMode& Mode);

// Unparsable or below 1: Default; else clamped 4096..16777216.
int32_t ClampOutputBufferLimit(UnicodeView Text, int32_t Default);
int32_t ClampClientsPerThread(int32_t N);
int32_t ClampLogClientLevel(int32_t N);
// Seconds; used for ManagerConnectTimeout and ManagerActivityTimeout.
int32_t ClampManagerConnectTimeout(int32_t N);
int32_t ClampProxyConnectTimeout(int32_t N);
int32_t ClampMaxWaitConnections(int32_t N);
// -1 means no limit.
int32_t ClampMaxConnectionsPerAddress(int32_t N);

}  // namespace zel
