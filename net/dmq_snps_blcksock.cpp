#include "net/dmq_snps_blcksock.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "net/dmq_snps_addr.hpp"
#include "net/dmq_snps_code.hpp"
#include "net/dmq_snps_idn.hpp"

namespace zel {

namespace {

UnicodeString AsciiU(AnsiView s) { return WidenStrU(s); }

UnicodeString IntU(int64_t v) { return WidenStrU(std::to_string(v)); }

struct TErrorText {
    int32_t Code;
    const char* Text;
};

// Keyed by the symbolic errno names of the build platform; the negative codes and 2/3 are
// resolver codes of the socket layer, not errno values.
const TErrorText kErrorTexts[] = {
    {-7, "Host not found"},
    {-6, "Valid name, no data record of requested type"},
    {-5, "Disconnect"},
    {-4, "Winsock not initialized"},
    {-3, "Winsock DLL cannot support this application"},
    {-2, "Network subsystem is unusable"},
    {-1, "Too many processes"},
    {2, "Non authoritative - host not found"},
    {3, "Non recoverable error"},
    {EINTR, "Interrupted system call"},
    {EBADF, "Bad file descriptor"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {EINVAL, "Invalid argument"},
    {EMFILE, "Too many open files"},
    {EAGAIN, "Operation would block"},
    {EINPROGRESS, "Operation now in progress"},
    {EALREADY, "Operation already in progress"},
    {ENOTSOCK, "Socket operation on nonsocket"},
    {EDESTADDRREQ, "Destination address required"},
    {EMSGSIZE, "Message too long"},
    {EPROTOTYPE, "Protocol wrong type for Socket"},
    {ENOPROTOOPT, "Protocol not available"},
    {EPROTONOSUPPORT, "Protocol not supported"},
    {ESOCKTNOSUPPORT, "Socket not supported"},
    {EOPNOTSUPP, "Operation not supported on Socket"},
    {EPFNOSUPPORT, "Protocol family not supported"},
    {EAFNOSUPPORT, "Address family not supported"},
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Can't assign requested address"},
    {ENETDOWN, "Network is down"},
    {ENETUNREACH, "Network is unreachable"},
    {ENETRESET, "Network dropped connection on reset"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNRESET, "Connection reset by peer"},
    {ENOBUFS, "No Buffer space available"},
    {EISCONN, "Socket is already connected"},
    {ENOTCONN, "Socket is not connected"},
    {ESHUTDOWN, "Can't send after Socket shutdown"},
    {ETOOMANYREFS, "Too many references:can't splice"},
    {ETIMEDOUT, "Connection timed out"},
    {ECONNREFUSED, "Connection refused"},
    {ELOOP, "Too many levels of symbolic links"},
    {ENAMETOOLONG, "File name is too long"},
    {EHOSTDOWN, "Host is down"},
    {EHOSTUNREACH, "No route to host"},
    {ENOTEMPTY, "Directory is not empty"},
    {EUSERS, "Too many users"},
    {EDQUOT, "Disk quota exceeded"},
    {ESTALE, "Stale NFS file handle"},
    {EREMOTE, "Too many levels of remote in path"},
};

// Turns RaiseExcept off for steps whose one outcome the caller checks.
class TNoRaise {
public:
    explicit TNoRaise(bool& flag) : flag_(flag), saved_(flag) { flag_ = false; }
    ~TNoRaise() { flag_ = saved_; }
    TNoRaise(const TNoRaise&) = delete;
    TNoRaise& operator=(const TNoRaise&) = delete;

private:
    bool& flag_;
    bool saved_;
};

void SetIntOpt(int h, int level, int name, int value) {
    (void)setsockopt(h, level, name, &value, sizeof(value));
}

void SetTimeOpt(int h, int name, int32_t ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    (void)setsockopt(h, SOL_SOCKET, name, &tv, sizeof(tv));
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TBlockSocket::TBlockSocket() : nextSend_(GetTickMs()), nextRecv_(nextSend_) {}

TBlockSocket::~TBlockSocket() {
    if (handle_ != -1) InternalClose();
}

AnsiString TBlockSocket::GetErrorDesc(int32_t Code) {
    if (Code == 0) return {};
    for (const auto& e : kErrorTexts)
        if (e.Code == Code) return e.Text;
    return "Other socket error (" + std::to_string(Code) + ")";
}

UnicodeString TBlockSocket::GetErrorDescEx() { return SysCharsetToUnicodeProc(GetErrorDesc(lastError_)); }

void TBlockSocket::DoStatus(THookSocketReason Reason, const UnicodeString& Value) {
    if (OnStatus) OnStatus(this, Reason, Value);
}

void TBlockSocket::ExceptCheck() {
    lastErrorDesc_ = GetErrorDescEx();
    const int32_t e = lastError_;
    if (e == 0 || e == EINPROGRESS || e == EAGAIN) return;
    DoStatus(THookSocketReason::HR_Error, IntU(e) + u"," + lastErrorDesc_);
    if (RaiseExcept)
        throw ESynapseError(FormatA("Socket error %d: %s", e, UnicodeToUtf8A(lastErrorDesc_).c_str()), e,
                            lastErrorDesc_);
}

int32_t TBlockSocket::SockCheck(int SockResult) {
    ResetLastError();
    if (SockResult == -1) {
        lastError_ = errno;
        lastErrorDesc_ = GetErrorDescEx();
    }
    return lastError_;
}

// ---------------------------------------------------------------------------------------------
// Delayed options.

void TBlockSocket::ProcessDelayedOption(const TSynaOption& o) {
    const int h = handle_;
    switch (o.Kind) {
        case SOT_Linger: {
            linger li{};
            li.l_onoff = o.Enabled ? 1 : 0;
            li.l_linger = o.Value / 1000;
            (void)setsockopt(h, SOL_SOCKET, SO_LINGER, &li, sizeof(li));
            break;
        }
        case SOT_RecvBuff: SetIntOpt(h, SOL_SOCKET, SO_RCVBUF, o.Value); break;
        case SOT_SendBuff: SetIntOpt(h, SOL_SOCKET, SO_SNDBUF, o.Value); break;
        case SOT_NonBlock: {
            nonBlocking_ = o.Enabled;
            int on = o.Enabled ? 1 : 0;
            (void)ioctl(h, FIONBIO, &on);
            break;
        }
        case SOT_RecvTimeout: SetTimeOpt(h, SO_RCVTIMEO, o.Value); break;
        case SOT_SendTimeout: SetTimeOpt(h, SO_SNDTIMEO, o.Value); break;
        case SOT_NoDelay:
            noDelayOn_ = o.Enabled;
            SetIntOpt(h, IPPROTO_TCP, TCP_NODELAY, o.Enabled ? 1 : 0);
            break;
        case SOT_Reuse: SetIntOpt(h, SOL_SOCKET, SO_REUSEADDR, o.Enabled ? 1 : 0); break;
        case SOT_TTL:
            if (ip6Used_) SetIntOpt(h, IPPROTO_IPV6, IPV6_UNICAST_HOPS, o.Value);
            else SetIntOpt(h, IPPROTO_IP, IP_TTL, o.Value);
            break;
        case SOT_Broadcast: SetIntOpt(h, SOL_SOCKET, SO_BROADCAST, o.Enabled ? 1 : 0); break;
        case SOT_MulticastTTL:
            if (ip6Used_) SetIntOpt(h, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, o.Value);
            else SetIntOpt(h, IPPROTO_IP, IP_MULTICAST_TTL, o.Value);
            break;
        case SOT_MulticastLoop:
            if (ip6Used_) SetIntOpt(h, IPPROTO_IPV6, IPV6_MULTICAST_LOOP, o.Enabled ? 1 : 0);
            else SetIntOpt(h, IPPROTO_IP, IP_MULTICAST_LOOP, o.Enabled ? 1 : 0);
            break;
        case SOT_IPv6Only:
            // Linux lets an IPv6 wildcard socket take IPv4 too, which makes a "0.0.0.0"
            // binding on the same port fail; v6-only keeps the two apart.
            if (ip6Used_) SetIntOpt(h, IPPROTO_IPV6, IPV6_V6ONLY, o.Enabled ? 1 : 0);
            break;
        case SOT_TOS:
            if (ip6Used_) SetIntOpt(h, IPPROTO_IPV6, IPV6_TCLASS, o.Value);
            else SetIntOpt(h, IPPROTO_IP, IP_TOS, o.Value);
            break;
        default: break;
    }
}

void TBlockSocket::DelayedOption(const TSynaOption& Option) {
    if (handle_ == -1) delayedOptions_.push_back(Option);
    else ProcessDelayedOption(Option);
}

void TBlockSocket::SetLinger(bool Enable, int32_t Linger) { DelayedOption({SOT_Linger, Enable, Linger}); }
void TBlockSocket::SetNonBlockMode(bool Value) { DelayedOption({SOT_NonBlock, Value, 0}); }
void TBlockSocket::EnableReuse(bool Value) { DelayedOption({SOT_Reuse, Value, 0}); }
void TBlockSocket::EnableNoDelay(bool Value) { DelayedOption({SOT_NoDelay, Value, 0}); }
void TBlockSocket::EnableV6Only(bool Value) { DelayedOption({SOT_IPv6Only, Value, 0}); }
void TBlockSocket::SetSizeRecvBuffer(int32_t Size) { DelayedOption({SOT_RecvBuff, false, Size}); }
void TBlockSocket::SetSizeSendBuffer(int32_t Size) { DelayedOption({SOT_SendBuff, false, Size}); }
void TBlockSocket::SetRecvTimeout(int32_t Milliseconds) { DelayedOption({SOT_RecvTimeout, false, Milliseconds}); }
void TBlockSocket::SetSendTimeout(int32_t Milliseconds) { DelayedOption({SOT_SendTimeout, false, Milliseconds}); }
void TBlockSocket::SetTTL(int32_t TTL) { DelayedOption({SOT_TTL, false, TTL}); }
void TBlockSocket::EnableBroadcast(bool Value) { DelayedOption({SOT_Broadcast, Value, 0}); }
void TBlockSocket::SetMulticastTTL(int32_t TTL) { DelayedOption({SOT_MulticastTTL, false, TTL}); }
void TBlockSocket::EnableMulticastLoop(bool Value) { DelayedOption({SOT_MulticastLoop, Value, 0}); }
void TBlockSocket::SetTOS(int32_t TOS) { DelayedOption({SOT_TOS, false, TOS}); }

// ---------------------------------------------------------------------------------------------
// Creation, binding, connecting, closing.

void TBlockSocket::InternalCreateSocket(const TSockAddrAny& Sin) {
    StopFlag = false;
    recvCounter_ = 0;
    sendCounter_ = 0;
    lastError_ = 0;
    lineBuffer_.clear();
    ip6Used_ = Sin.sa.sa_family == AF_INET6;
    familySave_ = Family;
    handle_ = SnpsSocket(ip6Used_ ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (handle_ == -1) lastError_ = errno;
    else if (OnExtSocketCreated) OnExtSocketCreated(this, handle_);
    ExceptCheck();
    if (handle_ == -1) return;
    // Later look-ups on this socket must give its own family.
    Family = ip6Used_ ? TSocketFamily::SF_IP6 : TSocketFamily::SF_IP4;
    DoStatus(THookSocketReason::HR_SocketCreate, ip6Used_ ? u"IPv6" : u"IPv4");
    std::vector<TSynaOption> pending;
    pending.swap(delayedOptions_);
    for (const auto& o : pending) ProcessDelayedOption(o);
    if (OnCreateSocket) OnCreateSocket(this);
}

void TBlockSocket::InternalClose() {
    if (handle_ != -1) SnpsCloseSocket(handle_);
    handle_ = -1;
    delayedOptions_.clear();
    Family = familySave_;
    isBound_ = false;
    DoStatus(THookSocketReason::HR_SocketClose, u"");
}

void TBlockSocket::CloseSocket() { InternalClose(); }

int32_t TBlockSocket::ResolveSin(UnicodeView IP, UnicodeView Port, TSockAddrAny& Sin) {
    DoStatus(THookSocketReason::HR_ResolvingBegin, UnicodeString(IP) + u":" + UnicodeString(Port));
    Sin = TSockAddrAny{};
    const int32_t r = SetVarSin(Sin, UnicodeToSysCharsetProc(IP), UnicodeToSysCharsetProc(Port), Family, PreferIP4);
    if (r == 0)
        DoStatus(THookSocketReason::HR_ResolvingEnd,
                 AsciiU(GetSinIP(Sin)) + u":" + IntU(GetSinPort(Sin)));
    return r;
}

void TBlockSocket::ReadSins() {
    (void)GetSockNameAddr(handle_, localSin_);
    (void)GetPeerNameAddr(handle_, remoteSin_);
}

void TBlockSocket::Bind(UnicodeView IP, UnicodeView Port) {
    ResetLastError();
    if (handle_ == -1 && Family == TSocketFamily::SF_Any && (IP == u"0.0.0.0" || IP == u"::0") &&
        Port == u"0")
        return;
    TSockAddrAny sin;
    lastError_ = ResolveSin(IP, Port, sin);
    if (lastError_ == 0 && handle_ == -1) InternalCreateSocket(sin);
    if (lastError_ == 0) {
        SockCheck(SnpsBind(handle_, sin));
        ReadSins();
        lineBuffer_.clear();
        isBound_ = lastError_ == 0;
    }
    ExceptCheck();
    if (lastError_ == 0) DoStatus(THookSocketReason::HR_Bind, UnicodeString(IP) + u":" + UnicodeString(Port));
}

void TBlockSocket::Connect(UnicodeView IP, UnicodeView Port) { DirectConnect(IP, Port); }

void TBlockSocket::DirectConnect(UnicodeView IP, UnicodeView Port) {
    ResetLastError();
    TSockAddrAny sin;
    lastError_ = ResolveSin(IP, Port, sin);
    if (lastError_ == 0 && handle_ == -1) InternalCreateSocket(sin);
    if (lastError_ == 0) {
        if (ConnectionTimeout < 1) {
            int r = SnpsConnect(handle_, sin);
            if (r == -1 && errno == EINTR) {
                // The connect goes on in the background; wait for its outcome.
                if (PollHandle(POLLOUT, -1)) {
                    int err = 0;
                    socklen_t el = sizeof(err);
                    (void)getsockopt(handle_, SOL_SOCKET, SO_ERROR, &err, &el);
                    lastError_ = err;
                }
            } else {
                SockCheck(r);
            }
        } else {
            const bool saved = nonBlocking_;
            SetNonBlockMode(true);
            const int r = SnpsConnect(handle_, sin);
            const int e = r == -1 ? errno : 0;
            lastError_ = e;
            if (e == EINPROGRESS || e == EAGAIN || e == EINTR) {
                lastError_ = 0;
                if (CanConnect(ConnectionTimeout)) {
                    int err = 0;
                    socklen_t el = sizeof(err);
                    (void)getsockopt(handle_, SOL_SOCKET, SO_ERROR, &err, &el);
                    lastError_ = err;
                } else if (lastError_ == 0) {
                    lastError_ = ETIMEDOUT;
                }
            }
            const int32_t keep = lastError_;
            SetNonBlockMode(saved);
            lastError_ = keep;
        }
        if (lastError_ == 0) ReadSins();
        lineBuffer_.clear();
        endedWithCR_ = false;
        endedWithLF_ = false;
    }
    ExceptCheck();
    if (lastError_ == 0) DoStatus(THookSocketReason::HR_Connect, UnicodeString(IP) + u":" + UnicodeString(Port));
}

void TBlockSocket::Listen(int32_t Backlog) {
    SockCheck(SnpsListen(handle_, Backlog));
    if (lastError_ == 0) ReadSins();
    ExceptCheck();
    if (lastError_ == 0) DoStatus(THookSocketReason::HR_Listen, u"");
}

int TBlockSocket::Accept() {
    int h;
    do {
        TSockAddrAny peer;
        h = SnpsAccept(handle_, peer);
    } while (h == -1 && errno == EINTR);
    SockCheck(h);
    ExceptCheck();
    if (h != -1) DoStatus(THookSocketReason::HR_Accept, u"");
    return h;
}

// ---------------------------------------------------------------------------------------------
// Waits.

bool TBlockSocket::PollHandle(short Events, int32_t Timeout) {
    pollfd p{};
    p.fd = handle_;
    p.events = Events;
    const uint32_t start = GetTickMs();
    int32_t left = Timeout < 0 ? -1 : Timeout;
    for (;;) {
        const int r = poll(&p, 1, left);
        if (r >= 0 || errno != EINTR) {
            SockCheck(r < 0 ? -1 : 0);
            return r > 0;
        }
        if (Timeout >= 0) {
            const uint32_t spent = GetTickMs() - start;
            left = spent >= static_cast<uint32_t>(Timeout) ? 0 : Timeout - static_cast<int32_t>(spent);
        }
    }
}

bool TBlockSocket::WaitReadable(int32_t Timeout) {
    bool ready;
    if (OnExtCanRead) {
        ResetLastError();
        int32_t err = 0;
        ready = OnExtCanRead(this, Timeout, err);
        lastError_ = err;
    } else if (HeartbeatRate > 0 && OnHeartbeat) {
        const int32_t rate = HeartbeatRate;
        ready = PollHandle(POLLIN, Timeout < 0 ? rate : Timeout % rate);
        int32_t slices = Timeout < 0 ? -1 : Timeout / rate;
        while (!ready && lastError_ == 0 && slices != 0) {
            OnHeartbeat(this);
            if (StopFlag) {
                StopFlag = false;
                break;
            }
            ready = PollHandle(POLLIN, rate);
            if (slices > 0) --slices;
        }
    } else {
        ready = PollHandle(POLLIN, Timeout);
    }
    ExceptCheck();
    if (ready) DoStatus(THookSocketReason::HR_CanRead, u"");
    return ready;
}

bool TBlockSocket::CanReadEx(int32_t Timeout) {
    if (!lineBuffer_.empty()) return true;
    return WaitReadable(Timeout);
}

bool TBlockSocket::WaitWritable(int32_t Timeout) {
    bool ready;
    if (OnExtCanWrite) {
        ResetLastError();
        int32_t err = 0;
        ready = OnExtCanWrite(this, Timeout, err);
        lastError_ = err;
    } else {
        ready = PollHandle(POLLOUT, Timeout);
    }
    ExceptCheck();
    if (ready) DoStatus(THookSocketReason::HR_CanWrite, u"");
    return ready;
}

bool TBlockSocket::CanConnect(int32_t Timeout) {
    if (OnExtCanConnect) {
        ResetLastError();
        int32_t err = 0;
        const bool ready = OnExtCanConnect(this, Timeout, err);
        lastError_ = err;
        if (err != 0) lastErrorDesc_ = GetErrorDescEx();
        return ready;
    }
    // The connect's own result comes from SO_ERROR; a wait failure alone does not raise here.
    return PollHandle(POLLOUT, Timeout);
}

bool TBlockSocket::CanAccept(int32_t Timeout) {
    if (OnExtCanAccept) {
        ResetLastError();
        int32_t err = 0;
        const bool ready = OnExtCanAccept(this, Timeout, err);
        lastError_ = err;
        return ready;
    }
    return WaitReadable(Timeout);
}

// ---------------------------------------------------------------------------------------------
// Sending.

void TBlockSocket::LimitBandwidth(int32_t Length, int32_t MaxB, uint32_t& Next) {
    if (MaxB <= 0) return;
    const uint32_t now = GetTickMs();
    const int32_t wait = static_cast<int32_t>(Next - now);
    if (wait > 0) std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    Next = GetTickMs() + static_cast<uint32_t>(static_cast<int64_t>(Length) * 1000 / MaxB);
}

int32_t TBlockSocket::SendData(const void* Buffer, int32_t Length) {
    const int32_t sent = SendDataNoCheck(Buffer, Length);
    ExceptCheck();
    return sent;
}

int32_t TBlockSocket::SendDataNoCheck(const void* Buffer, int32_t Length) {
    if (HeartbeatRate > 0 && OnHeartbeat) OnHeartbeat(this);
    ResetLastError();
    if (StopFlag) {
        StopFlag = false;
        lastError_ = ECONNABORTED;
        return 0;
    }
    if (OnMonitor) OnMonitor(this, true, Buffer, Length);
    const char* p = static_cast<const char*>(Buffer);
    const int32_t chunkMax = SendMaxChunk > 0 ? SendMaxChunk : 65536;
    int32_t sent = 0;
    bool retried = false;
    while (sent < Length) {
        const int32_t n = std::min(chunkMax, Length - sent);
        LimitBandwidth(n, MaxSendBandwidth, nextSend_);
        const ssize_t r = SnpsSend(handle_, p + sent, static_cast<size_t>(n), 0);
        if (r < 0) {
            const int e = errno;
            if (e == EINTR) continue;
            if (e == EAGAIN && !retried) {
                // A full non-blocking socket: wait for room once, then try the piece again.
                retried = true;
                if (WaitWritable(NonblockSendTimeout)) continue;
                if (lastError_ == 0) lastError_ = ETIMEDOUT;
                break;
            }
            lastError_ = e == EAGAIN ? ETIMEDOUT : e;
            break;
        }
        retried = false;
        sent += static_cast<int32_t>(r);
        sendCounter_ += static_cast<uint64_t>(r);
        DoStatus(THookSocketReason::HR_WriteCount, IntU(r));
    }
    return sent;
}

void TBlockSocket::SendString(AnsiView Data) { SendData(Data.data(), static_cast<int32_t>(Data.size())); }

// ---------------------------------------------------------------------------------------------
// Receiving.

int32_t TBlockSocket::BytesWaiting() {
    int n = 0;
    if (ioctl(handle_, FIONREAD, &n) == -1) return 0;
    return n;
}

int32_t TBlockSocket::ReceiveBuffer(void* Buffer, int32_t Length) {
    LimitBandwidth(Length, MaxRecvBandwidth, nextRecv_);
    ssize_t r;
    do {
        r = SnpsRecv(handle_, Buffer, static_cast<size_t>(Length), 0);
    } while (r < 0 && errno == EINTR);
    if (r == 0) {
        lastError_ = ECONNRESET;
    } else {
        SockCheck(r < 0 ? -1 : 0);
    }
    ExceptCheck();
    if (r <= 0) return 0;
    recvCounter_ += static_cast<uint64_t>(r);
    DoStatus(THookSocketReason::HR_ReadCount, IntU(r));
    if (OnMonitor) OnMonitor(this, false, Buffer, static_cast<int32_t>(r));
    return static_cast<int32_t>(r);
}

AnsiString TBlockSocket::ReceivePacketNoCheck(int32_t Timeout) {
    ResetLastError();
    AnsiString result;
    if (!lineBuffer_.empty()) {
        result.swap(lineBuffer_);
        return result;
    }
    int32_t x = BytesWaiting();
    if (x == 0) {
        // Errors must not raise here: the collecting readers put their bytes back first.
        const bool raise = RaiseExcept;
        RaiseExcept = false;
        const bool ready = WaitReadable(Timeout);
        if (ready) {
            x = BytesWaiting();
            if (x == 0) lastError_ = ECONNRESET;
        } else if (lastError_ == 0) {
            lastError_ = ETIMEDOUT;
        }
        RaiseExcept = raise;
    }
    if (x > 0 && lastError_ == 0) {
        if (x > 65536) x = 65536;
        result.resize(static_cast<size_t>(x));
        const bool raise = RaiseExcept;
        RaiseExcept = false;
        const int32_t got = ReceiveBuffer(result.data(), x);
        RaiseExcept = raise;
        result.resize(static_cast<size_t>(got));
        if (OnReadFilter && !result.empty()) OnReadFilter(this, result);
    }
    if (ConvertLineEnd && !result.empty()) {
        if ((endedWithCR_ && result[0] == '\n') || (endedWithLF_ && result[0] == '\r')) result.erase(0, 1);
        endedWithCR_ = false;
        endedWithLF_ = false;
    }
    return result;
}

AnsiString TBlockSocket::ReceivePacket(int32_t Timeout) {
    AnsiString result = ReceivePacketNoCheck(Timeout);
    ExceptCheck();
    return result;
}

AnsiString TBlockSocket::RecvTerminated(int32_t Timeout, AnsiView Terminator) {
    AnsiString result = RecvTerminatedNoCheck(Timeout, Terminator);
    ExceptCheck();
    return result;
}

AnsiString TBlockSocket::RecvTerminatedNoCheck(int32_t Timeout, AnsiView Terminator) {
    ResetLastError();
    if (Terminator.empty()) return {};
    const size_t bound = static_cast<size_t>(MaxLineLength > 0 ? MaxLineLength : kDefaultMaxLineLength);
    const bool crlfConvert = ConvertLineEnd && Terminator == "\r\n";
    AnsiString collected;
    size_t lineEnd = AnsiString::npos;
    size_t termLen = Terminator.size();
    size_t scanned = 0;  // bytes already searched for a line end
    int32_t left = Timeout;
    for (;;) {
        const uint32_t t0 = GetTickMs();
        collected += ReceivePacketNoCheck(left);
        if (lastError_ != 0) break;
        if (crlfConvert) {
            const size_t p = collected.find_first_of("\r\n", scanned);
            if (p != AnsiString::npos) {
                lineEnd = p;
                const char c = collected[p];
                const char other = c == '\r' ? '\n' : '\r';
                if (p + 1 < collected.size() && collected[p + 1] == other) {
                    termLen = 2;
                } else {
                    // A lone CR or LF; its partner may still follow in the next packet.
                    termLen = 1;
                    endedWithCR_ = c == '\r';
                    endedWithLF_ = c == '\n';
                }
            }
        } else {
            lineEnd = collected.find(Terminator, scanned);
        }
        const size_t lineLen = lineEnd != AnsiString::npos ? lineEnd : collected.size();
        // Without a line end the last bytes may be the start of the terminator.
        const size_t slack = lineEnd != AnsiString::npos ? 0 : Terminator.size() - 1;
        if (lineLen > bound + slack) {
            lastError_ = ENOBUFS;
            lineEnd = AnsiString::npos;
            break;
        }
        if (lineEnd != AnsiString::npos) break;
        scanned = collected.size() >= Terminator.size() ? collected.size() - Terminator.size() + 1 : 0;
        if (!InterPacketTimeout && Timeout >= 0) {
            left -= static_cast<int32_t>(GetTickMs() - t0);
            if (left < 1) {
                lastError_ = ETIMEDOUT;
                break;
            }
        }
    }
    AnsiString result;
    if (lineEnd != AnsiString::npos && lastError_ == 0) {
        result = collected.substr(0, lineEnd);
        collected.erase(0, lineEnd + termLen);
        if (!crlfConvert || termLen == 2) {
            endedWithCR_ = false;
            endedWithLF_ = false;
        }
    }
    // What follows the line (or everything, after a failure) is kept for the next read.
    collected += lineBuffer_;
    lineBuffer_.swap(collected);
    return result;
}

AnsiString TBlockSocket::RecvString(int32_t Timeout) { return RecvTerminated(Timeout, "\r\n"); }

AnsiString TBlockSocket::ReceiveExact(int32_t Length, int32_t Timeout) {
    AnsiString result = ReceiveExactNoCheck(Length, Timeout);
    ExceptCheck();
    return result;
}

AnsiString TBlockSocket::ReceiveExactNoCheck(int32_t Length, int32_t Timeout) {
    ResetLastError();
    AnsiString collected;
    const uint32_t start = GetTickMs();
    while (static_cast<int32_t>(collected.size()) < Length) {
        int32_t left = Timeout;
        if (Timeout >= 0) {
            const uint32_t spent = GetTickMs() - start;
            if (spent >= static_cast<uint32_t>(Timeout)) {
                lastError_ = ETIMEDOUT;
                break;
            }
            left = Timeout - static_cast<int32_t>(spent);
        }
        collected += ReceivePacketNoCheck(left);
        if (lastError_ != 0) break;
    }
    AnsiString result;
    if (lastError_ == 0) {
        result = collected.substr(0, static_cast<size_t>(Length));
        collected.erase(0, static_cast<size_t>(Length));
    }
    collected += lineBuffer_;
    lineBuffer_.swap(collected);
    return result;
}

int32_t TBlockSocket::TimeLeft(uint32_t Start, int32_t Timeout) {
    if (Timeout < 0) return -1;
    const uint32_t spent = GetTickMs() - Start;
    return spent >= static_cast<uint32_t>(Timeout) ? 0 : Timeout - static_cast<int32_t>(spent);
}

// Waits for input before the deadline; false with LastError set when none comes.
bool TBlockSocket::WaitInputUntil(uint32_t Start, int32_t Timeout) {
    const int32_t left = TimeLeft(Start, Timeout);
    if (left == 0) {
        lastError_ = ETIMEDOUT;
        return false;
    }
    if (WaitReadable(left)) return true;
    if (lastError_ == 0) lastError_ = ETIMEDOUT;
    return false;
}

AnsiString TBlockSocket::RecvExactUntil(int32_t Length, uint32_t Start, int32_t Timeout) {
    TNoRaise quiet(RaiseExcept);
    ResetLastError();
    const size_t want = static_cast<size_t>(Length > 0 ? Length : 0);
    AnsiString got = lineBuffer_.substr(0, want);
    lineBuffer_.erase(0, got.size());
    char buf[4096];
    while (got.size() < want) {
        if (!WaitInputUntil(Start, Timeout)) break;
        const int32_t r = ReceiveBuffer(buf, static_cast<int32_t>(std::min(sizeof(buf), want - got.size())));
        if (lastError_ != 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    if (lastError_ == 0) return got;
    // What came stays for the next read, as with the other readers.
    lineBuffer_.insert(0, got);
    return {};
}

AnsiString TBlockSocket::RecvLineUntil(uint32_t Start, int32_t Timeout, int32_t MaxLength) {
    TNoRaise quiet(RaiseExcept);
    ResetLastError();
    const size_t bound = static_cast<size_t>(MaxLength > 0 ? MaxLength : 0);
    AnsiString line;
    const size_t inBuffer = lineBuffer_.find('\n');
    if (inBuffer != AnsiString::npos && inBuffer <= bound) {
        line = lineBuffer_.substr(0, inBuffer);
        lineBuffer_.erase(0, inBuffer + 1);
        return line;
    }
    line.swap(lineBuffer_);
    char buf[4096];
    for (;;) {
        if (line.size() > bound) {
            lastError_ = ENOBUFS;
            break;
        }
        if (!WaitInputUntil(Start, Timeout)) break;
        // A look first, then exactly the bytes up to the line feed: nothing behind it is taken.
        const size_t room = std::min(sizeof(buf), bound + 1 - line.size());
        ssize_t n;
        do {
            n = SnpsRecv(handle_, buf, room, MSG_PEEK);
        } while (n < 0 && errno == EINTR);
        if (n == 0) {
            lastError_ = ECONNRESET;
            break;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            SockCheck(-1);
            break;
        }
        const char* lf = static_cast<const char*>(memchr(buf, '\n', static_cast<size_t>(n)));
        const int32_t take = lf ? static_cast<int32_t>(lf - buf + 1) : static_cast<int32_t>(n);
        const int32_t r = ReceiveBuffer(buf, take);
        if (lastError_ != 0) break;
        line.append(buf, static_cast<size_t>(r));
        if (r == take && lf) {
            line.pop_back();
            if (line.size() > bound) {
                lastError_ = ENOBUFS;
                break;
            }
            return line;
        }
    }
    lineBuffer_ = std::move(line);
    return {};
}

// ---------------------------------------------------------------------------------------------
// Addresses.

AnsiString TBlockSocket::GetLocalSinIP() { return GetSinIP(localSin_); }
AnsiString TBlockSocket::GetRemoteSinIP() { return GetSinIP(remoteSin_); }
int32_t TBlockSocket::GetLocalSinPort() { return GetSinPort(localSin_); }
int32_t TBlockSocket::GetRemoteSinPort() { return GetSinPort(remoteSin_); }

// ---------------------------------------------------------------------------------------------
// SOCKS client.

namespace {

// The longest text that a SOCKS5 length byte can announce.
constexpr size_t kSocksMaxText = 255;

int Byte(char c) { return static_cast<uint8_t>(c); }

AnsiString Byte1(uint8_t b) { return AnsiString(1, static_cast<char>(b)); }

// The meaning of a refusing SOCKS reply code, where the protocol names it; nullptr elsewhere.
const char* SocksReplyMeaning(bool Socks4, int Code) {
    static constexpr const char* kSocks5[] = {
        nullptr,
        "general SOCKS server failure",
        "connection not allowed by ruleset",
        "network unreachable",
        "host unreachable",
        "connection refused",
        "TTL expired",
        "command not supported",
        "address type not supported",
    };
    static constexpr const char* kSocks4[] = {"request rejected or failed", "no identd on the client",
                                              "user id refused by identd"};
    if (Socks4) return Code >= 91 && Code <= 93 ? kSocks4[Code - 91] : nullptr;
    return Code > 0 && Code < 9 ? kSocks5[Code] : nullptr;
}

// A refusing SOCKS answer as the operator reads it: what, its number and its meaning.
AnsiString SocksAnswerText(const char* What, int Code, const char* Meaning) {
    AnsiString t = AnsiString(What) + " " + std::to_string(Code);
    if (Meaning != nullptr) t += AnsiString(" (") + Meaning + ")";
    return t;
}

}  // namespace

UnicodeString TSocksBlockSocket::SocksResponseIP() const { return SysCharsetToUnicodeProc(socksResponseIP_); }
UnicodeString TSocksBlockSocket::SocksResponsePort() const { return SysCharsetToUnicodeProc(socksResponsePort_); }

bool TSocksBlockSocket::SocksOpen(AnsiView User, AnsiView Pass) {
    usingSocks_ = false;
    if (SocksType == TSocksType::ST_Socks4) {
        usingSocks_ = true;
        return true;
    }
    const bool withAuth = !User.empty();
    const AnsiString greeting = withAuth ? AnsiString("\x05\x02\x00\x02", 4) : AnsiString("\x05\x01\x00", 3);
    SendDataNoCheck(greeting.data(), static_cast<int32_t>(greeting.size()));
    if (lastError_ != 0) return false;
    const AnsiString answer = RecvExactUntil(2, socksStart_, SocksTimeout);
    if (lastError_ != 0 || answer[0] != '\x05') return false;
    if (answer[1] == '\x02' && withAuth) {
        // RFC 1929 user and password.
        AnsiString auth = "\x01";
        auth += Byte1(static_cast<uint8_t>(User.size()));
        auth += User;
        auth += Byte1(static_cast<uint8_t>(Pass.size()));
        auth += Pass;
        SendDataNoCheck(auth.data(), static_cast<int32_t>(auth.size()));
        if (lastError_ != 0) return false;
        const AnsiString status = RecvExactUntil(2, socksStart_, SocksTimeout);
        if (lastError_ != 0) return false;
        if (status[1] != '\x00') {
            proxyAnswer_ = SocksAnswerText("SOCKS5 authentication status", Byte(status[1]),
                                           "user name or password refused");
            return false;
        }
    } else if (answer[1] != '\x00') {
        // 0xFF (no acceptable method), or a method that was not offered.
        proxyAnswer_ = SocksAnswerText("SOCKS5 method", Byte(answer[1]),
                                       answer[1] == '\xFF' ? "no acceptable method" : "not offered");
        return false;
    }
    usingSocks_ = true;
    return true;
}

bool TSocksBlockSocket::SocksRequest(uint8_t Cmd, AnsiView Host, uint16_t Port, AnsiView User) {
    AnsiString req;
    if (SocksType == TSocksType::ST_Socks4) {
        req = "\x04" + Byte1(Cmd) + CodeInt(Port);
        if (IsIP(Host)) {
            req += IPToID(Host);
            req += User;
            req += '\0';
        } else {
            // SOCKS4a: the invalid address 0.0.0.1 asks the proxy to resolve the name.
            req += AnsiString("\x00\x00\x00\x01", 4);
            req += User;
            req += '\0';
            req += Host;
            req += '\0';
        }
    } else {
        req = "\x05" + Byte1(Cmd) + AnsiString(1, '\0');
        if (IsIP(Host)) {
            req += "\x01" + IPToID(Host);
        } else if (IsIP6(Host)) {
            const TIp6Bytes b = StrToIp6(Host);
            req += "\x04";
            req.append(reinterpret_cast<const char*>(b.data()), b.size());
        } else {
            req += "\x03" + Byte1(static_cast<uint8_t>(Host.size()));
            req += Host;
        }
        req += CodeInt(Port);
    }
    SendDataNoCheck(req.data(), static_cast<int32_t>(req.size()));
    return lastError_ == 0;
}

bool TSocksBlockSocket::SocksResponse() {
    socksResponseIP_.clear();
    socksResponsePort_ = "0";
    if (SocksType == TSocksType::ST_Socks4) {
        const AnsiString r = RecvExactUntil(8, socksStart_, SocksTimeout);
        if (lastError_ != 0 || r[0] != '\x00') return false;
        socksLastError_ = Byte(r[1]);
        socksResponsePort_ = std::to_string(DecodeInt(r, 2));
        socksResponseIP_ = Ip4ToStr(reinterpret_cast<const uint8_t*>(r.data() + 4));
        if (socksLastError_ != 90)
            proxyAnswer_ = SocksAnswerText("SOCKS4 reply", socksLastError_, SocksReplyMeaning(true, socksLastError_));
        return socksLastError_ == 90;
    }
    const AnsiString head = RecvExactUntil(4, socksStart_, SocksTimeout);
    if (lastError_ != 0 || head[0] != '\x05') return false;
    socksLastError_ = Byte(head[1]);
    // A refusal may come with an address part the proxy leaves out: its code is known already.
    if (socksLastError_ != 0)
        proxyAnswer_ = SocksAnswerText("SOCKS5 reply", socksLastError_, SocksReplyMeaning(false, socksLastError_));
    AnsiString addr;
    AnsiString ip;
    switch (Byte(head[3])) {
        case 1:
            addr = RecvExactUntil(4, socksStart_, SocksTimeout);
            if (lastError_ == 0) ip = Ip4ToStr(reinterpret_cast<const uint8_t*>(addr.data()));
            break;
        case 3: {
            const AnsiString len = RecvExactUntil(1, socksStart_, SocksTimeout);
            if (lastError_ == 0 && Byte(len[0]) > 0) ip = RecvExactUntil(Byte(len[0]), socksStart_, SocksTimeout);
            break;
        }
        case 4: {
            addr = RecvExactUntil(16, socksStart_, SocksTimeout);
            if (lastError_ == 0) {
                TIp6Bytes b{};
                std::copy(addr.begin(), addr.end(), b.begin());
                ip = Ip6ToStr(b);
            }
            break;
        }
        default: return false;
    }
    if (lastError_ != 0) return false;
    const AnsiString port = RecvExactUntil(2, socksStart_, SocksTimeout);
    if (lastError_ != 0) return false;
    socksResponseIP_ = ip;
    socksResponsePort_ = std::to_string(DecodeInt(port, 0));
    return socksLastError_ == 0;
}

void TSocksBlockSocket::SocksDoConnect(UnicodeView IP, UnicodeView Port) {
    usingSocks_ = false;
    socksLastError_ = -1;
    socksResponseIP_.clear();
    socksResponsePort_ = "0";
    ResetLastError();
    const bool socks4 = SocksType == TSocksType::ST_Socks4;
    // A name the proxy resolves goes in its international ASCII form, as to an HTTP proxy.
    AnsiString host = SocksResolver ? IDNToASCII(IP) : UnicodeToSysCharsetProc(IP);
    const AnsiString user = UnicodeToSysCharsetProc(SocksUsername);
    const AnsiString pass = UnicodeToSysCharsetProc(SocksPassword);
    if (!SocksResolver && !IsIP(host) && !(IsIP6(host) && !socks4)) {
        TSockAddrAny sin{};
        // SOCKS4 carries IPv4 addresses only.
        lastError_ = SetVarSin(sin, host, "0", socks4 ? TSocketFamily::SF_IP4 : Family, PreferIP4);
        if (lastError_ == 0) host = GetSinIP(sin);
    }
    // A length byte holds only 255, and a SOCKS4 text ends at its first zero byte: refuse what
    // the proxy would misread, before anything goes out.
    if (lastError_ == 0) {
        const bool tooLong = host.size() > kSocksMaxText || user.size() > kSocksMaxText ||
                             (!socks4 && pass.size() > kSocksMaxText);
        const bool zero = socks4 && (host.find('\0') != AnsiString::npos || user.find('\0') != AnsiString::npos);
        if (tooLong || zero) lastError_ = EMSGSIZE;
    }
    if (lastError_ != 0) {
        ExceptCheck();
        return;
    }
    DirectConnect(SocksIP, SocksPort);
    if (lastError_ != 0) return;
    // One deadline for the whole exchange: a proxy that trickles its answers cannot stretch it.
    socksStart_ = GetTickMs();
    const uint16_t port = ResolvePort(UnicodeToSysCharsetProc(Port));
    {
        TNoRaise quiet(RaiseExcept);
        const bool ok = SocksOpen(user, pass) && SocksRequest(1, host, port, user) && SocksResponse();
        if (!ok) {
            usingSocks_ = false;
            if (lastError_ == 0) lastError_ = WSASYSNOTREADY;
        }
    }
    if (lastError_ == 0) {
        socksRemoteIP_ = UnicodeToSysCharsetProc(IP);
        socksRemotePort_ = port;
    }
    ExceptCheck();
    if (lastError_ == 0) DoStatus(THookSocketReason::HR_Connect, UnicodeString(IP) + u":" + UnicodeString(Port));
}

// ---------------------------------------------------------------------------------------------
// TTCPBlockSocket.

TTCPBlockSocket::~TTCPBlockSocket() {
    try {
        if (handle_ != -1) CloseSocket();
    } catch (...) {
    }
}

void TTCPBlockSocket::CloseSocket() {
    if (handle_ != -1 && lastError_ == 0) {
        // Half-close so that the peer sees our end of data, and read what it had already sent
        // so that the close does not turn into a reset.
        (void)SnpsShutdown(handle_, SHUT_WR);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        char buf[4096];
        for (int i = 0; i < 64; ++i) {
            const ssize_t r = recv(handle_, buf, sizeof(buf), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (r <= 0) break;
        }
        ResetLastError();
    }
    usingSocks_ = false;
    httpTunnel_ = false;
    InternalClose();
}

void TTCPBlockSocket::Connect(UnicodeView IP, UnicodeView Port) {
    usingSocks_ = false;
    httpTunnel_ = false;
    proxyAnswer_.clear();
    if (!SocksIP.empty()) SocksDoConnect(IP, Port);
    else if (!HTTPTunnelIP.empty()) HTTPTunnelDoConnect(IP, Port);
    else DirectConnect(IP, Port);
    if (lastError_ == 0 && OnAfterConnect) OnAfterConnect(this);
}

void TTCPBlockSocket::HTTPTunnelDoConnect(UnicodeView IP, UnicodeView Port) {
    {
        // The connect to the proxy reports its events to the tunnel's own handler.
        struct TSwap {
            TStatusEvent& a;
            TStatusEvent& b;
            TSwap(TStatusEvent& x, TStatusEvent& y) : a(x), b(y) { std::swap(a, b); }
            ~TSwap() { std::swap(a, b); }
        } swap(OnStatus, OnHTTPTunnelStatus);
        DirectConnect(HTTPTunnelIP, HTTPTunnelPort);
    }
    if (lastError_ != 0) return;
    httpTunnel_ = false;
    UnicodeString hostU(IP);
    if (IsIP6U(hostU)) hostU = u"[" + hostU + u"]";
    DoStatus(THookSocketReason::HR_ResolvingBegin, hostU);
    const uint16_t port = ResolvePort(UnicodeToSysCharsetProc(Port));
    // One deadline for the whole answer: a proxy that trickles lines cannot stretch it.
    const uint32_t start = GetTickMs();
    {
        TNoRaise quiet(RaiseExcept);
        HTTPTunnelSendRequest(hostU, port);
        int32_t code = -1;
        AnsiString statusLine;
        if (lastError_ == 0 && HTTPTunnelReadStatus(start, code, statusLine)) {
            if (code >= 200 && code <= 299) {
                HTTPTunnelReadHeaders(start);
            } else {
                proxyAnswer_ = statusLine;
                lastError_ = ECONNREFUSED;
                if (code != 504 && OnHTTPTunnelStatus)
                    OnHTTPTunnelStatus(this, THookSocketReason::HR_Error, IntU(lastError_) + u"," + GetErrorDescEx());
            }
        }
    }
    if (lastError_ == 0) {
        httpTunnel_ = true;
        httpRemoteIP_ = UnicodeToSysCharsetProc(IP);
        httpRemotePort_ = port;
    }
    ExceptCheck();
    if (lastError_ == 0) DoStatus(THookSocketReason::HR_Connect, UnicodeString(IP) + u":" + UnicodeString(Port));
}

void TTCPBlockSocket::HTTPTunnelSendRequest(const UnicodeString& Host, uint16_t Port) {
    const auto sendText = [&](const AnsiString& t) {
        if (lastError_ == 0) SendDataNoCheck(t.data(), static_cast<int32_t>(t.size()));
    };
    sendText("CONNECT " + IDNToASCII(Host) + ":" + std::to_string(Port) + " HTTP/1.0\r\n");
    if (!HTTPTunnelUser.empty())
        sendText("Proxy-Authorization: Basic " +
                 EncodeBase64(UnicodeToSysCharsetProc(HTTPTunnelUser) + ":" + UnicodeToSysCharsetProc(HTTPTunnelPass)) +
                 "\r\n");
    sendText("\r\n");
}

bool TTCPBlockSocket::HTTPTunnelReadStatus(uint32_t Start, int32_t& Code, AnsiString& Line) {
    Line = TrimA(RecvLineUntil(Start, HTTPTunnelTimeout, kHTTPTunnelMaxLine));
    if (lastError_ != 0) return false;
    DoStatus(THookSocketReason::HR_ResolvingEnd, u"");
    Code = -1;
    if (Line.size() > 11 && Line.compare(0, 5, "HTTP/") == 0) {
        const char* d = Line.data() + 9;
        const auto dig = [](char c) { return c >= '0' && c <= '9'; };
        if (dig(d[0]) && dig(d[1]) && dig(d[2])) Code = (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
    }
    if (OnHTTPTunnelConnectAnswer)
        OnHTTPTunnelConnectAnswer(this, Code,
                                  SysCharsetToUnicodeProc(Line.size() > 12 ? TrimA(AnsiView(Line).substr(12)) : AnsiString()));
    return true;
}

void TTCPBlockSocket::HTTPTunnelReadHeaders(uint32_t Start) {
    // A read error or an overlong answer fails the connect: the target's bytes would be mixed
    // with the proxy's.
    for (int32_t n = 0;; ++n) {
        const AnsiString h = TrimA(RecvLineUntil(Start, HTTPTunnelTimeout, kHTTPTunnelMaxLine));
        if (lastError_ != 0 || h.empty()) return;
        if (n >= kHTTPTunnelMaxHeaders) {
            lastError_ = ENOBUFS;
            return;
        }
    }
}

AnsiString TTCPBlockSocket::GetLocalSinIP() {
    return usingSocks_ ? socksResponseIP_ : TBlockSocket::GetLocalSinIP();
}

int32_t TTCPBlockSocket::GetLocalSinPort() {
    return usingSocks_ ? static_cast<int32_t>(ResolvePort(socksResponsePort_)) : TBlockSocket::GetLocalSinPort();
}

AnsiString TTCPBlockSocket::GetRemoteSinIP() {
    if (usingSocks_) return socksRemoteIP_;
    if (httpTunnel_) return httpRemoteIP_;
    return TBlockSocket::GetRemoteSinIP();
}

int32_t TTCPBlockSocket::GetRemoteSinPort() {
    if (usingSocks_) return socksRemotePort_;
    if (httpTunnel_) return httpRemotePort_;
    return TBlockSocket::GetRemoteSinPort();
}

}  // namespace zel
