#include "net/dmq_snps_addr.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "foundation/dmq_hex.hpp"
#include "net/dmq_sock.hpp"

namespace zel {

namespace {

// Serialises every call into the system's look-up routines.
std::mutex& LookupLock() {
    static std::mutex m;
    return m;
}

inline bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool EqualsNoCase(AnsiView a, AnsiView b) noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool ParseIp4(AnsiView s, uint8_t out[4]) noexcept {
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= s.size() || s[pos] != '.') return false;
            ++pos;
        }
        unsigned v = 0;
        size_t digits = 0;
        while (pos < s.size() && IsDigit(s[pos]) && digits < 3) {
            v = v * 10 + static_cast<unsigned>(s[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || v > 255) return false;
        out[part] = static_cast<uint8_t>(v);
    }
    return pos == s.size();
}

// Groups separated by single colons; the last one may be an IPv4 tail (two groups).
bool ParseGroups(AnsiView part, bool allowIp4Tail, uint16_t* groups, size_t& count) noexcept {
    count = 0;
    if (part.empty()) return true;
    size_t pos = 0;
    while (true) {
        const size_t colon = part.find(':', pos);
        const AnsiView g = part.substr(pos, colon == AnsiView::npos ? AnsiView::npos : colon - pos);
        if (colon == AnsiView::npos && allowIp4Tail && g.find('.') != AnsiView::npos) {
            uint8_t b[4];
            if (count + 2 > 8 || !ParseIp4(g, b)) return false;
            groups[count++] = static_cast<uint16_t>(b[0] << 8 | b[1]);
            groups[count++] = static_cast<uint16_t>(b[2] << 8 | b[3]);
            return true;
        }
        if (g.empty() || g.size() > 4 || count >= 8) return false;
        unsigned v = 0;
        for (char c : g) {
            const int h = HexValue(c);
            if (h < 0) return false;
            v = v << 4 | static_cast<unsigned>(h);
        }
        groups[count++] = static_cast<uint16_t>(v);
        if (colon == AnsiView::npos) return true;
        pos = colon + 1;
    }
}

bool ParseIp6(AnsiView s, TIp6Bytes& out) noexcept {
    out.fill(0);
    uint16_t head[8], tail[8];
    size_t nh = 0, nt = 0;
    const size_t dc = s.find("::");
    if (dc == AnsiView::npos) {
        if (!ParseGroups(s, true, head, nh) || nh != 8) return false;
    } else {
        const AnsiView after = s.substr(dc + 2);
        if (after.find("::") != AnsiView::npos) return false;
        // ":::" and a colon right after "::" leave an empty group in the tail, which fails there.
        if (!ParseGroups(s.substr(0, dc), false, head, nh)) return false;
        if (!ParseGroups(after, true, tail, nt)) return false;
        if (nh + nt > 7) return false;
    }
    for (size_t i = 0; i < nh; ++i) {
        out[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    for (size_t i = 0; i < nt; ++i) {
        const size_t g = 8 - nt + i;
        out[2 * g] = static_cast<uint8_t>(tail[i] >> 8);
        out[2 * g + 1] = static_cast<uint8_t>(tail[i]);
    }
    return true;
}

void AppendHex(AnsiString& out, unsigned v) {
    char buf[4];
    int n = 0;
    do {
        buf[n++] = HexDigitsUpper[v & 0xF];
        v >>= 4;
    } while (v != 0);
    while (n > 0) out.push_back(buf[--n]);
}

bool HasNul(AnsiView s) noexcept { return s.find('\0') != AnsiView::npos; }

// The IPv4 rules of SetVarSin; all found addresses when all is set.
bool ResolveIp4(AnsiView ip, std::vector<in_addr>& found, bool all) {
    in_addr a{};
    if (ip == "0.0.0.0") {
        a.s_addr = htonl(INADDR_ANY);
    } else if (EqualsNoCase(ip, "localhost")) {
        a.s_addr = htonl(INADDR_LOOPBACK);
    } else if (IsIP(ip)) {
        std::memcpy(&a, IPToID(ip).data(), 4);
    } else {
        // A name with a NUL byte would be looked up cut short: it names no host. An IPv6 text
        // has no IPv4 address and must not go out to the resolver.
        if (ip.empty() || HasNul(ip) || IsIP6(ip)) return false;
        const AnsiString name(ip);
        std::unique_ptr<TDMQHostEntry> entry;
        {
            std::lock_guard<std::mutex> guard(LookupLock());
            entry = ResolveHostIPv4(name.c_str());
        }
        if (!entry || entry->Addresses.empty()) return false;
        for (uint32_t addr : entry->Addresses) {
            a.s_addr = addr;
            found.push_back(a);
            if (!all) break;
        }
        return true;
    }
    found.push_back(a);
    return true;
}

bool ResolveIp6(AnsiView ip, std::vector<sockaddr_in6>& found, bool all) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    if (ip == "::0") {
        a.sin6_addr = in6addr_any;
    } else if (EqualsNoCase(ip, "localhost")) {
        a.sin6_addr = in6addr_loopback;
    } else if (TIp6Bytes b; ParseIp6(ip, b)) {
        std::memcpy(&a.sin6_addr, b.data(), 16);
    } else {
        if (ip.empty() || HasNul(ip) || IsIP(ip)) return false;
        const AnsiString name(ip);
        addrinfo hints{};
        hints.ai_family = AF_INET6;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* res = nullptr;
        size_t before = found.size();
        {
            std::lock_guard<std::mutex> guard(LookupLock());
            if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0) res = nullptr;
        }
        for (addrinfo* r = res; r; r = r->ai_next) {
            if (r->ai_family != AF_INET6 || r->ai_addrlen < sizeof(sockaddr_in6)) continue;
            std::memcpy(&a, r->ai_addr, sizeof(a));
            // An unspecified result names no host.
            if (IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr)) continue;
            found.push_back(a);
            if (!all) break;
        }
        if (res) freeaddrinfo(res);
        return found.size() > before;
    }
    found.push_back(a);
    return true;
}

}  // namespace

socklen_t SockAddrLen(const TSockAddrAny& addr) noexcept {
    switch (addr.sa.sa_family) {
        case AF_INET: return sizeof(sockaddr_in);
        case AF_INET6: return sizeof(sockaddr_in6);
        default: return sizeof(sockaddr_storage);
    }
}

int SnpsSocket(int family, int type, int protocol) noexcept {
    return socket(family, type | SOCK_CLOEXEC, protocol);
}

int SnpsBind(int s, const TSockAddrAny& addr) noexcept { return bind(s, &addr.sa, SockAddrLen(addr)); }

int SnpsConnect(int s, const TSockAddrAny& addr) noexcept {
    return connect(s, &addr.sa, SockAddrLen(addr));
}

int SnpsListen(int s, int backlog) noexcept { return listen(s, backlog); }

int SnpsAccept(int s, TSockAddrAny& addr, int flags) noexcept {
    std::memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    return accept4(s, &addr.sa, &len, flags | SOCK_CLOEXEC);
}

ssize_t SnpsSend(int s, const void* buffer, size_t length, int flags) noexcept {
    return send(s, buffer, length, flags | MSG_NOSIGNAL);
}

ssize_t SnpsRecv(int s, void* buffer, size_t length, int flags) noexcept {
    return recv(s, buffer, length, flags);
}

ssize_t SnpsSendTo(int s, const void* buffer, size_t length, int flags,
                   const TSockAddrAny& to) noexcept {
    return sendto(s, buffer, length, flags | MSG_NOSIGNAL, &to.sa, SockAddrLen(to));
}

ssize_t SnpsRecvFrom(int s, void* buffer, size_t length, int flags, TSockAddrAny& from) noexcept {
    std::memset(&from, 0, sizeof(from));
    socklen_t len = sizeof(from);
    return recvfrom(s, buffer, length, flags, &from.sa, &len);
}

int SnpsShutdown(int s, int how) noexcept { return shutdown(s, how); }

int SnpsCloseSocket(int s) noexcept { return close(s); }

int SnpsSelect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               timeval* timeout) noexcept {
    return select(nfds, readfds, writefds, exceptfds, timeout);
}

void SnpsFDZero(fd_set& set) noexcept { FD_ZERO(&set); }

bool SnpsFDSet(int s, fd_set& set) noexcept {
    if (s < 0 || s >= FD_SETSIZE) return false;
    FD_SET(s, &set);
    return true;
}

void SnpsFDClr(int s, fd_set& set) noexcept {
    if (s >= 0 && s < FD_SETSIZE) FD_CLR(s, &set);
}

bool SnpsFDIsSet(int s, const fd_set& set) noexcept {
    return s >= 0 && s < FD_SETSIZE && FD_ISSET(s, &set);
}

int SnpsSetSockOpt(int s, int level, int option, const void* value, socklen_t length) noexcept {
    return setsockopt(s, level, option, value, length);
}

int SnpsGetSockOpt(int s, int level, int option, void* value, socklen_t& length) noexcept {
    return getsockopt(s, level, option, value, &length);
}

int SnpsIoctl(int s, unsigned long request, int& arg) noexcept { return ioctl(s, request, &arg); }

int GetSockNameAddr(int s, TSockAddrAny& addr) noexcept {
    std::memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    return getsockname(s, &addr.sa, &len);
}

int GetPeerNameAddr(int s, TSockAddrAny& addr) noexcept {
    std::memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    return getpeername(s, &addr.sa, &len);
}

uint16_t ResolvePort(AnsiView port) {
    if (port.empty()) return 0;
    bool numeric = true;
    for (char c : port)
        if (!IsDigit(c)) numeric = false;
    if (numeric) {
        if (port.size() > 5) return 0;
        unsigned v = 0;
        for (char c : port) v = v * 10 + static_cast<unsigned>(c - '0');
        return v <= 65535 ? static_cast<uint16_t>(v) : 0;
    }
    if (HasNul(port)) return 0;
    const AnsiString name(port);
    servent se{};
    servent* found = nullptr;
    char work[1024];
    std::lock_guard<std::mutex> guard(LookupLock());
    if (getservbyname_r(name.c_str(), "tcp", &se, work, sizeof(work), &found) != 0 || !found)
        return 0;
    return ntohs(static_cast<uint16_t>(found->s_port));
}

int32_t SetVarSin(TSockAddrAny& addr, AnsiView ip, AnsiView port, TSocketFamily family,
                  bool preferIP4) {
    std::memset(&addr, 0, sizeof(addr));
    const uint16_t p = htons(ResolvePort(port));
    const bool try4 = family != TSocketFamily::SF_IP6;
    const bool try6 = family != TSocketFamily::SF_IP4;
    const bool first4 = family == TSocketFamily::SF_IP4 || (family == TSocketFamily::SF_Any && preferIP4);
    for (int round = 0; round < 2; ++round) {
        const bool v4 = (round == 0) == first4;
        if (v4 && try4) {
            std::vector<in_addr> found;
            if (ResolveIp4(ip, found, false)) {
                addr.in4.sin_family = AF_INET;
                addr.in4.sin_addr = found.front();
                addr.in4.sin_port = p;
                return 0;
            }
        } else if (!v4 && try6) {
            std::vector<sockaddr_in6> found;
            if (ResolveIp6(ip, found, false)) {
                addr.in6 = found.front();
                addr.in6.sin6_port = p;
                return 0;
            }
        }
    }
    std::memset(&addr, 0, sizeof(addr));
    return SNPS_HOST_NOT_FOUND;
}

void ResolveNameToIP(AnsiView name, TSocketFamily family, std::vector<AnsiString>& list) {
    list.clear();
    TSockAddrAny a{};
    if (family != TSocketFamily::SF_IP6) {
        std::vector<in_addr> found;
        ResolveIp4(name, found, true);
        for (const in_addr& f : found) {
            a.in4.sin_family = AF_INET;
            a.in4.sin_addr = f;
            list.push_back(GetSinIP(a));
        }
    }
    if (family != TSocketFamily::SF_IP4) {
        std::vector<sockaddr_in6> found;
        if (EqualsNoCase(name, "localhost")) {
            list.push_back("::1");
        } else {
            ResolveIp6(name, found, true);
        }
        for (const sockaddr_in6& f : found) {
            a.in6 = f;
            list.push_back(GetSinIP(a));
        }
    }
}

AnsiString GetSinIP(const TSockAddrAny& addr) {
    if (addr.sa.sa_family == AF_INET) {
        uint8_t b[4];
        std::memcpy(b, &addr.in4.sin_addr, 4);
        return Ip4ToStr(b);
    }
    if (addr.sa.sa_family == AF_INET6) {
        const uint8_t* b = addr.in6.sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&addr.in6.sin6_addr)) return Ip4ToStr(b + 12);
        AnsiString out;
        for (int g = 0; g < 8; ++g) {
            if (g > 0) out.push_back(':');
            AppendHex(out, static_cast<unsigned>(b[2 * g] << 8 | b[2 * g + 1]));
        }
        return out;
    }
    return AnsiString();
}

int32_t GetSinPort(const TSockAddrAny& addr) noexcept {
    if (addr.sa.sa_family == AF_INET) return ntohs(addr.in4.sin_port);
    if (addr.sa.sa_family == AF_INET6) return ntohs(addr.in6.sin6_port);
    return 0;
}

int32_t GetSinKind(const TSockAddrAny& addr) noexcept {
    const int f = addr.sa.sa_family;
    if (f == AF_INET) return 0;
    if (f == AF_INET6) return IN6_IS_ADDR_V4MAPPED(&addr.in6.sin6_addr) ? 1 : 3;
    if (f == AF_UNSPEC || f == AF_UNIX) return f;
    return static_cast<uint8_t>(f - AF_INET6);
}

bool IsIP(AnsiView text) noexcept {
    uint8_t b[4];
    return ParseIp4(text, b);
}

bool IsIP6(AnsiView text) noexcept {
    TIp6Bytes b;
    return ParseIp6(text, b);
}

bool IsIP6U(UnicodeView text) noexcept {
    // No valid address is longer than 45 characters; the bound keeps the copy small.
    if (text.size() > 64) return false;
    char buf[64];
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 127) return false;
        buf[i] = static_cast<char>(text[i]);
    }
    return IsIP6(AnsiView(buf, text.size()));
}

AnsiString IPToID(AnsiView text) {
    uint8_t b[4] = {0, 0, 0, 0};
    if (!ParseIp4(text, b)) std::memset(b, 0, sizeof(b));
    return AnsiString(reinterpret_cast<const char*>(b), 4);
}

TIp6Bytes StrToIp6(AnsiView text) noexcept {
    TIp6Bytes b;
    if (!ParseIp6(text, b)) b.fill(0);
    return b;
}

AnsiString Ip4ToStr(const uint8_t* bytes) {
    AnsiString out;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) out.push_back('.');
        out += std::to_string(bytes[i]);
    }
    return out;
}

AnsiString Ip6ToStr(const TIp6Bytes& bytes) {
    unsigned g[8];
    for (int i = 0; i < 8; ++i) g[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    // The longest run of zero groups (the first of equal ones) is written as "::".
    int bestStart = -1, bestLen = 0;
    for (int i = 0; i < 8;) {
        if (g[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i > bestLen) {
            bestStart = i;
            bestLen = j - i;
        }
        i = j;
    }
    AnsiString out;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLen - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':') out.push_back(':');
        AppendHex(out, g[i]);
    }
    return out;
}

UnicodeString Ip6ToStrU(const TIp6Bytes& bytes) { return WidenStrU(Ip6ToStr(bytes)); }

}  // namespace zel
