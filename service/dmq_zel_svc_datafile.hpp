#pragma once
// The writer of the list data files (administrators, mutes, blocks, rights, modes, notices,
// owner). A file is never lost or half-written: the new content goes behind a fixed header into
// a staging file, is checked on every write and on close, and only a complete file is put in
// place by the file mover, which keeps the old file linked aside until the new one has replaced
// it in one rename. Runs on the service thread only.
#include <span>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_list_base.hpp"

namespace zel {

// The 63 bytes in front of every list data file (the spelling is the one files carry).
inline constexpr AnsiView DataFileHeader =
    "# This file was created automaticly.\r\n# DO NOT EDIT !!!!\r\n#\r\n\r\n";

// Temporary entries of a save are named "." + this + "$..." in the staging and target directories.
inline constexpr AnsiView DataFileMoverPrefix = "ZELSVC";

// Replaces FileName (absolute) with the header and Lines, each written as it is (every line already
// ends in CR LF; empty elements write nothing). StagingDir (absolute) holds the staging tree while
// the file is written. The new file keeps the permission bits of the file it replaces. Raises the
// file or mover error on any failure; the old file then stays as it was and no temporary entry is
// left behind.
void WriteDataFile(UnicodeView FileName, UnicodeView StagingDir, std::span<const AnsiString> Lines);

// The save of one list (main-queue save codes 0 to 6).
enum class TZELSVCSaveResult : uint8_t {
    svsr_Saved,    // written: log the success text, run the data-change program
    svsr_Refused,  // not written, because the list's file could not be read: log Refusal, no retry
};

// Writes Lines as FileName through WriteDataFile unless Load says that the file could not be read
// at its last read (the list then lacks the file's entries, and writing it would destroy them).
// Refusal receives the text to log as an error: "<file>" is not saved: its file could not be read:
// <read error>. A write failure raises (the caller logs it and tries again later).
TZELSVCSaveResult SaveListFile(const TZELListLoadData& Load, UnicodeView FileName, UnicodeView DataDir,
                               std::span<const AnsiString> Lines, UnicodeString& Refusal);

}  // namespace zel
