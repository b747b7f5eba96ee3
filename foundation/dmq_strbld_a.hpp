#pragma once
// The byte text builder in which every protocol line, answer and data-file line is
// assembled. A growable byte buffer, kept zero-terminated, owned by one owner and never locked.
//
//   Buf: [ text: Len bytes ][0][ unused ... ]    Len + 1 <= Capacity after every operation
//
// The bytes: Buf()[0, Len()) (StrBldAView), zero-terminated at Buf()[Len()] once the builder has a
// buffer. Only the builder's own operations change them, so the layout above always holds.
// Reuse: StrBldAReset (Len 0, first byte 0) keeps the buffer, so later lines allocate nothing.
// The record owns Buf and frees it in its destructor (or earlier by StrBldAFree); it can be moved,
// not copied. Appenders raise only std::bad_alloc and then leave the builder unchanged.
#include <cstdint>
#include <memory>

#include "foundation/dmq_types.hpp"

namespace zel {

class TStringBldA {
public:
    TStringBldA() = default;
    ~TStringBldA() { delete[] Buf_; }
    TStringBldA(const TStringBldA&) = delete;
    TStringBldA& operator=(const TStringBldA&) = delete;
    TStringBldA(TStringBldA&& o) noexcept : Buf_(o.Buf_), Capacity_(o.Capacity_), Len_(o.Len_) {
        o.Buf_ = nullptr, o.Capacity_ = 0, o.Len_ = 0;
    }
    TStringBldA& operator=(TStringBldA&& o) noexcept;

    // Null until the builder first has a buffer; else zero-terminated at Buf()[Len()].
    const char* Buf() const noexcept { return Buf_; }
    int32_t Len() const noexcept { return Len_; }
    int32_t Capacity() const noexcept { return Capacity_; }

    // Appends n bytes that write(dest) puts at dest (it must write exactly n and not raise); a
    // source inside the builder's own text stays valid while write runs. Raises only
    // std::bad_alloc, and then the builder is unchanged.
    template <class Write>
    void Append(int64_t n, Write&& write) {
        std::unique_ptr<char[]> old;
        write(Reserve(n, old));
        Commit(n);
    }
    // Cuts the text to n bytes (0 <= n <= Len).
    void Truncate(int32_t n) noexcept;
    void Init(int32_t wanted);
    void Reset() noexcept;
    void Free() noexcept;

private:
    // Room for n more bytes and the terminating zero; a replaced buffer goes to old.
    char* Reserve(int64_t n, std::unique_ptr<char[]>& old);
    void Commit(int64_t n) noexcept;

    char* Buf_ = nullptr;
    int32_t Capacity_ = 0;
    int32_t Len_ = 0;
};

// Len 0, Capacity := (max(wanted, 64) + 31) and not 15 (80 for a fresh builder), a new buffer
// whose first byte is 0. A buffer held before is freed (only once the new one is there).
void StrBldAInit(TStringBldA& b, int32_t wanted);
// Len 0 and the first byte 0, keeping the buffer.
void StrBldAReset(TStringBldA& b) noexcept;
// Frees the buffer now; the builder is then as default-constructed (appenders still work).
void StrBldAFree(TStringBldA& b) noexcept;

inline AnsiView StrBldAView(const TStringBldA& b) noexcept {
    return b.Buf() ? AnsiView(b.Buf(), static_cast<size_t>(b.Len())) : AnsiView();
}
// Drops a CR that ends the text (the end of a CRLF line whose LF was cut off).
void StrBldADropTrailingCR(TStringBldA& b) noexcept;
inline AnsiString StrBldAToStr(const TStringBldA& b) { return AnsiString(StrBldAView(b)); }

// Appenders. A returned position is the 0-based index of the CR in Buf.
void StrBldAAdd(TStringBldA& b, AnsiView s);
void StrBldAAddLn(TStringBldA& b, AnsiView s);                  // s, CR, LF
void StrBldAAddChar(TStringBldA& b, char c);
int32_t StrBldAAddCRLF(TStringBldA& b);
void StrBldAAddCharLn(TStringBldA& b, char c);                  // c, CR, LF
void StrBldAAddChars(TStringBldA& b, char c, int32_t count);    // count < 1: nothing
void StrBldAAddHexByte(TStringBldA& b, uint8_t v);              // two upper-case hex digits
void StrBldAAddHex(TStringBldA& b, AnsiView s);                 // every byte as two hex digits
void StrBldAAddBuf(TStringBldA& b, const void* p, int32_t len); // len < 1: nothing
int32_t StrBldAAddBufLn(TStringBldA& b, const void* p, int32_t len);  // len < 0 counts as 0
void StrBldAAddInt(TStringBldA& b, int32_t v);
// "<" tag ">" value "</" tag ">" (2 * tag length + value length + 5 bytes).
void StrBldAAddElement(TStringBldA& b, AnsiView tag, AnsiView value);
void StrBldAAddElementLn(TStringBldA& b, AnsiView tag, AnsiView value);
void StrBldAAddElementBuf(TStringBldA& b, AnsiView tag, const void* p, int32_t len);
void StrBldAAddElementChar(TStringBldA& b, AnsiView tag, char c);
// Hex-coded length (ASN.1 BER definite length as hex pairs): below 128 two digits ("7F"); else
// "8n" and the n low bytes of the length, most significant first (128 "8180", 300 "82012C");
// n = 1 up to 255, 2 up to 65535, 3 up to 16777215, else 4 (also for a negative value).
void StrBldAAddHexLen(TStringBldA& b, int32_t len);
void StrBldAAddLV(TStringBldA& b, AnsiView s);                  // hex-coded length, bytes
void StrBldAAddTLV(TStringBldA& b, char tag, AnsiView s);       // tag byte, hex-coded length, bytes

// ---------------------------------------------------------------------------------------------
// Line reader: one line of a buffered text file (foundation/dmq_fileutils.hpp) straight out of
// the file's read buffer into b. The bytes before the LF are kept up to maxLen in all (the rest of
// an over-long line is skipped), or, with raiseTooLong, a longer line raises ELineLengthTooLong;
// a CR that ends the kept text is dropped; a last line without LF is returned as read. Read
// errors raise EFileException; the Try form returns their errno value instead (0 on success), so
// that a caller can tell the failures apart.
class TTextFile;
void StrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong);
int TryStrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong);
// The same, telling in lineEnded whether the line ended at a LF (false: the last line of the file).
int TryStrBldAReadLn(TTextFile& f, TStringBldA& b, int32_t maxLen, bool raiseTooLong, bool& lineEnded);

}  // namespace zel
