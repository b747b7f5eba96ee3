// Whole-path relay benchmark: G networks x M members over loopback, one talker per network at R
// blocks/s, measured for D seconds once every member has joined. The clients run in a child forked
// before the server starts, so the server's getrusage over the window is its own CPU. The same load
// then runs against a minimal relay (one thread, epoll, no protocol) for the floor of the cost, and
// N clients log in at once for the login rate.
//
// zel_relay_bench [G M R D N]   (defaults 50 100 5 10 1000)
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/client_service.hpp"

using namespace zel;
using namespace zel::test;

namespace {

constexpr size_t kPacket = 328;

uint64_t NowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

double CpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void WriteAll(int Fd, const void* P, size_t N) {
    const char* c = static_cast<const char*>(P);
    while (N > 0) {
        const ssize_t w = ::write(Fd, c, N);
        if (w <= 0) return;
        c += w, N -= size_t(w);
    }
}
bool ReadAll(int Fd, void* P, size_t N) {
    char* c = static_cast<char*>(P);
    while (N > 0) {
        const ssize_t r = ::read(Fd, c, N);
        if (r <= 0) return false;
        c += r, N -= size_t(r);
    }
    return true;
}

struct TResult {
    uint64_t Sent = 0, Delivered = 0, Dropped = 0, Joined = 0;
    double P50us = 0, P99us = 0, LoginsPerSec = 0;
};

int ConnectTo(uint16_t Port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, Port, ss);
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string LoginLine(int G, int I) {
    const std::string id = std::to_string(G) + "x" + std::to_string(I);
    return "CT:<VX>2014004</VX><EA>u" + id + "@bench.org</EA><PW>pw</PW><ON>C" + id +
           "</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>N" + std::to_string(G) + "</NT>\r\n";
}

// One client connection of the load.
struct TConn {
    int Fd = -1;
    int Group = 0;
    bool Talker = false;
    bool LoggedIn = false;
    std::string In;
    size_t At = 0;
};

// Parses the server's packets of C; delivered marked blocks go to Lat (microseconds).
void Consume(TConn& C, bool Protocol, std::vector<uint32_t>& Lat, uint64_t& Delivered) {
    const std::string& s = C.In;
    if (Protocol && !C.LoggedIn) {
        const size_t a = s.find("\r\n");
        const size_t b = a == std::string::npos ? a : s.find("\r\n", a + 2);
        if (b == std::string::npos) return;
        C.LoggedIn = true;
        C.At = b + 2;
    }
    const auto lineEnd = [&](size_t From) {
        const size_t p = s.find("\r\n", From);
        return p == std::string::npos ? p : p + 2;
    };
    while (C.At < s.size()) {
        const uint8_t t = Protocol ? uint8_t(s[C.At]) : 2;
        size_t end = std::string::npos;
        switch (t) {
            case 0:
            case 137: end = C.At + 1; break;
            case 1: end = C.At + 3; break;
            case 2: end = C.At + kPacket; break;
            case 129: end = C.At + 68; break;
            case 3: {
                end = lineEnd(C.At + 3);
                if (end == std::string::npos) break;
                int n = std::atoi(s.c_str() + C.At + 3);
                while (n-- > 0 && end != std::string::npos) end = lineEnd(end);
                break;
            }
            default: end = lineEnd(C.At + 1); break;
        }
        if (end == std::string::npos || end > s.size()) break;
        if (t == 2 && s[C.At + 3] == 'Z' && s[C.At + 4] == 'B') {
            uint64_t sent;
            std::memcpy(&sent, s.data() + C.At + 9, 8);
            Lat.push_back(uint32_t((NowNs() - sent) / 1000));
            ++Delivered;
        }
        C.At = end;
    }
    if (C.At > 65536) {
        C.In.erase(0, C.At);
        C.At = 0;
    }
}

// The client side: G x M connections, logins (Protocol), D seconds of talk; results to Out.
void RunLoad(uint16_t Port, int G, int M, int R, int D, bool Protocol, int Sync, int Out) {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<TConn> conns(size_t(G * M));
    TResult res;
    for (int g = 0; g < G; ++g)
        for (int i = 0; i < M; ++i) {
            TConn& c = conns[size_t(g * M + i)];
            c.Fd = ConnectTo(Port);
            c.Group = g;
            c.Talker = i == 0;
            if (c.Fd < 0) continue;
            const std::string hello = Protocol ? LoginLine(g, i) : std::string(1, char(g));
            WriteAll(c.Fd, hello.data(), hello.size());
            fcntl(c.Fd, F_SETFL, O_NONBLOCK);
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = uint64_t(g * M + i);
            epoll_ctl(ep, EPOLL_CTL_ADD, c.Fd, &e);
        }
    std::vector<uint32_t> lat;
    lat.reserve(size_t(G) * size_t(M) * size_t(R) * size_t(D) + 1024);
    uint64_t delivered = 0;
    std::vector<epoll_event> evs(1024);
    char buf[65536];
    const auto pump = [&](int Ms) {
        const int n = epoll_wait(ep, evs.data(), int(evs.size()), Ms);
        for (int k = 0; k < n; ++k) {
            TConn& c = conns[evs[size_t(k)].data.u64];
            for (;;) {
                const ssize_t r = ::recv(c.Fd, buf, sizeof buf, 0);
                if (r > 0) {
                    c.In.append(buf, size_t(r));
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, c.Fd, nullptr);
                    ::close(c.Fd);
                    c.Fd = -1;
                    ++res.Dropped;
                }
                break;
            }
            Consume(c, Protocol, lat, delivered);
        }
    };
    // Every member joined (the lists settle for a second more).
    const uint64_t joinEnd = NowNs() + 120ull * 1000000000ull;
    for (;;) {
        uint64_t joined = 0;
        for (const TConn& c : conns) joined += (!Protocol || c.LoggedIn) ? 1 : 0;
        res.Joined = joined;
        if (joined == conns.size() || NowNs() > joinEnd) break;
        pump(20);
    }
    for (uint64_t e = NowNs() + 1000000000ull; NowNs() < e;) pump(20);
    for (TConn& c : conns)
        if (c.Talker && c.Fd >= 0 && Protocol) WriteAll(c.Fd, "TX0\r\n", 5);
    for (uint64_t e = NowNs() + 300000000ull; NowNs() < e;) pump(20);
    lat.clear();
    delivered = 0;
    char go = 1;
    WriteAll(Sync, &go, 1);
    // D seconds of talk, each talker at R blocks/s, spread over the period.
    const uint64_t period = 1000000000ull / uint64_t(R);
    const uint64_t start = NowNs();
    uint64_t tick = 0;
    std::string block = Protocol ? std::string("TX1\r\n") + std::string(325, 'v') : std::string(kPacket, 'v');
    const size_t off = Protocol ? 5 : 3;
    uint32_t seq = 0;
    while (NowNs() - start < uint64_t(D) * 1000000000ull) {
        const uint64_t due = start + tick * period;
        if (NowNs() >= due) {
            for (TConn& c : conns) {
                if (!c.Talker || c.Fd < 0) continue;
                block[off] = 'Z';
                block[off + 1] = 'B';
                ++seq;
                std::memcpy(&block[off + 2], &seq, 4);
                const uint64_t now = NowNs();
                std::memcpy(&block[off + 6], &now, 8);
                if (::send(c.Fd, block.data(), block.size(), MSG_NOSIGNAL) == ssize_t(block.size())) ++res.Sent;
            }
            ++tick;
        }
        pump(1);
    }
    // What is in flight arrives.
    for (uint64_t e = NowNs() + 1000000000ull; NowNs() < e;) pump(20);
    WriteAll(Sync, &go, 1);
    res.Delivered = delivered;
    std::sort(lat.begin(), lat.end());
    if (!lat.empty()) {
        res.P50us = lat[lat.size() / 2];
        res.P99us = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
    }
    WriteAll(Out, &res, sizeof res);
    for (TConn& c : conns)
        if (c.Fd >= 0) ::close(c.Fd);
}

// N clients log in at once; logins per second until all are admitted.
void RunLogins(uint16_t Port, int N, int Out) {
    TResult res;
    std::vector<TConn> conns(static_cast<size_t>(N));
    const uint64_t t0 = NowNs();
    for (int i = 0; i < N; ++i) {
        conns[size_t(i)].Fd = ConnectTo(Port);
        if (conns[size_t(i)].Fd < 0) continue;
        const std::string l = LoginLine(90000 + i % 50, i);
        WriteAll(conns[size_t(i)].Fd, l.data(), l.size());
    }
    size_t done = 0;
    std::vector<pollfd> p(static_cast<size_t>(N));
    char buf[4096];
    while (done < size_t(N) && NowNs() - t0 < 60ull * 1000000000ull) {
        for (int i = 0; i < N; ++i) p[size_t(i)] = pollfd{conns[size_t(i)].LoggedIn ? -1 : conns[size_t(i)].Fd, POLLIN, 0};
        if (poll(p.data(), p.size(), 100) <= 0) continue;
        for (int i = 0; i < N; ++i) {
            if (!(p[size_t(i)].revents & (POLLIN | POLLHUP))) continue;
            TConn& c = conns[size_t(i)];
            const ssize_t r = ::recv(c.Fd, buf, sizeof buf, 0);
            if (r <= 0) {
                c.LoggedIn = true;
                ++res.Dropped;
                ++done;
                continue;
            }
            c.In.append(buf, size_t(r));
            if (c.In.find("<AL>") != std::string::npos && c.In.find("\r\n", c.In.find("<AL>")) != std::string::npos) {
                c.LoggedIn = true;
                ++done;
            }
        }
    }
    res.Joined = done - res.Dropped;
    res.LoginsPerSec = double(res.Joined) / (double(NowNs() - t0) / 1e9);
    WriteAll(Out, &res, sizeof res);
    for (TConn& c : conns)
        if (c.Fd >= 0) ::close(c.Fd);
}

// The floor: one thread, epoll; each connection's first byte names its group, then every 328-byte
// block goes to the other members of the group.
class TMinimalRelay {
public:
    TMinimalRelay() {
        Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage ss;
        const socklen_t len = zeltest::LoopbackAddr(AF_INET, 0, ss);
        bind(Listen, reinterpret_cast<sockaddr*>(&ss), len);
        listen(Listen, 4096);
        Port = zeltest::LocalPort(Listen);
        Thread = std::thread([this] { Run(); });
    }
    ~TMinimalRelay() {
        Stop = true;
        Thread.join();
        ::close(Listen);
    }
    uint16_t Port = 0;

private:
    struct TPeer {
        int Fd;
        int Group = -1;
        std::string In;
    };
    void Run() {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = ~0ull;
        epoll_ctl(ep, EPOLL_CTL_ADD, Listen, &e);
        std::vector<TPeer> peers;
        std::vector<std::vector<size_t>> groups(256);
        epoll_event evs[256];
        char buf[65536];
        while (!Stop) {
            const int n = epoll_wait(ep, evs, 256, 50);
            for (int k = 0; k < n; ++k) {
                if (evs[k].data.u64 == ~0ull) {
                    const int fd = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd < 0) continue;
                    peers.push_back(TPeer{fd, -1, std::string()});
                    epoll_event pe{};
                    pe.events = EPOLLIN;
                    pe.data.u64 = peers.size() - 1;
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &pe);
                    continue;
                }
                TPeer& p = peers[evs[k].data.u64];
                const ssize_t r = ::recv(p.Fd, buf, sizeof buf, 0);
                if (r <= 0) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, p.Fd, nullptr);
                    continue;
                }
                p.In.append(buf, size_t(r));
                if (p.Group < 0) {
                    p.Group = uint8_t(p.In[0]);
                    p.In.erase(0, 1);
                    groups[size_t(p.Group)].push_back(evs[k].data.u64);
                }
                while (p.In.size() >= kPacket) {
                    for (size_t i : groups[size_t(p.Group)])
                        if (&peers[i] != &p) (void)::send(peers[i].Fd, p.In.data(), kPacket, MSG_NOSIGNAL);
                    p.In.erase(0, kPacket);
                }
            }
        }
        for (TPeer& p : peers) ::close(p.Fd);
        ::close(ep);
    }
    int Listen = -1;
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

// A client process, forked before any thread runs: it waits for its port, then runs Body.
struct TChild {
    pid_t Pid = -1;
    int PortW = -1, SyncR = -1, OutR = -1;
    static TChild Fork(const std::function<void(uint16_t, int, int)>& Body) {
        int port[2], sync[2], out[2];
        if (pipe2(port, O_CLOEXEC) != 0 || pipe2(sync, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) std::exit(2);
        TChild c;
        c.Pid = fork();
        if (c.Pid == 0) {
            uint16_t p = 0;
            if (ReadAll(port[0], &p, sizeof p)) Body(p, sync[1], out[1]);
            _exit(0);
        }
        ::close(port[0]);
        ::close(sync[1]);
        ::close(out[1]);
        c.PortW = port[1], c.SyncR = sync[0], c.OutR = out[0];
        return c;
    }
    void Start(uint16_t Port) { WriteAll(PortW, &Port, sizeof Port); }
    // Waits for Fd's next bytes while Serve runs.
    static bool Wait(int Fd, const std::function<void()>& Serve) {
        for (;;) {
            pollfd p{Fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) return true;
            Serve();
        }
    }
    // The CPU of this process between the child's two sync bytes.
    double Window(const std::function<void()>& Serve) {
        char b;
        Wait(SyncR, Serve);
        if (::read(SyncR, &b, 1) != 1) return 0;
        const double c0 = CpuSeconds();
        Wait(SyncR, Serve);
        if (::read(SyncR, &b, 1) != 1) return 0;
        return CpuSeconds() - c0;
    }
    TResult Result(const std::function<void()>& Serve) {
        TResult r;
        Wait(OutR, Serve);
        ReadAll(OutR, &r, sizeof r);
        return r;
    }
    void End() {
        int st = 0;
        waitpid(Pid, &st, 0);
        for (int fd : {PortW, SyncR, OutR}) ::close(fd);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int G = argc > 1 ? std::atoi(argv[1]) : 50;
    const int M = argc > 2 ? std::atoi(argv[2]) : 100;
    const int R = argc > 3 ? std::atoi(argv[3]) : 5;
    const int D = argc > 4 ? std::atoi(argv[4]) : 10;
    const int N = argc > 5 ? std::atoi(argv[5]) : 1000;
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);

    const std::string dir = std::filesystem::temp_directory_path() / ("zel_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream f(dir + "/networks.cfg");
        for (int g = 0; g < G; ++g) f << "N" << g << "|SpeechPause=0\n";
        for (int g = 0; g < 50; ++g) f << "N" << 90000 + g << "\n";
    }
    // The clients first, while this process has no thread.
    TChild server = TChild::Fork([&](uint16_t Port, int S, int O) {
        RunLoad(Port, G, M, R, D, true, S, O);
        RunLogins(Port, N, O);
    });
    TChild floor = TChild::Fork([&](uint16_t Port, int S, int O) { RunLoad(Port, G, M, R, D, false, S, O); });

    TClientSettings set;
    set.RealNetworks = true;
    set.ActivityTimeout = 120;
    set.HandshakeTimeout = 60;
    set.MaxTotalConnections = 100000;
    set.Setup = [&](TZELService& S) {
        S.SetDataDir(DecodeUtf8U(dir));
        S.SetNetworksFileName(DecodeUtf8U(dir + "/networks.cfg"));
        S.LogClientLevel = 0;
    };
    TResult r, l, f;
    double cpuServer = 0, cpuFloor = 0;
    {
        TClientService svc(set);
        if (!svc.Start()) {
            std::fprintf(stderr, "server did not start\n");
            return 1;
        }
        const auto serve = [] { TThread::CheckSynchronize(0); };
        server.Start(svc.Port);
        cpuServer = server.Window(serve);
        r = server.Result(serve);
        l = server.Result(serve);
        server.End();
        svc.Stop();
    }
    {
        TMinimalRelay relay;
        floor.Start(relay.Port);
        cpuFloor = floor.Window([] {});
        f = floor.Result([] {});
        floor.End();
    }
    std::filesystem::remove_all(dir);
    const double expected = double(r.Sent) * double(M - 1);
    std::printf("load: %d networks x %d members, %d blocks/s per talker, %d s\n", G, M, R, D);
    std::printf("server: joined %llu, delivered/expected %llu/%.0f, dropped connections %llu\n",
                (unsigned long long)r.Joined, (unsigned long long)r.Delivered, expected, (unsigned long long)r.Dropped);
    std::printf("server: relay latency p50 %.0f us, p99 %.0f us; CPU %.3f s, %.2f us per delivery\n", r.P50us, r.P99us,
                cpuServer, r.Delivered ? cpuServer * 1e6 / double(r.Delivered) : 0.0);
    std::printf("minimal relay: delivered %llu, p50 %.0f us, p99 %.0f us, CPU %.3f s, %.2f us per delivery\n",
                (unsigned long long)f.Delivered, f.P50us, f.P99us, cpuFloor,
                f.Delivered ? cpuFloor * 1e6 / double(f.Delivered) : 0.0);
    if (f.Delivered && r.Delivered && cpuFloor > 0)
        std::printf("CPU per delivery, server / minimal relay: %.2f\n",
                    (cpuServer / double(r.Delivered)) / (cpuFloor / double(f.Delivered)));
    std::printf("logins: %llu of %d admitted, %llu refused or dropped, %.0f per second\n", (unsigned long long)l.Joined, N,
                (unsigned long long)l.Dropped, l.LoginsPerSec);
    return 0;
}
