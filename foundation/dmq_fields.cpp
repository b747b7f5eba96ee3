#include "foundation/dmq_fields.hpp"

namespace zel {

int32_t SplitBufFields(TSplitBufInfo& Info) noexcept {
    const char* p = Info.Text;
    int32_t remaining = Info.Len > 0 && p != nullptr ? Info.Len : 0;
    const char* const end = p + remaining;
    const char delimiter = static_cast<char>(Info.Delimiter);
    int32_t count = 0;
    while (count < Info.MaxFields && remaining > 0) {
        const char* start = p;
        while (remaining > 0 && *p != delimiter) ++p, --remaining;
        Info.Fields[count++] = {start, static_cast<int32_t>(p - start)};
        if (remaining > 0) {  // a delimiter stopped the scan
            ++p, --remaining;
            if (remaining == 0 && count < Info.MaxFields) Info.Fields[count++] = {end, 0};
        }
    }
    for (int32_t i = count; i < Info.MaxFields; ++i) Info.Fields[i] = {end, 0};
    return count;
}

namespace {

template <typename Char>
bool ExtractFieldT(std::basic_string_view<Char> s, Char sep, int32_t n, std::basic_string<Char>& field) {
    field.clear();
    if (n < 1 || s.empty()) return false;
    size_t start = 0;
    for (int32_t i = 1; i < n; ++i) {
        size_t d = s.find(sep, start);
        if (d == s.npos) return false;
        start = d + 1;
    }
    size_t d = s.find(sep, start);
    field.assign(s.substr(start, d == s.npos ? s.npos : d - start));
    return true;
}

template <typename Char>
int32_t FieldCountT(std::basic_string_view<Char> s, Char sep) noexcept {
    if (s.empty()) return 0;
    int32_t n = 1;
    for (Char c : s) n += c == sep;
    return n;
}

template <typename Char>
std::basic_string<Char> CopyFromT(std::basic_string_view<Char> s, int32_t from) {
    if (from < 1) return std::basic_string<Char>(s);
    if (static_cast<size_t>(from) > s.size()) return {};
    return std::basic_string<Char>(s.substr(static_cast<size_t>(from) - 1));
}

}  // namespace

bool ExtractFieldA(AnsiView S, char Sep, int32_t N, AnsiString& Field) { return ExtractFieldT(S, Sep, N, Field); }

bool ExtractFieldU(UnicodeView S, char16_t Sep, int32_t N, UnicodeString& Field) {
    return ExtractFieldT(S, Sep, N, Field);
}

int32_t FieldCountA(AnsiView S, char Sep) noexcept { return FieldCountT(S, Sep); }

int32_t FieldCountU(UnicodeView S, char16_t Sep) noexcept { return FieldCountT(S, Sep); }

AnsiString CopyFromA(AnsiView S, int32_t From) { return CopyFromT(S, From); }

UnicodeString CopyFromU(UnicodeView S, int32_t From) { return CopyFromT(S, From); }

AnsiString ReverseStrA(AnsiView S) { return AnsiString(S.rbegin(), S.rend()); }

bool IsWhiteSpaceA(char C) noexcept { return C == '\r' || C == '\n' || C == '\t' || C == '\f' || C == ' '; }

bool CharInStrA(char C, AnsiView S) noexcept { return S.find(C) != AnsiView::npos; }

}  // namespace zel
