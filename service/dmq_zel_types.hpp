#pragma once
// Vocabulary shared by the client protocol, the configuration and the command channel:
// enumerations (one byte each, values in protocol order) and their text tables.
#include <array>
#include <cstdint>
#include <string_view>

namespace zel {

enum class TZELReopenLogSignal : uint8_t { rls_SIGHUP, rls_SIGUSR1, rls_SIGUSR2 };
enum class TZELSystemManagerMode : uint8_t { smm_Standalone, smm_Notify, smm_Light, smm_ZEL };
enum class TZELVisibleStatus : uint8_t { vs_Available, vs_NotAvailable, vs_Absent };
enum class TZELClientType : uint8_t { clt_CROSSLINK, clt_GATEWAY, clt_PC };
enum class TZELClientPrivilege : uint8_t { clpr_USER, clpr_ADMIN, clpr_NETOWNER, clpr_SERVOWNER };
enum class TZELProxyType : uint8_t {
    ZEL_PROXY_TYPE_NONE,
    ZEL_PROXY_TYPE_SYSTEM,
    ZEL_PROXY_TYPE_HTTP,
    ZEL_PROXY_TYPE_SOCKS4,
    ZEL_PROXY_TYPE_SOCKS5
};
enum class TZELProtoListFormat : uint8_t { fplf_ZEL, fplf_NOLIST, fplf_COUNT, fplf_DIFF };

// Names indexed by the enumeration value.
inline constexpr std::array<std::u16string_view, 3> ZELReopenLogSignalTexts = {u"SIGHUP", u"SIGUSR1",
                                                                               u"SIGUSR2"};
inline constexpr std::array<std::u16string_view, 4> ZELSystemManagerModeTexts = {
    u"STANDALONE", u"NOTIFY", u"LIGHT", u"ZEL"};
inline constexpr std::array<std::u16string_view, 3> ZELVisibleStatusTexts = {u"AVAILABLE", u"NOTAVAILABLE",
                                                                             u"ABSENT"};
inline constexpr std::array<std::u16string_view, 3> ZELVisibleStatusShortTexts = {u"AV", u"NA", u"AB"};
inline constexpr std::array<std::u16string_view, 3> ZELClientTypeTexts = {u"CROSSLINK", u"GATEWAY", u"PC"};
inline constexpr std::array<std::u16string_view, 3> ZELClientTypeShortTexts = {u"CL", u"GW", u"PC"};
inline constexpr std::array<std::u16string_view, 4> ZELClientPrivilegeTexts = {u"USER", u"ADMIN", u"NETOWNER",
                                                                               u"SERVOWNER"};
inline constexpr std::array<std::u16string_view, 5> ZELProxyTypeTexts = {u"NONE", u"SYSTEM", u"HTTP",
                                                                         u"SOCKS4", u"SOCKS5"};
inline constexpr std::array<std::u16string_view, 4> ZELProtoListFormatTexts = {u"ZEL", u"NOLIST", u"COUNT",
                                                                               u"DIFF"};

constexpr std::u16string_view ReopenLogSignalText(TZELReopenLogSignal v) {
    return ZELReopenLogSignalTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view SystemManagerModeText(TZELSystemManagerMode v) {
    return ZELSystemManagerModeTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view VisibleStatusText(TZELVisibleStatus v) {
    return ZELVisibleStatusTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view ClientTypeText(TZELClientType v) {
    return ZELClientTypeTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view ClientPrivilegeText(TZELClientPrivilege v) {
    return ZELClientPrivilegeTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view ProxyTypeText(TZELProxyType v) {
    return ZELProxyTypeTexts[static_cast<uint8_t>(v)];
}
constexpr std::u16string_view ProtoListFormatText(TZELProtoListFormat v) {
    return ZELProtoListFormatTexts[static_cast<uint8_t>(v)];
}

// Protocol extension flag names, in bit order (bit n at index n).
inline constexpr std::array<std::u16string_view, 15> ZELExtensionFlagNames = {
    u"ConnectTimeout", u"ActivityTimeout", u"ProxyConnectTimeout", u"ListenOnly", u"ListFormat",
    u"SoundAck",       u"UTF8",            u"ShortFrames",         u"CompressList", u"SpeakerInfo",
    u"TempMuteBlock",  u"NetChangeInfo",   u"MoveClient",          u"CacheList",    u"Extender1"};

// Single-bit masks, bit n at index n.
inline constexpr std::array<uint32_t, 32> ZELBitMasks = [] {
    std::array<uint32_t, 32> a{};
    for (unsigned i = 0; i < 32; ++i) a[i] = uint32_t{1} << i;
    return a;
}();

// Log prefixes of started external programs.
inline constexpr std::u16string_view ZELExecLogPrefix = u"EXEC: ";
inline constexpr std::u16string_view ZELExecErrorLogPrefix = u"ERROR: EXEC: ";

// Answer words of the client protocol (bytes on the wire).
inline constexpr std::array<std::string_view, 8> ZELProtoAnswerWords = {
    "WRONG", "ERROR", "BLOCK", "DUPL", "OK", "ADMIN", "NETOWNER", "OWNER"};

struct TZELClientTypeNameRec {
    std::u16string_view Text;
    TZELClientType Value;
};
inline constexpr std::array<TZELClientTypeNameRec, 11> ZELClientTypeNames = {{
    {u"CROSSLINK", TZELClientType::clt_CROSSLINK},
    {u"CROSS", TZELClientType::clt_CROSSLINK},
    {u"CL", TZELClientType::clt_CROSSLINK},
    {u"C", TZELClientType::clt_CROSSLINK},
    {u"GATEWAY", TZELClientType::clt_GATEWAY},
    {u"GATE", TZELClientType::clt_GATEWAY},
    {u"GW", TZELClientType::clt_GATEWAY},
    {u"G", TZELClientType::clt_GATEWAY},
    {u"PC", TZELClientType::clt_PC},
    {u"PCONLY", TZELClientType::clt_PC},
    {u"P", TZELClientType::clt_PC},
}};

struct TZELProxyTypeNameRec {
    std::u16string_view Text;
    TZELProxyType Value;
};
inline constexpr std::array<TZELProxyTypeNameRec, 17> ZELProxyTypeNames = {{
    {u"N", TZELProxyType::ZEL_PROXY_TYPE_NONE},
    {u"NO", TZELProxyType::ZEL_PROXY_TYPE_NONE},
    {u"NOT", TZELProxyType::ZEL_PROXY_TYPE_NONE},
    {u"NON", TZELProxyType::ZEL_PROXY_TYPE_NONE},
    {u"NONE", TZELProxyType::ZEL_PROXY_TYPE_NONE},
    {u"S", TZELProxyType::ZEL_PROXY_TYPE_SYSTEM},
    {u"SY", TZELProxyType::ZEL_PROXY_TYPE_SYSTEM},
    {u"SYS", TZELProxyType::ZEL_PROXY_TYPE_SYSTEM},
    {u"SYST", TZELProxyType::ZEL_PROXY_TYPE_SYSTEM},
    {u"SYSTEM", TZELProxyType::ZEL_PROXY_TYPE_SYSTEM},
    {u"H", TZELProxyType::ZEL_PROXY_TYPE_HTTP},
    {u"HT", TZELProxyType::ZEL_PROXY_TYPE_HTTP},
    {u"HTTP", TZELProxyType::ZEL_PROXY_TYPE_HTTP},
    {u"SOCKS4", TZELProxyType::ZEL_PROXY_TYPE_SOCKS4},
    {u"S4", TZELProxyType::ZEL_PROXY_TYPE_SOCKS4},
    {u"SOCKS5", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5},
    {u"S5", TZELProxyType::ZEL_PROXY_TYPE_SOCKS5},
}};

// IP-version texts: both families, IPv4 only, IPv6 only.
inline constexpr std::array<std::u16string_view, 3> ZELIPVersionTexts = {u"46", u"4", u"6"};

}  // namespace zel
