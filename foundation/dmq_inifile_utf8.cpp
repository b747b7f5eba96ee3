#include "foundation/dmq_inifile_utf8.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
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
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) (void)::fchown(fd, st.st_uid, st.st_gid);
        mode = st.st_mode & 07777;
    }
    if (::fchmod(fd, mode) != 0) RaiseWriteFileError(errno, newName);
}

}  // namespace

UnicodeString BoolToTrueFalseU(bool b) { return b ? u"TRUE" : u"FALSE"; }
UnicodeString BoolToYesNoU(bool b) { return b ? u"Yes" : u"No"; }

TIniFileUTF8::TIniFileUTF8(AnsiView fileName, bool mustExist) : FileName_(fileName), MustExist_(mustExist) {
    Sections_.SetCaseSensitive(false);
    LoadFromFile();
}

void TIniFileUTF8::LoadFromFile() {
    if (!MustExist_) {
        uint32_t attr = 0;
        if (TryGetFileAttr(FileName_, attr) == ENOENT) return;
    }
    std::unique_ptr<char[]> buf(new char[kIniBufSize]);
    TTextFile f;
    ResetTextName(f, FileName_, buf.get(), kIniBufSize);
    Loaded_ = true;
    TKeyList* current = nullptr;
    AnsiString line;
    for (int32_t lineNo = 1; !EofText(f); ++lineNo) {
        ReadLnText(f, line);
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (HasCtrlCharsBuf(line.data(), static_cast<int32_t>(line.size())))
            throw EIniFileUTF8ExceptionInvalidCharacters(FormatA("Invalid characters on line %d", lineNo));
        const AnsiString s = TrimA(line);
        if (s.empty() || s[0] == ';' || s[0] == '#') continue;
        if (s[0] == '[') {
            const size_t close = s.find(']');
            if (close == AnsiString::npos || close == 1) continue;
            current = &SectionKeys(Sections_, FromUtf8(AnsiView(s).substr(1, close - 1)));
            continue;
        }
        if (current == nullptr) continue;
        const size_t eq = s.find('=');
        if (eq == AnsiString::npos || eq == 0) continue;
        size_t keyEnd = eq;
        while (keyEnd > 0 && (s[keyEnd - 1] == ' ' || s[keyEnd - 1] == '\t')) --keyEnd;
        SetValue(*current, FromUtf8(AnsiView(s).substr(0, keyEnd)), FromUtf8(AnsiView(s).substr(eq + 1)));
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
    SetValue(SectionKeys(Sections_, section), key, UnicodeString(value));
    Modified_ = true;
}

void TIniFileUTF8::UpdateFile() {
    const AnsiString dir(ExtractFilePathA(FileName_));
    const AnsiString newName = dir + "." + AnsiString(ExtractFileNameA(FileName_)) + ".$new";

    AnsiString text;
    for (int32_t i = 0; i < Sections_.Count(); ++i) {
        const TKeyList& keys = *Sections_.GetObject(i);
        if (keys.Count() == 0) continue;
        if (!text.empty()) text += '\n';
        text += "[" + UnicodeToUtf8A(Sections_.GetU(i)) + "]\n";
        for (int32_t k = 0; k < keys.Count(); ++k)
            text += UnicodeToUtf8A(keys.GetU(k)) + "=" + UnicodeToUtf8A(*keys.GetObject(k)) + "\n";
    }

    const int stale = TryEraseFileName(newName);
    if (stale != ENOENT) RaiseDeleteFileError(stale, newName);
    TBinaryFile f;
    RaiseCreateFileError(TryCreateNewFileName(f, newName, 0600), newName);
    try {
        TakeOldAttributes(f.Handle, FileName_, newName);
        RaiseWriteFileError(TryBlockWrite(f, text.data(), text.size()), newName);
        if (::fsync(f.Handle) != 0) RaiseWriteFileError(errno, newName);
        RaiseWriteFileError(TryCloseFile(f), newName);
        // One rename: the file name always holds either the old or the new content.
        RenameFileOrDir(newName, FileName_);
    } catch (...) {
        TryCloseFile(f);
        TryEraseFileName(newName);
        throw;
    }
    TrySyncPath(dir.empty() ? AnsiView(".") : AnsiView(dir));
    Loaded_ = true;
    Modified_ = false;
}

}  // namespace zel
