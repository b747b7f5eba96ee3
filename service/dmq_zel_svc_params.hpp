#pragma once
// Per-network option records with their defaults, the clamps of the network parameters,
// the AccessInfoMode parser and the field readers shared by the list-file parsers.
#include <cstdint>
#include <vector>

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
};

struct TZELServNetworkRec {
    UnicodeString Name;  // at most 32 characters
    TZELSVCNetworkOptions Options;
};

void SetDefaultParrotOptions(TZELSVCParrotOptions& Options);
void SetDefaultNetworkOptions(TZELSVCNetworkOptions& Options);
void SetDefaultNetworkRec(TZELServNetworkRec& Rec);

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
