#pragma once
// Set-up of the server's outgoing TCP connections (the System Manager links and the console's
// command communicator): the connection parameters applied to a blocking socket, and the socket's
// waits served by the owner's waiter, so that one wake-up of the waiter also ends a socket wait.
#include <cstdint>
#include <functional>

#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_blcksock.hpp"
#include "net/dmq_waiter2_base.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

// Before Connect: ManagerPreferIPv4 and the connect time-out ManagerConnectTimeout, then the
// proxy of ProxyType. HTTP: the tunnel through ProxyAddress:ProxyPort (user and password only with
// a user name), the connect to the proxy bounded by ProxyConnectTimeout and the proxy's answer by
// ManagerConnectTimeout. SOCKS4 / SOCKS5: through ProxyAddress:ProxyPort with the user name and
// password, the exchange with the proxy bounded by ManagerConnectTimeout. NONE and SYSTEM: direct.
// A proxy set up by an earlier call is always cleared first.
void ApplyConnectionParams(TTCPBlockSocket& Socket, const TZELConnectionParams& Params);

// The socket error of a waiter's result: time-out ETIMEDOUT, ready 0, woken EINTR, a failed wait
// the waiter's code (EINVAL when it kept none), anything else EINVAL.
int32_t WaiterResultToSocketError(TWaiterResult Result, int32_t WaiterError) noexcept;

// The waits of one blocking socket served by its owner's waiter. Install sets the socket's hooks:
// OnExtSocketCreated registers the new descriptor with the waiter (freeing the record of an
// earlier one); OnExtCanConnect and OnExtCanRead wait on the waiter for the write or read event
// and hand back WaiterResultToSocketError. Runs on the waiter's owner thread only; the hooks
// point at this object, which must outlive the socket's use of them.
class TZELSocketWaiterHooks {
public:
    explicit TZELSocketWaiterHooks(TWaiter2Base& Waiter) noexcept : waiter_(Waiter) {}
    ~TZELSocketWaiterHooks();
    TZELSocketWaiterHooks(const TZELSocketWaiterHooks&) = delete;
    TZELSocketWaiterHooks& operator=(const TZELSocketWaiterHooks&) = delete;

    void Install(TBlockSocket& Socket);
    // Frees the descriptor's record; for an owner that closes the socket and goes on using the
    // waiter without it.
    void Release() noexcept;
    // Waits up to Timeout ms (negative: without limit) for Bits (WAITER_READ_BITS or
    // WAITER_WRITE_BITS) of the registered descriptor; 0 when it is ready, else the error code.
    // The descriptor watches nothing between waits.
    int32_t WaitFor(uint8_t Bits, int32_t Timeout);
    // When set, a wake-up ends the installed socket's own waits (connect, proxy exchange) only
    // when this returns true; any other wake-up (a request posted meanwhile) is cleared and the
    // wait goes on to its deadline, the request being served after it. Unset: every wake-up ends
    // the wait with EINTR.
    std::function<bool()> AbortOnWake;

    TWaiter2Resource* Resource() const noexcept { return resource_; }

private:
    void Register(int Handle);
    // The socket's own waits: WaitFor, resumed after wake-ups that AbortOnWake lets pass.
    int32_t WaitForSocket(uint8_t Bits, int32_t Timeout);

    TWaiter2Base& waiter_;
    TWaiter2Resource* resource_ = nullptr;
};

}  // namespace zel
