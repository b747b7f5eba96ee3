#pragma once
// A scripted TCP peer on loopback for tests of clients that negotiate with the other side (proxy
// tunnels, manager links): it accepts one connection, reads exactly what each step expects,
// answers (at once, after a delay, or one byte at a time), and records what it read. Every wait
// is bounded; the destructor joins the peer's thread.
#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/loopback.hpp"

namespace zeltest {

// A listening socket on a loopback port 0 (port stays 0 when the family is not available).
struct TcpListener {
    int fd = -1;
    uint16_t port = 0;
    explicit TcpListener(int family, int backlog = 8) {
        fd = BoundSocket(family);
        if (fd >= 0 && listen(fd, backlog) == 0) port = LocalPort(fd);
    }
    ~TcpListener() {
        if (fd >= 0) close(fd);
    }
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;
    // The accepted handle, or -1 after 2 s.
    int Accept() const { return PollFor(fd, POLLIN, 2000) ? accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1; }
};

// One step of the script: read exactly the length of Expect, then send Answer.
struct PeerStep {
    std::string Expect;
    std::string Answer;
    int DelayMs = 0;    // before the answer
    int ByteGapMs = 0;  // above 0: the answer goes out one byte at a time, with this pause before each
};

// After the script: close, echo what comes, or keep silent until the other side closes.
enum class PeerEnd { Close, Echo, Hold };

class ScriptedPeer {
public:
    ScriptedPeer(int family, std::vector<PeerStep> steps, PeerEnd end = PeerEnd::Echo)
        : l_(family), steps_(std::move(steps)), end_(end) {
        t_ = std::thread([this] { Run(); });
    }
    ~ScriptedPeer() { Join(); }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;
    void Join() {
        if (t_.joinable()) t_.join();
    }
    uint16_t Port() const { return l_.port; }
    // Read only after Join: everything read in the script, then everything read after it.
    std::string got, after;
    bool accepted = false;

private:
    bool ReadN(int fd, size_t n) {
        while (n > 0 && PollFor(fd, POLLIN, 3000)) {
            char buf[16384];
            const ssize_t r = recv(fd, buf, std::min(n, sizeof buf), 0);
            if (r <= 0) return false;
            got.append(buf, size_t(r));
            n -= size_t(r);
        }
        return n == 0;
    }
    static bool Answer(int fd, const PeerStep& s) {
        if (s.DelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(s.DelayMs));
        if (s.ByteGapMs <= 0)
            return s.Answer.empty() || send(fd, s.Answer.data(), s.Answer.size(), MSG_NOSIGNAL) >= 0;
        for (char c : s.Answer) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.ByteGapMs));
            if (send(fd, &c, 1, MSG_NOSIGNAL) < 0) return false;
        }
        return true;
    }
    void Run() {
        const int fd = l_.Accept();
        if (fd < 0) return;
        accepted = true;
        bool ok = true;
        for (const auto& s : steps_) {
            if (!(ok = ReadN(fd, s.Expect.size()))) break;
            if (!Answer(fd, s)) break;
        }
        while (ok && end_ != PeerEnd::Close && PollFor(fd, POLLIN, 3000)) {
            char buf[4096];
            const ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r <= 0) break;
            after.append(buf, size_t(r));
            if (end_ == PeerEnd::Echo) send(fd, buf, size_t(r), MSG_NOSIGNAL);
        }
        close(fd);
    }
    TcpListener l_;
    std::vector<PeerStep> steps_;
    PeerEnd end_;
    std::thread t_;
};

}  // namespace zeltest
