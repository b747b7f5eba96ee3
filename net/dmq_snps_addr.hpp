#pragma once
// The socket-call layer under the blocking socket classes: thin wrappers of the BSD socket calls
// (every descriptor close-on-exec, every send with MSG_NOSIGNAL), the name look-up that turns a
// host text and a port text into a socket address, and the text forms of IPv4 and IPv6 addresses.
//
// The wrappers return what the system call returns and leave errno for the caller. Name look-ups
// run under one lock of this layer; everything else is free of shared state.
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

// Address family wanted by a look-up.
enum class TSocketFamily : uint8_t { SF_Any, SF_IP4, SF_IP6 };

// Room for an IPv4 or an IPv6 socket address; the family field tells which one it holds.
union TSockAddrAny {
    sockaddr sa;
    sockaddr_in in4;
    sockaddr_in6 in6;
    sockaddr_storage storage;
};

// The size of the address that the family field names (for bind, connect, sendto).
socklen_t SockAddrLen(const TSockAddrAny& addr) noexcept;

// Result of SetVarSin when no address of the wanted families is found.
constexpr int32_t SNPS_HOST_NOT_FOUND = -7;

// --- Socket calls -------------------------------------------------------------------------
int SnpsSocket(int family, int type, int protocol) noexcept;          // SOCK_CLOEXEC added
int SnpsBind(int s, const TSockAddrAny& addr) noexcept;
int SnpsConnect(int s, const TSockAddrAny& addr) noexcept;
int SnpsListen(int s, int backlog) noexcept;
// accept4 with SOCK_CLOEXEC added to flags (SOCK_NONBLOCK may be given); addr receives the peer.
int SnpsAccept(int s, TSockAddrAny& addr, int flags = 0) noexcept;
ssize_t SnpsSend(int s, const void* buffer, size_t length, int flags) noexcept;  // MSG_NOSIGNAL added
ssize_t SnpsRecv(int s, void* buffer, size_t length, int flags) noexcept;
ssize_t SnpsSendTo(int s, const void* buffer, size_t length, int flags,
                   const TSockAddrAny& to) noexcept;                   // MSG_NOSIGNAL added
ssize_t SnpsRecvFrom(int s, void* buffer, size_t length, int flags, TSockAddrAny& from) noexcept;
int SnpsShutdown(int s, int how) noexcept;
int SnpsCloseSocket(int s) noexcept;
int SnpsSelect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               timeval* timeout) noexcept;
void SnpsFDZero(fd_set& set) noexcept;
// False (and nothing set) for a handle outside the set's 1024 bits.
bool SnpsFDSet(int s, fd_set& set) noexcept;
void SnpsFDClr(int s, fd_set& set) noexcept;
bool SnpsFDIsSet(int s, const fd_set& set) noexcept;
int SnpsSetSockOpt(int s, int level, int option, const void* value, socklen_t length) noexcept;
int SnpsGetSockOpt(int s, int level, int option, void* value, socklen_t& length) noexcept;
// FIONBIO (arg: 1 on, 0 off) and FIONREAD (arg receives the byte count).
int SnpsIoctl(int s, unsigned long request, int& arg) noexcept;
// Both clear the address first and pass its full size.
int GetSockNameAddr(int s, TSockAddrAny& addr) noexcept;
int GetPeerNameAddr(int s, TSockAddrAny& addr) noexcept;

// --- Name look-up -------------------------------------------------------------------------
// Fills addr from a host text and a port text: 0, or SNPS_HOST_NOT_FOUND. With SF_Any the
// preferred family is tried first and the other only when it finds nothing. "0.0.0.0" and "::0"
// are the any-addresses, "localhost" (any case) is 127.0.0.1 or ::1 without a look-up.
int32_t SetVarSin(TSockAddrAny& addr, AnsiView ip, AnsiView port, TSocketFamily family,
                  bool preferIP4);
// Every address of a name as text (IPv4 ones first); list is replaced.
void ResolveNameToIP(AnsiView name, TSocketFamily family, std::vector<AnsiString>& list);
// A decimal port (0 to 65535), else a TCP service name; 0 for anything else.
uint16_t ResolvePort(AnsiView port);

// Dotted decimal for IPv4 and IPv4-mapped IPv6, eight hex groups for other IPv6, else "".
AnsiString GetSinIP(const TSockAddrAny& addr);
// The port in host order (0 for other families).
int32_t GetSinPort(const TSockAddrAny& addr) noexcept;
// 0 IPv4, 1 IPv4-mapped IPv6, 3 other IPv6; AF_UNSPEC and AF_UNIX their own number; any other
// family its distance from AF_INET6 in 8 bits.
int32_t GetSinKind(const TSockAddrAny& addr) noexcept;

// --- Address texts ------------------------------------------------------------------------
using TIp6Bytes = std::array<uint8_t, 16>;

// Four decimal parts 0 to 255 (one to three digits each) separated by dots.
bool IsIP(AnsiView text) noexcept;
// Hex groups of one to four digits with ":", at most one "::", an IPv4 tail allowed.
bool IsIP6(AnsiView text) noexcept;
bool IsIP6U(UnicodeView text) noexcept;
// The four bytes of an IPv4 text (zero bytes when it is none).
AnsiString IPToID(AnsiView text);
// The 16 bytes of an IPv6 text (zero bytes when it is none).
TIp6Bytes StrToIp6(AnsiView text) noexcept;
// Four bytes in network order as dotted decimal.
AnsiString Ip4ToStr(const uint8_t* bytes);
// Eight groups in upper-case hex without leading zeros; the longest run of zero groups as "::".
AnsiString Ip6ToStr(const TIp6Bytes& bytes);
UnicodeString Ip6ToStrU(const TIp6Bytes& bytes);

}  // namespace zel
