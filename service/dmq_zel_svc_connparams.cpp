#include "service/dmq_zel_svc_connparams.hpp"

#include <cerrno>
#include <string>

#include "net/dmq_sock.hpp"
#include "net/dmq_waiter2_bsd.hpp"

namespace zel {

namespace {

uint32_t WaiterTimeout(int32_t Timeout) noexcept {
    if (Timeout < 0) return WAITER_INFINITE;
    const auto t = static_cast<uint32_t>(Timeout);
    return t > WAITER_MAX_TIMEOUT ? WAITER_MAX_TIMEOUT : t;
}

}  // namespace

void ApplyConnectionParams(TTCPBlockSocket& Socket, const TZELConnectionParams& Params) {
    Socket.PreferIP4 = Params.ManagerPreferIPv4;
    Socket.ConnectionTimeout = Params.ManagerConnectTimeout;
    Socket.SocksIP.clear();
    Socket.SocksUsername.clear();
    Socket.SocksPassword.clear();
    Socket.HTTPTunnelIP.clear();
    Socket.HTTPTunnelUser.clear();
    Socket.HTTPTunnelPass.clear();
    const UnicodeString port = WidenStrU(std::to_string(Params.ProxyPort));
    switch (Params.ProxyType) {
        case TZELProxyType::ZEL_PROXY_TYPE_NONE:
        case TZELProxyType::ZEL_PROXY_TYPE_SYSTEM:
            break;
        case TZELProxyType::ZEL_PROXY_TYPE_HTTP:
            Socket.HTTPTunnelIP = Params.ProxyAddress;
            Socket.HTTPTunnelPort = port;
            if (!Params.ProxyUsername.empty()) {
                Socket.HTTPTunnelUser = Params.ProxyUsername;
                Socket.HTTPTunnelPass = Params.ProxyPassword;
            }
            Socket.ConnectionTimeout = Params.ProxyConnectTimeout;
            Socket.HTTPTunnelTimeout = Params.ManagerConnectTimeout;
            break;
        case TZELProxyType::ZEL_PROXY_TYPE_SOCKS4:
        case TZELProxyType::ZEL_PROXY_TYPE_SOCKS5:
            Socket.SocksIP = Params.ProxyAddress;
            Socket.SocksPort = port;
            Socket.SocksUsername = Params.ProxyUsername;
            Socket.SocksPassword = Params.ProxyPassword;
            Socket.SocksType = Params.ProxyType == TZELProxyType::ZEL_PROXY_TYPE_SOCKS4 ? TSocksType::ST_Socks4
                                                                                       : TSocksType::ST_Socks5;
            Socket.SocksTimeout = Params.ManagerConnectTimeout;
            break;
    }
}

int32_t WaiterResultToSocketError(TWaiterResult Result, int32_t WaiterError) noexcept {
    switch (Result) {
        case TWaiterResult::wr_Timeout: return ETIMEDOUT;
        case TWaiterResult::wr_Descriptor: return 0;
        case TWaiterResult::wr_Interrupt: return EINTR;
        // A failed wait must never read as ready.
        case TWaiterResult::wr_Error: return WaiterError != 0 ? WaiterError : EINVAL;
    }
    return EINVAL;
}

// ---------------------------------------------------------------------------------------------

TZELSocketWaiterHooks::~TZELSocketWaiterHooks() { Release(); }

void TZELSocketWaiterHooks::Install(TBlockSocket& Socket) {
    Socket.OnExtSocketCreated = [this](TBlockSocket*, int Handle) { Register(Handle); };
    Socket.OnExtCanConnect = [this](TBlockSocket*, int32_t Timeout, int32_t& LastError) {
        LastError = WaitForSocket(WAITER_WRITE_BITS, Timeout);
        return LastError == 0;
    };
    Socket.OnExtCanRead = [this](TBlockSocket*, int32_t Timeout, int32_t& LastError) {
        LastError = WaitForSocket(WAITER_READ_BITS, Timeout);
        return LastError == 0;
    };
}

void TZELSocketWaiterHooks::Release() noexcept {
    if (resource_ == nullptr) return;
    waiter_.FreeResource(resource_);
    resource_ = nullptr;
}

void TZELSocketWaiterHooks::Register(int Handle) {
    Release();
    resource_ = waiter_.AddResource(this, Handle);
}

int32_t TZELSocketWaiterHooks::WaitFor(uint8_t Bits, int32_t Timeout) {
    if (resource_ == nullptr) return EINVAL;
    int32_t error = waiter_.SetResourceEvents(resource_, Bits);
    if (error == 0) {
        TWaiter2WaitRequest request;
        request.Timeout = WaiterTimeout(Timeout);
        const TWaiterResult result = waiter_.Wait(request);
        error = WaiterResultToSocketError(result, waiter_.LastError());
    }
    // Nothing stays watched: a later wait of the owner must not wake for this socket.
    const int32_t cleared = waiter_.SetResourceEvents(resource_, 0);
    return error != 0 ? error : cleared;
}

int32_t TZELSocketWaiterHooks::WaitForSocket(uint8_t Bits, int32_t Timeout) {
    if (!AbortOnWake) return WaitFor(Bits, Timeout);
    const uint32_t start = GetTickMs();
    for (;;) {
        int32_t left = Timeout;
        if (Timeout >= 0) {
            const uint32_t spent = GetTickMs() - start;
            left = spent >= static_cast<uint32_t>(Timeout) ? 0 : Timeout - static_cast<int32_t>(spent);
        }
        const int32_t error = WaitFor(Bits, left);
        if (error != EINTR) return error;
        // Cleared before the check: a wake-up that comes after it ends the next wait, and one that
        // came before it was preceded by the state the check reads.
        waiter_.ClearInterrupt();
        if (AbortOnWake()) return EINTR;
        if (Timeout >= 0 && GetTickMs() - start >= static_cast<uint32_t>(Timeout)) return ETIMEDOUT;
    }
}

}  // namespace zel
