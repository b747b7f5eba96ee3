#include "console/dmq_zel_svc_run.hpp"

#include <utility>

#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_syscharset.hpp"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Log output.

TConsoleLogOutput::TConsoleLogOutput() : Current_(std::make_unique<TTextFile>()) { AssignStdOutText(*Current_); }

TConsoleLogOutput::~TConsoleLogOutput() { (void)TryFlushText(*Current_); }

void TConsoleLogOutput::OpenFile(UnicodeView FileName) {
    auto f = std::make_unique<TTextFile>();
    AppendOrRewriteTextName(*f, UnicodeToSysCharsetProc(FileName));
    UnicodeString name(FileName);
    (void)TryFlushText(*Current_);
    Current_.swap(f);
    FileName_ = std::move(name);
}

void TConsoleLogOutput::Reopen() {
    if (FileName_.empty()) {
        (void)TryFlushText(*Current_);
        return;
    }
    OpenFile(UnicodeString(FileName_));
}

AnsiString TConsoleLogOutput::EncodeForLog(UnicodeView Text) { return EncodeForConsole(Converter, Text); }

AnsiString EncodeForConsole(TAnsiUnicodeConverter* Converter, UnicodeView Text) {
    if (Converter) return Converter->FromUnicode(Text);
    return UnicodeToSystemCharsetA(Text);
}

int WriteConsoleLine(TTextFile& Output, AnsiView Text) {
    int r = TryWriteTextBuf(Output, Text.data(), Text.size());
    if (r == 0) r = TryWriteTextBuf(Output, "\n", 1);
    const int f = TryFlushText(Output);
    return r != 0 ? r : f;
}

// ---------------------------------------------------------------------------------------------
// Runner.

TZELServiceRunner::TZELServiceRunner(UnicodeView ConfigFileName, const TZELServiceConfig& Config)
    : TZELService(ConfigFileName, Config) {
    OnLog = [this](TZELService*) { DeliverLogLines(); };
    OnReopenLog = [this](TZELService*) { HandleReopenLog(); };
}

TZELServiceRunner::~TZELServiceRunner() { StopAndWait(); }

void TZELServiceRunner::DeliverLogLines() {
    UnicodeString line;
    int32_t count = kLinesPerDelivery;
    bool wrote = false;
    while (count >= 1 && PopLogLine(line)) {
        WriteLogLine(line);
        wrote = true;
        --count;
    }
    if (wrote) FlushLog();
}

void TZELServiceRunner::HandleReopenLog() { ReopenLogFile(); }

TMyRunner::TMyRunner(UnicodeView ConfigFileName, const TZELServiceConfig& Config, TConsoleLogOutput& Log)
    : TZELServiceRunner(ConfigFileName, Config), Log_(Log) {}

// The service thread calls WriteLogLine until it ends: stop it while this object is whole.
TMyRunner::~TMyRunner() { StopAndWait(); }

void TMyRunner::WriteLogLine(UnicodeView Line) {
    TTextFile& out = Log_.Output();
    FormatLogTimestampA(Stamp_, Now());
    (void)TryWriteTextBuf(out, Stamp_, sizeof Stamp_);
    const AnsiString text = Log_.EncodeForLog(Line);
    bool written = true;
    if (!text.empty()) written = TryWriteTextBuf(out, text.data(), text.size()) == 0;
    if (written) (void)TryWriteTextBuf(out, "\n", 1);
}

void TMyRunner::FlushLog() { (void)TryFlushText(Log_.Output()); }

void TMyRunner::ReopenLogFile() { Log_.Reopen(); }

}  // namespace zel
