#include "service/dmq_zel_types.hpp"

namespace zel {
// Every enumeration travels as one byte.
static_assert(sizeof(TZELReopenLogSignal) == 1 && sizeof(TZELSystemManagerMode) == 1 &&
              sizeof(TZELVisibleStatus) == 1 && sizeof(TZELClientType) == 1 &&
              sizeof(TZELClientPrivilege) == 1 && sizeof(TZELProxyType) == 1 &&
              sizeof(TZELProtoListFormat) == 1);
static_assert(ZELBitMasks[31] == 2147483648u);
}  // namespace zel
