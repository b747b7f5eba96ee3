#pragma once
// The notices file ("notices.dat"): per network two notice texts that the network shows to its
// clients, the first in the network's character set, the second in UTF-8. One line per network
// with a notice: "name|hex(Notice1)|hex(Notice2)", the name in UTF-8, the notices as upper-case
// hex of their bytes.
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCNoticeData {
    AnsiString Notice1;  // the network's character set, not checked
    AnsiString Notice2;  // UTF-8
};

struct TZELSVCNoticeRecord {
    TZELSVCNoticeRecord* Next = nullptr;
    UnicodeString Network;
    TZELSVCNoticeData Data;
};

using TZELSVCNoticeChain = TZELListRecordChain<TZELSVCNoticeRecord>;

// One line (leading blanks removed). Returns false for a line to drop, with Reason saying why.
bool ParseNoticeLine(TZELSVCNoticeRecord& Rec, AnsiView Line, AnsiString& Reason);

// The notices of the file, newest line first. A dropped line sets RewriteFlag and is reported
// through Warning. File errors raise EListFileError / EListFileMissing and return nothing.
TZELSVCNoticeChain ReadNoticesFile(UnicodeView FileName, bool& RewriteFlag, const TZELListWarningProc& Warning,
                                   const TZELListReadHooks& Hooks = {});

// "name|hex|hex" CR LF; NetworkUtf8 is the network's name in UTF-8; an empty notice gives an
// empty field.
AnsiString BuildNoticeLine(AnsiView NetworkUtf8, const TZELSVCNoticeData& Notice);

}  // namespace zel
