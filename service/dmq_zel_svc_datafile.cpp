#include "service/dmq_zel_svc_datafile.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "foundation/dmq_file_mover.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

constexpr size_t kWriteBufSize = 32768;

// Frees the mover on every path; an unfinished mover rolls back, which removes its temporary
// entries. Freeing never fails for a mover this unit created.
class TMoverHolder {
public:
    explicit TMoverHolder(TFileMoverData* m) : m_(m) {}
    TMoverHolder(const TMoverHolder&) = delete;
    TMoverHolder& operator=(const TMoverHolder&) = delete;
    ~TMoverHolder() {
        try {
            if (m_) FileMoverFree(m_);
        } catch (...) {
        }
    }
    TFileMoverData* Get() const { return m_; }
    void Free() { FileMoverFree(m_); }

private:
    TFileMoverData* m_;
};

// Writes the staged file completely or not at all: every write, the last flush and the close
// are checked, and a failed file is deleted so that it can never reach the mover.
void WriteStagedFile(const AnsiString& staged, const AnsiString& target, const uint32_t* keepAttr,
                     std::span<const AnsiString> Lines) {
    std::unique_ptr<char[]> buf(new char[kWriteBufSize]);
    TTextFile f;
    RewriteTextNameBuf(f, staged, buf.get(), kWriteBufSize);
    int rc = 0;
    // Before any content is written, so that a private list is never readable by others.
    if (keepAttr && ::fchmod(f.Handle(), static_cast<mode_t>((*keepAttr >> 16) & 0777u)) != 0) rc = errno;
    if (rc == 0) rc = TryWriteTextBuf(f, DataFileHeader.data(), DataFileHeader.size());
    for (const AnsiString& line : Lines) {
        if (rc != 0) break;
        if (!line.empty()) rc = TryWriteTextBuf(f, line.data(), line.size());
    }
    const int closeRc = TryCloseText(f);
    if (rc == 0) rc = closeRc;
    if (rc != 0) {
        TryEraseFileName(staged);
        RaiseWriteFileError(rc, target);
    }
}

}  // namespace

void WriteDataFile(UnicodeView FileName, UnicodeView StagingDir, std::span<const AnsiString> Lines) {
    const AnsiString target = UnicodeToSysCharsetProc(FileName);
    if (target.empty() || target[0] != '/')
        throw Exception(FormatA("Relative path is not allowed: \"%s\"", target.c_str()));
    const size_t slash = target.rfind('/');
    const AnsiString targetDir = slash == 0 ? AnsiString("/") : target.substr(0, slash);
    const AnsiString name = target.substr(slash + 1);

    uint32_t attr = 0;
    const bool exists = TryGetFileAttr(target, attr) == 0;
    // The mover would try to set a directory aside by copying it; refuse it plainly instead.
    if (exists && IsDirAttr(attr)) RaiseCreateFileError(EISDIR, target);

    TMoverHolder mover(FileMoverCreate(DataFileMoverPrefix, UnicodeToSysCharsetProc(StagingDir)));
    TFileMoverSync* sync = FileMoverAddSynchro(mover.Get(), targetDir);
    const AnsiString staged = FileMoverAddFile(sync, name);

    WriteStagedFile(staged, target, exists ? &attr : nullptr, Lines);
    FileMoverExecute(mover.Get());
    mover.Free();
}

TZELSVCSaveResult SaveListFile(const TZELListLoadData& Load, UnicodeView FileName, UnicodeView DataDir,
                               std::span<const AnsiString> Lines, UnicodeString& Refusal) {
    if (!ListSaveAllowed(Load)) {
        Refusal = u"\"" + UnicodeString(FileName) + u"\" is not saved: its file could not be read: " +
                  DefaultAnsiToUnicodeU(Load.Error);
        return TZELSVCSaveResult::svsr_Refused;
    }
    WriteDataFile(FileName, DataDir, Lines);
    return TZELSVCSaveResult::svsr_Saved;
}

}  // namespace zel
