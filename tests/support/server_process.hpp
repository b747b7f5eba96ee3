#pragma once
// The real program as a process under test: a temporary directory with a configuration of
// absolute paths and free loopback ports, the program started in it (foreground or daemon), its
// exit or its kill, the processes that name the directory, and what /proc tells of a server
// (open descriptors, resident size). Shared by the process tests of the console and the system
// tests (crash safety, soak, abuse); nothing here needs GoogleTest.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/loopback.hpp"

// The build names the program under test for every test that includes this.
#ifndef ZEL_SERVER_PROGRAM
#error "ZEL_SERVER_PROGRAM must name the program under test"
#endif

namespace zel::test {

using ProcClock = std::chrono::steady_clock;

// The system's ephemeral port range (where connect() takes the local ports of every outgoing
// connection on the machine); {0, 0} when it cannot be read.
inline std::pair<int, int> EphemeralPortRange() {
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0, high = 0;
    if (!(in >> low >> high) || low <= 0 || high < low) return {0, 0};
    return {low, high};
}

// A port for a server under test, free when looked at. It lies below the ephemeral range: a port
// from that range (what port 0 gives) may be taken, while a test kills and restarts its server, as
// the local port of any outgoing connection on the machine (a busy machine makes thousands), and
// the restarted server then fails to bind it. Never the same port twice in one process.
inline uint16_t FreeServerPort() {
    static std::mutex lock;
    static std::set<uint16_t> given;
    static std::mt19937 rng(uint32_t(::getpid()) * 2654435761u ^
                            uint32_t(ProcClock::now().time_since_epoch().count()));
    const std::lock_guard<std::mutex> g(lock);
    const auto [ephemeralLow, ephemeralHigh] = EphemeralPortRange();
    (void)ephemeralHigh;
    constexpr int kLowest = 10000;
    if (ephemeralLow > kLowest + 1000) {
        std::uniform_int_distribution<int> pick(kLowest, ephemeralLow - 1);
        for (int attempt = 0; attempt < 200; ++attempt) {
            const uint16_t port = uint16_t(pick(rng));
            if (given.count(port) != 0) continue;
            // Bound without SO_REUSEADDR on every address: anything on the port refuses it.
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            const bool free = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            if (fd >= 0) ::close(fd);
            if (!free) continue;
            given.insert(port);
            return port;
        }
    }
    const int fd = zeltest::BoundSocket(AF_INET);
    const uint16_t port = zeltest::LocalPort(fd);
    ::close(fd);
    given.insert(port);
    return port;
}

inline std::string ReadWholeFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
inline void WriteWholeFile(const std::string& Path, const std::string& Data) {
    std::ofstream(Path, std::ios::binary) << Data;
}

inline std::vector<std::string> SplitLines(const std::string& Text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < Text.size()) {
        size_t j = Text.find('\n', i);
        if (j == std::string::npos) j = Text.size();
        out.push_back(Text.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

// Polls Done every 20 ms until it holds or Limit has passed.
template <class Fn>
bool WaitUntil(Fn Done, std::chrono::milliseconds Limit = std::chrono::seconds(10)) {
    const auto end = ProcClock::now() + Limit;
    while (!Done()) {
        if (ProcClock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Exists and is no zombie (a daemon's end is reaped by whoever adopted it, maybe never). A killed
// process's first thread turns zombie while its other threads may still be ending, and they hold
// its descriptors (its listening ports, its PID file's lock) until the last of them has gone: it
// counts as alive until then.
inline bool ProcessAlive(pid_t Pid) {
    if (::kill(Pid, 0) != 0) return false;
    const std::string proc = "/proc/" + std::to_string(Pid);
    const std::string stat = ReadWholeFile(proc + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'Z') return true;
    int threads = 0;
    if (DIR* d = ::opendir((proc + "/task").c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++threads;
        ::closedir(d);
    }
    return threads > 1;
}

// The processes (zombies aside) whose command line holds Text, this one excepted.
inline std::vector<pid_t> ProcessesNaming(const std::string& Text) {
    std::vector<pid_t> found;
    DIR* d = ::opendir("/proc");
    if (d == nullptr) return found;
    while (dirent* e = ::readdir(d)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0 || pid == ::getpid()) continue;
        const std::string cmd = ReadWholeFile("/proc/" + std::string(e->d_name) + "/cmdline");
        if (cmd.find(Text) != std::string::npos && ProcessAlive(pid)) found.push_back(pid);
    }
    ::closedir(d);
    return found;
}

// Open descriptors of a process (-1 when it cannot be read).
inline int OpenDescriptorCount(pid_t Pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(Pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

// Resident size in KiB (VmRSS; -1 when it cannot be read).
inline long ResidentKiB(pid_t Pid) {
    for (const std::string& line : SplitLines(ReadWholeFile("/proc/" + std::to_string(Pid) + "/status")))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Raises the soft limit of open files to the hard one (the tests' many connections).
inline void RaiseOpenFilesLimit() {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
}

// Whether the program's resident size tells of its own memory: under AddressSanitizer (which the
// program shares with its tests) freed memory sits in the sanitizer's quarantine, and a leak is
// found by LeakSanitizer at the program's exit instead (its exit code then is not 0).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool ResidentSizeIsTheProgramsOwn = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool ResidentSizeIsTheProgramsOwn = false;
#else
inline constexpr bool ResidentSizeIsTheProgramsOwn = true;
#endif
#else
inline constexpr bool ResidentSizeIsTheProgramsOwn = true;
#endif

struct TProgramRun {
    int Code = -1;  // -1: did not end in time (killed)
    std::string Out;
    std::string Err;
};

// A directory under /tmp for one test run, and the program started in it. Every process started
// here, and every process whose command line names the directory (the daemons), is killed when
// the object goes, and the directory with it (Keep leaves the directory for a look).
class TServerDir {
public:
    explicit TServerDir(const std::string& Program = ZEL_SERVER_PROGRAM) : Program_(Program) {
        char tmpl[] = "/tmp/zelsysXXXXXX";
        if (::mkdtemp(tmpl) != nullptr) Dir_ = tmpl;
    }
    TServerDir(const TServerDir&) = delete;
    TServerDir& operator=(const TServerDir&) = delete;
    ~TServerDir() {
        KillAll();
        std::error_code ec;
        if (!Keep && !Dir_.empty()) std::filesystem::remove_all(Dir_, ec);
    }

    bool Ok() const { return !Dir_.empty(); }
    const std::string& Dir() const { return Dir_; }
    std::string Path(const std::string& Name) const { return Dir_ + "/" + Name; }
    std::string Get(const std::string& Name) const { return ReadWholeFile(Path(Name)); }
    void Put(const std::string& Name, const std::string& Data) const { WriteWholeFile(Path(Name), Data); }
    std::string Log() const { return Path("zel.log"); }
    std::string PidFile() const { return Path("zel.pid"); }
    pid_t DaemonPid() const { return static_cast<pid_t>(std::atoi(ReadWholeFile(PidFile()).c_str())); }

    // Starts Prog (the program by default) with Args, in the working directory Cwd when given;
    // its standard output and error go to <Tag>.out and <Tag>.err of the directory.
    pid_t Spawn(const std::vector<std::string>& Args, const std::string& Tag, const std::string& Prog = "",
                const std::string& Cwd = "") {
        const std::string out = Path(Tag + ".out"), err = Path(Tag + ".err");
        std::vector<std::string> argv{Prog.empty() ? Program_ : Prog};
        argv.insert(argv.end(), Args.begin(), Args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            // A foreground server ends with its test, however the test ends (a daemon forks away
            // from this and is found by its command line).
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int n = ::open("/dev/null", O_RDONLY);
            ::dup2(n, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (!Cwd.empty() && ::chdir(Cwd.c_str()) != 0) ::_exit(126);
            ::execv(cargv[0], cargv.data());
            ::_exit(127);
        }
        if (pid > 0) Children_.insert(pid);
        return pid;
    }
    // The exit code (128 + signal for a killed one), or -1 (after killing it) when it did not end
    // within Limit.
    int Wait(pid_t Pid, std::chrono::milliseconds Limit = std::chrono::seconds(15)) {
        int status = 0;
        const bool ended = WaitUntil([&] { return ::waitpid(Pid, &status, WNOHANG) == Pid; }, Limit);
        if (!ended) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, &status, 0);
        }
        Children_.erase(Pid);
        if (!ended) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    TProgramRun Run(const std::vector<std::string>& Args, const std::string& Tag = "run", const std::string& Prog = "",
                    const std::string& Cwd = "") {
        TProgramRun r;
        r.Code = Wait(Spawn(Args, Tag, Prog, Cwd));
        r.Out = Get(Tag + ".out");
        r.Err = Get(Tag + ".err");
        return r;
    }
    // The processes whose command line names this directory (the program's parents and daemons).
    std::vector<pid_t> Ours() const { return ProcessesNaming(Dir_); }
    void KillAll() {
        for (pid_t p : Children_) {
            ::kill(p, SIGKILL);
            ::waitpid(p, nullptr, 0);
        }
        Children_.clear();
        if (Dir_.empty()) return;
        for (pid_t p : Ours()) ::kill(p, SIGKILL);
        WaitUntil([&] { return Ours().empty(); }, std::chrono::seconds(5));
    }
    // A started child that the caller ends itself (a foreground server killed by a signal).
    void Forget(pid_t Pid) { Children_.erase(Pid); }

    // A configuration with absolute paths in this directory, free ports and the manager sections
    // off; Server and System hold more lines of their sections. The ports go to ClientPort and
    // CommandPort.
    std::string Config(const std::string& Name = "server.ini", bool CommandEnabled = true,
                       const std::string& LogFile = "", const std::string& System = "",
                       const std::string& Server = "") {
        ClientPort = FreeServerPort();
        CommandPort = FreeServerPort();
        const std::string ini =
            "[Server]\nServerOwnerEMail=" + OwnerEMail + "\nServerCharsetName=UTF-8\nListenServerPorts=" +
            std::to_string(ClientPort) + "\nIPVersion=4\n" + Server + "[System]\n" + System +
            "NetworksFileName=" + Path("networks.cfg") + "\nDataDir=" + Dir_ +
            "\nLogFile=" + (LogFile.empty() ? Log() : LogFile) + "\nPidFile=" + PidFile() +
            "\n[Command]\nCommandEnabled=" + (CommandEnabled ? "1" : "0") +
            "\nCommandPort=" + std::to_string(CommandPort) +
            "\n[Manager]\nManagerEnabled=0\n[Manager1]\nManagerEnabled=0\n[Manager2]\nManagerEnabled=0\n";
        Put(Name, ini);
        return Path(Name);
    }

    // Reports a failed check and keeps the directory for a look; false.
    bool Failed(const std::string& Why) {
        std::fprintf(stderr, "FAILED: %s (directory %s kept)\n", Why.c_str(), Dir_.c_str());
        Keep = true;
        return false;
    }
    // The log's "ERROR:" lines that Provoked (when given) does not claim; each is printed.
    std::vector<std::string> LogErrorLines(const std::function<bool(const std::string&)>& Provoked = {}) const {
        std::vector<std::string> found;
        for (const std::string& line : SplitLines(ReadWholeFile(Log())))
            if (line.find("ERROR:") != std::string::npos && !(Provoked && Provoked(line))) {
                std::fprintf(stderr, "log: %s\n", line.c_str());
                found.push_back(line);
            }
        return found;
    }
    // A foreground server ends with 0 on SIGTERM within 20 s.
    bool StopsOnSigterm(pid_t Pid) {
        ::kill(Pid, SIGTERM);
        return Wait(Pid, std::chrono::seconds(20)) == 0;
    }

    bool LogHas(const std::string& Text) const { return ReadWholeFile(Log()).find(Text) != std::string::npos; }
    bool WaitForLog(const std::string& Text, std::chrono::milliseconds Limit = std::chrono::seconds(10)) const {
        return WaitUntil([&] { return LogHas(Text); }, Limit);
    }

    // Client connections the running server counts, from its worker report over the command port
    // (the sum of the workers' connections, less the report's own command connection); -1 when
    // the report failed.
    int ServerConnections(const std::string& Cfg) {
        const TProgramRun r = Run({"threads", Cfg}, "threads");
        if (r.Code != 0) return -1;
        int sum = 0;
        for (const std::string& line : SplitLines(r.Out)) {
            const size_t colon = line.find(": ");
            if (line.rfind("Working thread #", 0) != 0 || colon == std::string::npos) return -1;
            sum += std::atoi(line.c_str() + colon + 2);
        }
        return sum - 1;
    }

    std::string OwnerEMail = "owner@example.org";
    uint16_t ClientPort = 0;
    uint16_t CommandPort = 0;
    bool Keep = false;

private:
    std::string Program_;
    std::string Dir_;
    std::set<pid_t> Children_;
};

}  // namespace zel::test
