#pragma once
// An INI file in UTF-8, held in memory: typed reads, writes, and an explicit save that replaces
// the file in one rename, so that the configuration file is never missing or half written.
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "foundation/dmq_unicodestringlist.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(EIniFileUTF8Exception, Exception);
ZEL_DECLARE_EXCEPTION(EIniFileUTF8ExceptionInvalidCharacters, EIniFileUTF8Exception);

// "TRUE" / "FALSE" and "Yes" / "No".
UnicodeString BoolToTrueFalseU(bool b);
UnicodeString BoolToYesNoU(bool b);

class TIniFileUTF8 {
public:
    // Loads the file. A missing file is an error only when mustExist is set
    // (EFileExceptionOpenError); a line with a control character other than TAB raises
    // EIniFileUTF8ExceptionInvalidCharacters "Invalid characters on line %d".
    TIniFileUTF8(AnsiView fileName, bool mustExist);
    TIniFileUTF8(const TIniFileUTF8&) = delete;
    TIniFileUTF8& operator=(const TIniFileUTF8&) = delete;
    // Does not save: a save can fail, so it is the caller's explicit UpdateFile().
    ~TIniFileUTF8() = default;

    // The stored value trimmed; the default as given when absent or when that is empty.
    UnicodeString ReadString(UnicodeView section, UnicodeView key, UnicodeView def) const;
    int32_t ReadInteger(UnicodeView section, UnicodeView key, int32_t def) const;
    bool ReadBool(UnicodeView section, UnicodeView key, bool def) const;

    // Adds the section at the end and the key at the end of its section when absent. Refuses with
    // EIniFileUTF8ExceptionInvalidCharacters every name that the file could not hold and load back
    // as written: an empty name, a control character or TAB, a blank at either end, a character
    // that UTF-8 cannot carry (a lone surrogate); "]" in a section name; "=" in a key or a key
    // starting with "#", ";" or "[". In a value a control character other than TAB.
    void WriteString(UnicodeView section, UnicodeView key, UnicodeView value);

    // Writes the file through the hidden ".<name>.$new" beside it; a name that is a symbolic link
    // saves the file it leads to (staged beside that file), the link stays. Saves in one directory
    // are serialised by a lock on it (waited for at most 10 s), under which the file is read anew
    // and the keys written here go into it as it is now: a concurrent save's keys stay too. Every
    // line of the file stays as it was (comments, blank lines, order, line ends, a last line
    // without one) except the lines of the keys written since,
    // which take their new values; a written key the file lacks goes behind the last line of its
    // section, a new section at the end. A stale ".$new" (a crash, or a link
    // planted to redirect the write) is removed, the new one created afresh (never through a link,
    // readable by its owner only), written, synced, given the old file's owner and group (where the
    // process may) and mode (0600 for a new file), and renamed over the file; then the directory is
    // synced.
    void UpdateFile();

    bool Modified() const noexcept { return Modified_; }
    bool Loaded() const noexcept { return Loaded_; }
    const AnsiString& FileName() const noexcept { return FileName_; }

private:
    void LoadFromFile(AnsiView Name, bool MustExist);
    // LastUnended: the last line goes out without a line end (the file's last line had none).
    std::vector<AnsiString> SavedLines(bool& LastUnended) const;
    const UnicodeString* FindValue(UnicodeView section, UnicodeView key) const noexcept;

    using TKeyList = TUnicodeStringList<UnicodeString>;  // key -> value

    bool Modified_ = false;
    bool Loaded_ = false;
    std::vector<AnsiString> Lines_;                   // the file's lines as read (a CR before the LF kept)
    bool LastLineEnded_ = true;                       // the last line of Lines_ had its line feed
    std::set<std::pair<int32_t, int32_t>> Written_;  // (section, key) written since
    AnsiString FileName_;
    TUnicodeStringList<TKeyList> Sections_;  // section name -> its keys, in file order
    bool MustExist_ = false;
};

}  // namespace zel
