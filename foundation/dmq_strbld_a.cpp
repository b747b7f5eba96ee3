#include "foundation/dmq_strbld_a.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_hex.hpp"

namespace zel {

namespace {

constexpr int64_t kMaxCapacity = std::numeric_limits<int32_t>::max();

inline char* Put(char* d, AnsiView s) noexcept {
    if (!s.empty()) std::memcpy(d, s.data(), s.size());
    return d + s.size();
}

inline char* PutHexByte(char* d, uint8_t v) noexcept {
    d[0] = HexPairs[2 * v];
    d[1] = HexPairs[2 * v + 1];
    return d + 2;
}

// Bytes of the length after the first pair: 0 below 128, else 1 to 4.
int HexLenBytes(int32_t len) noexcept {
    if (len >= 0 && len < 128) return 0;
    if (len < 0) return 4;
    if (len <= 0xFF) return 1;
    if (len <= 0xFFFF) return 2;
    if (len <= 0xFFFFFF) return 3;
    return 4;
}

inline int64_t HexLenSize(int32_t len) noexcept { return 2 + 2 * HexLenBytes(len); }

char* PutHexLen(char* d, int32_t len) noexcept {
    const int n = HexLenBytes(len);
    if (n == 0) return PutHexByte(d, static_cast<uint8_t>(len));
    d = PutHexByte(d, static_cast<uint8_t>(0x80 + n));
    const uint32_t u = static_cast<uint32_t>(len);
    for (int i = n - 1; i >= 0; --i) d = PutHexByte(d, static_cast<uint8_t>(u >> (8 * i)));
    return d;
}

int64_t Size(AnsiView s) noexcept { return static_cast<int64_t>(s.size()); }

AnsiView BufView(const void* p, int32_t len) noexcept {
    return len > 0 ? AnsiView(static_cast<const char*>(p), static_cast<size_t>(len)) : AnsiView();
}

void AddElement(TStringBldA& b, AnsiView tag, AnsiView value, bool line) {
    b.Append(2 * Size(tag) + Size(value) + 5 + (line ? 2 : 0), [&](char* d) {
        *d++ = '<';
        d = Put(d, tag);
        *d++ = '>';
        d = Put(d, value);
        *d++ = '<';
        *d++ = '/';
        d = Put(d, tag);
        *d++ = '>';
        if (line) *d++ = '\r', *d++ = '\n';
    });
}

AnsiView CheckedView(AnsiView s) {
    if (s.size() > static_cast<size_t>(kMaxCapacity)) throw std::bad_alloc();
    return s;
}

}  // namespace

TStringBldA& TStringBldA::operator=(TStringBldA&& o) noexcept {
    if (this != &o) {
        delete[] Buf_;
        Buf_ = o.Buf_, Capacity_ = o.Capacity_, Len_ = o.Len_;
        o.Buf_ = nullptr, o.Capacity_ = 0, o.Len_ = 0;
    }
    return *this;
}

char* TStringBldA::Reserve(int64_t n, std::unique_ptr<char[]>& old) {
    const int64_t need = static_cast<int64_t>(Len_) + n;
    if (Capacity_ >= need + 1) return Buf_ + Len_;
    const int64_t cap = (need + need / 4 + 31) & ~int64_t{15};
    if (cap > kMaxCapacity) throw std::bad_alloc();
    char* fresh = new char[static_cast<size_t>(cap)];
    if (Len_ > 0) std::memcpy(fresh, Buf_, static_cast<size_t>(Len_));
    old.reset(Buf_);
    Buf_ = fresh;
    Capacity_ = static_cast<int32_t>(cap);
    return Buf_ + Len_;
}

void TStringBldA::Commit(int64_t n) noexcept {
    Len_ += static_cast<int32_t>(n);
    Buf_[Len_] = '\0';
}

void TStringBldA::Truncate(int32_t n) noexcept {
    if (Buf_ == nullptr || n < 0 || n > Len_) return;
    Len_ = n;
    Buf_[Len_] = '\0';
}

void TStringBldA::Init(int32_t wanted) {
    if (wanted > kMaxCapacity - 31) throw std::bad_alloc();
    const int32_t cap = (std::max(wanted, int32_t{64}) + 31) & ~15;
    char* fresh = new char[static_cast<size_t>(cap)];
    fresh[0] = '\0';
    delete[] Buf_;
    Buf_ = fresh;
    Capacity_ = cap;
    Len_ = 0;
}

void TStringBldA::Reset() noexcept {
    Len_ = 0;
    if (Buf_) Buf_[0] = '\0';
}

void TStringBldA::Free() noexcept {
    delete[] Buf_;
    Buf_ = nullptr;
    Capacity_ = 0;
    Len_ = 0;
}

void StrBldAInit(TStringBldA& b, int32_t wanted) { b.Init(wanted); }

void StrBldAReset(TStringBldA& b) noexcept { b.Reset(); }

void StrBldAFree(TStringBldA& b) noexcept { b.Free(); }

void StrBldADropTrailingCR(TStringBldA& b) noexcept {
    if (b.Len() > 0 && b.Buf()[b.Len() - 1] == '\r') b.Truncate(b.Len() - 1);
}

void StrBldAAdd(TStringBldA& b, AnsiView s) {
    if (!s.empty()) b.Append(Size(s), [&](char* d) { Put(d, s); });
}

void StrBldAAddLn(TStringBldA& b, AnsiView s) {
    b.Append(Size(s) + 2, [&](char* d) {
        d = Put(d, s);
        d[0] = '\r', d[1] = '\n';
    });
}

void StrBldAAddChar(TStringBldA& b, char c) {
    b.Append(1, [c](char* d) { *d = c; });
}

int32_t StrBldAAddCRLF(TStringBldA& b) {
    const int32_t cr = b.Len();
    b.Append(2, [](char* d) { d[0] = '\r', d[1] = '\n'; });
    return cr;
}

void StrBldAAddCharLn(TStringBldA& b, char c) {
    b.Append(3, [c](char* d) { d[0] = c, d[1] = '\r', d[2] = '\n'; });
}

void StrBldAAddChars(TStringBldA& b, char c, int32_t count) {
    if (count < 1) return;
    b.Append(count, [&](char* d) { std::memset(d, c, static_cast<size_t>(count)); });
}

void StrBldAAddHexByte(TStringBldA& b, uint8_t v) {
    b.Append(2, [v](char* d) { PutHexByte(d, v); });
}

void StrBldAAddHex(TStringBldA& b, AnsiView s) {
    if (s.empty()) return;
    b.Append(2 * Size(s), [&](char* d) {
        for (char c : s) d = PutHexByte(d, static_cast<uint8_t>(c));
    });
}

void StrBldAAddBuf(TStringBldA& b, const void* p, int32_t len) { StrBldAAdd(b, BufView(p, len)); }

int32_t StrBldAAddBufLn(TStringBldA& b, const void* p, int32_t len) {
    const AnsiView s = BufView(p, len);
    const int32_t cr = b.Len() + static_cast<int32_t>(s.size());
    StrBldAAddLn(b, s);
    return cr;
}

void StrBldAAddInt(TStringBldA& b, int32_t v) {
    char tmp[12];
    int32_t len = sizeof tmp;
    const char* p = IntToBufA(v, tmp, len);
    StrBldAAdd(b, AnsiView(p, static_cast<size_t>(len)));
}

void StrBldAAddElement(TStringBldA& b, AnsiView tag, AnsiView value) { AddElement(b, tag, value, false); }

void StrBldAAddElementLn(TStringBldA& b, AnsiView tag, AnsiView value) { AddElement(b, tag, value, true); }

void StrBldAAddElementBuf(TStringBldA& b, AnsiView tag, const void* p, int32_t len) {
    AddElement(b, tag, BufView(p, len), false);
}

void StrBldAAddElementChar(TStringBldA& b, AnsiView tag, char c) { AddElement(b, tag, AnsiView(&c, 1), false); }

void StrBldAAddHexLen(TStringBldA& b, int32_t len) {
    b.Append(HexLenSize(len), [len](char* d) { PutHexLen(d, len); });
}

void StrBldAAddLV(TStringBldA& b, AnsiView s) {
    const int32_t len = static_cast<int32_t>(CheckedView(s).size());
    b.Append(HexLenSize(len) + Size(s), [&](char* d) { Put(PutHexLen(d, len), s); });
}

void StrBldAAddTLV(TStringBldA& b, char tag, AnsiView s) {
    const int32_t len = static_cast<int32_t>(CheckedView(s).size());
    b.Append(1 + HexLenSize(len) + Size(s), [&](char* d) {
        *d++ = tag;
        Put(PutHexLen(d, len), s);
    });
}

// ---------------------------------------------------------------------------------------------
// Line reader.

int TryStrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong) {
    bool lineEnded = false;
    return TryStrBldAReadLn(f, b, maxLen, raiseTooLong, lineEnded);
}

int TryStrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong, bool& lineEnded) {
    StrBldAReset(b);
    lineEnded = false;
    const size_t limit = maxLen > 0 ? static_cast<size_t>(maxLen) : 0;
    size_t lineLen = 0;  // bytes of this line before its LF, kept or not
    while (!lineEnded) {
        // Fill first: a read error comes back as its code instead of raising from the scanner.
        if (const int code = TryFillTextBuf(f)) return code;
        const AnsiView piece = ReadLnPieceText(f, lineEnded);
        if (piece.empty() && !lineEnded) break;
        if (raiseTooLong && lineLen + piece.size() > limit) RaiseLineTooLong();
        const size_t kept = static_cast<size_t>(b.Len());
        StrBldAAdd(b, piece.substr(0, kept < limit ? limit - kept : 0));
        lineLen += piece.size();
    }
    StrBldADropTrailingCR(b);
    return 0;
}

void StrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong) {
    RaiseReadFileError(TryStrBldAReadLn(f, b, maxLen, raiseTooLong), f.Name());
}

}  // namespace zel
