#pragma once
// A converter bound to one named character set, to and from UTF-16. The name "BIN" takes bytes
// one to one in both directions; "UTF-8" converts in plain code without descriptors. A converter
// belongs to one owner: iconv descriptors keep state.
#include <cstdint>

#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

ZEL_DECLARE_EXCEPTION(EAnsiUnicodeConverterError, Exception);
ZEL_DECLARE_EXCEPTION(EAnsiUnicodeConverterInvalidCharsetName, EAnsiUnicodeConverterError);

// Kept by callers with their configuration; no value changes the conversion.
using TAnsiUnicodeConverterOptions = uint32_t;
constexpr TAnsiUnicodeConverterOptions DefaultConverterOptions() noexcept { return 0; }

class TAnsiUnicodeConverter {
public:
    TAnsiUnicodeConverter() = default;
    ~TAnsiUnicodeConverter();
    TAnsiUnicodeConverter(const TAnsiUnicodeConverter&) = delete;
    TAnsiUnicodeConverter& operator=(const TAnsiUnicodeConverter&) = delete;

    // Trimmed and ASCII upper-cased. An unknown or blank name raises
    // EAnsiUnicodeConverterInvalidCharsetName "Invalid or unknown charset name: %s" and leaves the
    // converter with the new name, closed and not binary (conversions then use the default
    // conversion).
    void SetCharset(UnicodeView Name);
    void SetOptions(TAnsiUnicodeConverterOptions Options) noexcept;

    UnicodeString ToUnicode(AnsiView S);
    UnicodeString BufToUnicode(const char* P, int32_t Len);
    // Every byte that does not convert becomes one "?" (ToUnicode takes the whole text by the
    // default conversion instead), so the result always encodes to valid UTF-8.
    UnicodeString ToUnicodeReplacing(AnsiView S);
    AnsiString FromUnicode(UnicodeView S);

    const AnsiString& CharsetNameA() const noexcept { return CharsetNameA_; }
    const UnicodeString& CharsetName() const noexcept { return CharsetName_; }
    bool IsOpen() const noexcept { return IsOpen_; }
    bool IsBinary() const noexcept { return IsBinary_; }

private:
    void Close() noexcept;

    TIconvHandle FromUnicodeHandle_ = InvalidIconv();
    TIconvHandle ToUnicodeHandle_ = InvalidIconv();
    bool IsOpen_ = false;
    bool IsBinary_ = false;
    bool IsUtf8_ = false;  // open without descriptors: the plain-code UTF-8 path
    AnsiString CharsetNameA_;
    UnicodeString CharsetName_;
};

// Raises what SetCharset(Name) raises; a non-empty ErrPrefix is put before the message with ": ".
void CheckCharsetName(UnicodeView Name, UnicodeView ErrPrefix, TAnsiUnicodeConverterOptions Options);

}  // namespace zel
