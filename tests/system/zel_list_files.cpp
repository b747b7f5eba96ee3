// The list files of the real program under an operator's mistakes: a networks file that is not
// read in full never costs the entries of the networks it lacks, whatever is reread, flushed or
// changed meanwhile; a networks file read in full that drops a network drops its entries; no file
// that never ends, never opens or grows while read holds the server (rereads are answered, starts
// go on, stops end); and no command peer flooding list changes or rereads stalls the clients or
// holds the stop.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::WaitUntil;
using Clock = std::chrono::steady_clock;

struct TAnswer {
    std::string Text;  // up to and with its first CR LF; empty when none came
    std::chrono::milliseconds Took{0};
};

class ListFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sd_.Ok()); }

    // Runs the server in the foreground on Cfg until its command and client ports listen; its
    // process id.
    pid_t Start(const std::string& Cfg, const std::string& Tag) {
        std::filesystem::remove(sd_.Log());
        const pid_t p = sd_.Spawn({"run", Cfg}, Tag);
        for (const char* port : {"Start listening: Command", "Start listening: Client"})
            EXPECT_TRUE(sd_.WaitForLog(port)) << test::ReadWholeFile(sd_.Log());
        return p;
    }
    // SIGTERM ends it with 0 within Limit.
    bool Stop(pid_t P, std::chrono::milliseconds Limit = 20s) {
        ::kill(P, SIGTERM);
        return sd_.Wait(P, Limit) == 0;
    }
    // One request line over the command port, and its answer within LimitMs.
    TAnswer Ask(const std::string& Line, int LimitMs = 3000) {
        const auto start = Clock::now();
        TAnswer a;
        a.Text = test::CommandRequest(sd_.CommandPort, Line, LimitMs);
        a.Took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        return a;
    }
    std::string Get(const std::string& Name) const { return sd_.Get(Name); }
    bool Holds(const std::string& Name, const std::string& Text) const {
        return Get(Name).find(Text) != std::string::npos;
    }

    test::TServerDir sd_;
};

const std::string kHeader = "# This file was created automaticly.";

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// Each way to run networks that are not a whole networks file's: the entries of the network the
// server does not run stay in the files through rereads, flushes and changes on another network,
// and once the networks file is mended they are that network's again.
TEST_F(ListFiles, EntriesOfNetworksNotInServiceOutliveEverySave) {
    const std::string now = std::to_string(::time(nullptr));
    const std::string adminMail = "k1adm@example.org";
    const std::string admin = CalcSourceId(adminMail);
    const std::string muted = CalcSourceId("k1mut@example.org");
    const std::string other = CalcSourceId("k1oth@example.org");
    const std::string lobbyMute = "Lobby|" + muted + "||||||2|u" + now;
    const std::string lobbyAdmin = "Lobby|" + admin + "|||||2|u" + now;
    const struct {
        const char* What;
        const char* Networks;  // nullptr: no networks file; "/": a directory in its place
        std::vector<std::string> Rereads;  // request lines before the change, each answered "+OK"
    } rows[] = {
        {"a rejected line", "Lobby|CharsetName=NOSUCH-XX\nNet01|ParrotEnable=yes\n", {}},
        {"a missing file", nullptr, {}},
        {"an unreadable file and DREREADMUTES", "/", {MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, "")}},
        // The reread of mutes is answered once it is done, and after the reread of all: the change
        // that follows is not undone by their installs.
        {"an unreadable file and DREREADALL", "/",
         {std::string(ZELCmdLineRereadAll), MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, "")}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        std::filesystem::remove_all(sd_.Path("networks.cfg"));
        if (r.Networks == nullptr) {
        } else if (std::string(r.Networks) == "/") {
            std::filesystem::create_directory(sd_.Path("networks.cfg"));
        } else {
            sd_.Put("networks.cfg", r.Networks);
        }
        sd_.Put("mutes.dat", lobbyMute + "\n");
        sd_.Put("admins.dat", lobbyAdmin + "\n");
        const std::string cfg = sd_.Config();
        pid_t p = Start(cfg, "kept");
        EXPECT_TRUE(sd_.LogHas("network \"Lobby\" is not in service: its entries are kept, not dropped"))
            << Get("zel.log");
        for (const std::string& line : r.Rereads) EXPECT_EQ(Ask(line).Text, "+OK\r\n");
        // A change on the network in service, and a flush of every list.
        EXPECT_EQ(Ask(MakeCmdMute("Net01", 0, other, true)).Text, "+OK\r\n");
        EXPECT_EQ(Ask(std::string(ZELCmdLineFlushData)).Text, "+OK\r\n");
        EXPECT_TRUE(WaitUntil([&] { return Holds("mutes.dat", "Net01|" + other); }, 5s)) << Get("mutes.dat");
        EXPECT_TRUE(Holds("mutes.dat", lobbyMute + "\r\n")) << Get("mutes.dat");
        EXPECT_TRUE(Holds("admins.dat", kHeader)) << Get("admins.dat");
        EXPECT_TRUE(Holds("admins.dat", lobbyAdmin + "\r\n")) << Get("admins.dat");
        EXPECT_TRUE(Stop(p));

        // The networks file mended: the entries are Lobby's again.
        std::filesystem::remove_all(sd_.Path("networks.cfg"));
        sd_.Put("networks.cfg", "Lobby\nNet01\n");
        p = Start(cfg, "mended");
        EXPECT_FALSE(sd_.LogHas("\"Lobby\" is not")) << Get("zel.log");
        test::TZelClient c;
        ASSERT_TRUE(c.Connect(sd_.ClientPort));
        EXPECT_EQ(c.Login(test::ConnectLine(adminMail, "K1ADM", "Lobby")), "ADMIN") << c.Answer;
        c.Close();
        EXPECT_EQ(Ask(std::string(ZELCmdLineFlushData)).Text, "+OK\r\n");
        EXPECT_TRUE(Holds("mutes.dat", "\nLobby|" + muted + "|")) << Get("mutes.dat");
        EXPECT_TRUE(Stop(p));
    }
}

// A networks file read in full that no longer names a network: the operator removed it, and its
// entries go with it, from the files too.
TEST_F(ListFiles, NetworkRemovedFromAWholeNetworksFileLosesItsEntries) {
    const std::string now = std::to_string(::time(nullptr));
    const std::string gone = "Lobby|" + CalcSourceId("k1mut@example.org") + "||||||2|u" + now;
    const std::string kept = "Net01|" + CalcSourceId("k2mut@example.org") + "||||||2|u" + now;
    sd_.Put("networks.cfg", "Net01\n");
    sd_.Put("mutes.dat", gone + "\n" + kept + "\n");
    const pid_t p = Start(sd_.Config(), "removed");
    EXPECT_TRUE(sd_.LogHas("network \"Lobby\" is not in the networks file: its entries are dropped"))
        << Get("zel.log");
    EXPECT_TRUE(WaitUntil([&] { return Holds("mutes.dat", kHeader); }, 5s)) << Get("mutes.dat");
    EXPECT_FALSE(Holds("mutes.dat", gone)) << Get("mutes.dat");
    EXPECT_TRUE(Holds("mutes.dat", kept)) << Get("mutes.dat");
    EXPECT_TRUE(Stop(p));
}

// A save that fails for want of descriptors leaves no staging directory behind, and a stop that
// comes before its retry still writes it: the server under a small open-files limit, every
// descriptor held by a peer, a mute from a member; the peers go and a SIGTERM comes within the
// retry's pause.
TEST_F(ListFiles, SaveWaitingForItsRetryIsWrittenAtTheStop) {
    // The sanitizers' build checks a caught exception's type through a pipe of its own, which a
    // server out of descriptors cannot open: it would abort on the failed save's exception.
    if (kSanitizedBuild) GTEST_SKIP() << "the sanitizers need descriptors of their own";
    const std::string adminMail = "k3adm@example.org";
    const std::string muted = CalcSourceId("k3mut@example.org");
    sd_.Put("networks.cfg", "Net01\n");
    sd_.Put("admins.dat", "Net01|" + CalcSourceId(adminMail) + "|||||2|u" + std::to_string(::time(nullptr)) + "\n");
    const pid_t p = Start(sd_.Config("server.ini", true, "", "", "ClientHandshakeTimeout=20\n"), "nofile");
    test::TZelClient admin;
    ASSERT_TRUE(admin.Connect(sd_.ClientPort));
    ASSERT_EQ(admin.Login(test::ConnectLine(adminMail, "K3ADM", "Net01")), "ADMIN") << admin.Answer;
    // A member once it is in the member list.
    ASSERT_TRUE(admin.PumpUntil([&] { return admin.Heard("<ON>K3ADM</ON>"); }, 5000));

    rlimit lim{};
    ASSERT_EQ(::prlimit(p, RLIMIT_NOFILE, nullptr, &lim), 0);
    const int limit = test::OpenDescriptorCount(p) + 16;
    lim.rlim_cur = rlim_t(limit);
    ASSERT_EQ(::prlimit(p, RLIMIT_NOFILE, &lim, nullptr), 0);
    std::vector<int> peers;
    for (int i = 1; i <= 64 && test::OpenDescriptorCount(p) < limit; ++i) {
        const int before = test::OpenDescriptorCount(p);
        const int fd = test::ConnectLoopback(sd_.ClientPort, ("127.0.9." + std::to_string(i)).c_str());
        ASSERT_GE(fd, 0);
        peers.push_back(fd);
        WaitUntil([&] { return test::OpenDescriptorCount(p) > before; }, 2s);
    }
    ASSERT_GE(test::OpenDescriptorCount(p), limit);

    ASSERT_TRUE(admin.Send("MC:<IP>" + muted + "</IP>\r\n"));
    EXPECT_TRUE(sd_.WaitForLog("ERROR: Saving list of muted clients: ")) << Get("zel.log");
    const auto leftovers = [&] {
        std::vector<std::string> found;
        for (const auto& e : std::filesystem::directory_iterator(sd_.Dir()))
            if (e.path().filename().string().find(DataFileMoverPrefix) != std::string::npos)
                found.push_back(e.path().filename().string());
        return found;
    };
    EXPECT_EQ(leftovers(), std::vector<std::string>{});

    for (int fd : peers) ::close(fd);
    EXPECT_TRUE(WaitUntil([&] { return test::OpenDescriptorCount(p) < limit - 8; }, 5s));
    EXPECT_TRUE(Stop(p)) << Get("nofile.err");
    EXPECT_TRUE(Holds("mutes.dat", "Net01|" + muted + "|")) << Get("mutes.dat");
    EXPECT_FALSE(sd_.LogHas("Changes not saved")) << Get("zel.log");
}

// Files that never end, never open, are no file or are too large: a reread of one is answered
// "-ERROR" at once, a start with one as a list file (or as the networks file) logs it and runs, a
// configuration that is a FIFO ends the program; every stop afterwards ends as usual.
TEST_F(ListFiles, FilesThatAreNoListsNeverHoldTheServer) {
    const std::string fifo = sd_.Path("fifo"), dir = sd_.Path("dir"), big = sd_.Path("big.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    {
        const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, ReadFileSizeCap + 1), 0);  // sparse
        ::close(fd);
    }
    const std::vector<std::string> paths = {"/dev/zero", fifo, dir, big};
    sd_.Put("networks.cfg", "Lobby\n");

    pid_t p = Start(sd_.Config(), "rereads");
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        const TAnswer a = Ask(MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, path));
        EXPECT_EQ(a.Text, "-ERROR\r\n");
        EXPECT_LT(a.Took, 1000ms);
    }
    EXPECT_TRUE(Stop(p, 5s));

    // At start: each as a list file, the FIFO also as the networks file.
    const std::string cfg =
        sd_.Config("server.ini", true, "",
                   "MutesFileName=/dev/zero\nBlocksFileName=" + fifo + "\nAdminsFileName=" + dir +
                       "\nRightsFileName=" + big + "\n");
    std::string ini = test::ReadWholeFile(cfg);
    const std::string networksKey = "NetworksFileName=" + sd_.Path("networks.cfg");
    ASSERT_NE(ini.find(networksKey), std::string::npos);
    ini.replace(ini.find(networksKey), networksKey.size(), "NetworksFileName=" + fifo);
    test::WriteWholeFile(cfg, ini);
    p = Start(cfg, "start");
    for (const std::string& line : {std::string("ERROR: Networks: "), std::string("ERROR: Read mutes: /dev/zero: "),
                                    "ERROR: Read blocks: " + fifo, "ERROR: Read admins: " + dir,
                                    "ERROR: Read rights: " + big})
        EXPECT_TRUE(sd_.LogHas(line)) << line << "\n" << Get("zel.log");
    EXPECT_TRUE(sd_.LogHas("not a regular file")) << Get("zel.log");
    EXPECT_TRUE(Stop(p, 5s));

    // A configuration that is a FIFO: the program ends with its error instead of waiting.
    const test::TProgramRun r = sd_.Run({"run", fifo}, "fifo-config");
    EXPECT_NE(r.Code, -1);
    EXPECT_NE(r.Code, 0) << r.Out;
}

// Files that grow while they are read or give more than their size: the server's own log (each
// warning of the read lands in it), the server's page map (size 0, without end) and a file another
// process keeps appending to. Each reread is answered "-ERROR" within a second, the log stays
// small, and the stop afterwards ends as usual.
TEST_F(ListFiles, FilesThatGrowWhileReadAreRefused) {
    const std::string growing = sd_.Path("growing.dat");
    {
        std::string start;
        while (start.size() < (size_t(256) << 10)) start += "Lobby|not an id|appended line\n";
        sd_.Put("growing.dat", start);
    }
    std::atomic<bool> stop{false};
    std::thread appender([&] {
        const int fd = ::open(growing.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd < 0) return;
        const std::string line = "Lobby|not an id|appended line\n";
        for (int i = 0; !stop && i < 200000; ++i) {
            if (::write(fd, line.data(), line.size()) < 0) break;
            std::this_thread::sleep_for(100us);
        }
        ::close(fd);
    });
    sd_.Put("networks.cfg", "Lobby\n");
    const pid_t p = Start(sd_.Config(), "growing");
    for (const std::string& path : {sd_.Log(), std::string("/proc/self/pagemap"), growing}) {
        SCOPED_TRACE(path);
        const TAnswer a = Ask(MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, path));
        EXPECT_EQ(a.Text, "-ERROR\r\n");
        EXPECT_LT(a.Took, 1000ms);
    }
    stop = true;
    appender.join();
    EXPECT_LT(std::filesystem::file_size(sd_.Log()), 64u * 1024) << Get("zel.log");
    EXPECT_TRUE(sd_.LogHas("more lines refused")) << Get("zel.log");
    const auto stopStart = Clock::now();
    EXPECT_TRUE(Stop(p, 5s));
    EXPECT_LT(Clock::now() - stopStart, 5s);
}

// Valid mute lines of Lobby in the server's own form, about 140 bytes each (a list of mutes set
// by an owner on clients with their texts); Tag makes the ids of one file differ from another's.
std::string LargeMutesFile(int Lines, const std::string& Tag) {
    const std::string now = std::to_string(::time(nullptr));
    const std::string setter = CalcSourceId("k1own@example.org");
    std::string data = kHeader + "\r\n";
    data.reserve(size_t(Lines) * 150);
    for (int i = 0; i < Lines; ++i) {
        const std::string n = std::to_string(i);
        data += "Lobby|" + CalcSourceId(Tag + n + "@example.org") + "|4B314F574E|4445|4265726C696E|3730636D|444C" +
                StrToHexA(n) + "|2|u" + now + "|4B314F574E|||||2|" + setter + "|\r\n";
    }
    return data;
}

// The time a daemon takes to do something, by the clock of this test.
template <class Fn>
std::chrono::milliseconds Timed(Fn F) {
    const auto start = Clock::now();
    F();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A list of 300,000 mutes (about 42 MB, within the read cap): read in time that grows as n log n,
// a daemon starts with it and answers within a few seconds, a reread of it (and of a file whose
// 300,000 entries are all others) is answered within a few seconds, and SIGTERM during a reread
// ends the server within 3 s, the file as it was. Under the sanitizers every step is several
// times slower (the test takes about 20 s there): the bounds are wider.
TEST_F(ListFiles, LargeListStartsRereadsAndStopsInTime) {
    const int lines = 300000;
    const std::chrono::milliseconds step = kSanitizedBuild ? 30s : 8s, stop = kSanitizedBuild ? 10s : 3s;
    const std::string mutes = LargeMutesFile(lines, "big"), others = LargeMutesFile(lines, "other");
    ASSERT_LT(mutes.size(), size_t(ReadFileSizeCap));
    sd_.Put("networks.cfg", "Lobby\n");
    sd_.Put("mutes.dat", mutes);
    sd_.Put("others.dat", others);
    const std::string cfg = sd_.Config();

    test::TProgramRun started;
    const auto startTook = Timed([&] { started = sd_.Run({"daemon", cfg}, "daemon"); });
    ASSERT_EQ(started.Code, 0) << started.Out << started.Err;
    EXPECT_LT(startTook, step);
    const pid_t p = sd_.DaemonPid();
    ASSERT_GT(p, 0);
    TAnswer a = Ask(std::string(ZELCmdLinePid), int(step.count()));
    EXPECT_EQ(a.Text, "+1\r\n");
    EXPECT_LT(a.Took, step);

    for (const std::string& file : {std::string(), sd_.Path("others.dat"), std::string()}) {
        SCOPED_TRACE(file.empty() ? "the configured file" : file);
        a = Ask(MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, file), int(step.count()));
        EXPECT_EQ(a.Text, "+OK\r\n");
        EXPECT_LT(a.Took, step);
    }

    // The network has installed the last list (its own requests wait behind the install).
    a = Ask(MakeCmdListNetwork("Lobby"), int(step.count()));
    EXPECT_FALSE(a.Text.empty());
    // A reread running when SIGTERM comes: given up (or done, should it have been quicker).
    const int fd = test::ConnectLoopback(sd_.CommandPort);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(test::SendAll(fd, MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, sd_.Path("others.dat"))));
    // The log has a line for each reread of that file as it begins: the second is this one.
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string log = Get("zel.log"), line = "Reread mutes from: " + sd_.Path("others.dat");
            return log.find(line) != log.rfind(line);
        },
        step));
    const auto stopTook = Timed([&] {
        ::kill(p, SIGTERM);
        EXPECT_TRUE(WaitUntil([&] { return !test::ProcessAlive(p); }, stop));
    });
    EXPECT_LT(stopTook, stop);
    std::string answer;
    char buf[64];
    while (zeltest::PollFor(fd, POLLIN, 0)) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, size_t(n));
    }
    ::close(fd);
    EXPECT_TRUE(sd_.LogHas("WARNING: Reread mutes: " + sd_.Path("others.dat") + ": reading given up at the stop") ||
                answer.find("+OK\r\n") != std::string::npos)
        << answer << Get("zel.log").substr(0, 4000);
    EXPECT_TRUE(Get("mutes.dat") == mutes) << "mutes.dat changed";
    EXPECT_TRUE(Get("others.dat") == others);
    std::printf("start %lld ms, stop during a reread %lld ms (%s)\n", static_cast<long long>(startTook.count()),
                static_cast<long long>(stopTook.count()), sd_.LogHas("given up at the stop") ? "given up" : "done first");
}

// A list file whose lines end in CR alone: each read of it says that it has no line feeds, and
// neither the start, a reread nor a flush writes it anew; the first change of the list does, in
// whole lines.
TEST_F(ListFiles, FileWithoutLineFeedsIsToldAndKept) {
    const std::string now = std::to_string(::time(nullptr));
    const std::string muted = CalcSourceId("k4mut@example.org"), other = CalcSourceId("k4oth@example.org");
    const std::string crOnly = kHeader + "\rLobby|" + muted + "||||||2|u" + now + "\rLobby|" + other + "||||||2|u" +
                               now + "\r";
    sd_.Put("networks.cfg", "Lobby\n");
    sd_.Put("mutes.dat", crOnly);
    const std::string path = sd_.Path("mutes.dat");
    const pid_t p = Start(sd_.Config(), "cronly");
    EXPECT_TRUE(sd_.LogHas("WARNING: Read mutes: " + path + ": the file has no line feeds")) << Get("zel.log");
    EXPECT_EQ(Ask(std::string(ZELCmdLineFlushData)).Text, "+OK\r\n");
    EXPECT_EQ(Get("mutes.dat"), crOnly);

    EXPECT_EQ(Ask(MakeCmdReread(TZELCmdRereadList::fcrl_Mutes, "")).Text, "+OK\r\n");
    EXPECT_TRUE(sd_.WaitForLog("WARNING: Reread mutes: " + path + ": the file has no line feeds")) << Get("zel.log");
    EXPECT_EQ(Ask(std::string(ZELCmdLineFlushData)).Text, "+OK\r\n");
    EXPECT_EQ(Get("mutes.dat"), crOnly);

    // A change: the list is written, as lines.
    EXPECT_EQ(Ask(MakeCmdMute("Lobby", 0, muted, true)).Text, "+OK\r\n");
    EXPECT_EQ(Ask(std::string(ZELCmdLineFlushData)).Text, "+OK\r\n");
    EXPECT_TRUE(WaitUntil([&] { return Holds("mutes.dat", "\r\nLobby|" + muted + "|"); }, 5s)) << Get("mutes.dat");
    EXPECT_TRUE(Holds("mutes.dat", kHeader + "\r\n")) << Get("mutes.dat");
    EXPECT_TRUE(Stop(p));
}

// A command peer that pipelines requests answered at once and reads its answers: 100,000 mutes
// of distinct clients, or 20,000 rereads of all lists with a mutes file of 10,000 lines. It queues
// no more than a request's work ahead of everyone else: meanwhile a text between two clients and
// another connection's process id come within a second, and SIGTERM ends the server within 3 s.
TEST_F(ListFiles, CommandFloodsNeitherStallClientsNorHoldTheStop) {
    const std::string now = std::to_string(::time(nullptr));
    std::string mutes, rereads;
    for (int i = 0; i < 100000; ++i)
        mutes += MakeCmdMute("Lobby", 0, CalcSourceId("flood" + std::to_string(i) + "@example.org"), true);
    std::string mutesFile;
    for (int i = 0; i < 10000; ++i)
        mutesFile += "Lobby|" + CalcSourceId("muted" + std::to_string(i) + "@example.org") + "||||||2|u" + now + "\n";
    for (int i = 0; i < 20000; ++i) rereads += std::string(ZELCmdLineRereadAll);
    const struct {
        const char* What;
        const std::string& Flood;
        const std::string& MutesFile;
        size_t Answers;  // taken before the probes
    } rows[] = {{"mutes", mutes, "", 2000}, {"rereads of all lists", rereads, mutesFile, 3}};
    sd_.Put("networks.cfg", "Lobby\n");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        sd_.Put("mutes.dat", r.MutesFile);
        const pid_t p = Start(sd_.Config(), "flood");
        test::TZelClient a, b;
        ASSERT_TRUE(a.Connect(sd_.ClientPort) && b.Connect(sd_.ClientPort));
        ASSERT_EQ(a.Login(test::ConnectLine("k1aaa@example.org", "K1AAA", "Lobby")), "OK") << a.Answer;
        ASSERT_EQ(b.Login(test::ConnectLine("k1bbb@example.org", "K1BBB", "Lobby")), "OK") << b.Answer;
        // Both members once their joins are done: a text goes through.
        ASSERT_TRUE(WaitUntil([&] { return a.Send("TM:<MS>ready</MS>\r\n") && b.PumpUntil([&] { return b.Heard("ready"); }, 100); }, 5s));

        const int fd = test::ConnectLoopback(sd_.CommandPort);
        ASSERT_GE(fd, 0);
        std::atomic<size_t> answered{0};
        std::thread sender([&] { (void)test::SendAll(fd, r.Flood); });
        std::thread reader([&] {
            char buf[65536];
            for (;;) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return;
                answered += size_t(n);
            }
        });
        EXPECT_TRUE(WaitUntil([&] { return answered.load() >= 5 * r.Answers; }, 10s));
        for (int probe = 0; probe < 3; ++probe) {
            const std::string mark = "probe" + std::to_string(probe);
            const auto start = Clock::now();
            ASSERT_TRUE(a.Send("TM:<MS>" + mark + "</MS>\r\n"));
            EXPECT_TRUE(b.PumpUntil([&] { return b.Heard(mark); }, 1000)) << mark;
            EXPECT_LT(Clock::now() - start, 1000ms);
            const TAnswer pid = Ask(std::string(ZELCmdLinePid), 1000);
            EXPECT_EQ(pid.Text, "+1\r\n");
            EXPECT_LT(pid.Took, 1000ms);
        }
        const auto stopStart = Clock::now();
        EXPECT_TRUE(Stop(p, 3s));
        EXPECT_LT(Clock::now() - stopStart, 3s);
        ::shutdown(fd, SHUT_RDWR);
        sender.join();
        reader.join();
        ::close(fd);
    }
}

// An owner file that cannot be read is told at start, as the other lists are.
TEST_F(ListFiles, UnreadableOwnerFileIsToldAtStart) {
    const std::string fifo = sd_.Path("owner-fifo"), dir = sd_.Path("owner-dir");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(std::filesystem::create_directory(dir));
    sd_.Put("networks.cfg", "Lobby\n");
    for (const std::string& owner : {fifo, dir}) {
        SCOPED_TRACE(owner);
        const pid_t p = Start(sd_.Config("server.ini", true, "", "OwnerFileName=" + owner + "\n"), "owner");
        EXPECT_TRUE(sd_.LogHas("ERROR: Read owner: " + owner + ": ")) << Get("zel.log");
        EXPECT_TRUE(Stop(p, 5s));
    }
}

}  // namespace
}  // namespace zel
