#pragma once
// Loopback TCP helpers for network tests: connected pairs on 127.0.0.1 or ::1 over a
// listener bound to port 0, and a bound but not listening port that refuses connections.
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace zeltest {

inline socklen_t LoopbackAddr(int family, uint16_t port, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof ss);
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        return sizeof(sockaddr_in6);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a->sin_port = htons(port);
    return sizeof(sockaddr_in);
}

inline uint16_t LocalPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// A socket bound to a loopback port 0, not listening (so connects to its port are refused).
inline int BoundSocket(int family) {
    int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_storage ss;
    socklen_t len = LoopbackAddr(family, 0, ss);
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

struct TcpPair {
    int a = -1;  // the connecting side
    int b = -1;  // the accepted side
    TcpPair() = default;
    TcpPair(const TcpPair&) = delete;
    TcpPair& operator=(const TcpPair&) = delete;
    ~TcpPair() { Close(); }
    void Close() {
        if (a >= 0) close(a);
        if (b >= 0) close(b);
        a = b = -1;
    }
};

// Both ends blocking; false when the family is not available.
inline bool MakeTcpPair(int family, TcpPair& p) {
    int l = BoundSocket(family);
    if (l < 0) return false;
    bool ok = listen(l, 4) == 0;
    sockaddr_storage ss;
    socklen_t len = LoopbackAddr(family, LocalPort(l), ss);
    if (ok) p.a = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = ok && p.a >= 0 && connect(p.a, reinterpret_cast<sockaddr*>(&ss), len) == 0;
    if (ok) p.b = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
    return ok && p.b >= 0;
}

// Closes fd so that the peer receives a reset instead of a FIN.
inline void CloseWithReset(int& fd) {
    linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
    fd = -1;
}

// Waits up to ms for any of the poll events on fd.
inline bool PollFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) > 0 && (p.revents & (events | POLLERR | POLLHUP));
}

inline const char* FamilyName(int family) { return family == AF_INET6 ? "::1" : "127.0.0.1"; }

}  // namespace zeltest

namespace zel::test {

// A port on 127.0.0.1 that nobody listens on (bound, read back, closed).
inline uint16_t FreeLoopbackPort() {
    const int fd = zeltest::BoundSocket(AF_INET);
    const uint16_t port = zeltest::LocalPort(fd);
    ::close(fd);
    return port;
}

}  // namespace zel::test
