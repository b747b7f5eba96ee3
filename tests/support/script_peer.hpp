#pragma once
// A loopback server for tests of the outgoing connections: it listens on 127.0.0.1 or ::1 with
// port 0 (read back by Port()), accepts connections on a thread of its own and hands each to the
// test's handler, which plays its part with the bounded helpers below and returns (closing the
// connection). Every wait is bounded; the destructor stops and joins the thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "tests/support/loopback.hpp"

namespace zel::test {

inline int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits up to TimeoutMs for Events on Fd; true when it is ready.
inline bool PollFd(int Fd, short Events, int TimeoutMs) {
    pollfd p{Fd, Events, 0};
    return poll(&p, 1, TimeoutMs) > 0;
}

// Bytes up to and with the next LF, at most TimeoutMs in all; what came when the time ran out or
// the peer closed otherwise.
inline std::string ReadLineFrom(int Fd, int TimeoutMs = 3000) {
    std::string s;
    const int64_t end = NowMs() + TimeoutMs;
    while (s.empty() || s.back() != '\n') {
        const int64_t left = end - NowMs();
        if (left <= 0 || !PollFd(Fd, POLLIN, static_cast<int>(left))) break;
        char c;
        if (recv(Fd, &c, 1, 0) != 1) break;
        s += c;
    }
    return s;
}

// Exactly N bytes, or fewer when the time ran out or the peer closed.
inline std::string ReadExactFrom(int Fd, size_t N, int TimeoutMs = 3000) {
    std::string s;
    const int64_t end = NowMs() + TimeoutMs;
    while (s.size() < N) {
        const int64_t left = end - NowMs();
        if (left <= 0 || !PollFd(Fd, POLLIN, static_cast<int>(left))) break;
        char buf[512];
        const ssize_t n = recv(Fd, buf, std::min(sizeof(buf), N - s.size()), 0);
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

inline void WriteAllTo(int Fd, std::string_view Data) {
    while (!Data.empty()) {
        const ssize_t n = send(Fd, Data.data(), Data.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        Data.remove_prefix(static_cast<size_t>(n));
    }
}

// Until the other end closes (or TimeoutMs passes), dropping what it sends.
inline void WaitPeerClose(int Fd, int TimeoutMs = 5000) {
    const int64_t end = NowMs() + TimeoutMs;
    for (;;) {
        const int64_t left = end - NowMs();
        if (left <= 0 || !PollFd(Fd, POLLIN, static_cast<int>(left))) return;
        char buf[512];
        if (recv(Fd, buf, sizeof(buf), 0) <= 0) return;
    }
}

class ScriptPeer {
public:
    using Handler = std::function<void(int Fd)>;

    // Family AF_INET (127.0.0.1) or AF_INET6 (::1).
    explicit ScriptPeer(Handler OnConnection, int Family = AF_INET) : handler_(std::move(OnConnection)) {
        listen_ = socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage st{};
        socklen_t len;
        if (Family == AF_INET6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&st);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof(*a);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&st);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof(*a);
        }
        if (bind(listen_, reinterpret_cast<sockaddr*>(&st), len) != 0 || listen(listen_, 8) != 0) return;
        (void)getsockname(listen_, reinterpret_cast<sockaddr*>(&st), &len);
        port_ = ntohs(Family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&st)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&st)->sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptPeer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listen_);
    }
    ScriptPeer(const ScriptPeer&) = delete;
    ScriptPeer& operator=(const ScriptPeer&) = delete;

    uint16_t Port() const { return port_; }
    int Accepted() const { return accepted_.load(); }

private:
    void Run() {
        // The loop ends at the latest 10 s after the last connection.
        for (int idle = 0; !stop_ && idle < 200; ++idle) {
            if (!PollFd(listen_, POLLIN, 50)) continue;
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++accepted_;
            handler_(fd);
            close(fd);
            idle = 0;
        }
    }

    Handler handler_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

}  // namespace zel::test
