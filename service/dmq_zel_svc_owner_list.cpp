#include "service/dmq_zel_svc_owner_list.hpp"

#include "foundation/dmq_strbld_a.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

namespace {

constexpr int32_t kOwnerMaxFields = 8;

}  // namespace

bool ParseOwnerLine(TZELSVCOwnerData& Owner, AnsiView Line, AnsiString& Reason) {
    TZELListLineFields f;
    f.Split(Line, kOwnerMaxFields);
    if (f[1] != "CALLSIGN") {
        Reason = "first field is not CALLSIGN";
        return false;
    }
    // Decoded apart, so that a line failing in its second text leaves nothing half-taken.
    TZELSVCOwnerData parsed;
    if (ReadHexTextField(parsed.ON, f[2]) < 0) {
        Reason = "callsign is not hex";
        return false;
    }
    if (ReadHexTextField(parsed.ON8, f[3]) < 0) {
        Reason = "UTF-8 callsign is not hex";
        return false;
    }
    Owner = std::move(parsed);
    return true;
}

bool ReadOwnerFile(UnicodeView FileName, TZELSVCOwnerData& Owner, bool& RewriteFlag,
                   const TZELListWarningProc& Warning) {
    Owner = TZELSVCOwnerData{};
    TZELSVCOwnerData owner;
    bool parsed = false;
    ReadListFile(
        FileName,
        [&](AnsiView line, bool&, AnsiString& reason) {
            if (!ParseOwnerLine(owner, line, reason)) return false;
            parsed = true;
            return true;
        },
        RewriteFlag, Warning);
    Owner = std::move(owner);
    return parsed;
}

AnsiString BuildOwnerLine(const TZELSVCOwnerData& Owner) {
    TStringBldA b;
    StrBldAInit(b, static_cast<int32_t>(2 * (Owner.ON.size() + Owner.ON8.size()) + 14));
    StrBldAAdd(b, "CALLSIGN");
    AddListHexField(b, Owner.ON);
    AddListHexField(b, Owner.ON8);
    StrBldAAddCRLF(b);
    return TakeListText(b);
}

}  // namespace zel
