#include "foundation/dmq_syscharset.hpp"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace zel {

namespace {

constexpr const char* kUnicodeName = UnicodeCharsetName;

// UTF-16 units as little-endian bytes, the layout of UnicodeCharsetName.
AnsiString UnitsToLeBytes(UnicodeView s) {
    AnsiString b(s.size() * 2, '\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(b.data(), s.data(), b.size());
    } else {
        for (size_t i = 0; i < s.size(); ++i) {
            b[2 * i] = static_cast<char>(s[i] & 0xFF);
            b[2 * i + 1] = static_cast<char>(s[i] >> 8);
        }
    }
    return b;
}

UnicodeString LeBytesToUnits(const char* p, size_t bytes) {
    UnicodeString u(bytes / 2, u'\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(u.data(), p, u.size() * 2);
    } else {
        for (size_t i = 0; i < u.size(); ++i)
            u[i] = static_cast<char16_t>(static_cast<uint8_t>(p[2 * i]) |
                                         (static_cast<uint8_t>(p[2 * i + 1]) << 8));
    }
    return u;
}

inline iconv_t H(TIconvHandle h) noexcept { return reinterpret_cast<iconv_t>(h); }

// A blank name would open the locale's codeset; a NUL would cut the name short.
bool IsBadName(AnsiView name) noexcept {
    if (name.find('\0') != AnsiView::npos) return true;
    for (char c : name)
        if (static_cast<unsigned char>(c) > 32) return false;
    return true;
}

// A high surrogate followed by a low one at the little-endian bytes p[0, 4).
bool IsSurrogatePairLe(const char* p, size_t n) noexcept {
    if (n < 4) return false;
    const unsigned hi = static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8);
    const unsigned lo = static_cast<uint8_t>(p[2]) | (static_cast<uint8_t>(p[3]) << 8);
    return hi >= 0xD800 && hi <= 0xDBFF && lo >= 0xDC00 && lo <= 0xDFFF;
}

// Runs one iconv pass over [in, in + inLen) into out starting at used; grows out on E2BIG by
// grow(remaining input). onIllegal decides what an EILSEQ or EINVAL does (false: fail with it).
template <class Grow, class OnIllegal>
int RunIconv(iconv_t h, char* in, size_t inLen, AnsiString& out, size_t& used, Grow grow,
             OnIllegal onIllegal) {
    // A descriptor left in a shift state by an earlier failure must not taint this text.
    CallIconv(iconv, h, nullptr, nullptr, nullptr, nullptr);
    char* ip = in;
    size_t il = inLen;
    while (il > 0) {
        char* op = out.data() + used;
        size_t ol = out.size() - used;
        size_t r = CallIconv(iconv, h, &ip, &il, &op, &ol);
        used = static_cast<size_t>(op - out.data());
        if (r != static_cast<size_t>(-1)) break;
        int e = errno;
        if (e == E2BIG) {
            out.resize(out.size() + grow(il));
        } else if ((e == EILSEQ || e == EINVAL) && onIllegal(e, ip, il, out, used)) {
            continue;
        } else {
            return e == 0 ? EILSEQ : e;
        }
    }
    // Flush the shift state; one growth is enough for any sequence that resets it.
    for (int pass = 0; pass < 2; ++pass) {
        char* op = out.data() + used;
        size_t ol = out.size() - used;
        size_t r = CallIconv(iconv, h, nullptr, nullptr, &op, &ol);
        used = static_cast<size_t>(op - out.data());
        if (r != static_cast<size_t>(-1)) return 0;
        int e = errno;
        if (e != E2BIG || pass == 1) return e == 0 ? E2BIG : e;
        out.resize(out.size() + grow(inLen));
    }
    return 0;
}

}  // namespace

// Before every dynamically initialised global of other units, which may already convert text.
__attribute__((init_priority(200))) AnsiString SystemCharset = DetectSystemCharsetA();
__attribute__((init_priority(200))) AnsiString DefaultCharset = SystemCharset;

TSysCharsetToUnicodeProc SysCharsetToUnicodeProc = &SystemCharsetToUnicodeU;
TUnicodeToSysCharsetProc UnicodeToSysCharsetProc = &UnicodeToSystemCharsetA;

// ---------------------------------------------------------------------------------------------
// Environment.

int32_t GetEnvCount() {
    int32_t n = 0;
    if (environ)
        while (environ[n]) ++n;
    return n;
}

AnsiString GetEnvStrA(int32_t Index) {
    if (Index < 1 || Index > GetEnvCount()) return AnsiString();
    return AnsiString(environ[Index - 1]);
}

AnsiString GetEnvVarA(AnsiView Name) {
    AnsiString want = AsciiUpperCaseA(Name);
    int32_t n = GetEnvCount();
    for (int32_t i = 0; i < n; ++i) {
        AnsiView entry(environ[i]);
        size_t eq = entry.find('=');
        if (eq == AnsiView::npos) continue;
        if (AsciiUpperCaseA(entry.substr(0, eq)) == want) return AnsiString(entry.substr(eq + 1));
    }
    return AnsiString();
}

AnsiString DetectSystemCharsetA() {
    // LANGUAGE is a list of languages, not a locale: its values ("de") are no charset names.
    AnsiString locale;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        locale = GetEnvVarA(name);
        if (!locale.empty()) break;
    }
    if (locale.empty()) {
        AnsiString mm = GetEnvVarA("MM_CHARSET");
        return mm.empty() ? AnsiString("UTF-8") : mm;
    }
    size_t dot = locale.find('.');
    if (dot == AnsiString::npos) return "UTF-8";  // also "C" and "POSIX"
    AnsiString cs = locale.substr(dot + 1);
    size_t at = cs.find('@');
    if (at != AnsiString::npos) cs.resize(at);
    return cs.empty() ? AnsiString("UTF-8") : cs;
}

// ---------------------------------------------------------------------------------------------
// Default conversion.

AnsiString DefaultUnicodeToAnsiA(UnicodeView s) {
    AnsiString out;
    out.reserve(s.size() * 3);
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            } else {
                out.push_back('?');
                continue;
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

namespace {

// UTF-8 to UTF-16; a byte that starts no valid sequence becomes the unit Bad(byte).
template <class BadByte>
UnicodeString DecodeUtf8Each(AnsiView s, BadByte Bad) {
    UnicodeString out(s.size(), u'\0');
    char16_t* d = out.data();
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0) {
        char32_t cp;
        const int32_t n = DecodeUtf8Sequence(p, static_cast<int32_t>(std::min<size_t>(left, 4)), cp);
        if (n == 0) {
            *d++ = Bad(static_cast<uint8_t>(*p));
            ++p, --left;
            continue;
        }
        d = PutUtf16(d, cp);
        p += n;
        left -= static_cast<size_t>(n);
    }
    out.resize(static_cast<size_t>(d - out.data()));
    return out;
}

}  // namespace

// Not UTF-8: the byte as it is.
UnicodeString DefaultAnsiToUnicodeU(AnsiView s) {
    return DecodeUtf8Each(s, [](uint8_t b) { return static_cast<char16_t>(b); });
}

UnicodeString Utf8ToUnicodeReplacing(AnsiView S) {
    return DecodeUtf8Each(S, [](uint8_t) { return u'?'; });
}

bool IsUtf8CharsetName(AnsiView Charset) noexcept {
    auto eq = [n = Charset](AnsiView want) {
        if (n.size() != want.size()) return false;
        for (size_t i = 0; i < n.size(); ++i) {
            char c = n[i];
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
            if (c != want[i]) return false;
        }
        return true;
    };
    return eq("UTF-8") || eq("UTF8");
}

int Utf8ToUnicodeStrict(const char* P, int32_t Len, UnicodeString& Dest) {
    if (P == nullptr || Len < 1) {
        Dest.clear();
        return 0;
    }
    UnicodeString out(static_cast<size_t>(Len), u'\0');
    char16_t* d = out.data();
    for (int32_t i = 0; i < Len;) {
        char32_t cp;
        const int32_t n = DecodeUtf8Sequence(P + i, Len - i, cp);
        if (n == 0) return EILSEQ;
        d = PutUtf16(d, cp);
        i += n;
    }
    out.resize(static_cast<size_t>(d - out.data()));
    Dest = std::move(out);
    return 0;
}

TIconvHandle OpenIconv(AnsiView ToCharset, AnsiView FromCharset) {
    if (IsBadName(ToCharset) || IsBadName(FromCharset)) {
        errno = EINVAL;
        return InvalidIconv();
    }
    const iconv_t h = iconv_open(AnsiString(ToCharset).c_str(), AnsiString(FromCharset).c_str());
    return h == reinterpret_cast<iconv_t>(-1) ? InvalidIconv() : reinterpret_cast<TIconvHandle>(h);
}

void CloseIconv(TIconvHandle Handle) noexcept {
    if (Handle != InvalidIconv()) iconv_close(H(Handle));
}

// ---------------------------------------------------------------------------------------------
// Conversion primitives.

int IconvFromUnicode(TIconvHandle Handle, UnicodeView S, AnsiString& Dest) {
    if (S.empty()) {
        Dest.clear();
        return 0;
    }
    if (Handle == InvalidIconv()) {
        Dest = DefaultUnicodeToAnsiA(S);
        return 0;
    }
    AnsiString in = UnitsToLeBytes(S);
    AnsiString out(6 * in.size() + 6, '\0');
    size_t used = 0;
    auto grow = [](size_t remaining) { return 6 * remaining + 6; };
    // A character the target set cannot hold (or a surrogate without its partner, which iconv
    // calls incomplete at the end): one "?" in its place, also for a surrogate pair, then go on
    // behind it.
    auto illegal = [](int, char*& ip, size_t& il, AnsiString& o, size_t& u) {
        if (u >= o.size()) o.resize(o.size() + 6 * il + 6);
        o[u++] = '?';
        size_t skip = IsSurrogatePairLe(ip, il) ? 4 : il < 2 ? il : 2;
        ip += skip;
        il -= skip;
        return true;
    };
    if (RunIconv(H(Handle), in.data(), in.size(), out, used, grow, illegal) != 0) return -1;
    out.resize(used);
    Dest = std::move(out);
    return 0;
}

namespace {

// Replace: a byte that does not convert becomes "?" (else the conversion fails with it).
int IconvBufToUnicodeWith(TIconvHandle Handle, const char* P, int32_t Len, UnicodeString& Dest, bool Replace) {
    if (P == nullptr || Len < 1) {
        Dest.clear();
        return 0;
    }
    const AnsiView s(P, static_cast<size_t>(Len));
    if (Handle == InvalidIconv()) {
        Dest = Replace ? Utf8ToUnicodeReplacing(s) : DefaultAnsiToUnicodeU(s);
        return 0;
    }
    AnsiString in(s);
    // Counted in UTF-16 units: 3 x input bytes + 5.
    AnsiString out(2 * (3 * in.size() + 5), '\0');
    size_t used = 0;
    auto grow = [](size_t remaining) { return 2 * (3 * remaining + 5); };
    auto illegal = [Replace](int, char*& ip, size_t& il, AnsiString& o, size_t& u) {
        if (!Replace) return false;
        if (u + 2 > o.size()) o.resize(o.size() + 2 * (3 * il + 5));
        o[u++] = '?';
        o[u++] = '\0';
        ++ip;
        --il;
        return true;
    };
    int rc = RunIconv(H(Handle), in.data(), in.size(), out, used, grow, illegal);
    if (rc != 0) return rc;
    Dest = LeBytesToUnits(out.data(), used);
    return 0;
}

}  // namespace

int IconvBufToUnicode(TIconvHandle Handle, const char* P, int32_t Len, UnicodeString& Dest) {
    return IconvBufToUnicodeWith(Handle, P, Len, Dest, false);
}

int IconvBufToUnicodeReplacing(TIconvHandle Handle, const char* P, int32_t Len, UnicodeString& Dest) {
    return IconvBufToUnicodeWith(Handle, P, Len, Dest, true);
}

int IconvToUnicode(TIconvHandle Handle, AnsiView S, UnicodeString& Dest) {
    return IconvBufToUnicode(Handle, S.data(), static_cast<int32_t>(S.size()), Dest);
}

int UnicodeToCharsetA(UnicodeView S, AnsiString& Dest, AnsiView Charset) {
    if (IsUtf8CharsetName(Charset)) {
        Dest = DefaultUnicodeToAnsiA(S);
        return 0;
    }
    const TIconvHandle h = OpenIconv(Charset, kUnicodeName);
    if (h == InvalidIconv()) {
        int e = errno;
        Dest = DefaultUnicodeToAnsiA(S);
        return e;
    }
    int rc = IconvFromUnicode(h, S, Dest);
    CloseIconv(h);
    return rc;
}

int CharsetBufToUnicode(const char* P, int32_t Len, UnicodeString& Dest, AnsiView Charset) {
    if (IsUtf8CharsetName(Charset)) return Utf8ToUnicodeStrict(P, Len, Dest);
    const TIconvHandle h = OpenIconv(kUnicodeName, Charset);
    if (h == InvalidIconv()) {
        int e = errno;
        Dest = (P == nullptr || Len < 1) ? UnicodeString()
                                         : DefaultAnsiToUnicodeU(AnsiView(P, static_cast<size_t>(Len)));
        return e;
    }
    int rc = IconvBufToUnicode(h, P, Len, Dest);
    CloseIconv(h);
    return rc;
}

int CharsetToUnicodeA(AnsiView S, UnicodeString& Dest, AnsiView Charset) {
    return CharsetBufToUnicode(S.data(), static_cast<int32_t>(S.size()), Dest, Charset);
}

// ---------------------------------------------------------------------------------------------
// System charset routines.

AnsiString UnicodeToSystemCharsetA(UnicodeView S) {
    AnsiString d;
    if (UnicodeToCharsetA(S, d, SystemCharset) != 0) return DefaultUnicodeToAnsiA(S);
    return d;
}

UnicodeString SystemCharsetToUnicodeU(AnsiView S) {
    UnicodeString d;
    if (CharsetToUnicodeA(S, d, SystemCharset) != 0) return DefaultAnsiToUnicodeU(S);
    return d;
}

AnsiString UnicodeToDefaultCharsetA(UnicodeView S) {
    AnsiString d;
    if (UnicodeToCharsetA(S, d, DefaultCharset) != 0) return DefaultUnicodeToAnsiA(S);
    return d;
}

AnsiString UnicodeToUtf8A(UnicodeView S) {
    AnsiString d;
    if (UnicodeToCharsetA(S, d, "UTF-8") != 0) return DefaultUnicodeToAnsiA(S);
    return d;
}

UnicodeString Utf8BufToUnicodeU(const char* P, int32_t Len) {
    UnicodeString d;
    if (CharsetBufToUnicode(P, Len, d, "UTF-8") != 0) return WidenBufU(P, Len);
    return d;
}

}  // namespace zel
