// The benchmark of record: the real program (ZELServer-console, as users run it) on a temporary
// configuration, driven over loopback by a load side of several threads, beside two floors that
// only relay under the same load: a single-threaded one (one epoll loop) and a multi-threaded one
// (one epoll loop per thread, each network's members on one thread). A floor takes a group byte,
// then 325-byte blocks, and sends each block to the other members of its group as a 328-byte
// packet.
//
// Rows: N clients in G networks, one talker per network at R blocks/s (latency from the talker's
// send to a listener's whole packet, CLOCK_MONOTONIC on both ends); idle clients (CPU and resident
// size per client); a login burst (all login lines sent at once, time until every answer came).
// CPU is each target process's own (utime + stime from /proc) over the window; the load side's
// is this process's.
//
// zel_server_bench [scale [seconds [parts [load-threads]]]]
//   scale: multiplies every client count (1 = the rows of record; 0.02 for a quick check)
//   seconds: the measured window of each row (default 8)
//   parts: letters of the parts to run, r (5,000-client relay rows), b (the big row), i (idle),
//          l (login burst), m (a mutes.dat of 100,000 and of 400,000 lines: start, rereads,
//          stop, SIGTERM during a reread); default "rbilm"
//   load-threads: the load side's threads (default 4)
// Every loop is bounded in count and time; only loopback addresses are used.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace {

using zel::test::TServerDir;

constexpr size_t kBlock = 325;
constexpr size_t kPacket = 328;
constexpr uint64_t kSec = 1000000000ull;

uint64_t NowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * kSec + uint64_t(t.tv_nsec);
}

// utime + stime of a process in seconds (/proc/<pid>/stat fields 14 and 15).
double ProcCpu(pid_t Pid) {
    const std::string s = zel::test::ReadWholeFile("/proc/" + std::to_string(Pid) + "/stat");
    const size_t paren = s.rfind(')');
    if (paren == std::string::npos) return 0;
    std::vector<std::string> f;
    size_t i = paren + 2;
    while (i < s.size() && f.size() < 15) {
        size_t j = s.find(' ', i);
        if (j == std::string::npos) j = s.size();
        f.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    if (f.size() < 15) return 0;
    // f[0] is field 3 (state): utime is f[11], stime f[12].
    return double(std::atoll(f[11].c_str()) + std::atoll(f[12].c_str())) / double(sysconf(_SC_CLK_TCK));
}

double SelfCpu() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int ThreadCount(pid_t Pid) {
    for (const std::string& l : zel::test::SplitLines(zel::test::ReadWholeFile("/proc/" + std::to_string(Pid) + "/status")))
        if (l.rfind("Threads:", 0) == 0) return std::atoi(l.c_str() + 8);
    return -1;
}

void NoDelay(int Fd) {
    const int one = 1;
    setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// ---------------------------------------------------------------------------------------------
// The floors: child processes forked before this process starts a thread.

class TFloor {
public:
    // One loop on its own listening socket; the load side sends each network to one loop.
    static void Loop(int Listen) {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event le{};
        le.events = EPOLLIN;
        le.data.u64 = ~0ull;
        epoll_ctl(ep, EPOLL_CTL_ADD, Listen, &le);
        std::vector<std::unique_ptr<TPeer>> peers;
        std::vector<std::vector<TPeer*>> groups(256);
        std::vector<epoll_event> evs(512);
        std::vector<char> buf(65536);
        char pkt[kPacket];
        for (;;) {
            const int n = epoll_wait(ep, evs.data(), int(evs.size()), 1000);
            for (int k = 0; k < n; ++k) {
                if (evs[size_t(k)].data.u64 == ~0ull) {
                    for (int a = 0; a < 256; ++a) {
                        const int fd = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                        if (fd < 0) break;
                        NoDelay(fd);
                        peers.push_back(std::make_unique<TPeer>());
                        peers.back()->Fd = fd;
                        peers.back()->Slot = peers.size() - 1;
                        epoll_event pe{};
                        pe.events = EPOLLIN;
                        pe.data.u64 = peers.size() - 1;
                        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &pe);
                    }
                    continue;
                }
                TPeer& p = *peers[evs[size_t(k)].data.u64];
                if (p.Fd < 0) continue;
                if (evs[size_t(k)].events & EPOLLOUT) Flush(ep, p);
                bool gone = false;
                for (int reads = 0; reads < 16; ++reads) {
                    const ssize_t r = ::recv(p.Fd, buf.data(), buf.size(), 0);
                    if (r > 0) {
                        p.In.append(buf.data(), size_t(r));
                        continue;
                    }
                    if (r == 0 || (errno != EAGAIN && errno != EINTR)) gone = true;
                    break;
                }
                if (p.Group < 0 && !p.In.empty()) {
                    p.Group = uint8_t(p.In[0]);
                    p.At = 1;
                    auto& g = groups[size_t(p.Group)];
                    p.Index = uint16_t(g.size() + 1);
                    g.push_back(&p);
                }
                while (p.Group >= 0 && p.In.size() - p.At >= kBlock) {
                    pkt[0] = 2;
                    pkt[1] = char(p.Index >> 8);
                    pkt[2] = char(p.Index & 0xFF);
                    std::memcpy(pkt + 3, p.In.data() + p.At, kBlock);
                    p.At += kBlock;
                    for (TPeer* q : groups[size_t(p.Group)])
                        if (q != &p && q->Fd >= 0) Send(ep, *q, pkt);
                }
                if (p.At > 0 && p.At == p.In.size()) {
                    p.In.clear();
                    p.At = 0;
                }
                if (gone) {
                    if (p.Group >= 0) {
                        auto& g = groups[size_t(p.Group)];
                        g.erase(std::remove(g.begin(), g.end(), &p), g.end());
                    }
                    epoll_ctl(ep, EPOLL_CTL_DEL, p.Fd, nullptr);
                    ::close(p.Fd);
                    p.Fd = -1;
                }
            }
        }
    }

    // Forks a floor of Threads loops; Ports gets one port per loop. The child lives until killed
    // (or until this process ends).
    static pid_t Start(int Threads, std::vector<uint16_t>& Ports) {
        std::vector<int> listens;
        for (int t = 0; t < Threads; ++t) {
            const int fd = zeltest::BoundSocket(AF_INET);
            listen(fd, 4096);
            fcntl(fd, F_SETFL, O_NONBLOCK);
            listens.push_back(fd);
            Ports.push_back(zeltest::LocalPort(fd));
        }
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            std::vector<std::thread> ts;
            for (int t = 1; t < Threads; ++t) ts.emplace_back([fd = listens[size_t(t)]] { Loop(fd); });
            Loop(listens[0]);
            _exit(0);
        }
        for (int fd : listens) ::close(fd);
        return pid;
    }

private:
    struct TPeer {
        int Fd = -1;
        int Group = -1;
        uint16_t Index = 0;
        std::string In, Out;
        size_t At = 0;
        uint64_t Slot = 0;  // its epoll data
    };
    static void Send(int Ep, TPeer& Q, const char* Pkt) {
        if (Q.Out.empty()) {
            const ssize_t w = ::send(Q.Fd, Pkt, kPacket, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w == ssize_t(kPacket)) return;
            const size_t done = w > 0 ? size_t(w) : 0;
            Q.Out.append(Pkt + done, kPacket - done);
            WantOut(Ep, Q, true);
            return;
        }
        Q.Out.append(Pkt, kPacket);
    }
    static void WantOut(int Ep, TPeer& Q, bool On) {
        epoll_event e{};
        e.events = EPOLLIN | (On ? EPOLLOUT : 0u);
        e.data.u64 = Q.Slot;
        epoll_ctl(Ep, EPOLL_CTL_MOD, Q.Fd, &e);
    }
    static void Flush(int Ep, TPeer& Q) {
        while (!Q.Out.empty()) {
            const ssize_t w = ::send(Q.Fd, Q.Out.data(), Q.Out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w <= 0) return;
            Q.Out.erase(0, size_t(w));
        }
        WantOut(Ep, Q, false);
    }
};


// ---------------------------------------------------------------------------------------------
// The load side.

struct TRow {
    const char* Name = "";
    int Nets = 0, Members = 0, Rate = 0;
    bool Talk = true;
};

struct TTarget {
    const char* Name = "";
    bool Protocol = false;  // the server's protocol, else a group byte and bare blocks
    pid_t Pid = -1;
    std::vector<uint16_t> Ports;  // network g goes to Ports[g % size]
    int Id = 0;                   // for the source addresses
};

struct TConn {
    int Fd = -1;
    int Net = 0, Member = 0;
    bool Talker = false, LoggedIn = false, Granted = false, Dropped = false;
    uint64_t Next = 0;      // the talker's next block
    uint64_t LastSend = 0;  // keep-alives
    std::string In;
    size_t At = 0;
};

struct TRowResult {
    uint64_t Connected = 0, Joined = 0, Granted = 0, Sent = 0, Expected = 0, Delivered = 0, Dropped = 0;
    double LoginSeconds = 0, Cpu = 0, Window = 0, LoadCpu = 0;
    double P50 = 0, P99 = 0, Max = 0;  // ms
    long RssBefore = 0, RssAfter = 0;
    int Threads = 0;
    double UsPerDelivery() const { return Delivered ? Cpu * 1e6 / double(Delivered) : 0; }
};

std::string LoginLine(int Net, int Member, int Id) {
    const std::string id = std::to_string(Net) + "x" + std::to_string(Member) + "t" + std::to_string(Id);
    return "CT:<VX>2014004</VX><EA>u" + id + "@bench.org</EA><PW>pw</PW><ON>C" + id +
           "</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>N" + std::to_string(Net) + "</NT>\r\n";
}

class TLoadThread {
public:
    std::vector<TConn> Conns;
    std::vector<uint32_t> Lat;  // microseconds
    uint64_t Sent = 0, Delivered = 0;

    void Connect(const TTarget& T, int RowNo) {
        Ep_ = epoll_create1(EPOLL_CLOEXEC);
        for (size_t i = 0; i < Conns.size(); ++i) {
            TConn& c = Conns[i];
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            // A source address of its own per row and target, so no earlier connection's port is
            // in the way; 20,000 connections per address at most.
            sockaddr_in src{};
            src.sin_family = AF_INET;
            const uint32_t a = (127u << 24) | (uint32_t(20 + RowNo % 200) << 16) | (uint32_t(T.Id) << 8) |
                               uint32_t(1 + (c.Net * 1000 + c.Member) / 20000);
            src.sin_addr.s_addr = htonl(a);
            sockaddr_storage ss;
            const socklen_t len = zeltest::LoopbackAddr(AF_INET, T.Ports[size_t(c.Net) % T.Ports.size()], ss);
            if (bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
                connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
                ::close(fd);
                continue;
            }
            NoDelay(fd);
            fcntl(fd, F_SETFL, O_NONBLOCK);
            c.Fd = fd;
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = i;
            epoll_ctl(Ep_, EPOLL_CTL_ADD, fd, &e);
        }
    }
    void SendHello(const TTarget& T) {
        for (TConn& c : Conns) {
            if (c.Fd < 0) continue;
            const std::string hello = T.Protocol ? LoginLine(c.Net, c.Member, T.Id) : std::string(1, char(c.Net));
            Write(c, hello);
            if (!T.Protocol) c.LoggedIn = c.Granted = true;
        }
    }
    bool AllLoggedIn() const {
        for (const TConn& c : Conns)
            if (c.Fd >= 0 && !c.LoggedIn) return false;
        return true;
    }
    bool TalkersGranted() const {
        for (const TConn& c : Conns)
            if (c.Fd >= 0 && c.Talker && !c.Granted) return false;
        return true;
    }
    void AskFloor(const TTarget& T) {
        for (TConn& c : Conns)
            if (c.Talker && c.Fd >= 0 && T.Protocol) Write(c, "TX0\r\n");
    }
    // Reads what arrived within Ms; keep-alives every 5 s on the server's protocol.
    void Pump(int Ms, bool Protocol) {
        epoll_event evs[512];
        const int n = epoll_wait(Ep_, evs, 512, Ms);
        for (int k = 0; k < n; ++k) {
            TConn& c = Conns[evs[k].data.u64];
            if (c.Fd < 0) continue;
            for (int reads = 0; reads < 8; ++reads) {
                const ssize_t r = ::recv(c.Fd, Buf_, sizeof Buf_, 0);
                if (r > 0) {
                    c.In.append(Buf_, size_t(r));
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) Drop(c);
                break;
            }
            Consume(c, Protocol);
        }
        const uint64_t now = NowNs();
        if (Protocol && now - LastKeepAlive_ > kSec) {
            LastKeepAlive_ = now;
            for (TConn& c : Conns)
                if (c.Fd >= 0 && c.LoggedIn && now - c.LastSend > 5 * kSec) Write(c, "P\r\n");
        }
    }
    // Talk until End, each talker at Rate blocks/s from Start on (spread over the period).
    void Talk(const TTarget& T, int Rate, uint64_t Start, uint64_t End) {
        const uint64_t period = kSec / uint64_t(std::max(1, Rate));
        std::vector<TConn*> talkers;
        for (TConn& c : Conns)
            if (c.Talker && c.Fd >= 0) talkers.push_back(&c);
        for (size_t k = 0; k < talkers.size(); ++k) talkers[k]->Next = Start + period * k / std::max<size_t>(1, talkers.size());
        std::string block = T.Protocol ? std::string("TX1\r\n") + std::string(kBlock, 'v') : std::string(kBlock, 'v');
        const size_t off = T.Protocol ? 5 : 0;
        uint32_t seq = 0;
        for (uint64_t now = NowNs(); now < End; now = NowNs()) {
            uint64_t next = End;
            for (TConn* c : talkers) {
                // A talker far behind skips what it missed instead of bursting.
                if (c->Next + kSec < now) c->Next = now;
                while (c->Fd >= 0 && c->Next <= now && c->Next < End) {
                    block[off] = 'Z';
                    block[off + 1] = 'B';
                    ++seq;
                    std::memcpy(&block[off + 2], &seq, 4);
                    const uint64_t t = NowNs();
                    std::memcpy(&block[off + 6], &t, 8);
                    if (Write(*c, block)) ++Sent;
                    c->Next += period;
                }
                next = std::min(next, c->Next);
            }
            const uint64_t wait = next > NowNs() ? next - NowNs() : 0;
            Pump(wait >= 1000000 ? 1 : 0, T.Protocol);
        }
    }
    void CloseAll() {
        for (TConn& c : Conns) {
            if (c.Fd < 0) continue;
            // A reset: no time-wait state is left behind.
            linger l{1, 0};
            setsockopt(c.Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(c.Fd);
            c.Fd = -1;
        }
        if (Ep_ >= 0) ::close(Ep_);
        Ep_ = -1;
    }
    uint64_t DroppedCount() const {
        uint64_t n = 0;
        for (const TConn& c : Conns) n += c.Dropped;
        return n;
    }

private:
    bool Write(TConn& C, const std::string& S) {
        size_t done = 0;
        // Loopback takes a block at once; a full socket is waited for at most 200 ms.
        const uint64_t limit = NowNs() + 200000000ull;
        while (done < S.size()) {
            const ssize_t w = ::send(C.Fd, S.data() + done, S.size() - done, MSG_NOSIGNAL);
            if (w > 0) {
                done += size_t(w);
                continue;
            }
            if (w < 0 && errno == EAGAIN && NowNs() < limit) {
                pollfd p{C.Fd, POLLOUT, 0};
                poll(&p, 1, 10);
                continue;
            }
            return false;
        }
        C.LastSend = NowNs();
        return true;
    }
    void Drop(TConn& C) {
        epoll_ctl(Ep_, EPOLL_CTL_DEL, C.Fd, nullptr);
        ::close(C.Fd);
        C.Fd = -1;
        C.Dropped = true;
    }
    // The server's packets by type byte (a floor sends only voice packets).
    void Consume(TConn& C, bool Protocol) {
        const std::string& s = C.In;
        const auto lineEnd = [&](size_t From) {
            const size_t p = s.find("\r\n", From);
            return p == std::string::npos ? p : p + 2;
        };
        if (Protocol && !C.LoggedIn) {
            // The login answer: its first line and the line after it.
            const size_t a = lineEnd(0);
            const size_t b = a == std::string::npos ? a : lineEnd(a);
            if (b == std::string::npos) return;
            C.LoggedIn = true;
            C.At = b;
        }
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
            if (t == 1) C.Granted = true;
            if (t == 2 && s[C.At + 3] == 'Z' && s[C.At + 4] == 'B') {
                uint64_t sent;
                std::memcpy(&sent, s.data() + C.At + 9, 8);
                Lat.push_back(uint32_t((NowNs() - sent) / 1000));
                ++Delivered;
            }
            C.At = end;
        }
        if (C.At == s.size()) {
            C.In.clear();
            C.At = 0;
        } else if (C.At > 65536) {
            C.In.erase(0, C.At);
            C.At = 0;
        }
    }

    int Ep_ = -1;
    uint64_t LastKeepAlive_ = 0;
    char Buf_[65536];
};

double Percentile(const std::vector<uint32_t>& Sorted, double Q) {
    if (Sorted.empty()) return 0;
    return double(Sorted[std::min(Sorted.size() - 1, size_t(double(Sorted.size()) * Q))]) / 1000.0;
}

// One row against one target. Every phase is bounded in time.
TRowResult RunRow(const TTarget& T, const TRow& R, int Threads, int Seconds, int RowNo) {
    TRowResult res;
    std::vector<std::unique_ptr<TLoadThread>> load;
    for (int t = 0; t < Threads; ++t) load.push_back(std::make_unique<TLoadThread>());
    // A network's members on one load thread, so a row's clients spread evenly.
    for (int g = 0; g < R.Nets; ++g)
        for (int m = 0; m < R.Members; ++m) {
            TConn c;
            c.Net = g;
            c.Member = m;
            c.Talker = R.Talk && m == 0;
            load[size_t(g % Threads)]->Conns.push_back(c);
        }
    res.RssBefore = T.Pid > 0 ? zel::test::ResidentKiB(T.Pid) : 0;
    std::barrier sync(Threads + 1);
    std::atomic<uint64_t> start{0}, end{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < Threads; ++t)
        ts.emplace_back([&, t] {
            TLoadThread& L = *load[size_t(t)];
            L.Connect(T, RowNo);
            sync.arrive_and_wait();  // 1: all connected
            L.SendHello(T);
            for (const uint64_t e = NowNs() + 60 * kSec; !L.AllLoggedIn() && NowNs() < e;) L.Pump(10, T.Protocol);
            sync.arrive_and_wait();  // 2: all logged in
            // The member lists settle (a floor takes every group byte), the talkers get the floor.
            for (const uint64_t e = NowNs() + (T.Protocol ? 2 : 1) * kSec; NowNs() < e;) L.Pump(10, T.Protocol);
            L.AskFloor(T);
            for (const uint64_t e = NowNs() + 10 * kSec; !L.TalkersGranted() && NowNs() < e;) L.Pump(10, T.Protocol);
            L.Lat.clear();
            L.Delivered = 0;
            sync.arrive_and_wait();  // 3: the window starts
            sync.arrive_and_wait();  // 4: start set
            if (R.Talk)
                L.Talk(T, R.Rate, start.load(), end.load());
            else
                while (NowNs() < end.load()) L.Pump(50, T.Protocol);
            // What is in flight arrives: until nothing came for a second (at most 20 s).
            {
                uint64_t last = L.Delivered, quietSince = NowNs();
                for (const uint64_t e = NowNs() + 20 * kSec; NowNs() < e;) {
                    L.Pump(10, T.Protocol);
                    if (L.Delivered != last) {
                        last = L.Delivered;
                        quietSince = NowNs();
                    } else if (NowNs() - quietSince > kSec) {
                        break;
                    }
                }
            }
            sync.arrive_and_wait();  // 5: the window ends
            sync.arrive_and_wait();  // 6: figures taken
            L.CloseAll();
        });
    sync.arrive_and_wait();
    const uint64_t login0 = NowNs();
    sync.arrive_and_wait();
    res.LoginSeconds = double(NowNs() - login0) / 1e9;
    sync.arrive_and_wait();
    const double cpu0 = T.Pid > 0 ? ProcCpu(T.Pid) : 0, self0 = SelfCpu();
    const uint64_t w0 = NowNs();
    start = w0 + 20000000ull;
    end = start.load() + uint64_t(Seconds) * kSec;
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    res.Window = double(NowNs() - w0) / 1e9;
    res.Cpu = T.Pid > 0 ? ProcCpu(T.Pid) - cpu0 : 0;
    res.LoadCpu = SelfCpu() - self0;
    res.RssAfter = T.Pid > 0 ? zel::test::ResidentKiB(T.Pid) : 0;
    res.Threads = T.Pid > 0 ? ThreadCount(T.Pid) : 0;
    std::vector<uint32_t> lat;
    for (auto& L : load) {
        for (const TConn& c : L->Conns) {
            res.Connected += c.Fd >= 0 || c.Dropped;
            res.Joined += c.LoggedIn;
            res.Granted += c.Talker && c.Granted;
        }
        res.Dropped += L->DroppedCount();
        res.Sent += L->Sent;
        res.Delivered += L->Delivered;
        lat.insert(lat.end(), L->Lat.begin(), L->Lat.end());
    }
    res.Expected = res.Sent * uint64_t(std::max(0, R.Members - 1));
    std::sort(lat.begin(), lat.end());
    res.P50 = Percentile(lat, 0.5);
    res.P99 = Percentile(lat, 0.99);
    res.Max = lat.empty() ? 0 : double(lat.back()) / 1000.0;
    sync.arrive_and_wait();
    for (auto& t : ts) t.join();
    return res;
}

// ---------------------------------------------------------------------------------------------
// Large lists: a mutes.dat of N valid lines (the server's own form, about 140 bytes each) in one
// network. Figures are wall-clock times of the real program, as an operator sees them.

std::string MutesFile(int Lines, const std::string& Tag) {
    const std::string now = std::to_string(::time(nullptr));
    const std::string setter = zel::CalcSourceId("k1own@example.org");
    std::string data = "# This file was created automaticly.\r\n";
    data.reserve(size_t(Lines) * 150);
    for (int i = 0; i < Lines; ++i) {
        const std::string n = std::to_string(i);
        data += "Lobby|" + zel::CalcSourceId(Tag + n + "@example.org") + "|4B314F574E|4445|4265726C696E|3730636D|444C" +
                zel::StrToHexA(n) + "|2|u" + now + "|4B314F574E|||||2|" + setter + "|\r\n";
    }
    return data;
}

double SecondsSince(uint64_t T0) { return double(NowNs() - T0) / 1e9; }

// Ends the daemon with SIGTERM; the seconds until its process is gone (-1: not within Limit s,
// then killed).
double StopDaemon(pid_t Pid, int Limit) {
    const uint64_t t0 = NowNs();
    ::kill(Pid, SIGTERM);
    if (zel::test::WaitUntil([&] { return !zel::test::ProcessAlive(Pid); }, std::chrono::seconds(Limit)))
        return SecondsSince(t0);
    ::kill(Pid, SIGKILL);
    return -1;
}

// Occurrences of Text in the server's log.
size_t LogCount(const TServerDir& Sd, const std::string& Text) {
    const std::string log = zel::test::ReadWholeFile(Sd.Log());
    size_t n = 0;
    for (size_t at = log.find(Text); at != std::string::npos; at = log.find(Text, at + 1)) ++n;
    return n;
}

void RunListRow(int Lines) {
    constexpr int kLimit = 120;  // seconds for any one step
    TServerDir sd;
    if (!sd.Ok()) return;
    const std::string mutes = MutesFile(Lines, "big"), others = MutesFile(Lines, "other");
    sd.Put("networks.cfg", "Lobby\n");
    sd.Put("mutes.dat", mutes);
    sd.Put("others.dat", others);
    const std::string cfg = sd.Config();
    std::printf("mutes.dat of %d lines (%.1f MB)\n", Lines, double(mutes.size()) / 1e6);
    std::fflush(stdout);
    auto ask = [&](const std::string& Line, double& Seconds) {
        const uint64_t t0 = NowNs();
        const std::string a = zel::test::CommandRequest(sd.CommandPort, Line, kLimit * 1000);
        Seconds = SecondsSince(t0);
        return a;
    };
    auto start = [&](double& Seconds) -> pid_t {
        const uint64_t t0 = NowNs();
        const zel::test::TProgramRun r = sd.Run({"daemon", cfg}, "daemon");
        double answered = 0;
        const std::string pid = r.Code == 0 ? ask(std::string(zel::ZELCmdLinePid), answered) : "";
        Seconds = SecondsSince(t0);
        if (r.Code != 0 || pid.empty()) {
            std::printf("  the daemon did not start (code %d): %s%s\n", r.Code, r.Out.c_str(), r.Err.c_str());
            return -1;
        }
        return sd.DaemonPid();
    };
    const std::string other = sd.Path("others.dat");
    double t = 0, installed = 0;
    pid_t p = start(t);
    if (p <= 0) return;
    ask(zel::MakeCmdListNetwork("Lobby"), installed);
    std::printf("  start (daemon until it answers): %.2f s, list installed %.2f s later\n", t, installed);
    std::string a = ask(zel::MakeCmdReread(zel::TZELCmdRereadList::fcrl_Mutes, ""), t);
    std::printf("  reread of the same file: %.2f s (%s)\n", t, a.empty() ? "no answer" : "answered");
    ask(zel::MakeCmdListNetwork("Lobby"), installed);
    a = ask(zel::MakeCmdReread(zel::TZELCmdRereadList::fcrl_Mutes, other), t);
    // The answer comes once the file is read; the network installs the list on the timer thread
    // afterwards, and a request to the network is answered once that is done.
    ask(zel::MakeCmdListNetwork("Lobby"), installed);
    std::printf("  reread of a file of other clients (every entry replaced): %.2f s (%s), installed %.2f s later\n",
                t, a.empty() ? "no answer" : "answered", installed);
    std::printf("  SIGTERM, idle: %.2f s\n", StopDaemon(p, kLimit));
    std::fflush(stdout);

    p = start(t);
    if (p <= 0) return;
    std::printf("  start again: %.2f s\n", t);
    const size_t before = LogCount(sd, "Reread mutes from: " + other);
    const int fd = zel::test::ConnectLoopback(sd.CommandPort);
    if (fd >= 0 && zel::test::SendAll(fd, zel::MakeCmdReread(zel::TZELCmdRereadList::fcrl_Mutes, other))) {
        zel::test::WaitUntil([&] { return LogCount(sd, "Reread mutes from: " + other) > before; },
                             std::chrono::seconds(kLimit));
        const double stop = StopDaemon(p, kLimit);
        std::printf("  SIGTERM during a reread: %.2f s (the reread %s)\n", stop,
                    LogCount(sd, "reading given up at the stop") > 0 ? "given up" : "done first");
    }
    if (fd >= 0) ::close(fd);
    std::fflush(stdout);
}

void PrintResult(const TTarget& T, const TRow& R, const TRowResult& r) {
    std::printf("  %-14s joined %llu/%d (login %.2f s), dropped %llu", T.Name, (unsigned long long)r.Joined,
                R.Nets * R.Members, r.LoginSeconds, (unsigned long long)r.Dropped);
    if (R.Talk)
        std::printf(", delivered %llu/%llu, CPU %.2f s = %.2f us/delivery, p50 %.2f ms, p99 %.2f ms, max %.1f ms",
                    (unsigned long long)r.Delivered, (unsigned long long)r.Expected, r.Cpu, r.UsPerDelivery(), r.P50,
                    r.P99, r.Max);
    else
        std::printf(", CPU %.1f %% of a core", 100.0 * r.Cpu / std::max(0.001, r.Window));
    std::printf(", threads %d; load side %.2f cores\n", r.Threads, r.LoadCpu / std::max(0.001, r.Window));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 8;
    const std::string parts = argc > 3 ? argv[3] : "rbilm";
    const int loadThreads = argc > 4 ? std::max(1, std::atoi(argv[4])) : 4;
    const auto scaled = [&](int N) { return std::max(2, int(std::lround(N * scale))); };
    const int cores = int(std::thread::hardware_concurrency());

    // Descriptors for every client of the biggest row on both ends (the children inherit them).
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t want = 1u << 20;
    if (lim.rlim_max < want) {
        rlimit raised{want, want};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
    getrlimit(RLIMIT_NOFILE, &lim);
    const int fdRoom = int(std::min<rlim_t>(lim.rlim_cur, 1u << 30)) - 200;

    // The rows of record (members per network 100).
    std::vector<TRow> rows;
    const int nets5k = std::max(1, scaled(5000) / 100), members = std::min(100, scaled(5000));
    if (parts.find('r') != std::string::npos)
        for (int rate : {5, 20, 50, 100, 200}) rows.push_back(TRow{"relay", nets5k, members, rate, true});
    int bigNets = std::max(1, scaled(18000) / 100);
    if (bigNets * members > fdRoom) bigNets = std::max(1, fdRoom / members);
    if (parts.find('b') != std::string::npos) rows.push_back(TRow{"big", bigNets, members, 5, true});
    if (parts.find('i') != std::string::npos) rows.push_back(TRow{"idle", bigNets, members, 0, false});
    if (parts.find('l') != std::string::npos) rows.push_back(TRow{"login", nets5k, members, 0, false});

    if (parts.find('m') != std::string::npos) {
        std::printf("machine: %d CPUs\n", cores);
        for (int lines : {100000, 400000}) RunListRow(scaled(lines));
        if (rows.empty()) return 0;
    }

    // The floors first, while this process has no thread.
    TTarget floor1;
    floor1.Name = "floor-1thread";
    floor1.Id = 2;
    floor1.Pid = TFloor::Start(1, floor1.Ports);
    TTarget floorN;
    floorN.Name = "floor-Nthreads";
    floorN.Id = 3;
    floorN.Pid = TFloor::Start(cores, floorN.Ports);

    TServerDir sd;
    if (!sd.Ok()) return 1;
    std::string nets;
    for (int g = 0; g < std::max(bigNets, nets5k); ++g) nets += "N" + std::to_string(g) + "|SpeechPause=0\n";
    sd.Put("networks.cfg", nets);
    const std::string cfg = sd.Config("server.ini", true, "", "LogClientLevel=0\n",
                                      "MaxConnectionsPerAddress=-1\nMaxWaitConnections=4096\nMaxTotalConnections=100000\n"
                                      "ClientActivityTimeout=30\nClientHandshakeTimeout=20\nThreadCacheTime=300\n");
    TTarget server;
    server.Name = "server";
    server.Protocol = true;
    server.Id = 1;
    server.Pid = sd.Spawn({"run", cfg}, "server");
    server.Ports = {sd.ClientPort};
    if (!sd.WaitForLog("Start listening: Command", std::chrono::seconds(20))) {
        std::fprintf(stderr, "the server did not start (%s)\n", sd.Dir().c_str());
        sd.Keep = true;
        return 1;
    }

    std::printf("machine: %d CPUs; descriptor limit %llu; load side %d threads; multi-threaded floor %d threads\n",
                cores, (unsigned long long)lim.rlim_cur, loadThreads, cores);
    std::printf("window %d s per row, scale %.3g\n", seconds, scale);
    const long rssIdle = zel::test::ResidentKiB(server.Pid);
    int rowNo = 0;
    for (const TRow& row : rows) {
        ++rowNo;
        std::printf("%s: %d clients in %d networks", row.Name, row.Nets * row.Members, row.Nets);
        if (row.Talk) std::printf(", %d blocks/s per talker (%d deliveries/s)", row.Rate, row.Nets * (row.Members - 1) * row.Rate);
        std::printf("\n");
        std::fflush(stdout);
        std::vector<const TTarget*> targets{&server};
        if (row.Talk) {
            targets.push_back(&floor1);
            targets.push_back(&floorN);
        }
        TRowResult rs[3];
        for (size_t k = 0; k < targets.size(); ++k) {
            rs[k] = RunRow(*targets[k], row, loadThreads, row.Talk ? seconds : std::max(seconds, 5), rowNo);
            PrintResult(*targets[k], row, rs[k]);
            if (targets[k] == &server) {
                // The clients of this row are gone before the next (bounded).
                zel::test::WaitUntil([&] { return sd.ServerConnections(cfg) == 0; }, std::chrono::seconds(60));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
            }
        }
        if (!row.Talk && std::string(row.Name) == "idle") {
            const double n = double(rs[0].Joined);
            std::printf("  idle: resident %ld KiB before, %ld KiB with the clients: %.2f KiB per client (idle server %ld KiB)\n",
                        rs[0].RssBefore, rs[0].RssAfter, n > 0 ? double(rs[0].RssAfter - rs[0].RssBefore) / n : 0.0,
                        rssIdle);
        }
        if (row.Talk && rs[1].Delivered && rs[2].Delivered)
            std::printf("  ratios: CPU/delivery server/1-thread %.2f, server/N-threads %.2f; p99 server - N-threads %+.2f ms\n",
                        rs[0].UsPerDelivery() / std::max(1e-9, rs[1].UsPerDelivery()),
                        rs[0].UsPerDelivery() / std::max(1e-9, rs[2].UsPerDelivery()), rs[0].P99 - rs[2].P99);
        std::fflush(stdout);
    }
    ::kill(floor1.Pid, SIGKILL);
    ::kill(floorN.Pid, SIGKILL);
    ::waitpid(floor1.Pid, nullptr, 0);
    ::waitpid(floorN.Pid, nullptr, 0);
    const bool stopped = sd.StopsOnSigterm(server.Pid);
    std::printf("server stopped on SIGTERM: %s\n", stopped ? "yes" : "no");
    return 0;
}
