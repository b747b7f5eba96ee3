#include "foundation/dmq_file_mover.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "foundation/dmq_fileutils.hpp"

namespace zel {

namespace {

constexpr int kTempDirTries = 128;
constexpr size_t kBackupCopyBufSize = 65536;

bool IsAbsolute(AnsiView path) noexcept { return !path.empty() && path[0] == '/'; }

void CheckAbsolute(AnsiView path) {
    if (!IsAbsolute(path))
        throw Exception(FormatA("Relative path is not allowed: \"%.*s\"", static_cast<int>(path.size()),
                                path.data()));
}

void CheckMover(const TFileMoverData* m) {
    if (!m) throw Exception("Mover=NIL");
    if (m->Magic != FileMoverMagic) throw Exception("Invalid mover context");
}

void CheckSync(const TFileMoverSync* s) {
    if (!s) throw Exception("Syncro=NIL");
    if (s->Magic != FileMoverSyncMagic) throw Exception("Invalid syncro context");
}

AnsiString BackupName(const TFileMoverSync& s, AnsiView target) {
    return AnsiString(ExtractFilePathA(target)) + s.TempName + "." + AnsiString(ExtractFileNameA(target));
}

// The head of every temporary name of a mover with this prefix: "." + Prefix + "$" (".TMP$" for
// none), with a single leading dot.
AnsiString TempNameHead(AnsiView prefix) {
    AnsiString head = prefix.empty() ? AnsiString(".TMP$") : "." + AnsiString(prefix) + "$";
    while (head.size() >= 2 && head[0] == '.' && head[1] == '.') head.erase(0, 1);
    return head;
}

constexpr size_t kUniqueLen = 10;

// A temporary directory (head + 10 characters of 0-9, A-Z) or a backup beside a target (the same,
// "." and the target's name).
bool IsLeftoverName(AnsiView name, AnsiView head) noexcept {
    if (name.size() < head.size() + kUniqueLen || name.substr(0, head.size()) != head) return false;
    for (size_t i = head.size(); i < head.size() + kUniqueLen; ++i)
        if (!((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'A' && name[i] <= 'Z'))) return false;
    const AnsiView rest = name.substr(head.size() + kUniqueLen);
    return rest.empty() || (rest.size() > 1 && rest[0] == '.');
}

uint32_t RandomBelowMaxInt() {
    thread_local std::mt19937 gen{std::random_device{}()};
    return std::uniform_int_distribution<uint32_t>(0, 2147483646)(gen);
}

void SyncPath(const AnsiString& path) {
    int rc = TrySyncPath(path);
    if (rc != 0) RaiseWriteFileError(rc, path);
}

AnsiString MakeTempDir(TFileMoverData& m) {
    AnsiString base = IncludeTrailingSlashA(m.Dir);
    for (int attempt = 1; attempt <= kTempDirTries; ++attempt) {
        ++m.Counter;
        AnsiString unique = MakeUniqueNameA(RandomBelowMaxInt(), m.Counter, m.Dir,
                                            std::to_string(RandomBelowMaxInt()));
        AnsiString name = TempNameHead(m.Prefix) + unique;
        int rc = TryMakeDir(base + name);
        if (rc == 0) return name;
        if (rc != EEXIST) RaiseCreateDirError(rc, base + name);
    }
    throw Exception("Unable create temporary subdirectory at directory \"" + m.Dir + "\"");
}

// Keeps the old target reachable under its backup name without ever taking it away from the
// target name: a hard link, or a copy where the file system cannot link.
void KeepBackup(const AnsiString& target, const AnsiString& backup, uint32_t attr) {
    if (link(target.c_str(), backup.c_str()) == 0) return;
    int rc = errno;
    if (rc != EPERM && rc != EMLINK && rc != ENOTSUP && rc != EOPNOTSUPP && rc != EXDEV)
        RaiseCreateFileError(rc, backup);
    std::unique_ptr<char[]> buf(new char[kBackupCopyBufSize]);
    rc = TryCopyFile(target, backup, buf.get(), kBackupCopyBufSize);
    if (rc == 0) rc = TrySetFileAttr(backup, attr);
    if (rc == 0) rc = TrySyncPath(backup);
    if (rc != 0) {
        TryEraseFileName(backup);
        RaiseCreateFileError(rc, backup);
    }
}

void MoveFileUp(TFileMoverSync& s, TFileMoverFileRec& f, const char* part) {
    AnsiString target = IncludeTrailingSlashA(s.TargetDir) + f.Name;
    AnsiString staged = FileMoverTargetSideDir(s) + part + f.Name;
    AnsiString targetDir(ExtractFilePathA(target));
    ForceDirs(targetDir);
    // The new content must be on the disk before its name can replace the old one.
    SyncPath(staged);
    AnsiString backup;
    uint32_t attr = 0;
    int rc = TryGetFileAttr(target, attr);
    if (rc != 0 && rc != ENOENT) RaiseGetAttrError(rc, target);
    if (rc == 0) {
        backup = BackupName(s, target);
        KeepBackup(target, backup, attr);
    }
    // The undo step is recorded only once the target holds the new file: undoing a rename that
    // failed would rename the backup link onto its own file (a no-op) and leave the backup behind.
    // Everything it needs is allocated before, so recording it cannot fail.
    TFileMoverObjectRec undo{target, backup, &s};
    s.Undo.reserve(s.Undo.size() + 1);
    try {
        RenameFileOrDir(staged, target);
    } catch (...) {
        if (!backup.empty()) TryEraseFileName(backup);
        throw;
    }
    s.Undo.push_back(std::move(undo));
    f.Moved = 1;
    SyncPath(targetDir);
}

// A synchro's tree goes by the names the mover knows first, which takes no descriptor: a save
// that failed for want of descriptors still leaves nothing behind. Anything else in it goes by
// the tree walk.
void RemoveSyncTree(const TFileMoverSync& s, const AnsiString& Dir) {
    for (const TFileMoverFileRec& f : s.Master) TryEraseFileName(Dir + "/M/" + f.Name);
    for (const TFileMoverFileRec& f : s.Secondary) TryEraseFileName(Dir + "/S/" + f.Name);
    ::rmdir((Dir + "/M").c_str());
    ::rmdir((Dir + "/S").c_str());
    if (::rmdir(Dir.c_str()) != 0 && errno != ENOENT) TryRemoveDirTree(Dir);
}

// Nothing of this may raise: it runs on failure paths.
void CleanupTrees(TFileMoverData& m) noexcept {
    for (auto& s : m.Synchros) {
        for (const TFileMoverObjectRec& u : s->Undo)
            if (!u.Backup.empty()) TryEraseFileName(u.Backup);
        try {
            RemoveSyncTree(*s, FileMoverTargetSideDir(*s));
        } catch (...) {
        }
    }
    for (auto& s : m.Synchros) {
        try {
            RemoveSyncTree(*s, FileMoverStagingDir(*s));
        } catch (...) {
        }
    }
}

void RollbackAndRethrow(TFileMoverData* m) {
    try {
        FileMoverRollback(m);
    } catch (...) {
    }
    throw;
}

}  // namespace

AnsiString FileMoverStagingDir(const TFileMoverSync& Sync) {
    return IncludeTrailingSlashA(Sync.Mover->Dir) + Sync.TempName;
}

AnsiString FileMoverTargetSideDir(const TFileMoverSync& Sync) {
    return IncludeTrailingSlashA(Sync.TargetDir) + Sync.TempName;
}

TFileMoverData* FileMoverCreate(AnsiView Prefix, AnsiView Dir) {
    AnsiString dir(Dir);
    if (dir.empty()) {
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) throw Exception("Relative path is not allowed: \"\"");
        dir = cwd;
    }
    CheckAbsolute(dir);
    auto m = std::make_unique<TFileMoverData>();
    m->Prefix = AnsiString(Prefix);
    m->Dir = dir;
    return m.release();
}

TFileMoverSync* FileMoverAddSynchro(TFileMoverData* Mover, AnsiView TargetDir) {
    CheckMover(Mover);
    if (Mover->State != fms_New) throw Exception("Unable add synchro");
    CheckAbsolute(TargetDir);
    AnsiString tempName = MakeTempDir(*Mover);
    AnsiString staging = IncludeTrailingSlashA(Mover->Dir) + tempName;
    try {
        MakeDir(staging + "/M");
        MakeDir(staging + "/S");
        auto s = std::make_unique<TFileMoverSync>();
        s->Mover = Mover;
        s->TempName = tempName;
        s->TargetDir = AnsiString(TargetDir);
        Mover->Synchros.push_back(std::move(s));
    } catch (...) {
        TryRemoveDirTree(staging);
        throw;
    }
    return Mover->Synchros.back().get();
}

AnsiString FileMoverAddFile(TFileMoverSync* Sync, AnsiView Name) {
    CheckSync(Sync);
    CheckMover(Sync->Mover);
    if (Sync->Mover->State != fms_New) throw Exception("Unable add file");
    if (!Sync->Master.empty())
        throw Exception("Master file is already set for Syncro=\"" + Sync->TargetDir + "\"");
    AnsiString target = IncludeTrailingSlashA(Sync->TargetDir) + AnsiString(Name);
    AnsiString staged = IncludeTrailingSlashA(FileMoverStagingDir(*Sync)) + "M/" + AnsiString(Name);
    CheckAbsolute(target);
    CheckAbsolute(staged);
    ForceDirs(ExtractFilePathA(staged));
    Sync->Master.push_back(TFileMoverFileRec{AnsiString(Name), 0});
    return staged;
}

void FileMoverCopyUp(TFileMoverData* Mover) {
    CheckMover(Mover);
    if (Mover->State != fms_New) throw Exception("Unable do CopyUp procedure");
    try {
        for (auto& s : Mover->Synchros) {
            if (s->TargetDir.empty()) continue;
            ForceDirs(s->TargetDir);
            AnsiString staging = FileMoverStagingDir(*s);
            AnsiString targetSide = FileMoverTargetSideDir(*s);
            uint32_t attr = 0;
            if (TryGetFileAttr(staging, attr) != 0) continue;
            if (TryRenameFileOrDir(staging, targetSide) == 0) continue;
            // Another file system: copy the tree beside the targets, then drop the staged one.
            int rc = TryCopyDir(staging, s->TargetDir);
            if (rc != 0) {
                TryRemoveDirTree(staging);
                TryRemoveDirTree(targetSide);
                throw Exception("Unable copy directory \"" + staging + "\" into \"" + targetSide +
                                "\": " + SysErrorText(rc));
            }
            TryRemoveDirTree(staging);
        }
        Mover->State = fms_CopiedUp;
    } catch (...) {
        RollbackAndRethrow(Mover);
    }
}

void FileMoverMoveUp(TFileMoverData* Mover) {
    CheckMover(Mover);
    if (Mover->State != fms_CopiedUp) throw Exception("Unable fullfil MoveUp without previous CopyUp");
    try {
        for (auto& s : Mover->Synchros) {
            if (s->TargetDir.empty()) continue;
            for (TFileMoverFileRec& f : s->Secondary) MoveFileUp(*s, f, "/S/");
            for (TFileMoverFileRec& f : s->Master) MoveFileUp(*s, f, "/M/");
        }
        Mover->State = fms_MovedUp;
    } catch (...) {
        RollbackAndRethrow(Mover);
    }
}

void FileMoverCommit(TFileMoverData* Mover) {
    CheckMover(Mover);
    if (Mover->State == fms_Committed) return;
    if (Mover->State == fms_RolledBack) throw Exception("Unable perform Commit after Rollback");
    if (Mover->State != fms_MovedUp) throw Exception("Unable perform Commit without MoveUp");
    CleanupTrees(*Mover);
    Mover->State = fms_Committed;
}

void FileMoverRollback(TFileMoverData* Mover) {
    CheckMover(Mover);
    if (Mover->State == fms_RolledBack) return;
    if (Mover->State == fms_Committed) throw Exception("File mover data are already commited");
    if (Mover->State == fms_CopiedUp || Mover->State == fms_MovedUp) {
        for (auto& s : Mover->Synchros) {
            for (auto u = s->Undo.rbegin(); u != s->Undo.rend(); ++u) {
                // Renaming the backup over the target restores it in one step; the target name
                // is never empty in between.
                if (!u->Backup.empty())
                    TryRenameFileOrDir(u->Backup, u->Target);
                else
                    TryEraseFileName(u->Target);
                TrySyncPath(ExtractFilePathA(u->Target));
            }
            s->Undo.clear();
            RemoveSyncTree(*s, FileMoverTargetSideDir(*s));
            RemoveSyncTree(*s, FileMoverStagingDir(*s));
        }
    }
    CleanupTrees(*Mover);
    Mover->State = fms_RolledBack;
}

int FileMoverSweep(AnsiView Dir, AnsiView Prefix) {
    std::vector<AnsiString> names;
    int rc = TryListDir(Dir, names);
    if (rc != 0) return rc;
    const AnsiString head = TempNameHead(Prefix);
    for (const AnsiString& n : names) {
        if (!IsLeftoverName(n, head)) continue;
        const int r = TryRemoveDirTree(IncludeTrailingSlashA(Dir) + n);
        if (rc == 0 && r != ENOENT) rc = r;
    }
    return rc;
}

void FileMoverExecute(TFileMoverData* Mover) {
    FileMoverCopyUp(Mover);
    FileMoverMoveUp(Mover);
    FileMoverCommit(Mover);
}

void FileMoverFree(TFileMoverData*& Mover) {
    CheckMover(Mover);
    if (Mover->State < fms_RolledBack) FileMoverRollback(Mover);
    Mover->Magic = 0;
    for (auto& s : Mover->Synchros) s->Magic = 0;
    delete Mover;
    Mover = nullptr;
}

}  // namespace zel
