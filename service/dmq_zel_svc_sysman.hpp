#pragma once
// TZELSvcSysMan: the link to one System Manager, a thread of its own. It connects (directly or
// through an HTTP or SOCKS proxy), presents the server, keeps the connection alive, forwards the
// clients' authentication requests and logouts, and hands the manager's verdicts back to the
// networks through the service queue (code 44; link up and down as 45 and 46; command-port
// answers as 31).
//
// Only the link thread touches the socket, the collector, the writer, the pending list and the
// parameters; other threads push requests into the locked request queue and wake the link's
// waiter. State is an atomic byte that posters read to decide between posting and answering at
// once. A wake-up also ends a socket wait (connect, proxy exchange) with EINTR, so Terminate()
// ends a connect in progress at once.
//
//   0 idle --connect--> 2 --handshake sent--> 6 --AL 0--> 7 --"F"--> 8 (delay) --> 9 operating
//   any failure --> 4 (ManagerReconnectInterval from DisconnectTime) --> 2
//   disconnect command or new password while connected, a request left unanswered too long, or
//   a line that answers nobody --> 5 (short pause) --> 2
//   stop --> 1 --> 0
//
// Link up is posted on entering 9, link down on leaving it. Every close answers each pending
// authentication request with result 0.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_thread.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_async_writer2_socket_us.hpp"
#include "net/dmq_collector_socket.hpp"
#include "net/dmq_snps_blcksock.hpp"
#include "net/dmq_waiter2_socket.hpp"
#include "service/dmq_zel_svc_connparams.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"
#include "service/dmq_zel_svc_sysman_queue.hpp"

namespace zel {

class TZELService;
class TZELSVCNetworkBase;
class TZELSVCWrkCtxBase;

// States of a link (the State byte).
constexpr uint8_t SYSMAN_IDLE = 0;
constexpr uint8_t SYSMAN_STOP = 1;
constexpr uint8_t SYSMAN_CONNECT = 2;
constexpr uint8_t SYSMAN_PAUSE = 4;
constexpr uint8_t SYSMAN_SHORT_PAUSE = 5;
constexpr uint8_t SYSMAN_HANDSHAKE = 6;
constexpr uint8_t SYSMAN_ACK = 7;
constexpr uint8_t SYSMAN_DELAY = 8;
constexpr uint8_t SYSMAN_OPERATING = 9;

// Results of an authentication (Value1 of code 44).
constexpr int32_t SYSMAN_RESULT_NONE = 0;
constexpr int32_t SYSMAN_RESULT_OK = 1;
constexpr int32_t SYSMAN_RESULT_ERROR = 2;
constexpr int32_t SYSMAN_RESULT_WRONG = 3;
constexpr int32_t SYSMAN_RESULT_BLOCK = 4;
constexpr int32_t SYSMAN_RESULT_DUPL = 5;

// The longest manager line, line end included. A longer line is a read failure: a cut line must
// never count as an answer.
constexpr uint32_t SYSMAN_MAX_LINE = 512;

// ---- Wire lines (the link's own; public for the tests of their bytes) ----

// The server name of the handshake: the international ASCII form of Address, or its UTF-8 bytes
// as they are when a label cannot be converted.
AnsiString SysManServerName(UnicodeView Address);
// "SC:" VX SN PT OW PW and one CRLF.
void BuildSysManHandshake(TStringBldA& B, const TZELSvcSysmanParams& Params);
// Text1, [NTU], IP ("127.0.0.1" with SubstituteSource, else Text3), [Text2], CRLF.
void BuildSysManAuthLine(TStringBldA& B, const TZELSysManQueueData& R, bool ManagerUnicode, bool SubstituteSource);
// "CD:" ID NT [NTU] CRLF.
void BuildSysManLogoutLine(TStringBldA& B, const TZELSysManQueueData& R, bool ManagerUnicode);
// The line with every password replaced by "***": the value of each PW element and the password
// item of a UTF-8 part (all of the part when it cannot be read). For the log only.
AnsiString MaskSysManSecrets(AnsiView Line);
// The elements of a handshake answer that are looked at; the ones behind them are dropped.
constexpr int32_t SYSMAN_MAX_ANSWER_ELEMENTS = 16;
// The code of a handshake answer: the decimal value of its "AL" element. False (Code unchanged)
// for a malformed line, no "AL" element or a value that is no number.
bool ReadSysManHandshakeCode(AnsiView Line, int32_t& Code);
// The result of an operating line that answers a request: BLOCK 4, WRONG 3, ERROR 2, DUPL 5, a
// well-formed list of at least one element (what the network reads from an accepting answer) 1,
// and 0 for any other line, which answers nobody: a manager that writes it has lost count of its
// answers, or never kept it. "F", "OK" and the empty line are no answers; the caller sorts them
// out first.
int32_t SysManAnswerResult(AnsiView Line) noexcept;

class TZELSvcSysMan : public TThread {
public:
    static constexpr int32_t kRequestBatch = 32;
    static constexpr int32_t kCollectorSize = 1024;
    static constexpr int32_t kWriterSize = 1024;

    // Created idle; Start() runs the thread, which sleeps until StartLink().
    TZELSvcSysMan(TZELService& Service, int32_t Index, const TZELSvcSysmanParams& Params);
    // Terminates and joins the thread; queued and pending requests are freed without an answer.
    ~TZELSvcSysMan() override;

    // ---- Posting (any thread) ----

    // In State 0: posts the connect request.
    void StartLink();
    // Posts the stop request: the link closes (answering what is pending) and stays idle until
    // the next StartLink().
    void StopLink();
    // In State 9: queues the authentication of Context for Network; in any other State answers at
    // once with result 0. Reads the client's and the network's texts here, on the caller's
    // thread; the link thread never touches either.
    void AuthClient(TZELSVCWrkCtxBase* Context, TZELSVCNetworkBase* Network, int32_t Value);
    // In State 9: queues the logout of client Id from the network (8-bit and UTF-8 names).
    void ClientLogout(AnsiView Id, AnsiView NetName, AnsiView NetNameUtf8);
    // The operator's disconnect; the answer ("+OK\r\n" or "-NOTCONNECTED\r\n", when wanted) goes
    // to Requester through code 31 with RequestId.
    void Disconnect(TZELSVCWrkCtxBase* Requester, uint32_t RequestId, bool WantAnswer);
    void NewPassword(UnicodeView Password);

    uint8_t State() const noexcept { return State_.load(std::memory_order_acquire); }
    int32_t Index() const noexcept { return Index_; }
    // Fixed for the link's life, so any thread may read them.
    const UnicodeString& ManagerAddress() const noexcept { return Params_.ManagerAddress; }
    int32_t ManagerPort() const noexcept { return Params_.ManagerPort; }

    // ---- Timing, set before Start() (tests shorten them) ----

    uint32_t HandshakeTimeoutMs = 15000;  // for the answer to the handshake
    // The keep-alive period; never more than half of ManagerActivityTimeout, so the answer to a
    // keep-alive cannot race the read time-out.
    uint32_t KeepAliveMs = 3000;
    uint32_t ShortPauseMs = 3000;  // after a disconnect command or a new password
    // Answers go to the oldest pending request: once it has waited this long (a client's login
    // has given up by then, ClientActivityTimeout), one answer is taken to be lost, and the link
    // is closed (every pending and held request answered with 0) and connected anew after the
    // short pause.
    uint32_t AnswerLimitMs = 8000;
    // Holding new requests back (they go out together once the hold ends) keeps a lost answer
    // from shifting the verdicts of every later login; see HoldNew() for the rule. This is its
    // period and its least margin.
    uint32_t HoldAfterMs = 500;
    // Lines handled in one pass before the link looks at its requests, the end of the thread and
    // the keep-alive again.
    static constexpr int32_t kLinesPerPass = 32;

protected:
    void Execute() override;
    void TerminatedSet() override;

private:
    using TRequest = std::unique_ptr<TZELSysManQueueData>;

    void Post(TRequest R);
    void Pass();
    void HandleRequests();
    void HandleRequest(TRequest R);
    void HandleDisconnect(const TZELSysManQueueData& R);
    void HandleNewPassword(const TZELSysManQueueData& R);
    // Sends what the writer holds; false after a failure (the write-error path was taken).
    bool SendOutput();
    void RequestStop();
    // State 0, the connection closed; link down when the stop left State 9.
    void GoIdle();
    // Stop, idle, then the short pause from now.
    void StopAndPause();
    void Connect();
    void Pause(uint32_t Start, uint32_t Length);
    void Connected();
    // One complete line in States 6 to 9; false when it took the failure path.
    bool HandleLine(AnsiView Line, uint32_t Now);
    bool HandleAnswer(AnsiView Line, uint32_t Now);
    // False when the line reset the link.
    bool HandleOperatingLine(AnsiView Line, uint32_t Now);
    void RefusedByManager(int32_t Code);
    void ReadFailure(TCollectResult Result);
    void WaitFailure(int32_t Error);
    void WriteError();
    // The failure path: close, link down when operating, State 4 from now.
    void Fail();
    void CloseConnection();
    // Every pending and held request answered with 0; how many there were.
    int32_t AnswerPending();
    // Writes an authentication request and moves it to the pending list.
    void SendAuth(TRequest R);
    // Whether a new authentication request is held back now:
    // - before this link has measured any answer: once the oldest pending request has waited
    //   3/10 of AnswerLimitMs;
    // - then, with U the manager's usual answer time (UsualAnswerMs_): once the oldest pending
    //   request has waited longer than 2 U (at least HoldAfterMs), as its answer is then likely
    //   lost; and, for a manager quick enough that a held request's wait (the list emptying,
    //   about U, then its own answer, U) keeps HoldAfterMs inside its client's wait
    //   (2 U + HoldAfterMs <= AnswerLimitMs), once the pending list has not been empty for
    //   HoldAfterMs, so that a lost answer in a steady stream of logins is found within that.
    bool HoldNew(uint32_t Now) const;
    // The held requests go out once HoldNew() no longer holds.
    void ReleaseHeld(uint32_t Now);
    // The time one answer took, into UsualAnswerMs_.
    void MeasureAnswer(uint32_t Took);
    // A line that answers nobody: logged with the line, and the link reset as for a lost answer.
    void UnreadableAnswer(AnsiView Line);
    // "; N logins answered without a verdict" after every pending and held request is answered 0.
    UnicodeString AnswerPendingText();
    void Answer(const TZELSysManQueueData& R, int32_t Result, AnsiView Text);
    void EnterOperating(int32_t DebugAbove);
    void ArmRead(uint32_t Timeout, uint32_t Now);
    uint32_t KeepAlivePeriod() const noexcept;
    // Sleeps until woken or Timeout ms passed; not at all while requests wait.
    void Sleep(uint32_t Timeout);
    bool RequestsWaiting();
    // The oldest pending request waited longer than AnswerLimitMs: the link is reset (true).
    bool AnswerOverdue(uint32_t Now);
    void RunSuccessScript(const TZELSysManQueueData& R, AnsiView Line);
    void RunInvalidPasswordScript();
    void RunScript(const UnicodeString& Program, int32_t Count, const UnicodeView* Args);

    // "ERROR: " + LogPrefix + ClassName + ": " + Message, with ManagerLogErrors.
    void ReportException(const char* ClassName, const std::string& Message);
    // Log lines: LogPrefix and the text; error lines only with ManagerLogErrors.
    bool Debug(int32_t Above) const noexcept { return Params_.ManagerLogDebug > Above; }
    TStringBldU& LogBegin(bool Error);
    void LogEnd();
    void Log(UnicodeView Text);
    void LogError(UnicodeView Text);
    // A received or sent line: bytes below 32 and backslashes escaped.
    void LogWithLine(UnicodeView Text, AnsiView Line, bool Error, bool Quoted = false);

    TZELService& Service_;
    const int32_t Index_;
    TZELSvcSysmanParams Params_;  // the password changes on the link thread only
    const bool HasSuccessScript_;
    UnicodeString LogPrefix_;

    TZELSysManQueue Requests_;
    TZELSysManReqQueue Pending_;
    TZELSysManReqQueue Held_;  // authentication requests held back while Pending_ is busy, oldest first
    uint32_t BusySince_ = 0;   // when Pending_ last turned non-empty
    // The manager's usual answer time, from write to answer: it rises at once to a slower answer
    // and falls by an eighth of the difference with each quicker one, so one quick answer never
    // makes a slow manager look quick. Kept across connections: it is the same manager.
    uint32_t UsualAnswerMs_ = 0;
    bool AnswerMeasured_ = false;
    std::atomic<uint8_t> State_{SYSMAN_IDLE};
    uint8_t SavedState_ = SYSMAN_IDLE;

    // Declared in this order so that the socket goes first, then its waiter record, then the
    // waiter.
    TWaiter2Socket Waiter_;
    TZELSocketWaiterHooks Hooks_;
    std::unique_ptr<TTCPBlockSocket> Socket_;
    TCollectorSocket Collector_;
    TAsyncWriter2SocketThreadUnSafe Writer_;

    TStringBldA LineBuilder_;     // the handshake
    TStringBldA RequestBuilder_;  // request lines
    TStringBldA LineIn_;          // the line being collected
    TStringBldU LogBuilder_;

    uint32_t ReconnectPause_ = 0;
    uint32_t DisconnectTime_ = 0;
    uint32_t PauseStart_ = 0;
    uint32_t HandshakeStart_ = 0;
    uint32_t DelayStart_ = 0;
    uint32_t LastPingTime_ = 0;
};

}  // namespace zel
