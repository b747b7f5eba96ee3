#pragma once
// The console program's vocabulary: the command words with their codes (several aliases share a
// code), the flags that may precede the word, the grammar of each command's parameters, and the
// usage and help texts. The main program reads its command line through these.
#include <array>
#include <cstdint>
#include <vector>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

class TAnsiUnicodeConverter;
class TTextFile;

// ---------------------------------------------------------------------------------------------
// Command words.

// cmd_None: a word not in the table or a bad command line; cmd_Debug is the default.
enum class TZELConsoleCommand : uint8_t {
    cmd_None,
    cmd_Daemon,
    cmd_PidFileName,
    cmd_Stop,
    cmd_DeletePidFile,
    cmd_ReopenLog,
    cmd_Pid,
    cmd_SetManPassIdx,
    cmd_DSetManPassIdx,
    cmd_SetManPassAddr,
    cmd_DSetManPassAddr,
    cmd_DRereadAdmins,
    cmd_FRereadAdmins,
    cmd_DRereadMutes,
    cmd_FRereadMutes,
    cmd_DRereadBlocks,
    cmd_FRereadBlocks,
    cmd_DRereadRights,
    cmd_FRereadRights,
    cmd_DRereadModes,
    cmd_FRereadModes,
    cmd_DRereadNotices,
    cmd_FRereadNotices,
    cmd_DRereadAll,
    cmd_MemoryReport,
    cmd_DServManMode,
    cmd_DNetManMode,
    cmd_FlushData,
    cmd_Threads,
    cmd_ListNet,
    cmd_DisconnectManIdx,
    cmd_DisconnectManAddrPort,
    cmd_SetLogLevel,
    cmd_DisconnectAll,
    cmd_DisconnectCli,
    cmd_DisconnectNet,
    cmd_ConnEnable,
    cmd_ConnDisable,
    cmd_ConnStatus,
    cmd_TalkEnable,
    cmd_TalkDisable,
    cmd_TalkStatus,
    cmd_ClientMove,
    cmd_MoveTemp,
    cmd_RightAdd,
    cmd_RightDel,
    cmd_RightMark,
    cmd_RightUnmark,
    cmd_AdminAdd,
    cmd_AdminDel,
    cmd_Mute,
    cmd_MuteTemp,
    cmd_Unmute,
    cmd_Block,
    cmd_BlockTemp,
    cmd_Unblock,
    cmd_NoticeSet,
    cmd_NoticeClear,
    cmd_Run,
    cmd_Debug,
    cmd_Help,
    cmd_List,
    cmd_DReopenLog,
    cmd_DStop,
    cmd_Uptime,
    cmd_LogText,
    cmd_DPid,
    cmd_ServerId,
    cmd_LogFileName,
};

struct TZELCommandLineCommandDetectRec {
    UnicodeView Word;  // upper case
    TZELConsoleCommand Code;
};

// Searched in this order; the first equal word gives the code.
inline constexpr std::array<TZELCommandLineCommandDetectRec, 110> ZELCommandLineCommandDetect = {{
    {u"DAEMON", TZELConsoleCommand::cmd_Daemon},
    {u"DEAMON", TZELConsoleCommand::cmd_Daemon},
    {u"DEMON", TZELConsoleCommand::cmd_Daemon},
    {u"PIDFILENAME", TZELConsoleCommand::cmd_PidFileName},
    {u"STOP", TZELConsoleCommand::cmd_Stop},
    {u"DELETEPIDFILE", TZELConsoleCommand::cmd_DeletePidFile},
    {u"REOPENLOG", TZELConsoleCommand::cmd_ReopenLog},
    {u"PID", TZELConsoleCommand::cmd_Pid},
    {u"SETMANPASSIDX", TZELConsoleCommand::cmd_SetManPassIdx},
    {u"DSETMANPASSIDX", TZELConsoleCommand::cmd_DSetManPassIdx},
    {u"DAEMONSETMANPASSIDX", TZELConsoleCommand::cmd_DSetManPassIdx},
    {u"SETMANPASSADDR", TZELConsoleCommand::cmd_SetManPassAddr},
    {u"DSETMANPASSADDR", TZELConsoleCommand::cmd_DSetManPassAddr},
    {u"DAEMONSETMANPASSADDR", TZELConsoleCommand::cmd_DSetManPassAddr},
    {u"DREREADADMINS", TZELConsoleCommand::cmd_DRereadAdmins},
    {u"FREREADADMINS", TZELConsoleCommand::cmd_FRereadAdmins},
    {u"DREREADMUTES", TZELConsoleCommand::cmd_DRereadMutes},
    {u"FREREADMUTES", TZELConsoleCommand::cmd_FRereadMutes},
    {u"DREREADBLOCKS", TZELConsoleCommand::cmd_DRereadBlocks},
    {u"FREREADBLOCKS", TZELConsoleCommand::cmd_FRereadBlocks},
    {u"DREREADRIGHTS", TZELConsoleCommand::cmd_DRereadRights},
    {u"FREREADRIGHTS", TZELConsoleCommand::cmd_FRereadRights},
    {u"DREREADMODES", TZELConsoleCommand::cmd_DRereadModes},
    {u"FREREADMODES", TZELConsoleCommand::cmd_FRereadModes},
    {u"DREREADNOTICES", TZELConsoleCommand::cmd_DRereadNotices},
    {u"FREREADNOTICES", TZELConsoleCommand::cmd_FRereadNotices},
    {u"DREREADALL", TZELConsoleCommand::cmd_DRereadAll},
    {u"MEMORYREPORT", TZELConsoleCommand::cmd_MemoryReport},
    {u"DSERVMANMODE", TZELConsoleCommand::cmd_DServManMode},
    {u"DNETMANMODE", TZELConsoleCommand::cmd_DNetManMode},
    {u"FLUSHDATA", TZELConsoleCommand::cmd_FlushData},
    {u"THREADS", TZELConsoleCommand::cmd_Threads},
    {u"LISTNET", TZELConsoleCommand::cmd_ListNet},
    {u"NETLIST", TZELConsoleCommand::cmd_ListNet},
    {u"DISCONNECTMANIDX", TZELConsoleCommand::cmd_DisconnectManIdx},
    {u"DISCONNECTMANADDRPORT", TZELConsoleCommand::cmd_DisconnectManAddrPort},
    {u"SETLOGLEVEL", TZELConsoleCommand::cmd_SetLogLevel},
    {u"LOGLEVELSET", TZELConsoleCommand::cmd_SetLogLevel},
    {u"DISCONNECTALL", TZELConsoleCommand::cmd_DisconnectAll},
    {u"ALLDISCONNECT", TZELConsoleCommand::cmd_DisconnectAll},
    {u"DISCONNECTCLI", TZELConsoleCommand::cmd_DisconnectCli},
    {u"CLIDISCONNECT", TZELConsoleCommand::cmd_DisconnectCli},
    {u"DISCONNECTCLIENT", TZELConsoleCommand::cmd_DisconnectCli},
    {u"CLIENTDISCONNECT", TZELConsoleCommand::cmd_DisconnectCli},
    {u"DISCONNECTNET", TZELConsoleCommand::cmd_DisconnectNet},
    {u"NETDISCONNECT", TZELConsoleCommand::cmd_DisconnectNet},
    {u"DISCONNECTNETWORK", TZELConsoleCommand::cmd_DisconnectNet},
    {u"NETWORKDISCONNECT", TZELConsoleCommand::cmd_DisconnectNet},
    {u"CONNENABLE", TZELConsoleCommand::cmd_ConnEnable},
    {u"ENABLECONN", TZELConsoleCommand::cmd_ConnEnable},
    {u"CONNDISABLE", TZELConsoleCommand::cmd_ConnDisable},
    {u"DISABLECONN", TZELConsoleCommand::cmd_ConnDisable},
    {u"CONNSTATUS", TZELConsoleCommand::cmd_ConnStatus},
    {u"STATUSCONN", TZELConsoleCommand::cmd_ConnStatus},
    {u"TALKENABLE", TZELConsoleCommand::cmd_TalkEnable},
    {u"ENABLETALK", TZELConsoleCommand::cmd_TalkEnable},
    {u"TALKDISABLE", TZELConsoleCommand::cmd_TalkDisable},
    {u"DISABLETALK", TZELConsoleCommand::cmd_TalkDisable},
    {u"TALKSTATUS", TZELConsoleCommand::cmd_TalkStatus},
    {u"STATUSTALK", TZELConsoleCommand::cmd_TalkStatus},
    {u"CLIENTMOVE", TZELConsoleCommand::cmd_ClientMove},
    {u"MOVECLIENT", TZELConsoleCommand::cmd_ClientMove},
    {u"MOVE", TZELConsoleCommand::cmd_ClientMove},
    {u"MOVETEMP", TZELConsoleCommand::cmd_MoveTemp},
    {u"TEMPMOVE", TZELConsoleCommand::cmd_MoveTemp},
    {u"MOVECLIENTTEMP", TZELConsoleCommand::cmd_MoveTemp},
    {u"CLIENTMOVETEMP", TZELConsoleCommand::cmd_MoveTemp},
    {u"TEMPMOVECLIENT", TZELConsoleCommand::cmd_MoveTemp},
    {u"TEMPCLIENTMOVE", TZELConsoleCommand::cmd_MoveTemp},
    {u"RIGHTADD", TZELConsoleCommand::cmd_RightAdd},
    {u"ADDRIGHT", TZELConsoleCommand::cmd_RightAdd},
    {u"RIGHTDEL", TZELConsoleCommand::cmd_RightDel},
    {u"DELRIGHT", TZELConsoleCommand::cmd_RightDel},
    {u"RIGHTMARK", TZELConsoleCommand::cmd_RightMark},
    {u"MARKRIGHT", TZELConsoleCommand::cmd_RightMark},
    {u"RIGHTUNMARK", TZELConsoleCommand::cmd_RightUnmark},
    {u"UNMARKRIGHT", TZELConsoleCommand::cmd_RightUnmark},
    {u"ADMINADD", TZELConsoleCommand::cmd_AdminAdd},
    {u"ADDADMIN", TZELConsoleCommand::cmd_AdminAdd},
    {u"ADMINDEL", TZELConsoleCommand::cmd_AdminDel},
    {u"DELADMIN", TZELConsoleCommand::cmd_AdminDel},
    {u"MUTE", TZELConsoleCommand::cmd_Mute},
    {u"MUTETEMP", TZELConsoleCommand::cmd_MuteTemp},
    {u"TEMPMUTE", TZELConsoleCommand::cmd_MuteTemp},
    {u"UNMUTE", TZELConsoleCommand::cmd_Unmute},
    {u"BLOCK", TZELConsoleCommand::cmd_Block},
    {u"BLOCKTEMP", TZELConsoleCommand::cmd_BlockTemp},
    {u"TEMPBLOCK", TZELConsoleCommand::cmd_BlockTemp},
    {u"UNBLOCK", TZELConsoleCommand::cmd_Unblock},
    {u"NOTICESET", TZELConsoleCommand::cmd_NoticeSet},
    {u"SETNOTICE", TZELConsoleCommand::cmd_NoticeSet},
    {u"NOTICECLEAR", TZELConsoleCommand::cmd_NoticeClear},
    {u"CLEARNOTICE", TZELConsoleCommand::cmd_NoticeClear},
    {u"NOTICECLR", TZELConsoleCommand::cmd_NoticeClear},
    {u"CLRNOTICE", TZELConsoleCommand::cmd_NoticeClear},
    {u"RUN", TZELConsoleCommand::cmd_Run},
    {u"NOSTDOUT", TZELConsoleCommand::cmd_Run},
    {u"DEBUG", TZELConsoleCommand::cmd_Debug},
    {u"HELP", TZELConsoleCommand::cmd_Help},
    {u"LIST", TZELConsoleCommand::cmd_List},
    {u"LISTALL", TZELConsoleCommand::cmd_List},
    {u"ALLLIST", TZELConsoleCommand::cmd_List},
    {u"DREOPENLOG", TZELConsoleCommand::cmd_DReopenLog},
    {u"DSTOP", TZELConsoleCommand::cmd_DStop},
    {u"UPTIME", TZELConsoleCommand::cmd_Uptime},
    {u"LOGTEXT", TZELConsoleCommand::cmd_LogText},
    {u"DPID", TZELConsoleCommand::cmd_DPid},
    {u"SERVERID", TZELConsoleCommand::cmd_ServerId},
    {u"CLIENTID", TZELConsoleCommand::cmd_ServerId},
    {u"LOGFILENAME", TZELConsoleCommand::cmd_LogFileName},
}};

// The word ASCII upper-cased and compared exactly with the table. A word holding ":" is looked up
// by the part before the first ":"; when that is found, HasSuffix is set and Suffix receives the
// text after the ":" as given (not upper-cased). Returns cmd_None when nothing matches.
TZELConsoleCommand DetectCommandWord(UnicodeView Word, bool& HasSuffix, UnicodeString& Suffix);

// ---------------------------------------------------------------------------------------------
// Flags before the command word.

enum class TConsoleCharset : uint8_t { ccs_None, ccs_UTF8, ccs_Ansi, ccs_Oem };

// Eight bytes, all 0 at start: the console charset chosen by a flag, then the show switches of
// the client lists.
struct TConsoleListFlags {
    TConsoleCharset Charset = TConsoleCharset::ccs_None;
    bool ShowIds = false;
    bool ShowIPs = false;
    bool ShowEMails = false;
    bool ShowProtoFlags = false;
    bool Flat = false;
    bool ShowEmptyNetworks = false;
    bool ShowManagerIds = false;
};

// From Params[Index] on, each trimmed and ASCII upper-cased parameter that is a flag sets its
// switches and advances Index and decrements Remaining. The first parameter that is not a flag,
// or running out of them, ends with true; a second charset flag ends with false.
bool ParseListFlags(const std::vector<AnsiString>& Params, int32_t& Index, int32_t& Remaining,
                    TConsoleListFlags& Flags);

// ---------------------------------------------------------------------------------------------
// The whole command line: flags, the command word and its parameters.

inline constexpr AnsiView ZELDefaultConfigFileName = "server.ini";
// Caps of the temporary time of MOVETEMP and of MUTETEMP/BLOCKTEMP, in seconds.
inline constexpr int64_t ZELMaxTempMoveSeconds = 2147483647;
inline constexpr int64_t ZELMaxTempMuteBlockSeconds = 4294967295;

struct TConsoleCommandLine {
    TZELConsoleCommand Command = TZELConsoleCommand::cmd_Debug;
    TConsoleListFlags ListFlags;
    // As given (bytes of the system charset); the caller makes it absolute.
    AnsiString ConfigFileName = AnsiString(ZELDefaultConfigFileName);
    UnicodeString ManagerAddress;
    // Made absolute against the working directory.
    UnicodeString ListFileName;
    // The network; for LOGTEXT the text to log.
    UnicodeString NetworkName;
    // The target network of a move.
    UnicodeString TargetNetworkName;
    // Client id, e-mail, notice text, or the text for the client-id calculation.
    UnicodeString ClientText;
    AnsiString ManagerPassword;
    uint8_t ManagerIndex = 0;
    int32_t LogLevel = 2;
    TZELSystemManagerMode ManagerMode = TZELSystemManagerMode::smm_Standalone;
    uint16_t ManagerPort = 0;
    // Seconds of a temporary command, capped; TempDuration is the text as parsed.
    int64_t TempTime = 0;
    TDurationRec TempDuration;
};

// Params are the program's arguments without the program name, in the system charset. Reads the
// flags, the word (a known word followed by ":" and any text becomes cmd_Help) and the word's
// parameters, each trimmed, into Cmd; an empty or unparsable value, too few parameters, two
// charset flags or an empty configuration name give cmd_None. Parameters beyond the grammar are
// ignored; without a configuration name Cmd keeps DefaultConfigFileName. Returns Cmd.Command.
TZELConsoleCommand ParseConsoleCommandLine(const std::vector<AnsiString>& Params, TConsoleCommandLine& Cmd,
                                           AnsiView DefaultConfigFileName = ZELDefaultConfigFileName);

// A duration ("1d2h30m", "90") in seconds, capped at MaxSeconds; false for an unparsable text.
bool ParseTempDuration(UnicodeView Text, int64_t MaxSeconds, int64_t& Seconds, TDurationRec& Duration);

// ---------------------------------------------------------------------------------------------
// Texts. Every printed line goes through the console converter (none: the system charset) and
// ends with a line feed. The printers return 0 or the errno value of the first failed write.

// Contact values of the banner and the help.
inline constexpr UnicodeView ZELContactSite = u"www.example.org";
inline constexpr UnicodeView ZELContactOrigin = u"Example Origin";
inline constexpr UnicodeView ZELContactEMail = u"info@example.org";

// Writes lines converted for the console (Converter, none: the system charset), each with its
// line feed; after a failed write the later lines are dropped. Finish flushes and returns 0 or
// the errno value of the first failure.
class TConsoleLineWriter {
public:
    TConsoleLineWriter(TTextFile& Output, TAnsiUnicodeConverter* Converter) : Output_(Output), Converter_(Converter) {}

    void Line(UnicodeView Text);
    void Line(UnicodeView A, UnicodeView B);
    int Finish();

private:
    TTextFile& Output_;
    TAnsiUnicodeConverter* Converter_;
    int Error_ = 0;
};

// "ZELServer-console (<platform>) revision 6583".
UnicodeString ConsoleBannerLine();
// "Tolvenar-Server-r6583-<platform>".
UnicodeString ServerProductText();

// The banner line when not empty, the error line, the command-line format and the help hint.
int PrintUsage(TTextFile& Output, TAnsiUnicodeConverter* Converter, UnicodeView BannerLine);
// The full help, 76 lines.
int PrintServerHelp(TTextFile& Output, TAnsiUnicodeConverter* Converter);

}  // namespace zel
