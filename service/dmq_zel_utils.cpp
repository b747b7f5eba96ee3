#include "service/dmq_zel_utils.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <limits>
#include <string>
#include <vector>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_crc.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_hex.hpp"
#include "foundation/dmq_inifile_utf8.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_snps_code.hpp"

namespace zel {

namespace {

// Two hex digits at p (the caller guarantees both are readable).
int HexByte(const char* p) noexcept {
    const int hi = HexValue(p[0]);
    if (hi < 0) return -1;
    const int lo = HexValue(p[1]);
    if (lo < 0) return -1;
    return hi * 16 + lo;
}

// Reads a length or number in item form from up to Avail bytes at P. Returns the digits used
// (0 on failure). Only 1 to 4 length bytes are accepted, and the value must fit Int32: these
// bytes come from clients and the command port.
int32_t ReadTlvForm(const char* P, size_t Avail, int32_t& Value) noexcept {
    if (Avail < 2) return 0;
    const int first = HexByte(P);
    if (first < 0) return 0;
    if (first <= 128) {  // a first byte of exactly 128 is the length 128 itself
        Value = first;
        return 2;
    }
    const int n = first - 128;
    if (n > 4) return 0;
    if (Avail < 2 + 2 * static_cast<size_t>(n)) return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        const int b = HexByte(P + 2 + 2 * i);
        if (b < 0) return 0;
        v = (v << 8) | static_cast<uint64_t>(b);
    }
    if (v > static_cast<uint64_t>(INT32_MAX)) return 0;
    Value = static_cast<int32_t>(v);
    return 2 + 2 * n;
}

// Zero-terminated variant: the terminator is no hex digit, so the scan stops at it.
int32_t ReadTlvFormZ(const char* P, int32_t& Value) noexcept {
    size_t avail = 0;
    while (avail < 10 && P[avail] != '\0') ++avail;
    return ReadTlvForm(P, avail, Value);
}

bool IsBlankOrTab(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Source ids

namespace {

void AppendCheckChars(AnsiString& s, const char* Body) {
    const uint16_t c = Crc16(0xADB9, Body, ZELSourceIdBodyLen);
    s += ZELIdAlphabet[(c >> 8) & 63];
    s += ZELIdAlphabet[c & 63];
}

}  // namespace

AnsiString AddIdCheckChars(AnsiView Id) {
    if (Id.size() < static_cast<size_t>(ZELSourceIdBodyLen)) throw Exception("Invalid source id length");
    AnsiString s(Id.substr(0, ZELSourceIdBodyLen));
    AppendCheckChars(s, Id.data());
    return s;
}

bool IsValidSourceId(const char* P, int32_t Len) noexcept {
    if (P == nullptr || Len != ZELSourceIdLen) return false;
    const uint16_t c = Crc16(0xADB9, P, ZELSourceIdBodyLen);
    return P[22] == ZELIdAlphabet[(c >> 8) & 63] && P[23] == ZELIdAlphabet[c & 63];
}

bool IsValidSourceId(AnsiView Id) noexcept {
    return IsValidSourceId(Id.data(), static_cast<int32_t>(Id.size()));
}

bool NormalizeSourceId(AnsiString& Id, bool& Changed) {
    if (Id.size() == static_cast<size_t>(ZELSourceIdBodyLen) ||
        (Id.size() == static_cast<size_t>(ZELSourceIdLen) && Id.compare(22, 2, "==") == 0)) {
        Id = AddIdCheckChars(Id);
        Changed = true;
        return true;
    }
    if (IsValidSourceId(Id)) {
        Changed = false;
        return true;
    }
    return false;
}

AnsiString CalcSourceId(AnsiView Text, AnsiString& Digest) {
    TMD5Ctx ctx;
    TMD5Digest d;
    MD5Init(ctx);
    MD5Update(ctx, Text);
    MD5Final(ctx, d);
    Digest = MD5DigestToStr(d);
    // 16 bytes give 22 letters and the fill "==", whose place takes the check characters.
    return AddIdCheckChars(EncodeTriplet(Digest, ZELIdAlphabet));
}

AnsiString CalcSourceId(AnsiView Text) {
    AnsiString digest;
    return CalcSourceId(Text, digest);
}

// ---------------------------------------------------------------------------------------------
// Extension flags

UnicodeString ExtensionFlagsToText(uint32_t Flags) {
    UnicodeString s;
    auto add = [&s](std::u16string_view name) {
        if (!s.empty()) s += u", ";
        s += name;
    };
    if ((Flags & 3) != 0) add(ZELProtoListFormatTexts[Flags & 3]);
    if (Flags & 0x8) add(u"UTF8");
    if (Flags & 0x4) add(u"SoundAck");
    if (Flags & 0x10) add(u"ShortFrames");
    if (Flags & 0x40) add(u"CompressList");
    if (Flags & 0x80) add(u"SpeakerInfo");
    if (Flags & 0x100) add(u"TempMuteBlock");
    if (Flags & 0x200) add(u"NetChangeInfo");
    if (Flags & 0x400) add(u"MoveClient");
    if (Flags & 0x800) add(u"CacheList");
    if (Flags & 0x1000) add(u"Extender1");
    return s;
}

UnicodeString ExtensionFlagsToLetters(uint32_t Flags) {
    UnicodeString s(10, u'.');
    static constexpr char16_t kFormat[4] = {u'.', u'N', u'C', u'D'};
    s[0] = kFormat[Flags & 3];
    static constexpr struct {
        uint32_t Bit;
        char16_t Letter;
    } kCols[9] = {{0x8, u'U'},   {0x4, u'A'},   {0x10, u'S'},  {0x40, u'Z'}, {0x80, u'I'},
                  {0x100, u'T'}, {0x200, u'G'}, {0x400, u'V'}, {0x800, u'H'}};
    for (size_t i = 0; i < 9; ++i) {
        if (Flags & kCols[i].Bit) s[i + 1] = kCols[i].Letter;
    }
    return s;
}

uint32_t AdjustExtensionFlags(uint32_t Flags) {
    uint32_t r;
    if ((Flags & 3) == 0) {
        r = Flags & 0x114;
    } else if ((Flags & 11) == 2) {
        r = (Flags & 0x114) | 2;
    } else if ((Flags & 11) == 1) {
        r = (Flags & 0x114) | 1;
    } else {
        r = Flags;
    }
    // The difference list needs UTF-8 and excludes the speaker texts and the cache.
    if ((r & 3) == 3) r = (r & ~uint32_t{0x880}) | 0x8;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Tagged fields

AnsiString MakeTagField(AnsiView Tag, AnsiView Value) {
    if (Tag.empty()) return AnsiString();
    AnsiString s;
    s.reserve(2 * Tag.size() + Value.size() + 5);
    s += '<';
    s += Tag;
    s += '>';
    s += Value;
    s += "</";
    s += Tag;
    s += '>';
    return s;
}

AnsiString MakeTagFieldChar(AnsiView Tag, char C) { return MakeTagField(Tag, AnsiView(&C, 1)); }

int32_t ParseTaggedFields(TTaggedFieldParser& Parser, const char* Line, int32_t Length) {
    Parser.Line = Line;
    Parser.LineLen = Length;
    Parser.Count = 0;
    if (Line == nullptr || Length < 1) return 0;
    const char* p = Line;
    const char* const end = Line + Length;
    int32_t count = 0;
    for (;;) {
        while (p < end && IsBlankOrTab(*p)) ++p;
        if (p < end && static_cast<unsigned char>(*p) < 32) return -2;
        if (p == end) break;
        if (end - p < 7 || p[0] != '<' || p[1] == '/') return -1;
        // Tag up to ">".
        const char* tag = p + 1;
        const char* q = tag;
        for (;;) {
            if (q == end) return -1;
            const unsigned char c = static_cast<unsigned char>(*q);
            if (c == '>') break;
            if (c == '\t' || c == ' ') return -1;
            if (c < 32) return -2;
            ++q;
        }
        const int32_t tagLen = static_cast<int32_t>(q - tag);
        if (tagLen == 0 || q + 1 == end) return -1;
        // Value up to "</" tag ">"; a "<" that does not start it belongs to the value.
        const char* value = q + 1;
        const char* v = value;
        for (;;) {
            if (v == end) return -1;  // no closing tag before the end of the line
            const unsigned char c = static_cast<unsigned char>(*v);
            if (IsCtrlChar(c)) return -2;
            if (c == '<') {
                if (end - v < tagLen + 3) return -1;
                if (v[1] == '/' && std::equal(tag, tag + tagLen, v + 2) && v[2 + tagLen] == '>') break;
            }
            ++v;
        }
        if (count < Parser.Capacity && Parser.Fields != nullptr) {
            TTaggedField& f = Parser.Fields[count];
            f.Tag = tag;
            f.TagLen = tagLen;
            f.Value = value;
            f.ValueLen = static_cast<int32_t>(v - value);
            ++count;
        }
        p = v + tagLen + 3;
    }
    Parser.Count = count;
    return count;
}

const TTaggedField* FindTaggedField(const TTaggedFieldParser& Parser, AnsiView Tag) noexcept {
    for (int32_t i = 0; i < Parser.Count && i < Parser.Capacity; ++i) {
        const TTaggedField& f = Parser.Fields[i];
        if (f.TagView() == Tag) return &f;
    }
    return nullptr;
}

namespace {

template <class Char>
bool IsSafeElementChar(Char C) noexcept {
    return C != '<' && C != '>' && static_cast<uint32_t>(C) >= 32;
}

}  // namespace

bool IsSafeElementTextA(AnsiView Text) noexcept {
    return std::all_of(Text.begin(), Text.end(), [](char c) { return IsSafeElementChar(static_cast<unsigned char>(c)); });
}

bool IsSafeElementTextU(UnicodeView Text) noexcept {
    return std::all_of(Text.begin(), Text.end(), [](char16_t c) { return IsSafeElementChar(c); });
}

int32_t TrimPCharLen(const char*& P, int32_t& Len) noexcept {
    while (Len > 0 && static_cast<unsigned char>(*P) < 33) {
        ++P;
        --Len;
    }
    return TrimRightPCharLen(P, Len);
}

int32_t TrimRightPCharLen(const char*& P, int32_t& Len) noexcept {
    while (Len > 0 && static_cast<unsigned char>(P[Len - 1]) < 33) --Len;
    if (Len < 0) Len = 0;
    return Len;
}

// ---------------------------------------------------------------------------------------------
// Items

AnsiString MakeTlvValue(AnsiView Value) {
    AnsiString s = EncodeTlvLength(static_cast<int32_t>(Value.size()));
    s += Value;
    return s;
}

AnsiString MakeTlvItem(char Tag, AnsiView Value) {
    if (Value.empty()) return AnsiString();
    AnsiString s(1, Tag);
    s += MakeTlvValue(Value);
    return s;
}

AnsiString EncodeTlvLength(int32_t N) {
    TStringBldA b;
    StrBldAAddHexLen(b, N);
    return StrBldAToStr(b);
}

AnsiString EncodeTlvLengthNonNeg(int32_t N) { return EncodeTlvLength(N < 0 ? 0 : N); }

bool ReadTlvLength(const char*& P, int32_t& Len) noexcept {
    if (P == nullptr) return false;
    int32_t v = 0;
    const int32_t used = ReadTlvFormZ(P, v);
    if (used == 0) return false;
    P += used;
    Len = v;
    return true;
}

bool ReadTlvLengthBounded(AnsiView& Rest, int32_t& Len) noexcept {
    int32_t v = 0;
    const int32_t used = ReadTlvForm(Rest.data(), Rest.size(), v);
    if (used == 0) return false;
    if (static_cast<size_t>(v) > Rest.size() - static_cast<size_t>(used)) return false;
    Rest.remove_prefix(static_cast<size_t>(used));
    Len = v;
    return true;
}

bool ReadTlvNumber(AnsiView& Rest, int32_t& Value) noexcept {
    int32_t v = 0;
    const int32_t used = ReadTlvForm(Rest.data(), Rest.size(), v);
    if (used == 0) return false;
    Rest.remove_prefix(static_cast<size_t>(used));
    Value = v;
    return true;
}

bool ReadTlvByte(AnsiView& Rest, uint8_t& Value) noexcept {
    if (Rest.size() < 2) return false;
    const int b = HexByte(Rest.data());
    if (b < 0) return false;
    Rest.remove_prefix(2);
    Value = static_cast<uint8_t>(b);
    return true;
}

char* WordToHex4(uint16_t Value, char* Buffer) noexcept {
    Buffer[0] = HexDigitsUpper[(Value >> 12) & 15];
    Buffer[1] = HexDigitsUpper[(Value >> 8) & 15];
    Buffer[2] = HexDigitsUpper[(Value >> 4) & 15];
    Buffer[3] = HexDigitsUpper[Value & 15];
    return Buffer + 4;
}

// ---------------------------------------------------------------------------------------------
// Option parsers

bool ParsePortU(UnicodeView Text, uint16_t& Port) {
    int32_t n = 0;
    if (!TryStrToInt32U(UnicodeView(TrimU(Text)), n) || n < 1 || n > 65535) return false;
    Port = static_cast<uint16_t>(n);
    return true;
}

bool ParsePortA(AnsiView Text, uint16_t& Port) {
    int32_t n = 0;
    if (!TryStrToInt32A(AnsiView(TrimA(Text)), n) || n < 1 || n > 65535) return false;
    Port = static_cast<uint16_t>(n);
    return true;
}

uint16_t IniReadPort(TIniFileUTF8& Ini, UnicodeView Section, UnicodeView Key, uint16_t Default) {
    const std::string d = std::to_string(Default);
    const UnicodeString text = Ini.ReadString(Section, Key, UnicodeString(d.begin(), d.end()));
    uint16_t port = Default;
    return ParsePortU(text, port) ? port : Default;
}

bool ParseIPVersion(UnicodeView Text, uint8_t& Version) {
    const UnicodeString t = TrimU(Text);
    if (t == u"46" || t == u"64") {
        Version = 0;
    } else if (t == u"4") {
        Version = 1;
    } else if (t == u"6") {
        Version = 2;
    } else {
        return false;
    }
    return true;
}

bool ParseProxyType(UnicodeView Text, TZELProxyType& Type) {
    const UnicodeString u = AsciiUpperCaseU(Text);
    for (const auto& row : ZELProxyTypeNames) {
        if (row.Text == u) {
            Type = row.Value;
            return true;
        }
    }
    return false;
}

bool ParseReopenLogSignal(UnicodeView Text, TZELReopenLogSignal& Signal) {
    const UnicodeString u = AsciiUpperCaseU(TrimU(Text));
    int32_t n = 0;
    if (TryStrToInt32U(UnicodeView(u), n)) {
        if (n < 0 || n > 2) return false;
        Signal = static_cast<TZELReopenLogSignal>(n);
        return true;
    }
    if (u == u"SIGHUP" || u == u"HUP" || u == u"H") {
        Signal = TZELReopenLogSignal::rls_SIGHUP;
    } else if (u == u"SIGUSR1" || u == u"USR1" || u == u"U1") {
        Signal = TZELReopenLogSignal::rls_SIGUSR1;
    } else if (u == u"SIGUSR2" || u == u"USR2" || u == u"U2") {
        Signal = TZELReopenLogSignal::rls_SIGUSR2;
    } else {
        return false;
    }
    return true;
}

TZELReopenLogSignal StrToReopenLogSignalDef(UnicodeView Text) {
    TZELReopenLogSignal s = TZELReopenLogSignal::rls_SIGHUP;
    ParseReopenLogSignal(Text, s);
    return s;
}

char16_t DecodeEscapes(UnicodeView Text, char16_t Default) {
    if (Text.empty()) return Default;
    // NUL would end every C text the delimiter is put in: it gives the default too.
    if (Text[0] != u'\\') return Text[0] != 0 ? Text[0] : Default;
    uint32_t v = 0;
    const auto upper = [](char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; };
    if (Text.size() >= 3 && upper(Text[1]) == u'U' && upper(Text[2]) == u'X') {
        if (!TryHexToUInt32U(Text.substr(3), v)) return Default;
    } else if (Text.size() >= 2 && upper(Text[1]) == u'X') {
        if (!TryHexToUInt32U(Text.substr(2), v)) return Default;
    } else {
        int32_t n = 0;
        if (!TryStrToInt32U(Text.substr(1), n) || n < 0) return Default;
        v = static_cast<uint32_t>(n);
    }
    if (v == 0 || v >= 0x10000) return Default;
    return static_cast<char16_t>(v);
}

// ---------------------------------------------------------------------------------------------
// Names and paths

UnicodeString ResolvePath(UnicodeView Name, UnicodeView BaseDir) {
    switch (PathKindU(Name)) {
        case 0: {
            UnicodeString s(BaseDir);
            s += u'/';
            s += Name;
            return ExpandToFullPathU(s);
        }
        case 1:
            return ExpandToFullPathU(Name);
        case 2:
            return UnicodeString(Name);
        default:
            throw Exception("Unknown relative path");
    }
}

UnicodeString MakeLogFileName(UnicodeView Configured, UnicodeView Default, UnicodeView BaseDir) {
    UnicodeString name = TrimU(Configured);
    if (name.empty()) name = UnicodeString(Default);
    return ResolvePath(name, BaseDir);
}

UnicodeString MakePidFileName(UnicodeView Configured, UnicodeView Default, UnicodeView RunDir,
                              UnicodeView BaseDir) {
    UnicodeString name = TrimU(Configured);
    if (name.empty()) name = UnicodeString(Default);
    if (name.find(u'/') == UnicodeString::npos) return ResolvePath(name, RunDir);
    return ResolvePath(name, BaseDir);
}

TZELClientType ClientTypeFromBand(AnsiView Band) noexcept {
    if (Band == "Crosslink") return TZELClientType::clt_CROSSLINK;
    if (Band == "PC Only") return TZELClientType::clt_PC;
    return TZELClientType::clt_GATEWAY;
}

namespace {

// The unit offset where each character of Text ends (a surrogate pair is one character, a lone
// surrogate one of its own), for at most Max characters.
std::vector<size_t> CharEnds(UnicodeView Text, size_t Max) {
    std::vector<size_t> ends;
    for (size_t i = 0; i < Text.size() && ends.size() < Max;) {
        const bool pair = Text[i] >= 0xD800 && Text[i] <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
                          Text[i + 1] <= 0xDFFF;
        i += pair ? 2 : 1;
        ends.push_back(i);
    }
    return ends;
}

}  // namespace

AnsiString EncodeCutToBytes(TAnsiUnicodeConverter& Converter, int32_t MaxBytes, UnicodeView Text) {
    if (MaxBytes < 1) return AnsiString();
    const size_t max = static_cast<size_t>(MaxBytes);
    // Every character gives at least one byte (a pair that the set cannot hold one "?"), so more
    // characters than bytes never fit: cut them first. Counting units here would drop a character
    // for each pair.
    const std::vector<size_t> ends = CharEnds(Text, max);
    const UnicodeView t = Text.substr(0, ends.empty() ? 0 : ends.back());
    AnsiString s = Converter.FromUnicode(t);
    if (s.size() <= max) return s;
    const AnsiString& set = Converter.CharsetNameA();
    if (Converter.IsOpen() && (set == "UTF-8" || set == "UTF8")) {
        // Each character converts on its own (one that cannot becomes "?"): the longest fitting
        // prefix ends where a character begins at or before the cut.
        size_t cut = max;
        while (cut > 0 && (static_cast<uint8_t>(s[cut]) & 0xC0) == 0x80) --cut;
        s.resize(cut);
        return s;
    }
    // Other sets: the most whole characters that fit, found by halving the character count.
    // fitting holds the conversion of lo characters, which fit; hi characters do not.
    size_t lo = 0, hi = ends.size();
    AnsiString fitting;
    while (hi - lo > 1) {
        const size_t mid = lo + (hi - lo) / 2;
        AnsiString c = Converter.FromUnicode(t.substr(0, ends[mid - 1]));
        if (c.size() <= max) {
            lo = mid;
            fitting = std::move(c);
        } else {
            hi = mid;
        }
    }
    return fitting;
}

bool ClampToMaxInt32(int64_t& Value) noexcept {
    if (Value > INT32_MAX) Value = INT32_MAX;
    return Value >= 0;
}

UnicodeString EscapeLogTextU(UnicodeView Text) {
    UnicodeString s;
    s.reserve(Text.size());
    for (char16_t c : Text) {
        if (c >= 32 && c != u'\\' && (c < 0x7F || c > 0x9F)) {
            s += c;
            continue;
        }
        s += u"\\x";
        s += static_cast<char16_t>(HexDigitsUpper[(c >> 4) & 15]);
        s += static_cast<char16_t>(HexDigitsUpper[c & 15]);
    }
    return s;
}

UnicodeString CleanLogText(UnicodeView Text) {
    UnicodeString s;
    s.reserve(std::min<size_t>(Text.size(), 500));
    for (char16_t c : Text) {
        if (s.size() >= 500) break;
        if (IsCtrlChar(c)) continue;
        s += c;
    }
    return s;
}

void ClearClientRec(TZELClientRec& Rec) {
    Rec.Id.clear();
    Rec.Callsign.clear();
    Rec.Country.clear();
    Rec.City.clear();
    Rec.Band.clear();
    Rec.Description.clear();
    Rec.VisibleStatus = 0;
    Rec.Muted = 0;
    Rec.ListenOnly = 0;
    Rec.ClientType = 2;
    Rec.Utf8 = 0;
}

// ---------------------------------------------------------------------------------------------
// Files

bool MakeWriteTest(AnsiView Name) {
    // A fresh name of its own, created exclusively (which never follows a link): a link planted
    // under a name of the directory leads nowhere.
    AnsiString tmp = AnsiString(Name) + ".$tmp$XXXXXX";
    int fd;
    do fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) RaiseCreateFileError(errno, AnsiString(Name) + ".$tmp$");
    int rc = 0;
    for (;;) {
        const ssize_t n = ::write(fd, "1", 1);
        if (n == 1) break;
        if (n < 0 && errno == EINTR) continue;
        rc = n < 0 ? errno : EIO;
        break;
    }
    if (::close(fd) != 0 && rc == 0 && errno != EINTR) rc = errno;
    const bool erased = ::unlink(tmp.c_str()) == 0;
    if (rc != 0) RaiseWriteFileError(rc, tmp);
    return erased;
}

int WritePidFile(AnsiView Name, pid_t Pid) {
    int rc = TryEraseFileName(Name);
    if (rc != 0 && rc != ENOENT) return rc;
    TBinaryFile f;
    rc = TryRewriteFileName(f, Name);
    if (rc != 0) return rc;
    const AnsiString text = std::to_string(static_cast<long long>(Pid)) + "\n";
    rc = TryBlockWrite(f, text.data(), text.size());
    const int rcClose = TryCloseFile(f);
    return rc != 0 ? rc : rcClose;
}

bool ReadPidFile(AnsiView Name, pid_t& Pid) {
    TBinaryFile f;
    f.Name = AnsiString(Name);
    int rc = TryOpenReadFile(Name, f.Handle);
    // The caller names the file; the error is the system's text alone (or the refusal's own).
    if (rc != 0) throw EFileExceptionOpenError(FileOpenErrorText(rc));
    char buf[128];
    size_t got = 0;
    rc = TryBlockRead(f, buf, sizeof buf, got);
    TryCloseFile(f);
    if (rc != 0) throw EFileException(SysErrorText(rc));
    return ParsePidText(AnsiView(buf, got), Pid);
}

bool ParsePidText(AnsiView Text, pid_t& Pid) {
    size_t n = std::min<size_t>(Text.size(), 20);
    for (size_t i = 0; i < n; ++i) {
        if (Text[i] == '\0' || Text[i] == '\r' || Text[i] == '\n') {
            n = i;
            break;
        }
    }
    int64_t v = 0;
    // Strictly into the platform's pid type: no overflow, and neither 0 nor init.
    if (n == 0 || !TryBufToInt64A(Text.data(), static_cast<int32_t>(n), v)) return false;
    if (v < 2 || v > static_cast<int64_t>(std::numeric_limits<pid_t>::max())) return false;
    Pid = static_cast<pid_t>(v);
    return true;
}

}  // namespace zel
