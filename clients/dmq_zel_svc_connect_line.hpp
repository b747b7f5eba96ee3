#pragma once
// The login half's record: what a client's connect line says (identity fields, version,
// capabilities, the extension flags asked for and granted so far, the choice of network) and the
// parser that reads the line and its UTF-8 part into it. The client context derives from the
// record; the parser reads the service only through TZELConnectLineEnv and reports its messages
// and the disconnect cause, which the context logs and stores.
//
// The connect line is untrusted input from clients written by others: tags may come in any order
// and with unknown tags among them, separated by blanks or nothing; a tag is found by its name
// (case-sensitive, the first occurrence wins). Every text is capped in bytes at a whole character
// of its network's character set, so what reaches member lists and data files stays well formed.
//
// Texts exist in up to three forms: the bytes as received in the server's character set ("ANSI":
// the plain names), a UTF-16 copy (...U: from the UTF-8 part where it gave the value, else
// converted from the bytes) and a UTF-8 copy (...Utf8) where a valid UTF-8 part was given.
#include <atomic>
#include <cstdint>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

class TAnsiUnicodeConverter;
class TZELNetworksList;
class TZELSVCNetworkBase;
struct TTaggedField;

// Capabilities of a client version (Caps).
inline constexpr uint32_t ZELCapsKP = 0x1;            // below 2010002: the KP exchange
inline constexpr uint32_t ZELCapsOwnTexts = 0x4;      // from 2014003: BN and BP as configured
inline constexpr uint32_t ZELCapsOwnerWord = 0x8;     // up to 2012002: a network owner is "OWNER"
inline constexpr uint32_t ZELCapsExtensions = 0x10;   // extension flags were requested

// Extension flags (CEF as requested, SEF as granted).
inline constexpr uint32_t ZELExtListFormat = 0x3;
inline constexpr uint32_t ZELExtSoundAck = 0x4;
inline constexpr uint32_t ZELExtUtf8 = 0x8;
inline constexpr uint32_t ZELExtShortFrames = 0x10;
inline constexpr uint32_t ZELExtCompressList = 0x40;
inline constexpr uint32_t ZELExtSpeakerInfo = 0x80;
inline constexpr uint32_t ZELExtTempMuteBlock = 0x100;
inline constexpr uint32_t ZELExtNetChangeInfo = 0x200;
inline constexpr uint32_t ZELExtMoveClient = 0x400;
inline constexpr uint32_t ZELExtCacheList = 0x800;
// What the server takes of a request, after AdjustExtensionFlags.
inline constexpr uint32_t ZELExtRequestMask = 0xF9F;

// ClientFlags bits of the login half (the operating half adds its own).
inline constexpr uint32_t ZELClientStatusMask = 0x3;
inline constexpr uint32_t ZELClientListenOnly = 0x4;
inline constexpr uint32_t ZELClientMuted = 0x8;
inline constexpr uint32_t ZELClientTypeMask = 0x30;  // the client type, bits 4-5
inline constexpr uint32_t ZELClientUtf8 = 0x80;
inline constexpr uint32_t ZELClientListFormatMask = 0x300;
inline constexpr uint32_t ZELClientSoundAck = 0x2000;
inline constexpr uint32_t ZELClientClosing = 0x800000;
inline constexpr uint32_t ZELClientSpeakerInfo = 0x2000000;
inline constexpr uint32_t ZELClientCacheList = 0x4000000;
inline constexpr uint32_t ZELClientFlagsInitial = 0x700820;

// HandshakeResult values; 2 to 5 are also the refusal reasons and the managers' answer codes.
inline constexpr uint8_t ZELLoginInvalid = 0;  // close without an answer
inline constexpr uint8_t ZELLoginAccepted = 1;
inline constexpr uint8_t ZELLoginError = 2;
inline constexpr uint8_t ZELLoginWrong = 3;
inline constexpr uint8_t ZELLoginBlock = 4;
inline constexpr uint8_t ZELLoginDupl = 5;

// Version numbers the server speaks and assumes.
inline constexpr int32_t ZELProtocolVersion = 2014004;

// ---- Client text routines (both halves of the context use them).
// A field's value without its surrounding blanks; empty for no field.
AnsiView TrimmedFieldValue(const TTaggedField* Field);
// At most MaxBytes of S, cut where a character of the converter's set begins: converted to UTF-16
// and back only when it is too long, so that text within the cap keeps its bytes. The result is
// always a start of S: bytes the set does not read are cut as bytes.
AnsiString CutToWholeChars(TAnsiUnicodeConverter& Converter, AnsiView S, int32_t MaxBytes);
// Characters (code points) of a UTF-16 text; a lone surrogate counts as one.
int32_t CodePointCountU(UnicodeView S);
// The first Max characters, never half a surrogate pair.
UnicodeString CutToCodePointsU(UnicodeView S, int32_t Max);
// Converter set to the server's character set (UTF-8 when none is named).
void OpenClientCharset(TAnsiUnicodeConverter& Converter, UnicodeView ServerCharset);
// The character set of a network's clients' 8-bit texts: its own CharsetName, else the server's
// (ServerCharset; empty: UTF-8). Net may be null.
UnicodeString NetworkCharsetName(const TZELSVCNetworkBase* Net, UnicodeView ServerCharset);

// What the parser reads of the service: the server's character set, the defaults and the networks
// a client may ask for, the client log level of the messages.
struct TZELConnectLineEnv {
    UnicodeString ServerCharset;            // empty: UTF-8
    AnsiString DefaultCountryCharset;       // the default country in the server's set; empty: none
    UnicodeString DefaultCountry;
    TZELSVCNetworkBase* DefaultNetwork = nullptr;
    const TZELNetworksList* Networks = nullptr;
    int32_t LogLevel = 0;
};

// What the parse tells its caller: the disconnect cause (0: none) and the log lines that passed
// the client log level, in their order (Error: an error line, else an ordinary one).
struct TZELConnectLineReport {
    struct TLine {
        bool Error = true;
        UnicodeString Text;
    };
    TZELSVCDisconnectCause Cause = TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth;
    std::vector<TLine> Lines;
};

struct TZELClientLoginData {
    // The first line after "CT:", without its line end: sets ConnectText, the fields, Net and
    // HandshakeResult; a failure also reports the cause (result 0) or leaves it to the refusal.
    void ParseConnectLine(AnsiView Line, const TZELConnectLineEnv& Env, TZELConnectLineReport& Report);
    static uint32_t CapsOfVersion(int32_t Version) noexcept;
    // For a network of another charset (a move): the 8-bit forms of the texts that members see
    // (callsign and its key, band, city, description, country) and of the network text, made
    // anew from their UTF-16 forms in Converter's set and cut to their caps at whole characters;
    // a character the set lacks becomes what the converter gives for it. The UTF-16 and UTF-8
    // forms stay the client's texts, so a later move starts from them again; the e-mail, the
    // password and the id stay as sent.
    void EncodeTextsFor(TAnsiUnicodeConverter& Converter);

    // ---- Identity (set by the parse; read by the network afterwards).
    AnsiString EMail;        // uncapped
    AnsiString EMailKey;     // PadKey8A(EMail)
    AnsiString CallsignKey;  // PadKey8A(Callsign)
    AnsiString Id;           // 24-character client id of EMail
    AnsiString Password;     // at most 100 bytes
    AnsiString Callsign;     // at most 50
    AnsiString Band;         // at most 36
    AnsiString City;         // at most 64
    AnsiString Description;  // at most 70
    AnsiString Country;      // at most 36
    AnsiString Network;      // at most 32
    UnicodeString EMailU, PasswordU, CallsignU, BandU, CityU, DescriptionU, CountryU, NetworkU;
    AnsiString EMailUtf8, PasswordUtf8, CallsignUtf8, BandUtf8, CityUtf8, DescriptionUtf8, CountryUtf8,
        NetworkUtf8;
    // Upper-case hex of the e-mail, a zero byte and the callsign (their UTF-8 forms with a UTF-8
    // part).
    UnicodeString UserKey;
    TZELClientType ClientType = TZELClientType::clt_GATEWAY;

    // ---- Login state.
    uint8_t HandshakeResult = ZELLoginInvalid;
    TZELClientPrivilege Privilege = TZELClientPrivilege::clpr_USER;
    int32_t ServerVersion = ZELProtocolVersion;
    int32_t ClientVersion = ZELProtocolVersion;
    uint32_t Caps = 0;
    uint32_t RequestedFlags = 0;
    // Sent as SEF. Atomic: the worker reads the list format bits while the join sets the rest.
    std::atomic<uint32_t> AcceptedFlags{0};
    // Atomic: the worker and the timer thread both touch it (producers add bits with fetch_or).
    std::atomic<uint32_t> ClientFlags{ZELClientFlagsInitial};
    TZELSVCNetworkBase* Net = nullptr;
    AnsiString ConnectText;  // "CT:" and the connect line

private:
    // Password8: the 8-bit password before its cut, whose character count the UTF-8 one must have.
    bool ParseUtf8Part(AnsiView Value, AnsiView Password8, TAnsiUnicodeConverter& Converter,
                       const TZELConnectLineEnv& Env, TZELConnectLineReport& Report);
    // Rules (a) to (d) on Network and, with a UTF-8 part, its network item Utf8Network (empty:
    // none); then the default network, then the first.
    TZELSVCNetworkBase* ChooseNetwork(const TZELConnectLineEnv& Env, AnsiView Utf8Network) const;
};

}  // namespace zel
