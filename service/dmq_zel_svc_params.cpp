#include "service/dmq_zel_svc_params.hpp"

#include "foundation/dmq_hex.hpp"

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

}  // namespace zel
