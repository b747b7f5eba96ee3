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

// Makes room for n more bytes and their terminating zero; dest is where they go. The buffer
// replaced by a growth stays alive in `old` until the appender is done, so a source that points
// into the builder's own text stays valid. On failure (std::bad_alloc) the builder is unchanged.
struct Room {
    char* dest;
    std::unique_ptr<char[]> old;
};

Room StrBldAReserve(TStringBldA& b, int64_t n) {
    const int64_t need = static_cast<int64_t>(b.Len) + n;
    if (b.Capacity >= need + 1) return {b.Buf + b.Len, nullptr};
    const int64_t cap = (need + need / 4 + 31) & ~int64_t{15};
    if (cap > kMaxCapacity) throw std::bad_alloc();
    char* fresh = new char[static_cast<size_t>(cap)];
    if (b.Len > 0) std::memcpy(fresh, b.Buf, static_cast<size_t>(b.Len));
    std::unique_ptr<char[]> old(b.Buf);
    b.Buf = fresh;
    b.Capacity = static_cast<int32_t>(cap);
    return {b.Buf + b.Len, std::move(old)};
}

// Closes an append of n bytes written at the reserved place.
inline void StrBldACommit(TStringBldA& b, int64_t n) noexcept {
    b.Len += static_cast<int32_t>(n);
    b.Buf[b.Len] = '\0';
}

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
    const int64_t n = 2 * Size(tag) + Size(value) + 5 + (line ? 2 : 0);
    Room room = StrBldAReserve(b, n);
    char* d = room.dest;
    *d++ = '<';
    d = Put(d, tag);
    *d++ = '>';
    d = Put(d, value);
    *d++ = '<';
    *d++ = '/';
    d = Put(d, tag);
    *d++ = '>';
    if (line) *d++ = '\r', *d++ = '\n';
    StrBldACommit(b, n);
}

}  // namespace

TStringBldA& TStringBldA::operator=(TStringBldA&& o) noexcept {
    if (this != &o) {
        delete[] Buf;
        Buf = o.Buf, Capacity = o.Capacity, Len = o.Len;
        o.Buf = nullptr, o.Capacity = 0, o.Len = 0;
    }
    return *this;
}

void StrBldAInit(TStringBldA& b, int32_t wanted) {
    if (wanted > kMaxCapacity - 31) throw std::bad_alloc();
    const int32_t cap = (std::max(wanted, int32_t{64}) + 31) & ~15;
    char* fresh = new char[static_cast<size_t>(cap)];
    fresh[0] = '\0';
    delete[] b.Buf;
    b.Buf = fresh;
    b.Capacity = cap;
    b.Len = 0;
}

void StrBldAReset(TStringBldA& b) noexcept {
    b.Len = 0;
    if (b.Buf) b.Buf[0] = '\0';
}

void StrBldAFree(TStringBldA& b) noexcept {
    delete[] b.Buf;
    b.Buf = nullptr;
    b.Capacity = 0;
    b.Len = 0;
}

void StrBldAAdd(TStringBldA& b, AnsiView s) {
    if (s.empty()) return;
    Put(StrBldAReserve(b, Size(s)).dest, s);
    StrBldACommit(b, Size(s));
}

void StrBldAAddLn(TStringBldA& b, AnsiView s) {
    Room room = StrBldAReserve(b, Size(s) + 2);
    char* d = Put(room.dest, s);
    d[0] = '\r', d[1] = '\n';
    StrBldACommit(b, Size(s) + 2);
}

void StrBldAAddChar(TStringBldA& b, char c) {
    *StrBldAReserve(b, 1).dest = c;
    StrBldACommit(b, 1);
}

int32_t StrBldAAddCRLF(TStringBldA& b) {
    Room room = StrBldAReserve(b, 2);
    char* d = room.dest;
    d[0] = '\r', d[1] = '\n';
    const int32_t cr = b.Len;
    StrBldACommit(b, 2);
    return cr;
}

void StrBldAAddCharLn(TStringBldA& b, char c) {
    Room room = StrBldAReserve(b, 3);
    char* d = room.dest;
    d[0] = c, d[1] = '\r', d[2] = '\n';
    StrBldACommit(b, 3);
}

void StrBldAAddChars(TStringBldA& b, char c, int32_t count) {
    if (count < 1) return;
    std::memset(StrBldAReserve(b, count).dest, c, static_cast<size_t>(count));
    StrBldACommit(b, count);
}

void StrBldAAddHexByte(TStringBldA& b, uint8_t v) {
    PutHexByte(StrBldAReserve(b, 2).dest, v);
    StrBldACommit(b, 2);
}

void StrBldAAddHex(TStringBldA& b, AnsiView s) {
    if (s.empty()) return;
    Room room = StrBldAReserve(b, 2 * Size(s));
    char* d = room.dest;
    for (char c : s) d = PutHexByte(d, static_cast<uint8_t>(c));
    StrBldACommit(b, 2 * Size(s));
}

void StrBldAAddBuf(TStringBldA& b, const void* p, int32_t len) { StrBldAAdd(b, BufView(p, len)); }

int32_t StrBldAAddBufLn(TStringBldA& b, const void* p, int32_t len) {
    const AnsiView s = BufView(p, len);
    Room room = StrBldAReserve(b, Size(s) + 2);
    char* d = Put(room.dest, s);
    d[0] = '\r', d[1] = '\n';
    const int32_t cr = b.Len + static_cast<int32_t>(s.size());
    StrBldACommit(b, Size(s) + 2);
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
    const int64_t n = HexLenSize(len);
    PutHexLen(StrBldAReserve(b, n).dest, len);
    StrBldACommit(b, n);
}

void StrBldAAddLV(TStringBldA& b, AnsiView s) {
    if (s.size() > static_cast<size_t>(kMaxCapacity)) throw std::bad_alloc();
    const int32_t len = static_cast<int32_t>(s.size());
    const int64_t n = HexLenSize(len) + Size(s);
    Put(PutHexLen(StrBldAReserve(b, n).dest, len), s);
    StrBldACommit(b, n);
}

void StrBldAAddTLV(TStringBldA& b, char tag, AnsiView s) {
    if (s.size() > static_cast<size_t>(kMaxCapacity)) throw std::bad_alloc();
    const int32_t len = static_cast<int32_t>(s.size());
    const int64_t n = 1 + HexLenSize(len) + Size(s);
    Room room = StrBldAReserve(b, n);
    char* d = room.dest;
    *d++ = tag;
    Put(PutHexLen(d, len), s);
    StrBldACommit(b, n);
}

// ---------------------------------------------------------------------------------------------
// Line reader.

int TryStrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong) {
    StrBldAReset(b);
    const size_t limit = maxLen > 0 ? static_cast<size_t>(maxLen) : 0;
    size_t lineLen = 0;  // bytes of this line before its LF, kept or not
    for (;;) {
        if (const int code = TryFillTextBuf(f)) return code;
        if (f.BufPos >= f.BufEnd) break;
        const char* start = f.Buf + f.BufPos;
        const size_t avail = f.BufEnd - f.BufPos;
        const char* lf = static_cast<const char*>(ScanLF(start, static_cast<int32_t>(std::min<size_t>(avail, INT32_MAX))));
        const size_t n = lf != nullptr ? static_cast<size_t>(lf - start) : avail;
        if (raiseTooLong && lineLen + n > limit) RaiseLineTooLong();
        const size_t kept = static_cast<size_t>(b.Len);
        const size_t take = kept < limit ? std::min(n, limit - kept) : 0;
        StrBldAAddBuf(b, start, static_cast<int32_t>(take));
        lineLen += n;
        f.BufPos += n;
        if (lf != nullptr) {
            ++f.BufPos;
            break;
        }
    }
    if (b.Len > 0 && b.Buf[b.Len - 1] == '\r') b.Buf[--b.Len] = '\0';
    return 0;
}

void StrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong) {
    RaiseReadFileError(TryStrBldAReadLn(f, b, maxLen, raiseTooLong), f.Name);
}

}  // namespace zel
