#include "foundation/dmq_ansi_unicode_converter.hpp"

namespace zel {

TAnsiUnicodeConverter::~TAnsiUnicodeConverter() { Close(); }

void TAnsiUnicodeConverter::Close() noexcept {
    CloseIconv(FromUnicodeHandle_);
    CloseIconv(ToUnicodeHandle_);
    FromUnicodeHandle_ = InvalidIconv();
    ToUnicodeHandle_ = InvalidIconv();
    IsOpen_ = false;
    IsUtf8_ = false;
}

void TAnsiUnicodeConverter::SetCharset(UnicodeView Name) {
    UnicodeString n = AsciiUpperCaseU(TrimU(Name));
    // Only a working converter may skip the work: a name that failed before must fail again.
    if (n == CharsetName_ && (IsOpen_ || IsBinary_)) return;
    CharsetName_ = n;
    CharsetNameA_ = NarrowStrA(n);
    Close();
    IsBinary_ = false;
    if (CharsetNameA_ == "BIN") {
        IsBinary_ = true;
        return;
    }
    auto invalid = [&] {
        return EAnsiUnicodeConverterInvalidCharsetName(
            FormatA("Invalid or unknown charset name: %s", UnicodeToUtf8A(Name).c_str()));
    };
    // Charset names are ASCII; narrowing anything else (or cutting at a NUL) could name another set.
    // A blank name would open the locale's codeset.
    if (n.empty()) throw invalid();
    for (char16_t c : n)
        if (c == 0 || c > 0x7F) throw invalid();
    if (IsUtf8CharsetName(CharsetNameA_)) {
        IsUtf8_ = true;
        IsOpen_ = true;
        return;
    }
    TIconvHandle from = OpenIconv(CharsetNameA_, UnicodeCharsetName);
    if (from == InvalidIconv()) throw invalid();
    TIconvHandle to = OpenIconv(UnicodeCharsetName, CharsetNameA_);
    if (to == InvalidIconv()) {
        CloseIconv(from);
        throw invalid();
    }
    FromUnicodeHandle_ = from;
    ToUnicodeHandle_ = to;
    IsOpen_ = true;
}

void TAnsiUnicodeConverter::SetOptions(TAnsiUnicodeConverterOptions) noexcept {}

UnicodeString TAnsiUnicodeConverter::BufToUnicode(const char* P, int32_t Len) {
    if (P == nullptr || Len < 1) return UnicodeString();
    if (IsBinary_) return WidenBufU(P, Len);
    UnicodeString d;
    if (IsUtf8_) {
        if (Utf8ToUnicodeStrict(P, Len, d) != 0) return DefaultAnsiToUnicodeU(AnsiView(P, static_cast<size_t>(Len)));
        return d;
    }
    if (IconvBufToUnicode(IsOpen_ ? ToUnicodeHandle_ : InvalidIconv(), P, Len, d) != 0)
        return DefaultAnsiToUnicodeU(AnsiView(P, static_cast<size_t>(Len)));
    return d;
}

UnicodeString TAnsiUnicodeConverter::ToUnicodeReplacing(AnsiView S) {
    if (S.empty()) return UnicodeString();
    if (IsBinary_) return WidenStrU(S);
    if (IsUtf8_ || !IsOpen_) return Utf8ToUnicodeReplacing(S);
    UnicodeString d;
    if (IconvBufToUnicodeReplacing(ToUnicodeHandle_, S.data(), static_cast<int32_t>(S.size()), d) != 0)
        return Utf8ToUnicodeReplacing(S);
    return d;
}

UnicodeString TAnsiUnicodeConverter::ToUnicode(AnsiView S) {
    return BufToUnicode(S.data(), static_cast<int32_t>(S.size()));
}

AnsiString TAnsiUnicodeConverter::FromUnicode(UnicodeView S) {
    if (S.empty()) return AnsiString();
    // Binary mode hands bytes back as they came in: each unit's low byte.
    if (IsBinary_) return NarrowStrA(S);
    if (IsUtf8_) return DefaultUnicodeToAnsiA(S);
    AnsiString d;
    if (IconvFromUnicode(IsOpen_ ? FromUnicodeHandle_ : InvalidIconv(), S, d) != 0)
        return DefaultUnicodeToAnsiA(S);
    return d;
}

void CheckCharsetName(UnicodeView Name, UnicodeView ErrPrefix, TAnsiUnicodeConverterOptions Options) {
    TAnsiUnicodeConverter c;
    c.SetOptions(Options);
    try {
        c.SetCharset(Name);
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        if (ErrPrefix.empty()) throw;
        // Exception messages are UTF-8 throughout.
        throw EAnsiUnicodeConverterInvalidCharsetName(UnicodeToUtf8A(ErrPrefix) + ": " + e.Message());
    }
}

}  // namespace zel
