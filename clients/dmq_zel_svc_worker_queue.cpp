#include "clients/dmq_zel_svc_worker_queue.hpp"
