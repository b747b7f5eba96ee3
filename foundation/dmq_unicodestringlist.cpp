#include "foundation/dmq_unicodestringlist.hpp"

#include <algorithm>

namespace zel {

namespace {

char16_t FoldAscii(char16_t c) noexcept { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

int TUnicodeStringList::CompareU(UnicodeView A, UnicodeView B) const noexcept {
    size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t a = CaseSensitive_ ? A[i] : FoldAscii(A[i]);
        char16_t b = CaseSensitive_ ? B[i] : FoldAscii(B[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

bool TUnicodeStringList::FindU(UnicodeView S, int32_t& Index) const noexcept {
    // Lower bound: the first equal item, else the first greater one.
    int32_t lo = 0, hi = Count();
    while (lo < hi) {
        int32_t mid = lo + (hi - lo) / 2;
        if (CompareU(Items_[static_cast<size_t>(mid)].Text, S) < 0) lo = mid + 1;
        else hi = mid;
    }
    Index = lo;
    return lo < Count() && CompareU(Items_[static_cast<size_t>(lo)].Text, S) == 0;
}

int32_t TUnicodeStringList::IndexOfU(UnicodeView S) const noexcept {
    if (Sorted_) {
        int32_t i;
        return FindU(S, i) ? i : -1;
    }
    for (int32_t i = 0; i < Count(); ++i)
        if (CompareU(Items_[static_cast<size_t>(i)].Text, S) == 0) return i;
    return -1;
}

int32_t TUnicodeStringList::AddObjectU(UnicodeView S, void* Obj) {
    int32_t i = Count();
    if (Sorted_) FindU(S, i);
    Items_.insert(Items_.begin() + i, TItem{UnicodeString(S), Obj});
    return i;
}

void TUnicodeStringList::Delete(int32_t I) { Items_.erase(Items_.begin() + I); }

void TUnicodeStringList::Sort() {
    std::stable_sort(Items_.begin(), Items_.end(),
                     [this](const TItem& a, const TItem& b) { return CompareU(a.Text, b.Text) < 0; });
}

void TUnicodeStringList::SetCaseSensitive(bool Value) {
    CaseSensitive_ = Value;
    if (Sorted_) Sort();
}

void TUnicodeStringList::SetSorted(bool Value) {
    if (Value && !Sorted_) Sort();
    Sorted_ = Value;
}

}  // namespace zel
