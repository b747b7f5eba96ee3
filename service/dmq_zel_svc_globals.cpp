#include "service/dmq_zel_svc_globals.hpp"

#include <string>

#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

static_assert(sizeof(TZELSVCDisconnectCause) == 1 && sizeof(TZELSVCManagerIndex) == 1 &&
              sizeof(TZELSVCAccessInfoMode) == 1);
static_assert(static_cast<int>(TZELSVCDisconnectCause::fsdc_ByOwner) + 1 == ZELSVCDisconnectCauseCount);

AnsiView ZELPlatformText() noexcept { return AnsiView(ZEL_PLATFORM_NAME "-" ZEL_PLATFORM_ARCH); }

AnsiView ZELVersionText() noexcept {
    // Built once from the platform text; a function-local static is initialised thread-safely.
    static const AnsiString Text = "r" + std::to_string(ZELRevision) + "-" + AnsiString(ZELPlatformText());
    return Text;
}

void CopySysmanParams(TZELSvcSysmanParams& Dest, const TZELSvcSysmanParams& Source) { Dest = Source; }

bool ParseSystemManagerMode(UnicodeView Text, TZELSystemManagerMode& Mode) {
    const UnicodeString t = TrimU(Text);
    int32_t n = 0;
    if (TryStrToInt32U(UnicodeView(t), n)) {
        if (n < 0 || n > 3) return false;
        Mode = static_cast<TZELSystemManagerMode>(n);
        return true;
    }
    const UnicodeString u = AsciiUpperCaseU(t);
    for (const auto& row : ZELSVCSystemManagerModeConvert) {
        if (row.Text == u) {
            Mode = row.Mode;
            return true;
        }
    }
    return false;
}

int32_t ClampOutputBufferLimit(UnicodeView Text, int32_t Default) {
    int32_t n = 0;
    if (!TryStrToInt32U(UnicodeView(TrimU(Text)), n) || n < 1) return Default;
    if (n < 4096) return 4096;
    if (n > 16777216) return 16777216;
    return n;
}

int32_t ClampClientsPerThread(int32_t N) {
    if (N < 1) return 1;
    if (N > 5000) return 5000;
    return N;
}

int32_t ClampLogClientLevel(int32_t N) {
    if (N < 0) return 0;
    if (N > 6) return 6;
    return N;
}

int32_t ClampManagerConnectTimeout(int32_t N) {
    if (N <= 0) return 10;
    if (N < 3) return 3;
    if (N > 30) return 30;
    return N;
}

int32_t ClampProxyConnectTimeout(int32_t N) {
    if (N < 1) return 5;
    if (N > 20) return 20;
    return N;
}

int32_t ClampMaxWaitConnections(int32_t N) {
    if (N < 1) return 5;
    if (N == 1) return 2;
    if (N > 1000) return 1000;
    return N;
}

int32_t ClampMaxConnectionsPerAddress(int32_t N) {
    if (N < 0) return -1;
    if (N > 100000) return 100000;
    return N;
}

}  // namespace zel
