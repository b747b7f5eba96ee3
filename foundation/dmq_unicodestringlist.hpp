#pragma once
// A list of UTF-16 texts, each with an object of type T that the list owns (null allowed).
// Texts compare with only "a".."z" folded to "A".."Z" (unless CaseSensitive is set); every other
// unit compares by its value, so no two different non-ASCII characters ever match.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

// <0, 0 or >0: the comparison of TUnicodeStringList.
int CompareUnicodeListTexts(UnicodeView A, UnicodeView B, bool CaseSensitive) noexcept;

template <class T>
class TUnicodeStringList {
public:
    TUnicodeStringList() = default;
    TUnicodeStringList(const TUnicodeStringList&) = delete;
    TUnicodeStringList& operator=(const TUnicodeStringList&) = delete;
    TUnicodeStringList(TUnicodeStringList&&) noexcept = default;
    TUnicodeStringList& operator=(TUnicodeStringList&&) noexcept = default;

    // Appends (a sorted list inserts at the text's place, before equal texts); returns the index.
    int32_t AddObjectU(UnicodeView S, std::unique_ptr<T> Obj) {
        int32_t i = Count();
        if (Sorted_) FindU(S, i);
        Items_.insert(Items_.begin() + i, TItem{UnicodeString(S), std::move(Obj)});
        return i;
    }
    // Item I's text; no range check.
    const UnicodeString& GetU(int32_t I) const noexcept { return Items_[static_cast<size_t>(I)].Text; }
    // Index of the first equal text (binary search when sorted), or -1.
    int32_t IndexOfU(UnicodeView S) const noexcept {
        if (Sorted_) {
            int32_t i;
            return FindU(S, i) ? i : -1;
        }
        for (int32_t i = 0; i < Count(); ++i)
            if (CompareU(GetU(i), S) == 0) return i;
        return -1;
    }
    // Binary search of a sorted list: true and the first equal item, or false and the insert point.
    bool FindU(UnicodeView S, int32_t& Index) const noexcept {
        int32_t lo = 0, hi = Count();
        while (lo < hi) {
            const int32_t mid = lo + (hi - lo) / 2;
            if (CompareU(GetU(mid), S) < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        Index = lo;
        return lo < Count() && CompareU(GetU(lo), S) == 0;
    }

    // Item I's object, still owned by the list; no range check.
    T* GetObject(int32_t I) const noexcept { return Items_[static_cast<size_t>(I)].Obj.get(); }
    // Replaces item I's object; the one it held is freed.
    void SetObject(int32_t I, std::unique_ptr<T> Obj) noexcept { Items_[static_cast<size_t>(I)].Obj = std::move(Obj); }
    // Removes item I and frees its object.
    void Delete(int32_t I) { Items_.erase(Items_.begin() + I); }
    void Clear() noexcept { Items_.clear(); }
    int32_t Count() const noexcept { return static_cast<int32_t>(Items_.size()); }

    bool CaseSensitive() const noexcept { return CaseSensitive_; }
    // A sorted list is sorted again for the new comparison.
    void SetCaseSensitive(bool Value) {
        CaseSensitive_ = Value;
        if (Sorted_) Sort();
    }
    bool Sorted() const noexcept { return Sorted_; }
    // Setting it sorts the items (equal texts keep their order).
    void SetSorted(bool Value) {
        if (Value && !Sorted_) Sort();
        Sorted_ = Value;
    }

    int CompareU(UnicodeView A, UnicodeView B) const noexcept { return CompareUnicodeListTexts(A, B, CaseSensitive_); }

private:
    struct TItem {
        UnicodeString Text;
        std::unique_ptr<T> Obj;
    };
    void Sort() {
        std::stable_sort(Items_.begin(), Items_.end(),
                         [this](const TItem& a, const TItem& b) { return CompareU(a.Text, b.Text) < 0; });
    }

    std::vector<TItem> Items_;
    bool CaseSensitive_ = false;
    bool Sorted_ = false;
};

}  // namespace zel
