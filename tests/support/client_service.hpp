#pragma once
// A running service with real workers, socket client contexts and command-port contexts on
// loopback ports, for the clients' tests and benchmarks: a factory that makes them, a stand-in
// network that admits (or holds) logins and finishes disconnects as a network does, a probe that
// notes each freed client context, and a blocking test client.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "clients/dmq_zel_svc_command.hpp"
#include "clients/dmq_zel_svc_network.hpp"
#include "clients/dmq_zel_svc_server_snps.hpp"
#include "clients/dmq_zel_svc_worker.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_timer.hpp"
#include "tests/support/loopback.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"

namespace zel::test {

// What a freed client context was, by the client's own port.
struct TFreedContext {
    TZELSVCDisconnectCause Cause;
    AnsiString ConnectText;
};

// Notes of the contexts made and freed; any thread.
class TContextProbe {
public:
    void Made() { Made_.fetch_add(1); }
    void Freed(int32_t Port, TZELSVCDisconnectCause Cause, const AnsiString& ConnectText) {
        std::lock_guard<std::mutex> g(m_);
        ++FreedCount_[Port];
        Freed_[Port] = {Cause, ConnectText};
    }
    int MadeCount() const { return Made_.load(); }
    int FreedTotal() {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (auto& [p, c] : FreedCount_) n += c;
        return n;
    }
    // Every port freed at most once.
    bool FreedOnce() {
        std::lock_guard<std::mutex> g(m_);
        for (auto& [p, c] : FreedCount_)
            if (c != 1) return false;
        return true;
    }
    bool Find(int32_t Port, TFreedContext& Out) {
        std::lock_guard<std::mutex> g(m_);
        auto it = Freed_.find(Port);
        if (it == Freed_.end()) return false;
        Out = it->second;
        return true;
    }

private:
    std::atomic<int> Made_{0};
    std::mutex m_;
    std::map<int32_t, int> FreedCount_;
    std::map<int32_t, TFreedContext> Freed_;
};

class TProbedContext : public TZELSVCContextSNPS {
public:
    TProbedContext(TContextProbe& Probe, TZELService* Owner, int32_t Handle, AnsiView Peer, int32_t Port,
                   int32_t Extra)
        : TZELSVCContextSNPS(Owner, Handle, Peer, Port, Extra), Probe_(Probe), Port_(Port) {
        Probe_.Made();
    }
    ~TProbedContext() override { Probe_.Freed(Port_, Cause(), ConnectText); }

private:
    TContextProbe& Probe_;
    int32_t Port_;
};

// The network every client logs into. On the timer thread: admits a handshake (unless its
// callsign is "HOLD": that login stays pending), counts the client codes, finishes disconnects
// (log line, free, count down), and drops every member on codes 81 and 82.
class TLoginNetwork : public StandInNetwork {
public:
    explicit TLoginNetwork(TZELService& S, UnicodeView Name = u"Test") : S_(S) { Name_ = UnicodeString(Name); }
    ~TLoginNetwork() override {
        for (TZELSVCContext* c : Members) delete c;
    }

    void AddPending(std::unique_ptr<TZELSVCNetQueueRecord>&& Rec) override {
        auto* ctx = dynamic_cast<TZELSVCContext*>(Rec->Owner);
        const int code = static_cast<int>(Rec->Command);
        Codes[code].fetch_add(1);
        if (OnRecord) OnRecord(*Rec);
        switch (code) {
        case 38:
            Members.push_back(ctx);
            // Placed and active, as a join makes it.
            ctx->ClientFlags.fetch_and(~uint32_t(0x400000));
            if (ctx->Callsign != "HOLD") ctx->SendAcceptedLogin();
            break;
        case 40:
            for (size_t i = 0; i < Members.size(); ++i)
                if (Members[i] == ctx) {
                    Members.erase(Members.begin() + long(i));
                    break;
                }
            if (S_.LogClientLevel >= DisconnectCauseInfo(ctx->Cause()).Level) S_.AddLogLine(ctx->DisconnectLine(true));
            delete ctx;
            S_.DecConnectionCount();
            break;
        case 81:
        case 82:
            for (TZELSVCContext* c : Members)
                if (!c->ClosedPosted())
                    c->AbortWithCause(code == 81 ? TZELSVCDisconnectCause::fsdc_ServerStopped
                                                 : TZELSVCDisconnectCause::fsdc_ByOwner);
            break;
        default:
            break;
        }
    }

    // Timer thread only (probes of the tick).
    std::vector<TZELSVCContext*> Members;
    std::atomic<int> Codes[84] = {};
    // Sees each record first (timer thread).
    std::function<void(TZELSVCNetQueueRecord&)> OnRecord;

private:
    TZELService& S_;
};

// Service start builds the default networks ("Test" and "Net01"): "Test" is the network made
// beforehand (so that tests reach it before the start), the others are new login networks.
class TClientFactory : public TZELSVCFactory {
public:
    // Real: every network is a TZELServNetwork (First is not used).
    TClientFactory(TContextProbe& Probe, TZELService& S, std::unique_ptr<TLoginNetwork> First, bool Real = false)
        : Probe_(Probe), S_(S), First_(std::move(First)), Real_(Real) {}
    std::unique_ptr<TZELSVCNetworkBase> CreateNetwork(const TZELServNetworkRec& Rec) override {
        if (Real_) return std::make_unique<TZELServNetwork>(S_, Rec);
        if (First_ && Rec.Name == u"Test") return std::move(First_);
        return std::make_unique<TLoginNetwork>(S_, Rec.Name);
    }
    std::unique_ptr<TZELSVCWorkerBase> CreateWorker(TZELService& S) override {
        return std::make_unique<TZELSVCWorker>(S);
    }
    std::unique_ptr<TZELSVCWrkCtxBase> CreateClientContext(TZELService& S, int Handle, AnsiView Peer, int32_t Port,
                                                           int32_t Extra) override {
        std::unique_ptr<TProbedContext> c;
        try {
            c = std::make_unique<TProbedContext>(Probe_, &S, Handle, Peer, Port, Extra);
        } catch (...) {
            SockClose(Handle);
            throw;
        }
        c->AfterConstruction();
        return c;
    }
    std::unique_ptr<TZELSVCWrkCtxBase> CreateCommandContext(TZELService& S, int Handle, AnsiView Peer, int32_t Port,
                                                            int32_t Extra) override {
        return CreateSocketWrkCtx<TZELSVCCommand>(S, Handle, Peer, Port, Extra);
    }

private:
    TContextProbe& Probe_;
    TZELService& S_;
    std::unique_ptr<TLoginNetwork> First_;
    bool Real_;
};

// The settings of a TClientService.
struct TClientSettings {
    int32_t ClientsPerThread = 500;
    int32_t HandshakeTimeout = 1;  // s
    int32_t ActivityTimeout = 3;   // s
    int32_t ThreadCacheTime = 20;  // s
    int32_t MaxConnectionsPerAddress = 0;
    int32_t MaxTotalConnections = 1000;
    int32_t OutputBufferLimit = 131072;
    bool KeepHotThread = false;
    // The networks are the real ones (Net stays null), made from the networks file when one is set.
    bool RealNetworks = false;
    // Runs on the service before it starts (file names, options).
    std::function<void(TZELService&)> Setup;
};

// A service on a loopback client port with short time-outs; the log is captured.
class TClientService {
public:
    explicit TClientService(const TClientSettings& Set = TClientSettings()) {
        TZELServiceConfig config;
        config.DefaultNetworkName = u"Test";
        S = std::make_unique<TZELService>(u"/etc/server.ini", config);
        auto net = std::make_unique<TLoginNetwork>(*S);
        Net = Set.RealNetworks ? nullptr : net.get();
        S->SetFactory(std::make_unique<TClientFactory>(Probe, *S, std::move(net), Set.RealNetworks));
        S->SetClientsPerThread(Set.ClientsPerThread);
        S->SetClientHandshakeTimeout(Set.HandshakeTimeout);
        S->SetClientActivityTimeout(Set.ActivityTimeout);
        S->ThreadCacheTime = Set.ThreadCacheTime;
        S->MaxConnectionsPerAddress = Set.MaxConnectionsPerAddress;
        S->MaxTotalConnections = Set.MaxTotalConnections;
        S->OutputBufferLimit = Set.OutputBufferLimit;
        S->KeepHotThread = Set.KeepHotThread;
        // Many clients connect at once.
        S->SetMaxWaitConnections(1000);
        S->LogClientLevel = 6;
        if (Set.Setup) Set.Setup(*S);
        Log.Install(*S);
        InstallProbe();
        S->ListenLocalhost(u"Client", u"0", TSynapseListenerIPVersions::ipver_4, S->ClientAcceptHandler());
        S->ListenLocalhost(u"Command", u"0", TSynapseListenerIPVersions::ipver_4, S->CommandAcceptHandler());
    }
    ~TClientService() { Stop(); }

    // Starts and waits for the listening line; false when it does not come.
    bool Start() {
        S->Start();
        S->RequestServiceStart();
        const std::regex started("Start listening: (Client|Command): 127\\.0\\.0\\.1:([0-9]+)");
        return ServeUntil([&] {
            for (const UnicodeString& l : Log.Lines) {
                std::smatch m;
                const std::string line = Narrow(l);
                if (!std::regex_match(line, m, started)) continue;
                (m[1].str() == "Client" ? Port : CommandPort) = uint16_t(std::stoi(m[2].str()));
            }
            return Port != 0 && CommandPort != 0;
        });
    }
    // Stops and waits for the end (every connection and worker gone).
    void Stop() {
        if (!S) return;
        S->RequestStop(u"test");
        S->WaitFor();
    }
    // Runs Fn on the timer thread inside the next tick and waits for it (serving the log).
    void OnTimer(const std::function<void()>& Fn) {
        std::atomic<bool> done{false};
        {
            std::lock_guard<std::mutex> g(ProbeLock_);
            Pending_.push_back([&] {
                Fn();
                done = true;
            });
        }
        S->Timer().Wake();
        ServeUntil([&] { return done.load(); }, std::chrono::milliseconds(10000));
    }

    // Runs Fn on the timer thread at every tick from now on (empty: none).
    void SetEveryTick(std::function<void()> Fn) {
        std::lock_guard<std::mutex> g(ProbeLock_);
        EveryTick_ = std::move(Fn);
    }
    // The real network of that name (RealNetworks); timer thread once started.
    TZELServNetwork* RealNet(UnicodeView Name) {
        return dynamic_cast<TZELServNetwork*>(S->Networks().Find(Name));
    }
    // The member whose peer port is ClientPort; timer thread.
    TZELSVCContextSNPS* Member(uint16_t ClientPort) const {
        for (TZELSVCContext* c : Net->Members)
            if (c->ConnText() == std::to_string(ClientPort)) return static_cast<TZELSVCContextSNPS*>(c);
        return nullptr;
    }

    // The line "Client: 127.0.0.1 <Port> ..." logged at the client's disconnect, or "".
    std::string DisconnectLine(uint16_t ClientPort) const {
        const std::string head = "Client: 127.0.0.1 " + std::to_string(ClientPort) + " ";
        for (const UnicodeString& l : Log.Lines) {
            const std::string line = Narrow(l);
            if (line.compare(0, head.size(), head) == 0 && line.find("CONNECT") != head.size()) return line;
        }
        return std::string();
    }
    // Waits for that line and returns it.
    std::string WaitDisconnect(uint16_t ClientPort, std::chrono::milliseconds Limit = std::chrono::milliseconds(8000)) {
        std::string line;
        ServeUntil([&] { return !(line = DisconnectLine(ClientPort)).empty(); }, Limit);
        return line;
    }

    TContextProbe Probe;
    TLogCapture Log;
    std::unique_ptr<TZELService> S;
    TLoginNetwork* Net = nullptr;
    uint16_t Port = 0;
    // The command port (loopback).
    uint16_t CommandPort = 0;

private:
    void InstallProbe() {
        // The service's own tick, with the test's calls first.
        S->OnTick = [this] {
            std::vector<std::function<void()>> run;
            {
                std::lock_guard<std::mutex> g(ProbeLock_);
                run.swap(Pending_);
            }
            for (auto& f : run) f();
            std::function<void()> every;
            {
                std::lock_guard<std::mutex> g(ProbeLock_);
                every = EveryTick_;
            }
            if (every) every();
            S->TimerTick();
        };
    }

    std::mutex ProbeLock_;
    std::vector<std::function<void()>> Pending_;
    std::function<void()> EveryTick_;
};

// A blocking loopback client.
class TTestClient {
public:
    TTestClient() = default;
    TTestClient(const TTestClient&) = delete;
    TTestClient& operator=(const TTestClient&) = delete;
    ~TTestClient() { Close(); }

    bool Connect(uint16_t Port) {
        Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage ss;
        const socklen_t len = zeltest::LoopbackAddr(AF_INET, Port, ss);
        if (connect(Fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return false;
        LocalPort = zeltest::LocalPort(Fd);
        return true;
    }
    void Close() {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
    }
    bool Send(const std::string& Bytes) {
        return ::send(Fd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) == ssize_t(Bytes.size());
    }
    // One wait of up to Ms and one read into Received; false once the peer closed (Closed set).
    bool ReadStep(int Ms) {
        if (Closed) return false;
        pollfd p{Fd, POLLIN, 0};
        if (poll(&p, 1, Ms) <= 0) return true;
        char buf[65536];
        const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n <= 0) {
            Closed = true;
            return false;
        }
        Received.append(buf, size_t(n));
        return true;
    }
    // Reads what comes within Ms; false once the peer closed.
    bool ReadFor(int Ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
        do {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (!ReadStep(int(left > 0 ? left : 0))) return false;
        } while (std::chrono::steady_clock::now() < end);
        return true;
    }
    // Reads until Cond holds of Received or the peer closed or Ms passed.
    bool ReadUntil(const std::function<bool(const std::string&)>& Cond, int Ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
        while (!Cond(Received) && !Closed && std::chrono::steady_clock::now() < end) ReadStep(20);
        return Cond(Received);
    }
    bool WaitClosed(int Ms) {
        ReadUntil([&](const std::string&) { return Closed; }, Ms);
        return Closed;
    }
    // The two lines of a login answer.
    bool WaitLoginAnswer(int Ms = 5000) {
        return ReadUntil(
            [](const std::string& R) {
                const size_t a = R.find("\r\n");
                return a != std::string::npos && R.find("\r\n", a + 2) != std::string::npos;
            },
            Ms);
    }

    int Fd = -1;
    uint16_t LocalPort = 0;
    std::string Received;
    bool Closed = false;
};

// "CT:" and a connect line that the login network admits (Version below 2010002: the KP line is
// awaited; callsign "HOLD": the login stays pending).
inline std::string ConnectLine(const std::string& Callsign = "N0CALL", int Version = 2014004) {
    return "CT:<VX>" + std::to_string(Version) + "</VX><EA>" + Callsign +
           "@example.org</EA><PW>pw</PW><ON>" + Callsign +
           "</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>Test</NT>\r\n";
}

}  // namespace zel::test
