#include "clients/dmq_zel_svc_wrkctx.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/stand_in_worker.hpp"

namespace zel {
namespace {

using Cause = TZELSVCDisconnectCause;

// The smallest complete context: the worker operations do nothing.
class TPlainCtx : public TZELSVCWrkCtx {
public:
    using TZELSVCWrkCtx::TZELSVCWrkCtx;
    void vAttach(TZELSVCWaitRecord&) override {}
    TZELSVCWrkResult vHandleRead(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    TZELSVCWrkResult vPrepareWait(TZELSVCWaitRecord&) override { return TZELSVCWrkResult::wkr_Keep; }
    bool vCheckIdleTimeout(TZELSVCWaitRecord&) override { return false; }
};

// A kind with an identity text of its own and a resource it frees in its own destructor; its close
// override counts, so the test sees which close the destructors reach.
class TBirdCtx : public TPlainCtx {
public:
    TBirdCtx(int* Frees, int* Closes) : TPlainCtx(nullptr, -1, "x", 1, 0), frees_(Frees), closes_(Closes) {}
    ~TBirdCtx() override { ++*frees_; }
    AnsiString vGetIdText() const override { return "Parrot"; }
    void vCloseSocket() override {
        ++*closes_;
        TPlainCtx::vCloseSocket();
    }

private:
    int* frees_;
    int* closes_;
};

class TCountingWorker : public test::StandInWorker {
public:
    void MarkHasWork() noexcept override { Marks.fetch_add(1); }
    std::atomic<int> Marks{0};
};

bool PeerSeesEnd(int Fd) {
    if (!zeltest::PollFor(Fd, POLLIN, 1000)) return false;
    char c;
    return recv(Fd, &c, 1, 0) == 0;
}

TEST(ZELSVCWrkCtx, IdentityAndNumbers) {
    auto lone = CreateWrkCtx<TPlainCtx>(nullptr, -1, "10.0.0.1", 5000, 7);
    EXPECT_EQ(lone->Number(), 1u);
    EXPECT_EQ(lone->PeerText(), "10.0.0.1");
    EXPECT_EQ(lone->ConnText(), "5000");
    EXPECT_EQ(lone->IdText(), "10.0.0.15000");
    EXPECT_EQ(lone->Name(), u"10.0.0.15000");
    EXPECT_EQ(lone->Extra, 7);
    EXPECT_EQ(lone->Handle.load(), -1);

    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    auto a = CreateWrkCtx<TPlainCtx>(&s, -1, "::1", -3, 0);
    auto b = CreateWrkCtx<TPlainCtx>(&s, -1, "::1", 4, 0);
    EXPECT_EQ(a->ConnText(), "-3");
    EXPECT_EQ(b->Number(), a->Number() + 1);
}

// The name comes from the most-derived class's identity text, and the destructors reach only the
// base's own close, never a derived override of a destroyed part.
TEST(ZELSVCWrkCtx, NameFromTheFinishedObjectAndOwnCloses) {
    int frees = 0, closes = 0;
    {
        auto p = CreateWrkCtx<TBirdCtx>(&frees, &closes);
        EXPECT_EQ(p->Name(), u"Parrot");
        EXPECT_EQ(p->IdText(), "x1");
    }
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(closes, 0);
}

TEST(ZELSVCWrkCtx, BaseOperationsRaiseTheirQualifiedNames) {
    auto c = CreateWrkCtx<TPlainCtx>(nullptr, -1, "p", 0, 0);
    struct Row {
        std::function<void()> Call;
        const char* Message;
    } rows[] = {
        {[&] { c->vFlush(); }, "TZELSVCWrkCtx.vFlush"},
        {[&] { c->vAbortConnection(); }, "TZELSVCWrkCtx.vAbortConnection"},
        {[&] { c->vExecStop(nullptr); }, "TZELSVCWrkCtx.vExecStop"},
    };
    for (const Row& r : rows) {
        try {
            r.Call();
            ADD_FAILURE() << "no exception for " << r.Message;
        } catch (const Exception& e) {
            EXPECT_STREQ(e.ClassName(), "Exception");
            EXPECT_EQ(e.Message(), r.Message);
        }
    }
    EXPECT_TRUE(c->vIsValid());
    c->vSendAnswer(false, TZELChannelCommandAnswer::fsca_OK);  // nothing, and no raise
    c->vSetTimeoutCause();
    EXPECT_EQ(c->Cause(), Cause::fsdc_ClientTimeout);
}

TEST(ZELSVCWrkCtx, FirstCauseAndFirstTextStay) {
    auto c = CreateWrkCtx<TPlainCtx>(nullptr, -1, "p", 0, 0);
    EXPECT_FALSE(c->HasCause());
    EXPECT_FALSE(c->SetDisconnectCause(Cause::fsdc_DisconnectWithoutAuth));  // 0 means none
    EXPECT_FALSE(c->HasCause());
    EXPECT_TRUE(c->SetDisconnectCause(Cause::fsdc_SocketError));
    EXPECT_FALSE(c->SetDisconnectCause(Cause::fsdc_ServerError));
    c->vSetTimeoutCause();
    EXPECT_EQ(c->Cause(), Cause::fsdc_SocketError);

    EXPECT_FALSE(c->HasCauseText());
    EXPECT_TRUE(c->SetDisconnectText("Read error [104]: reset"));
    EXPECT_FALSE(c->SetDisconnectText("Write error"));
    EXPECT_EQ(c->CauseText(), "Read error [104]: reset");
}

TEST(ZELSVCWrkCtx, AbortMarksTheWorkerAndKeepsAnEarlierCause) {
    TCountingWorker w;
    auto c = CreateWrkCtx<TPlainCtx>(nullptr, -1, "p", 0, 0);
    c->RequestFlush();  // no worker yet: nothing to mark
    c->Worker.store(&w);
    c->SetDisconnectCause(Cause::fsdc_TooLongString);
    c->SendFlags.fetch_or(ZELSendOutputQueued);
    c->AbortWithCause(Cause::fsdc_ServerStopped);
    EXPECT_EQ(c->Cause(), Cause::fsdc_TooLongString);
    EXPECT_EQ(c->SendFlags.load(), ZELSendOutputQueued | ZELSendAbort);
    EXPECT_EQ(w.Marks.load(), 1);

    EXPECT_FALSE(c->ClosedPosted());
    EXPECT_TRUE(c->MarkClosedPosted());
    EXPECT_FALSE(c->MarkClosedPosted());
    EXPECT_TRUE(c->ClosedPosted());
}

TEST(ZELSVCWrkCtx, TheContextOwnsItsSocket) {
    zeltest::TcpPair p;
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET, p));
    {
        auto c = CreateWrkCtx<TPlainCtx>(nullptr, p.b, "127.0.0.1", 1, 0);
        p.b = -1;
    }
    EXPECT_TRUE(PeerSeesEnd(p.a));

    p.Close();
    ASSERT_TRUE(zeltest::MakeTcpPair(AF_INET6, p));
    auto c = CreateWrkCtx<TPlainCtx>(nullptr, p.b, "::1", 1, 0);
    p.b = -1;
    c->vCloseSocket();
    EXPECT_EQ(c->Handle.load(), -1);
    EXPECT_TRUE(PeerSeesEnd(p.a));
    c->vCloseSocket();  // once closed, nothing more
}

TEST(ZELSVCWrkCtx, LogHooksGoToTheServiceAsContextLines) {
    TZELService s(u"/etc/server.ini", TZELServiceConfig{});
    auto c = CreateWrkCtx<TPlainCtx>(&s, -1, "10.1.1.1", 77, 0);
    auto lone = CreateWrkCtx<TPlainCtx>(nullptr, -1, "p", 0, 0);
    lone->LogText(u"dropped");  // no hooks without an owner
    c->LogText(u"hello");
    c->LogError(u"bad");
    UnicodeString line;
    ASSERT_TRUE(s.PopLogLine(line));
    EXPECT_EQ(line, u"Context: 10.1.1.177: hello");
    ASSERT_TRUE(s.PopLogLine(line));
    EXPECT_EQ(line, u"ERROR: Context: 10.1.1.177: bad");
    EXPECT_FALSE(s.PopLogLine(line));
}

// A worker and the timer thread set causes, texts and flags at once: exactly one cause and one text
// win, stay, and every flag bit arrives.
TEST(ZELSVCWrkCtx, ConcurrentCausesKeepTheFirst) {
    for (int round = 0; round < 200; ++round) {
        auto c = CreateWrkCtx<TPlainCtx>(nullptr, -1, "p", 0, 0);
        std::atomic<int> go{0};
        bool wonA = false, wonB = false, textA = false, textB = false;
        std::thread a([&] {
            while (go.load() == 0) {
            }
            wonA = c->SetDisconnectCause(Cause::fsdc_SocketError);
            textA = c->SetDisconnectText("A");
            c->SendFlags.fetch_or(ZELSendOutputQueued);
        });
        std::thread b([&] {
            while (go.load() == 0) {
            }
            wonB = c->SetDisconnectCause(Cause::fsdc_ServerStopped);
            textB = c->SetDisconnectText("B");
            c->SendFlags.fetch_or(ZELSendAbort);
        });
        go.store(1);
        a.join();
        b.join();
        ASSERT_NE(wonA, wonB);
        ASSERT_NE(textA, textB);
        EXPECT_EQ(c->Cause(), wonA ? Cause::fsdc_SocketError : Cause::fsdc_ServerStopped);
        EXPECT_EQ(c->CauseText(), textA ? "A" : "B");
        EXPECT_EQ(c->SendFlags.load(), ZELSendOutputQueued | ZELSendAbort);
    }
}

}  // namespace
}  // namespace zel
