#include "foundation/dmq_inifile_utf8.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

namespace {

constexpr size_t kIniBufSize = 131072;

TUnicodeStringList* KeysOf(const TUnicodeStringList& sections, int32_t i) noexcept {
    return static_cast<TUnicodeStringList*>(sections.GetObject(i));
}

UnicodeString* ValueOf(const TUnicodeStringList& keys, int32_t i) noexcept {
    return static_cast<UnicodeString*>(keys.GetObject(i));
}

bool HasCtrlUnits(UnicodeView s, bool allowTab) noexcept {
    for (char16_t c : s)
        if (c < 32 && !(allowTab && c == u'\t')) return true;
    return false;
}

UnicodeString FromUtf8(AnsiView s) { return Utf8BufToUnicodeU(s.data(), static_cast<int32_t>(s.size())); }

// Makes a rename in dir durable; failure only costs durability, so it is not reported.
void SyncDir(const AnsiString& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

UnicodeString BoolToTrueFalseU(bool b) { return b ? u"TRUE" : u"FALSE"; }
UnicodeString BoolToYesNoU(bool b) { return b ? u"Yes" : u"No"; }

TIniFileUTF8::TIniFileUTF8(AnsiView fileName, bool mustExist) : FileName_(fileName), MustExist_(mustExist) {
    Sections_.SetCaseSensitive(false);
    try {
        LoadFromFile();
    } catch (...) {
        Clear();
        throw;
    }
}

TIniFileUTF8::~TIniFileUTF8() { Clear(); }

void TIniFileUTF8::Clear() noexcept {
    for (int32_t i = 0; i < Sections_.Count(); ++i) {
        TUnicodeStringList* keys = KeysOf(Sections_, i);
        for (int32_t k = 0; k < keys->Count(); ++k) delete ValueOf(*keys, k);
        delete keys;
    }
    Sections_.Clear();
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
    TUnicodeStringList* current = nullptr;
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
            const UnicodeString name = FromUtf8(AnsiView(s).substr(1, close - 1));
            const int32_t i = Sections_.IndexOfU(name);
            if (i >= 0) {
                current = KeysOf(Sections_, i);
            } else {
                auto keys = std::make_unique<TUnicodeStringList>();
                Sections_.AddObjectU(name, keys.get());
                current = keys.release();
            }
            continue;
        }
        if (current == nullptr) continue;
        const size_t eq = s.find('=');
        if (eq == AnsiString::npos || eq == 0) continue;
        size_t keyEnd = eq;
        while (keyEnd > 0 && (s[keyEnd - 1] == ' ' || s[keyEnd - 1] == '\t')) --keyEnd;
        const UnicodeString key = FromUtf8(AnsiView(s).substr(0, keyEnd));
        auto value = std::make_unique<UnicodeString>(FromUtf8(AnsiView(s).substr(eq + 1)));
        const int32_t k = current->IndexOfU(key);
        if (k >= 0) {
            delete ValueOf(*current, k);
            current->SetObject(k, value.release());
        } else {
            current->AddObjectU(key, value.get());
            value.release();
        }
    }
    TryCloseText(f);
}

const UnicodeString* TIniFileUTF8::FindValue(UnicodeView section, UnicodeView key) const noexcept {
    const int32_t i = Sections_.IndexOfU(section);
    if (i < 0) return nullptr;
    const TUnicodeStringList* keys = KeysOf(Sections_, i);
    const int32_t k = keys->IndexOfU(key);
    return k < 0 ? nullptr : ValueOf(*keys, k);
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
    if (section.find(u']') != UnicodeView::npos || HasCtrlUnits(section, false))
        throw EIniFileUTF8ExceptionInvalidCharacters("Invalid characters in section name");
    if (key.find(u'=') != UnicodeView::npos || HasCtrlUnits(key, false))
        throw EIniFileUTF8ExceptionInvalidCharacters("Invalid characters in key name");
    if (HasCtrlUnits(value, true))
        throw EIniFileUTF8ExceptionInvalidCharacters(
            FormatA("Invalid characters in value of key \"%s\"", UnicodeToUtf8A(key).c_str()));
    TUnicodeStringList* keys;
    const int32_t i = Sections_.IndexOfU(section);
    if (i >= 0) {
        keys = KeysOf(Sections_, i);
    } else {
        auto fresh = std::make_unique<TUnicodeStringList>();
        Sections_.AddObjectU(section, fresh.get());
        keys = fresh.release();
    }
    auto v = std::make_unique<UnicodeString>(value);
    const int32_t k = keys->IndexOfU(key);
    if (k >= 0) {
        delete ValueOf(*keys, k);
        keys->SetObject(k, v.release());
    } else {
        keys->AddObjectU(key, v.get());
        v.release();
    }
    Modified_ = true;
}

void TIniFileUTF8::UpdateFile() {
    const size_t slash = FileName_.find_last_of('/');
    const AnsiString dir = slash == AnsiString::npos ? AnsiString() : FileName_.substr(0, slash + 1);
    const AnsiString base = slash == AnsiString::npos ? FileName_ : FileName_.substr(slash + 1);
    const AnsiString newName = dir + "." + base + ".$new";

    std::unique_ptr<char[]> buf(new char[kIniBufSize]);
    TTextFile f;
    RewriteTextNameBuf(f, newName, buf.get(), kIniBufSize);
    try {
        // The file may hold passwords: the new one gets the old one's permissions before any
        // byte is written.
        struct stat st {};
        if (::stat(FileName_.c_str(), &st) == 0) ::fchmod(f.Handle, st.st_mode & 07777);
        bool first = true;
        for (int32_t i = 0; i < Sections_.Count(); ++i) {
            const TUnicodeStringList* keys = KeysOf(Sections_, i);
            if (keys->Count() == 0) continue;
            if (!first) WriteLnText(f, "");
            first = false;
            WriteLnText(f, "[" + UnicodeToUtf8A(Sections_.GetU(i)) + "]");
            for (int32_t k = 0; k < keys->Count(); ++k)
                WriteLnText(f, UnicodeToUtf8A(keys->GetU(k)) + "=" + UnicodeToUtf8A(*ValueOf(*keys, k)));
        }
        CheckWriteResult(f, TryFlushText(f));
        if (::fsync(f.Handle) != 0) RaiseWriteFileError(errno, newName);
        CheckWriteResult(f, TryCloseText(f));
        // One rename: the file name always holds either the old or the new content.
        RenameFileOrDir(newName, FileName_);
    } catch (...) {
        TryCloseText(f);
        TryEraseFileName(newName);
        throw;
    }
    SyncDir(dir);
    Loaded_ = true;
    Modified_ = false;
}

}  // namespace zel
