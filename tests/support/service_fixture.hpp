#pragma once
// Helpers for tests that run a TZELService: a wait that serves the service thread's synchronized
// calls, a stand-in work context, a stand-in tick that records (and releases) the service queue's
// records, and a log capture.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_bases.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/stand_in_worker.hpp"

namespace zel::test {

using namespace std::chrono_literals;

// Waits up to Limit for Cond on the main thread, serving synchronized calls meanwhile (the service
// thread would otherwise block in its log hand-over).
inline bool ServeUntil(const std::function<bool()>& Cond, std::chrono::milliseconds Limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + Limit;
    while (!Cond()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        TThread::CheckSynchronize(5);
    }
    return true;
}

// Serves synchronized calls for a while.
inline void ServeFor(std::chrono::milliseconds Time) {
    ServeUntil([] { return false; }, Time);
}

class TStandInContext : public TZELSVCWrkCtxBase {
public:
    explicit TStandInContext(uint32_t N) : N_(N) {}
    uint32_t Number() const override { return N_; }
    void SetNumber(uint32_t N) { N_ = N; }
    bool ClosedPosted() const noexcept override { return ClosedPosted_.load(); }
    bool MarkClosedPosted() noexcept override { return !ClosedPosted_.exchange(true); }
    void AbortWithCause(TZELSVCDisconnectCause Cause) override { Aborts.push_back(Cause); }
    const AnsiString& PeerText() const noexcept override { return Peer; }
    void SetWorker(TZELSVCWorkerBase*) noexcept override {}
    void StopUnserved(TZELSVCDisconnectCause Cause) override { Aborts.push_back(Cause); }
    UnicodeString DisconnectLine(bool) const override { return u"StandIn"; }
    TZELSVCDisconnectCause DisconnectCause() const noexcept override { return {}; }
    void ContextError(UnicodeView) override {}

    AnsiString Peer = "127.0.0.1";

    // The causes of the aborts asked for, in order.
    std::vector<TZELSVCDisconnectCause> Aborts;

private:
    uint32_t N_;
    std::atomic<bool> ClosedPosted_{false};
};

// A command-port context that keeps the texts the service answers it with (any thread reads).
class TAnswerContext : public TStandInContext {
public:
    using TStandInContext::TStandInContext;
    void SendCommandText(AnsiView Text) override {
        std::lock_guard<std::mutex> g(m_);
        texts_.emplace_back(Text);
    }
    std::vector<AnsiString> Texts() {
        std::lock_guard<std::mutex> g(m_);
        return texts_;
    }

private:
    std::mutex m_;
    std::vector<AnsiString> texts_;
};

// A client context in a network, possibly on a timed move.
class TClientContext : public TStandInContext {
public:
    TClientContext(uint32_t N, TZELSVCNetworkBase* Network, TZELSVCNetworkBase* Home = nullptr, int32_t Countdown = 0)
        : TStandInContext(N), Network_(Network), Home_(Home), Countdown_(Countdown) {}
    TZELSVCNetworkBase* Network() const override { return Network_; }
    TZELSVCNetworkBase* HomeNetwork() const override { return Home_; }
    int32_t MoveCountdown() const override { return Countdown_; }
    void SetMoveCountdown(int32_t N) override { Countdown_ = N; }

private:
    TZELSVCNetworkBase* Network_;
    TZELSVCNetworkBase* Home_;
    int32_t Countdown_;
};

// What the stand-in tick saw of one record.
struct TTaken {
    TZELSVCNetQueueCommand Command;
    TZELSVCWrkCtxBase* Owner;
    uint32_t OwnerId;
    AnsiString Text1;
    int32_t Value1, Value2, Value3;
    int Socket;  // codes 36 and 37: the handle, now the recorder's
};

// Installed as the service's tick: takes every record off the service queue, notes it and
// releases it; sockets of new connections are kept (and closed by the recorder).
class TTickRecorder {
public:
    ~TTickRecorder() {
        for (const TTaken& t : taken_)
            if (t.Socket >= 0) ::close(t.Socket);
    }
    void Install(TZELService& S) {
        S.OnTick = [this, &S] {
            if (Probe) Probe();
            std::unique_ptr<TZELSVCNetQueueRecord> batch[32];
            int32_t n;
            while ((n = S.ServQueue().PopMany(batch, 32)) > 0) {
                std::lock_guard<std::mutex> g(m_);
                for (int32_t i = 0; i < n; ++i) {
                    TZELSVCNetQueueRecord& r = *batch[i];
                    const bool conn = r.Command == TZELSVCNetQueueCommand::fsnq_NewClientConnection ||
                                      r.Command == TZELSVCNetQueueCommand::fsnq_NewCommandConnection;
                    const int32_t v1 = r.Value1;
                    const int socket = conn ? r.TakeSocket() : -1;
                    taken_.push_back({r.Command, r.Owner, r.OwnerId, r.Text1, v1, r.Value2, r.Value3, socket});
                }
            }
        };
    }
    // Runs first in every tick, on the timer thread; set before Start().
    std::function<void()> Probe;

    std::vector<TTaken> Taken() {
        std::lock_guard<std::mutex> g(m_);
        return taken_;
    }
    int Count(TZELSVCNetQueueCommand C) {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (const TTaken& t : taken_) n += t.Command == C;
        return n;
    }

private:
    std::mutex m_;
    std::vector<TTaken> taken_;
};

// Captures the log lines on the main thread, as a runner would write them.
class TLogCapture {
public:
    void Install(TZELService& S) {
        S.OnLog = [this](TZELService* Sender) {
            UnicodeString line;
            while (Sender->PopLogLine(line)) Lines.push_back(line);
        };
    }
    bool Has(UnicodeView Line) const {
        for (const UnicodeString& l : Lines)
            if (l == Line) return true;
        return false;
    }
    bool HasPrefix(UnicodeView Prefix) const {
        for (const UnicodeString& l : Lines)
            if (l.compare(0, Prefix.size(), Prefix) == 0) return true;
        return false;
    }
    std::vector<UnicodeString> Lines;
};

inline std::string Narrow(UnicodeView S) { return NarrowStrA(S); }

}  // namespace zel::test
