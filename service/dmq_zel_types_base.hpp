#pragma once
// Password cycle of a System Manager login: kept apart so small units can use it
// without pulling in the whole server vocabulary.
#include <array>
#include <cstdint>
#include <string_view>

namespace zel {

enum class TZELPasswordCycle : uint8_t { dpc_Static, dpc_EMail, dpc_Server };

inline constexpr std::array<std::u16string_view, 3> ZELPasswordCycleTexts = {
    u"Static", u"Dynamic/EMail", u"Dynamic/Server"};

constexpr std::u16string_view PasswordCycleText(TZELPasswordCycle v) {
    return ZELPasswordCycleTexts[static_cast<uint8_t>(v)];
}

}  // namespace zel
