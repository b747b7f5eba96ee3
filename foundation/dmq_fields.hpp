#pragma once
// Cutting a byte buffer into fields at a delimiter (the list-file parsers), the n-th
// field of a delimited text (the configuration and option readers) and a few small text routines.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

// One field: a pointer into the caller's text and its length. Nothing is copied.
struct TBufFieldRec {
    const char* P = nullptr;
    int32_t Len = 0;
};

// Passed by the caller: the text, the caller's array of MaxFields entries, the delimiter byte.
struct TSplitBufInfo {
    const char* Text = nullptr;
    TBufFieldRec* Fields = nullptr;
    int32_t Len = 0;
    int32_t MaxFields = 0;
    uint8_t Delimiter = 0;
};

// Stores up to MaxFields fields and returns their count: "a;b" 2, "a;b;" 3 (the last empty), ";" 2
// empty, "" 0. Every entry behind the count up to MaxFields gets (Text + Len, 0). Of a text with
// more fields than MaxFields only the first MaxFields are stored; the rest is not reported.
int32_t SplitBufFields(TSplitBufInfo& Info) noexcept;

// The N-th (1-based) Sep-separated field; true when the text has at least N fields (Field may then
// be empty), false and an empty Field otherwise (also for the empty text and N < 1).
bool ExtractFieldA(AnsiView S, char Sep, int32_t N, AnsiString& Field);
bool ExtractFieldU(UnicodeView S, char16_t Sep, int32_t N, UnicodeString& Field);

// Number of Sep characters + 1; 0 for the empty text.
int32_t FieldCountA(AnsiView S, char Sep) noexcept;
int32_t FieldCountU(UnicodeView S, char16_t Sep) noexcept;

// The text from the 1-based position From to its end: From < 1 the whole text, beyond it empty.
AnsiString CopyFromA(AnsiView S, int32_t From);
UnicodeString CopyFromU(UnicodeView S, int32_t From);

AnsiString ReverseStrA(AnsiView S);

// CR, LF, TAB, form feed and blank.
bool IsWhiteSpaceA(char C) noexcept;
bool CharInStrA(char C, AnsiView S) noexcept;

}  // namespace zel
