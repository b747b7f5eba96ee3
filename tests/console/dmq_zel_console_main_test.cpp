// The real program, run as a process on temporary configurations: exit codes, the foreground
// server, the daemon, its PID file and its signals.
#include "console/dmq_zel_console_main.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/script_peer.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;
using TRun = test::TProgramRun;

std::vector<std::string> Lines(const std::string& Text) { return test::SplitLines(Text); }

bool EndsWith(const std::string& S, const std::string& Tail) {
    return S.size() >= Tail.size() && S.compare(S.size() - Tail.size(), Tail.size(), Tail) == 0;
}

bool Alive(pid_t Pid) { return test::ProcessAlive(Pid); }

// The program's resident size tells of its own memory: not under AddressSanitizer (its
// quarantine) nor ThreadSanitizer (its shadow memory grows with the program's).
#if defined(__SANITIZE_THREAD__)
constexpr bool kOwnResidentSize = false;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kOwnResidentSize = false;
#else
constexpr bool kOwnResidentSize = test::ResidentSizeIsTheProgramsOwn;
#endif
#else
constexpr bool kOwnResidentSize = test::ResidentSizeIsTheProgramsOwn;
#endif

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point Start) { return std::chrono::duration<double>(Clock::now() - Start).count(); }

// Another server's listening socket on Address:Port (no SO_REUSEADDR); -1 on failure.
int ListenOn(const char* Address, uint16_t Port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(Port);
    if (::inet_pton(AF_INET, Address, &a.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

size_t Occurrences(const std::string& Text, const std::string& Part) {
    size_t n = 0;
    for (size_t i = Text.find(Part); i != std::string::npos; i = Text.find(Part, i + Part.size())) ++n;
    return n;
}

// The program in a temporary directory (tests/support/server_process.hpp); TearDown kills every
// process it started and every daemon that names the directory.
class Program : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sd_.Ok());
        dir_ = sd_.Dir();
        Put(Path("networks.cfg"), "Lobby\n");
    }
    void TearDown() override { sd_.KillAll(); }

    std::string Path(const std::string& Name) const { return sd_.Path(Name); }
    static void Put(const std::string& P, const std::string& Data) { test::WriteWholeFile(P, Data); }
    static std::string Get(const std::string& P) { return test::ReadWholeFile(P); }
    std::vector<pid_t> Ours() const { return sd_.Ours(); }
    pid_t Spawn(const std::vector<std::string>& Args, const std::string& Tag, const std::string& Prog = "",
                const std::string& Cwd = "") {
        return sd_.Spawn(Args, Tag, Prog, Cwd);
    }
    int Wait(pid_t Pid, std::chrono::milliseconds Limit = 15s) { return sd_.Wait(Pid, Limit); }
    TRun Run(const std::vector<std::string>& Args, const std::string& Tag = "run", const std::string& Prog = "",
             const std::string& Cwd = "") {
        return sd_.Run(Args, Tag, Prog, Cwd);
    }
    std::string Config(const std::string& Name = "server.ini", bool CommandEnabled = true,
                       const std::string& LogFile = "", const std::string& System = "",
                       const std::string& Server = "") {
        const std::string cfg = sd_.Config(Name, CommandEnabled, LogFile, System, Server);
        clientPort_ = sd_.ClientPort;
        return cfg;
    }
    std::string Log() const { return sd_.Log(); }
    std::string Pid() const { return sd_.PidFile(); }
    pid_t DaemonPid() const { return sd_.DaemonPid(); }

    // Starts the daemon and waits until its client port listens; its PID.
    pid_t StartDaemon(const std::string& Cfg) {
        const TRun r = Run({"daemon", Cfg}, "start");
        EXPECT_EQ(r.Code, 0) << r.Out;
        EXPECT_EQ(r.Err, "");
        const pid_t pid = DaemonPid();
        EXPECT_GT(pid, 1);
        EXPECT_EQ(r.Out, ServerProductStart(Cfg, pid));
        EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Client") != std::string::npos; }))
            << Get(Log());
        return pid;
    }
    // The program and the shipped configuration copied into this directory, as the run script
    // places them, with free ports in place of the shipped ones and Owner, when given, as the
    // owner's address; the copied program's path.
    std::string ShippedCopy(const std::string& Owner) {
        namespace fs = std::filesystem;
        const std::string prog = Path("ZELServer-console");
        fs::copy_file(ZEL_SERVER_PROGRAM, prog, fs::copy_options::overwrite_existing);
        fs::copy(ZEL_DIST_DIR, dir_, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::string ini = Get(Path("server.ini"));
        clientPort_ = test::FreeServerPort();
        commandPort_ = test::FreeServerPort();
        for (const auto& [key, value] : {std::pair<std::string, std::string>{"ListenServerPorts=", std::to_string(clientPort_)},
                                         {"CommandPort=", std::to_string(commandPort_)},
                                         {"ServerOwnerEMail=", Owner}}) {
            if (value.empty()) continue;
            const size_t at = ini.find("\n" + key);
            EXPECT_NE(at, std::string::npos) << key;
            if (at == std::string::npos) continue;
            const size_t from = at + 1 + key.size();
            ini.replace(from, ini.find('\n', from) - from, value);
        }
        Put(Path("server.ini"), ini);
        return prog;
    }

    // A configuration whose first System Manager section names 127.0.0.1:Port, in mode ZEL.
    std::string ManagerConfig(uint16_t Port, const std::string& Server = "") {
        const std::string cfg = Config("server.ini", true, "", "", "ManagerMode=ZEL\n" + Server);
        std::string ini = Get(cfg);
        const std::string off = "[Manager]\nManagerEnabled=0\n";
        const size_t at = ini.find(off);
        EXPECT_NE(at, std::string::npos);
        if (at != std::string::npos)
            ini.replace(at, off.size(),
                        "[Manager]\nManagerEnabled=1\nManagerAddress=127.0.0.1\nManagerPort=" + std::to_string(Port) +
                            "\nManagerAuthEMail=srv@example.org\nManagerAuthPassword=pw\nManagerReconnectInterval=1\n"
                            "ManagerDelayAfterConnect=1\nManagerLogDebug=1\n");
        Put(cfg, ini);
        return cfg;
    }

    std::string ServerProductStart(const std::string& Cfg, pid_t P) const {
        const UnicodeString line = FormatDaemonStartLine(WidenStrU(Cfg), P, WidenStrU(Pid()));
        return std::string(line.begin(), line.end()) + "\n";
    }

    test::TServerDir sd_;
    std::string dir_;
    uint16_t clientPort_ = 0;
    uint16_t commandPort_ = 0;
};

// Every exit code of the local paths, with everything on standard output.
TEST_F(Program, ExitCodes) {
    const std::string cfg = Config();
    const std::string noCommands = Config("nocmd.ini", false);
    Put(Path("bad.ini"), "[Server]\nServerOwnerEMail=owner@example.org\n");
    struct Case {
        std::vector<std::string> Args;
        int Code;
        std::string Out;  // a line the output holds
        std::function<void()> Before;
    };
    int lockFd = -1;
    const std::vector<Case> cases = {
        {{"help"}, 0, "Commands:", nullptr},
        {{"serverid", "abc"}, 0, "kAFQmDzST7DWlj99KOF]cgkd", nullptr},
        {{"PidFileName", cfg}, 0, Pid(), nullptr},
        {{"logfilename", cfg}, 0, Log(), nullptr},
        {{"nosuchword", cfg}, 1, "ERROR: wrong command or flags or parameters", nullptr},
        {{"-u", "-a", "pid", cfg}, 1, "ERROR: wrong command or flags or parameters", nullptr},
        {{"setloglevel", "7", cfg}, 1, "ERROR: wrong command or flags or parameters", nullptr},
        {{"pid", Path("missing.ini")}, 2, "ERROR: Configuration file not found: \"" + Path("missing.ini") + "\"",
         nullptr},
        {{"pidfilename", Path("bad.ini")}, 3, "Error: Parameter [Server].ServerCharsetName is empty", nullptr},
        // A PID file whose lock a live process holds (this one); a stale one is taken over.
        {{"daemon", cfg}, 4, "ZELServer daemon already running? (check " + Pid() + ")",
         [&] {
             Put(Pid(), "12345\n");
             lockFd = ::open(Pid().c_str(), O_RDWR | O_CLOEXEC);
             flock fl{};
             fl.l_type = F_WRLCK;
             fl.l_whence = SEEK_SET;
             ASSERT_EQ(::fcntl(lockFd, F_SETLK, &fl), 0);
         }},
        {{"pid", cfg}, 5, "", [&] { Put(Pid(), "abc\n"); }},
        {{"stop", cfg}, 5, "", [&] { Put(Pid(), "0\n"); }},
        // The file's name once, then the system's error text alone.
        {{"pid", cfg}, 5, "ERROR: read PID-file [" + Pid() + "]: " + std::string(SysErrorText(ENOENT)) + "\n",
         [&] { std::filesystem::remove(Pid()); }},
        {{"setmanpassaddr", "no.host", "pw", cfg}, 8, "ERROR: Active ZEL System manager not found: no.host", nullptr},
        {{"dstop", noCommands}, 16, "ERROR: Commands for daemon are not allowed", nullptr},
        {{"frereadmutes", "x.dat", noCommands}, 16, "ERROR: Commands for daemon are not allowed", nullptr},
    };
    for (const Case& c : cases) {
        std::string args;
        for (const std::string& a : c.Args) args += a + " ";
        SCOPED_TRACE(args);
        if (c.Before) c.Before();
        const TRun r = Run(c.Args);
        EXPECT_EQ(r.Code, c.Code) << r.Out;
        EXPECT_EQ(r.Err, "");
        if (!c.Out.empty()) {
            EXPECT_NE(r.Out.find(c.Out), std::string::npos) << r.Out;
        }
        std::filesystem::remove(Pid());
        if (lockFd >= 0) ::close(lockFd);
        lockFd = -1;
    }
}

// SETMANPASSIDX writes the password into the section of its index.
TEST_F(Program, ManagerPasswordGoesIntoTheConfiguration) {
    const std::string cfg = Config();
    const TRun r = Run({"setmanpassidx", "1", "s3cret", cfg});
    EXPECT_EQ(r.Code, 0) << r.Out;
    const std::string ini = Get(cfg);
    const size_t section = ini.find("[Manager1]");
    ASSERT_NE(section, std::string::npos);
    const size_t key = ini.find("ManagerAuthPassword=s3cret");
    ASSERT_NE(key, std::string::npos) << ini;
    EXPECT_GT(key, section);
    EXPECT_LT(key, ini.find("[Manager2]"));

    // The shipped configuration keeps every comment, blank line and key as it was: only the new
    // key's line comes in, behind the last line of its section.
    const std::string shipped = Get(std::string(ZEL_DIST_DIR) + "/server.ini");
    Put(Path("shipped.ini"), shipped);
    EXPECT_EQ(Run({"setmanpassidx", "1", "s3cret", Path("shipped.ini")}).Code, 0);
    std::string want = shipped;
    const std::string section1 = "[Manager1]\nManagerEnabled=0\n";
    ASSERT_NE(want.find(section1), std::string::npos);
    want.insert(want.find(section1) + section1.size(), "ManagerAuthPassword=s3cret\n");
    EXPECT_EQ(Get(Path("shipped.ini")), want);

    // A password that the next start would refuse (it goes to the manager as a tagged element) is
    // refused now, by every password word, and the file stays as it was; the daemon words never
    // reach for the daemon.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"setmanpassidx", "0", "ab</PW>cd"},
             {"setmanpassaddr", "127.0.0.1", "a<b"},
             {"dsetmanpassidx", "0", "a\tb"},
             {"dsetmanpassaddr", "127.0.0.1", "ab>"}}) {
        SCOPED_TRACE(args[0] + " " + args[2]);
        std::vector<std::string> line = args;
        line.push_back(Path("shipped.ini"));
        const TRun r = Run(line);
        EXPECT_EQ(r.Code, 1);
        EXPECT_NE(r.Out.find("ERROR: Manager password refused: it holds '<', '>' or a control character"),
                  std::string::npos)
            << r.Out;
        EXPECT_EQ(Get(Path("shipped.ini")), want);
    }
}

// Two SETMANPASSIDX at once, on two managers, 20 rounds: both end with 0 and both passwords are in
// the file every time. A configuration that is a symbolic link gets the password in the file it
// leads to (the link stays); that file's CRLF lines and its last line without a line end stay.
TEST_F(Program, ManagerPasswordsWrittenAtOnceAreBothKept) {
    const std::string cfg = Config();
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const std::string a = "first" + std::to_string(round), b = "second" + std::to_string(round);
        const pid_t pa = Spawn({"setmanpassidx", "1", a, cfg}, "first");
        const pid_t pb = Spawn({"setmanpassidx", "2", b, cfg}, "second");
        EXPECT_EQ(Wait(pa), 0) << Get(Path("first.out"));
        EXPECT_EQ(Wait(pb), 0) << Get(Path("second.out"));
        const std::string ini = Get(cfg);
        const size_t m1 = ini.find("[Manager1]"), m2 = ini.find("[Manager2]");
        ASSERT_NE(m2, std::string::npos);
        const size_t ka = ini.find("ManagerAuthPassword=" + a + "\n"), kb = ini.find("ManagerAuthPassword=" + b + "\n");
        EXPECT_TRUE(ka != std::string::npos && ka > m1 && ka < m2) << ini;
        EXPECT_TRUE(kb != std::string::npos && kb > m2) << ini;
    }

    std::filesystem::create_directory(Path("etc"));
    const std::string target = Path("etc/real.ini");
    std::string crlf;
    for (const std::string& line : Lines(Get(cfg))) crlf += line + "\r\n";
    crlf += "; the end";  // no line end
    Put(target, crlf);
    const std::string link = Path("linked.ini");
    ASSERT_EQ(::symlink("etc/real.ini", link.c_str()), 0);
    const TRun r = Run({"setmanpassidx", "0", "linked", link});
    EXPECT_EQ(r.Code, 0) << r.Out;
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    const std::string saved = Get(target);
    EXPECT_NE(saved.find("[Manager]\r\nManagerEnabled=0\r\nManagerAuthPassword=linked\r\n"), std::string::npos) << saved;
    EXPECT_TRUE(EndsWith(saved, "\r\n; the end")) << saved;
    EXPECT_EQ(Occurrences(saved, "\r\n"), Occurrences(saved, "\n"));
    EXPECT_EQ(saved.size(), crlf.size() + std::string("ManagerAuthPassword=linked\r\n").size());
}

// The foreground server: banner, listening on the configured port, a client that logs in and
// joins its network, and a SIGTERM that ends it with 0 and "Aborted: SIGTERM" as its last line.
TEST_F(Program, ForegroundServerListensAndStopsOnSigterm) {
    const std::string cfg = Config("server.ini", true, "", "LogClientLevel=4\n");
    const pid_t p = Spawn({"debug", cfg}, "fg");
    ASSERT_TRUE(WaitUntil([&] { return Get(Path("fg.out")).find("Start listening: Client") != std::string::npos; }))
        << Get(Path("fg.out"));
    const std::string out = Get(Path("fg.out"));
    EXPECT_NE(out.find("Start listening: Client: 0.0.0.0:" + std::to_string(clientPort_)), std::string::npos) << out;
    EXPECT_EQ(Lines(out).at(0).rfind("ZELServer-console (", 0), 0u) << out;
    EXPECT_NE(out.find("INFO: Server-wide ZEL-System-Manager mode: STANDALONE"), std::string::npos);
    EXPECT_NE(out.find("INFO: Open files limit: "), std::string::npos);

    // A client logs in and joins the network of its connect line.
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, clientPort_, ss);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&ss), len), 0);
    const std::string login =
        "CT:<VX>2014004</VX><EA>n0call@example.org</EA><PW>pw</PW><ON>N0CALL</ON><BC>PC Only</BC>"
        "<CT>Town</CT><NN>Land</NN><NT>Lobby</NT>\r\n";
    ASSERT_EQ(::send(s, login.data(), login.size(), MSG_NOSIGNAL), ssize_t(login.size()));
    std::string answer;
    for (int i = 0; i < 50 && answer.find("</AL>") == std::string::npos; ++i) {
        if (!zeltest::PollFor(s, POLLIN, 100)) continue;
        char buf[4096];
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, size_t(n));
    }
    EXPECT_NE(answer.find("<AL>OK</AL>"), std::string::npos) << answer;
    EXPECT_NE(answer.find("<NT>Lobby</NT>"), std::string::npos) << answer;
    EXPECT_TRUE(WaitUntil([&] { return Get(Path("fg.out")).find(" LOGIN") != std::string::npos; }))
        << Get(Path("fg.out"));
    ::close(s);

    ASSERT_EQ(::kill(p, SIGTERM), 0);
    EXPECT_EQ(Wait(p), 0);
    const std::vector<std::string> lines = Lines(Get(Path("fg.out")));
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(EndsWith(lines.back(), ": Aborted: SIGTERM")) << lines.back();
    EXPECT_EQ(Get(Path("fg.err")), "");
}

// The [Server] limits and addresses of the configuration reach the running server: the
// connections per address and in total, DisableDUPL, and the backup server of the login answer.
TEST_F(Program, ConfiguredLimitsAndAddressesReachTheServer) {
    const struct {
        std::string Server;
        std::string Refusal;  // the log's word for the third connection
    } cases[] = {
        {"MaxConnectionsPerAddress=2\nDisableDUPL=1\nBackupServerAddress=backup.example.org\nBackupServerPort=10024\n",
         "DISCONNECT_LIMIT_ADDRESS"},
        {"MaxConnectionsPerAddress=0\nMaxTotalConnections=2\nDisableDUPL=1\nBackupServerAddress=backup.example.org\n"
         "BackupServerPort=10024\n",
         "DISCONNECT_LIMIT_TOTAL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Refusal);
        const std::string cfg = Config("server.ini", true, "", "", c.Server);
        const pid_t p = Spawn({"run", cfg}, "limits");
        ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Client") != std::string::npos; }))
            << Get(Log());
        test::TZelClient a, idle, third, dupl;
        ASSERT_TRUE(a.Connect(clientPort_));
        EXPECT_EQ(a.Login(test::ConnectLine("n0call@example.org", "N0CALL", "Lobby")), "OK");
        EXPECT_NE(a.Answer.find("<BN>backup.example.org</BN><BP>10024</BP>"), std::string::npos) << a.Answer;
        ASSERT_TRUE(idle.Connect(clientPort_));
        // The third one is closed without an answer.
        ASSERT_TRUE(third.Connect(clientPort_));
        EXPECT_TRUE(third.PumpUntil([&] { return third.Ended; }, 5000));
        EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find(c.Refusal) != std::string::npos; })) << Get(Log());
        // Once one goes, a duplicate of the logged-in client is answered BLOCK, not DUPL.
        idle.Close();
        third.Close();
        // Until the server has counted the closes, a newcomer is refused without an answer.
        std::string al;
        for (int i = 0; i < 50 && al.empty(); ++i) {
            if (i > 0) std::this_thread::sleep_for(100ms);
            if (dupl.Connect(clientPort_)) al = dupl.Login(test::ConnectLine("n0call@example.org", "N0CALL", "Lobby"));
        }
        EXPECT_EQ(al, "BLOCK") << dupl.Answer;
        ASSERT_EQ(::kill(p, SIGTERM), 0);
        EXPECT_EQ(Wait(p), 0);
        std::filesystem::remove(Log());
    }
}

// The shipped configuration beside the program: started with no parameters from another working
// directory, the program finds it, runs STANDALONE without an error line, listens on its client
// port and on the loopback command port, and ends with 0 on SIGTERM; as a daemon it keeps its PID
// file and log beside the program and leaves no PID file behind.
TEST_F(Program, ShippedConfigurationRunsBesideTheProgram) {
    // As shipped it names no owner, so that no address anyone knows owns a server: the program
    // refuses to run until one is set.
    std::string prog = ShippedCopy("");
    TRun r = Run({}, "no-owner", prog, "/");
    EXPECT_EQ(r.Code, 3);
    EXPECT_NE(r.Out.find("ServerOwnerEMail: Invalid or empty server owner email address"), std::string::npos) << r.Out;

    prog = ShippedCopy("owner-of-this-test@example.org");
    const std::string listening = "Start listening: Client: 0.0.0.0:" + std::to_string(clientPort_);
    const pid_t p = Spawn({}, "shipped", prog, "/");
    ASSERT_TRUE(WaitUntil([&] { return Get(Path("shipped.out")).find(listening) != std::string::npos; }))
        << Get(Path("shipped.out"));
    ASSERT_EQ(::kill(p, SIGTERM), 0);
    EXPECT_EQ(Wait(p), 0);
    const std::string out = Get(Path("shipped.out"));
    EXPECT_NE(out.find("INFO: Server-wide ZEL-System-Manager mode: STANDALONE"), std::string::npos) << out;
    EXPECT_NE(out.find("Start listening: Command: 127.0.0.1:" + std::to_string(commandPort_)), std::string::npos)
        << out;
    EXPECT_EQ(out.find("ERROR"), std::string::npos) << out;
    EXPECT_TRUE(EndsWith(Lines(out).back(), ": Aborted: SIGTERM")) << out;
    EXPECT_EQ(Get(Path("shipped.err")), "");

    const std::string pidFile = Path("zelserver.pid"), log = Path("zelserver.log");
    r = Run({"daemon"}, "daemon", prog, "/");
    ASSERT_EQ(r.Code, 0) << r.Out;
    EXPECT_EQ(r.Err, "");
    EXPECT_TRUE(std::filesystem::exists(pidFile));
    EXPECT_TRUE(WaitUntil([&] { return Get(log).find(listening) != std::string::npos; })) << Get(log);
    r = Run({"stop"}, "stop", prog, "/");
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty() && !std::filesystem::exists(pidFile); }));
    EXPECT_EQ(Get(log).find("ERROR"), std::string::npos) << Get(log);
    EXPECT_TRUE(EndsWith(Lines(Get(log)).back(), ": Aborted: SIGTERM")) << Get(log);
}

// A SIGTERM that comes while the server is still starting (right after its banner) ends it
// cleanly too; SIGINT has its own stop text.
TEST_F(Program, EarlyStopSignalEndsCleanly) {
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string tag = "early" + std::to_string(sig);
        const pid_t p = Spawn({"debug", Config()}, tag);
        ASSERT_TRUE(WaitUntil([&] { return Get(Path(tag + ".out")).find("ZELServer-console") != std::string::npos; }));
        ASSERT_EQ(::kill(p, sig), 0);
        EXPECT_EQ(Wait(p), 0);
        const std::vector<std::string> lines = Lines(Get(Path(tag + ".out")));
        EXPECT_TRUE(EndsWith(lines.back(), sig == SIGTERM ? ": Aborted: SIGTERM" : ": Aborted: SIGINT"))
            << lines.back();
    }
}

// SIGHUP keeps the system's default action (it ends the process) in DEBUG, which has no log file.
TEST_F(Program, HangUpEndsTheDebugServer) {
    const pid_t p = Spawn({"debug", Config()}, "hup");
    ASSERT_TRUE(WaitUntil([&] { return Get(Path("hup.out")).find("Start listening: Client") != std::string::npos; }))
        << Get(Path("hup.out"));
    ASSERT_EQ(::kill(p, SIGHUP), 0);
    EXPECT_EQ(Wait(p), 128 + SIGHUP);
}

// In RUN, as a service manager runs it, SIGHUP (the manager's reload) reopens the log whatever
// ReopenLogSignal names, and so does that signal; the server runs on.
TEST_F(Program, HangUpReopensTheLogInRunWhateverTheReopenSignal) {
    const std::string cfg = Config("server.ini", true, "", "ReopenLogSignal=SIGUSR1\nLogReopenLog=1\n");
    const pid_t p = Spawn({"run", cfg}, "hup-run");
    ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Client") != std::string::npos; })) << Get(Log());
    int moved = 0;
    for (int sig : {SIGHUP, SIGUSR1, SIGHUP}) {
        SCOPED_TRACE(sig);
        const std::string old = Path("zel.log." + std::to_string(++moved));
        std::filesystem::rename(Log(), old);
        ASSERT_EQ(::kill(p, sig), 0);
        EXPECT_TRUE(WaitUntil([&] { return std::filesystem::exists(Log()); }));
        EXPECT_TRUE(WaitUntil([&] { return Get(old).find("Reopen log file") != std::string::npos; })) << Get(old);
    }
    EXPECT_TRUE(Alive(p));
    ASSERT_EQ(::kill(p, SIGTERM), 0);
    EXPECT_EQ(Wait(p), 0);
    EXPECT_TRUE(EndsWith(Lines(Get(Log())).back(), ": Aborted: SIGTERM")) << Get(Log());
}

// The daemon: the parent's start line only once it runs; PID and STOP by the PID file; at the
// end no PID file and the log's last line names the stop.
TEST_F(Program, DaemonStartsAndStops) {
    const std::string cfg = Config();
    const pid_t pid = StartDaemon(cfg);
    ASSERT_TRUE(Alive(pid));
    EXPECT_NE(::getsid(pid), ::getsid(0));  // a session of its own

    TRun r = Run({"pid", cfg});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, std::to_string(pid) + "\n");

    r = Run({"stop", cfg});
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Pid()) && !Alive(pid); }));
    const std::vector<std::string> lines = Lines(Get(Log()));
    EXPECT_TRUE(EndsWith(lines.back(), ": Aborted: SIGTERM")) << lines.back();
    EXPECT_EQ(lines.at(0), ServerProductStart(cfg, pid).substr(0, ServerProductStart(cfg, pid).size() - 1));
    EXPECT_TRUE(Ours().empty());
}

// A SIGTERM straight after the parent returned ends the daemon cleanly.
TEST_F(Program, DaemonStopsOnSigtermRightAfterStart) {
    const std::string cfg = Config();
    const TRun r = Run({"daemon", cfg}, "start");
    ASSERT_EQ(r.Code, 0) << r.Out;
    const pid_t pid = DaemonPid();
    ASSERT_GT(pid, 1);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Pid()) && Ours().empty(); }));
    EXPECT_TRUE(EndsWith(Lines(Get(Log())).back(), ": Aborted: SIGTERM")) << Get(Log());
}

// Two daemons started at once on one PID file: one runs (its parent says so), the other's parent
// ends with 4.
TEST_F(Program, TwoDaemonsOnOnePidFileLeaveOne) {
    const std::string cfg = Config();
    const pid_t a = Spawn({"daemon", cfg}, "a");
    const pid_t b = Spawn({"daemon", cfg}, "b");
    const int ca = Wait(a), cb = Wait(b);
    EXPECT_EQ(std::multiset<int>({ca, cb}), std::multiset<int>({0, 4})) << Get(Path("a.out")) << Get(Path("b.out"));
    EXPECT_EQ(Get(Path("a.err")) + Get(Path("b.err")), "");
    const pid_t pid = DaemonPid();
    ASSERT_GT(pid, 1);
    // The other child, if it got as far as forking, is gone.
    EXPECT_TRUE(WaitUntil([&] { return Ours() == std::vector<pid_t>{pid}; })) << Ours().size();
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty() && !std::filesystem::exists(Pid()); }));
}

// A log that cannot be opened: the parent reports the child's error with 3; nothing stays.
TEST_F(Program, UnwritableLogFailsTheStart) {
    const std::string cfg = Config("server.ini", true, Path("no/such/dir/zel.log"));
    const TRun r = Run({"daemon", cfg});
    EXPECT_EQ(r.Code, 3) << r.Out;
    EXPECT_EQ(r.Out.rfind("Error: ", 0), 0u) << r.Out;
    EXPECT_NE(r.Out.find(Path("no/such/dir/zel.log")), std::string::npos) << r.Out;
    EXPECT_EQ(r.Err, "");
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
    EXPECT_FALSE(std::filesystem::exists(Pid()));
}

// A PID file naming a live process that is not the daemon (it holds no lock): STOP, REOPENLOG
// and PID leave it alone.
TEST_F(Program, StrangerInThePidFileIsNeverSignalled) {
    const std::string cfg = Config();
    const pid_t stranger = ::fork();
    if (stranger == 0) {
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(stranger, 0);
    struct TReap {
        pid_t P;
        ~TReap() {
            ::kill(P, SIGKILL);
            ::waitpid(P, nullptr, 0);
        }
    } reap{stranger};
    Put(Pid(), std::to_string(stranger) + "\n");

    TRun r = Run({"stop", cfg});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "ERROR: no process with PID=" + std::to_string(stranger) + "\n");
    r = Run({"reopenlog", cfg});
    EXPECT_EQ(r.Code, 0);
    r = Run({"pid", cfg});
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, "");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(::waitpid(stranger, nullptr, WNOHANG), 0);  // still there, never signalled
    EXPECT_TRUE(std::filesystem::exists(Pid()));
}

// SIGHUP after the log was moved away: the daemon writes a new log of the configured name; the
// REOPENLOG command does the same and waits for the file.
TEST_F(Program, ReopenSignalRecreatesAMovedLog) {
    const std::string cfg = Config("server.ini", true, "", "LogReopenLog=1\n");
    const pid_t pid = StartDaemon(cfg);
    std::filesystem::rename(Log(), Path("zel.log.1"));
    ASSERT_EQ(::kill(pid, SIGHUP), 0);
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(Log()); }));
    EXPECT_TRUE(WaitUntil([&] { return Get(Path("zel.log.1")).find("Reopen log file") != std::string::npos; }));

    std::filesystem::rename(Log(), Path("zel.log.2"));
    EXPECT_EQ(Run({"reopenlog", cfg}).Code, 0);
    EXPECT_TRUE(std::filesystem::exists(Log()));

    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
    EXPECT_FALSE(Alive(pid));
    EXPECT_TRUE(EndsWith(Lines(Get(Log())).back(), ": Aborted: SIGTERM")) << Get(Log());
    EXPECT_EQ(Get(Path("zel.log.1")).find("Aborted"), std::string::npos);
}

// The daemon command words against the real daemon over its command port.
class DaemonCommands : public Program {
protected:
    void SetUp() override {
        Program::SetUp();
        cfg_ = Config();
        pid_ = StartDaemon(cfg_);
        ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Command") != std::string::npos; }));
    }
    TRun Word(std::vector<std::string> Args) {
        Args.push_back(cfg_);
        return Run(Args);
    }
    // DSTOP: exit 0, the PID file goes and the log ends with the stop's text.
    void Stop() {
        const TRun r = Word({"dstop"});
        EXPECT_EQ(r.Code, 0) << r.Out;
        EXPECT_EQ(r.Out, "");
        EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Pid()) && !Alive(pid_); }));
        const std::vector<std::string> lines = Lines(Get(Log()));
        EXPECT_TRUE(EndsWith(lines.back(), ": Aborted: Stop command")) << lines.back();
    }
    bool HasNetworks() const { return Get(Log()).find(" Net: \"Lobby\"") != std::string::npos; }

    std::string cfg_;
    pid_t pid_ = 0;
};

TEST_F(DaemonCommands, WordsWithoutNetworksAnswerAndEndWithTheirCodes) {
    TRun r = Word({"dpid"});
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_EQ(r.Out, std::to_string(pid_) + "\n");

    const struct {
        std::vector<std::string> Args;
        int Code;
        std::string Out;  // the whole output; "*" at the end: its start
    } cases[] = {
        {{"listnet", "Nowhere"}, 16, "ERROR: List of clients for the network: Wrong network\n"},
        {{"disconnectmanidx", "1"}, 19, "ERROR: disconnect manager by index: Not connected\n"},
        {{"uptime"}, 0, "Server uptime: *"},
        {{"threads"}, 0, "Working thread #0: *"},
        {{"logtext", "note from the operator"}, 0, ""},
        {{"setloglevel", "3"}, 0, ""},
        {{"drereadall"}, 0, ""},
        {{"flushdata"}, 0, ""},
        {{"dreopenlog"}, 0, ""},
        // A reread that fails is answered, not left to the reply time-out.
        {{"frereadmutes", Path("missing.dat")}, 16,
         "ERROR: Reread list of muted clients: \"" + Path("missing.dat") + "\": Operation error\n"},
        {{"memoryreport"}, 20, "ERROR: Memory report: Not supported\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args.front());
        r = Word(c.Args);
        EXPECT_EQ(r.Code, c.Code) << r.Out;
        EXPECT_EQ(r.Err, "");
        if (!c.Out.empty() && c.Out.back() == '*')
            EXPECT_EQ(r.Out.rfind(c.Out.substr(0, c.Out.size() - 1), 0), 0u) << r.Out;
        else
            EXPECT_EQ(r.Out, c.Out);
    }
    EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find("note from the operator") != std::string::npos; }));
    Stop();
}

// Words whose work is a network's command handlers: the query is answered and the mute reaches
// the file.
TEST_F(DaemonCommands, NetworkWordsMuteAndReportTheConnectionMode) {
    if (!HasNetworks()) {
        Stop();
        GTEST_SKIP() << "the daemon runs without networks";
    }
    TRun r = Word({"connstatus", "Lobby"});
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_EQ(r.Out, "0\n");
    const std::string id = "kAFQmDzST7DWlj99KOF]cgkd";
    r = Word({"mute", "Lobby", id});
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_TRUE(WaitUntil([&] { return Get(Path("mutes.dat")).find(id) != std::string::npos; }));
    // A client that is nowhere: the network answers "-NOCLIENT".
    r = Word({"disconnectcli", "Lobby", id});
    EXPECT_NE(r.Code, 0) << r.Out;
    EXPECT_NE(r.Out.find("No client online"), std::string::npos) << r.Out;
    Stop();
}

// A logged-in client is listed; the network's Parrot is not. It waits for networks that list
// their members.
TEST_F(DaemonCommands, ListShowsALoggedInClient) {
    if (!HasNetworks()) {
        Stop();
        GTEST_SKIP() << "the daemon runs without networks";
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, clientPort_, ss);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&ss), len), 0);
    const std::string login =
        "CT:<VX>2014004</VX><EA>n0call@example.org</EA><PW>pw</PW><ON>N0CALL</ON><BC>PC Only</BC>"
        "<CT>Town</CT><NN>Land</NN><NT>Lobby</NT>\r\n";
    ASSERT_EQ(::send(fd, login.data(), login.size(), MSG_NOSIGNAL), ssize_t(login.size()));
    TRun r;
    WaitUntil([&] {
        r = Word({"list"});
        return r.Out.find("N0CALL") != std::string::npos;
    });
    if (r.Out.empty() && Word({"-t", "list"}).Out == "Lobby:\n") {
        ::close(fd);
        Stop();
        GTEST_SKIP() << "the daemon's networks list no members";
    }
    ::close(fd);
    EXPECT_EQ(r.Code, 0) << r.Out;
    const std::vector<std::string> lines = Lines(r.Out);
    ASSERT_EQ(lines.size(), 2u) << r.Out;
    EXPECT_EQ(lines[0], "Lobby:");
    EXPECT_EQ(lines[1].rfind("    N0CALL", 0), 0u) << lines[1];
    Stop();
}

// A System Manager on a loopback port, one connection at a time: it accepts the handshake,
// answers the keep-alives and notes when each connection began and when the link closed it.
class TFakeManager {
public:
    TFakeManager() : listen_(zeltest::BoundSocket(AF_INET)) {
        ::listen(listen_, 4);
        port_ = zeltest::LocalPort(listen_);
        thread_ = std::thread([this] { Run(); });
    }
    ~TFakeManager() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    uint16_t Port() const { return port_; }
    int Connections() {
        std::lock_guard<std::mutex> g(m_);
        return int(began_.size());
    }
    int Closed() {
        std::lock_guard<std::mutex> g(m_);
        return int(closed_.size());
    }
    // From the link's close of connection I to its next connection.
    std::chrono::milliseconds Pause(size_t I) {
        std::lock_guard<std::mutex> g(m_);
        return std::chrono::duration_cast<std::chrono::milliseconds>(began_.at(I + 1) - closed_.at(I));
    }

private:
    void Run() {
        while (!stop_) {
            if (!zeltest::PollFor(listen_, POLLIN, 50)) continue;
            const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            {
                std::lock_guard<std::mutex> g(m_);
                began_.push_back(std::chrono::steady_clock::now());
            }
            const bool byLink = Serve(fd);
            ::close(fd);
            std::lock_guard<std::mutex> g(m_);
            if (byLink) closed_.push_back(std::chrono::steady_clock::now());
        }
    }
    // Until the link closes (true) or the test ends.
    bool Serve(int Fd) {
        std::string line;
        while (!stop_) {
            if (!zeltest::PollFor(Fd, POLLIN, 50)) continue;
            char c;
            if (::recv(Fd, &c, 1, 0) != 1) return true;
            if (c != '\n') {
                line += c;
                continue;
            }
            const std::string answer = line.rfind("SC:", 0) == 0 ? "<AL>0</AL>\r\nF\r\n" : line == "P\r" ? "F\r\n" : "";
            if (!answer.empty()) ::send(Fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            line.clear();
        }
        return false;
    }

    int listen_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex m_;
    std::vector<std::chrono::steady_clock::time_point> began_, closed_;
    std::thread thread_;
};

// The operator's disconnect of a System Manager link, by index and by address and port: "+OK"
// (exit 0), the manager sees the link close, and the link connects again after its short pause.
// A slot or an address without a link is not connected (exit 19). DISCONNECTMANADDRPORT takes no
// configuration name: the words run from a copy of the program beside the configuration.
TEST_F(Program, ManagerDisconnectWordsReachTheLink) {
    TFakeManager m;
    const std::string prog = Path("ZELServer-console");
    std::filesystem::copy_file(ZEL_SERVER_PROGRAM, prog);
    const std::string port = std::to_string(m.Port());
    Put(Path("networks.cfg"), "Lobby|ManagerMode=NOTIFY\n");
    const std::string cfg = Config();
    std::string ini = Get(cfg);
    const std::string off = "[Manager]\nManagerEnabled=0\n";
    ASSERT_NE(ini.find(off), std::string::npos);
    ini.replace(ini.find(off), off.size(),
                "[Manager]\nManagerEnabled=1\nManagerAddress=127.0.0.1\nManagerPort=" + port +
                    "\nManagerAuthEMail=owner@example.org\nManagerAuthPassword=pw\nManagerDelayAfterConnect=1\n"
                    "ManagerLogDebug=1\n");
    Put(cfg, ini);
    const pid_t p = Spawn({"debug", cfg}, "fg");
    const auto operating = [&](size_t Times) {
        return WaitUntil(
            [&] {
                const std::string out = Get(Path("fg.out"));
                size_t n = 0;
                for (size_t at = out.find("Manager[0]: operating"); at != std::string::npos;
                     at = out.find("Manager[0]: operating", at + 1))
                    ++n;
                return n >= Times;
            },
            15s);
    };
    ASSERT_TRUE(operating(1)) << Get(Path("fg.out"));

    const struct {
        std::vector<std::string> Args;
        int Code;
    } refused[] = {{{"disconnectmanidx", "1"}, 19},
                   {{"disconnectmanaddrport", "127.0.0.1", std::to_string(m.Port() ^ 1)}, 19},
                   {{"disconnectmanaddrport", "127.0.0.2", port}, 19}};
    for (const auto& c : refused) {
        const TRun r = Run(c.Args, "word", prog);
        EXPECT_EQ(r.Code, c.Code) << c.Args[0] << " " << c.Args[1] << ": " << r.Out;
    }
    EXPECT_EQ(m.Closed(), 0);

    const std::vector<std::string> words[] = {{"disconnectmanidx", "0"}, {"disconnectmanaddrport", "127.0.0.1", port}};
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(words[i][0]);
        const TRun r = Run(words[i], "word", prog);
        EXPECT_EQ(r.Code, 0) << r.Out;
        EXPECT_EQ(r.Out, "");
        ASSERT_TRUE(WaitUntil([&] { return m.Closed() == int(i) + 1; }));
        ASSERT_TRUE(WaitUntil([&] { return m.Connections() == int(i) + 2; }, 15s));
        EXPECT_GE(m.Pause(i).count(), 2500);
        ASSERT_TRUE(operating(i + 2)) << Get(Path("fg.out"));
    }
    EXPECT_TRUE(sd_.StopsOnSigterm(p));
}

// A command peer that polls once a second keeps no stopping daemon alive: STOP (its signal) and
// DSTOP (a command of its own) end it within 3 s, the PID file goes, and the next start succeeds.
TEST_F(Program, PollingCommandPeerDoesNotHoldTheStop) {
    const std::string cfg = Config();
    for (const char* word : {"stop", "dstop"}) {
        SCOPED_TRACE(word);
        const pid_t pid = StartDaemon(cfg);
        ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Command") != std::string::npos; }));
        std::atomic<bool> done{false}, answered{false}, closed{false};
        std::thread poller([&] {
            const int fd = test::ConnectLoopback(sd_.CommandPort);
            auto next = Clock::now();
            while (fd >= 0 && !done && !closed) {
                if (!test::SendAll(fd, "00R:00\r\n")) break;
                next += 1s;
                while (!done && Clock::now() < next) {
                    if (!zeltest::PollFor(fd, POLLIN, 50)) continue;
                    char buf[512];
                    if (::recv(fd, buf, sizeof buf, 0) <= 0) {
                        closed = true;
                        break;
                    }
                    answered = true;
                }
            }
            if (fd >= 0) ::close(fd);
        });
        ASSERT_TRUE(WaitUntil([&] { return answered.load(); }));
        const auto start = Clock::now();
        const TRun r = Run({word, cfg}, word);
        EXPECT_EQ(r.Code, 0) << r.Out;
        EXPECT_TRUE(WaitUntil([&] { return !Alive(pid) && !std::filesystem::exists(Pid()); }, 3s))
            << SecondsSince(start) << " s";
        EXPECT_TRUE(closed.load());
        done = true;
        poller.join();
    }
    // The second round's stop came over the command port too; nothing stays.
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
}

// One command peer writes 20,000 requests answered later and reads nothing: a text between two
// clients still arrives within a second, and DPID is answered (within its one-second deadline).
TEST_F(Program, PipelinedRequestsOfOnePeerStallNobody) {
    const std::string cfg = Config();
    const pid_t pid = StartDaemon(cfg);
    ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Command") != std::string::npos; }));
    test::TZelClient a, b;
    ASSERT_TRUE(a.Connect(clientPort_));
    ASSERT_EQ(a.Login(test::ConnectLine("a@example.org", "AA1AA", "Lobby", "")), "OK");
    ASSERT_TRUE(b.Connect(clientPort_));
    ASSERT_EQ(b.Login(test::ConnectLine("b@example.org", "BB2BB", "Lobby", "")), "OK");
    // Texts go between members: once both are, a text gets through.
    ASSERT_TRUE(b.PumpUntil(
        [&] {
            a.Send("TM:<MS>before the flood</MS>\r\n");
            return b.Heard("before the flood");
        },
        10000));
    const int flood = test::ConnectLoopback(sd_.CommandPort);
    ASSERT_GE(flood, 0);
    std::string requests;
    for (int i = 0; i < 20000; ++i) requests += "00C:00\r\n";
    std::atomic<bool> written{false};
    std::thread writer([&] { written = test::SendAll(flood, requests); });
    // The peer's requests are in: the server is taking them.
    EXPECT_TRUE(WaitUntil([&] { return written.load(); }));
    const auto start = Clock::now();
    ASSERT_TRUE(a.Send("TM:<MS>through the flood</MS>\r\n"));
    EXPECT_TRUE(b.PumpUntil([&] { return b.Heard("through the flood"); }, 1000)) << SecondsSince(start) << " s";
    const TRun r = Run({"dpid", cfg}, "dpid");
    EXPECT_EQ(r.Code, 0) << r.Out;
    EXPECT_EQ(r.Out, std::to_string(pid) + "\n");
    ::shutdown(flood, SHUT_RDWR);
    writer.join();
    ::close(flood);
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty() && !std::filesystem::exists(Pid()); }));
}

// A stop whose last save of a changed list fails (the data directory became a file: no save can
// write there, not even root's) ends the server with 6, in the foreground and as a daemon, after
// SIGTERM and after DSTOP, and "Changes not saved" names that list alone: the lists that only a
// flush marked lost nothing. A flush that fails alone loses nothing either: the stop ends with 0.
TEST_F(Program, StopThatLostAChangeEndsWithItsOwnCode) {
    // The daemon is no child of the test's: as their subreaper the test waits for it too.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    struct TReaper {
        ~TReaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } reaper;
    const struct {
        const char* Mode;
        const char* Stop;  // "SIGTERM" or a word
        bool Change;
        int Code;
    } cases[] = {
        {"run", "SIGTERM", true, 6}, {"run", "dstop", true, 6},   {"daemon", "stop", true, 6},
        {"daemon", "dstop", true, 6}, {"run", "SIGTERM", false, 0},
    };
    const std::string id = "kAFQmDzST7DWlj99KOF]cgkd";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Mode) + " " + c.Stop + (c.Change ? " with a change" : " flush only"));
        std::filesystem::remove_all(Path("data"));
        std::filesystem::remove_all(Path("data.away"));
        std::filesystem::remove(Log());
        ASSERT_TRUE(std::filesystem::create_directory(Path("data")));
        std::string ini = Get(Config());
        const std::string dataDir = "\nDataDir=" + dir_ + "\n";
        ASSERT_NE(ini.find(dataDir), std::string::npos);
        ini.replace(ini.find(dataDir), dataDir.size(), "\nDataDir=" + Path("data") + "\n");
        const std::string cfg = Path("server.ini");
        Put(cfg, ini);
        const bool daemon = std::string(c.Mode) == "daemon";
        pid_t pid = 0;
        if (daemon) {
            pid = StartDaemon(cfg);
        } else {
            pid = Spawn({"run", cfg}, "run");
            ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Client") != std::string::npos; }));
        }
        ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Command") != std::string::npos; }));
        std::filesystem::rename(Path("data"), Path("data.away"));
        Put(Path("data"), "not a directory\n");
        // Every list but the owner is rewritten and fails; its answer says so.
        EXPECT_NE(Run({"flushdata", cfg}, "flush").Code, 0);
        EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find("ERROR: Saving notices: ") != std::string::npos; }));
        if (c.Change) {
            EXPECT_EQ(Run({"mute", "Lobby", id, cfg}, "mute").Code, 0);
            EXPECT_TRUE(WaitUntil([&] { return Occurrences(Get(Log()), "ERROR: Saving list of muted clients: ") >= 2; }))
                << Get(Log());
        }
        if (std::string(c.Stop) == "SIGTERM") {
            ASSERT_EQ(::kill(pid, SIGTERM), 0);
        } else {
            EXPECT_EQ(Run({c.Stop, cfg}, "stop").Code, 0);  // the word only asks for the stop
        }
        EXPECT_EQ(Wait(pid, 20s), c.Code);
        const std::string log = Get(Log());
        EXPECT_EQ(Occurrences(log, "Changes not saved"), c.Change ? 1u : 0u) << log;
        if (c.Change) {
            EXPECT_NE(log.find("ERROR: Saving list of muted clients: Changes not saved: " + Path("data") + "/mutes.dat"),
                      std::string::npos)
                << log;
        }
        EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
    }
}

// 200 local peers ask for the client list again and again and read nothing: the command
// connections beyond the limit are refused (and logged), the rest share a bound on what they hold
// unsent, so the server stays under 256 MiB while clients keep talking; once the peers are gone
// the memory comes back and DPID is answered.
TEST_F(Program, CommandPeersThatNeverReadCannotTakeTheMemory) {
    test::RaiseOpenFilesLimit();
    const std::string cfg = Config();
    const pid_t pid = StartDaemon(cfg);
    ASSERT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Command") != std::string::npos; }));
    // Members make the list long: every answer is some kilobytes.
    std::vector<std::unique_ptr<test::TZelClient>> members;
    for (int i = 0; i < 20; ++i) {
        auto c = std::make_unique<test::TZelClient>();
        const std::string n = std::to_string(i);
        ASSERT_TRUE(c->Connect(clientPort_, ("127.0.1." + std::to_string(1 + i)).c_str()));
        ASSERT_EQ(c->Login(test::ConnectLine("member" + n + "@example.org", "M" + n + "AAA", "Lobby", "")), "OK");
        members.push_back(std::move(c));
    }
    test::TZelClient& a = *members[0];
    test::TZelClient& b = *members[1];
    ASSERT_TRUE(b.PumpUntil(
        [&] {
            a.Send("TM:<MS>before the peers</MS>\r\n");
            return b.Heard("before the peers");
        },
        10000));
    const long rssStart = test::ResidentKiB(pid);
    ASSERT_GT(rssStart, 0);

    std::vector<int> peers;
    for (int i = 0; i < 200; ++i) {
        // A small receive buffer: the answers wait in the server, not in this side's kernel.
        const int fd = test::ConnectLoopback(sd_.CommandPort, nullptr, 4096);
        ASSERT_GE(fd, 0);
        peers.push_back(fd);
    }
    std::string requests;
    for (int i = 0; i < 2000; ++i) requests += "00C:00\r\n";
    long rssMax = rssStart;
    const auto end = Clock::now() + 6s;
    bool talked = false;
    while (Clock::now() < end) {
        for (int& fd : peers) {
            if (fd < 0) continue;
            if (::send(fd, requests.data(), requests.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN &&
                errno != EWOULDBLOCK) {
                ::close(fd);  // refused or closed by the server
                fd = -1;
            }
        }
        rssMax = std::max(rssMax, test::ResidentKiB(pid));
        if (!talked && Clock::now() > end - 3s) {
            const auto sent = Clock::now();
            ASSERT_TRUE(a.Send("TM:<MS>among the peers</MS>\r\n"));
            EXPECT_TRUE(b.PumpUntil([&] { return b.Heard("among the peers"); }, 1000)) << SecondsSince(sent) << " s";
            talked = true;
        }
        std::this_thread::sleep_for(20ms);
    }
    rssMax = std::max(rssMax, test::ResidentKiB(pid));
    if (kOwnResidentSize) {
        EXPECT_LT(rssMax, 256L * 1024) << "KiB, at the start " << rssStart;
    }
    RecordProperty("PeakResidentKiB", static_cast<int>(rssMax));
    const std::string refused = "Command: 127.0.0.1:";
    EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find(" DISCONNECT_MAX_COMMAND_CONNECTIONS") != std::string::npos; }))
        << Get(Log()).substr(0, 4000);
    EXPECT_NE(Get(Log()).find(refused), std::string::npos);

    for (int fd : peers)
        if (fd >= 0) ::close(fd);
    // Once they are gone, a word is answered, and what they held is given back.
    bool answered = false;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const TRun r = Run({"dpid", cfg}, "dpid");
            answered = r.Code == 0 && r.Out == std::to_string(pid) + "\n";
            return answered;
        },
        10s));
    if (kOwnResidentSize) {
        EXPECT_TRUE(WaitUntil([&] { return test::ResidentKiB(pid) < rssStart + 48 * 1024; }, 10s))
            << test::ResidentKiB(pid) << " KiB, at the start " << rssStart << ", at most " << rssMax;
    }
    ASSERT_TRUE(a.Send("TM:<MS>after the peers</MS>\r\n"));
    EXPECT_TRUE(b.PumpUntil([&] { return b.Heard("after the peers"); }, 2000));
    members.clear();
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty() && !std::filesystem::exists(Pid()); }));
}

// The command port or the client port held by another server: the start fails with 3 and names
// the bind error on standard error (a daemon's starter, the foreground server itself) and in the
// log; no process and no PID file stay.
TEST_F(Program, TakenPortFailsTheStart) {
    const struct {
        const char* Mode;
        bool CommandPort;
    } cases[] = {{"daemon", true}, {"daemon", false}, {"debug", true}, {"run", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Mode) + (c.CommandPort ? " command port" : " client port"));
        const std::string cfg = Config();
        const uint16_t port = c.CommandPort ? sd_.CommandPort : clientPort_;
        const int other = ListenOn(c.CommandPort ? "127.0.0.1" : "0.0.0.0", port);
        ASSERT_GE(other, 0);
        const TRun r = Run({c.Mode, cfg}, c.Mode);
        EXPECT_EQ(r.Code, 3) << r.Out << r.Err;
        const std::string binding = std::string(c.CommandPort ? "Command" : "Client") + ": " +
                                    (c.CommandPort ? "127.0.0.1:" : "0.0.0.0:") + std::to_string(port) +
                                    ": Bind: Socket error " + std::to_string(EADDRINUSE) + ": ";
        EXPECT_EQ(r.Err.rfind("Error: Listening: " + binding, 0), 0u) << r.Err;
        const std::string log = c.Mode == std::string("debug") ? r.Out : Get(Log());
        EXPECT_NE(log.find("ERROR: Listening: " + binding), std::string::npos) << log;
        EXPECT_EQ(r.Out.find("started as daemon"), std::string::npos) << r.Out;
        EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
        EXPECT_FALSE(std::filesystem::exists(Pid()));
        ::close(other);
        std::filesystem::remove(Log());
    }
}

// Started by a service manager that waits for readiness (NOTIFY_SOCKET names its datagram
// socket), the foreground server sends "READY=1" once it listens; a start that fails sends
// nothing and ends with 3, so that the manager reports the failure.
TEST_F(Program, TellsTheServiceManagerOnceItListens) {
    const std::string name = Path("notify");
    const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(manager, 0);
    struct TClose {
        int Fd;
        ~TClose() { ::close(Fd); }
    } closeManager{manager};
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ASSERT_LT(name.size(), sizeof a.sun_path);
    std::memcpy(a.sun_path, name.c_str(), name.size() + 1);
    ASSERT_EQ(::bind(manager, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    auto receive = [&](int Ms) {
        pollfd p{manager, POLLIN, 0};
        char buf[64];
        const ssize_t n = ::poll(&p, 1, Ms) == 1 ? ::recv(manager, buf, sizeof buf, 0) : 0;
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };

    for (bool portTaken : {false, true}) {
        SCOPED_TRACE(portTaken ? "port taken" : "started");
        const std::string cfg = Config();
        const int other = portTaken ? ListenOn("0.0.0.0", clientPort_) : -1;
        ::setenv("NOTIFY_SOCKET", name.c_str(), 1);
        const pid_t p = Spawn({"run", cfg}, "notify");
        ::unsetenv("NOTIFY_SOCKET");
        if (portTaken) {
            EXPECT_EQ(Wait(p), 3);
            EXPECT_EQ(receive(0), "");
            ::close(other);
        } else {
            EXPECT_EQ(receive(15000), "READY=1");
            EXPECT_NE(Get(Log()).find("Start listening: Client"), std::string::npos) << Get(Log());
            ASSERT_EQ(::kill(p, SIGTERM), 0);
            EXPECT_EQ(Wait(p), 0);
        }
        std::filesystem::remove(Log());
    }
}

// Started as root on files that belong to another account, the server refuses to run (it would
// leave its log and lists owned by root, which that account can no longer write) and names the
// account; the files keep their owner.
TEST_F(Program, RootStartOnAnotherAccountsFilesIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no user nobody";
    const std::string cfg = Config();
    ASSERT_EQ(::chown(Path("networks.cfg").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    for (const char* mode : {"debug", "run", "daemon"}) {
        SCOPED_TRACE(mode);
        const TRun r = Run({mode, cfg}, mode);
        EXPECT_EQ(r.Code, 3);
        EXPECT_EQ(r.Out, "ERROR: Started as root, but \"" + Path("networks.cfg") + "\" belongs to the user nobody: start the "
                         "server as nobody, so that the files it writes keep their owner\n");
        EXPECT_FALSE(std::filesystem::exists(Log()));
        EXPECT_TRUE(Ours().empty());
    }
    struct stat st{};
    ASSERT_EQ(::stat(Path("networks.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
}

// A PID file left by a killed daemon is taken over with a warning naming it and its PID; one whose
// daemon runs (and holds its lock) still refuses with 4.
TEST_F(Program, StalePidFileIsTakenOverAndAHeldOneRefuses) {
    const std::string cfg = Config();
    const pid_t first = StartDaemon(cfg);
    TRun r = Run({"daemon", cfg}, "again");
    EXPECT_EQ(r.Code, 4) << r.Out;
    EXPECT_EQ(DaemonPid(), first);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return !Alive(first); }));
    ASSERT_TRUE(std::filesystem::exists(Pid()));
    r = Run({"daemon", cfg}, "restart");
    ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
    const pid_t second = DaemonPid();
    EXPECT_NE(second, first);
    EXPECT_TRUE(Alive(second));
    const std::string warning =
        "WARNING: Stale PID file [" + Pid() + "] of PID=" + std::to_string(first) + " taken over";
    EXPECT_EQ(r.Out.rfind(warning, 0), 0u) << r.Out;
    EXPECT_NE(r.Out.find(ServerProductStart(cfg, second)), std::string::npos) << r.Out;
    EXPECT_NE(Get(Log()).find(warning + ": no process held it"), std::string::npos);

    // Killed again, its number now names a live process of another program: that one is never
    // signalled, and the warning says that no process of this server held the lock.
    ASSERT_EQ(::kill(second, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return !Alive(second); }));
    const pid_t other = Spawn({"30"}, "other", "/bin/sleep");
    ASSERT_GT(other, 0);
    Put(Pid(), std::to_string(other) + "\n");
    r = Run({"daemon", cfg}, "third");
    ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_EQ(r.Out.rfind("WARNING: Stale PID file [" + Pid() + "] of PID=" + std::to_string(other) +
                              " taken over: no process of this server held its lock",
                          0),
              0u)
        << r.Out;
    EXPECT_TRUE(Alive(other));
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return !std::filesystem::exists(Pid()); }));
    EXPECT_TRUE(Alive(other));
    ::kill(other, SIGKILL);
    EXPECT_EQ(Wait(other), 128 + SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
}

// What lies under the PID file's name without being a stale PID file of this server is never
// written into: the start is refused with 4 and a text that says what the file is, and the file
// stays as it was. An empty one is taken over and said to have held no number.
TEST_F(Program, PidFileThatIsNotOursIsRefused) {
    const std::string cfg = Config();
    const std::string victim = Path("victim");
    struct Case {
        const char* What;
        const char* Text;
    } cases[] = {
        {"hard link", "has more than one link"},
        {"another owner", "belongs to another user"},
        {"garbage", "holds no process id"},
        {"symbolic link", "is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string what = c.What;
        if (what == "another owner" && ::geteuid() != 0) continue;  // needs chown
        Put(victim, "4711\n");
        int made = 0;
        if (what == "hard link") made = ::link(victim.c_str(), Pid().c_str());
        if (what == "symbolic link") made = ::symlink(victim.c_str(), Pid().c_str());
        if (what == "garbage") Put(Pid(), "precious data\n");
        if (what == "another owner") {
            Put(Pid(), "4711\n");
            made = ::chown(Pid().c_str(), ::geteuid() + 1, ::getegid());
        }
        ASSERT_EQ(made, 0);
        const std::string before = Get(Pid());
        const TRun r = Run({"daemon", cfg}, "refused");
        EXPECT_EQ(r.Code, 4) << r.Out << r.Err;
        EXPECT_NE(r.Out.find("ERROR: PID file [" + Pid() + "] " + c.Text), std::string::npos) << r.Out;
        EXPECT_EQ(r.Out.find("already running"), std::string::npos) << r.Out;
        EXPECT_EQ(Get(victim), "4711\n");
        EXPECT_EQ(Get(Pid()), before);
        EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
        std::filesystem::remove(Pid());
        std::filesystem::remove(victim);
    }
    Put(Pid(), "");
    const TRun r = Run({"daemon", cfg}, "empty");
    ASSERT_EQ(r.Code, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("WARNING: Stale PID file [" + Pid() + "] taken over: it held no process id"),
              std::string::npos)
        << r.Out;
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty() && !std::filesystem::exists(Pid()); }));
}

// Started with standard output and error closed, the daemon's start is reported as it went (0,
// and the daemon runs); a link planted under the old name of the write test is left alone.
TEST_F(Program, ClosedStandardHandlesAndAPlantedLink) {
    const std::string cfg = Config();
    const std::string victim = Path("victim");
    Put(victim, "precious");
    ASSERT_EQ(::symlink(victim.c_str(), (Pid() + ".$tmp$").c_str()), 0);
    const pid_t p = ::fork();
    if (p == 0) {
        ::close(1);
        ::close(2);
        ::execl(ZEL_SERVER_PROGRAM, ZEL_SERVER_PROGRAM, "daemon", cfg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(p, 0);
    int status = -1;
    ASSERT_TRUE(WaitUntil([&] { return ::waitpid(p, &status, WNOHANG) == p; }, 15s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const pid_t pid = DaemonPid();
    ASSERT_GT(pid, 1);
    EXPECT_TRUE(Alive(pid));
    EXPECT_TRUE(WaitUntil([&] { return Get(Log()).find("Start listening: Client") != std::string::npos; }));
    EXPECT_EQ(Get(victim), "precious");
    EXPECT_EQ(Run({"stop", cfg}).Code, 0);
    EXPECT_TRUE(WaitUntil([&] { return Ours().empty(); }));
}

// A System Manager that streams lines after the handshake: SIGTERM still ends the server within
// 3 s.
TEST_F(Program, StreamingManagerDoesNotHoldTheStop) {
    std::atomic<bool> streaming{false}, stop{false};
    test::ScriptPeer manager([&](int Fd) {
        if (test::ReadLineFrom(Fd).rfind("SC:", 0) != 0) return;
        test::WriteAllTo(Fd, "<AL>0</AL>\r\nF\r\n");
        std::string chunk;
        for (int i = 0; i < 4096; ++i) chunk += "OK\r\n";
        const int64_t end = test::NowMs() + 30000;
        while (!stop && test::NowMs() < end) {
            const ssize_t n = ::send(Fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN) return;
            if (n > 0) streaming = true;
            char buf[4096];
            const ssize_t got = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN)) return;
            (void)test::PollFd(Fd, POLLIN | POLLOUT, 5);
        }
    });
    const std::string cfg = ManagerConfig(manager.Port());
    const pid_t p = Spawn({"debug", cfg}, "fg");
    ASSERT_TRUE(WaitUntil([&] {
        return streaming.load() && Get(Path("fg.out")).find("Start listening: Client") != std::string::npos;
    }));
    EXPECT_TRUE(WaitUntil([&] { return Get(Path("fg.out")).find("Manager[0]: operating") != std::string::npos; }))
        << Get(Path("fg.out"));
    const auto start = Clock::now();
    ASSERT_EQ(::kill(p, SIGTERM), 0);
    EXPECT_EQ(Wait(p, 10s), 0);
    EXPECT_LT(SecondsSince(start), 3.0);
    stop = true;
}

// A System Manager that never answers one request: once it is older than a login may wait, the
// link is reset and connected anew, and the verdicts there reach the clients they are meant for
// (a WRONG for one client, an acceptance for the next).
TEST_F(Program, ManagerThatLosesAnAnswerIsConnectedAnew) {
    std::atomic<int> connections{0};
    test::ScriptPeer manager([&](int Fd) {
        const int conn = connections++;
        if (test::ReadLineFrom(Fd).rfind("SC:", 0) != 0) return;
        test::WriteAllTo(Fd, "<AL>0</AL>\r\nF\r\n");
        std::string in;
        const int64_t end = test::NowMs() + 30000;
        while (test::NowMs() < end) {
            if (!test::PollFd(Fd, POLLIN, 50)) continue;
            char buf[2048];
            const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            in.append(buf, size_t(n));
            for (size_t lf; (lf = in.find('\n')) != std::string::npos; in.erase(0, lf + 1)) {
                const std::string line = in.substr(0, lf);
                if (line.rfind("P\r", 0) == 0) test::WriteAllTo(Fd, "F\r\n");
                // The first connection loses its answer.
                if (line.rfind("CC:", 0) == 0 && conn > 0)
                    test::WriteAllTo(Fd, line.find("<ON>BB2BB</ON>") != std::string::npos ? "WRONG\r\n"
                                                                                         : "<MID>7</MID>\r\n");
            }
        }
    });
    const std::string cfg = ManagerConfig(manager.Port(), "ClientActivityTimeout=3\n");
    const pid_t p = Spawn({"debug", cfg}, "fg");
    const auto out = [&] { return Get(Path("fg.out")); };
    ASSERT_TRUE(WaitUntil([&] { return out().find("Manager[0]: operating") != std::string::npos; })) << out();
    test::TZelClient a, b, c;
    ASSERT_TRUE(a.Connect(clientPort_));
    (void)a.Login(test::ConnectLine("a@example.org", "AA1AA", "Lobby"), 6000);
    EXPECT_TRUE(WaitUntil([&] { return out().find("ERROR: Manager[0]: no answer for ") != std::string::npos; }))
        << out();
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(out(), "Manager[0]: operating") == 2; }, 15s)) << out();
    ASSERT_TRUE(b.Connect(clientPort_));
    EXPECT_EQ(b.Login(test::ConnectLine("b@example.org", "BB2BB", "Lobby")), "WRONG");
    ASSERT_TRUE(c.Connect(clientPort_));
    EXPECT_EQ(c.Login(test::ConnectLine("c@example.org", "CC3CC", "Lobby")), "OK");
    EXPECT_EQ(connections.load(), 2);
    EXPECT_TRUE(sd_.StopsOnSigterm(p));
}

}  // namespace
}  // namespace zel
