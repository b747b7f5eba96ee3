#pragma once
// The command channel's wire format, written and read by both ends: request lines and their
// items, answer lines, the list answer's blocks and the client lines inside them. Pure coding:
// no sockets, no service; safe on any thread.
//
// Request line:  "00" code ":" arguments CR LF            (at most 3000 bytes with the LF)
// Item:          hex-coded length, then that many bytes    ("04Main", "8105abcde")
// List answer:   "+" total CR LF, then per network:
//                  network line   item name, item charset name, item Parrot id
//                  count line     N
//                  N client lines status byte (2 hex digits), tagged items
//                  N member lines privilege digit, item address, item e-mail, "03",
//                                 three items (manager ids), extension flags in decimal
//                total = sum over the networks of 2 * N + 2
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/dmq_exception.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_types.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

class TAnsiUnicodeConverter;

// Raised by DecodeClientLine.
ZEL_DECLARE_EXCEPTION(EZELClientLineError, Exception);

// A request line with its LF.
inline constexpr int32_t ZELCmdMaxLineLength = 3000;

// ---------------------------------------------------------------------------------------------
// Answers.

enum class TZELChannelCommandAnswer : uint8_t {
    fsca_OK,
    fsca_NoAnswer,
    fsca_Unknown,
    fsca_NoNetwork,
    fsca_InvalidParameter,
    fsca_NotSupported,
    fsca_NoClientOnline,
    fsca_Fake,
    fsca_Denied,
    fsca_Busy,
    fsca_NotConnectedToServer,
    fsca_AnswerTimeout,
    fsca_NotAdmin,
    fsca_NotOwner,
    fsca_NoListMode,
    fsca_OperationError
};
inline constexpr int ZELChannelCommandAnswerCount = 16;

// One answer: the line the daemon sends (empty for the results the console forms itself), the
// text the console prints and the exit code it leads to.
struct TZELChannelCommandAnswerRec {
    std::string_view Wire;
    std::u16string_view Text;
    int ExitCode;
};
inline constexpr std::array<TZELChannelCommandAnswerRec, ZELChannelCommandAnswerCount>
    ZELChannelCommandAnswerTable = {{
        {"+OK\r\n", u"OK", 0},
        {"", u"No answer", 16},
        {"", u"Unknown answer", 16},
        {"-NONET\r\n", u"Wrong network", 16},
        {"", u"Wrong parameter(s)", 16},
        {"-NOSUPPORT\r\n", u"Not supported", 20},
        {"-NOCLIENT\r\n", u"No client online", 16},
        {"-FAKE\r\n", u"Fake", 16},
        {"-DENIED\r\n", u"Operation denied", 18},
        {"-BUSY\r\n", u"Busy", 21},
        {"-NOTCONNECTED\r\n", u"Not connected", 19},
        {"", u"Answer timed out", 16},
        {"-NOTADMIN\r\n", u"Not admin", 18},
        {"-NOTOWNER\r\n", u"Not owner", 18},
        {"-NOLIST\r\n", u"No clients list mode", 20},
        {"-ERROR\r\n", u"Operation error", 16},
    }};
constexpr const TZELChannelCommandAnswerRec& ChannelCommandAnswerInfo(TZELChannelCommandAnswer a) {
    return ZELChannelCommandAnswerTable[static_cast<uint8_t>(a)];
}

// Console side. A one-line answer, trimmed: empty fsca_NoAnswer, "+..." fsca_OK, else the answer
// whose line it is, else fsca_Unknown.
TZELChannelCommandAnswer ReadCmdSimpleAnswer(AnsiView Line) noexcept;
// The first line of a counted answer, trimmed: "+" and a decimal count (digits only, at most
// 2147483647) gives fsca_OK and Count; empty fsca_NoAnswer; "-..." the answer of that line;
// anything else fsca_Unknown. Count is only set with fsca_OK. The count is a claim of the peer:
// read that many lines one by one, never size anything by it.
TZELChannelCommandAnswer ReadCmdCountLine(AnsiView Line, int32_t& Count) noexcept;

// Daemon side. "+" Count CR LF, the head of every counted answer.
void AddCmdCountLine(TStringBldA& B, int64_t Count);
// "+1", "Server uptime: 1d02h03m04s / 93784 seconds".
void AddCmdUptimeAnswer(TStringBldA& B, int64_t Seconds);
// "+1", the process id.
void AddCmdPidAnswer(TStringBldA& B, int64_t Pid);
// "+" the number of workers, then each worker's client count, in worker order.
void AddCmdThreadsAnswer(TStringBldA& B, std::span<const int32_t> ClientCounts);

// ---------------------------------------------------------------------------------------------
// Requests.

// The character after "00" (its value is that character).
enum class TZELCmdRequestCode : uint8_t {
    fcrq_SetManagerPasswordByIndex = '1',
    fcrq_SetManagerPasswordByAddress = '2',
    fcrq_RereadAdmins = '3',
    fcrq_RereadMutes = '4',
    fcrq_RereadBlocks = '5',
    fcrq_RereadRights = '6',
    fcrq_RereadModes = '7',
    fcrq_RereadNotices = '8',
    fcrq_RereadAll = '9',
    fcrq_Ping = 'A',
    fcrq_Stop = 'B',
    fcrq_List = 'C',
    fcrq_Mute = 'D',
    fcrq_Block = 'E',
    fcrq_Admin = 'F',
    fcrq_Right = 'G',
    fcrq_RightMark = 'H',
    fcrq_NoticeSet = 'I',
    fcrq_NoticeClear = 'J',
    fcrq_ConnMode = 'K',
    fcrq_TalkMode = 'L',
    fcrq_ReopenLog = 'M',
    fcrq_ServerManagerMode = 'N',
    fcrq_NetManagerMode = 'O',
    fcrq_Threads = 'P',
    fcrq_FlushData = 'Q',
    fcrq_Uptime = 'R',
    fcrq_MoveClient = 'S',
    fcrq_Disconnect = 'T',
    fcrq_LogText = 'W',
    fcrq_Pid = 'X',
    fcrq_DisconnectManagerByIndex = 'Y',
    fcrq_DisconnectManagerByAddress = 'Z',
    fcrq_LogLevel = 'b'
};

// The lists of the reread requests "003:" to "008:", in code order.
enum class TZELCmdRereadList : uint8_t {
    fcrl_Admins,
    fcrl_Mutes,
    fcrl_Blocks,
    fcrl_Rights,
    fcrl_Modes,
    fcrl_Notices
};

// Trailing flags.
inline constexpr char ZELCmdFlagOff = '0';    // off, delete, unmark
inline constexpr char ZELCmdFlagOn = '1';     // on, add, mark
inline constexpr char ZELCmdFlagQuery = '?';  // "00K:" and "00L:" only

// Times of mute, block and move requests, in seconds: the wire carries up to 4294967295, the
// records keep a signed 32-bit field, so every time is capped here (a wrapped value would read as
// negative: a permanent mute in place of a long one).
inline constexpr uint32_t ZELCmdMaxTime = 2147483647u;
inline constexpr int32_t ClampCmdTime(uint32_t Seconds) noexcept {
    return static_cast<int32_t>(Seconds > ZELCmdMaxTime ? ZELCmdMaxTime : Seconds);
}
// One or more decimal digits and nothing else, at most 4294967295.
bool TryParseCmdDecimal(AnsiView Text, uint32_t& Value) noexcept;

// Console side: the request lines, each with its CR LF. Every value is given as the bytes to send
// (UTF-8 texts; ids and e-mails ASCII) and written as an item; a value is trimmed of bytes below
// 33 first, as the daemon trims it anyway (a blank at the end of the last item would otherwise
// fall to the daemon's trimming of the line and break the item's length).
inline constexpr std::string_view ZELCmdLineRereadAll = "009:00\r\n";
inline constexpr std::string_view ZELCmdLineStop = "00B:00\r\n";
inline constexpr std::string_view ZELCmdLineListAll = "00C:00\r\n";
inline constexpr std::string_view ZELCmdLineReopenLog = "00M:00\r\n";
inline constexpr std::string_view ZELCmdLineThreads = "00P:00\r\n";
inline constexpr std::string_view ZELCmdLineFlushData = "00Q:00\r\n";
inline constexpr std::string_view ZELCmdLineUptime = "00R:00\r\n";
inline constexpr std::string_view ZELCmdLinePid = "00X:00\r\n";

// "001:" index (decimal), password.
AnsiString MakeCmdSetManagerPasswordByIndex(int32_t Index, AnsiView Password);
// "002:" manager address, password.
AnsiString MakeCmdSetManagerPasswordByAddress(AnsiView Address, AnsiView Password);
// "003:" to "008:" file name (empty: the configured file).
AnsiString MakeCmdReread(TZELCmdRereadList List, AnsiView FileName);
// "00C:" network.
AnsiString MakeCmdListNetwork(AnsiView Network);
// "00D:" / "00E:" network, seconds (an empty item when 0), client id, "1" / "0".
AnsiString MakeCmdMute(AnsiView Network, uint32_t Seconds, AnsiView Client, bool On);
AnsiString MakeCmdBlock(AnsiView Network, uint32_t Seconds, AnsiView Client, bool On);
// "00F:" network, client id, "1" add / "0" delete.
AnsiString MakeCmdAdmin(AnsiView Network, AnsiView Client, bool Add);
// "00G:" / "00H:" network, rights entry key, "1" / "0".
AnsiString MakeCmdRight(AnsiView Network, AnsiView Key, bool Add);
AnsiString MakeCmdRightMark(AnsiView Network, AnsiView Key, bool Mark);
// "00I:" network, notice; "00J:" network.
AnsiString MakeCmdNoticeSet(AnsiView Network, AnsiView Text);
AnsiString MakeCmdNoticeClear(AnsiView Network);
// "00K:" / "00L:" network, flag "1", "0" or "?".
AnsiString MakeCmdConnMode(AnsiView Network, char Flag);
AnsiString MakeCmdTalkMode(AnsiView Network, char Flag);
// "00N:" mode "00" to "03"; "00O:" network, mode.
AnsiString MakeCmdServerManagerMode(TZELSystemManagerMode Mode);
AnsiString MakeCmdNetManagerMode(AnsiView Network, TZELSystemManagerMode Mode);
// "00S:" client id, source network, target network, seconds as a number in length form
// ("00" for a permanent move, "820258" for ten minutes).
AnsiString MakeCmdMoveClient(AnsiView Client, AnsiView Source, AnsiView Target, uint32_t Seconds);
// "00T:" network, client id: both empty for all clients, the client empty for one network.
AnsiString MakeCmdDisconnect(AnsiView Network, AnsiView Client);
// "00W:" text (the caller has cleaned it for the log).
AnsiString MakeCmdLogText(AnsiView Text);
// "00Y:" "0" and the index digit.
AnsiString MakeCmdDisconnectManagerByIndex(int32_t Index);
// "00Z:" manager address, port (decimal).
AnsiString MakeCmdDisconnectManagerByAddress(AnsiView Address, uint16_t Port);
// "00b:" log level (decimal).
AnsiString MakeCmdSetLogLevel(int32_t Level);

// Daemon side: one argument value, trimmed of bytes below 33; empty means not given. A given
// value is well-formed UTF-8 (decoding and encoding again gives the same bytes).
struct TZELCmdValue {
    AnsiString Bytes;    // UTF-8
    UnicodeString Text;  // the same in UTF-16
    bool Given() const noexcept { return !Bytes.empty(); }
};

// A decoded request. Which fields a code fills:
//   1 Index, Text (password)          2 Address, Text (password)      3..8 Text (file name)
//   C Network (not given: all)        D, E Network, Seconds, Client, Flag
//   F Network, Client, Flag           G, H Network, Text (entry key), Flag
//   I Network, Text (notice)          J Network                       K, L Network, Flag
//   N ManagerMode                     O Network, ManagerMode
//   S Client, Network (source), Target, Seconds
//   T Network, Client (each may be missing; a client needs a network)
//   W Text                            Y Index                         Z Address, Port
//   b LogLevel                        9 A B M P Q R X nothing
// Required values are given; client ids are valid ids.
struct TZELCmdRequest {
    TZELCmdRequestCode Code = TZELCmdRequestCode::fcrq_Ping;
    TZELCmdValue Network;
    TZELCmdValue Target;
    TZELCmdValue Client;
    TZELCmdValue Text;
    TZELCmdValue Address;
    int32_t Seconds = 0;  // 0..2147483647 (0: permanent)
    int32_t Index = 0;    // manager link 0..2
    int32_t LogLevel = 0; // 0..6
    uint16_t Port = 0;
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    char Flag = 0;        // '1', '0', or '?' for K and L
};

enum class TZELCmdLineKind : uint8_t {
    fclk_Blank,    // nothing left after trimming: ignored (the read time-out is not re-armed)
    fclk_Invalid,  // too long or a control byte
    fclk_Request   // Line holds the trimmed request
};
// The line as the collector delivered it, with or without its line end: a line end (LF, or CR
// LF) removed only when the LF is there (without it the collector took it already), longer than 3000 bytes with its LF or a byte below 32 other than TAB is invalid, then trimmed
// of bytes below 33 at both ends. Line views into Raw.
TZELCmdLineKind PrepareCmdRequestLine(AnsiView Raw, AnsiView& Line) noexcept;
// Decodes a prepared line; false for an invalid request (Request then unchanged). Items are read
// in either letter case and in non-minimal form ("8105" is 5), with 1 to 4 length bytes. Trailing
// characters after the arguments are refused where the request ends in a flag or a mode and for
// "004:" to "008:", "00O:", "00S:" and "00Y:"; the other requests ignore them.
bool ParseCmdRequest(AnsiView Line, TZELCmdRequest& Request);

// ---------------------------------------------------------------------------------------------
// List answers.

// The network line of a network's block.
struct TZELCmdNetworkLine {
    AnsiString Name;         // UTF-8
    AnsiString CharsetName;  // the network's character set: the e-mails are in it
    AnsiString ParrotId;     // the server's Parrot id
};

// One member line.
struct TZELCmdMemberLine {
    TZELClientPrivilege Privilege = TZELClientPrivilege::clpr_USER;
    AnsiString Address;      // the client's IP address alone (no port)
    AnsiString EMail;        // in the network's character set
    AnsiString ManagerIds[3];  // the client's ids at the System Manager links 0 to 2; empty: none
    uint32_t ExtensionFlags = 0;
};

// The texts of the client lines, as bytes of the 8-bit or the UTF-8 form.
struct TZELCmdClientFields {
    AnsiView Country;
    AnsiView City;
    AnsiView Band;
    AnsiView Callsign;
    AnsiView Id;
    AnsiView Description;
};

// Writers, each line with its CR LF.
void AddCmdNetworkLine(TStringBldA& B, AnsiView Name, AnsiView CharsetName, AnsiView ParrotId);
void AddCmdMemberLine(TStringBldA& B, const TZELCmdMemberLine& Member);
// Status byte: bits 0-1 visible status, bit 2 listen-only, bit 3 muted, bits 4-5 client type,
// bit 7 the items are UTF-8. Items "5" country, "6" city, "3" band, "2" callsign, "8" id,
// "4" description.
void AddCmdClientLine(TStringBldA& B, uint8_t Status, const TZELCmdClientFields& Fields);

// One network's block as the network prepared it.
struct TZELCmdListBlock {
    AnsiView NetworkLine;  // AddCmdNetworkLine
    int32_t ClientCount = 0;
    AnsiView ClientLines;  // ClientCount client lines in member order
    AnsiView MemberLines;  // ClientCount member lines in the same order
};
// 2 * ClientCount + 2.
inline constexpr int64_t CmdListBlockLineCount(int32_t ClientCount) noexcept {
    return 2 * static_cast<int64_t>(ClientCount) + 2;
}
// Network line, count line, client lines, member lines.
void AddCmdListBlock(TStringBldA& B, const TZELCmdListBlock& Block);
// The whole answer: the count line with the total of the blocks, then the blocks in order.
void AddCmdListAnswer(TStringBldA& B, std::span<const TZELCmdListBlock> Blocks);

// Readers. A line may end in CR LF, LF or nothing; false when it cannot be read.
bool ReadCmdNetworkLine(AnsiView Line, TZELCmdNetworkLine& Network);
bool ReadCmdMemberLine(AnsiView Line, TZELCmdMemberLine& Member);

// One network of a list answer, read back: the client lines stay raw for DecodeClientLine, which
// needs the character set named in the network line.
struct TZELCmdListNetwork {
    TZELCmdNetworkLine Network;
    std::vector<AnsiString> ClientLines;
    std::vector<TZELCmdMemberLine> Members;
};
// The lines after the count line into blocks. A line that cannot be read (network line, count,
// member line) or a block cut short ends the listing: false, with the blocks read before it.
bool ReadCmdListAnswer(std::span<const AnsiString> Lines, std::vector<TZELCmdListNetwork>& Networks);

// The status byte of a client line from its two hex digits: false when they are not hex or the
// visible status or the client type is 3 (Rec then unchanged).
bool DecodeClientStatus(AnsiView TwoHexChars, TZELClientRec& Rec);
// One client line into Rec: the values decoded from UTF-8 when status bit 7 is set, else through
// Converter when given, else byte by byte; items with other tags are skipped. Raises
// EZELClientLineError "Data is too short" (fewer than 2 bytes), "Invalid status", "Invalid format
// client line" (a byte below 32 other than TAB) or "Invalid TLV" (an item whose length cannot be
// read).
void DecodeClientLine(AnsiView Line, TZELClientRec& Rec, TAnsiUnicodeConverter* Converter);

}  // namespace zel
