#pragma once
// Sorted lists and the external-program runner.
#include <cstdint>

#include "foundation/dmq_types.hpp"

namespace zel {

// ---- External-program runner ----

// Starts Executable with the first ArgCount (0 to 13) of the arguments, as separate items and not
// through a shell, and does not wait for it. An empty argument is passed as one blank. A name
// without "/" is looked up in PATH. The program inherits only descriptors 0, 1 and 2, default
// signal dispositions and an empty signal mask; it is not a child of the caller, so it never
// stays behind as a zombie whatever SIGCHLD's disposition. Returns 0 when the program was
// started, -1 when starting it failed (errno then holds the reason). Never raises.
int32_t ExecProgram(UnicodeView Executable, int32_t ArgCount, UnicodeView Arg1 = {},
                    UnicodeView Arg2 = {}, UnicodeView Arg3 = {}, UnicodeView Arg4 = {},
                    UnicodeView Arg5 = {}, UnicodeView Arg6 = {}, UnicodeView Arg7 = {},
                    UnicodeView Arg8 = {}, UnicodeView Arg9 = {}, UnicodeView Arg10 = {},
                    UnicodeView Arg11 = {}, UnicodeView Arg12 = {},
                    UnicodeView Arg13 = {}) noexcept;

// Appends one argument of a command line for the log: two double quotes for the empty text,
// the text between double quotes when it holds a blank, else the text as it is.
void StrBldUAddParam(TStringBldU& B, UnicodeView S);

}  // namespace zel

// ---- Sorted lists ----
// Array-backed lists without locks: each belongs to the thread of its owner. They refer to
// objects and do not own them. The array's length is the capacity: 64 at start, grown by a quarter
// plus 4 when an insert finds it full. Indices are not range-checked: callers pass valid ones.

#include <string>
#include <vector>

namespace zel {

// Sort keys of TZELSortedAnsiStringList. PadKey8A: the bytes followed by zero bytes up to the next
// multiple of 8 (mode false). StrToSortKeyA / BufToSortKeyA: padded the same way, then each
// 8-byte group reversed, so that the list's word comparison gives the byte order of the texts
// (mode true); a length below 1 gives the empty key.
AnsiString PadKey8A(AnsiView S);
AnsiString StrToSortKeyA(AnsiView S);
AnsiString BufToSortKeyA(const char* P, int32_t Len);
// PadKey8A for a text of varying length that names someone (an e-mail, a callsign): false, Key
// unchanged, when S holds a NUL, which the padding would make equal to a shorter text.
bool TryPadKey8A(AnsiView S, AnsiString& Key);

// The keys as sequences of 64-bit little-endian words compared as unsigned numbers, as far as the
// shorter key reaches; a tail of fewer than 8 bytes counts as a word with zero high bytes (as if
// padded). When all are equal the longer key is greater. <0, 0 or >0.
int CompareKey8(AnsiView A, AnsiView B) noexcept;

struct TZELSortedInt64NotUniqItem {
    int64_t Key = 0;
    void* Value = nullptr;
};
using TZELSortedInt64NotUniqItemArray = std::vector<TZELSortedInt64NotUniqItem>;

// Ordered by Key; equal keys allowed.
class TZELSortedInt64NotUniqList {
public:
    TZELSortedInt64NotUniqList();

    // Binary search: an absent key gives its insert point, a present one the first equal item that
    // the bisection meets (one of the equal items, not necessarily the first).
    bool Find(int64_t Key, int32_t& Index) const noexcept;
    // Inserts at the position Find gives and returns it.
    int32_t Add(int64_t Key, void* Value);
    // Removes the item holding Value (when there is one) and adds (Key, Value) again.
    void ChangeKey(int64_t Key, void* Value);
    // Linear search from the last item; -1 when absent.
    int32_t IndexOfValue(const void* Value) const noexcept;
    // Count 0 and capacity back to 64.
    void Clear();
    void Delete(int32_t I);
    void Insert(int32_t I, int64_t Key, void* Value);
    void SetCapacity(int32_t N);

    int32_t Count() const noexcept { return Count_; }
    int32_t Capacity() const noexcept { return static_cast<int32_t>(Items_.size()); }
    const TZELSortedInt64NotUniqItem& Items(int32_t I) const noexcept { return Items_[I]; }

private:
    TZELSortedInt64NotUniqItemArray Items_;
    int32_t Count_ = 0;
};

struct TZELSortedAnsiStringItem {
    AnsiString Key;
    void* Obj = nullptr;
};
using TZELSortedAnsiStringItemList = std::vector<TZELSortedAnsiStringItem>;

// Ordered by Key, keys unique. Both modes order keys by CompareKey8; Mode records which key form
// the owner prepares (true: StrToSortKeyA, false: PadKey8A).
class TZELSortedAnsiStringList {
public:
    explicit TZELSortedAnsiStringList(bool Mode);

    bool Find(AnsiView Key, int32_t& Index) const noexcept;
    int32_t IndexOf(AnsiView Key) const noexcept;
    void* GetObject(AnsiView Key) const noexcept;
    // An equal key raises Exception "Duplicate string".
    int32_t Add(AnsiView Key, void* Obj);
    // The new index, or -(index + 1) of the existing key (nothing inserted).
    int32_t TryAdd(AnsiView Key, void* Obj);
    void Insert(int32_t I, AnsiView Key, void* Obj);
    void Delete(int32_t I);
    // Linear search from the last item; -1 when absent.
    int32_t IndexOfObject(const void* Obj) const noexcept;
    // Deletes every item's object as a T, last to first, and sets it to null; the items stay.
    template <class T>
    void FreeObjects() noexcept {
        for (int32_t i = Count_ - 1; i >= 0; --i) {
            delete static_cast<T*>(Items_[i].Obj);
            Items_[i].Obj = nullptr;
        }
    }
    void SetCapacity(int32_t N);

    bool Mode() const noexcept { return Mode_; }
    int32_t Count() const noexcept { return Count_; }
    int32_t Capacity() const noexcept { return static_cast<int32_t>(Items_.size()); }
    const TZELSortedAnsiStringItem& Items(int32_t I) const noexcept { return Items_[I]; }
    // The object may be replaced; the key may not (the order depends on it).
    void SetObject(int32_t I, void* Obj) noexcept { Items_[I].Obj = Obj; }

private:
    TZELSortedAnsiStringItemList Items_;
    int32_t Count_ = 0;
    bool Mode_;
};

using TZELObjectListArray = std::vector<void*>;

// Object pointers ordered by their value as unsigned numbers, unique.
class TZELSortedObjectList {
public:
    TZELSortedObjectList();

    bool Find(const void* Obj, int32_t& Index) const noexcept;
    int32_t IndexOf(const void* Obj) const noexcept;
    // Present already: Exception "Duplicate object".
    int32_t Add(void* Obj);
    // The index, or -(index + 1) when present.
    int32_t TryAdd(void* Obj);
    // The index, or -1 when present.
    int32_t AddIfAbsent(void* Obj);
    // Its former index, or -1 when absent.
    int32_t Remove(const void* Obj);
    void Insert(int32_t I, void* Obj);
    void Delete(int32_t I);
    void SetCapacity(int32_t N);

    int32_t Count() const noexcept { return Count_; }
    int32_t Capacity() const noexcept { return static_cast<int32_t>(Items_.size()); }
    void* Get(int32_t I) const noexcept { return Items_[I]; }

private:
    TZELObjectListArray Items_;
    int32_t Count_ = 0;
};

// Object pointers in insertion order.
class TZELObjectList {
public:
    TZELObjectList();

    int32_t Add(void* Obj);
    void Insert(int32_t I, void* Obj);
    void Delete(int32_t I);
    void* Get(int32_t I) const noexcept { return Items_[I]; }
    // When not empty: Count 0 and capacity back to 64.
    void Clear();
    void SetCapacity(int32_t N);

    int32_t Count() const noexcept { return Count_; }
    int32_t Capacity() const noexcept { return static_cast<int32_t>(Items_.size()); }

private:
    TZELObjectListArray Items_;
    int32_t Count_ = 0;
};

}  // namespace zel
