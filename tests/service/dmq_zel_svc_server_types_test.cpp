#include "service/dmq_zel_svc_server_types.hpp"
#include "service/dmq_zel_svc_timer.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "foundation/dmq_thread.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "service/dmq_zel_svc_listener_snps.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/alloc_failure.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using K = TZELSVCMainQueueCommand;
using test::ServeUntil;

std::unique_ptr<TZELService> NewService() {
    return std::make_unique<TZELService>(u"/etc/server.ini", TZELServiceConfig{});
}

// The command replies that the service queue holds, oldest first.
std::vector<std::unique_ptr<TZELSVCNetQueueRecord>> TakeReplies(TZELService& S) {
    std::vector<std::unique_ptr<TZELSVCNetQueueRecord>> out;
    std::unique_ptr<TZELSVCNetQueueRecord> r;
    while (S.ServQueue().Pop(r))
        if (r->Command == TZELSVCNetQueueCommand::fsnq_CommandReply) out.push_back(std::move(r));
    return out;
}

// The processor run on the main thread, as the service thread runs it: synchronized calls then run
// at once.
class MainQueue : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        s = NewService();
        log.Install(*s);
        s->SetDataDir(WidenStrU(dir_));
        s->SetMutesFileName(u"mutes.dat");
        s->SetOwnerFileName(u"owner.dat");
        s->SetAdminsFileName(u"admins.dat");
    }

    test::TLogCapture log;
    std::unique_ptr<TZELService> s;
};

// 40 jobs are taken as 32 and then 8 on the next turn.
TEST_F(MainQueue, TakesThirtyTwoJobsPerTurn) {
    std::vector<int32_t> leftAtWrite;
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) {
        leftAtWrite.push_back(s->MainQueue().Count());
        return true;
    };
    for (int i = 0; i < 40; ++i) s->PostMainSave(K::fsmq_SaveOwner, {"line\r\n"});
    s->ProcessMainQueue();
    ASSERT_EQ(leftAtWrite.size(), 32u);
    EXPECT_EQ(s->MainQueue().Count(), 8);
    s->ProcessMainQueue();
    ASSERT_EQ(leftAtWrite.size(), 40u);
    EXPECT_EQ(leftAtWrite.front(), 8);
    EXPECT_EQ(leftAtWrite.back(), 0);
}

// Success lines only with LogData; the writer gets the file, the data directory and the lines.
TEST_F(MainQueue, SuccessIsLoggedOnlyWithLogData) {
    std::vector<std::string> written;
    s->DataFileWriter = [&](const UnicodeString& File, const UnicodeString& DataDir, const TZELSVCWriteArray& Lines) {
        written.push_back(test::Narrow(File) + "|" + test::Narrow(DataDir) + "|" + Lines.at(0));
        return true;
    };
    s->OnRereadAdmins = [](const UnicodeString&, bool, int64_t) { return true; };
    const UnicodeString mutes = s->MutesFileName(), admins = s->AdminsFileName();
    for (bool logData : {true, false}) {
        SCOPED_TRACE(logData);
        log.Lines.clear();
        written.clear();
        s->LogData = logData;
        s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
        s->PostRereadAdmins(u"/tmp/other.dat", nullptr);
        s->PostRereadAdmins(u"", nullptr);
        s->ProcessMainQueue();
        ASSERT_EQ(written.size(), 1u);
        EXPECT_EQ(written[0], test::Narrow(mutes) + "|" + dir_ + "|m\r\n");
        std::vector<UnicodeString> expected;
        if (logData)
            expected = {u"Mutes are saved: " + mutes, u"Reread admins from: /tmp/other.dat",
                        u"Reread admins: default: " + admins};
        EXPECT_EQ(log.Lines, expected);
    }
}

TEST_F(MainQueue, UnknownCodesAreLogged) {
    s->MainQueue().PushCommand(static_cast<K>(99));
    s->MainQueue().PushCommand(K::fsmq_ServiceStop);  // reserved, never handled
    s->ProcessMainQueue();
    EXPECT_EQ(log.Lines, (std::vector<UnicodeString>{u"ERROR: Main thread: Unknown cmd: 99",
                                                      u"ERROR: Main thread: Unknown cmd: 16"}));
}

// Every reread answers its requester under the number it had when it asked: "+OK" on success,
// "-ERROR" on failure and also when the reader raised.
TEST_F(MainQueue, RereadsAnswerTheRequester) {
    using Poster = void (TZELService::*)(UnicodeView, TZELSVCWrkCtxBase*);
    struct List {
        Poster Post;
        TZELService::TRereadEvent TZELService::*Reader;
        const char16_t* ErrorPrefix;
        const UnicodeString& (TZELService::*Configured)() const noexcept;
    } lists[] = {
        {&TZELService::PostRereadAdmins, &TZELService::OnRereadAdmins, u"Reread admin list: ",
         &TZELService::AdminsFileName},
        {&TZELService::PostRereadMutes, &TZELService::OnRereadMutes, u"Reread list of mutes: ",
         &TZELService::MutesFileName},
        {&TZELService::PostRereadBlocks, &TZELService::OnRereadBlocks, u"Reread full list of blocks: ",
         &TZELService::BlocksFileName},
        {&TZELService::PostRereadRights, &TZELService::OnRereadRights, u"Reread list of rights: ",
         &TZELService::RightsFileName},
        {&TZELService::PostRereadModes, &TZELService::OnRereadModes, u"Reread list of modes: ",
         &TZELService::ModesFileName},
        {&TZELService::PostRereadNotices, &TZELService::OnRereadNotices, u"Reread list of notices: ",
         &TZELService::NoticesFileName},
    };
    enum Outcome { ok, fail, raise };
    s->LogData = false;
    test::TStandInContext requester(7);
    for (const List& l : lists) {
        for (Outcome o : {ok, fail, raise}) {
            SCOPED_TRACE(test::Narrow(l.ErrorPrefix) + std::to_string(o));
            std::vector<std::string> calls;
            (*s.*l.Reader) = [&](const UnicodeString& File, bool Default, int64_t) {
                calls.push_back(test::Narrow(File) + (Default ? "|default" : "|given"));
                if (o == raise) throw EConvertError("bad line");
                return o == ok;
            };
            log.Lines.clear();
            requester.SetNumber(7);
            (*s.*l.Post)(u"/tmp/list.dat", &requester);
            (*s.*l.Post)(u"", &requester);
            requester.SetNumber(8);  // the answers carry the number of the moment of asking
            s->ProcessMainQueue();
            EXPECT_EQ(calls, (std::vector<std::string>{"/tmp/list.dat|given",
                                                       test::Narrow((*s.*l.Configured)()) + "|default"}));
            auto replies = TakeReplies(*s);
            ASSERT_EQ(replies.size(), 2u);
            for (auto& r : replies) {
                EXPECT_EQ(r->Owner, &requester);
                EXPECT_EQ(r->OwnerId, 7u);
                EXPECT_EQ(r->Text1, o == ok ? "+OK\r\n" : "-ERROR\r\n");
            }
            if (o == raise)
                EXPECT_TRUE(log.Has(UnicodeString(u"ERROR: ") + l.ErrorPrefix + u"EConvertError: bad line"));
            else
                EXPECT_TRUE(log.Lines.empty());
            (*s.*l.Reader) = nullptr;
        }
    }
}

// Reread all: the configured files in a fixed order, no answer; a raise stops the rest.
TEST_F(MainQueue, RereadAllKeepsItsOrder) {
    std::vector<std::string> order;
    std::string raiseAt;
    auto reader = [&](const char* name) {
        return [&, name](const UnicodeString&, bool Default, int64_t) {
            EXPECT_TRUE(Default);
            order.push_back(name);
            if (raiseAt == name) throw EConvertError("bad line");
            return true;
        };
    };
    s->OnRereadAdmins = reader("admins");
    s->OnRereadMutes = reader("mutes");
    s->OnRereadBlocks = reader("blocks");
    s->OnRereadRights = reader("rights");
    s->OnRereadModes = reader("modes");
    s->OnRereadNotices = reader("notices");
    s->LogData = false;
    s->PostMainCommand(K::fsmq_RereadAll);
    s->ProcessMainQueue();
    EXPECT_EQ(order, (std::vector<std::string>{"blocks", "mutes", "admins", "modes", "rights", "notices"}));
    EXPECT_EQ(s->ServQueue().Count(), 0);

    order.clear();
    raiseAt = "modes";
    // Asked for by a command context: the fence comes back once the job ran, also when it raised.
    test::TStandInContext requester(7);
    s->PostMainRequest(K::fsmq_RereadAll, &requester);
    s->ProcessMainQueue();
    EXPECT_EQ(order, (std::vector<std::string>{"blocks", "mutes", "admins", "modes"}));
    EXPECT_TRUE(log.Has(u"ERROR: Reread all: EConvertError: bad line"));
    const auto replies = TakeReplies(*s);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]->Owner, &requester);
    EXPECT_EQ(replies[0]->OwnerId, 7u);
    EXPECT_EQ(replies[0]->Text1, "");
}

// Once a stop is asked for, the rereads still queued are dropped (a backlog of them would hold the
// stop); the saves queued are written.
TEST_F(MainQueue, StopDropsQueuedRereadsAndKeepsSaves) {
    int rereads = 0, saves = 0;
    auto reader = [&](const UnicodeString&, bool, int64_t) { return ++rereads > 0; };
    s->OnRereadAdmins = s->OnRereadMutes = s->OnRereadBlocks = reader;
    s->OnRereadRights = s->OnRereadModes = s->OnRereadNotices = reader;
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) {
        ++saves;
        return true;
    };
    test::TStandInContext requester(7);
    s->PostRereadMutes(u"", &requester);
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    s->PostMainRequest(K::fsmq_RereadAll, &requester);
    s->PostRereadAdmins(u"/tmp/other.dat", nullptr);
    s->RequestStop(u"test");
    s->PostMainSave(K::fsmq_SaveAdmins, {"a\r\n"});
    s->ProcessMainQueue();
    EXPECT_EQ(rereads, 0);
    EXPECT_EQ(saves, 2);
    EXPECT_TRUE(s->Terminated());
}

// Code 17 that fails half-way (no memory for the service-stop event) still ends the listener and
// terminates the thread, so the server can stop.
TEST_F(MainQueue, TerminateThatRaisesStillTerminates) {
    s->ServiceStart();
    ASSERT_TRUE(s->ServiceStarted());
    s->MainQueue().PushCommand(K::fsmq_Terminate);
    test::t_fail_next_alloc = true;  // the service-stop event's record
    s->ProcessMainQueue();
    test::t_fail_next_alloc = false;
    EXPECT_TRUE(log.HasPrefix(u"ERROR: Service thread: main loop: "));
    EXPECT_FALSE(s->ServiceStarted());
    EXPECT_TRUE(s->Listener().Terminated());
    EXPECT_TRUE(s->Terminated());
}

// After each save of a list but the owner the data-change program runs with its five arguments.
TEST_F(MainQueue, SavesRunTheDataChangeProgram) {
    const std::string out = Path("args.txt");
    const std::string script = Path("changed.sh");
    Put(script, "#!/bin/sh\necho \"$1|$2|$3|$4|$5\" >> " + out + "\n");
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    s->SetDataChangeScript(WidenStrU(script));
    s->DataFileWriter = [](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) { return true; };
    s->LogData = false;

    s->PostMainSave(K::fsmq_SaveOwner, {});
    s->PostMainSave(K::fsmq_SaveMutes, {});
    s->ProcessMainQueue();
    ASSERT_TRUE(ServeUntil([&] { return !Get(out).empty(); }));
    std::this_thread::sleep_for(200ms);  // a second run (for the owner) would show by now
    const std::string args = Get(out);
    const std::string pid = std::to_string(getpid());
    const std::string head = "MUTES|" + Path("mutes.dat") + "|/etc/server.ini|" + pid + "|";
    ASSERT_EQ(args.compare(0, head.size(), head), 0) << args;
    const std::string id = args.substr(head.size(), args.size() - head.size() - 1);
    EXPECT_EQ(args.back(), '\n');
    EXPECT_EQ(id.size(), 24u) << id;  // 17 digits, ".", 6 hex digits
    ASSERT_EQ(log.Lines.size(), 1u);
    EXPECT_EQ(test::Narrow(log.Lines[0]), "EXEC: " + script + " MUTES " + Path("mutes.dat") + " /etc/server.ini " +
                                              pid + " " + id);

    // A missing program is logged as an error even without LogExec.
    log.Lines.clear();
    s->LogExec = false;
    s->SetDataChangeScript(WidenStrU(Path("missing.sh")));
    s->PostMainSave(K::fsmq_SaveAdmins, {});
    s->ProcessMainQueue();
    ASSERT_EQ(log.Lines.size(), 1u);
    const std::string line = test::Narrow(log.Lines[0]);
    EXPECT_EQ(line.rfind("ERROR: EXEC: error [", 0), 0u) << line;
    EXPECT_NE(line.find(Path("missing.sh") + " ADMINS"), std::string::npos) << line;
}

// A failed save is not lost: the list is marked dirty again after a pause that grows, a flush
// meanwhile answers "-ERROR", and a change still unsaved at the end is logged.
TEST(MainQueueThread, FailedSaveIsRetriedAndReported) {
    test::TTickRecorder tick;
    test::TLogCapture log;
    std::mutex m;  // the writer runs on the service thread
    std::vector<uint32_t> writes;
    std::atomic<bool> succeed{false};
    auto s = NewService();
    tick.Install(*s);
    log.Install(*s);
    s->LogData = false;
    s->SaveRetryFirstMs = 40;
    s->SaveRetryMaxMs = 1000;
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) {
        std::lock_guard<std::mutex> g(m);
        writes.push_back(GetTickMs());
        return succeed.load();
    };
    s->Start();
    s->RequestServiceStart();  // the timer ticks from here on

    auto dirtyMutes = [&] { return tick.Count(TZELSVCNetQueueCommand::fsnq_DirtyMutes); };
    std::vector<uint32_t> dirtyAt;
    for (int round = 1; round <= 2; ++round) {
        // What the tick does with the dirty mark: a fresh snapshot to save.
        s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
        ASSERT_TRUE(ServeUntil([&] { return dirtyMutes() == round; }));
        dirtyAt.push_back(GetTickMs());
    }
    std::unique_lock<std::mutex> g(m);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_GE(dirtyAt[0] - writes[0], 35u);
    EXPECT_GE(dirtyAt[1] - writes[1], 75u);  // the pause doubled
    g.unlock();

    test::TStandInContext requester(3);
    auto flushAnswer = [&] {
        s->FlusherQueue().PushContext(&requester);
        const int before = tick.Count(TZELSVCNetQueueCommand::fsnq_CommandReply);
        s->PostForwardPending(1);
        EXPECT_TRUE(ServeUntil([&] { return tick.Count(TZELSVCNetQueueCommand::fsnq_CommandReply) > before; }));
        return tick.Taken().back().Text1;
    };
    EXPECT_EQ(flushAnswer(), "-ERROR\r\n");
    succeed = true;
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    EXPECT_EQ(flushAnswer(), "+OK\r\n");

    // A flush never saves the owner: a failed owner save is not its answer.
    succeed = false;
    s->PostMainSave(K::fsmq_SaveOwner, {"o\r\n"});
    EXPECT_EQ(flushAnswer(), "+OK\r\n");
    EXPECT_TRUE(s->UnsavedChanges());

    // Failing again, and stopped: the changes are still unsaved at the end.
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    ASSERT_TRUE(ServeUntil([&] {
        std::lock_guard<std::mutex> l(m);
        return writes.size() == 5;
    }));
    s->StopAndWait();
    EXPECT_TRUE(log.Has(u"ERROR: Saving list of muted clients: Changes not saved: " + s->MutesFileName()));
    EXPECT_TRUE(log.Has(u"ERROR: Saving owner: Changes not saved: " + s->OwnerFileName()));
}


// A stop that comes while a failed save waits for its retry writes the failed lines once more:
// only a list that fails again is logged as not saved.
TEST(MainQueueThread, StopWritesASaveWaitingForItsRetry) {
    test::TLogCapture log;
    std::mutex m;  // the writer runs on the service thread
    std::vector<std::pair<UnicodeString, TZELSVCWriteArray>> writes;
    auto s = NewService();
    log.Install(*s);
    s->LogData = false;
    s->SaveRetryFirstMs = 600000;  // the retry would come long after the stop
    s->DataFileWriter = [&](const UnicodeString& File, const UnicodeString&, const TZELSVCWriteArray& Lines) {
        std::lock_guard<std::mutex> g(m);
        writes.emplace_back(File, Lines);
        // Mutes fail once, the owner every time.
        return Lines == TZELSVCWriteArray{"m\r\n"} && writes.size() > 2;
    };
    s->Start();
    s->RequestServiceStart();
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    s->PostMainSave(K::fsmq_SaveOwner, {"o\r\n"});
    ASSERT_TRUE(ServeUntil([&] {
        std::lock_guard<std::mutex> g(m);
        return writes.size() == 2;
    }));
    s->StopAndWait();
    const std::vector<std::pair<UnicodeString, TZELSVCWriteArray>> expected = {
        {s->MutesFileName(), {"m\r\n"}},
        {s->OwnerFileName(), {"o\r\n"}},
        {s->MutesFileName(), {"m\r\n"}},
        {s->OwnerFileName(), {"o\r\n"}},
    };
    EXPECT_EQ(writes, expected);
    EXPECT_FALSE(log.HasPrefix(u"ERROR: Saving list of muted clients: Changes not saved"));
    EXPECT_TRUE(log.Has(u"ERROR: Saving owner: Changes not saved: " + s->OwnerFileName()));
}

// A rewrite that holds no change (a flush's) and fails loses nothing: the stop names only the
// lists whose failed lines held a change, and only those count as unsaved changes. A change stays
// lost through later failed rewrites of its list until a save succeeds.
TEST(MainQueueThread, OnlyListsWhoseChangesFailedAreNamed) {
    test::TLogCapture log;
    std::atomic<bool> mutesSucceed{false};
    std::atomic<int> writes{0};
    auto s = NewService();
    log.Install(*s);
    s->LogData = false;
    s->SaveRetryFirstMs = 600000;
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray& Lines) {
        ++writes;
        return Lines == TZELSVCWriteArray{"m\r\n"} && mutesSucceed.load();
    };
    s->Start();
    s->RequestServiceStart();
    s->PostMainSave(K::fsmq_SaveBlocks, {"b\r\n"}, false);
    s->PostMainSave(K::fsmq_SaveAdmins, {"a\r\n"}, true);
    s->PostMainSave(K::fsmq_SaveAdmins, {"a\r\n"}, false);  // a flush after the change: still lost
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"}, true);
    ASSERT_TRUE(ServeUntil([&] { return writes == 4; }));
    mutesSucceed = true;
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"}, false);  // saved: the mute's change is in its file
    ASSERT_TRUE(ServeUntil([&] { return writes == 5; }));
    s->StopAndWait();
    EXPECT_TRUE(s->UnsavedChanges());
    EXPECT_TRUE(log.Has(u"ERROR: Saving list of admins: Changes not saved: " + s->AdminsFileName()));
    EXPECT_FALSE(log.HasPrefix(u"ERROR: Saving list of blocked clients: Changes not saved"));
    EXPECT_FALSE(log.HasPrefix(u"ERROR: Saving list of muted clients: Changes not saved"));

    // Only rewrites failed: nothing is lost.
    test::TLogCapture log2;
    auto t = NewService();
    log2.Install(*t);
    t->LogData = false;
    std::atomic<int> failed{0};
    t->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) {
        ++failed;
        return false;
    };
    t->Start();
    t->RequestServiceStart();
    t->PostMainSave(K::fsmq_SaveBlocks, {"b\r\n"}, false);
    ASSERT_TRUE(ServeUntil([&] { return failed >= 1; }));
    t->StopAndWait();
    EXPECT_EQ(failed, 2);  // and once more at the stop
    EXPECT_FALSE(t->UnsavedChanges());
    EXPECT_FALSE(log2.HasPrefix(u"ERROR: Saving list of blocked clients: Changes not saved"));
}

// The service thread may decide it has reached its end while the timer's last pass still queues
// a save (a timed entry that expired in it): the tail writes it once the timer has ended.
TEST(MainQueueThread, SaveQueuedByTheTimersLastPassIsWritten) {
    test::TLogCapture log;
    std::atomic<int> writes{0};
    std::atomic<bool> posted{false};
    auto s = NewService();
    log.Install(*s);
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray& Lines) {
        if (Lines == TZELSVCWriteArray{"m\r\n"}) ++writes;
        return true;
    };
    // The only taker of the service queue: the pass that takes the final event is this one, so it
    // cannot slip past between a look and a take.
    s->OnTick = [&] {
        bool last = false;
        std::unique_ptr<TZELSVCNetQueueRecord> r;
        while (s->ServQueue().Pop(r)) last |= r->Command == TZELSVCNetQueueCommand::fsnq_ServiceTerminate;
        if (!last || posted) return;
        posted = true;
        // Held until the tail joins the timer: the save comes after the end was decided.
        for (int i = 0; i < 500 && !s->Timer().Terminated(); ++i) std::this_thread::sleep_for(10ms);
        s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    };
    s->Start();
    s->RequestServiceStart();
    ASSERT_TRUE(ServeUntil([&] { return s->ServiceStarted(); }));
    s->StopAndWait();
    EXPECT_TRUE(posted);
    EXPECT_EQ(writes, 1);
    EXPECT_FALSE(log.HasPrefix(u"ERROR: Saving list of muted clients: Changes not saved"));
}

// A list whose file could not be read is never written over: the refusal is logged once, the
// changes count as unsaved, and a later good read lifts it. Without a writer installed the data
// file itself is written.
TEST_F(MainQueue, SaveOfAnUnreadListIsRefused) {
    SetListLoadFailed(s->ListLoad(K::fsmq_SaveMutes), EISDIR, "Is a directory");
    s->LogData = false;
    for (int i = 0; i < 2; ++i) s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    s->ProcessMainQueue();
    EXPECT_EQ(log.Lines, (std::vector<UnicodeString>{u"ERROR: Saving list of muted clients: \"" +
                                                      s->MutesFileName() +
                                                      u"\" is not saved: its file could not be read: Is a directory"}));
    EXPECT_FALSE(std::filesystem::exists(Path("mutes.dat")));
    EXPECT_TRUE(s->UnsavedChanges());

    SetListLoaded(s->ListLoad(K::fsmq_SaveMutes));
    s->PostMainSave(K::fsmq_SaveMutes, {"m\r\n"});
    s->ProcessMainQueue();
    EXPECT_EQ(Get(Path("mutes.dat")), std::string(DataFileHeader) + "m\r\n");
    EXPECT_FALSE(s->UnsavedChanges());
}

// A service start that fails ends the server: the stop is requested with its own text, and the
// owner hears of the failure with the error.
TEST(MainQueueThread, FailedServiceStartStopsTheServer) {
    test::TLogCapture log;
    auto s = NewService();
    log.Install(*s);
    s->SetServerCharsetName(u"NO-SUCH-CHARSET");
    std::vector<std::pair<bool, UnicodeString>> done;  // written on the service thread, read after it ended
    s->OnServiceStartDone = [&](bool Ok, const UnicodeString& Error) { done.emplace_back(Ok, Error); };
    s->Start();
    s->RequestServiceStart();
    ASSERT_TRUE(ServeUntil([&] { return s->Finished(); }));
    s->WaitFor();
    EXPECT_TRUE(s->ServiceStartFailed());
    EXPECT_EQ(s->StopText(), u"Service start failed");
    ASSERT_EQ(done.size(), 1u);
    EXPECT_FALSE(done[0].first);
    EXPECT_TRUE(log.HasPrefix(u"ERROR: Service start: " + done[0].second)) << test::Narrow(done[0].second);
}
}  // namespace
}  // namespace zel
