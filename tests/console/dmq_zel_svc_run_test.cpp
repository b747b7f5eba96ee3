#include "console/dmq_zel_svc_run.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/service_fixture.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::ServeUntil;

// Counts the flushes of the log batches.
class TCountingRunner : public TMyRunner {
public:
    using TMyRunner::TMyRunner;
    ~TCountingRunner() override { StopAndWait(); }
    int Flushes = 0;

protected:
    void FlushLog() override {
        ++Flushes;
        TMyRunner::FlushLog();
    }
};

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> out;
    std::stringstream ss(Text);
    std::string l;
    while (std::getline(ss, l)) out.push_back(l);
    return out;
}

const std::regex kStamped("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: (.*)");

class Runner : public test::TempDirTest {
protected:
    std::unique_ptr<TCountingRunner> NewRunner() {
        auto r = std::make_unique<TCountingRunner>(u"/etc/server.ini", TZELServiceConfig{}, log);
        r->LogReopenLog = false;
        return r;
    }
    size_t LineCount(const std::string& Path) { return Lines(Get(Path)).size(); }

    TConsoleLogOutput log;
};

// 300 lines from four threads: written in deliveries of 128, 128 and 44 lines, one flush each,
// every line stamped, each thread's lines in its order.
TEST_F(Runner, DeliversStampedLinesInBatches) {
    const std::string file = Path("zel.log");
    log.OpenFile(WidenStrU(file));
    auto r = NewRunner();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 75; ++i) r->AddLogLine(WidenStrU(std::to_string(t) + ":" + std::to_string(i)));
        });
    for (auto& t : threads) t.join();
    r->Start();
    ASSERT_TRUE(ServeUntil([&] { return LineCount(file) == 300; }));
    EXPECT_EQ(r->Flushes, 3);
    int next[4] = {0, 0, 0, 0};
    for (const std::string& l : Lines(Get(file))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, kStamped)) << l;
        const std::string text = m[1].str();
        const int t = text[0] - '0';
        ASSERT_TRUE(t >= 0 && t < 4) << l;
        EXPECT_EQ(text, std::to_string(t) + ":" + std::to_string(next[t]));
        ++next[t];
    }
}

// An empty text still gives its stamp and a line feed; a reopen after the file was moved away
// creates it again; a reopen that cannot open keeps the old file and says why there.
TEST_F(Runner, EmptyLinesAndReopens) {
    ASSERT_EQ(mkdir(Path("logs").c_str(), 0755), 0);
    const std::string file = Path("logs/zel.log");
    log.OpenFile(WidenStrU(file));
    auto r = NewRunner();
    r->Start();
    r->AddLogLine(u"");
    ASSERT_TRUE(ServeUntil([&] { return LineCount(file) == 1; }));
    EXPECT_EQ(Get(file).size(), 26u);

    ASSERT_EQ(std::rename(file.c_str(), Path("logs/zel.log.1").c_str()), 0);
    r->RequestReopenLog();
    r->AddLogLine(u"after the move");
    ASSERT_TRUE(ServeUntil([&] { return LineCount(file) == 1; }));
    EXPECT_NE(Get(file).find("after the move"), std::string::npos);
    EXPECT_EQ(LineCount(Path("logs/zel.log.1")), 1u);

    ASSERT_EQ(std::rename(Path("logs").c_str(), Path("old").c_str()), 0);
    r->RequestReopenLog();
    r->AddLogLine(u"still here");
    const std::string kept = Path("old/zel.log");
    ASSERT_TRUE(ServeUntil([&] { return Get(kept).find("ERROR: Reopen log: EFileException") != std::string::npos; }))
        << Get(kept);
    ASSERT_TRUE(ServeUntil([&] { return Get(kept).find("still here") != std::string::npos; }));
    EXPECT_EQ(log.FileName(), WidenStrU(file));
}

// A started runner freed without a stop request returns, and so does the stop while other threads
// keep pushing lines.
TEST_F(Runner, EndsWithoutStopRequestAndUnderLoad) {
    const std::string file = Path("zel.log");
    log.OpenFile(WidenStrU(file));
    {
        auto r = NewRunner();
        r->Start();
        r->AddLogLine(u"one");
    }
    EXPECT_NE(Get(file).find("one"), std::string::npos);

    auto r = NewRunner();
    r->Start();
    std::atomic<bool> stop{false};
    std::vector<std::thread> pushers;
    for (int t = 0; t < 3; ++t)
        pushers.emplace_back([&] {
            while (!stop) r->AddLogLine(u"load");
        });
    ServeUntil([&] { return LineCount(file) > 100; }, 2000ms);
    r->StopAndWait();
    stop = true;
    for (auto& t : pushers) t.join();
    EXPECT_TRUE(r->Finished());
    r.reset();
}

}  // namespace
}  // namespace zel
