// Soak: the real server in the foreground on a temporary configuration and a free loopback port,
// and many short client lives from several threads: connect, log in, join, take the floor, talk
// a little, quit; mixed in, connections that send garbage, stop in the middle of the connect line,
// send a wrong operating line, or vanish with a reset. At the end the server's connection count
// (its worker report over the command port) is back to 0, its open descriptors back to the start
// figure, its resident size within a small margin of the figure after warm-up, and its log holds
// no "ERROR:" line.
//
// zel_soak [cycles [threads]]   (defaults 100000, 32)
#include <signal.h>

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
using test::TZelClient;

// The kinds of client life, by cycle number.
enum class TLife { Talk, Garbage, CutLine, CutLineWait, WrongLine, Vanish };

TLife LifeOf(uint64_t Cycle) {
    if (Cycle % 500 == 499) return TLife::CutLineWait;  // the handshake time-out ends it
    switch (Cycle % 10) {
        case 2: return TLife::Garbage;
        case 5: return TLife::CutLine;
        case 7: return TLife::WrongLine;
        case 9: return TLife::Vanish;
        default: return TLife::Talk;
    }
}

struct TCounts {
    std::atomic<uint64_t> Cycles{0}, Logins{0}, Blocks{0}, Garbage{0}, Cut{0}, Wrong{0}, Vanished{0};
    std::atomic<uint64_t> Failures{0};
};

class TSoak {
public:
    TSoak(uint64_t Cycles, int Threads) : Cycles_(Cycles), Threads_(Threads) {}

    int Run() {
        test::RaiseOpenFilesLimit();
        if (!Sd_.Ok()) return Fail("no temporary directory");
        std::string nets;
        for (int t = 0; t < Threads_; ++t) nets += "Soak" + std::to_string(t) + "\n";
        Sd_.Put("networks.cfg", nets);
        cfg_ = Sd_.Config("server.ini", true, "", "",
                          "MaxConnectionsPerAddress=100000\nMaxWaitConnections=1000\nMaxTotalConnections=10000\n"
                          "ThreadCacheTime=5\n");
        pid_ = Sd_.Spawn({"run", cfg_}, "server");
        if (!Sd_.WaitForLog("Start listening: Command", 15s)) return Fail("the server did not start");
        // The idle server's figures; the first workers and caches come with the warm-up.
        if (!Idle()) return Fail("the idle server counts connections");
        const int fdStart = test::OpenDescriptorCount(pid_);
        const long rssStart = test::ResidentKiB(pid_);

        const uint64_t warm = std::min<uint64_t>(Cycles_ / 10 + 1, 5000);
        const auto t0 = test::ProcClock::now();
        Load(0, warm);
        if (!Idle()) return Fail("connections stay after the warm-up");
        const long rssWarm = test::ResidentKiB(pid_);
        Load(warm, Cycles_);
        const double secs = std::chrono::duration<double>(test::ProcClock::now() - t0).count();
        const int connsEnd = Idle() ? 0 : Sd_.ServerConnections(cfg_);
        // Idle workers go after ThreadCacheTime (5 s) with their descriptors.
        int fdEnd = -1;
        test::WaitUntil(
            [&] {
                fdEnd = test::OpenDescriptorCount(pid_);
                return fdEnd == fdStart;
            },
            30s);
        const long rssEnd = test::ResidentKiB(pid_);

        std::printf("cycles: %llu in %.0f s (%llu threads, %.0f cycles/s)\n", (unsigned long long)n_.Cycles.load(),
                    secs, (unsigned long long)Threads_, double(n_.Cycles.load()) / secs);
        std::printf("logins with talk: %llu (%llu voice blocks), garbage: %llu, cut connect lines: %llu, "
                    "wrong lines: %llu, vanished: %llu; failed lives: %llu\n",
                    (unsigned long long)n_.Logins.load(), (unsigned long long)n_.Blocks.load(),
                    (unsigned long long)n_.Garbage.load(), (unsigned long long)n_.Cut.load(),
                    (unsigned long long)n_.Wrong.load(), (unsigned long long)n_.Vanished.load(),
                    (unsigned long long)n_.Failures.load());
        std::printf("connections at the end: %d\n", connsEnd);
        std::printf("descriptors: start %d, end %d\n", fdStart, fdEnd);
        std::printf("resident KiB: start %ld, after warm-up (%llu cycles) %ld, end %ld\n", rssStart,
                    (unsigned long long)warm, rssWarm, rssEnd);

        int rc = 0;
        if (n_.Failures.load() != 0) rc = Fail("client lives failed");
        if (connsEnd != 0) rc = Fail("connections stay");
        if (fdEnd != fdStart) rc = Fail("descriptors stay open");
        // A small margin: the allocator's arenas of the worker threads settle unevenly.
        if (test::ResidentSizeIsTheProgramsOwn && rssEnd > rssWarm + std::max<long>(4096, rssWarm / 10))
            rc = Fail("the resident size grew");
        if (!Sd_.LogErrorLines().empty()) rc = Fail("the log holds an error line");
        if (!Sd_.StopsOnSigterm(pid_)) rc = Fail("the server did not end with 0 on SIGTERM");
        if (rc == 0) std::printf("soak clean\n");
        return rc;
    }

private:
    int Fail(const std::string& Why) { return Sd_.Failed(Why) ? 0 : 1; }

    // The connection count reaches 0 within 15 s.
    bool Idle() {
        return test::WaitUntil([&] { return Sd_.ServerConnections(cfg_) == 0; }, 15s);
    }

    // Cycles [From, To) spread over the threads.
    void Load(uint64_t From, uint64_t To) {
        std::atomic<uint64_t> next{From};
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads_; ++t)
            threads.emplace_back([&, t] {
                std::mt19937 rng(uint32_t(t) * 7919u + uint32_t(From));
                for (uint64_t c; (c = next.fetch_add(1)) < To;) {
                    const char* failed = Life(t, c, rng);
                    if (failed != nullptr && n_.Failures.fetch_add(1) < 10)
                        std::fprintf(stderr, "cycle %llu: %s\n", (unsigned long long)c, failed);
                    n_.Cycles.fetch_add(1);
                }
            });
        for (std::thread& th : threads) th.join();
    }

    // Nothing, or what went wrong.
    const char* Life(int T, uint64_t Cycle, std::mt19937& Rng) {
        TZelClient c;
        if (!c.Connect(Sd_.ClientPort)) return "no connection";
        const std::string who = "s" + std::to_string(T) + "x" + std::to_string(Cycle % 997);
        const std::string line = test::ConnectLine(who + "@soak.example.org", "S" + std::to_string(T) + "X" +
                                                   std::to_string(Cycle % 997), "Soak" + std::to_string(T));
        switch (LifeOf(Cycle)) {
            case TLife::Garbage: {
                std::string junk(1 + Rng() % 300, '\0');
                for (char& ch : junk) ch = char(Rng());
                junk[0] = 'X';  // never a connect prefix
                c.Send(junk + "\r\n");
                n_.Garbage.fetch_add(1);
                // The server closes it.
                return Closed(c, 5000, "garbage left open");
            }
            case TLife::CutLine:
                c.Send(line.substr(0, Rng() % (line.size() - 2)));
                n_.Cut.fetch_add(1);
                return nullptr;  // and closed in the middle of the line
            case TLife::CutLineWait:
                c.Send(line.substr(0, 3 + Rng() % (line.size() - 5)));
                n_.Cut.fetch_add(1);
                return Closed(c, 8000, "a cut connect line outlived the handshake time-out");
            case TLife::WrongLine:
                if (c.Login(line) != "OK") return "no login";
                c.Send("XYZ\r\n");
                n_.Wrong.fetch_add(1);
                return Closed(c, 5000, "a wrong line left open");
            case TLife::Vanish:
                if (c.Login(line) != "OK") return "no login";
                c.Send(test::MarkedVoiceBlock(1).substr(0, 100));
                c.Abort();
                n_.Vanished.fetch_add(1);
                return nullptr;
            case TLife::Talk:
                break;
        }
        const std::string al = c.Login(line);
        if (al != "OK") {
            thread_local std::string why;
            why = "login answered \"" + al + "\"" + (c.Ended ? " and closed" : "");
            return why.c_str();
        }
        n_.Logins.fetch_add(1);
        // The floor is this thread's alone (its own network); a request before the join has
        // settled is not granted, so it is repeated as a client does.
        if (!c.PumpUntil(
                [&] {
                    if (c.Grants == 0) c.Send("TX0\r\n");
                    return c.Grants > 0;
                },
                3000))
            return c.Ended ? "closed before the floor" : "no floor";
        const int blocks = 1 + int(Rng() % 3);
        for (int b = 0; b < blocks; ++b) c.Send(test::MarkedVoiceBlock(uint32_t(Cycle)));
        n_.Blocks.fetch_add(uint64_t(blocks));
        c.Send("RX0\r\nP\r\n");
        c.Pump(0);
        return nullptr;
    }

    static const char* Closed(TZelClient& C, int LimitMs, const char* Otherwise) {
        return C.PumpUntil([&] { return C.Ended; }, LimitMs) || C.Ended ? nullptr : Otherwise;
    }

    test::TServerDir Sd_;
    std::string cfg_;
    pid_t pid_ = 0;
    uint64_t Cycles_;
    int Threads_;
    TCounts n_;
};

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
    const uint64_t cycles = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    const int threads = argc > 2 ? std::atoi(argv[2]) : 32;
    zel::TSoak soak(cycles, threads < 1 ? 1 : threads);
    return soak.Run();
}
