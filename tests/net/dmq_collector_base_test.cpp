#include "net/dmq_collector_base.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>

using namespace zel;

namespace {

// A source that hands out scripted chunks, one per read (cut to the space offered).
class TScripted : public TCollectorBase {
public:
    explicit TScripted(int32_t size = 128) : TCollectorBase(size) {}
    std::deque<std::string> chunks;
    bool eof = false, fail = false;

protected:
    TCollectorReadResult ReadSource(void* dest, uint32_t count, uint32_t& got) override {
        got = 0;
        if (fail) {
            errorCode_ = 5;
            errorText_ = u"broken";
            return TCollectorReadResult::colrr_Error;
        }
        if (chunks.empty()) return eof ? TCollectorReadResult::colrr_EOF : TCollectorReadResult::colrr_OK;
        std::string& c = chunks.front();
        got = uint32_t(std::min<size_t>(count, c.size()));
        memcpy(dest, c.data(), got);
        c.erase(0, got);
        if (c.empty()) chunks.pop_front();
        return TCollectorReadResult::colrr_OK;
    }
};

using R = TCollectResult;

TEST(Collector, BufferSizes) {
    for (auto [size, want] : {std::pair{0, 128u}, {100, 128u}, {128, 128u}, {129, 256u}, {2048, 2048u}})
        EXPECT_EQ(TScripted(size).BufferSize(), want) << size;
}

TEST(Collector, Lines) {
    const std::string big(5000, 'a');
    struct Case {
        const char* name;
        std::deque<std::string> chunks;
        uint32_t max;
        std::string line;
        bool tooLong;
        uint32_t leftOver;
    };
    const Case cases[] = {
        {"CR LF", {"abc\r\n"}, 100, "abc", false, 0},
        {"two CRs", {"abc\r\r\n"}, 100, "abc\r", false, 0},
        {"bare LF", {"abc\n"}, 100, "abc", false, 0},
        {"empty", {"\r\n"}, 100, "", false, 0},
        {"split over reads", {"ab", "c\r", "\nrest"}, 100, "abc", false, 4},
        {"cut at the maximum", {big + "\nnext\n"}, 4096, std::string(4096, 'a'), true, 5},
        {"CR counts", {std::string(4096, 'b') + "\r\n"}, 4096, std::string(4096, 'b'), true, 0},
        {"just fits", {std::string(4095, 'b') + "\r\n"}, 4096, std::string(4095, 'b'), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool intoBuilder : {true, false}) {
            TScripted col(2048);
            col.chunks = c.chunks;
            TStringBldA b;
            std::string s;
            if (intoBuilder)
                col.StartReadLineNoTimeout(b, c.max);
            else
                col.StartReadLineStrNoTimeout(s, c.max);
            TCollectResult r = R::colres_Nothing;
            for (int i = 0; i < 20 && r == R::colres_Nothing; ++i) r = col.Collect(0);
            ASSERT_EQ(r, R::colres_Complete);
            EXPECT_EQ(intoBuilder ? StrBldAToStr(b) : s, c.line);
            if (intoBuilder) {
                EXPECT_EQ(b.Buf()[b.Len()], 0);
            }
            EXPECT_EQ(col.TooLong(), c.tooLong);
            EXPECT_EQ(col.GetBufferedCount(), c.leftOver);
            EXPECT_EQ(col.Mode(), TCollectorMode::colm_Idle);
        }
    }
}

TEST(Collector, OverlongLinePolicies) {
    TScripted col;
    col.chunks = {"0123456789\n", "0123456789\n"};
    TStringBldA b;
    col.OverflowPolicy = TCollectorOverflow::colo_Result;
    col.StartReadLineNoTimeout(b, 5);
    EXPECT_EQ(col.Collect(0), R::colres_TooLong);
    col.Reset();
    col.OverflowPolicy = TCollectorOverflow::colo_Raise;
    col.StartReadLineNoTimeout(b, 5);
    try {
        col.Collect(0);
        ADD_FAILURE() << "no exception";
    } catch (const ECollectorExceededStringLength& e) {
        EXPECT_STREQ(e.what(), "Collector got too long string");
    }
}

TEST(Collector, CutOffLineAtTheEnd) {
    struct Case {
        const char* name;
        std::string input;
        bool drop, resetFirst;
        R result;
    };
    const Case cases[] = {
        {"kept", "abc", false, false, R::colres_Complete},
        {"dropped", "abc", true, false, R::colres_EndOfStream},
        {"still dropped after Reset", "abc", true, true, R::colres_EndOfStream},
        {"nothing came", "", false, false, R::colres_EndOfStream},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TScripted col;
        col.DropPartialAtEnd = c.drop;
        if (c.resetFirst) col.Reset();
        if (!c.input.empty()) col.chunks = {c.input};
        col.eof = true;
        std::string s;
        col.StartReadLineStrNoTimeout(s, 100);
        EXPECT_EQ(col.Collect(0), c.result);
        EXPECT_TRUE(col.EndSeen());
        EXPECT_EQ(col.Mode(), TCollectorMode::colm_Idle);
        if (c.result == R::colres_Complete) {
            EXPECT_EQ(s, c.input);
        }
    }
}

TEST(Collector, ByteCounts) {
    TScripted col;
    col.chunks = {"TX", "1ab", "cdefg"};
    char three[3], four[4];
    col.StartReadBytesNoTimeout(three, 3);
    EXPECT_EQ(col.Collect(0), R::colres_Complete);
    EXPECT_EQ(std::string(three, 3), "TX1");
    EXPECT_EQ(col.LastCount(), 3u);
    EXPECT_EQ(col.GetBufferedCount(), 2u);
    col.StartReadBytesNoTimeout(four, 4);
    EXPECT_EQ(col.Collect(0), R::colres_Complete);
    EXPECT_EQ(std::string(four, 4), "abcd");
    EXPECT_EQ(col.BytesReceived, 10u) << "all that was read, also what waits in the buffer";

    // A block cut off by the end of the stream is never complete, whatever the owner set.
    for (bool drop : {false, true}) {
        SCOPED_TRACE(drop);
        TScripted cut;
        cut.DropPartialAtEnd = drop;
        cut.chunks = {"ab"};
        cut.eof = true;
        char block[325];
        cut.StartReadBytesNoTimeout(block, sizeof block);
        EXPECT_EQ(cut.Collect(0), R::colres_EndOfStream);
        EXPECT_EQ(cut.LastCount(), 2u);
    }
}

// A source that never runs dry; the line feed comes only when asked for.
class TEndless : public TCollectorBase {
public:
    explicit TEndless(int32_t size) : TCollectorBase(size) {}
    uint32_t reads = 0;
    bool lineFeed = false;

protected:
    TCollectorReadResult ReadSource(void* dest, uint32_t count, uint32_t& got) override {
        got = count;
        memset(dest, 'x', count);
        if (lineFeed && count > 0) static_cast<char*>(dest)[0] = '\n';
        if (count > 0) ++reads;
        return TCollectorReadResult::colrr_OK;
    }
};

TEST(Collector, OneCallReadsAtMostItsBudget) {
    struct Case {
        int32_t size;
        uint32_t reads;  // reads of one call: the count bound or the byte bound, whichever first
    };
    for (Case c : {Case{128, COLLECTOR_READS_PER_CALL}, Case{16384, COLLECTOR_BYTES_PER_CALL / 16384}}) {
        SCOPED_TRACE(c.size);
        for (bool lines : {true, false}) {
            TEndless col(c.size);
            TStringBldA b;
            std::string block(1 << 20, '\0');
            col.ArmLength = 50;
            if (lines) col.StartReadLine(b, 4096, 0);
            else col.StartReadBytes(block.data(), uint32_t(block.size()), 0);
            EXPECT_EQ(col.Collect(10), R::colres_Nothing);
            EXPECT_EQ(col.reads, c.reads);
            EXPECT_TRUE(col.MoreWaiting());
            EXPECT_EQ(col.Collect(20), R::colres_Nothing) << "the next call goes on";
            EXPECT_EQ(col.reads, 2 * c.reads);
            EXPECT_EQ(col.Collect(50), R::colres_Timeout) << "checked between calls";
        }
    }
    // A line feed within the budget still completes the line in the same call.
    TEndless col(128);
    TStringBldA b;
    col.StartReadLineNoTimeout(b, 4096);
    EXPECT_EQ(col.Collect(0), R::colres_Nothing);
    col.lineFeed = true;
    EXPECT_EQ(col.Collect(0), R::colres_Complete);
    EXPECT_EQ(b.Len(), int32_t(COLLECTOR_READS_PER_CALL * 128));
}

TEST(Collector, TimeoutsByUnsignedDifference) {
    TScripted col;
    std::string s;
    EXPECT_EQ(col.GetRemainingTime(0), -1);
    col.StartReadLineStr(s, 100, 5);  // ArmLength is "none": no time-out
    EXPECT_EQ(col.Collect(0xFFFFFF00u), R::colres_Nothing);
    col.Reset();

    const uint32_t start = 0xFFFFFFF0u;  // the tick wraps during the wait
    col.ArmLength = 100;
    col.StartReadLineStr(s, 100, start);
    EXPECT_EQ(col.GetRemainingTime(start + 40), 60);
    EXPECT_EQ(col.Collect(start + 99), R::colres_Nothing);
    EXPECT_EQ(col.Collect(start + 100), R::colres_Timeout);
    EXPECT_EQ(col.TimeoutLength, 0u);
    EXPECT_EQ(col.Mode(), TCollectorMode::colm_Idle);
    EXPECT_EQ(col.GetRemainingTime(start), 0);

    // An arm length of 0 has run out at once, in idle mode too.
    col.ArmLength = 0;
    col.StartIdle(1);
    EXPECT_EQ(col.Collect(1), R::colres_Timeout);
    // The NoTimeout starts leave the time-out alone.
    col.TimeoutLength = 50;
    col.TimeoutStart = 10;
    col.StartReadLineStrNoTimeout(s, 10);
    EXPECT_EQ(col.TimeoutLength, 50u);
    EXPECT_EQ(col.Collect(59), R::colres_Nothing);
    EXPECT_EQ(col.Collect(60), R::colres_Timeout);
}

TEST(Collector, BusyAndErrors) {
    TScripted col;
    std::string s;
    col.StartReadLineStrNoTimeout(s, 10);
    char b[1];
    try {
        col.StartReadBytesNoTimeout(b, 1);
        ADD_FAILURE() << "no exception";
    } catch (const ECollectorBusy& e) {
        EXPECT_STREQ(e.what(), "Collector busy");
    }
    EXPECT_THROW(col.StartIdle(0), ECollectorBusy);

    UnicodeString reported;
    col.OnError = [&](TCollectorBase&, const UnicodeString& text) { reported = text; };
    col.fail = true;
    EXPECT_EQ(col.Collect(0), R::colres_ReadError);
    EXPECT_EQ(col.ErrorCode(), 5);
    EXPECT_EQ(reported, u"broken");
    EXPECT_EQ(col.TimeoutLength, 0u);
    EXPECT_EQ(col.Mode(), TCollectorMode::colm_Idle);
}

}  // namespace
