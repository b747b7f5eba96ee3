#include "foundation/dmq_exception.hpp"

#include <cstdio>
#include <new>
#include <typeinfo>

namespace zel {

const char* ExceptionClassName(const std::exception& e) noexcept {
    if (auto* own = dynamic_cast<const Exception*>(&e)) return own->ClassName();
    if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
    return "Exception";
}

std::string FormatVA(const char* fmt, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, args);
    return out;
}

std::string FormatA(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = FormatVA(fmt, args);
    va_end(args);
    return s;
}

}  // namespace zel
