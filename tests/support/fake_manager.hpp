#pragma once
// A System Manager on 127.0.0.1, port 0, for the tests of the manager links: one connection at a
// time; it reads lines to LF, skips empty ones, records what came and answers from the test's
// script. Every wait is bounded; the destructor stops and joins its thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/script_peer.hpp"

namespace zel::test {


struct TReply {
    std::string Send;
    bool Close = false;
    // Above 0: Send goes out this long after the line came, while the manager reads on (a manager
    // that takes its time over each login but pipelines them); replies leave in the order they
    // fall due.
    int DelayMs = 0;
};

class FakeManager {
public:
    // Conn counts the connections from 0; Line comes without its line end.
    using TScript = std::function<TReply(int Conn, const std::string& Line)>;

    explicit FakeManager(TScript Script) : script_(std::move(Script)) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listen_, 8) != 0) return;
        (void)getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeManager() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        close(listen_);
    }

    uint16_t Port() const { return port_; }

    struct TGot {
        int Conn;
        std::string Line;
        int64_t At;
    };
    std::vector<TGot> Lines() {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    // The lines of one connection, in order.
    std::vector<std::string> LinesOf(int Conn) {
        std::vector<std::string> r;
        for (const TGot& g : Lines())
            if (g.Conn == Conn) r.push_back(g.Line);
        return r;
    }
    // The raw bytes of one connection.
    std::string Raw(int Conn) {
        std::lock_guard<std::mutex> g(m_);
        return Conn < int(raw_.size()) ? raw_[size_t(Conn)] : std::string();
    }
    int Connections() {
        std::lock_guard<std::mutex> g(m_);
        return int(accepted_.size());
    }
    int64_t AcceptedAt(int Conn) {
        std::lock_guard<std::mutex> g(m_);
        return accepted_.at(size_t(Conn));
    }
    // When the connection ended (the link closed it or the script did).
    int64_t EndedAt(int Conn) {
        std::lock_guard<std::mutex> g(m_);
        return Conn < int(ended_.size()) ? ended_[size_t(Conn)] : 0;
    }
    int Count(const std::string& Line) {
        int n = 0;
        for (const TGot& g : Lines()) n += g.Line == Line;
        return n;
    }

private:
    void Run() {
        while (!stop_) {
            if (!PollFd(listen_, POLLIN, 20)) continue;
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            int conn;
            {
                std::lock_guard<std::mutex> g(m_);
                conn = int(accepted_.size());
                accepted_.push_back(NowMs());
                raw_.emplace_back();
            }
            Serve(fd, conn);
            close(fd);
            std::lock_guard<std::mutex> g(m_);
            ended_.resize(size_t(conn) + 1);
            ended_[size_t(conn)] = NowMs();
        }
    }
    void Serve(int Fd, int Conn) {
        std::string buf;
        std::multimap<int64_t, std::string> due;
        while (!stop_) {
            for (auto it = due.begin(); it != due.end() && it->first <= NowMs(); it = due.erase(it))
                WriteAllTo(Fd, it->second);
            const int wait = due.empty() ? 20 : int(std::clamp<int64_t>(due.begin()->first - NowMs(), 0, 20));
            if (!PollFd(Fd, POLLIN, wait)) continue;
            char chunk[2048];
            const ssize_t n = recv(Fd, chunk, sizeof chunk, 0);
            if (n <= 0) return;
            buf.append(chunk, size_t(n));
            {
                std::lock_guard<std::mutex> g(m_);
                raw_[size_t(Conn)].append(chunk, size_t(n));
            }
            size_t lf;
            while ((lf = buf.find('\n')) != std::string::npos) {
                std::string line = buf.substr(0, lf);
                buf.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty()) continue;
                {
                    std::lock_guard<std::mutex> g(m_);
                    lines_.push_back({Conn, line, NowMs()});
                }
                const TReply r = script_(Conn, line);
                if (r.DelayMs > 0) {
                    due.emplace(NowMs() + r.DelayMs, r.Send);
                    continue;
                }
                WriteAllTo(Fd, r.Send);
                if (r.Close) return;
            }
        }
    }

    TScript script_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex m_;
    std::vector<TGot> lines_;
    std::vector<std::string> raw_;
    std::vector<int64_t> accepted_;
    std::vector<int64_t> ended_;
};

}  // namespace zel::test
