#pragma once
// An INI file in UTF-8, held in memory: typed reads, writes, and an explicit save that replaces
// the file in one rename, so that the configuration file is never missing or half written.
#include <cstdint>

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
    ~TIniFileUTF8();

    // The stored value trimmed; the default as given when absent or when that is empty.
    UnicodeString ReadString(UnicodeView section, UnicodeView key, UnicodeView def) const;
    int32_t ReadInteger(UnicodeView section, UnicodeView key, int32_t def) const;
    bool ReadBool(UnicodeView section, UnicodeView key, bool def) const;

    // Adds the section at the end and the key at the end of its section when absent. Refuses what
    // the file could not hold and load again: "]" or a control character in a section name, "="
    // or a control character in a key, a control character other than TAB in a value
    // (EIniFileUTF8ExceptionInvalidCharacters).
    void WriteString(UnicodeView section, UnicodeView key, UnicodeView value);

    // Writes the file: the hidden ".<name>.$new" beside it is written and synced, given the old
    // file's permissions, and renamed over the file; then the directory is synced.
    void UpdateFile();

    bool Modified() const noexcept { return Modified_; }
    bool Loaded() const noexcept { return Loaded_; }
    const AnsiString& FileName() const noexcept { return FileName_; }

private:
    void LoadFromFile();
    void Clear() noexcept;
    const UnicodeString* FindValue(UnicodeView section, UnicodeView key) const noexcept;

    bool Modified_ = false;
    bool Loaded_ = false;
    AnsiString FileName_;
    // Items: section names; objects: the key lists (TUnicodeStringList*, owned here), whose
    // objects are the values (UnicodeString*, owned here).
    TUnicodeStringList Sections_;
    bool MustExist_ = false;
};

}  // namespace zel
