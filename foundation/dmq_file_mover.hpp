#pragma once
// Replaces files as one transaction. New files are written into a staging directory (which may
// lie on another file system), brought next to their targets (CopyUp), put in place while the
// old files are kept aside (MoveUp), and then either committed (old files deleted) or rolled
// back (old files restored). A mover holds one synchro per target directory, each with at most
// one master file.
//
//   state 0 new --CopyUp--> 1 --MoveUp--> 2 --Commit--> 4 committed
//        \______________\______________\--Rollback--> 3 rolled back
//
// Throughout MoveUp a target name holds either its old or its new complete file: the old file
// stays reachable under its backup name through a hard link (a copy where links are
// impossible) and the staged file is renamed over the target in one step.
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

constexpr uint32_t FileMoverMagic = 0x88aa5566;
constexpr uint32_t FileMoverSyncMagic = 0x668855aa;

// TFileMoverData::State.
constexpr uint8_t fms_New = 0;
constexpr uint8_t fms_CopiedUp = 1;
constexpr uint8_t fms_MovedUp = 2;
constexpr uint8_t fms_RolledBack = 3;
constexpr uint8_t fms_Committed = 4;

struct TFileMoverData;
struct TFileMoverSync;

struct TFileMoverFileRec {
    AnsiString Name;  // relative to the synchro's directories
    uint8_t Moved = 0;
};

// One undo entry: Target now holds the new file; Backup (empty when there was no old file)
// holds the old one.
struct TFileMoverObjectRec {
    AnsiString Target;
    AnsiString Backup;
    TFileMoverSync* Sync = nullptr;
};

struct TFileMoverSync {
    uint32_t Magic = FileMoverSyncMagic;
    TFileMoverData* Mover = nullptr;
    std::vector<TFileMoverFileRec> Secondary;  // nothing adds to it
    std::vector<TFileMoverFileRec> Master;     // at most one file
    AnsiString TempName;
    AnsiString TargetDir;
    std::vector<TFileMoverObjectRec> Undo;  // oldest first, undone newest first
};

struct TFileMoverData {
    uint32_t Magic = FileMoverMagic;
    std::vector<std::unique_ptr<TFileMoverSync>> Synchros;  // in the order added
    AnsiString Prefix;
    uint32_t Counter = 0;
    AnsiString Dir;  // staging directory, absolute
    uint8_t State = fms_New;
};

// Paths are 8-bit texts in the system character set. An empty Dir means the current directory.
// A relative Dir raises "Relative path is not allowed: "<Dir>"".
TFileMoverData* FileMoverCreate(AnsiView Prefix, AnsiView Dir);
// Makes the synchro's temporary directory in the mover's Dir; only in state 0.
TFileMoverSync* FileMoverAddSynchro(TFileMoverData* Mover, AnsiView TargetDir);
// Returns the staging path under which the caller writes the new content of TargetDir's Name.
AnsiString FileMoverAddFile(TFileMoverSync* Sync, AnsiView Name);
void FileMoverCopyUp(TFileMoverData* Mover);
void FileMoverMoveUp(TFileMoverData* Mover);
void FileMoverCommit(TFileMoverData* Mover);
void FileMoverRollback(TFileMoverData* Mover);
// CopyUp, MoveUp and Commit.
void FileMoverExecute(TFileMoverData* Mover);
// Rolls back a mover below state 3, frees it and sets Mover to null.
void FileMoverFree(TFileMoverData*& Mover);

// Removes what movers of this prefix left in Dir when the process ended between MoveUp and Commit
// (or during a step): temporary trees (staging or target-side) and backups of old files. A target
// that already holds its new file keeps it (it was complete and synced before its rename); a
// target not yet replaced still has its old file, and the backup is only a second link or copy of
// it. Every other entry stays. Call it before any mover works in Dir (the service does so for its
// data directory at start). 0, or the first error code; never raises for a file error.
int FileMoverSweep(AnsiView Dir, AnsiView Prefix);

// Directories of a synchro: where the caller's files are staged, and the same tree beside the
// targets after CopyUp.
AnsiString FileMoverStagingDir(const TFileMoverSync& Sync);
AnsiString FileMoverTargetSideDir(const TFileMoverSync& Sync);

}  // namespace zel
