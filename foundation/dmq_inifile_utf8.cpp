#include "foundation/dmq_inifile_utf8.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    AnsiString raw;
    for (int32_t lineNo = 1; !EofText(f); ++lineNo) {
        raw.clear();
        for (bool lineEnd = false; !lineEnd;) {
            const AnsiView piece = ReadLnPieceText(f, lineEnd);
            if (piece.empty() && !lineEnd) break;
            raw.append(piece);
        }
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
    const AnsiString dir(ExtractFilePathA(FileName_));
    const AnsiString newName = dir + "." + AnsiString(ExtractFileNameA(FileName_)) + ".$new";

    const std::vector<AnsiString> lines = SavedLines();
    AnsiString text;
    for (const AnsiString& l : lines) text += l + "\n";

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
    Lines_ = lines;
    Written_.clear();
}

std::vector<AnsiString> TIniFileUTF8::SavedLines() const {
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
    for (size_t i = 0; i < Lines_.size(); ++i) {
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
    std::vector<AnsiString> lines;
    for (size_t p = 0; p <= out.size(); ++p) {
        lines.insert(lines.end(), before[p].begin(), before[p].end());
        if (p < out.size()) lines.push_back(out[p]);
    }
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
}

}  // namespace zel
