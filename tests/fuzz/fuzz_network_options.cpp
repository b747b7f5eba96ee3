// A network's option text and a networks-file line (service/dmq_zel_svc_params). Options that
// parse are printed and must parse back to the same options (ParrotMuteEnable is never printed,
// nor a manager mode set to the server-wide one);
// a line refused for its empty name leaves the record untouched. The only error the parsers may
// raise is the one of an unknown character set.
#include <cstddef>
#include <cstdint>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/support/net_options.hpp"

using namespace zel;

namespace {

TZELServiceNetOptions Defaults(uint8_t Sel) { return (Sel & 1) ? test::ServerWideNetOptions() : TZELServiceNetOptions{}; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const uint8_t sel = Data[0];
    const AnsiView bytes(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const TZELServiceNetOptions d = Defaults(sel);
    const UnicodeString text = (sel & 2) && IsValidUtf8A(bytes) ? DecodeUtf8U(bytes) : WidenStrU(bytes);

    TZELSVCNetworkOptions o;
    try {
        ParseNetworkOptions(d, text, o, DefaultConverterOptions());
    } catch (const EAnsiUnicodeConverterInvalidCharsetName&) {
        return 0;
    }
    const UnicodeString printed = NetworkOptionsToText(d, o);
    TZELSVCNetworkOptions back;
    ParseNetworkOptions(d, printed, back, DefaultConverterOptions());
    back.Parrot.ParrotMuteEnable = o.Parrot.ParrotMuteEnable;
    if (o.ManagerMode == d.ManagerMode) back.ManagerModeSet = o.ManagerModeSet;
    if (o.LogClientLevel == d.LogClientLevel) back.LogClientLevelSet = o.LogClientLevelSet;
    FUZZ_CHECK(back == o);

    TZELServNetworkRec rec;
    rec.Name = u"untouched";
    try {
        if (ParseNetworkLine(d, bytes, rec, DefaultConverterOptions())) {
            FUZZ_CHECK(!rec.Name.empty() && static_cast<int32_t>(rec.Name.size()) <= ZELNetworkNameMaxLen);
            FUZZ_CHECK(!(rec.Name.back() >= 0xD800 && rec.Name.back() <= 0xDBFF));
        } else {
            FUZZ_CHECK(rec.Name == u"untouched");
        }
    } catch (const EAnsiUnicodeConverterInvalidCharsetName&) {
    }
    return 0;
}
