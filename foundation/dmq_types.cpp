#include "foundation/dmq_types.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

namespace zel {

namespace {

inline unsigned char Byte(char c) noexcept { return static_cast<unsigned char>(c); }

inline bool NeedsEscape(unsigned char b) noexcept { return b < 32 || b == 92; }

// Escaped text of n bytes into dest (sized for n + 3 per escaped byte); returns the end.
char16_t* WriteEscaped(char16_t* dest, const char* p, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = Byte(p[i]);
        if (NeedsEscape(b)) {
            *dest++ = u'\\';
            *dest++ = u'x';
            *dest++ = static_cast<char16_t>(HexDigitsUpper[b >> 4]);
            *dest++ = static_cast<char16_t>(HexDigitsUpper[b & 15]);
        } else {
            *dest++ = b;
        }
    }
    return dest;
}

size_t CountEscaped(const char* p, size_t n) noexcept {
    size_t c = 0;
    for (size_t i = 0; i < n; ++i) c += NeedsEscape(Byte(p[i]));
    return c;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

UnicodeString TStringBldU::Grow(size_t n) {
    const int64_t need = static_cast<int64_t>(Len_) + static_cast<int64_t>(n);
    if (need <= Capacity_) return UnicodeString();
    const int64_t cap = (need + need / 2 + 63) & ~int64_t{63};
    if (cap > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    UnicodeString fresh(static_cast<size_t>(cap), u'\0');
    std::copy_n(Buf_.data(), Len_, fresh.data());
    Buf_.swap(fresh);
    Capacity_ = static_cast<int32_t>(cap);
    return fresh;
}

void TStringBldU::Init(int32_t wanted) {
    const int64_t w = std::max<int64_t>(wanted, 64);
    const int64_t cap = (w + w / 2 + 63) & ~int64_t{63};
    if (cap > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
    UnicodeString fresh(static_cast<size_t>(cap), u'\0');
    Buf_.swap(fresh);
    Len_ = 0;
    Capacity_ = static_cast<int32_t>(cap);
}

namespace {

void StrBldUPut(TStringBldU& b, const char16_t* p, size_t n) {
    if (n > 0) b.Append(n, [&](char16_t* d) { std::copy_n(p, n, d); });
}

}  // namespace

void StrBldUInit(TStringBldU& b, int32_t wanted) { b.Init(wanted); }

void StrBldUAddChar(TStringBldU& b, char16_t c) { StrBldUPut(b, &c, 1); }

void StrBldUAddSpace(TStringBldU& b) { StrBldUAddChar(b, u' '); }

void StrBldUAddColonSpace(TStringBldU& b) { StrBldUPut(b, u": ", 2); }

void StrBldUAddEscapedA(TStringBldU& b, AnsiView s) {
    if (s.empty()) return;
    b.Append(s.size() + 3 * CountEscaped(s.data(), s.size()),
             [&](char16_t* d) { WriteEscaped(d, s.data(), s.size()); });
}

void StrBldUAddInt(TStringBldU& b, int32_t v) {
    char16_t tmp[12];
    int32_t len = 12;
    const char16_t* p = IntToBufU(v, tmp, len);
    StrBldUPut(b, p, static_cast<size_t>(len));
}

void StrBldUAdd(TStringBldU& b, UnicodeView s) { StrBldUPut(b, s.data(), s.size()); }

void StrBldUAddSpaceStr(TStringBldU& b, UnicodeView s) {
    b.Append(s.size() + 1, [&](char16_t* d) {
        *d = u' ';
        std::copy_n(s.data(), s.size(), d + 1);
    });
}

UnicodeString StrBldUToStr(const TStringBldU& b) { return UnicodeString(StrBldUView(b)); }

// ---------------------------------------------------------------------------------------------

bool TryParseDurationU(UnicodeView s, TDurationRec& d) {
    d = TDurationRec{};
    int32_t* fields[6] = {&d.Years, &d.Months, &d.Days, &d.Hours, &d.Minutes, &d.Seconds};
    bool seen[6] = {};
    bool any = false;
    size_t i = 0;
    const size_t n = s.size();
    for (;;) {
        while (i < n && s[i] <= 32) ++i;
        if (i >= n) break;
        int32_t digits = 0;
        int32_t number = 0;
        while (i < n && s[i] >= u'0' && s[i] <= u'9') {
            if (++digits > 9) return false;
            number = number * 10 + (s[i] - u'0');
            ++i;
        }
        if (i >= n) {
            // Pending digits at the end count as seconds.
            if (seen[5]) return false;
            d.Seconds = number;
            return true;
        }
        char16_t c = s[i];
        int field;
        switch (c) {
            case u' ': field = 5; break;
            case u'Y': case u'y': field = 0; break;
            case u'O': case u'o': field = 1; break;
            case u'D': case u'd': field = 2; break;
            case u'H': case u'h': field = 3; break;
            case u'M': case u'm': field = 4; break;
            case u'S': case u's': field = 5; break;
            default: return false;  // also every unit below 32
        }
        if (digits == 0 || seen[field]) return false;
        *fields[field] = number;
        seen[field] = true;
        any = true;
        ++i;
    }
    return any;
}

int64_t DurationToSeconds(const TDurationRec& d) noexcept {
    int64_t r = 0;
    if (d.Years > 0) r += int64_t{d.Years} * 31556736;
    if (d.Months > 0) r += int64_t{d.Months} * 2629728;
    if (d.Days > 0) r += int64_t{d.Days} * 86400;
    if (d.Hours > 0) r += int64_t{d.Hours} * 3600;
    if (d.Minutes > 0) r += int64_t{d.Minutes} * 60;
    if (d.Seconds > 0) r += d.Seconds;
    return r;
}

TDurationRec SecondsToDuration(int64_t s) noexcept {
    TDurationRec d;
    d.Days = static_cast<int32_t>(s / 86400);  // wraps beyond Int32 days (about 5.9 million years)
    d.Hours = static_cast<int32_t>((s % 86400) / 3600);
    d.Minutes = static_cast<int32_t>((s % 3600) / 60);
    d.Seconds = static_cast<int32_t>(s % 60);
    return d;
}

UnicodeString FormatDurationU(int64_t s) {
    const long long days = s / 86400;
    const int hours = static_cast<int>((s % 86400) / 3600);
    const int minutes = static_cast<int>((s % 3600) / 60);
    const int seconds = static_cast<int>(s % 60);
    char buf[64];
    int n = 0;
    auto put = [&](const char* fmt, auto v) {
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), fmt, v);
    };
    if (days != 0) put("%lldd", days);
    if (days != 0 || hours != 0) put(days != 0 ? "%2.2dh" : "%dh", hours);
    const bool larger = days != 0 || hours != 0;
    if (larger || minutes != 0) put(larger ? "%2.2dm" : "%dm", minutes);
    put(larger || minutes != 0 ? "%2.2ds" : "%ds", seconds);
    return WidenBufU(buf, n);
}

// ---------------------------------------------------------------------------------------------

AnsiString AsciiUpperCaseA(AnsiView s) {
    AnsiString r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return r;
}

UnicodeString AsciiUpperCaseU(UnicodeView s) {
    UnicodeString r(s);
    for (char16_t& c : r)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    return r;
}

AnsiString NarrowStrA(UnicodeView s) {
    AnsiString r(s.size(), '\0');
    UnicodeBufToAnsiBuf(r.data(), s.data(), static_cast<int32_t>(s.size()));
    return r;
}

char* UnicodeBufToAnsiBuf(char* dest, const char16_t* src, int32_t count) noexcept {
    for (int32_t i = 0; i < count; ++i) dest[i] = static_cast<char>(src[i] & 0xFF);
    return count > 0 ? dest + count : dest;
}

UnicodeString WidenStrU(AnsiView s) {
    UnicodeString r(s.size(), u'\0');
    AnsiBufToUnicodeBuf(r.data(), s.data(), static_cast<int32_t>(s.size()));
    return r;
}

UnicodeString WidenBufU(const char* p, int32_t len) {
    if (p == nullptr || len < 1) return UnicodeString();
    return WidenStrU(AnsiView(p, static_cast<size_t>(len)));
}

char16_t* AnsiBufToUnicodeBuf(char16_t* dest, const char* src, int32_t count) noexcept {
    for (int32_t i = 0; i < count; ++i) dest[i] = Byte(src[i]);
    return count > 0 ? dest + count : dest;
}

const char16_t* ScanWideChar(char16_t c, const char16_t* p, int32_t count) noexcept {
    return ScanWord(c, p, count);
}

int32_t CharPosU(char16_t c, UnicodeView s) noexcept {
    size_t i = s.find(c);
    return i == UnicodeView::npos ? 0 : static_cast<int32_t>(i + 1);
}

namespace {

inline bool IsTrimUnit(char16_t c) noexcept {
    return c <= 32 || c == 0x0085 || c == 0x00A0 || c == 0x3000;
}

}  // namespace

UnicodeString TrimU(UnicodeView s) {
    size_t b = 0, e = s.size();
    while (b < e && IsTrimUnit(s[b])) ++b;
    while (e > b && IsTrimUnit(s[e - 1])) --e;
    return UnicodeString(s.substr(b, e - b));
}

UnicodeString TrimRightU(UnicodeView s) {
    size_t e = s.size();
    while (e > 0 && IsTrimUnit(s[e - 1])) --e;
    return UnicodeString(s.substr(0, e));
}

AnsiString TrimA(AnsiView s) {
    size_t b = 0, e = s.size();
    while (b < e && Byte(s[b]) <= 32) ++b;
    while (e > b && Byte(s[e - 1]) <= 32) --e;
    return AnsiString(s.substr(b, e - b));
}

AnsiString TrimLeftA(AnsiView s) {
    size_t b = 0;
    while (b < s.size() && Byte(s[b]) <= 32) ++b;
    return AnsiString(s.substr(b));
}

bool HasCtrlCharsBuf(const char* p, int32_t len) noexcept {
    for (int32_t i = 0; i < len; ++i)
        if (IsCtrlChar(Byte(p[i]))) return true;
    return false;
}

bool HasCtrlCharsU(UnicodeView s) noexcept {
    for (char16_t c : s)
        if (IsCtrlChar(c)) return true;
    return false;
}

// ---------------------------------------------------------------------------------------------

int32_t DecodeUtf8Sequence(const char* p, int32_t len, char32_t& cp) noexcept {
    if (p == nullptr || len < 1) return 0;
    const unsigned char b = Byte(p[0]);
    int32_t n;
    char32_t v, min;
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2, v = b & 0x1Fu, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3, v = b & 0x0Fu, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4, v = b & 0x07u, min = 0x10000;
    } else {
        return 0;  // continuation byte, C0/C1 (always overlong) or F5..FF
    }
    if (len < n) return 0;
    for (int32_t k = 1; k < n; ++k) {
        const unsigned char c = Byte(p[k]);
        if ((c & 0xC0) != 0x80) return 0;
        v = (v << 6) | (c & 0x3Fu);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    cp = v;
    return n;
}

char16_t* PutUtf16(char16_t* dest, char32_t cp) noexcept {
    if (cp < 0x10000) {
        *dest++ = static_cast<char16_t>(cp);
    } else {
        cp -= 0x10000;
        *dest++ = static_cast<char16_t>(0xD800 + (cp >> 10));
        *dest++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    return dest;
}

bool IsValidUtf8A(AnsiView s) noexcept {
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        char32_t cp;
        const int32_t n = DecodeUtf8Sequence(p, static_cast<int32_t>(std::min<size_t>(left, 4)), cp);
        if (n == 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

int32_t Utf8CharCount(const char* p, int32_t len) noexcept {
    int32_t c = 0;
    for (int32_t i = 0; i < len; ++i) c += (Byte(p[i]) & 0xC0) != 0x80;
    return c;
}

int32_t Utf8CharsByteLen(const char* p, int32_t len, int32_t n) noexcept {
    if (n < 1 || len < 1) return 0;
    int32_t i = 0;
    int32_t chars = 0;
    while (i < len) {
        // A lead byte (or a stray continuation byte at the start) opens character number chars+1.
        if (chars == n) return i;
        ++chars;
        ++i;
        while (i < len && (Byte(p[i]) & 0xC0) == 0x80) ++i;
    }
    return len;
}

int32_t Utf8LengthOfU(UnicodeView s) noexcept {
    int32_t r = 0;
    for (char16_t c : s) r += c < 128 ? 1 : c < 2048 ? 2 : 3;
    return r;
}

UnicodeString DecodeUtf8BufU(const char* p, int32_t len) {
    if (p == nullptr || len < 1) return UnicodeString();
    // A unit per byte at most: a 4-byte sequence gives a surrogate pair.
    UnicodeString r(static_cast<size_t>(len), u'\0');
    char16_t* out = r.data();
    int32_t i = 0;
    while (i < len) {
        char32_t cp;
        const int32_t n = DecodeUtf8Sequence(p + i, len - i, cp);
        if (n == 0) break;
        out = PutUtf16(out, cp);
        i += n;
    }
    r.resize(static_cast<size_t>(out - r.data()));
    return r;
}

UnicodeString DecodeUtf8U(AnsiView s) {
    return DecodeUtf8BufU(s.data(), static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX)));
}

UnicodeString EscapeCtrlCharsBufU(const char* p, int32_t len) {
    if (p == nullptr || len < 1) return UnicodeString();
    const size_t n = static_cast<size_t>(len);
    UnicodeString r(n + 3 * CountEscaped(p, n), u'\0');
    WriteEscaped(r.data(), p, n);
    return r;
}

UnicodeString EscapeCtrlCharsU(AnsiView s) {
    if (s.empty()) return UnicodeString();
    UnicodeString r(s.size() + 3 * CountEscaped(s.data(), s.size()), u'\0');
    WriteEscaped(r.data(), s.data(), s.size());
    return r;
}

// ---------------------------------------------------------------------------------------------

namespace {

inline uint32_t Magnitude(int32_t v) noexcept {
    return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
}

template <typename Char>
Char* IntToFixedDigitsT(Char* buffer, int32_t v, int32_t width) noexcept {
    if (width < 1) return buffer;
    uint32_t m = Magnitude(v);
    for (int32_t i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<Char>('0' + m % 10);
        m /= 10;
    }
    return buffer + width;
}

// Strict decimal parse of [p, end): blanks below 33 skipped at the start, an optional sign, then
// only digits. Exact range check in unsigned before each step; the result is written on success only.
template <typename Int, typename Char>
bool ParseStrict(const Char* p, const Char* end, Int& v) noexcept {
    using U = std::make_unsigned_t<Int>;
    while (p < end && static_cast<std::make_unsigned_t<Char>>(*p) < 33) ++p;
    if (p >= end) return false;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        if (p >= end) return false;
    }
    const U limit = negative ? U(std::numeric_limits<Int>::max()) + 1u : U(std::numeric_limits<Int>::max());
    U m = 0;
    for (; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        U d = static_cast<U>(*p - '0');
        if (m > (limit - d) / 10) return false;
        m = m * 10 + d;
    }
    v = negative ? static_cast<Int>(U(0) - m) : static_cast<Int>(m);
    return true;
}

}  // namespace

char* IntToFixedDigitsA(char* buffer, int32_t v, int32_t width) noexcept {
    return IntToFixedDigitsT(buffer, v, width);
}

char16_t* IntToFixedDigitsU(char16_t* buffer, int32_t v, int32_t width) noexcept {
    return IntToFixedDigitsT(buffer, v, width);
}

char* IntToBufCheckedA(char* buffer, int32_t v, int32_t& len) {
    if (len < 2) RaiseBufferTooSmall();
    if (v == std::numeric_limits<int32_t>::min()) {
        if (len < 12) RaiseBufferTooSmall();
        static constexpr char kMin[] = "-2147483648";
        char* p = buffer + (len - 12);
        std::memcpy(p, kMin, sizeof kMin);  // with its terminating zero at buffer[len-1]
        len = 11;
        return p;
    }
    char digits[12];
    int32_t n = sizeof digits;
    const char* text = IntToBufA(v, digits, n);
    if (n > len - 2) RaiseBufferTooSmall();  // the text may use positions len-2 down to 1 only
    char* p = buffer + (len - 1 - n);
    std::memcpy(p, text, static_cast<size_t>(n) + 1);
    len = n;
    return p;
}

bool TryStrToInt32A(const char* s, int32_t& v) noexcept {
    return s != nullptr && ParseStrict(s, s + std::strlen(s), v);
}

bool TryStrToInt32A(AnsiView s, int32_t& v) noexcept { return ParseStrict(s.data(), s.data() + s.size(), v); }

bool TryStrToInt32U(const char16_t* s, int32_t& v) noexcept {
    return s != nullptr && ParseStrict(s, s + std::char_traits<char16_t>::length(s), v);
}

bool TryStrToInt32U(UnicodeView s, int32_t& v) noexcept { return ParseStrict(s.data(), s.data() + s.size(), v); }

bool TryBufToInt32A(const char* p, int32_t len, int32_t& v) noexcept {
    return p != nullptr && len > 0 && ParseStrict(p, p + len, v);
}

bool TryStrToInt64U(const char16_t* s, int64_t& v) noexcept {
    return s != nullptr && ParseStrict(s, s + std::char_traits<char16_t>::length(s), v);
}

bool TryStrToInt64U(UnicodeView s, int64_t& v) noexcept { return ParseStrict(s.data(), s.data() + s.size(), v); }

bool TryBufToInt64A(const char* p, int32_t len, int64_t& v) noexcept {
    return p != nullptr && len > 0 && ParseStrict(p, p + len, v);
}

bool TryStrToBoolU(UnicodeView s, bool& v) noexcept {
    int64_t number;
    if (TryStrToInt64U(s, number)) {
        v = number != 0;
        return true;
    }
    static constexpr std::u16string_view kTrue[] = {u"TRUE", u"YES", u"ON", u"T", u"Y"};
    static constexpr std::u16string_view kFalse[] = {u"FALSE", u"NO", u"OFF", u"F", u"N"};
    if (s.size() > 5) return false;
    char16_t up[5];
    for (size_t i = 0; i < s.size(); ++i) up[i] = s[i] >= u'a' && s[i] <= u'z' ? char16_t(s[i] - 32) : s[i];
    const UnicodeView u(up, s.size());
    for (auto w : kTrue)
        if (u == w) return v = true, true;
    for (auto w : kFalse)
        if (u == w) return v = false, true;
    return false;
}

// ---------------------------------------------------------------------------------------------

void RaiseLineTooLong() { throw ELineLengthTooLong("Line too long"); }

void RaiseBufferTooSmall() { throw Exception("Buffer too small"); }

}  // namespace zel
