#pragma once
// The waiter that the rest of the system creates.
#include "net/dmq_waiter2_bsd.hpp"

namespace zel {

class TWaiter2Socket : public TWaiter2Bsd {
public:
    using TWaiter2Bsd::TWaiter2Bsd;
};

}  // namespace zel
