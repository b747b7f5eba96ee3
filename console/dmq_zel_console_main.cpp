#include "console/dmq_zel_console_main.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "clients/dmq_zel_svc_factory.hpp"
#include "console/dmq_zel_cmd_words.hpp"
#include "console/dmq_zel_command_common.hpp"
#include "console/dmq_zel_pid_file.hpp"
#include "console/dmq_zel_service_notify.hpp"
#include "console/dmq_zel_signal_thread.hpp"
#include "console/dmq_zel_svc_run.hpp"
#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_inifile_utf8.hpp"
#include "foundation/dmq_signals.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_params.hpp"
#include "service/dmq_zel_svc_reread.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"
#include "service/dmq_zel_utils.hpp"

namespace zel {

namespace {

using C = TZELConsoleCommand;

// What the daemon child reports to its parent through the readiness pipe: one of these bytes,
// then the text of an error.
constexpr char kReadyOk = 'O';
constexpr char kReadyError = 'E';
constexpr char kReadyPidFileExists = 'P';
// The PID file is something else than a stale PID file of this server: the text says what.
constexpr char kReadyPidFileRefused = 'R';
// The start failed because a port could not be opened: the parent names the bind error on
// standard error.
constexpr char kReadyListenError = 'L';

// Polls of "STOP" and "REOPENLOG" while they wait for the daemon's answer.
constexpr auto kPollStep = std::chrono::milliseconds(30);
constexpr auto kPollLimit = std::chrono::milliseconds(1000);
constexpr auto kStopAfterGone = std::chrono::milliseconds(100);

// The signals the program may take; which it takes depends on the mode.
sigset_t HandledSignals() {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&s, sig);
    return s;
}

int ReopenSignalNumber(TZELReopenLogSignal S) {
    switch (S) {
        case TZELReopenLogSignal::rls_SIGUSR1:
            return SIGUSR1;
        case TZELReopenLogSignal::rls_SIGUSR2:
            return SIGUSR2;
        default:
            return SIGHUP;
    }
}

TSynapseListenerIPVersions ListenIPVersions(uint8_t Version) {
    switch (Version) {
        case 1:
            return TSynapseListenerIPVersions::ipver_4;
        case 2:
            return TSynapseListenerIPVersions::ipver_6;
        default:
            return TSynapseListenerIPVersions::ipver_46;
    }
}

UnicodeString DecimalU(long long N) { return WidenStrU(std::to_string(N)); }

// Writes all of Bytes to Fd, as far as it goes (a failed write ends it).
void WriteAllTo(int Fd, AnsiView Bytes) noexcept {
    while (!Bytes.empty()) {
        const ssize_t n = ::write(Fd, Bytes.data(), Bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        Bytes.remove_prefix(static_cast<size_t>(n));
    }
}

bool FileExists(AnsiView Name) {
    uint32_t attr = 0;
    return TryGetFileAttr(Name, attr) == 0 && !IsDirAttr(attr);
}

// Polls every 30 ms, for at most a second, until Done holds; whether it did.
template <class Fn>
bool PollFor(Fn Done) {
    const auto end = std::chrono::steady_clock::now() + kPollLimit;
    while (!Done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

// The name of the user with this id, else the number.
UnicodeString UserNameOf(uid_t Uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(Uid, &pw, buf, sizeof buf, &found) == 0 && found) return SysCharsetToUnicodeProc(found->pw_name);
    return DecimalU(Uid);
}

class TConsoleProgram {
public:
    explicit TConsoleProgram(AnsiView DefaultConfigFileName) : DefaultConfigFileName_(DefaultConfigFileName) {}
    int Run(int argc, char** argv);

private:
    int Dispatch();
    int RunLocal();
    int RunServer(C Mode);
    int RunDaemon();
    int AwaitDaemon(pid_t Child, int ReadFd);
    int SendDaemonCommand();
    void WriteManagerPassword(uint8_t Index);
    void ReadConfig() { ReadServiceConfig(Config_, ConfigFileName_); }
    void MakeConverter(UnicodeView Charset);
    void ApplyConfig(TMyRunner& Runner) const;
    void RaiseDescriptorLimit();
    sigset_t TakenSignals(C Mode) const;
    bool RefusedAsRoot();
    void StopWithPidFile(C Command);
    // The daemon child tells its parent how the start went, once; any thread.
    void ReportReady(char Status, UnicodeView Text) noexcept;

    void NormalLine(UnicodeView Text) { (void)WriteConsoleLine(Normal_, EncodeForConsole(Converter_.get(), Text)); }
    void ErrorLine(UnicodeView Text) { (void)WriteConsoleLine(Error_, EncodeForConsole(Converter_.get(), Text)); }
    void LogLine(UnicodeView Text) { (void)WriteConsoleLine(Log_.Output(), Log_.EncodeForLog(Text)); }
    // One line straight onto standard error (descriptor 2, never buffered).
    void StdErrLine(UnicodeView Text);
    UnicodeString AlreadyRunningLine() const {
        return u"ZELServer daemon already running? (check " + PidFileName_ + u")";
    }

    const AnsiView DefaultConfigFileName_;
    sigset_t OriginalMask_{};
    // The normal and the error output both lead to standard output; the log output is standard
    // output too until "RUN" or the daemon child opens the log file.
    TTextFile Normal_;
    TTextFile Error_;
    TConsoleLogOutput Log_;
    TConsoleCommandLine Cmd_;
    UnicodeString ExeDir_;
    UnicodeString ConfigFileName_;
    TZELServiceConfig Config_;
    std::unique_ptr<TAnsiUnicodeConverter> Converter_;
    UnicodeString LogFileName_;
    UnicodeString PidFileName_;
    TZELPidFile PidFile_;
    // The daemon child's warning for its starter (a stale PID file taken over), sent with its
    // readiness report.
    UnicodeString StartWarning_;
    std::atomic<int> ReadyFd_{-1};
};

int TConsoleProgram::Run(int argc, char** argv) {
    // Before anything else, above all before any thread: every thread then inherits the block,
    // and a signal that comes early waits for the signal thread instead of killing the process.
    const sigset_t handled = HandledSignals();
    pthread_sigmask(SIG_BLOCK, &handled, &OriginalMask_);

    // Started with a standard handle closed, the readiness pipe or the log would take its number,
    // and the daemon's redirect onto "/dev/null" would then cut it.
    (void)FillClosedStdHandles();
    CloseExtraHandles();
    AssignStdOutText(Normal_);
    AssignStdOutText(Error_);
    ExeDir_ = SysCharsetToUnicodeProc(GetExeDirA());

    const std::vector<AnsiString> params(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    switch (ParseConsoleCommandLine(params, Cmd_, DefaultConfigFileName_)) {
        case C::cmd_None:
            (void)PrintUsage(Error_, nullptr, ConsoleBannerLine());
            return ZELExitUsage;
        case C::cmd_Help:
            (void)PrintServerHelp(Normal_, nullptr);
            return ZELExitOk;
        case C::cmd_ServerId:
            (void)WriteConsoleLine(Normal_, CalcSourceId(UnicodeToSysCharsetProc(Cmd_.ClientText)));
            return ZELExitOk;
        default:
            break;
    }

    try {
        CheckCharsetName(u"UTF-8", u"", DefaultConverterOptions());
    } catch (const std::exception&) {
        ErrorLine(u"ERROR: Your operating system does not support UTF-8 charset encoding");
        return ZELExitError;
    }

    try {
        ConfigFileName_ = ResolvePath(SysCharsetToUnicodeProc(Cmd_.ConfigFileName), ExeDir_);
        if (!FileExists(UnicodeToSysCharsetProc(ConfigFileName_))) {
            ErrorLine(u"ERROR: Configuration file not found: \"" + ConfigFileName_ + u"\"");
            return ZELExitNoConfig;
        }
        return Dispatch();
    } catch (const std::exception& e) {
        const UnicodeString message = DecodeUtf8U(e.what());
        ReportReady(kReadyError, message);
        LogLine(u"Error: " + message);
        return ZELExitError;
    }
}

int TConsoleProgram::Dispatch() {
    const C code = Cmd_.Command;
    const bool runsServer = code == C::cmd_Daemon || code == C::cmd_Run || code == C::cmd_Debug;
    // Only a server takes signals through its signal thread; any other command keeps the
    // actions the caller gave it (a Ctrl-C ends it).
    if (!runsServer) pthread_sigmask(SIG_SETMASK, &OriginalMask_, nullptr);

    // A manager password goes to the manager as a tagged element: a section holding '<', '>' or a
    // control byte is disabled at the next start, and the daemon refuses it likewise.
    if ((code == C::cmd_SetManPassIdx || code == C::cmd_SetManPassAddr || code == C::cmd_DSetManPassIdx ||
         code == C::cmd_DSetManPassAddr) &&
        !IsSafeElementTextA(Cmd_.ManagerPassword)) {
        ErrorLine(u"ERROR: Manager password refused: it holds '<', '>' or a control character");
        return ZELExitUsage;
    }
    if (IsDaemonCommand(code)) {
        ReadConfig();
        MakeConverter(Config_.SystemCharsetName);
        if (!Config_.Command.CommandEnabled) {
            ErrorLine(u"ERROR: Commands for daemon are not allowed");
            return ZELExitDaemonCommand;
        }
        return SendDaemonCommand();
    }
    if (code == C::cmd_SetManPassIdx) {
        WriteManagerPassword(Cmd_.ManagerIndex);
        return ZELExitOk;
    }
    if (code == C::cmd_SetManPassAddr) {
        ReadConfig();
        const int32_t index = FindConfigManagerByAddress(Config_, Cmd_.ManagerAddress);
        if (index == -1) {
            ErrorLine(u"ERROR: Active ZEL System manager not found: " + Cmd_.ManagerAddress);
            return ZELExitManagerNotFound;
        }
        if (index < 0) {
            ErrorLine(u"ERROR: Too many ZEL System managers with addr: " + Cmd_.ManagerAddress);
            return ZELExitManagerNotFound;
        }
        WriteManagerPassword(static_cast<uint8_t>(index));
        return ZELExitOk;
    }
    return RunLocal();
}

// One exchange with the running daemon over the command port: its report and output go to
// standard output, and its exit code is the program's.
int TConsoleProgram::SendDaemonCommand() { return RunDaemonCommand(Cmd_, Config_, Normal_); }

void TConsoleProgram::WriteManagerPassword(uint8_t Index) {
    TIniFileUTF8 ini(UnicodeToSysCharsetProc(ConfigFileName_), true);
    ini.WriteString(ZELSVCManagerSectionNames[Index], u"ManagerAuthPassword",
                    SysCharsetToUnicodeProc(Cmd_.ManagerPassword));
    ini.UpdateFile();
}

void TConsoleProgram::MakeConverter(UnicodeView Charset) {
    auto c = std::make_unique<TAnsiUnicodeConverter>();
    c->SetCharset(Charset);
    Converter_ = std::move(c);
    Log_.Converter = Converter_.get();
}

int TConsoleProgram::RunLocal() {
    ReadConfig();
    TZELServiceNetOptions netOptions;
    FillNetOptionsFromService(netOptions, Config_);
    (void)CheckNetworksFile(ResolvePath(Config_.NetworksFileName, ExeDir_), netOptions, DefaultConverterOptions(),
                            [this](UnicodeView Text) { LogLine(u"ERROR: " + UnicodeString(Text)); });
    switch (Cmd_.ListFlags.Charset) {
        case TConsoleCharset::ccs_UTF8:
            MakeConverter(u"UTF-8");
            break;
        case TConsoleCharset::ccs_Ansi:
            MakeConverter(WidenStrU(SystemCharset));
            break;
        case TConsoleCharset::ccs_Oem:
            MakeConverter(WidenStrU(DefaultCharset));
            break;
        default:
            MakeConverter(Config_.SystemCharsetName);
            break;
    }
    LogFileName_ = MakeLogFileName(Config_.LogFile, u"zelserver.log", ExeDir_);
    PidFileName_ = MakePidFileName(Config_.PidFile, u"zelserver.pid", ZELDefaultRunDir, ExeDir_);

    switch (Cmd_.Command) {
        case C::cmd_PidFileName:
            NormalLine(PidFileName_);
            return ZELExitOk;
        case C::cmd_LogFileName:
            NormalLine(LogFileName_);
            return ZELExitOk;
        case C::cmd_Pid:
        case C::cmd_Stop:
        case C::cmd_ReopenLog: {
            const AnsiString name = UnicodeToSysCharsetProc(PidFileName_);
            pid_t pid = 0;
            bool valid = false;
            try {
                valid = ReadPidFile(name, pid);
            } catch (const std::exception& e) {
                ErrorLine(u"ERROR: read PID-file [" + PidFileName_ + u"]: " + DecodeUtf8U(e.what()));
                return Cmd_.Command == C::cmd_Pid ? ZELExitBadPidFile : ZELExitOk;
            }
            if (!valid) return ZELExitBadPidFile;
            // The number counts only while its process holds the file's lock: a number the system
            // gave to another process since is never signalled.
            const bool alive = PidFileDaemonAlive(name, pid);
            if (Cmd_.Command == C::cmd_Pid) {
                if (alive) NormalLine(DecimalU(pid));
                return ZELExitOk;
            }
            if (!alive) {
                ErrorLine(u"ERROR: no process with PID=" + DecimalU(pid));
                return ZELExitOk;
            }
            if (Cmd_.Command == C::cmd_Stop) {
                ::kill(pid, SIGTERM);
                if (PollFor([&] { return !FileExists(name); })) std::this_thread::sleep_for(kStopAfterGone);
            } else {
                ::kill(pid, ReopenSignalNumber(Config_.ReopenLogSignal));
                const AnsiString log = UnicodeToSysCharsetProc(LogFileName_);
                (void)PollFor([&] { return FileExists(log); });
            }
            return ZELExitOk;
        }
        case C::cmd_DeletePidFile: {
            const AnsiString name = UnicodeToSysCharsetProc(PidFileName_);
            if (const int rc = TryEraseFileName(name); rc != 0) {
                try {
                    RaiseDeleteFileError(rc, name);
                } catch (const std::exception& e) {
                    ErrorLine(u"ERROR: delete PID-file [" + PidFileName_ + u"]: " + DecodeUtf8U(e.what()));
                }
            }
            return ZELExitOk;
        }
        case C::cmd_Debug:
            LogFileName_.clear();
            if (RefusedAsRoot()) return ZELExitError;
            return RunServer(C::cmd_Debug);
        case C::cmd_Run:
            if (RefusedAsRoot()) return ZELExitError;
            return RunServer(C::cmd_Run);
        case C::cmd_Daemon:
            if (RefusedAsRoot()) return ZELExitError;
            return RunDaemon();
        default:
            return ZELExitUsage;
    }
}

// A server started as root would leave the log and the list files it writes owned by root, and
// the account these files belong to could then no longer run it: where the data directory, the
// networks file or the log file (the directory of one that is missing) belongs to another user,
// the start is refused with that user's name.
bool TConsoleProgram::RefusedAsRoot() {
    if (::geteuid() != 0) return false;
    const UnicodeString dataDir = Config_.DataDir.empty() ? ExeDir_ : ResolvePath(Config_.DataDir, ExeDir_);
    for (const UnicodeString& name : {dataDir, ResolvePath(Config_.NetworksFileName, ExeDir_), LogFileName_}) {
        if (name.empty()) continue;
        const AnsiString path = UnicodeToSysCharsetProc(name);
        struct stat st{};
        // A file not yet made goes to whoever owns its directory.
        if (::stat(path.c_str(), &st) != 0 && ::stat(AnsiString(ExtractFilePathA(path)).c_str(), &st) != 0) continue;
        if (st.st_uid == 0) continue;
        const UnicodeString user = UserNameOf(st.st_uid);
        ErrorLine(u"ERROR: Started as root, but \"" + name + u"\" belongs to the user " + user +
                  u": start the server as " + user + u", so that the files it writes keep their owner");
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// The daemon.

int TConsoleProgram::RunDaemon() {
    const AnsiString pidName = UnicodeToSysCharsetProc(PidFileName_);
    MakeWriteTest(pidName);
    // A file whose lock nobody holds is stale (its daemon was killed): the child takes it over.
    if (FileExists(pidName) && PidFileLockHolder(pidName) != 0) {
        LogLine(AlreadyRunningLine());
        return ZELExitDaemonRunning;
    }
    // Nothing buffered may be written twice, and no thread exists yet: the child is whole.
    (void)TryFlushText(Normal_);
    (void)TryFlushText(Error_);
    (void)TryFlushText(Log_.Output());
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int e = errno;
        throw Exception(FormatA("Pipe error [%d]: %s", e, SysErrorText(e).c_str()));
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int e = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw Exception(FormatA("Fork error [%d]: %s", e, SysErrorText(e).c_str()));
    }
    if (child > 0) {
        ::close(fds[1]);
        return AwaitDaemon(child, fds[0]);
    }

    ::close(fds[0]);
    ReadyFd_ = fds[1];
    // Its own session: the starting shell's Ctrl-C and hang-up never reach the daemon.
    ::setsid();
    (void)RedirectStdToNull();
    Log_.OpenFile(LogFileName_);
    bool stale = false;
    const int rc = PidFile_.Acquire(pidName, ::getpid(), stale);
    if (rc == EEXIST) {
        // Another daemon holds it (or made it since the check above).
        ReportReady(kReadyPidFileExists, u"");
        LogLine(AlreadyRunningLine());
        return ZELExitDaemonRunning;
    }
    if (const AnsiString what = PidFileRefusalText(rc); !what.empty()) {
        // No daemon holds it, but it is not a PID file this server left: never written into.
        const UnicodeString line = u"ERROR: PID file [" + PidFileName_ + u"] " + DecodeUtf8U(what) +
                                   u": not a stale PID file of this server, not taken over";
        ReportReady(kReadyPidFileRefused, line);
        LogLine(line);
        return ZELExitDaemonRunning;
    }
    if (rc != 0) RaiseCreateFileError(rc, pidName);
    if (stale) {
        const pid_t held = PidFile_.TakenOverPid();
        StartWarning_ = u"WARNING: Stale PID file [" + PidFileName_ + u"] " +
                        (held > 0 ? u"of PID=" + DecimalU(held) + u" " : UnicodeString()) + u"taken over: " +
                        WidenStrU(StalePidFileReason(held));
        LogLine(StartWarning_);
    }
    LogLine(FormatDaemonStartLine(ConfigFileName_, ::getpid(), PidFileName_));
    int code = ZELExitError;
    try {
        code = RunServer(C::cmd_Daemon);
    } catch (...) {
        PidFile_.Remove();
        throw;
    }
    PidFile_.Remove();
    return code;
}

// The parent: the start line and 0 only once the child reports that the service started.
int TConsoleProgram::AwaitDaemon(pid_t Child, int ReadFd) {
    // The wait is the parent's own: a Ctrl-C may end it (the child is in its own session).
    pthread_sigmask(SIG_SETMASK, &OriginalMask_, nullptr);
    AnsiString report;
    bool ended = false;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ZELDaemonStartLimitMs);
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{ReadFd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[512];
        const ssize_t n = ::read(ReadFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        report.append(buf, static_cast<size_t>(n));
    }
    ::close(ReadFd);
    if (!ended) {
        // Not ready in time: it must not run on while its starter reports a failure.
        ::kill(Child, SIGTERM);
        LogLine(u"Error: The daemon did not report its start in time");
        return ZELExitError;
    }
    // A child that ended is reaped; one still ending is left to init.
    auto reap = [&] { (void)::waitpid(Child, nullptr, WNOHANG); };
    if (report.empty()) {
        reap();
        LogLine(u"Error: The daemon ended during its start");
        return ZELExitError;
    }
    switch (report[0]) {
        case kReadyOk:
            if (report.size() > 1) LogLine(DecodeUtf8U(AnsiView(report).substr(1)));
            LogLine(FormatDaemonStartLine(ConfigFileName_, static_cast<int32_t>(Child), PidFileName_));
            return ZELExitOk;
        case kReadyListenError:
            reap();
            StdErrLine(u"Error: " + DecodeUtf8U(AnsiView(report).substr(1)));
            return ZELExitError;
        case kReadyPidFileExists:
            reap();
            LogLine(AlreadyRunningLine());
            return ZELExitDaemonRunning;
        case kReadyPidFileRefused:
            reap();
            LogLine(DecodeUtf8U(AnsiView(report).substr(1)));
            return ZELExitDaemonRunning;
        default:
            reap();
            LogLine(u"Error: " + DecodeUtf8U(AnsiView(report).substr(1)));
            return ZELExitError;
    }
}

void TConsoleProgram::StdErrLine(UnicodeView Text) {
    AnsiString line = EncodeForConsole(Converter_.get(), Text);
    line += '\n';
    WriteAllTo(STDERR_FILENO, line);
}

void TConsoleProgram::ReportReady(char Status, UnicodeView Text) noexcept {
    const int fd = ReadyFd_.exchange(-1);
    if (fd < 0) return;
    try {
        AnsiString msg(1, Status);
        msg += UnicodeToUtf8A(Text);
        WriteAllTo(fd, msg);
    } catch (...) {
        // No memory for the text: the closed pipe still tells the parent that the start failed
        // (it reads no status).
    }
    ::close(fd);
}

// ---------------------------------------------------------------------------------------------
// The server.

sigset_t TConsoleProgram::TakenSignals(C Mode) const {
    sigset_t s;
    sigemptyset(&s);
    sigaddset(&s, SIGINT);
    sigaddset(&s, SIGTERM);
    const int reopen = ReopenSignalNumber(Config_.ReopenLogSignal);
    if (Mode != C::cmd_Debug) sigaddset(&s, reopen);
    // A daemon has no terminal whose hang-up could mean anything to it; in "RUN" a service
    // manager's reload sends SIGHUP, which reopens the log whatever the reopen signal.
    if (Mode != C::cmd_Debug) sigaddset(&s, SIGHUP);
    return s;
}

// A service starts with a soft limit that stops accepting at about a thousand clients; the hard
// limit is what the system allows this process.
void TConsoleProgram::RaiseDescriptorLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    if (rl.rlim_cur == rl.rlim_max) {
        LogLine(u"INFO: Open files limit: " + DecimalU(static_cast<long long>(rl.rlim_cur)));
        return;
    }
    const rlim_t was = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &rl) == 0) {
        LogLine(u"INFO: Open files limit: " + DecimalU(static_cast<long long>(rl.rlim_cur)));
        return;
    }
    const int e = errno;
    LogLine(u"WARNING: Open files limit: " + DecimalU(static_cast<long long>(was)) + u" (raising it failed: " +
            SysCharsetToUnicodeProc(SysErrorText(e)) + u")");
}

// Every value of the configuration is handed over before the first binding is added. The service
// took the paths, the owner, the charsets and the log switches from the configuration itself;
// its configuration file name is the absolute one, which the data-change program receives.
void TConsoleProgram::ApplyConfig(TMyRunner& R) const {
    const TZELServiceConfig& c = Config_;
    R.SetManagerSecondaryAuthTime(c.ManagerSecondaryAuthTime);
    R.SetSpeechPause(c.SpeechPause);
    R.SetQuarantineTime(c.QuarantineTime);
    R.SetClientsPerThread(c.ClientsPerThread);
    R.SetClientActivityTimeout(c.ClientActivityTimeout);
    R.SetClientHandshakeTimeout(c.ClientHandshakeTimeout);
    R.SetMaxWaitConnections(c.MaxWaitConnections);
    R.SetManagerParams(c.Managers);
    R.KeepHotThread = c.KeepHotThread;
    R.MaxConnectionsPerAddress = c.MaxConnectionsPerAddress;
    R.MaxTotalConnections = c.MaxTotalConnections;
    R.ThreadCacheTime = c.ThreadCacheTime;
    R.DisableDUPL = c.DisableDUPL;
    R.PresentServerAddress = c.PresentServerAddress;
    R.PresentServerPort = c.PresentServerPort;
    R.BackupServerAddress = c.BackupServerAddress;
    R.BackupServerPort = c.BackupServerPort;
    R.OutputBufferLimit = c.OutputBufferLimit;
    R.OutputBufferFactor = c.OutputBufferFactor;
    R.LogClientLevel = c.LogClientLevel;
    R.ClientSessionMaxTime = c.ClientSessionMaxTime;
    R.TempMuteBlock = c.TempMuteBlock;
    R.LevelMuteBlock = c.LevelMuteBlock;
    R.ExactMuteBlock = c.ExactMuteBlock;
    R.UniqCallsign = c.UniqCallsign;
    R.ShortFrames = c.ShortFrames;
    R.SpeechLimit = c.SpeechLimit;
    R.ManagerMode = c.ManagerMode;
}

int TConsoleProgram::RunServer(C Mode) {
    if (Mode == C::cmd_Run) Log_.OpenFile(LogFileName_);
    LogLine(ConsoleBannerLine());
    LogLine(u"Site: http://" + UnicodeString(ZELContactSite));
    LogLine(u"Origin: " + UnicodeString(ZELContactOrigin));
    LogLine(u"E-Mail: " + UnicodeString(ZELContactEMail));

    CheckManagerSections(Config_, [this](const UnicodeString& Line) { LogLine(Line); });
    int enabled = 0;
    for (const TZELSvcSysmanParams& m : Config_.Managers) enabled += m.ManagerEnabled ? 1 : 0;
    if (enabled == 0 && Config_.ManagerMode != TZELSystemManagerMode::smm_Standalone) {
        LogLine(u"WARNING: No active managers for server, switching to mode: STANDALONE");
        Config_.ManagerMode = TZELSystemManagerMode::smm_Standalone;
    }
    LogLine(u"INFO: Server-wide ZEL-System-Manager mode: " + UnicodeString(SystemManagerModeText(Config_.ManagerMode)));
    if (Config_.ManagerMode != TZELSystemManagerMode::smm_Standalone)
        for (size_t i = 0; i < 3; ++i) {
            const TZELSvcSysmanParams& m = Config_.Managers[i];
            if (!m.ManagerEnabled) continue;
            LogLine(u"INFO: ZEL-System-Manager[" + DecimalU(static_cast<long long>(i)) + u"]: " +
                    FormatHostPortU(m.ManagerAddress, DecimalU(m.ManagerPort)));
        }
    RaiseDescriptorLimit();

    // A signal that keeps its default action must reach the process: only the taken ones stay
    // blocked (the service's threads block them all).
    const sigset_t taken = TakenSignals(Mode);
    sigset_t others = HandledSignals();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
        if (sigismember(&taken, sig)) sigdelset(&others, sig);
    pthread_sigmask(SIG_UNBLOCK, &others, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGCHLD, SIG_IGN);

    // Taken before the runner's threads exist (it changes the environment).
    const AnsiString notifySocket = TakeNotifySocketName();
    auto runner = std::make_unique<TMyRunner>(ConfigFileName_, Config_, Log_);
    ApplyConfig(*runner);
    // The clients library's part comes in here, before Start(): its factory (networks, workers,
    // contexts; SetFactory) and the service tick (OnTick). Without them the service runs without
    // networks and releases what reaches its queue.
    runner->SetFactory(std::make_unique<TZELSVCClientsFactory>(*runner));
    InstallListRereads(*runner);
    runner->OnServiceStartDone = [this, r = runner.get(), notifySocket](bool Ok, const UnicodeString& Error) {
        // A service manager that waits counts the start as done once the server listens.
        if (Ok && !notifySocket.empty()) (void)SendServiceNotify(notifySocket, "READY=1");
        if (Ok)
            ReportReady(kReadyOk, StartWarning_);
        else if (!r->ListenStartError().empty())
            ReportReady(kReadyListenError, r->ListenStartError());
        else
            ReportReady(kReadyError, Error);
    };
    if (Config_.Command.CommandEnabled && Config_.Command.CommandPort != 0)
        runner->ListenLocalhost(UnicodeString(ZELCommandBindingName), DecimalU(Config_.Command.CommandPort),
                                ListenIPVersions(Config_.Command.CommandIPVersion), runner->CommandAcceptHandler());
    for (const UnicodeString& port : Config_.ListenServerPorts)
        runner->ListenAny(UnicodeString(ZELClientBindingName), port, ListenIPVersions(Config_.IPVersion), runner->ClientAcceptHandler());
    runner->Start();
    runner->RequestServiceStart();

    // Started after the start request, so a stop that was already waiting follows the start.
    TZELSignalThread signals(taken);
    const int reopen = ReopenSignalNumber(Config_.ReopenLogSignal);
    TMyRunner* r = runner.get();
    signals.OnSignal = [r, reopen, Mode](int Sig) {
        if (Sig == SIGINT || Sig == SIGTERM)
            r->RequestStop(SignalNameU(Sig));
        else if (Mode != C::cmd_Debug && (Sig == reopen || (Sig == SIGHUP && Mode == C::cmd_Run)))
            r->RequestReopenLog();
    };
    signals.Start();

    runner->WaitFor();
    UnicodeString line;
    while (runner->PopLogLine(line)) LogLine(line);
    LogLine(FormatTimestampU(Now()) + u": Aborted: " + runner->StopText());
    signals.TerminateAndWait();
    const bool failed = runner->ServiceStartFailed();
    // A change the server answered but could not write (its last save and the stop's retry
    // failed): whoever waits for the process (a service manager, a script) must not take the
    // stop for a clean one. The log names the lists ("Changes not saved").
    const bool lost = runner->UnsavedChanges();
    // In the foreground the operator sees the port that failed the start on standard error too
    // (a daemon's parent prints it).
    if (failed && Mode != C::cmd_Daemon && !runner->ListenStartError().empty())
        StdErrLine(u"Error: " + runner->ListenStartError());
    runner.reset();
    if (failed) return ZELExitError;
    return lost ? ZELExitChangesLost : ZELExitOk;
}

}  // namespace

UnicodeString FormatDaemonStartLine(UnicodeView ConfigFileName, int32_t Pid, UnicodeView PidFileName) {
    UnicodeString s = ServerProductText();
    s += u" [";
    s += ConfigFileName;
    s += u"] started as daemon with PID=";
    s += DecimalU(Pid);
    s += u" [";
    s += PidFileName;
    s += u"]";
    return s;
}

int ZELServerConsoleMain(int argc, char** argv, AnsiView DefaultConfigFileName) {
    TConsoleProgram program(DefaultConfigFileName);
    return program.Run(argc, argv);
}

}  // namespace zel
