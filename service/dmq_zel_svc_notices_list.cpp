#include "service/dmq_zel_svc_notices_list.hpp"

#include <memory>

#include "foundation/dmq_strbld_a.hpp"
#include "service/dmq_zel_svc_params.hpp"

namespace zel {

namespace {

// The longest notice line is over 4 KiB of hex.
constexpr size_t kNoticesReadBufSize = 32768;

}  // namespace

bool ParseNoticeLine(TZELSVCNoticeRecord& Rec, AnsiView Line, AnsiString& Reason) {
    TZELListLineFields f;
    f.Split(Line, 3);
    if (!ReadListNetworkField(f[1], Rec.Network)) {
        Reason = "invalid network name";
        return false;
    }
    if (ReadHexTextField(Rec.Data.Notice1, f[2]) < 0) {
        Reason = "notice 1 is not hex";
        return false;
    }
    if (ReadHexTextField(Rec.Data.Notice2, f[3]) < 0) {
        Reason = "notice 2 is not hex";
        return false;
    }
    // Each notice goes out as a line of its own.
    if (HasCtrlCharsBuf(Rec.Data.Notice1.data(), static_cast<int32_t>(Rec.Data.Notice1.size())) ||
        HasCtrlCharsBuf(Rec.Data.Notice2.data(), static_cast<int32_t>(Rec.Data.Notice2.size()))) {
        Reason = "notice holds a control character";
        return false;
    }
    if (!IsValidUtf8A(Rec.Data.Notice2)) {
        Reason = "notice 2 is not valid UTF-8";
        return false;
    }
    if (Rec.Data.Notice1.empty() && Rec.Data.Notice2.empty()) {
        Reason = "no notice";
        return false;
    }
    return true;
}

TZELSVCNoticeChain ReadNoticesFile(UnicodeView FileName, bool& RewriteFlag, const TZELListWarningProc& Warning,
                                   const TZELListReadHooks& Hooks) {
    TZELSVCNoticeChain chain;
    TZELListReadParams params;
    params.BufSize = kNoticesReadBufSize;
    params.Hooks = Hooks;
    ReadListFile(
        FileName,
        [&](AnsiView line, bool&, AnsiString& reason) {
            auto rec = std::make_unique<TZELSVCNoticeRecord>();
            if (!ParseNoticeLine(*rec, line, reason)) return false;
            chain.Push(std::move(rec));
            return true;
        },
        RewriteFlag, Warning, params);
    return chain;
}

AnsiString BuildNoticeLine(AnsiView NetworkUtf8, const TZELSVCNoticeData& Notice) {
    TStringBldA b;
    StrBldAInit(b, static_cast<int32_t>(NetworkUtf8.size() + 2 * (Notice.Notice1.size() + Notice.Notice2.size()) + 4));
    StrBldAAdd(b, NetworkUtf8);
    AddListHexField(b, Notice.Notice1);
    AddListHexField(b, Notice.Notice2);
    StrBldAAddCRLF(b);
    return TakeListText(b);
}

}  // namespace zel
