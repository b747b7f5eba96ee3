// Abuse: the real server with normal clients beside abusive peers, all at once.
// - Drippers: connections that send their connect line one byte a second (from many loopback
//   addresses, eight each as the per-address limit allows), ended by the handshake time-out and
//   opened again.
// - Slow readers: members of a network with a talker that never read (a small receive window),
//   dropped by the output limit ("DISCONNECT_BANDWIDTH").
// - A flood of connect lines with broken UTF-8 parts and lines longer than the server takes.
// - A command-port client that sends garbage as fast as it can.
// Throughout, a normal client logs in every half second and must be answered within a second,
// and a normal listener in the talker's network must hear every block in order; the server's
// resident size is sampled and must stay bounded; afterwards its connection count is back to 0.
//
// zel_abuse [drippers [slow-readers [seconds]]]   (defaults 1000 100 60)
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ProcClock;
using test::TZelClient;

// The loopback addresses of one kind of peer: 127.0.Net.Host.
std::string SourcePrefix(int Net) { return "127.0." + std::to_string(Net) + "."; }
std::string Source(int Net, int Host) { return SourcePrefix(Net) + std::to_string(Host); }

class TAbuse {
public:
    TAbuse(int Drippers, int SlowReaders, int Seconds) : Drippers_(Drippers), Slow_(SlowReaders), Seconds_(Seconds) {}

    int Run() {
        test::RaiseOpenFilesLimit();
        if (!Sd_.Ok()) return Fail("no temporary directory");
        Sd_.Put("networks.cfg", "Lobby\nTalk\n");
        cfg_ = Sd_.Config("server.ini", true, "", "", "MaxTotalConnections=100000\n");
        pid_ = Sd_.Spawn({"run", cfg_}, "server");
        if (!Sd_.WaitForLog("Start listening: Client", 15s)) return Fail("the server did not start");
        rssStart_ = test::ResidentKiB(pid_);

        // The talker and the normal listener first, then the slow readers join them.
        if (!talker_.Connect(Sd_.ClientPort) ||
            talker_.Login(test::ConnectLine("talker@example.org", "TALK3R", "Talk")) != "OK")
            return Fail("the talker did not log in");
        if (!listener_.Connect(Sd_.ClientPort) ||
            listener_.Login(test::ConnectLine("listener@example.org", "L1STEN", "Talk")) != "OK")
            return Fail("the listener did not log in");
        if (!talker_.PumpUntil(
                [&] {
                    if (talker_.Grants == 0) talker_.Send("TX0\r\n");
                    return talker_.Grants > 0;
                },
                5000))
            return Fail("the talker got no floor");
        std::vector<std::unique_ptr<TZelClient>> slow;
        for (int i = 0; i < Slow_; ++i) {
            auto c = std::make_unique<TZelClient>();
            const std::string src = Source(2, 1 + i / 8);
            if (!c->Connect(Sd_.ClientPort, src.c_str(), 2048) ||
                c->Login(test::ConnectLine("slow" + std::to_string(i) + "@example.org", "SL0W" + std::to_string(i),
                                           "Talk")) != "OK")
                return Fail("slow reader " + std::to_string(i) + " did not log in");
            slow.push_back(std::move(c));
        }

        const auto end = ProcClock::now() + std::chrono::seconds(Seconds_);
        std::vector<std::thread> abusers;
        abusers.emplace_back([&] { Drip(end); });
        abusers.emplace_back([&] { Flood(end, 0); });
        abusers.emplace_back([&] { Flood(end, 1); });
        abusers.emplace_back([&] { CommandGarbage(end); });
        std::thread talk([&] { Talk(end, slow); });
        std::thread listen([&] { Listen(end); });
        Probe(end);
        for (std::thread& t : abusers) t.join();
        talk.join();
        listen.join();
        const uint64_t slowDropped = CountLog("DISCONNECT_BANDWIDTH");

        talker_.Close();
        listener_.Close();
        slow.clear();
        int conns = -1;
        test::WaitUntil([&] { return (conns = Sd_.ServerConnections(cfg_)) == 0; }, 30s);
        const long rssEnd = test::ResidentKiB(pid_);

        std::printf("run: %d s; drippers %d (from %d addresses), slow readers %d\n", Seconds_, Drippers_,
                    (Drippers_ + 7) / 8, Slow_);
        std::printf("drippers: %llu connections, %llu ended by the server, %llu bytes dripped, at most %llu open\n",
                    (unsigned long long)dripConnects_.load(), (unsigned long long)dripEnded_.load(),
                    (unsigned long long)dripBytes_.load(), (unsigned long long)dripMaxOpen_.load());
        std::printf("slow readers dropped for their output: %llu of %d\n", (unsigned long long)slowDropped, Slow_);
        std::printf("flood: %llu connect lines (broken UTF-8 or over-long), %llu answered\n",
                    (unsigned long long)flooded_.load(), (unsigned long long)floodLoggedIn_.load());
        std::printf("command-port garbage: %llu bytes in %llu connections\n", (unsigned long long)cmdBytes_.load(),
                    (unsigned long long)cmdConnects_.load());
        std::printf("normal logins: %llu, slowest %lld ms (its connect at most %lld ms), late (over 1 s) %llu, "
                    "failed %llu\n",
                    (unsigned long long)probes_, (long long)probeMaxMs_, (long long)probeConnectMaxMs_, (unsigned long long)probeLate_,
                    (unsigned long long)probeFailed_);
        std::printf("blocks: talker sent %llu, listener heard %llu in order (%s)\n", (unsigned long long)sent_.load(),
                    (unsigned long long)heard_.load(), listenOk_.load() ? "none missing" : "MISSING OR OUT OF ORDER");
        std::printf("resident KiB: start %ld, highest %ld, end %ld\n", rssStart_, rssMax_.load(), rssEnd);
        std::printf("connections at the end: %d\n", conns);

        int rc = 0;
        if (probeFailed_ + probeLate_ > 0) rc = Fail("a normal login was late or failed");
        if (!listenOk_.load() || heard_.load() != sent_.load() || sent_.load() == 0)
            rc = Fail("the listener missed blocks");
        if (Slow_ > 0 && slowDropped == 0) rc = Fail("no slow reader was dropped");
        // Bounded: the abusers' connections cost a few KiB each, not their traffic.
        if (test::ResidentSizeIsTheProgramsOwn && rssMax_.load() > rssStart_ + 64 * 1024)
            rc = Fail("the resident size grew without bound");
        if (conns != 0) rc = Fail("connections stay");
        if (dripEnded_.load() == 0 && Drippers_ > 0) rc = Fail("no dripper was ended");
        // The abusers' own errors are provoked (each abuser has addresses of its own); any other
        // error line is a finding.
        uint64_t provoked = 0;
        const auto byAbuser = [&](const std::string& Line) {
            for (int net : {1, 3, 4, 5})
                if (Line.find("ERROR: Context: " + SourcePrefix(net)) != std::string::npos) return ++provoked, true;
            return false;
        };
        if (!Sd_.LogErrorLines(byAbuser).empty()) rc = Fail("the log holds an error line the run did not provoke");
        std::printf("error lines provoked by the abusers: %llu\n", (unsigned long long)provoked);
        if (!Sd_.StopsOnSigterm(pid_)) rc = Fail("the server did not end with 0 on SIGTERM");
        if (rc == 0) std::printf("abuse survived\n");
        return rc;
    }

private:
    int Fail(const std::string& Why) { return Sd_.Failed(Why) ? 0 : 1; }
    uint64_t CountLog(const std::string& Word) const {
        uint64_t n = 0;
        for (const std::string& line : test::SplitLines(test::ReadWholeFile(Sd_.Log())))
            if (line.find(Word) != std::string::npos) ++n;
        return n;
    }

    // A normal client logs in every half second from 127.0.0.1; meanwhile the resident size is
    // sampled.
    void Probe(ProcClock::time_point End) {
        for (uint64_t i = 0; ProcClock::now() < End; ++i) {
            rssMax_ = std::max(rssMax_.load(), test::ResidentKiB(pid_));
            const auto t0 = ProcClock::now();
            TZelClient c;
            const bool connected = c.Connect(Sd_.ClientPort);
            probeConnectMaxMs_ = std::max<long long>(
                probeConnectMaxMs_,
                std::chrono::duration_cast<std::chrono::milliseconds>(ProcClock::now() - t0).count());
            const bool ok = connected &&
                            c.Login(test::ConnectLine("probe" + std::to_string(i % 50) + "@example.org",
                                                      "PR0BE" + std::to_string(i % 50), "Lobby"),
                                    3000) == "OK";
            const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(ProcClock::now() - t0).count();
            ++probes_;
            if (!ok) ++probeFailed_;
            else if (ms > 1000) ++probeLate_;
            probeMaxMs_ = std::max(probeMaxMs_, ms);
            c.Close();
            std::this_thread::sleep_until(t0 + 500ms);
        }
    }

    // Up to a thousand marked blocks a second: a talker in a hurry fills the slow readers' socket
    // buffers (which the kernel grows to megabytes on loopback) within seconds, not minutes. The
    // slow readers' keep-alives every two seconds.
    void Talk(ProcClock::time_point End, std::vector<std::unique_ptr<TZelClient>>& Slow) {
        auto nextKeep = ProcClock::now();
        for (uint32_t seq = 1; ProcClock::now() < End; ++seq) {
            const auto t0 = ProcClock::now();
            if (!talker_.Send(test::MarkedVoiceBlock(seq))) break;
            sent_.fetch_add(1);
            talker_.Pump(0);
            if (t0 >= nextKeep) {
                for (auto& s : Slow)
                    if (s->Fd >= 0 && !s->Send("P\r\n")) s->Close();
                nextKeep = t0 + 2s;
            }
            std::this_thread::sleep_until(t0 + 1ms);
        }
        // What is in flight arrives before the listener stops.
        std::this_thread::sleep_for(300ms);
        talker_.Send("RX0\r\n");
    }

    void Listen(ProcClock::time_point End) {
        uint32_t last = 0;
        auto lastKeep = ProcClock::now();
        while (ProcClock::now() < End + 1s) {
            const uint64_t before = listener_.MarkedBlocks;
            if (!listener_.Pump(50)) {
                listenOk_ = false;
                return;
            }
            if (listener_.MarkedBlocks != before) {
                // Pump may frame several; LastMark is the newest.
                if (listener_.LastMark != last + uint32_t(listener_.MarkedBlocks - before)) listenOk_ = false;
                last = listener_.LastMark;
                heard_ = listener_.MarkedBlocks;
            }
            if (ProcClock::now() - lastKeep > 2s) {
                listener_.Send("P\r\n");
                lastKeep = ProcClock::now();
            }
        }
    }

    // Every dripper sends the next byte of its connect line once a second; one the server ends is
    // opened again.
    void Drip(ProcClock::time_point End) {
        struct TDrip {
            int Fd = -1;
            size_t At = 0;
        };
        std::vector<TDrip> d(static_cast<size_t>(Drippers_));
        const std::string line = test::ConnectLine("drip@example.org", "DR1P", "Lobby");
        const auto open = [&](size_t i) {
            const std::string src = Source(1, 1 + int(i / 8));
            d[i].Fd = test::ConnectLoopback(Sd_.ClientPort, src.c_str(), 0, SOCK_NONBLOCK);
            d[i].At = 0;
            if (d[i].Fd >= 0) dripConnects_.fetch_add(1);
        };
        for (size_t i = 0; i < d.size(); ++i) open(i);
        char buf[4096];
        while (ProcClock::now() < End) {
            const auto t0 = ProcClock::now();
            uint64_t openNow = 0;
            for (size_t i = 0; i < d.size(); ++i) {
                if (d[i].Fd < 0) {
                    open(i);
                    continue;
                }
                pollfd p{d[i].Fd, POLLIN, 0};
                bool ended = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                             ::recv(d[i].Fd, buf, sizeof buf, MSG_DONTWAIT) <= 0;
                if (!ended) {
                    const ssize_t n = ::send(d[i].Fd, line.data() + d[i].At % line.size(), 1, MSG_NOSIGNAL);
                    if (n == 1) {
                        ++d[i].At;
                        dripBytes_.fetch_add(1);
                    } else if (errno != EAGAIN && errno != ENOTCONN) {
                        ended = true;
                    }
                }
                if (ended) {
                    ::close(d[i].Fd);
                    d[i].Fd = -1;
                    dripEnded_.fetch_add(1);
                } else {
                    ++openNow;
                }
            }
            dripMaxOpen_ = std::max(dripMaxOpen_.load(), openNow);
            std::this_thread::sleep_until(t0 + 1s);
        }
        for (TDrip& x : d)
            if (x.Fd >= 0) ::close(x.Fd);
    }

    // Connect lines with broken UTF-8 parts (Kind 0) or longer than a line may be (Kind 1), as fast
    // as the server takes them, from addresses of their own.
    void Flood(ProcClock::time_point End, int Kind) {
        std::mt19937 rng(uint32_t(Kind) + 17u);
        for (uint64_t i = 0; ProcClock::now() < End; ++i) {
            const std::string src = Source(3 + Kind, 1 + int(i % 200));
            TZelClient c;
            if (!c.Connect(Sd_.ClientPort, src.c_str())) continue;
            std::string line;
            if (Kind == 0) {
                std::string bad(2 + rng() % 30, '\0');
                for (char& ch : bad) ch = char(0x80 | (rng() & 0x7F));  // continuation and lead bytes out of place
                line = "CT:<VX>2014004</VX><EA>u8@example.org</EA><PW>pw</PW><ON>U8</ON><BC>PC Only</BC><CT>Town</CT>"
                       "<NN>Land</NN><NT>Lobby</NT><CEF>8</CEF><U8TF>0" + std::string("\x02") + "05" + bad +
                       "</U8TF>\r\n";
                if (rng() % 2) line.replace(60, 2, bad.substr(0, 2));  // broken bytes in the ANSI part too
            } else {
                line = "CT:<VX>2014004</VX><EA>" + std::string(4096 + rng() % 8192, 'a') + "@example.org</EA>\r\n";
            }
            c.Send(line);
            flooded_.fetch_add(1);
            if (c.Login("", 2000) != "") floodLoggedIn_.fetch_add(1);
        }
    }

    // Random bytes to the command port as fast as it takes them; a closed connection is opened again.
    void CommandGarbage(ProcClock::time_point End) {
        std::mt19937 rng(99);
        std::string junk(4096, '\0');
        while (ProcClock::now() < End) {
            const int fd = test::ConnectLoopback(Sd_.CommandPort, Source(5, 1).c_str());
            if (fd < 0) continue;
            cmdConnects_.fetch_add(1);
            while (ProcClock::now() < End) {
                for (char& ch : junk) ch = char(rng());
                if (!test::SendAll(fd, junk.substr(0, 1 + rng() % junk.size()))) break;
                cmdBytes_.fetch_add(junk.size());
            }
            ::close(fd);
        }
    }

    test::TServerDir Sd_;
    std::string cfg_;
    pid_t pid_ = 0;
    int Drippers_, Slow_, Seconds_;
    TZelClient talker_, listener_;
    long rssStart_ = 0;
    std::atomic<long> rssMax_{0};
    std::atomic<uint64_t> sent_{0}, heard_{0};
    std::atomic<bool> listenOk_{true};
    std::atomic<uint64_t> dripConnects_{0}, dripEnded_{0}, dripBytes_{0}, dripMaxOpen_{0};
    std::atomic<uint64_t> flooded_{0}, floodLoggedIn_{0}, cmdBytes_{0}, cmdConnects_{0};
    uint64_t probes_ = 0, probeLate_ = 0, probeFailed_ = 0;
    long long probeMaxMs_ = 0, probeConnectMaxMs_ = 0;
};

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
    const int drippers = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int slow = argc > 2 ? std::atoi(argv[2]) : 100;
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
    zel::TAbuse abuse(std::max(drippers, 0), std::max(slow, 0), std::max(seconds, 3));
    return abuse.Run();
}
