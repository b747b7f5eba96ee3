#pragma once
// File and directory operations. Each operation comes as a Try form that returns 0 or the errno
// value and never raises for an ordinary failure, and a raising twin that throws EFileException
// with a message naming the code, the operation, the file and the system's text.
// File names are 8-bit texts in the system character set. A null or empty name gives ENOENT
// without touching the file system. Every descriptor is opened close-on-exec.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(EFileException, Exception);
ZEL_DECLARE_EXCEPTION(EFileExceptionOpenError, EFileException);

// ---------------------------------------------------------------------------------------------
// Buffered text file. Line writes end a line with LF; line reads end a line at LF and drop a CR
// before it. Only the routines of this unit touch its buffer, so its invariants hold: the unread
// bytes are Buf[BufPos, BufEnd) in input mode; in output mode Buf[0, BufPos) waits to be written.
// Line readers take the bytes straight out of the buffer through ReadLnPieceText.

enum class TTextFileMode : uint8_t { tfm_Closed, tfm_Input, tfm_Output };

constexpr size_t DefaultTextBufSize = 4096;

class TTextFile {
public:
    TTextFile() = default;
    TTextFile(const TTextFile&) = delete;
    TTextFile& operator=(const TTextFile&) = delete;
    // Writes what is buffered and closes, ignoring errors: call TryCloseText to see them.
    ~TTextFile();

    const AnsiString& Name() const noexcept { return Name_; }
    int Handle() const noexcept { return Handle_; }
    TTextFileMode Mode() const noexcept { return Mode_; }

private:
    friend struct TTextFileIo;  // the routines of this unit

    AnsiString Name_;
    int Handle_ = -1;
    bool OwnsHandle_ = true;
    TTextFileMode Mode_ = TTextFileMode::tfm_Closed;
    char* Buf_ = nullptr;
    size_t BufSize_ = 0;
    size_t BufPos_ = 0;
    size_t BufEnd_ = 0;
    bool AtEof_ = false;
    int64_t ReadLeft_ = 0;  // input: the bytes the file may still give; -1 once it gave more
    std::unique_ptr<char[]> ownBuf_;
    size_t ownSize_ = 0;
};

// Plain byte file, read and written in blocks.
class TBinaryFile {
public:
    TBinaryFile() = default;
    TBinaryFile(const TBinaryFile&) = delete;
    TBinaryFile& operator=(const TBinaryFile&) = delete;
    ~TBinaryFile();  // closes, ignoring errors

    AnsiString Name;
    int Handle = -1;
};

// Open modes of TryResetFile / TryResetFileName.
constexpr int fm_OpenRead = 0;
constexpr int fm_OpenWrite = 1;
constexpr int fm_OpenReadWrite = 2;

// Attribute word: DOS-style flags in the low 16 bits, the permission bits (st_mode & 07777) in
// bits 16 to 27, so that a copy can carry the source's permissions.
constexpr uint32_t fa_ReadOnly = 0x01;
constexpr uint32_t fa_Hidden = 0x02;
constexpr uint32_t fa_SysFile = 0x04;
constexpr uint32_t fa_Directory = 0x10;
constexpr uint32_t fa_SymLink = 0x400;

// ---------------------------------------------------------------------------------------------
// Error texts. Nothing is raised when the code is 0.

AnsiString SysErrorText(int code);
// The text of a read failure: the system's, except for ErrFileReadPastSize.
AnsiString FileReadErrorText(int code);
// The text of an open failure: the system's, except for the refusals of TryOpenReadFile (a file
// that is not a regular one, a file past the size cap), which the system's texts would not explain.
AnsiString FileOpenErrorText(int code);
void RaiseWriteFileError(int code, AnsiView name);
void CheckWriteResult(const TTextFile& f, int code);
void RaiseReadFileError(int code, AnsiView name);
AnsiString FormatOpenFileError(int code, AnsiView name);
void RaiseOpenFileError(int code, AnsiView name);  // EFileExceptionOpenError
void RaiseCreateFileError(int code, AnsiView name);
void RaiseOpenOrCreateFileError(int code, AnsiView name);
void RaiseCreateDirError(int code, AnsiView name);
void RaiseDeleteFileError(int code, AnsiView name);
void RaiseGetAttrError(int code, AnsiView name);
void RaiseRenameError(int code, AnsiView oldName, AnsiView newName);
// "error [%d] of execute "%s": %s", returned without raising.
AnsiString FormatExecuteError(int code, AnsiView name);

// ---------------------------------------------------------------------------------------------
// Opening a file to read. Every file the server reads (lists, networks, configuration, a PID
// file) may name a FIFO without a writer or a device that never ends: opened blocking and read to
// the end, it would hold the reading thread for good.

// The largest file read: generous for lists and configuration files.
constexpr int64_t ReadFileSizeCap = 64 * 1024 * 1024;
// The refusal of a file that is neither regular nor a directory (a directory gives EISDIR).
constexpr int ErrNotRegularFile = ENXIO;

// Opens name read-only and close-on-exec without blocking in the open, then refuses it unless
// fstat says it is a regular file (EISDIR, ErrNotRegularFile) of at most ReadFileSizeCap bytes
// (EFBIG); reads on the descriptor block again as usual. 0 and the descriptor (and the size fstat
// gave), else the code and -1.
int TryOpenReadFile(AnsiView name, int& fd);
int TryOpenReadFile(AnsiView name, int& fd, int64_t& size);

// A file opened to read that gives more bytes than fstat said it had at the open grows while it
// is read (the server's own log, a file another process appends to) or lies about its size (a
// /proc file of size 0): it is refused with this code once the reader passes that size, so no
// reader runs on without end. The size at the open is within ReadFileSizeCap.
constexpr int ErrFileReadPastSize = EFBIG;

// ---------------------------------------------------------------------------------------------
// Text files. The forms without a name use f.Name. An open file is closed first. Opening for
// reading goes through TryOpenReadFile; reading past the size the file had then fails with
// ErrFileReadPastSize.

int TryCloseText(TTextFile& f);
int TryResetText(TTextFile& f);
int TryResetTextBuf(TTextFile& f, void* buf, size_t size);
int TryResetTextName(TTextFile& f, AnsiView name, void* buf = nullptr, size_t size = 0);
void ResetTextName(TTextFile& f, AnsiView name, void* buf = nullptr, size_t size = 0);
int TryAppendText(TTextFile& f);
int TryAppendTextBuf(TTextFile& f, void* buf, size_t size);
int TryRewriteText(TTextFile& f);
int TryRewriteTextBuf(TTextFile& f, void* buf, size_t size);
int TryRewriteTextName(TTextFile& f, AnsiView name);
int TryRewriteTextNameBuf(TTextFile& f, AnsiView name, void* buf, size_t size);
void RewriteTextName(TTextFile& f, AnsiView name);
void RewriteTextNameBuf(TTextFile& f, AnsiView name, void* buf, size_t size);
// Opens for appending, creating the file when it is missing.
int TryAppendOrRewriteTextBuf(TTextFile& f, void* buf, size_t size);
int TryAppendOrRewriteTextName(TTextFile& f, AnsiView name, void* buf = nullptr, size_t size = 0);
void AppendOrRewriteTextName(TTextFile& f, AnsiView name, void* buf = nullptr, size_t size = 0);
// Binds f to standard output for writing (descriptor 1, not closed by f).
void AssignStdOutText(TTextFile& f, void* buf = nullptr, size_t size = 0);

// Writes the buffered output; 0 for a file open for input, EBADF for a closed one.
int TryFlushText(TTextFile& f);
// Copies raw bytes into the output buffer, flushing it whenever it is full; does not flush at
// the end. A file not open for output gives EBADF.
int TryWriteTextBuf(TTextFile& f, const void* p, size_t len);
void WriteTextBuf(TTextFile& f, const void* p, size_t len);
// The text and a LF (raises through CheckWriteResult).
void WriteLnText(TTextFile& f, AnsiView s);

// Refills the read buffer when it holds no unread bytes; after 0 it is empty only at end of file.
int TryFillTextBuf(TTextFile& f);
// True at end of file; a read error raises.
bool EofText(TTextFile& f);
// The line scanner of every line reader: the next piece of the current line straight out of the
// read buffer, valid until the next read. lineEnd is set when the piece ends at the line's LF
// (consumed, not part of the piece); otherwise more of the line follows, and an empty piece
// means end of file. A read error raises.
AnsiView ReadLnPieceText(TTextFile& f, bool& lineEnd);
// One line into s (cleared first), without its LF and a CR before it.
void ReadLnText(TTextFile& f, AnsiString& s);

// ---------------------------------------------------------------------------------------------
// Byte files.

int TryCloseFile(TBinaryFile& f);
int TryRewriteFile(TBinaryFile& f);
int TryRewriteFileName(TBinaryFile& f, AnsiView name);
int TryResetFile(TBinaryFile& f, int mode = fm_OpenReadWrite);
int TryResetFileName(TBinaryFile& f, AnsiView name, int mode);
// Creates a new file for reading and writing with the permission bits perm: never through a
// symbolic link, never over an existing entry (EEXIST).
int TryCreateNewFileName(TBinaryFile& f, AnsiView name, uint32_t perm);
// Reads up to count bytes (fewer only at end of file); done receives the count read.
int TryBlockRead(TBinaryFile& f, void* buf, size_t count, size_t& done);
int TryBlockWrite(TBinaryFile& f, const void* buf, size_t count);

// ---------------------------------------------------------------------------------------------
// Names and directories.

int TryEraseFileName(AnsiView name);
void EraseFileName(AnsiView name);
// Follows symbolic links (fa_SymLink is never set here).
int TryGetFileAttr(AnsiView name, uint32_t& attr);
uint32_t GetFileAttr(AnsiView name);
// Applies the permission bits of the attribute word.
int TrySetFileAttr(AnsiView name, uint32_t attr);
// One directory (the name without its trailing "/"); an existing entry gives EEXIST.
int TryMakeDir(AnsiView name);
void MakeDir(AnsiView name);
// The directory and its missing parents.
int TryForceDirs(AnsiView name);
void ForceDirs(AnsiView name);
int TryRenameFileOrDir(AnsiView oldName, AnsiView newName);
void RenameFileOrDir(AnsiView oldName, AnsiView newName);

// Copies up to maxBytes (0 or less: nothing) in reads of at most bufSize bytes; stops early at
// end of file. A null buffer or a size below 1 raises EFileException.
int TryCopyFileData(TBinaryFile& src, TBinaryFile& dst, int64_t maxBytes, void* buf, int64_t bufSize);
// Whole file; a failed copy deletes the destination. Returns the first non-zero code.
int TryCopyFile(AnsiView src, AnsiView dst, void* buf, int64_t bufSize);
// Every entry of src into dst: regular files with their permissions, directories as trees,
// symbolic links as links (never followed); FIFOs, devices and sockets are left out.
int TryCopyDirContents(AnsiView srcDir, AnsiView dstDir, void* buf, int64_t bufSize);
// src into dst/<last name part of src> (created when missing); without a last name part, straight
// into dst.
int TryCopyDirTree(AnsiView srcDir, AnsiView dstDir, void* buf, int64_t bufSize);
int TryCopyDir(AnsiView srcDir, AnsiView dstDir);
// The entries of a directory without "." and "..", in the order the system gives them.
int TryListDir(AnsiView dir, std::vector<AnsiString>& names);
// Removal of a tree: each directory is listed before anything in it is removed; the walk holds at
// most two descriptors whatever the depth. A symbolic link is removed, never followed; the root
// keeps itself.
int TryDeleteDirContents(AnsiView dir);
int TryRemoveDirTree(AnsiView dir);

// ---------------------------------------------------------------------------------------------
// Paths.

AnsiString IncludeTrailingSlashA(AnsiView s);
UnicodeString IncludeTrailingSlashU(UnicodeView s);
AnsiString ExcludeTrailingSlashA(AnsiView s);
UnicodeString ExcludeTrailingSlashU(UnicodeView s);
// Neither "/../" nor "/./" in the path with a "/" appended.
bool IsCleanPath(AnsiView s) noexcept;
bool IsDotDir(AnsiView s) noexcept;
// The directory part with its trailing "/" ("" when the path has no "/"), and the name behind it.
AnsiView ExtractFilePathA(AnsiView path) noexcept;
AnsiView ExtractFileNameA(AnsiView path) noexcept;
// The absolute form of a path against the current directory: "." and empty parts dropped, ".."
// takes back one part (never above the root), a trailing "/" kept; no link is followed. The U form
// converts the current directory through SysCharsetToUnicodeProc.
AnsiString ExpandToFullPathA(AnsiView path);
UnicodeString ExpandToFullPathU(UnicodeView path);
// Flushes a file or directory to the disk (a rename inside a directory is durable once the
// directory is synced); file systems that cannot sync a directory (EINVAL) count as success.
int TrySyncPath(AnsiView name);
inline bool IsDirAttr(uint32_t attr) noexcept { return (attr & fa_Directory) != 0; }
// The running program's full path, from the kernel's link to the executable; the first
// command-line argument only when that is not available.
AnsiString GetExeFileNameA();
// Its directory, without a trailing "/".
AnsiString GetExeDirA();
// The first of TEMP, TMP, TMPDIR, TEMPDIR that is set and not empty, as a full path; when none is
// set or that directory does not exist, the program's directory. Always ends in "/".
AnsiString GetTempDirA();
// 10 characters of "0".."9" and "A".."Z" from the current time, A, B, S1 and S2.
AnsiString MakeUniqueNameA(uint32_t a, uint32_t b, AnsiView s1, AnsiView s2);
// 2 (absolute) when the path starts with "/", otherwise 0.
int32_t PathKindU(UnicodeView s) noexcept;

}  // namespace zel
