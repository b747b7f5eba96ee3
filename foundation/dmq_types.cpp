#include "foundation/dmq_types.hpp"

namespace zel {
}  // namespace zel
