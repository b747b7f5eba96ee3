#include "foundation/dmq_inifile_utf8.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <tuple>
#include <utility>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

constexpr size_t kIniBufSize = 131072;

using TKeyList = TUnicodeStringList<UnicodeString>;

UnicodeString FromUtf8(AnsiView s) { return Utf8BufToUnicodeU(s.data(), static_cast<int32_t>(s.size())); }

// A section or key name that the file holds and loads back as it is (the loader trims lines,
// splits a key at its first "=" and drops its trailing blanks, and reads "[" as a section).
bool IsStorableName(UnicodeView name) {
    if (name.empty() || name.front() <= 32 || name.back() <= 32) return false;
    for (char16_t c : name)
        if (c < 32) return false;
    UnicodeString back;
    const AnsiString utf8 = UnicodeToUtf8A(name);
    return Utf8ToUnicodeStrict(utf8.data(), static_cast<int32_t>(utf8.size()), back) == 0 && back == name;
}

bool IsStorableSection(UnicodeView name) { return IsStorableName(name) && name.find(u']') == UnicodeView::npos; }

bool IsStorableKey(UnicodeView name) {
    return IsStorableName(name) && name.find(u'=') == UnicodeView::npos && name[0] != u'#' && name[0] != u';' &&
           name[0] != u'[';
}

// The key list of a section, added at the end when absent.
TKeyList& SectionKeys(TUnicodeStringList<TKeyList>& sections, UnicodeView name) {
    const int32_t i = sections.IndexOfU(name);
    if (i >= 0) return *sections.GetObject(i);
    auto keys = std::make_unique<TKeyList>();
    TKeyList& r = *keys;
    sections.AddObjectU(name, std::move(keys));
    return r;
}

// What a line of the file is: the loader's reading of it, shared with the save that keeps lines.
struct TIniLineKind {
    enum : uint8_t { Other, Section, Key } Kind = Other;
    UnicodeString Name;  // section or key
    UnicodeString Value;
};

TIniLineKind ClassifyLine(AnsiView line) {
    TIniLineKind k;
    const AnsiString s = TrimA(line);
    if (s.empty() || s[0] == ';' || s[0] == '#') return k;
    if (s[0] == '[') {
        const size_t close = s.find(']');
        if (close == AnsiString::npos || close == 1) return k;
        k.Kind = TIniLineKind::Section;
        k.Name = FromUtf8(AnsiView(s).substr(1, close - 1));
        return k;
    }
    const size_t eq = s.find('=');
    if (eq == AnsiString::npos || eq == 0) return k;
    size_t keyEnd = eq;
    while (keyEnd > 0 && (s[keyEnd - 1] == ' ' || s[keyEnd - 1] == '\t')) --keyEnd;
    k.Kind = TIniLineKind::Key;
    k.Name = FromUtf8(AnsiView(s).substr(0, keyEnd));
    k.Value = FromUtf8(AnsiView(s).substr(eq + 1));
    return k;
}

// A line as read keeps the CR of a CRLF ending, so that the save writes it back the same.
bool EndsInCr(AnsiView line) { return !line.empty() && line.back() == '\r'; }

AnsiView WithoutBom(AnsiView line, size_t lineIndex) {
    if (lineIndex == 0 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    return line;
}

void SetValue(TKeyList& keys, UnicodeView key, UnicodeString value) {
    auto v = std::make_unique<UnicodeString>(std::move(value));
    const int32_t k = keys.IndexOfU(key);
    if (k >= 0)
        keys.SetObject(k, std::move(v));
    else
        keys.AddObjectU(key, std::move(v));
}

// The new file's owner, group and mode from the file it replaces (0600 when there is none);
// owner and group first, as changing them may clear set-id bits. Owner and group only where the
// process may: run by root, the daemon's user keeps its configuration.
void TakeOldAttributes(int fd, const AnsiString& oldName, const AnsiString& newName) {
    struct stat st {};
    mode_t mode = 0600;
    if (::stat(oldName.c_str(), &st) == 0) {
        // EPERM: a user who may not give the file away keeps it as its own; anything else fails the save.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(fd, st.st_uid, st.st_gid) != 0 &&
            errno != EPERM)
            RaiseWriteFileError(errno, newName);
        mode = st.st_mode & 07777;
    }
    if (::fchmod(fd, mode) != 0) RaiseWriteFileError(errno, newName);
}

// The file a save replaces: a name that is a symbolic link is followed to the file it names (the
// link stays, its target gets the new content), also when the target does not exist yet.
AnsiString SaveTarget(const AnsiString& name) {
    AnsiString path = name;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        if (hops >= 40) RaiseOpenFileError(ELOOP, name);
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        if (n < 0) RaiseOpenFileError(errno, name);
        if (static_cast<size_t>(n) >= sizeof buf) RaiseOpenFileError(ENAMETOOLONG, name);
        const AnsiString link(buf, static_cast<size_t>(n));
        path = !link.empty() && link[0] == '/' ? link : AnsiString(ExtractFilePathA(path)) + link;
    }
}

constexpr auto kSaveLockLimit = std::chrono::seconds(10);

// Saves of files in one directory are serialised by a lock on the directory, held from the
// re-read of the file to its rename: every writer's keys land, none is written over by another's
// older copy. A lock on the file would not do: the rename replaces the file that holds it.
class TDirLock {
public:
    explicit TDirLock(const AnsiString& dir) {
        const AnsiString d = dir.empty() ? AnsiString(".") : dir;
        Fd_ = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (Fd_ < 0) RaiseLockError(errno, d);
        // Bounded: a writer stopped while it holds the lock must not hold every other for ever.
        const auto end = std::chrono::steady_clock::now() + kSaveLockLimit;
        while (::flock(Fd_, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            if (e == EINTR) continue;
            if (e != EWOULDBLOCK || std::chrono::steady_clock::now() >= end) {
                ::close(Fd_);
                RaiseLockError(e, d);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    TDirLock(const TDirLock&) = delete;
    TDirLock& operator=(const TDirLock&) = delete;
    ~TDirLock() { ::close(Fd_); }  // the close drops the lock

private:
    [[noreturn]] static void RaiseLockError(int code, const AnsiString& dir) {
        throw EFileException(FormatA("error [%d] of locking directory \"%s\": %s", code, dir.c_str(),
                                     SysErrorText(code).c_str()));
    }
    int Fd_ = -1;
};

}  // namespace

UnicodeString BoolToTrueFalseU(bool b) { return b ? u"TRUE" : u"FALSE"; }
UnicodeString BoolToYesNoU(bool b) { return b ? u"Yes" : u"No"; }

TIniFileUTF8::TIniFileUTF8(AnsiView fileName, bool mustExist) : FileName_(fileName), MustExist_(mustExist) {
    Sections_.SetCaseSensitive(false);
    LoadFromFile(FileName_, MustExist_);
}

void TIniFileUTF8::LoadFromFile(AnsiView Name, bool MustExist) {
    if (!MustExist) {
        uint32_t attr = 0;
        if (TryGetFileAttr(Name, attr) == ENOENT) return;
    }
    std::unique_ptr<char[]> buf(new char[kIniBufSize]);
    TTextFile f;
    ResetTextName(f, Name, buf.get(), kIniBufSize);
    Loaded_ = true;
    TKeyList* current = nullptr;
    AnsiString raw;
    for (int32_t lineNo = 1; !EofText(f); ++lineNo) {
        raw.clear();
        bool lineEnd = false;
        while (!lineEnd) {
            const AnsiView piece = ReadLnPieceText(f, lineEnd);
            if (piece.empty() && !lineEnd) break;
            raw.append(piece);
        }
        LastLineEnded_ = lineEnd;
        AnsiView line = WithoutBom(raw, size_t(lineNo - 1));
        if (EndsInCr(line)) line.remove_suffix(1);
        if (HasCtrlCharsBuf(line.data(), static_cast<int32_t>(line.size())))
            throw EIniFileUTF8ExceptionInvalidCharacters(FormatA("Invalid characters on line %d", lineNo));
        Lines_.push_back(raw);
        TIniLineKind k = ClassifyLine(line);
        if (k.Kind == TIniLineKind::Section)
            current = &SectionKeys(Sections_, k.Name);
        else if (k.Kind == TIniLineKind::Key && current != nullptr)
            SetValue(*current, k.Name, std::move(k.Value));
    }
    TryCloseText(f);
}

const UnicodeString* TIniFileUTF8::FindValue(UnicodeView section, UnicodeView key) const noexcept {
    const int32_t i = Sections_.IndexOfU(section);
    if (i < 0) return nullptr;
    const TKeyList& keys = *Sections_.GetObject(i);
    const int32_t k = keys.IndexOfU(key);
    return k < 0 ? nullptr : keys.GetObject(k);
}

UnicodeString TIniFileUTF8::ReadString(UnicodeView section, UnicodeView key, UnicodeView def) const {
    const UnicodeString* v = FindValue(section, key);
    UnicodeString t = TrimU(v != nullptr ? UnicodeView(*v) : def);
    if (t.empty()) return UnicodeString(def);
    return t;
}

int32_t TIniFileUTF8::ReadInteger(UnicodeView section, UnicodeView key, int32_t def) const {
    int32_t v = def;
    if (!TryStrToInt32U(TrimU(ReadString(section, key, u"")), v)) return def;
    return v;
}

bool TIniFileUTF8::ReadBool(UnicodeView section, UnicodeView key, bool def) const {
    bool v = def;
    if (!TryStrToBoolU(ReadString(section, key, BoolToTrueFalseU(def)), v)) return def;
    return v;
}

void TIniFileUTF8::WriteString(UnicodeView section, UnicodeView key, UnicodeView value) {
    if (!IsStorableSection(section)) throw EIniFileUTF8ExceptionInvalidCharacters("Invalid characters in section name");
    if (!IsStorableKey(key)) throw EIniFileUTF8ExceptionInvalidCharacters("Invalid characters in key name");
    if (HasCtrlCharsU(value))
        throw EIniFileUTF8ExceptionInvalidCharacters(
            FormatA("Invalid characters in value of key \"%s\"", UnicodeToUtf8A(key).c_str()));
    TKeyList& keys = SectionKeys(Sections_, section);
    SetValue(keys, key, UnicodeString(value));
    Written_.emplace(Sections_.IndexOfU(section), keys.IndexOfU(key));
    Modified_ = true;
}

void TIniFileUTF8::UpdateFile() {
    const AnsiString target = SaveTarget(FileName_);
    const AnsiString dir(ExtractFilePathA(target));
    const AnsiString newName = dir + "." + AnsiString(ExtractFileNameA(target)) + ".$new";
    const TDirLock lock(dir);

    // Another writer may have saved since this file was read: the keys written here go into the
    // file as it is now, so its change stays too. This object changes only once the save is done.
    TIniFileUTF8 now(target, false);
    for (const auto& [s, k] : Written_) {
        const TKeyList& keys = *Sections_.GetObject(s);
        now.WriteString(Sections_.GetU(s), keys.GetU(k), *keys.GetObject(k));
    }

    bool lastUnended = false;
    std::vector<AnsiString> lines = now.SavedLines(lastUnended);
    AnsiString text;
    for (size_t i = 0; i < lines.size(); ++i) {
        text += lines[i];
        if (i + 1 < lines.size() || !lastUnended) text += "\n";
    }

    const int stale = TryEraseFileName(newName);
    if (stale != ENOENT) RaiseDeleteFileError(stale, newName);
    TBinaryFile f;
    RaiseCreateFileError(TryCreateNewFileName(f, newName, 0600), newName);
    try {
        TakeOldAttributes(f.Handle, target, newName);
        RaiseWriteFileError(TryBlockWrite(f, text.data(), text.size()), newName);
        if (::fsync(f.Handle) != 0) RaiseWriteFileError(errno, newName);
        RaiseWriteFileError(TryCloseFile(f), newName);
        // One rename: the file name always holds either the old or the new content.
        RenameFileOrDir(newName, target);
    } catch (...) {
        TryCloseFile(f);
        TryEraseFileName(newName);
        throw;
    }
    TrySyncPath(dir.empty() ? AnsiView(".") : AnsiView(dir));
    Sections_ = std::move(now.Sections_);
    Lines_ = std::move(lines);
    LastLineEnded_ = !lastUnended;
    Loaded_ = true;
    Modified_ = false;
    Written_.clear();
}

std::vector<AnsiString> TIniFileUTF8::SavedLines(bool& LastUnended) const {
    // A line the save adds ends as the file's lines do: with CRLF when the file has any.
    const bool crlf = std::any_of(Lines_.begin(), Lines_.end(), [](const AnsiString& l) { return EndsInCr(l); });
    auto keyLine = [&](int32_t s, int32_t k, bool cr) {
        const TKeyList& keys = *Sections_.GetObject(s);
        return UnicodeToUtf8A(keys.GetU(k)) + "=" + UnicodeToUtf8A(*keys.GetObject(k)) + (cr ? "\r" : "");
    };
    // The file's lines, each written key's line with its new value; where each section's last
    // line went, for the written keys that the file lacks.
    std::vector<AnsiString> out;
    std::vector<size_t> sectionEnd(size_t(Sections_.Count()), AnsiString::npos);
    std::set<std::pair<int32_t, int32_t>> placed;
    int32_t current = -1;
    size_t lastFileLine = AnsiString::npos;  // where the file's last line went
    for (size_t i = 0; i < Lines_.size(); ++i) {
        if (i + 1 == Lines_.size()) lastFileLine = out.size();
        const TIniLineKind k = ClassifyLine(WithoutBom(Lines_[i], i));
        if (k.Kind == TIniLineKind::Section) {
            current = Sections_.IndexOfU(k.Name);
        } else if (k.Kind == TIniLineKind::Key && current >= 0) {
            const std::pair<int32_t, int32_t> key(current, Sections_.GetObject(current)->IndexOfU(k.Name));
            if (Written_.count(key) != 0) {
                out.push_back(keyLine(key.first, key.second, EndsInCr(Lines_[i])));
                placed.insert(key);
                sectionEnd[size_t(current)] = out.size();
                continue;
            }
        } else {
            out.push_back(Lines_[i]);
            continue;
        }
        out.push_back(Lines_[i]);
        if (current >= 0) sectionEnd[size_t(current)] = out.size();
    }
    // Written keys the file lacks: behind their section's last line, or in a new section at the end.
    std::vector<std::vector<AnsiString>> before(out.size() + 1);
    std::vector<AnsiString> tail;
    for (int32_t s = 0; s < Sections_.Count(); ++s) {
        std::vector<AnsiString> added;
        for (int32_t k = 0; k < Sections_.GetObject(s)->Count(); ++k)
            if (Written_.count({s, k}) != 0 && placed.count({s, k}) == 0) added.push_back(keyLine(s, k, crlf));
        if (added.empty()) continue;
        std::vector<AnsiString>& to = sectionEnd[size_t(s)] != AnsiString::npos ? before[sectionEnd[size_t(s)]] : tail;
        if (&to == &tail) {
            if (!(out.empty() && tail.empty())) tail.emplace_back(crlf ? "\r" : "");
            tail.push_back("[" + UnicodeToUtf8A(Sections_.GetU(s)) + "]" + (crlf ? "\r" : ""));
        }
        to.insert(to.end(), added.begin(), added.end());
    }
    // A last line without a line end stays so while it stays last; a line added behind it gives
    // it the file's line end.
    LastUnended = false;
    if (!LastLineEnded_ && lastFileLine != AnsiString::npos) {
        if (before[out.size()].empty() && tail.empty())
            LastUnended = true;
        else if (crlf && !EndsInCr(out[lastFileLine]))
            out[lastFileLine] += "\r";
    }
    std::vector<AnsiString> lines;
    for (size_t p = 0; p <= out.size(); ++p) {
        lines.insert(lines.end(), before[p].begin(), before[p].end());
        if (p < out.size()) lines.push_back(out[p]);
    }
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
}

}  // namespace zel
