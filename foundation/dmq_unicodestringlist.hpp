#pragma once
// A list of UTF-16 texts, each with an object pointer that the list does not own.
// Texts compare with only "a".."z" folded to "A".."Z" (unless CaseSensitive is set); every other
// unit compares by its value, so no two different non-ASCII characters ever match.
#include <cstdint>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

class TUnicodeStringList {
public:
    TUnicodeStringList() = default;

    // Appends (a sorted list inserts at the text's place, before equal texts); returns the index.
    int32_t AddObjectU(UnicodeView S, void* Obj);
    // Item I's text; no range check.
    const UnicodeString& GetU(int32_t I) const noexcept { return Items_[static_cast<size_t>(I)].Text; }
    // Index of the first equal text (binary search when sorted), or -1.
    int32_t IndexOfU(UnicodeView S) const noexcept;
    // Binary search of a sorted list: true and the first equal item, or false and the insert point.
    bool FindU(UnicodeView S, int32_t& Index) const noexcept;

    void* GetObject(int32_t I) const noexcept { return Items_[static_cast<size_t>(I)].Obj; }
    void SetObject(int32_t I, void* Obj) noexcept { Items_[static_cast<size_t>(I)].Obj = Obj; }
    void Delete(int32_t I);
    void Clear() noexcept { Items_.clear(); }
    int32_t Count() const noexcept { return static_cast<int32_t>(Items_.size()); }

    bool CaseSensitive() const noexcept { return CaseSensitive_; }
    // A sorted list is sorted again for the new comparison.
    void SetCaseSensitive(bool Value);
    bool Sorted() const noexcept { return Sorted_; }
    // Setting it sorts the items (equal texts keep their order).
    void SetSorted(bool Value);

    // <0, 0 or >0 by the list's comparison.
    int CompareU(UnicodeView A, UnicodeView B) const noexcept;

private:
    struct TItem {
        UnicodeString Text;
        void* Obj;
    };
    void Sort();

    std::vector<TItem> Items_;
    bool CaseSensitive_ = false;
    bool Sorted_ = false;
};

}  // namespace zel
