#include "service/dmq_zel_svc_connparams.hpp"

#include <cerrno>
#include <string>
#include <type_traits>

#include "net/dmq_waiter2_bsd.hpp"

namespace zel {

namespace {

// The waiter's registration result: its code where SetResourceEvents reports a filter that could
// not be registered, 0 where it reports nothing.
template <class TWaiter>
int32_t SetWaitEvents(TWaiter& Waiter, TWaiter2Resource* Resource, uint8_t Bits) {
    if constexpr (std::is_void_v<decltype(Waiter.SetResourceEvents(Resource, Bits))>) {
        Waiter.SetResourceEvents(Resource, Bits);
        return 0;
    } else {
        return static_cast<int32_t>(Waiter.SetResourceEvents(Resource, Bits));
    }
}

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
        LastError = WaitFor(WAITER_WRITE_BITS, Timeout);
        return LastError == 0;
    };
    Socket.OnExtCanRead = [this](TBlockSocket*, int32_t Timeout, int32_t& LastError) {
        LastError = WaitFor(WAITER_READ_BITS, Timeout);
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
    int32_t error = SetWaitEvents(waiter_, resource_, Bits);
    if (error == 0) {
        TWaiter2WaitRequest request;
        request.Timeout = WaiterTimeout(Timeout);
        const TWaiterResult result = waiter_.Wait(request);
        error = WaiterResultToSocketError(result, waiter_.LastError());
    }
    // Nothing stays watched: a later wait of the owner must not wake for this socket.
    const int32_t cleared = SetWaitEvents(waiter_, resource_, 0);
    return error != 0 ? error : cleared;
}

}  // namespace zel
