#include "foundation/dmq_unicodestringlist.hpp"

namespace zel {

namespace {

char16_t FoldAscii(char16_t c) noexcept { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

int CompareUnicodeListTexts(UnicodeView A, UnicodeView B, bool CaseSensitive) noexcept {
    const size_t n = std::min(A.size(), B.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t a = CaseSensitive ? A[i] : FoldAscii(A[i]);
        const char16_t b = CaseSensitive ? B[i] : FoldAscii(B[i]);
        if (a != b) return a < b ? -1 : 1;
    }
    return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

}  // namespace zel
