#pragma once
// The modes file ("modes.dat"): per network its two access switches, the connection mode (only
// clients in the rights list may join) and the talk mode (only marked rights entries may talk).
// One line per network with a switch on: "name|c|t" with c and t '0' or '1'.
#include <cstdint>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

struct TZELSVCModesRecord {
    UnicodeString Network;
    uint8_t ConnectionMode = 0;
    uint8_t TalkMode = 0;
};

using TZELSVCModesArray = std::vector<TZELSVCModesRecord>;

// One line (without its line end; leading blanks may remain). Returns false for a line to drop,
// with Reason saying why. A switch written other than exactly "0" or "1" is taken (any number but
// 0 is on) and sets Rewrite, so that the file is written again in its plain form.
bool ParseModesLine(TZELSVCModesRecord& Rec, AnsiView Line, bool& Rewrite, AnsiString& Reason);

// Modes is emptied, then filled in file order. Lines beginning with '#' or ';' are comments. A
// dropped line sets RewriteFlag and is reported through Warning. File errors raise
// EListFileError / EListFileMissing; Modes then stays empty.
void ReadModesFile(UnicodeView FileName, TZELSVCModesArray& Modes, bool& RewriteFlag,
                   const TZELListWarningProc& Warning, const TZELListReadHooks& Hooks = {});

// "name|c|t" CR LF; NetworkUtf8 is the network's name in UTF-8.
AnsiString BuildModesLine(AnsiView NetworkUtf8, bool ConnectionMode, bool TalkMode);

}  // namespace zel
