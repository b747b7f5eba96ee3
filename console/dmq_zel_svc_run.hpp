#pragma once
// The service as the console program runs it. The server's threads never write the log: they push
// lines into the service's log FIFO, the service thread hands them to the main thread through a
// synchronized call, and the runner writes them to the current log output, stamped. So exactly one
// thread, the main thread, ever writes the log.
#include <memory>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_server_id.hpp"

namespace zel {

class TAnsiUnicodeConverter;

// The console's current log output, shared by the main program and the runner: standard output
// ("DEBUG") or the log file ("RUN", "DAEMON"), with a 4096-byte buffer. Main thread only.
class TConsoleLogOutput {
public:
    // Standard output.
    TConsoleLogOutput();
    // Writes what is buffered.
    ~TConsoleLogOutput();
    TConsoleLogOutput(const TConsoleLogOutput&) = delete;
    TConsoleLogOutput& operator=(const TConsoleLogOutput&) = delete;

    // Opens FileName for appending (created when missing) and makes it the current output and the
    // log file name. The new file is opened before the old output is let go: on failure this raises
    // and the current output stays.
    void OpenFile(UnicodeView FileName);
    // After a log rotation: the log file by its name again, as OpenFile. With no log file name
    // (standard output) it only flushes.
    void Reopen();
    // A UTF-16 text as console bytes: through Converter when one is set, else the system charset.
    AnsiString EncodeForLog(UnicodeView Text);

    TTextFile& Output() noexcept { return *Current_; }
    const UnicodeString& FileName() const noexcept { return FileName_; }

    // The console converter; not owned, none by default.
    TAnsiUnicodeConverter* Converter = nullptr;

private:
    std::unique_ptr<TTextFile> Current_;
    UnicodeString FileName_;
};

// The byte text of a UTF-16 text for the console: through Converter when given, else the system
// charset.
AnsiString EncodeForConsole(TAnsiUnicodeConverter* Converter, UnicodeView Text);
// The text, a line feed unless writing the text failed, then a flush. 0 or the first error code.
int WriteConsoleLine(TTextFile& Output, AnsiView Text);

// The service with the main-thread hand-over of its log lines and of the reopen request.
class TZELServiceRunner : public TZELService {
public:
    static constexpr int32_t kLinesPerDelivery = 128;

    // Installs OnLog and OnReopenLog.
    TZELServiceRunner(UnicodeView ConfigFileName, const TZELServiceConfig& Config);
    ~TZELServiceRunner() override;

protected:
    // Main thread. May raise; the exception reaches the service thread's synchronized call.
    virtual void WriteLogLine(UnicodeView Line) = 0;
    virtual void FlushLog() = 0;
    virtual void ReopenLogFile() = 0;

private:
    // At most kLinesPerDelivery lines, then one flush when any was written.
    void DeliverLogLines();
    void HandleReopenLog();
};

// The console program's runner: lines go to the shared log output, each as a 25-byte local time
// stamp, the console bytes of the text and a line feed.
class TMyRunner : public TZELServiceRunner {
public:
    TMyRunner(UnicodeView ConfigFileName, const TZELServiceConfig& Config, TConsoleLogOutput& Log);
    ~TMyRunner() override;

protected:
    // A failed write of the text drops only that line's line feed; no flush.
    void WriteLogLine(UnicodeView Line) override;
    void FlushLog() override;
    // Raises when the log file cannot be opened; the old output then stays.
    void ReopenLogFile() override;

private:
    TConsoleLogOutput& Log_;
    char Stamp_[25];
};

}  // namespace zel
