#pragma once
// Abstract bases through which the service holds what the clients library implements: the
// networks (rooms), the worker threads, the work contexts (client and command connections), and
// the factory that creates them. The service library cannot link the clients library (the
// libraries link one way only), so the service, the data lists and the networks list see these
// classes only; the concrete classes in clients/ derive from them.
//
// Each base grows by role: a group of pure virtual operations per caller, headed by a comment
// naming the caller. Add to the group that calls an operation; declare no second interface.
#include <cstdint>
#include <memory>

#include "foundation/dmq_types.hpp"

namespace zel {

class TZELService;
class TZELSVCNetworkBase;
class TZELSVCWorkerBase;
class TZELSVCWrkCtxBase;

// A work context: one connection a worker serves (client or command port), or the Parrot.
class TZELSVCWrkCtxBase {
public:
    TZELSVCWrkCtxBase() = default;
    TZELSVCWrkCtxBase(const TZELSVCWrkCtxBase&) = delete;
    TZELSVCWrkCtxBase& operator=(const TZELSVCWrkCtxBase&) = delete;
    virtual ~TZELSVCWrkCtxBase();

    // ---- Requester of the main queue, the flusher queue and command replies (service thread,
    // timer thread). The context's serial number: a request copies it when posted, and its answer
    // is written only while the context still carries it.
    virtual uint32_t Number() const = 0;
};

// A worker thread serving many contexts through one waiter.
class TZELSVCWorkerBase {
public:
    TZELSVCWorkerBase() = default;
    TZELSVCWorkerBase(const TZELSVCWorkerBase&) = delete;
    TZELSVCWorkerBase& operator=(const TZELSVCWorkerBase&) = delete;
    virtual ~TZELSVCWorkerBase();
};

// One network (room) with its members, floor, lists and command dispatcher.
class TZELSVCNetworkBase {
public:
    TZELSVCNetworkBase() = default;
    TZELSVCNetworkBase(const TZELSVCNetworkBase&) = delete;
    TZELSVCNetworkBase& operator=(const TZELSVCNetworkBase&) = delete;
    virtual ~TZELSVCNetworkBase();
};

// Creates the concrete objects. Installed on the service before Start() (TZELService::SetFactory);
// the service owns it and frees it after every object it made.
class TZELSVCFactory {
public:
    TZELSVCFactory() = default;
    TZELSVCFactory(const TZELSVCFactory&) = delete;
    TZELSVCFactory& operator=(const TZELSVCFactory&) = delete;
    virtual ~TZELSVCFactory();
};

}  // namespace zel
