#pragma once
// The owner file ("owner.dat"): the server owner's callsign, one line
// "CALLSIGN|hex(ON)|hex(ON8)" with the texts as upper-case hex of their bytes.
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCOwnerData {
    AnsiString ON;   // the callsign as the owner's client sends it
    AnsiString ON8;  // its UTF-8 form
};

// One line (leading blanks removed) into Owner, which is changed only when the line parses.
// Returns false for a line to drop, with Reason saying why.
bool ParseOwnerLine(TZELSVCOwnerData& Owner, AnsiView Line, AnsiString& Reason);

// True when a line parsed: Owner then holds the last valid line of the file; else Owner is
// empty. A bad line never clears or changes an owner read before it; it sets RewriteFlag and is
// reported through Warning. File errors raise EListFileError / EListFileMissing; Owner is then
// empty.
bool ReadOwnerFile(UnicodeView FileName, TZELSVCOwnerData& Owner, bool& RewriteFlag,
                   const TZELListWarningProc& Warning);

// The owner line, always exactly one: "CALLSIGN|" hex "|" hex CR LF ("CALLSIGN||" for an empty
// owner).
AnsiString BuildOwnerLine(const TZELSVCOwnerData& Owner);

}  // namespace zel
