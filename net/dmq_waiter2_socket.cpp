#include "net/dmq_waiter2_socket.hpp"
