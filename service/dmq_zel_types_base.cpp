#include "service/dmq_zel_types_base.hpp"

namespace zel {
static_assert(sizeof(TZELPasswordCycle) == 1);
}  // namespace zel
