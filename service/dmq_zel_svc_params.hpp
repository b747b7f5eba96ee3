#pragma once
// Per-network option records with their defaults, the server-wide defaults a network starts
// from, the parser and printer of a network's option text and of a networks-file line, the
// clamps of the network parameters, the AccessInfoMode parser and the field readers shared by
// the list-file parsers.
#include <cstdint>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

using TZELEMailArray = std::vector<UnicodeString>;

struct TZELSVCParrotOptions {
    bool ParrotEnable = false;
    bool ParrotStartStopEnable = false;
    bool ParrotMuteEnable = false;
    uint32_t ParrotMaxRecordTime = 120000;  // ms
    uint32_t ParrotPause = 2000;            // ms
    uint32_t ParrotRepeatCount = 1;
    bool ParrotMessageDisable = false;
    UnicodeString ParrotPrefixFileName;
    int32_t ParrotPrefixMaxTime = 10;  // s
    bool ParrotPrefixRepeatEach = false;

    bool operator==(const TZELSVCParrotOptions&) const = default;
};

struct TZELSVCNetworkOptions {
    TZELSVCParrotOptions Parrot;
    int32_t MaxClients = 65533;
    TZELEMailArray OwnerEMail;
    UnicodeString CharsetName;
    AnsiString CharsetNameA;
    uint32_t MaxSpeechTime = 300000;  // ms
    uint32_t SpeechPause = 0;         // ms
    uint32_t QuarantineTime = 0;      // ms
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    bool ManagerModeSet = false;
    int32_t OutputBufferLimit = 131072;
    int32_t OutputBufferFactor = 3;
    TZELSVCAccessInfoMode AccessInfoMode = TZELSVCAccessInfoMode::fsaim_Original;
    int32_t LogClientLevel = 2;
    bool LogClientLevelSet = false;  // the options gave LogClientLevel: the network keeps its own
    int32_t ManagersMask = 7;
    bool ShortFrames = true;
    bool SpeechLimit = true;
    int32_t ClientSessionMaxTime = 0;  // s, 0 = no limit
    bool Hidden = false;
    bool LogAdmin = true;
    bool TempMuteBlock = true;
    bool LevelMuteBlock = false;
    bool ExactMuteBlock = false;
    bool UniqCallsign = false;

    bool operator==(const TZELSVCNetworkOptions&) const = default;
};

// Longest network name, in UTF-16 units.
inline constexpr int32_t ZELNetworkNameMaxLen = 32;

struct TZELServNetworkRec {
    UnicodeString Name;  // at most ZELNetworkNameMaxLen units, never half a surrogate pair
    TZELSVCNetworkOptions Options;
};

// The server-wide values a network's options start from (the service's configuration, or another
// network's options). Times as the network options keep them: MaxSpeechTime, SpeechPause and
// QuarantineTime in ms, ClientSessionMaxTime in s.
struct TZELServiceNetOptions {
    UnicodeString CharsetName;
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    int32_t OutputBufferLimit = 131072;
    int32_t OutputBufferFactor = 3;
    int32_t LogClientLevel = 2;
    int32_t ClientSessionMaxTime = 0;  // s, 0 = no limit
    uint32_t MaxSpeechTime = 300000;   // ms
    uint32_t SpeechPause = 0;          // ms
    uint32_t QuarantineTime = 0;       // ms
    bool ShortFrames = true;
    bool SpeechLimit = true;
    bool LogAdmin = true;
    bool TempMuteBlock = true;
    bool LevelMuteBlock = false;
    bool ExactMuteBlock = false;
    bool UniqCallsign = false;
};

struct TZELServiceConfig;

// From the configuration (MaxSpeechTime seconds times 1000; values clamped as the reader does).
void FillNetOptionsFromService(TZELServiceNetOptions& Dest, const TZELServiceConfig& Config);
// From a network's options (ManagerMode is the network's configured mode).
void FillNetOptionsFromNetwork(TZELServiceNetOptions& Dest, const TZELSVCNetworkOptions& Options);

void SetDefaultParrotOptions(TZELSVCParrotOptions& Options);
void SetDefaultNetworkOptions(TZELSVCNetworkOptions& Options);
void SetDefaultNetworkRec(TZELServNetworkRec& Rec);

void CopyParrotOptions(TZELSVCParrotOptions& Dest, const TZELSVCParrotOptions& Source);
void CopyNetworkOptions(TZELSVCNetworkOptions& Dest, const TZELSVCNetworkOptions& Source);

// The fixed defaults, then the server-wide values of Defaults (ManagerModeSet and
// LogClientLevelSet stay false).
void InitNetworkOptions(const TZELServiceNetOptions& Defaults, TZELSVCNetworkOptions& Options);

// Options := InitNetworkOptions, then each "key=value" item of Text (";"-separated; keys ignore
// ASCII case; unknown keys and empty items are skipped). A value that does not read falls back
// by its key's rule: unchanged, the server-wide value or a fixed default. Only an unknown
// CharsetName raises: EAnsiUnicodeConverterInvalidCharsetName with "Network option
// "CharsetName": " in front of the converter's message.
void ParseNetworkOptions(const TZELServiceNetOptions& Defaults, UnicodeView Text,
                         TZELSVCNetworkOptions& Options, TAnsiUnicodeConverterOptions CheckOptions);

// One networks-file line "name|options|...": false (Rec untouched) when the name is empty.
// The name is decoded from UTF-8, trimmed and cut to ZELNetworkNameMaxLen units at a whole
// character. An option error is raised again with "Network: "<name>": " in front.
bool ParseNetworkLine(const TZELServiceNetOptions& Defaults, AnsiView Line, TZELServNetworkRec& Rec,
                      TAnsiUnicodeConverterOptions CheckOptions);

// The options that differ from the defaults as "Key=Value" items joined by "; " (empty when
// nothing differs). Parsing the text over the same Defaults gives the options back, except
// ParrotMuteEnable, which is never printed, and ManagerModeSet or LogClientLevelSet of a mode or
// level set to the server-wide one, which is not printed either.
UnicodeString NetworkOptionsToText(const TZELServiceNetOptions& Defaults, const TZELSVCNetworkOptions& Options);

// Trimmed, ASCII case ignored: 0..2 or ORIGINAL/O, ALWAYS/A, NEVER/N; anything else fsaim_Original.
TZELSVCAccessInfoMode ParseAccessInfoMode(UnicodeView Text);

// Network parameter clamps (seconds unless noted).
int32_t ClampClientHandshakeTimeout(int32_t N);
int32_t ClampClientActivityTimeout(int32_t N);
int32_t ClampOutputBufferFactor(int32_t N);  // a factor
int32_t ClampMaxSpeechTime(int32_t N);
int32_t ClampSpeechPause(int32_t N);
int32_t ClampQuarantineTime(int32_t N);
int32_t ClampManagerSecondaryAuthTime(int32_t N);

// A list-file field stored as hex of its bytes: decoded length, 0 for an empty field,
// negative on a decode error (Value then empty).
int32_t ReadHexTextField(AnsiString& Value, AnsiView Field);
// A client-type digit 0..2: the number, or -1 (ClientType then stays 2).
int32_t ReadClientTypeField(uint8_t& ClientType, AnsiView Field);

}  // namespace zel
