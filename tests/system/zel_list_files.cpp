// The list files of the real program under an operator's mistakes: a networks file that is not
// read in full never costs the entries of the networks it lacks, whatever is reread, flushed or
// changed meanwhile; a networks file read in full that drops a network drops its entries; and no
// file that never ends or never opens holds the server (rereads are answered, starts go on, stops
// end).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "foundation/dmq_fileutils.hpp"
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

}  // namespace
}  // namespace zel
