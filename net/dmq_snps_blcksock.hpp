#pragma once
// Blocking TCP socket classes: TBlockSocket (delayed options, waits, line buffer, status events,
// error texts), TSocksBlockSocket (SOCKS4/4a/5 client) and TTCPBlockSocket (HTTP CONNECT tunnel).
//
// Every operation leaves LastError (0, an errno value or a negative code of the error table)
// and LastErrorDesc; a failure raises ESynapseError only while RaiseExcept is set.
// Waits use poll (handles may lie above 1023) unless the owner installs a wait hook.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_addr.hpp"

namespace zel {

class ESynapseError : public Exception {
public:
    ESynapseError(std::string message, int32_t errorCode = 0, UnicodeString errorMessage = {})
        : Exception(std::move(message)), ErrorCode(errorCode), ErrorMessage(std::move(errorMessage)) {}
    const char* ClassName() const noexcept override { return "ESynapseError"; }

    int32_t ErrorCode;
    UnicodeString ErrorMessage;
};

enum class THookSocketReason : uint8_t {
    HR_ResolvingBegin,
    HR_ResolvingEnd,
    HR_SocketCreate,
    HR_SocketClose,
    HR_Bind,
    HR_Connect,
    HR_CanRead,
    HR_CanWrite,
    HR_Listen,
    HR_Accept,
    HR_ReadCount,
    HR_WriteCount,
    HR_Wait,
    HR_Error
};

enum class TSocksType : uint8_t { ST_Socks5, ST_Socks4 };

// A socket option that is applied when (or as soon as) the handle exists.
struct TSynaOption {
    uint8_t Kind = 0;
    bool Enabled = false;
    int32_t Value = 0;
};

// Option kinds of TSynaOption.
constexpr uint8_t SOT_Linger = 0;
constexpr uint8_t SOT_RecvBuff = 1;
constexpr uint8_t SOT_SendBuff = 2;
constexpr uint8_t SOT_NonBlock = 3;
constexpr uint8_t SOT_RecvTimeout = 4;
constexpr uint8_t SOT_SendTimeout = 5;
constexpr uint8_t SOT_NoDelay = 6;
constexpr uint8_t SOT_Reuse = 7;
constexpr uint8_t SOT_TTL = 8;
constexpr uint8_t SOT_Broadcast = 9;
constexpr uint8_t SOT_MulticastTTL = 10;
constexpr uint8_t SOT_MulticastLoop = 11;
constexpr uint8_t SOT_IPv6Only = 12;
constexpr uint8_t SOT_TOS = 13;

// Error codes of the socket layer that are not errno values.
constexpr int32_t WSASYSNOTREADY = -2;
// Failure of a SOCKS bind negotiation (the connect form reports WSASYSNOTREADY).
constexpr int32_t SOCKS_BIND_FAILED = 3;

// Longest line RecvTerminated collects when MaxLineLength is 0, so that a peer that never
// sends a line end cannot make the buffer grow without bound.
constexpr int32_t kDefaultMaxLineLength = 65536;

class TBlockSocket {
public:
    using TStatusEvent = std::function<void(TBlockSocket* Sender, THookSocketReason Reason, const UnicodeString& Value)>;
    // Replaces a wait: Timeout in ms (-1 = no limit); may set LastError; returns ready.
    using TExtWaitEvent = std::function<bool(TBlockSocket* Sender, int32_t Timeout, int32_t& LastError)>;
    using TSocketCreatedEvent = std::function<void(TBlockSocket* Sender, int Handle)>;
    using TReadFilterEvent = std::function<void(TBlockSocket* Sender, AnsiString& Data)>;
    using TNotifyEvent = std::function<void(TBlockSocket* Sender)>;
    using TMonitorEvent = std::function<void(TBlockSocket* Sender, bool Writing, const void* Buffer, int32_t Length)>;

    TBlockSocket();
    virtual ~TBlockSocket();
    TBlockSocket(const TBlockSocket&) = delete;
    TBlockSocket& operator=(const TBlockSocket&) = delete;

    // Properties.
    int32_t Tag = 0;
    bool RaiseExcept = true;
    int32_t MaxLineLength = 0;
    int32_t MaxSendBandwidth = 0;
    int32_t MaxRecvBandwidth = 0;
    bool ConvertLineEnd = false;
    TSocketFamily Family = TSocketFamily::SF_Any;
    bool PreferIP4 = true;
    bool InterPacketTimeout = true;
    int32_t SendMaxChunk = 65536;
    bool StopFlag = false;
    int32_t NonblockSendTimeout = 15000;
    int32_t ConnectionTimeout = 0;
    int32_t HeartbeatRate = 0;
    void* Owner = nullptr;
    TStatusEvent OnStatus;
    TExtWaitEvent OnExtCanRead;
    TExtWaitEvent OnExtCanWrite;
    TExtWaitEvent OnExtCanAccept;
    TExtWaitEvent OnExtCanConnect;
    TSocketCreatedEvent OnExtSocketCreated;
    TReadFilterEvent OnReadFilter;
    TNotifyEvent OnCreateSocket;
    TMonitorEvent OnMonitor;
    TNotifyEvent OnHeartbeat;

    void SetMaxBandwidth(int32_t Value) { MaxSendBandwidth = Value; MaxRecvBandwidth = Value; }

    int Handle() const noexcept { return handle_; }
    int32_t LastError() const noexcept { return lastError_; }
    const UnicodeString& LastErrorDesc() const noexcept { return lastErrorDesc_; }
    bool NonBlocking() const noexcept { return nonBlocking_; }
    bool NoDelayOn() const noexcept { return noDelayOn_; }
    bool IsBound() const noexcept { return isBound_; }
    bool EndedWithCR() const noexcept { return endedWithCR_; }
    bool EndedWithLF() const noexcept { return endedWithLF_; }
    bool IP6Used() const noexcept { return ip6Used_; }
    uint64_t RecvCounter() const noexcept { return recvCounter_; }
    uint64_t SendCounter() const noexcept { return sendCounter_; }
    // Bytes received and not yet consumed.
    const AnsiString& LineBuffer() const noexcept { return lineBuffer_; }

    // Binds to IP and Port (a number or a service name); creates the socket when needed.
    void Bind(UnicodeView IP, UnicodeView Port);
    virtual void Connect(UnicodeView IP, UnicodeView Port);
    virtual void Listen(int32_t Backlog);
    // The accepted handle (close-on-exec), or -1 with LastError set.
    virtual int Accept();
    virtual void CloseSocket();

    // Sends all of Buffer, looping on partial sends; returns the bytes sent.
    virtual int32_t SendData(const void* Buffer, int32_t Length);
    virtual void SendString(AnsiView Data);
    // One recv into Buffer; returns the bytes read (0 with LastError set on failure).
    virtual int32_t ReceiveBuffer(void* Buffer, int32_t Length);
    // Exactly Length bytes within Timeout ms; the empty text on failure (what was read stays
    // in the line buffer).
    virtual AnsiString ReceiveExact(int32_t Length, int32_t Timeout);
    virtual AnsiString RecvString(int32_t Timeout);
    virtual AnsiString RecvTerminated(int32_t Timeout, AnsiView Terminator);
    virtual AnsiString ReceivePacket(int32_t Timeout);
    virtual int32_t BytesWaiting();

    // For a system call result of -1: LastError := errno. Returns LastError.
    int32_t SockCheck(int SockResult);

    virtual AnsiString GetLocalSinIP();
    virtual AnsiString GetRemoteSinIP();
    virtual int32_t GetLocalSinPort();
    virtual int32_t GetRemoteSinPort();

    virtual bool WaitReadable(int32_t Timeout);
    // Ready at once when the line buffer holds data.
    bool CanReadEx(int32_t Timeout);
    virtual bool WaitWritable(int32_t Timeout);
    virtual bool CanConnect(int32_t Timeout);
    bool CanAccept(int32_t Timeout);

    void ResetLastError() { lastError_ = 0; lastErrorDesc_.clear(); }
    virtual UnicodeString GetErrorDescEx();
    static AnsiString GetErrorDesc(int32_t Code);

    // Delayed options (applied now when the handle exists, else right after its creation).
    void SetLinger(bool Enable, int32_t Linger);
    void SetNonBlockMode(bool Value);
    void EnableReuse(bool Value);
    void EnableNoDelay(bool Value);
    void EnableV6Only(bool Value);
    void SetSizeRecvBuffer(int32_t Size);
    void SetSizeSendBuffer(int32_t Size);
    void SetRecvTimeout(int32_t Milliseconds);
    void SetSendTimeout(int32_t Milliseconds);
    void SetTTL(int32_t TTL);
    void EnableBroadcast(bool Value);
    void SetMulticastTTL(int32_t TTL);
    void EnableMulticastLoop(bool Value);
    void SetTOS(int32_t TOS);

protected:
    // The error check after every public operation: fills LastErrorDesc, reports HR_Error and
    // raises while RaiseExcept is set.
    void ExceptCheck();
    void DoStatus(THookSocketReason Reason, const UnicodeString& Value);
    // Turns IP and Port into a socket address by Family and PreferIP4; 0 or an error code.
    int32_t ResolveSin(UnicodeView IP, UnicodeView Port, TSockAddrAny& Sin);
    // Creates the handle for Sin's family; LastError set on failure.
    void InternalCreateSocket(const TSockAddrAny& Sin);
    void InternalClose();
    // The direct connect of TBlockSocket, without the tunnels of the derived classes.
    void DirectConnect(UnicodeView IP, UnicodeView Port);
    // The operations without their closing error check, for the readers and the tunnels that
    // report one outcome for several steps.
    AnsiString ReceivePacketNoCheck(int32_t Timeout);
    AnsiString ReceiveExactNoCheck(int32_t Length, int32_t Timeout);
    AnsiString RecvTerminatedNoCheck(int32_t Timeout, AnsiView Terminator);
    int32_t SendDataNoCheck(const void* Buffer, int32_t Length);
    // Milliseconds left of Timeout since the tick Start: -1 without a limit (Timeout < 0), 0 once
    // it has run out.
    static int32_t TimeLeft(uint32_t Start, int32_t Timeout);
    bool WaitInputUntil(uint32_t Start, int32_t Timeout);
    // Readers for the tunnels' negotiations, with one deadline (Timeout ms from the tick Start)
    // for the whole exchange. They never take a byte beyond what they return: the target's first
    // bytes stay in the socket for its user, who may read it without this class. Never raise;
    // on failure the empty text, LastError set and the bytes read kept in the line buffer.
    // Exactly Length bytes.
    AnsiString RecvExactUntil(int32_t Length, uint32_t Start, int32_t Timeout);
    // The bytes before the next line feed; ENOBUFS when more than MaxLength come before it.
    AnsiString RecvLineUntil(uint32_t Start, int32_t Timeout, int32_t MaxLength);
    void ReadSins();
    void LimitBandwidth(int32_t Length, int32_t MaxB, uint32_t& Next);
    // Readiness of the handle for events (POLLIN/POLLOUT) within Timeout ms (-1 no limit).
    bool PollHandle(short Events, int32_t Timeout);
    void DelayedOption(const TSynaOption& Option);
    void ProcessDelayedOption(const TSynaOption& Option);

    int handle_ = -1;
    int32_t lastError_ = 0;
    UnicodeString lastErrorDesc_;
    AnsiString lineBuffer_;
    bool nonBlocking_ = false;
    bool noDelayOn_ = false;
    bool isBound_ = false;
    bool endedWithCR_ = false;
    bool endedWithLF_ = false;
    bool ip6Used_ = false;
    TSocketFamily familySave_ = TSocketFamily::SF_Any;
    uint64_t recvCounter_ = 0;
    uint64_t sendCounter_ = 0;
    // The limiter's next free moment; from the tick at creation, as 0 would lie half the tick's
    // range ahead once the tick is in its upper half.
    uint32_t nextSend_;
    uint32_t nextRecv_;
    TSockAddrAny localSin_{};
    TSockAddrAny remoteSin_{};
    std::vector<TSynaOption> delayedOptions_;
};

// SOCKS4, SOCKS4a and SOCKS5 (no authentication or user and password) client: Connect of
// TTCPBlockSocket runs it when SocksIP is set.
class TSocksBlockSocket : public TBlockSocket {
public:
    TSocksBlockSocket() = default;

    UnicodeString SocksIP;  // empty: no SOCKS
    UnicodeString SocksPort = u"1080";
    UnicodeString SocksUsername;  // SOCKS5 user, SOCKS4 user id
    UnicodeString SocksPassword;
    int32_t SocksTimeout = 60000;  // the whole exchange with the proxy after connecting to it, ms
    bool SocksResolver = true;     // false: the target name is resolved here, not by the proxy
    TSocksType SocksType = TSocksType::ST_Socks5;

    bool UsingSocks() const noexcept { return usingSocks_; }
    // The reply code of the last response, -1 before one.
    int32_t SocksLastError() const noexcept { return socksLastError_; }
    UnicodeString SocksResponseIP() const;
    UnicodeString SocksResponsePort() const;
    // What the proxy answered when it refused the last Connect, for the owner's error line: an
    // HTTP proxy's status line as received, or a SOCKS answer as "SOCKS5 reply 2 (connection not
    // allowed by ruleset)"; empty when no proxy refused (none was asked, it was unreachable, or it
    // let the connection through).
    const AnsiString& ProxyAnswer() const noexcept { return proxyAnswer_; }

protected:
    // Connects to the proxy and has it connect to IP:Port; LastError and the error check as for
    // a direct connect.
    void SocksDoConnect(UnicodeView IP, UnicodeView Port);
    // The greeting and the authentication; false on failure (LastError set for the transport).
    bool SocksOpen(AnsiView User, AnsiView Pass);
    bool SocksRequest(uint8_t Cmd, AnsiView Host, uint16_t Port, AnsiView User);
    bool SocksResponse();

    bool usingSocks_ = false;
    int32_t socksLastError_ = -1;
    AnsiString proxyAnswer_;
    AnsiString socksResponseIP_;
    AnsiString socksResponsePort_ = "0";
    AnsiString socksRemoteIP_;  // the target given to Connect
    int32_t socksRemotePort_ = 0;
    uint32_t socksStart_ = 0;  // tick at which the exchange began
};

// Bounds of the HTTP proxy's answer, so that a proxy cannot keep a connect busy or let memory
// grow without end.
constexpr int32_t kHTTPTunnelMaxLine = 8192;
constexpr int32_t kHTTPTunnelMaxHeaders = 100;

class TTCPBlockSocket : public TSocksBlockSocket {
public:
    using THTTPTunnelAnswerEvent = std::function<void(TBlockSocket* Sender, int32_t Code, const UnicodeString& Text)>;

    TTCPBlockSocket() = default;
    ~TTCPBlockSocket() override;

    UnicodeString HTTPTunnelIP;  // empty: no HTTP tunnel
    UnicodeString HTTPTunnelPort;
    UnicodeString HTTPTunnelUser;  // empty: no authorization line
    UnicodeString HTTPTunnelPass;
    int32_t HTTPTunnelTimeout = 30000;  // the whole answer of the proxy, ms (-1 no limit)
    TNotifyEvent OnAfterConnect;
    // Status events of the connect to the HTTP proxy, and the failure of the CONNECT request.
    TStatusEvent OnHTTPTunnelStatus;
    THTTPTunnelAnswerEvent OnHTTPTunnelConnectAnswer;

    bool HTTPTunnel() const noexcept { return httpTunnel_; }

    void CloseSocket() override;
    // Through SOCKS when SocksIP is set, else through the HTTP tunnel when HTTPTunnelIP is set,
    // else direct.
    void Connect(UnicodeView IP, UnicodeView Port) override;

    // While a tunnel is up the remote address is the target; through SOCKS the local address is
    // the one the proxy reported.
    AnsiString GetLocalSinIP() override;
    AnsiString GetRemoteSinIP() override;
    int32_t GetLocalSinPort() override;
    int32_t GetRemoteSinPort() override;

protected:
    void HTTPTunnelDoConnect(UnicodeView IP, UnicodeView Port);
    // The CONNECT request with its authorization line.
    void HTTPTunnelSendRequest(const UnicodeString& Host, uint16_t Port);
    // The status line (Line, trimmed): Code (-1 when it is no HTTP status) goes to
    // OnHTTPTunnelConnectAnswer; false when no line could be read.
    bool HTTPTunnelReadStatus(uint32_t Start, int32_t& Code, AnsiString& Line);
    // The header lines up to the empty line.
    void HTTPTunnelReadHeaders(uint32_t Start);

    bool httpTunnel_ = false;
    AnsiString httpRemoteIP_;
    int32_t httpRemotePort_ = 0;
};

}  // namespace zel
