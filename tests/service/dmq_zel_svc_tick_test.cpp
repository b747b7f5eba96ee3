#include "service/dmq_zel_svc_tick.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/dmq_exception.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"

namespace zel {
namespace {

using K = TZELSVCMainQueueCommand;
using C = TZELSVCNetQueueCommand;
using test::ServeUntil;

// A network that notes what the tick asks of it, into a log shared by all networks.
class TickNetwork : public test::StandInNetwork {
public:
    TickNetwork(UnicodeView Name, uint32_t LastRun, std::vector<std::string>& Log) : Log_(Log) {
        Name_ = UnicodeString(Name);
        LastRun_ = LastRun;
    }
    void Tick(uint32_t Now) override { Log_.push_back(test::Narrow(Name_) + " tick " + std::to_string(Now)); }
    void ProcessQueue(bool Housekeeping) override {
        Log_.push_back(test::Narrow(Name_) + (Housekeeping ? " run+hk " : " run ") + std::to_string(PendingCount()));
        if (Raise) throw Exception("boom");
        if (OnRun) OnRun(*this);
        StandInNetwork::ProcessQueue(Housekeeping);
    }
    bool ConnectionMode() const override {
        if (RaiseModes > 0) {
            --RaiseModes;
            throw Exception("snapshot failed");
        }
        return Connection;
    }
    bool TalkMode() const override { return Talk; }

    TZELSVCMuteBlockList& Mutes() { return Mutes_; }
    TZELSVCMuteBlockList& Blocks() { return Blocks_; }
    TZELSVCAdminList& Admins() { return Admins_; }
    TZELSVCAccessList& Rights() { return Rights_; }
    TZELSVCNoticeData& NoticeTexts() { return Notices_; }

    bool Raise = false;
    mutable int RaiseModes = 0;
    bool Connection = false;
    bool Talk = false;
    std::function<void(TickNetwork&)> OnRun;

private:
    std::vector<std::string>& Log_;
};

// A service whose tick reads a test clock; the timer never runs, the test thread ticks.
class TickService : public TZELService {
public:
    TickService() : TZELService(u"/etc/server.ini", TZELServiceConfig{}) {
        Now = StartTick();
        TickClock = [this] { return Now; };
    }
    ~TickService() override { StopAndWait(); }

    TickNetwork* AddNetwork(UnicodeView Name) {
        auto n = std::make_unique<TickNetwork>(Name, StartTick(), Log);
        TickNetwork* p = n.get();
        Networks().Add(std::move(n));
        return p;
    }
    // The main queue's jobs, oldest first, as kind and line count.
    std::vector<std::pair<K, std::vector<AnsiString>>> TakeJobs() {
        std::vector<std::pair<K, std::vector<AnsiString>>> jobs;
        std::unique_ptr<TZELSVCMainQueueRec> r;
        while (MainQueue().Pop(r)) jobs.emplace_back(r->Kind, r->Kind == K::fsmq_ForwardPending
                                                                  ? std::vector<AnsiString>{std::to_string(r->FlushCount)}
                                                                  : r->Lines);
        return jobs;
    }

    uint32_t Now = 0;
    std::vector<std::string> Log;
    std::vector<TZELSVCWrkCtxBase*> Expired;  // the code 30 records, in dispatch order

protected:
    void DispatchMoveRecord(std::unique_ptr<TZELSVCNetQueueRecord>& Rec) override {
        if (Rec->Command == C::fsnq_CountdownExpired) Expired.push_back(Rec->Owner);
    }
};

std::vector<K> Kinds(const std::vector<std::pair<K, std::vector<AnsiString>>>& Jobs) {
    std::vector<K> k;
    for (auto& j : Jobs) k.push_back(j.first);
    return k;
}

// After a stall the clock catches up in whole steps, but the seconds only one per call: the timed
// moves still expire one after another, each in the call of its own second.
TEST(ServiceTick, StallCountsOneSecondPerCallUntilCaughtUp) {
    TickService s;
    TickNetwork* net = s.AddNetwork(u"Net");
    test::TClientContext a(1, net, net, 1), b(2, net, net, 2), c(3, net, net, 3), idle(4, net, net, 0);
    for (auto* ctx : {&a, &b, &c, &idle}) s.TemporaryMoves().Add(static_cast<TZELSVCWrkCtxBase*>(ctx));

    struct Step {
        uint32_t at;  // ms after the start
        uint32_t seconds;
        size_t expired;
    } steps[] = {
        {3500, 1, 1},  // 35 steps: one second counted, 25 tenths left
        {3599, 1, 1},  // the stall's 3500 ms are spent: no new step yet
        {3600, 2, 2}, {3700, 3, 3},
        {3800, 3, 3},  // caught up: 8 tenths
        {4000, 4, 3},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.at);
        s.Now = s.StartTick() + st.at;
        s.TimerTick();
        EXPECT_EQ(s.SecondsCounted(), st.seconds);
        EXPECT_EQ(s.Expired.size(), st.expired);
        EXPECT_EQ(s.CurrentTick(), s.Now);
    }
    EXPECT_EQ(s.Expired, (std::vector<TZELSVCWrkCtxBase*>{&a, &b, &c}));
    EXPECT_EQ(idle.MoveCountdown(), 0);
    // The network clock is told of every call that counted a step, with the call's time.
    const uint32_t t0 = s.StartTick();
    std::vector<std::string> ticks;
    for (const std::string& l : s.Log)
        if (l.find(" tick ") != std::string::npos) ticks.push_back(l);
    EXPECT_EQ(ticks, (std::vector<std::string>{"Net tick " + std::to_string(t0 + 3500), "Net tick " + std::to_string(t0 + 3600),
                                               "Net tick " + std::to_string(t0 + 3700), "Net tick " + std::to_string(t0 + 3800),
                                               "Net tick " + std::to_string(t0 + 4000)}));
}

// Networks are run last to first: with housekeeping every 500 ms by exactly 500 ms steps, and at
// once without it when they hold pending commands; one network's failure is logged and the others
// still run.
TEST(ServiceTick, NetworksRunWhenDueOrPending) {
    TickService s;
    s.OnLog = [](TZELService*) {};  // the network error line is built only for a log
    TickNetwork* first = s.AddNetwork(u"First");
    TickNetwork* second = s.AddNetwork(u"Second");
    test::TClientContext client(7, first);
    const uint32_t t0 = s.StartTick();

    auto runsAt = [&](uint32_t At) {
        s.Log.clear();
        s.Now = t0 + At;
        s.TimerTick();
        std::vector<std::string> runs;
        for (const std::string& l : s.Log)
            if (l.find(" run") != std::string::npos) runs.push_back(l);
        return runs;
    };
    EXPECT_TRUE(runsAt(150).empty());
    TZELSVCClientCommandArgs voice;
    voice.Text1 = "voice";
    s.PostClientCommand(static_cast<C>(60), &client, voice);
    EXPECT_EQ(runsAt(250), (std::vector<std::string>{"First run 1"}));
    EXPECT_EQ(first->LastRun(), t0);  // not due: the last run stays
    EXPECT_EQ(runsAt(500), (std::vector<std::string>{"Second run+hk 0", "First run+hk 0"}));
    EXPECT_TRUE(runsAt(999).empty());
    // Late by 230 ms: the cadence keeps its grid, the next run is due at 1500.
    EXPECT_EQ(runsAt(1230), (std::vector<std::string>{"Second run+hk 0", "First run+hk 0"}));
    EXPECT_EQ(first->LastRun(), t0 + 1000);
    EXPECT_TRUE(runsAt(1499).empty());

    second->Raise = true;
    EXPECT_EQ(runsAt(1500), (std::vector<std::string>{"Second run+hk 0", "First run+hk 0"}));
    UnicodeString line, errors;
    while (s.PopLogLine(line)) errors += line + u"\n";
    EXPECT_EQ(test::Narrow(errors), "ERROR: Network \"Second\": boom\n");
}

// Work that a network produced in a pass (here: a record for itself) is handled in the same call.
TEST(ServiceTick, NetworkActivityRepeatsThePass) {
    TickService s;
    TickNetwork* net = s.AddNetwork(u"Net");
    test::TClientContext client(7, net);
    int runs = 0;
    net->OnRun = [&](TickNetwork& N) {
        if (N.PendingCount() == 0) return;
        s.SetServiceFlags(ZELSVCFlagNetworkActivity);
        if (++runs < 3) s.PostClientCommand(static_cast<C>(57), &client);
    };
    s.PostClientCommand(static_cast<C>(57), &client);
    s.Now += 50;
    s.TimerTick();
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(s.ServQueue().Count(), 0);
}

// A backlog of service-level records (no network takes anything) drains in one call, in order,
// pass after pass: nothing else may be needed to wake the timer for the rest. The lists its passes
// changed are saved once, at the end of the call.
TEST(ServiceTick, BacklogOfServiceRecordsDrainsInOneCallAndSavesOnce) {
    TickService s;
    s.AddNetwork(u"Net");
    for (int i = 0; i < 300; ++i) s.PostDirtyModes();
    s.PostDirtyNotices();
    s.TimerTick();
    EXPECT_EQ(s.ServQueue().Count(), 0);
    EXPECT_EQ(Kinds(s.TakeJobs()), (std::vector<K>{K::fsmq_SaveModes, K::fsmq_SaveNotices}));
}

// While a save of a list is queued (or being written), the list's next change waits for a later
// call, and so does a flush answer: saves never pile up faster than they are written, and a flush
// is answered only after a save that holds its changes.
TEST(ServiceTick, NextSaveOfAListWaitsForTheQueuedOne) {
    TickService s;
    s.AddNetwork(u"Net");
    s.PostDirtyModes();
    s.TimerTick();
    ASSERT_EQ(s.MainQueue().Count(), 1);
    auto& requester = *new test::TAnswerContext(5);  // owned by the service
    s.CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&requester));
    s.PostDirtyModes();
    s.PostCommandFlushData(&requester);
    s.TimerTick();
    // Every list but the modes, whose save is still queued; no answer yet.
    EXPECT_EQ(s.MainQueue().Count(), 6);
    s.TimerTick();
    EXPECT_EQ(s.MainQueue().Count(), 6);
    const std::vector<K> queued = Kinds(s.TakeJobs());  // the jobs go: as if written
    EXPECT_EQ(std::count(queued.begin(), queued.end(), K::fsmq_SaveModes), 1);
    EXPECT_EQ(std::count(queued.begin(), queued.end(), K::fsmq_ForwardPending), 0);
    s.TimerTick();
    auto jobs = s.TakeJobs();
    EXPECT_EQ(Kinds(jobs), (std::vector<K>{K::fsmq_SaveModes, K::fsmq_ForwardPending}));
    EXPECT_EQ(jobs.back().second, std::vector<AnsiString>{"1"});
}

// Workers marked as having work are woken, last to first, once per mark.
TEST(ServiceTick, WakesMarkedWorkers) {
    TickService s;
    auto* w0 = new test::StandInWorker(10, 10, 0);
    auto* w1 = new test::StandInWorker(10, 10, 0);
    s.Workers().emplace_back(w0);
    s.Workers().emplace_back(w1);
    w1->HasWork = true;
    s.TimerTick();
    EXPECT_EQ(w0->Wakes, 0);
    EXPECT_EQ(w1->Wakes, 1);
    EXPECT_FALSE(w1->HasWork);
    s.TimerTick();
    EXPECT_EQ(w1->Wakes, 1);
}

// Changed lists become saves in the order mutes, blocks, admins, modes, rights, notices, owner,
// then the flush answer job, which answers only the requests whose saves came before it.
TEST(ServiceTick, SavesInListOrderThenFlushAnswers) {
    TickService s;
    s.PostDirtyOwner();
    s.PostDirtyNotices();
    s.PostDirtyMutes();
    s.TimerTick();
    EXPECT_EQ(Kinds(s.TakeJobs()), (std::vector<K>{K::fsmq_SaveMutes, K::fsmq_SaveNotices, K::fsmq_SaveOwner}));

    // The service owns (and frees) its command contexts.
    auto& requester = *new test::TAnswerContext(5);
    test::TAnswerContext gone(6);
    s.CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&requester));
    s.PostCommandFlushData(&requester);
    s.PostCommandFlushData(&gone);  // not a command context (any more): saves, no answer
    s.TimerTick();
    auto jobs = s.TakeJobs();
    EXPECT_EQ(Kinds(jobs), (std::vector<K>{K::fsmq_SaveMutes, K::fsmq_SaveBlocks, K::fsmq_SaveAdmins, K::fsmq_SaveModes,
                                           K::fsmq_SaveRights, K::fsmq_SaveNotices, K::fsmq_ForwardPending}));
    EXPECT_EQ(jobs.back().second, std::vector<AnsiString>{"1"});
    EXPECT_EQ(s.FlusherQueue().Count(), 1);
    s.TimerTick();
    EXPECT_TRUE(s.TakeJobs().empty());
}

void AddMuteBlock(TZELSVCMuteBlockList& L, TZELSVCNetworkBase& Owner, AnsiView Id, AnsiView Line) {
    auto e = std::make_unique<TZELSVCMuteBlock>(Owner);
    e->Data.Id = AnsiString(Id);
    e->FileLine = AnsiString(Line);
    int32_t i = 0;
    L.Find(Id, i);
    L.Insert(i, std::move(e), true);
}

// The snapshots take each entry's prepared file line, network by network in list order, and the
// modes, notices and owner lines from the list units' builders; an empty snapshot is saved too.
TEST(ServiceTick, SnapshotLines) {
    TickService s;
    TZELSVCWriteArray lines{"stale\r\n"};
    s.SnapshotMutesBlocks(lines, 0);
    EXPECT_TRUE(lines.empty());
    s.SnapshotOwner(lines);
    EXPECT_EQ(lines, TZELSVCWriteArray{"CALLSIGN||\r\n"});

    TickNetwork* a = s.AddNetwork(u"Alpha");
    TickNetwork* b = s.AddNetwork(u"B\u00e9ta");
    AddMuteBlock(a->Mutes(), *a, "ID2", "a-mute-2\r\n");
    AddMuteBlock(a->Mutes(), *a, "ID1", "a-mute-1\r\n");
    AddMuteBlock(b->Mutes(), *b, "ID0", "b-mute-0\r\n");
    AddMuteBlock(b->Blocks(), *b, "ID9", "b-block\r\n");
    {
        auto e = std::make_unique<TZELSVCAdmin>(*b);
        e->Data.Id = "ADM";
        e->FileLine = "b-admin\r\n";
        b->Admins().Insert(0, std::move(e), true);
        auto r = std::make_unique<TZELSVCAccess>(*a);
        r->Data.Key = PadKey8A("x@y");
        r->FileLine = "a-right\r\n";
        a->Rights().Insert(0, std::move(r), true);
    }
    a->Talk = true;
    b->NoticeTexts() = {"AB", "\xc3\xa9"};
    s.ServerOwner() = {"On", "On8"};

    struct Case {
        const char* name;
        std::function<void()> snap;
        TZELSVCWriteArray want;
    } cases[] = {
        {"mutes", [&] { s.SnapshotMutesBlocks(lines, 0); }, {"a-mute-1\r\n", "a-mute-2\r\n", "b-mute-0\r\n"}},
        {"blocks", [&] { s.SnapshotMutesBlocks(lines, 1); }, {"b-block\r\n"}},
        {"admins", [&] { s.SnapshotAdmins(lines); }, {"b-admin\r\n"}},
        {"rights", [&] { s.SnapshotRights(lines); }, {"a-right\r\n"}},
        {"modes", [&] { s.SnapshotModes(lines); }, {"Alpha|0|1\r\n"}},
        {"notices", [&] { s.SnapshotNotices(lines); }, {"B\xc3\xa9ta|4142|C3A9\r\n"}},
        {"owner", [&] { s.SnapshotOwner(lines); }, {"CALLSIGN|4F6E|4F6E38\r\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lines = {"stale\r\n"};
        c.snap();
        EXPECT_EQ(lines, c.want);
    }

    // A save with nothing in it is still queued.
    a->Talk = false;
    s.PostDirtyModes();
    s.TimerTick();
    auto jobs = s.TakeJobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].first, K::fsmq_SaveModes);
    EXPECT_TRUE(jobs[0].second.empty());
}

// A snapshot that raises ends the call, but its change is not lost: the bits of the saves not yet
// queued stay, and the next call queues them, then the flush answer.
TEST(ServiceTick, RaisingSnapshotIsSavedOnTheNextCall) {
    TickService s;
    TickNetwork* net = s.AddNetwork(u"Net");
    net->Connection = true;
    net->RaiseModes = 1;
    auto& requester = *new test::TAnswerContext(5);  // owned by the service
    s.CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&requester));
    s.PostCommandFlushData(&requester);
    EXPECT_THROW(s.TimerTick(), Exception);
    EXPECT_EQ(Kinds(s.TakeJobs()), (std::vector<K>{K::fsmq_SaveMutes, K::fsmq_SaveBlocks, K::fsmq_SaveAdmins}));
    s.TimerTick();
    auto jobs = s.TakeJobs();
    EXPECT_EQ(Kinds(jobs), (std::vector<K>{K::fsmq_SaveModes, K::fsmq_SaveRights, K::fsmq_SaveNotices,
                                           K::fsmq_ForwardPending}));
    EXPECT_EQ(jobs[0].second, TZELSVCWriteArray{"Net|1|0\r\n"});
    EXPECT_EQ(jobs.back().second, std::vector<AnsiString>{"1"});
}

// A command context that notes how many saves were written when its answer came.
class TFlushRequester : public test::TStandInContext {
public:
    TFlushRequester(uint32_t N, const std::atomic<int>& Writes) : TStandInContext(N), Writes_(Writes) {}
    void SendCommandText(AnsiView Text) override {
        WritesAtAnswer = Writes_.load();
        Answer = AnsiString(Text);
        Answered = true;
    }
    std::atomic<bool> Answered{false};
    std::atomic<int> WritesAtAnswer{-1};
    AnsiString Answer;  // read after Answered

private:
    const std::atomic<int>& Writes_;
};

// Polls Cond for up to 5 s on a thread that serves no synchronized calls.
bool WaitFor(const std::function<bool()>& Cond) {
    for (int i = 0; i < 5000 && !Cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Cond();
}

// A flush request that arrives while the saves of the one before it are being written is answered
// only after its own saves, even though the earlier answer job runs first.
TEST(ServiceTickThread, FlushIsAnsweredAfterItsOwnSaves) {
    auto s = std::make_unique<TZELService>(u"/etc/server.ini", TZELServiceConfig{});
    std::atomic<int> writes{0};
    // Owned by the service, which frees its command contexts.
    auto& first = *new TFlushRequester(1, writes);
    auto& second = *new TFlushRequester(2, writes);
    s->CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&first));
    s->CommandContexts().Add(static_cast<TZELSVCWrkCtxBase*>(&second));
    std::atomic<bool> writing{false}, secondQueued{false};
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray&) {
        writing = true;
        // The first save waits for the second request; the second request's first save waits for
        // the first answer, so a premature second answer would come while only 6 are written.
        if (writes == 0) WaitFor([&] { return secondQueued.load(); });
        if (writes == 6) WaitFor([&] { return first.Answered.load(); });
        ++writes;
        return true;
    };
    s->Start();
    s->RequestServiceStart();

    s->PostCommandFlushData(&first);
    ASSERT_TRUE(ServeUntil([&] { return writing.load(); }));
    s->PostCommandFlushData(&second);
    ASSERT_TRUE(ServeUntil([&] { return s->FlusherQueue().Count() == 2; }));
    secondQueued = true;
    ASSERT_TRUE(ServeUntil([&] { return first.Answered && second.Answered; }));
    s->StopAndWait();
    EXPECT_EQ(first.WritesAtAnswer, 6);
    EXPECT_EQ(second.WritesAtAnswer, 12);
    EXPECT_EQ(first.Answer, "+OK\r\n");
    EXPECT_EQ(second.Answer, "+OK\r\n");
}

}  // namespace
}  // namespace zel
