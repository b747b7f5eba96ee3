// Benchmark of the worker threads and the socket client contexts (not a test: it prints figures).
//
// The clients run in a child process forked before the server starts (one thread, epoll), so the
// server's CPU time and resident size are its own. The parent drives the child over a socket pair,
// one command line per step. Scenarios:
//   keep-alive   2,000 logged-in clients send "P" once a second: server CPU and wait returns/s
//   fan-out      the timer thread appends 328 bytes to every client and wakes each worker once,
//                five times a second: CPU, sends per delivered packet, append-to-receipt p50/p99
//   slow reader  the same with one client that stops reading: CPU and wait returns stay flat
//   flooder      one client streams "P" lines beside 500 idle ones that get the fan-out: lines/s,
//                the idle ones' p99
//   memory       resident size per idle logged-in client with 10,000 clients
//
// Usage: zel_worker_bench [seconds per phase, default 5]. Raises the soft descriptor limit; with a
// hard limit below 10,200 the memory phase runs with fewer clients and says so.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/client_service.hpp"

namespace {

using namespace std::chrono_literals;
using zel::test::ConnectLine;

constexpr size_t kPacket = 328;

uint64_t MonoNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// ---------------------------------------------------------------------------------------------
// The child: many clients on one epoll.

struct TBenchClient {
    int Fd = -1;
    uint16_t Port = 0;  // local port: the server knows the client by it
    std::string In;
    bool LoggedIn = false;
    bool Reading = true;
    uint64_t NextKeepAlive = 0;
};

class TClientDriver {
public:
    explicit TClientDriver(int Control) : Control_(Control) { Ep_ = epoll_create1(EPOLL_CLOEXEC); }

    void Run() {
        std::string line;
        while (ReadLine(line)) {
            std::istringstream in(line);
            std::string cmd;
            in >> cmd;
            if (cmd == "connect") {
                int n, port;
                in >> n >> port;
                Reply(Connect(n, port) ? "ok" : "failed");
            } else if (cmd == "port") {
                size_t i = 0;
                in >> i;
                Reply(std::to_string(i < Clients_.size() ? Clients_[i].Port : 0));
            } else if (cmd == "phase") {
                // phase <keepalive ms, 0 none> <flooder: client index, -1 none> <slow reader: index, -1 none>
                // <seconds>
                int keepAlive, flood, slow;
                double seconds;
                in >> keepAlive >> flood >> slow >> seconds;
                Reply(Phase(keepAlive, flood, slow, seconds));
            } else if (cmd == "close") {
                for (auto& c : Clients_) ::close(c.Fd);
                Clients_.clear();
                Reply("ok");
            } else if (cmd == "quit") {
                return;
            }
        }
    }

private:
    bool ReadLine(std::string& Line) {
        Line.clear();
        char c;
        while (::read(Control_, &c, 1) == 1) {
            if (c == '\n') return true;
            Line += c;
        }
        return false;
    }
    void Reply(const std::string& S) {
        const std::string l = S + "\n";
        (void)!::write(Control_, l.data(), l.size());
    }

    bool Connect(int N, int Port) {
        const std::string hello = ConnectLine();
        const size_t first = Clients_.size();
        for (int i = 0; i < N; ++i) {
            TBenchClient c;
            c.Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_storage ss;
            const socklen_t len = zeltest::LoopbackAddr(AF_INET, uint16_t(Port), ss);
            if (c.Fd < 0 || connect(c.Fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return false;
            if (::send(c.Fd, hello.data(), hello.size(), MSG_NOSIGNAL) != ssize_t(hello.size())) return false;
            zeltest::SetNonBlocking(c.Fd);
            c.Port = zeltest::LocalPort(c.Fd);
            Clients_.push_back(std::move(c));
        }
        for (size_t i = first; i < Clients_.size(); ++i) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = i;
            epoll_ctl(Ep_, EPOLL_CTL_ADD, Clients_[i].Fd, &ev);
        }
        // Every answer, within a minute.
        const uint64_t end = MonoNs() + 60000000000ull;
        size_t in = 0;
        while (in < Clients_.size() - first && MonoNs() < end) {
            epoll_event evs[256];
            const int n = epoll_wait(Ep_, evs, 256, 100);
            for (int k = 0; k < n; ++k) {
                TBenchClient& c = Clients_[evs[k].data.u64];
                Drain(c);
                if (!c.LoggedIn) {
                    const size_t a = c.In.find("\r\n");
                    const size_t b = a == std::string::npos ? a : c.In.find("\r\n", a + 2);
                    if (b != std::string::npos) {
                        c.LoggedIn = true;
                        c.In.erase(0, b + 2);
                        ++in;
                    }
                }
            }
        }
        return in == Clients_.size() - first;
    }

    void Drain(TBenchClient& C) {
        char buf[16384];
        for (;;) {
            const ssize_t n = ::recv(C.Fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            C.In.append(buf, size_t(n));
        }
    }

    // Packets delivered and their latencies (from the stamp at offset 3).
    void TakePackets(TBenchClient& C, std::vector<uint64_t>& Lat, uint64_t Now) {
        size_t at = 0;
        while (C.In.size() - at >= kPacket) {
            uint64_t stamp;
            std::memcpy(&stamp, C.In.data() + at + 3, sizeof stamp);
            // Packets sent before the phase waited for this side to read them: not counted.
            if (stamp >= PhaseStart_ && Now > stamp) Lat.push_back(Now - stamp);
            ++Packets_;
            at += kPacket;
        }
        C.In.erase(0, at);
    }

    std::string Phase(int KeepAliveMs, int Flooder, int Slow, double Seconds) {
        const bool Flood = Flooder >= 0;
        std::vector<uint64_t> lat, idleLat;
        Packets_ = 0;
        uint64_t floodBytes = 0;
        const uint64_t start = MonoNs();
        PhaseStart_ = start;
        const uint64_t end = start + uint64_t(Seconds * 1e9);
        for (size_t i = 0; i < Clients_.size(); ++i) {
            Clients_[i].NextKeepAlive = start + (KeepAliveMs > 0 ? uint64_t(KeepAliveMs) * 1000000u * i / Clients_.size() : 0);
            const bool reading = int(i) != Slow;
            if (reading != Clients_[i].Reading) {
                epoll_event ev{};
                ev.events = reading ? uint32_t(EPOLLIN) : 0u;
                ev.data.u64 = i;
                epoll_ctl(Ep_, EPOLL_CTL_MOD, Clients_[i].Fd, &ev);
                Clients_[i].Reading = reading;
            }
        }
        std::string flood;
        for (int i = 0; i < 4096; ++i) flood += "P\r\n";
        size_t floodAt = 0;
        while (MonoNs() < end) {
            epoll_event evs[512];
            const int n = epoll_wait(Ep_, evs, 512, Flood ? 0 : 5);
            const uint64_t now = MonoNs();
            for (int k = 0; k < n; ++k) {
                TBenchClient& c = Clients_[evs[k].data.u64];
                Drain(c);
                TakePackets(c, Flood && int(evs[k].data.u64) != Flooder ? idleLat : lat, now);
            }
            if (KeepAliveMs > 0)
                for (auto& c : Clients_)
                    if (now >= c.NextKeepAlive) {
                        (void)::send(c.Fd, "P\r\n", 3, MSG_NOSIGNAL);
                        c.NextKeepAlive += uint64_t(KeepAliveMs) * 1000000u;
                    }
            if (Flood) {
                // The flooder writes whole lines only, as fast as the server takes them.
                const ssize_t w = ::send(Clients_[size_t(Flooder)].Fd, flood.data() + floodAt, flood.size() - floodAt,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (w > 0) {
                    floodBytes += uint64_t(w);
                    floodAt = (floodAt + size_t(w)) % flood.size();
                } else if (n == 0) {
                    epoll_wait(Ep_, evs, 1, 1);
                }
            }
        }
        const double secs = double(MonoNs() - start) / 1e9;
        if (Flood) {
            // Bytes still in this side's send queue never reached the server.
            int outq = 0;
            if (ioctl(Clients_[size_t(Flooder)].Fd, SIOCOUTQ, &outq) == 0 && uint64_t(outq) <= floodBytes)
                floodBytes -= uint64_t(outq);
        }
        std::ostringstream out;
        const auto pct = [](std::vector<uint64_t>& v, double p) {
            if (v.empty()) return 0.0;
            std::sort(v.begin(), v.end());
            return double(v[std::min(v.size() - 1, size_t(p * double(v.size())))]) / 1e6;
        };
        out << Packets_ << " " << pct(lat, 0.5) << " " << pct(lat, 0.99) << " " << double(floodBytes) << " " << secs
            << " " << pct(idleLat, 0.5) << " " << pct(idleLat, 0.99) << " " << (idleLat.empty() ? 0 : pct(idleLat, 1.0));
        return out.str();
    }

    int Control_;
    int Ep_;
    std::vector<TBenchClient> Clients_;
    uint64_t Packets_ = 0;
    uint64_t PhaseStart_ = 0;  // CLOCK_MONOTONIC is one clock for both processes
};

// ---------------------------------------------------------------------------------------------
// The parent: the server.

double ProcessCpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of each thread of this process, by thread id.
std::map<int, double> ThreadCpu() {
    std::map<int, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    DIR* d = opendir("/proc/self/task");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) continue;
        char buf[1024];
        const size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = 0;
        const char* p = strrchr(buf, ')');
        if (!p) continue;
        unsigned long ut = 0, st = 0;
        // Fields after the name: state is 3; utime 14, stime 15.
        if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
            out[atoi(e->d_name)] = double(ut + st) / tick;
    }
    closedir(d);
    return out;
}

long RssKiB() {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (fgets(line, sizeof line, f))
        if (std::strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
    fclose(f);
    return kb;
}

class TBench {
public:
    TBench(int Control, double Seconds) : Control_(Control), Seconds_(Seconds) {}

    std::string Ask(const std::string& Cmd, double LimitS) {
        const std::string l = Cmd + "\n";
        (void)!::write(Control_, l.data(), l.size());
        std::string reply;
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(LimitS);
        while (std::chrono::steady_clock::now() < end) {
            if (zeltest::PollFor(Control_, POLLIN, 5)) {
                char c;
                if (::read(Control_, &c, 1) != 1) break;
                if (c == '\n') return reply;
                reply += c;
            } else {
                zel::TThread::CheckSynchronize(0);
            }
        }
        return "timeout";
    }

    struct TFigures {
        double Cpu = 0, WorkerCpu = 0, WaitsPerS = 0, SendsPerPacket = 0;
        std::vector<double> Child;
    };

    // One phase with the service running: CPU of the process and of its busiest thread, wait
    // returns per second, send attempts per delivered packet, and the child's figures.
    TFigures Phase(zel::test::TClientService& T, const std::string& Cmd) {
        uint64_t waits0 = 0, sends0 = 0;
        T.OnTimer([&] {
            waits0 = Waits(T);
            sends0 = Sends(T);
        });
        const double cpu0 = ProcessCpu();
        const auto threads0 = ThreadCpu();
        const auto t0 = std::chrono::steady_clock::now();
        const std::string reply = Ask(Cmd, Seconds_ + 30);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        TFigures f;
        f.Cpu = (ProcessCpu() - cpu0) / secs * 100.0;
        for (const auto& [tid, c] : ThreadCpu()) {
            const auto it = threads0.find(tid);
            f.WorkerCpu = std::max(f.WorkerCpu, (c - (it == threads0.end() ? 0.0 : it->second)) / secs * 100.0);
        }
        uint64_t waits1 = 0, sends1 = 0;
        T.OnTimer([&] {
            waits1 = Waits(T);
            sends1 = Sends(T);
        });
        f.WaitsPerS = double(waits1 - waits0) / secs;
        std::istringstream in(reply);
        double v;
        while (in >> v) f.Child.push_back(v);
        if (!f.Child.empty() && f.Child[0] > 0) f.SendsPerPacket = double(sends1 - sends0) / f.Child[0];
        return f;
    }

    static uint64_t Waits(zel::test::TClientService& T) {
        uint64_t n = 0;
        for (const auto& w : T.S->Workers())
            if (const auto* x = static_cast<const zel::TZELSVCWorker*>(w.get())) n += x->WaitReturns();
        return n;
    }
    static uint64_t Sends(zel::test::TClientService& T) {
        uint64_t n = 0;
        for (zel::TZELSVCContext* c : T.Net->Members) n += static_cast<zel::TZELSVCContextSNPS*>(c)->SendCalls();
        return n;
    }

    // The timer thread's fan-out: five times a second a stamped packet for every member but the
    // one on port Skip (0: none), then one wake-up per worker.
    static void FanOut(zel::test::TClientService& T, uint16_t Skip) {
        // Deadlines 200 ms apart: on the timer's 100 ms grid a late tick takes the next one's turn,
        // so the rate stays at five a second.
        auto next = std::make_shared<uint64_t>(0);
        const std::string skip = std::to_string(Skip);
        T.SetEveryTick([&T, next, skip] {
            const uint64_t now = MonoNs();
            if (now < *next) return;
            *next = *next + 200000000ull > now ? *next + 200000000ull : now + 200000000ull;
            std::string p(kPacket, '\0');
            p[0] = 2;
            std::memcpy(p.data() + 3, &now, sizeof now);
            for (zel::TZELSVCContext* m : T.Net->Members)
                if (m->ConnText() != skip) m->vSendNoFlush(p);
            for (const auto& w : T.S->Workers()) w->MarkHasWork();
        });
    }

    uint16_t Port(size_t Index) { return uint16_t(std::stoi(Ask("port " + std::to_string(Index), 5))); }

    int Control_;
    double Seconds_;
};

zel::test::TClientSettings Settings(int32_t PerThread) {
    zel::test::TClientSettings s;
    s.ClientsPerThread = PerThread;
    // Room for the slow reader's backlog under the send buffer's cap (4 x limit x factor).
    s.OutputBufferLimit = 4 << 20;
    s.ActivityTimeout = 30;
    s.HandshakeTimeout = 20;
    s.MaxConnectionsPerAddress = 0;
    s.MaxTotalConnections = 20000;
    return s;
}

std::unique_ptr<zel::test::TClientService> NewService(int32_t PerThread) {
    auto t = std::make_unique<zel::test::TClientService>(Settings(PerThread));
    t->S->LogClientLevel = 0;
    if (!t->Start()) return nullptr;
    return t;
}

// Raises the soft descriptor limit to the hard one; returns the limit in force.
rlim_t RaiseFileLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 1024;
    if (r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        (void)setrlimit(RLIMIT_NOFILE, &r);
        (void)getrlimit(RLIMIT_NOFILE, &r);
    }
    return r.rlim_cur;
}

void Machine() {
    std::string model = "?";
    if (FILE* f = fopen("/proc/cpuinfo", "r")) {
        char line[512];
        while (fgets(line, sizeof line, f))
            if (std::strncmp(line, "model name", 10) == 0) {
                const char* c = strchr(line, ':');
                model = c ? c + 2 : line;
                model.erase(model.find_last_not_of("\n") + 1);
                break;
            }
        fclose(f);
    }
    const double mem = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGESIZE)) / double(1 << 30);
    printf("machine: %ld CPUs (%s), %.1f GiB memory\n", sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), mem);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? atof(argv[1]) : 5.0;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Machine();
    // Each side of the 10,000 connections lives in its own process, so each needs 10,000
    // descriptors and a few for itself.
    const rlim_t files = RaiseFileLimit();
    int memClients = 10000;
    if (files < rlim_t(memClients) + 200) {
        memClients = files > 1200 ? int(files) - 200 : 1000;
        printf("note: the descriptor limit is %llu: the memory phase runs with %d clients, not 10000\n",
               (unsigned long long)files, memClients);
    }
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp) != 0) return 1;
    const pid_t child = fork();
    if (child == 0) {
        ::close(sp[0]);
        TClientDriver(sp[1]).Run();
        _exit(0);
    }
    ::close(sp[1]);
    TBench b(sp[0], seconds);
    char cmd[128];
    constexpr int32_t kPerThread = 500;  // the shipped ClientsPerThread

    {
        auto t = NewService(kPerThread);
        if (!t) return 2;
        snprintf(cmd, sizeof cmd, "connect 2000 %d", t->Port);
        if (b.Ask(cmd, 120) != "ok") return 3;
        size_t workers = 0;
        t->OnTimer([&] { workers = t->S->Workers().size(); });
        snprintf(cmd, sizeof cmd, "phase 1000 -1 -1 %g", seconds);
        auto f = b.Phase(*t, cmd);
        printf("keep-alive, 2000 clients sending \"P\" once a second, %zu workers of %d: server CPU %.1f%%, "
               "busiest thread %.1f%%, wait returns %.0f/s\n",
               workers, kPerThread, f.Cpu, f.WorkerCpu, f.WaitsPerS);

        TBench::FanOut(*t, 0);
        snprintf(cmd, sizeof cmd, "phase 0 -1 -1 %g", seconds);
        f = b.Phase(*t, cmd);
        printf("fan-out 5/s to 2000 clients: server CPU %.1f%%, busiest thread %.1f%%, wait returns %.0f/s, "
               "sends per packet %.2f, packets %.0f, append-to-receipt p50 %.2f ms p99 %.2f ms\n",
               f.Cpu, f.WorkerCpu, f.WaitsPerS, f.SendsPerPacket, f.Child[0], f.Child[1], f.Child[2]);

        // The slow reader: a backlog larger than the sockets hold, so its send buffer waits for
        // writability through the whole phase while the fan-out goes on.
        const uint16_t slow = b.Port(1);
        bool blocked = false;
        t->OnTimer([&] {
            if (zel::TZELSVCContextSNPS* m = t->Member(slow)) {
                m->vSend(std::string(16 << 20, 's'));
                blocked = true;
            }
        });
        snprintf(cmd, sizeof cmd, "phase 0 -1 1 %g", seconds);
        f = b.Phase(*t, cmd);
        bool still = false, over = false;
        t->OnTimer([&] {
            if (zel::TZELSVCContextSNPS* m = t->Member(slow)) {
                still = true;
                over = m->vIsOutputOverLimit(t->S->OutputBufferLimit);
            }
        });
        printf("fan-out with one slow reader%s: server CPU %.1f%%, busiest thread %.1f%%, wait returns %.0f/s, "
               "p50 %.2f ms p99 %.2f ms; the slow reader %s, over its output limit: %s\n",
               blocked ? " (16 MiB backlog)" : " (not found)", f.Cpu, f.WorkerCpu, f.WaitsPerS, f.Child[1],
               f.Child[2], still ? "still connected" : "dropped", over ? "yes" : "no");
        t->SetEveryTick(nullptr);
        b.Ask("close", 30);
        t->Stop();
    }
    {
        // One worker holds the flooder and the 500 idle clients.
        auto t = NewService(501);
        if (!t) return 2;
        snprintf(cmd, sizeof cmd, "connect 501 %d", t->Port);
        if (b.Ask(cmd, 120) != "ok") return 3;
        const uint16_t flooder = b.Port(0);
        TBench::FanOut(*t, flooder);
        snprintf(cmd, sizeof cmd, "phase 0 0 -1 %g", seconds);
        auto f = b.Phase(*t, cmd);
        // Lines the server read: what reached it less what still waits in its socket.
        int inq = 0;
        t->OnTimer([&] {
            if (zel::TZELSVCContextSNPS* m = t->Member(flooder)) (void)ioctl(m->Handle.load(), FIONREAD, &inq);
        });
        const double lines = (f.Child[3] - double(inq)) / 3.0 / f.Child[4];
        printf("flooder beside 500 idle clients (one worker): %.0f lines/s, idle clients' fan-out p50 %.2f ms "
               "p99 %.2f ms max %.2f ms, server CPU %.1f%%\n",
               lines, f.Child[5], f.Child[6], f.Child[7], f.Cpu);
        t->SetEveryTick(nullptr);
        b.Ask("close", 30);
        t->Stop();
    }
    {
        auto t = NewService(kPerThread);
        if (!t) return 2;
        zel::test::ServeFor(300ms);
        const long before = RssKiB();
        snprintf(cmd, sizeof cmd, "connect %d %d", memClients, t->Port);
        if (b.Ask(cmd, 180) != "ok") return 3;
        zel::test::ServeFor(1000ms);
        const long after = RssKiB();
        size_t workers = 0;
        t->OnTimer([&] { workers = t->S->Workers().size(); });
        printf("memory: %ld KiB resident before, %ld KiB with %d idle logged-in clients (%zu workers): "
               "%.1f KiB per client\n",
               before, after, memClients, workers, double(after - before) / double(memClients));
        b.Ask("close", 60);
        t->Stop();
    }
    b.Ask("quit", 5);
    waitpid(child, nullptr, 0);
    return 0;
}
