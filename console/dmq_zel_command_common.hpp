#pragma once
// The console's end of the command channel. Each daemon command word is one exchange: a TCP
// connection to "localhost" on CommandPort, one request line, the answer (one line, or a count
// line and that many lines) read within one deadline, the connection closed; then the command's
// output and its exit code. Lines are written and read by the codec of service/dmq_zel_cmd_proto.
//
//   connect            at most ZELCmdConnectTimeout ms
//   send request line
//   read answer        one deadline of ZELCmdReplyTimeout ms for the whole answer
//   close
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "console/dmq_zel_cmd_words.hpp"
#include "foundation/dmq_types.hpp"
#include "net/dmq_snps_blcksock.hpp"
#include "net/dmq_waiter2_socket.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_svc_connparams.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"

namespace zel {

class TAnsiUnicodeConverter;
class TTextFile;

inline constexpr int32_t ZELCmdConnectTimeout = 1500;  // ms
inline constexpr int32_t ZELCmdReplyTimeout = 1000;    // ms, the whole answer
// The longest answer line read; a longer one fails the exchange with ENOBUFS.
inline constexpr int32_t ZELCmdMaxAnswerLineLength = 16384;

// One connection to the daemon's command port; lives for one exchange.
class TZELCommandCommunicator {
public:
    explicit TZELCommandCommunicator(const TZELCommandParams& Block);
    TZELCommandCommunicator(const TZELCommandCommunicator&) = delete;
    TZELCommandCommunicator& operator=(const TZELCommandCommunicator&) = delete;

    // Connects, sends Line (with its CR LF) and reads a one-line answer: empty fsca_NoAnswer,
    // "+..." fsca_OK, else the answer of that line or fsca_Unknown. A daemon that closes without
    // a line gives fsca_NoAnswer. Returns 0 or the socket error (a silent daemon: ETIMEDOUT).
    int32_t ExchangeSimple(AnsiView Line, TZELChannelCommandAnswer& Answer);
    // The same with a counted answer: "+" n and n lines (untrimmed, without their line end) into
    // Lines, each read with what is left of the deadline. A list cut short by the deadline gives
    // fsca_AnswerTimeout; Lines is empty unless the answer is fsca_OK. The announced count sizes
    // nothing: lines are taken one by one as they come.
    int32_t ExchangeList(AnsiView Line, TZELChannelCommandAnswer& Answer, std::vector<AnsiString>& Lines);

    // The socket set-up: no proxy, 1500 ms to connect, the reply time-out in
    // ManagerActivityTimeout.
    const TZELConnectionParams& Params() const noexcept { return params_; }

private:
    int32_t Open();
    int32_t Send(AnsiView Line);
    // One answer line within Timeout ms: 0, or the socket error with Line empty.
    int32_t ReadLine(int32_t Timeout, AnsiString& Line);
    void Close();

    uint16_t port_;
    TSocketFamily family_;
    TZELConnectionParams params_;
    TWaiter2Socket waiter_;
    TZELSocketWaiterHooks hooks_;
    TTCPBlockSocket socket_;
};

// A communicator for one exchange; the results as above.
int32_t SendSimpleRequest(const TZELCommandParams& Block, AnsiView Line, TZELChannelCommandAnswer& Answer);
int32_t SendListRequest(const TZELCommandParams& Block, AnsiView Line, TZELChannelCommandAnswer& Answer,
                        std::vector<AnsiString>& Lines);

// ---------------------------------------------------------------------------------------------
// Printing. Every printer writes converted for the console (Converter, none: the system charset),
// one line feed per line, and flushes once; it returns 0 or the errno value of a failed write.

// The console charset: "UTF-8" for ccs_UTF8, the system charset for ccs_Ansi, the default charset
// for ccs_Oem, else the configured SystemCharsetName.
UnicodeString ChooseConsoleCharset(TConsoleCharset Selector, UnicodeView Configured);
// A converter for Name; none for an empty name.
std::unique_ptr<TAnsiUnicodeConverter> MakeConsoleConverter(UnicodeView Name);

// The exit code of one exchange, with its line: OsError not 0: Prefix ": Socket error <code>:
// <text>", 16; an answer other than fsca_OK: Prefix ": " and the answer's text, its exit code;
// else nothing, 0.
int ReportCommandResult(TTextFile& Output, int32_t OsError, TZELChannelCommandAnswer Answer, UnicodeView Prefix,
                        TAnsiUnicodeConverter* Converter);
// Each line decoded from UTF-8.
int PrintAnswerLines(TTextFile& Output, std::span<const AnsiString> Lines, TAnsiUnicodeConverter* Converter);
// "Working thread #<n>: <count> connection(s)", n counted from 0.
int PrintThreadsAnswer(TTextFile& Output, std::span<const AnsiString> Lines, TAnsiUnicodeConverter* Converter);
// The lines of a list answer (after its count line), one block per network. The Parrot (the id of
// the network line) is neither counted nor printed; a network with no other client only with
// ShowEmptyNetworks. Nested: the network's name and ":", then each client after four blanks;
// flat: each client after the network's name and the delimiter. A client's fields, joined by
// Delimiter: callsign, city, band, description, country, then as asked: e-mail, IP address, id,
// manager ids ("0=id,2=id"), the flags column (visible status "a"/"n"/"g", type "C"/"G"/"P",
// muted "M", listen-only "L", privilege "A"/"N"/"S", "." for each one unset, "/" and the
// extension-flag letters). A line that cannot be read ends the listing.
int PrintClientList(TTextFile& Output, std::span<const AnsiString> Lines, const TConsoleListFlags& Flags,
                    char16_t Delimiter, TAnsiUnicodeConverter* Converter);

// ---------------------------------------------------------------------------------------------
// Daemon command words.

// What a command prints on success.
enum class TZELCmdOutputKind : uint8_t {
    cok_None,
    cok_Lines,        // the answer lines, in the console charset
    cok_SystemLines,  // the answer lines, in the configured SystemCharsetName
    cok_ClientList,
    cok_Threads
};

struct TZELDaemonRequest {
    AnsiString Line;  // with its CR LF; empty: nothing is sent (fsca_NotSupported)
    bool ListAnswer = false;
    TZELCmdOutputKind Output = TZELCmdOutputKind::cok_None;
    UnicodeString ErrorPrefix;
};

// The words that send a request to a running daemon (MEMORYREPORT among them, which sends none).
bool IsDaemonCommand(TZELConsoleCommand Code) noexcept;
// The request of a daemon command word. Names and texts go as UTF-8; the client of the mute,
// block and admin words narrowed to the low byte of each unit; the manager password read through
// PasswordConverter (none: the system charset); the LOGTEXT text cleaned for the log; list file
// names absolute against the working directory. Raises Exception for a word that is no daemon
// command.
TZELDaemonRequest BuildDaemonRequest(const TConsoleCommandLine& Cmd, TAnsiUnicodeConverter* PasswordConverter);

// Runs one daemon command word against the daemon of Config and returns the exit code: 16 with
// "ERROR: Commands for daemon are not allowed" when CommandEnabled is false; else the exchange,
// its report and, on success, the command's output. Everything goes to Output.
int RunDaemonCommand(const TConsoleCommandLine& Cmd, const TZELServiceConfig& Config, TTextFile& Output);

}  // namespace zel
