#include "service/dmq_zel_svc_params.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "foundation/dmq_hex.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

void SetDefaultParrotOptions(TZELSVCParrotOptions& Options) { Options = TZELSVCParrotOptions{}; }

void SetDefaultNetworkOptions(TZELSVCNetworkOptions& Options) { Options = TZELSVCNetworkOptions{}; }

void SetDefaultNetworkRec(TZELServNetworkRec& Rec) {
    Rec.Name.clear();
    SetDefaultNetworkOptions(Rec.Options);
}

TZELSVCAccessInfoMode ParseAccessInfoMode(UnicodeView Text) {
    const UnicodeString t = AsciiUpperCaseU(TrimU(Text));
    int32_t n = 0;
    if (TryStrToInt32U(UnicodeView(t), n)) {
        if (n >= 0 && n <= 2) return static_cast<TZELSVCAccessInfoMode>(n);
        return TZELSVCAccessInfoMode::fsaim_Original;
    }
    if (t == u"ALWAYS" || t == u"A") return TZELSVCAccessInfoMode::fsaim_Always;
    if (t == u"NEVER" || t == u"N") return TZELSVCAccessInfoMode::fsaim_Never;
    return TZELSVCAccessInfoMode::fsaim_Original;
}

int32_t ClampClientHandshakeTimeout(int32_t N) {
    if (N < 1) return 2;
    if (N > 20) return 20;
    return N;
}

int32_t ClampClientActivityTimeout(int32_t N) {
    if (N <= 0) return 8;
    if (N < 3) return 3;
    if (N > 30) return 30;
    return N;
}

int32_t ClampOutputBufferFactor(int32_t N) {
    if (N < 0) return 3;
    if (N == 0) return 1;
    if (N > 10) return 10;
    return N;
}

int32_t ClampMaxSpeechTime(int32_t N) {
    if (N <= 0) return 300;
    if (N < 10) return 10;
    if (N > 1800) return 1800;
    return N;
}

int32_t ClampSpeechPause(int32_t N) {
    if (N <= 0) return 0;
    if (N > 10000) return 10000;
    return N;
}

int32_t ClampQuarantineTime(int32_t N) {
    if (N < 0) return 0;
    if (N > 4000) return 4000;
    return N;
}

int32_t ClampManagerSecondaryAuthTime(int32_t N) {
    if (N <= 0) return 0;
    if (N >= 300) return 300;
    return N;
}

int32_t ReadHexTextField(AnsiString& Value, AnsiView Field) {
    const AnsiString t = TrimA(Field);
    const int32_t len = static_cast<int32_t>(t.size() / 2);
    if (len < 1) {
        Value.clear();
        return 0;
    }
    Value.resize(static_cast<size_t>(len));
    const int32_t n = TryHexToBuf(Value.data(), t.data(), static_cast<int32_t>(t.size()));
    if (n < 0) {
        Value.clear();
        return n;
    }
    Value.resize(static_cast<size_t>(n));
    return n;
}

int32_t ReadClientTypeField(uint8_t& ClientType, AnsiView Field) {
    ClientType = 2;
    const AnsiString t = TrimA(Field);
    int32_t n = 0;
    if (t.empty() || !TryStrToInt32A(AnsiView(t), n) || n < 0 || n > 2) return -1;
    ClientType = static_cast<uint8_t>(n);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Server-wide defaults, copies, the option-text parser and printer, the networks-file line.

void FillNetOptionsFromService(TZELServiceNetOptions& Dest, const TZELServiceConfig& Config) {
    Dest.CharsetName = Config.ServerCharsetName;
    Dest.ManagerMode = Config.ManagerMode;
    Dest.OutputBufferLimit = Config.OutputBufferLimit;
    Dest.OutputBufferFactor = ClampOutputBufferFactor(Config.OutputBufferFactor);
    Dest.LogClientLevel = ClampLogClientLevel(Config.LogClientLevel);
    Dest.ClientSessionMaxTime = Config.ClientSessionMaxTime < 0 ? 0 : Config.ClientSessionMaxTime;
    Dest.MaxSpeechTime = static_cast<uint32_t>(ClampMaxSpeechTime(Config.MaxSpeechTime)) * 1000u;
    Dest.SpeechPause = static_cast<uint32_t>(ClampSpeechPause(Config.SpeechPause));
    Dest.QuarantineTime = static_cast<uint32_t>(ClampQuarantineTime(Config.QuarantineTime));
    Dest.ShortFrames = Config.ShortFrames;
    Dest.SpeechLimit = Config.SpeechLimit;
    Dest.LogAdmin = Config.LogAdmin;
    Dest.TempMuteBlock = Config.TempMuteBlock;
    Dest.LevelMuteBlock = Config.LevelMuteBlock;
    Dest.ExactMuteBlock = Config.ExactMuteBlock;
    Dest.UniqCallsign = Config.UniqCallsign;
}

void FillNetOptionsFromNetwork(TZELServiceNetOptions& Dest, const TZELSVCNetworkOptions& Options) {
    Dest.CharsetName = Options.CharsetName;
    Dest.ManagerMode = Options.ManagerMode;
    Dest.OutputBufferLimit = Options.OutputBufferLimit;
    Dest.OutputBufferFactor = Options.OutputBufferFactor;
    Dest.LogClientLevel = Options.LogClientLevel;
    Dest.ClientSessionMaxTime = Options.ClientSessionMaxTime;
    Dest.MaxSpeechTime = Options.MaxSpeechTime;
    Dest.SpeechPause = Options.SpeechPause;
    Dest.QuarantineTime = Options.QuarantineTime;
    Dest.ShortFrames = Options.ShortFrames;
    Dest.SpeechLimit = Options.SpeechLimit;
    Dest.LogAdmin = Options.LogAdmin;
    Dest.TempMuteBlock = Options.TempMuteBlock;
    Dest.LevelMuteBlock = Options.LevelMuteBlock;
    Dest.ExactMuteBlock = Options.ExactMuteBlock;
    Dest.UniqCallsign = Options.UniqCallsign;
}

void CopyParrotOptions(TZELSVCParrotOptions& Dest, const TZELSVCParrotOptions& Source) { Dest = Source; }

void CopyNetworkOptions(TZELSVCNetworkOptions& Dest, const TZELSVCNetworkOptions& Source) { Dest = Source; }

void InitNetworkOptions(const TZELServiceNetOptions& Defaults, TZELSVCNetworkOptions& Options) {
    SetDefaultNetworkOptions(Options);
    Options.CharsetName = Defaults.CharsetName;
    Options.CharsetNameA = NarrowStrA(Defaults.CharsetName);
    Options.MaxSpeechTime = Defaults.MaxSpeechTime;
    Options.SpeechPause = Defaults.SpeechPause;
    Options.QuarantineTime = Defaults.QuarantineTime;
    Options.ManagerMode = Defaults.ManagerMode;
    Options.OutputBufferLimit = Defaults.OutputBufferLimit;
    Options.OutputBufferFactor = Defaults.OutputBufferFactor;
    Options.LogClientLevel = Defaults.LogClientLevel;
    Options.ShortFrames = Defaults.ShortFrames;
    Options.SpeechLimit = Defaults.SpeechLimit;
    Options.ClientSessionMaxTime = Defaults.ClientSessionMaxTime;
    Options.LogAdmin = Defaults.LogAdmin;
    Options.TempMuteBlock = Defaults.TempMuteBlock;
    Options.LevelMuteBlock = Defaults.LevelMuteBlock;
    Options.ExactMuteBlock = Defaults.ExactMuteBlock;
    Options.UniqCallsign = Defaults.UniqCallsign;
}

namespace {

enum class TNetOptKey : uint8_t {
    OwnerEMail,
    MaxClients,
    CharsetName,
    MaxSpeechTime,
    SpeechPause,
    QuarantineTime,
    AccessInfoMode,
    ParrotEnable,
    ParrotStartStopEnable,
    ParrotMuteEnable,
    ParrotMaxRecordTime,
    ParrotPause,
    ParrotRepeatCount,
    ParrotMessageDisable,
    ParrotPrefixFileName,
    ParrotPrefixMaxTime,
    ParrotPrefixRepeatEach,
    ManagerMode,
    OutputBufferLimit,
    OutputBufferFactor,
    LogClientLevel,
    ManagersMask,
    ShortFrames,
    SpeechLimit,
    LogAdmin,
    TempMuteBlock,
    LevelMuteBlock,
    ExactMuteBlock,
    UniqCallsign,
    ClientSessionMaxTime,
    Hidden,
};

struct TNetOptKeyRec {
    std::u16string_view Name;
    TNetOptKey Key;
};

constexpr std::array<TNetOptKeyRec, 31> NetOptKeys = {{
    {ZELNetOptOwnerEMail, TNetOptKey::OwnerEMail},
    {ZELNetOptMaxClients, TNetOptKey::MaxClients},
    {ZELNetOptCharsetName, TNetOptKey::CharsetName},
    {ZELNetOptMaxSpeechTime, TNetOptKey::MaxSpeechTime},
    {ZELNetOptSpeechPause, TNetOptKey::SpeechPause},
    {ZELNetOptQuarantineTime, TNetOptKey::QuarantineTime},
    {ZELNetOptAccessInfoMode, TNetOptKey::AccessInfoMode},
    {ZELNetOptParrotEnable, TNetOptKey::ParrotEnable},
    {ZELNetOptParrotStartStopEnable, TNetOptKey::ParrotStartStopEnable},
    {ZELNetOptParrotMuteEnable, TNetOptKey::ParrotMuteEnable},
    {ZELNetOptParrotMaxRecordTime, TNetOptKey::ParrotMaxRecordTime},
    {ZELNetOptParrotPause, TNetOptKey::ParrotPause},
    {ZELNetOptParrotRepeatCount, TNetOptKey::ParrotRepeatCount},
    {ZELNetOptParrotMessageDisable, TNetOptKey::ParrotMessageDisable},
    {ZELNetOptParrotPrefixFileName, TNetOptKey::ParrotPrefixFileName},
    {ZELNetOptParrotPrefixMaxTime, TNetOptKey::ParrotPrefixMaxTime},
    {ZELNetOptParrotPrefixRepeatEach, TNetOptKey::ParrotPrefixRepeatEach},
    {ZELNetOptManagerMode, TNetOptKey::ManagerMode},
    {ZELNetOptOutputBufferLimit, TNetOptKey::OutputBufferLimit},
    {ZELNetOptOutputBufferFactor, TNetOptKey::OutputBufferFactor},
    {ZELNetOptLogClientLevel, TNetOptKey::LogClientLevel},
    {ZELNetOptManagersMask, TNetOptKey::ManagersMask},
    {ZELNetOptShortFrames, TNetOptKey::ShortFrames},
    {ZELNetOptSpeechLimit, TNetOptKey::SpeechLimit},
    {ZELNetOptLogAdmin, TNetOptKey::LogAdmin},
    {ZELNetOptTempMuteBlock, TNetOptKey::TempMuteBlock},
    {ZELNetOptLevelMuteBlock, TNetOptKey::LevelMuteBlock},
    {ZELNetOptExactMuteBlock, TNetOptKey::ExactMuteBlock},
    {ZELNetOptUniqCallsign, TNetOptKey::UniqCallsign},
    {ZELNetOptClientSessionMaxTime, TNetOptKey::ClientSessionMaxTime},
    {ZELNetOptHidden, TNetOptKey::Hidden},
}};

bool SameTextAscii(UnicodeView a, UnicodeView b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
        if (x != y) return false;
    }
    return true;
}

const TNetOptKeyRec* FindNetOptKey(UnicodeView Name) noexcept {
    for (const auto& k : NetOptKeys)
        if (SameTextAscii(k.Name, Name)) return &k;
    return nullptr;
}

// The value of a server-wide flag: a Boolean that does not read gives Fallback.
bool BoolOr(UnicodeView Value, bool Fallback) noexcept {
    bool v = Fallback;
    return TryStrToBoolU(Value, v) ? v : Fallback;
}

void ParseOwnerEMail(UnicodeView Value, TZELEMailArray& List) {
    List.clear();
    size_t start = 0;
    for (;;) {
        const size_t comma = Value.find(u',', start);
        const size_t len = comma == UnicodeView::npos ? UnicodeView::npos : comma - start;
        const UnicodeString item = TrimU(Value.substr(start, len));
        if (!item.empty()) List.push_back(item);
        if (comma == UnicodeView::npos) break;
        start = comma + 1;
    }
}

void ApplyNetworkOption(const TZELServiceNetOptions& Defaults, TNetOptKey Key, UnicodeView Value,
                        TZELSVCNetworkOptions& O, TAnsiUnicodeConverterOptions CheckOptions) {
    TZELSVCParrotOptions& P = O.Parrot;
    int32_t n = 0;
    const bool isNum = TryStrToInt32U(Value, n);
    switch (Key) {
        case TNetOptKey::OwnerEMail: ParseOwnerEMail(Value, O.OwnerEMail); break;
        case TNetOptKey::MaxClients:
            if (isNum && n >= 1 && n <= 65533) O.MaxClients = n;
            break;
        case TNetOptKey::CharsetName:
            if (Value.empty()) {
                O.CharsetName = Defaults.CharsetName;
            } else {
                CheckCharsetName(Value, u"Network option \"CharsetName\"", CheckOptions);
                O.CharsetName = UnicodeString(Value);
            }
            O.CharsetNameA = NarrowStrA(O.CharsetName);
            break;
        case TNetOptKey::MaxSpeechTime:
            if (isNum) O.MaxSpeechTime = static_cast<uint32_t>(ClampMaxSpeechTime(n)) * 1000u;
            break;
        case TNetOptKey::SpeechPause:
            if (isNum) O.SpeechPause = static_cast<uint32_t>(ClampSpeechPause(n));
            break;
        case TNetOptKey::QuarantineTime:
            if (isNum) O.QuarantineTime = static_cast<uint32_t>(ClampQuarantineTime(n));
            break;
        case TNetOptKey::AccessInfoMode: O.AccessInfoMode = ParseAccessInfoMode(Value); break;
        case TNetOptKey::ParrotEnable: TryStrToBoolU(Value, P.ParrotEnable); break;
        case TNetOptKey::ParrotStartStopEnable: TryStrToBoolU(Value, P.ParrotStartStopEnable); break;
        case TNetOptKey::ParrotMuteEnable: TryStrToBoolU(Value, P.ParrotMuteEnable); break;
        case TNetOptKey::ParrotMaxRecordTime:
            P.ParrotMaxRecordTime =
                !isNum || n < 1 ? 120000u : static_cast<uint32_t>(n < 10 ? 10 : n > 300 ? 300 : n) * 1000u;
            break;
        case TNetOptKey::ParrotPause:
            P.ParrotPause = !isNum || n < 1 ? 2000u : static_cast<uint32_t>(n < 100 ? 100 : n > 10000 ? 10000 : n);
            break;
        case TNetOptKey::ParrotRepeatCount:
            P.ParrotRepeatCount = !isNum || n < 1 ? 1u : static_cast<uint32_t>(n > 50 ? 50 : n);
            break;
        case TNetOptKey::ParrotMessageDisable: P.ParrotMessageDisable = BoolOr(Value, false); break;
        case TNetOptKey::ParrotPrefixFileName: P.ParrotPrefixFileName = UnicodeString(Value); break;
        case TNetOptKey::ParrotPrefixMaxTime: P.ParrotPrefixMaxTime = !isNum ? 10 : n < 0 ? 0 : n > 30 ? 30 : n; break;
        case TNetOptKey::ParrotPrefixRepeatEach: P.ParrotPrefixRepeatEach = BoolOr(Value, false); break;
        case TNetOptKey::ManagerMode:
            O.ManagerModeSet = ParseSystemManagerMode(Value, O.ManagerMode);
            if (!O.ManagerModeSet) O.ManagerMode = Defaults.ManagerMode;
            break;
        case TNetOptKey::OutputBufferLimit:
            O.OutputBufferLimit = ClampOutputBufferLimit(Value, Defaults.OutputBufferLimit);
            break;
        case TNetOptKey::OutputBufferFactor:
            O.OutputBufferFactor = isNum ? ClampOutputBufferFactor(n) : Defaults.OutputBufferFactor;
            break;
        case TNetOptKey::LogClientLevel:
            if (!isNum) break;
            O.LogClientLevel = ClampLogClientLevel(n);
            O.LogClientLevelSet = true;
            break;
        case TNetOptKey::ManagersMask:
            if (isNum && n >= 0 && n <= 7) O.ManagersMask = n;
            break;
        case TNetOptKey::ShortFrames: O.ShortFrames = BoolOr(Value, Defaults.ShortFrames); break;
        case TNetOptKey::SpeechLimit: O.SpeechLimit = BoolOr(Value, Defaults.SpeechLimit); break;
        case TNetOptKey::LogAdmin: O.LogAdmin = BoolOr(Value, Defaults.LogAdmin); break;
        case TNetOptKey::TempMuteBlock: O.TempMuteBlock = BoolOr(Value, Defaults.TempMuteBlock); break;
        case TNetOptKey::LevelMuteBlock: O.LevelMuteBlock = BoolOr(Value, Defaults.LevelMuteBlock); break;
        case TNetOptKey::ExactMuteBlock: O.ExactMuteBlock = BoolOr(Value, Defaults.ExactMuteBlock); break;
        case TNetOptKey::UniqCallsign: O.UniqCallsign = BoolOr(Value, Defaults.UniqCallsign); break;
        case TNetOptKey::ClientSessionMaxTime: {
            TDurationRec d;
            if (!TryParseDurationU(Value, d)) break;
            const int64_t s = DurationToSeconds(d);
            if (s >= 0) O.ClientSessionMaxTime = static_cast<int32_t>(std::min<int64_t>(s, INT32_MAX));
            break;
        }
        case TNetOptKey::Hidden: TryStrToBoolU(Value, O.Hidden); break;
    }
}

}  // namespace

void ParseNetworkOptions(const TZELServiceNetOptions& Defaults, UnicodeView Text,
                         TZELSVCNetworkOptions& Options, TAnsiUnicodeConverterOptions CheckOptions) {
    InitNetworkOptions(Defaults, Options);
    size_t start = 0;
    while (start <= Text.size()) {
        size_t end = Text.find(u';', start);
        if (end == UnicodeView::npos) end = Text.size();
        const UnicodeString item = TrimU(Text.substr(start, end - start));
        start = end + 1;
        if (item.empty()) continue;
        const size_t eq = item.find(u'=');
        const UnicodeString key = TrimU(UnicodeView(item).substr(0, eq));
        const UnicodeString value =
            eq == UnicodeString::npos ? UnicodeString() : TrimU(UnicodeView(item).substr(eq + 1));
        if (const TNetOptKeyRec* k = FindNetOptKey(key))
            ApplyNetworkOption(Defaults, k->Key, value, Options, CheckOptions);
    }
}

namespace {

// Cut to at most Max units without leaving the high half of a surrogate pair at the end (such a
// name could not be encoded into the list files).
void CutAtWholeChar(UnicodeString& S, size_t Max) {
    if (S.size() <= Max) return;
    size_t n = Max;
    if (n > 0 && S[n - 1] >= 0xD800 && S[n - 1] <= 0xDBFF) --n;
    S.resize(n);
}

}  // namespace

bool ParseNetworkLine(const TZELServiceNetOptions& Defaults, AnsiView Line, TZELServNetworkRec& Rec,
                      TAnsiUnicodeConverterOptions CheckOptions) {
    const size_t bar = Line.find('|');
    const AnsiView nameField = Line.substr(0, bar);
    UnicodeString name = TrimU(Utf8BufToUnicodeU(nameField.data(), static_cast<int32_t>(nameField.size())));
    CutAtWholeChar(name, ZELNetworkNameMaxLen);
    // The cut may leave a blank at the end; the network trims its name, so the indexes must too.
    name = TrimRightU(name);
    if (name.empty()) return false;
    Rec.Name = name;
    InitNetworkOptions(Defaults, Rec.Options);
    if (bar == AnsiView::npos) return true;
    AnsiView optField = Line.substr(bar + 1);
    optField = optField.substr(0, optField.find('|'));
    const UnicodeString text = Utf8BufToUnicodeU(optField.data(), static_cast<int32_t>(optField.size()));
    try {
        ParseNetworkOptions(Defaults, text, Rec.Options, CheckOptions);
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        throw EAnsiUnicodeConverterInvalidCharsetName("Network: \"" + UnicodeToUtf8A(Rec.Name) + "\": " + e.Message());
    }
    return true;
}

namespace {

void AddItem(TStringBldU& B, UnicodeView Key, UnicodeView Value) {
    if (B.Len() > 0) StrBldUAdd(B, u"; ");
    StrBldUAdd(B, Key);
    StrBldUAddChar(B, u'=');
    StrBldUAdd(B, Value);
}

void AddNum(TStringBldU& B, UnicodeView Key, int64_t Value) {
    const std::string s = std::to_string(Value);
    AddItem(B, Key, WidenStrU(s));
}

void AddBool(TStringBldU& B, UnicodeView Key, bool Value) { AddItem(B, Key, Value ? u"Yes" : u"No"); }

}  // namespace

UnicodeString NetworkOptionsToText(const TZELServiceNetOptions& D, const TZELSVCNetworkOptions& O) {
    const TZELSVCParrotOptions& P = O.Parrot;
    TStringBldU b;
    StrBldUInit(b, 128);
    if (O.ManagerModeSet && O.ManagerMode != D.ManagerMode)
        AddItem(b, ZELNetOptManagerMode, SystemManagerModeText(O.ManagerMode));
    if (O.ManagersMask != 7) AddNum(b, ZELNetOptManagersMask, O.ManagersMask);
    if (!O.OwnerEMail.empty()) {
        UnicodeString list;
        for (const auto& e : O.OwnerEMail) {
            if (!list.empty()) list += u',';
            list += e;
        }
        AddItem(b, ZELNetOptOwnerEMail, list);
    }
    if (O.MaxClients != 65533) AddNum(b, ZELNetOptMaxClients, O.MaxClients);
    if (O.MaxSpeechTime != D.MaxSpeechTime) AddNum(b, ZELNetOptMaxSpeechTime, O.MaxSpeechTime / 1000u);
    if (O.SpeechPause != D.SpeechPause) AddNum(b, ZELNetOptSpeechPause, O.SpeechPause);
    if (O.QuarantineTime != D.QuarantineTime) AddNum(b, ZELNetOptQuarantineTime, O.QuarantineTime);
    if (O.ShortFrames != D.ShortFrames) AddBool(b, ZELNetOptShortFrames, O.ShortFrames);
    if (O.OutputBufferLimit != D.OutputBufferLimit) AddNum(b, ZELNetOptOutputBufferLimit, O.OutputBufferLimit);
    if (O.OutputBufferFactor != D.OutputBufferFactor) AddNum(b, ZELNetOptOutputBufferFactor, O.OutputBufferFactor);
    if (O.LogClientLevel != D.LogClientLevel) AddNum(b, ZELNetOptLogClientLevel, O.LogClientLevel);
    if (O.AccessInfoMode != TZELSVCAccessInfoMode::fsaim_Original)
        AddItem(b, ZELNetOptAccessInfoMode, ZELSVCAccessInfoModeTexts[static_cast<uint8_t>(O.AccessInfoMode)]);
    if (O.SpeechLimit != D.SpeechLimit) AddBool(b, ZELNetOptSpeechLimit, O.SpeechLimit);
    if (O.ClientSessionMaxTime != D.ClientSessionMaxTime) {
        // The duration reader takes at most 9 digits in a field: a longer time (up to the cap,
        // 2147483647 s) goes out in days, hours, minutes and seconds, so that it reads back.
        if (O.ClientSessionMaxTime > 999999999)
            AddItem(b, ZELNetOptClientSessionMaxTime, FormatDurationU(O.ClientSessionMaxTime));
        else
            AddNum(b, ZELNetOptClientSessionMaxTime, O.ClientSessionMaxTime);
    }
    if (O.Hidden) AddBool(b, ZELNetOptHidden, true);
    if (O.LogAdmin != D.LogAdmin) AddBool(b, ZELNetOptLogAdmin, O.LogAdmin);
    if (O.TempMuteBlock != D.TempMuteBlock) AddBool(b, ZELNetOptTempMuteBlock, O.TempMuteBlock);
    if (O.LevelMuteBlock != D.LevelMuteBlock) AddBool(b, ZELNetOptLevelMuteBlock, O.LevelMuteBlock);
    if (O.ExactMuteBlock != D.ExactMuteBlock) AddBool(b, ZELNetOptExactMuteBlock, O.ExactMuteBlock);
    if (O.UniqCallsign != D.UniqCallsign) AddBool(b, ZELNetOptUniqCallsign, O.UniqCallsign);
    if (O.CharsetName != D.CharsetName) AddItem(b, ZELNetOptCharsetName, O.CharsetName);
    if (P.ParrotEnable) AddBool(b, ZELNetOptParrotEnable, true);
    if (P.ParrotStartStopEnable) AddBool(b, ZELNetOptParrotStartStopEnable, true);
    if (P.ParrotMaxRecordTime != 120000u) AddNum(b, ZELNetOptParrotMaxRecordTime, P.ParrotMaxRecordTime / 1000u);
    if (P.ParrotPause != 2000u) AddNum(b, ZELNetOptParrotPause, P.ParrotPause);
    if (P.ParrotRepeatCount != 1u) AddNum(b, ZELNetOptParrotRepeatCount, P.ParrotRepeatCount);
    if (P.ParrotMessageDisable) AddBool(b, ZELNetOptParrotMessageDisable, true);
    if (!P.ParrotPrefixFileName.empty()) AddItem(b, ZELNetOptParrotPrefixFileName, P.ParrotPrefixFileName);
    if (P.ParrotPrefixMaxTime != 10) AddNum(b, ZELNetOptParrotPrefixMaxTime, P.ParrotPrefixMaxTime);
    if (P.ParrotPrefixRepeatEach) AddBool(b, ZELNetOptParrotPrefixRepeatEach, true);
    return StrBldUToStr(b);
}

}  // namespace zel
