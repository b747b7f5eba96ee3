#pragma once
// The system character set and iconv conversion between UTF-16 and named 8-bit character sets.
// Every conversion pairs the named set with UTF-16 LE without byte order mark.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "foundation/dmq_types.hpp"

namespace zel {

// Detected once at start (before any thread runs), only read afterwards.
extern AnsiString SystemCharset;
// Equal to SystemCharset at start; the configuration's default charset name.
extern AnsiString DefaultCharset;

// The charset named by the locale environment: LC_ALL, then LC_CTYPE, then LANG (the first that
// is set and not empty); the part after "." without an "@modifier". A locale without ".", or
// "C" / "POSIX", gives "UTF-8". When none of the three is set, MM_CHARSET names the charset itself.
AnsiString DetectSystemCharsetA();

// Environment: number of strings, string number Index (1-based, empty when out of range), and
// the value of a variable whose name matches after ASCII upper-casing both sides (first wins).
int32_t GetEnvCount();
AnsiString GetEnvStrA(int32_t Index);
AnsiString GetEnvVarA(AnsiView Name);

// The iconv name of UTF-16 inside the system: little-endian without byte order mark. Not
// "UNICODELITTLE": glibc and GNU libiconv both take that as UCS-2 and fail on every character
// beyond U+FFFF, which turned such a character in a UTF-8 file into a line of widened bytes that
// the next save wrote back double-encoded.
inline constexpr const char* UnicodeCharsetName = "UTF-16LE";

// An iconv descriptor, opaque so that <iconv.h> stays inside this unit's source.
using TIconvHandle = void*;
// A closed descriptor.
inline TIconvHandle InvalidIconv() noexcept { return reinterpret_cast<TIconvHandle>(intptr_t{-1}); }
// iconv_open(ToCharset, FromCharset); a blank name (iconv would take it as the locale's codeset,
// ASCII in a daemon) or one holding a NUL is refused with EINVAL. InvalidIconv() and errno on
// failure.
TIconvHandle OpenIconv(AnsiView ToCharset, AnsiView FromCharset);
void CloseIconv(TIconvHandle Handle) noexcept;

// True for the names of UTF-8 ("UTF-8", "UTF8", any ASCII case): these convert in plain code,
// without a descriptor.
bool IsUtf8CharsetName(AnsiView Charset) noexcept;
// Strict UTF-8 to UTF-16 (characters beyond U+FFFF as surrogate pairs): 0, or EILSEQ at the first
// bad sequence (DecodeUtf8Sequence) with Dest unchanged.
int Utf8ToUnicodeStrict(const char* P, int32_t Len, UnicodeString& Dest);

// Conversion through an open descriptor; 0 on success, else an error number and Dest unchanged
// (IconvFromUnicode answers -1 for every failure). A closed descriptor gives the default
// conversion and 0. A character the target set cannot hold becomes one "?".
int IconvFromUnicode(TIconvHandle Handle, UnicodeView S, AnsiString& Dest);
int IconvToUnicode(TIconvHandle Handle, AnsiView S, UnicodeString& Dest);
int IconvBufToUnicode(TIconvHandle Handle, const char* P, int32_t Len, UnicodeString& Dest);
// The same, but a byte that does not convert (or ends the text cut) becomes one "?" and the
// conversion goes on behind it.
int IconvBufToUnicodeReplacing(TIconvHandle Handle, const char* P, int32_t Len, UnicodeString& Dest);
// UTF-8 to UTF-16, each byte that starts no valid sequence becoming one "?".
UnicodeString Utf8ToUnicodeReplacing(AnsiView S);

// Calls Fn, an iconv of either declaration: the C library's takes the input as `char**`, GNU
// libiconv's (and older BSD headers) as `const char**`. The input pointer is handed over as the
// type Fn takes, so Fn advances the caller's own pointer; a null input (the flush call) stays
// null. Fn's other parameters are those of every iconv.
template <class Desc, class InChar>
    requires std::is_same_v<std::remove_const_t<InChar>, char>
size_t CallIconv(size_t (*Fn)(Desc, InChar**, size_t*, char**, size_t*), std::type_identity_t<Desc> Cd,
                 char** In, size_t* InLeft, char** Out, size_t* OutLeft) {
    return Fn(Cd, const_cast<InChar**>(In), InLeft, Out, OutLeft);
}

// Open a descriptor for Charset against UTF-16 LE, convert, close; UTF-8 converts in plain code.
// When the descriptor cannot be opened (a blank name included) the result is errno and Dest
// receives the default conversion.
int UnicodeToCharsetA(UnicodeView S, AnsiString& Dest, AnsiView Charset);
int CharsetToUnicodeA(AnsiView S, UnicodeString& Dest, AnsiView Charset);
int CharsetBufToUnicode(const char* P, int32_t Len, UnicodeString& Dest, AnsiView Charset);

// The default conversion, used where no descriptor is open and as the fall-back below:
// UTF-8 both ways; bytes that are not valid UTF-8 become one unit each, lone surrogates "?".
AnsiString DefaultUnicodeToAnsiA(UnicodeView S);
UnicodeString DefaultAnsiToUnicodeU(AnsiView S);

// System charset routines: on a conversion error they fall back to the default conversion.
AnsiString UnicodeToSystemCharsetA(UnicodeView S);
UnicodeString SystemCharsetToUnicodeU(AnsiView S);
AnsiString UnicodeToDefaultCharsetA(UnicodeView S);
AnsiString UnicodeToUtf8A(UnicodeView S);
// On failure each byte is widened to one unit.
UnicodeString Utf8BufToUnicodeU(const char* P, int32_t Len);

// Every unit converts operating-system text (error texts, file names, console output,
// environment values, program arguments) through these, so a program may install others.
using TSysCharsetToUnicodeProc = UnicodeString (*)(AnsiView S);
using TUnicodeToSysCharsetProc = AnsiString (*)(UnicodeView S);
extern TSysCharsetToUnicodeProc SysCharsetToUnicodeProc;  // initially SystemCharsetToUnicodeU
extern TUnicodeToSysCharsetProc UnicodeToSysCharsetProc;  // initially UnicodeToSystemCharsetA

}  // namespace zel
