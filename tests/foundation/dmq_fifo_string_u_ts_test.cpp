#include "foundation/dmq_fifo_string_u_ts.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zel {
namespace {

UnicodeString Line(int producer, int seq) {
    std::string s = std::to_string(producer) + ":" + std::to_string(seq);
    return UnicodeString(s.begin(), s.end());
}

TEST(FifoStringThreadSafeU, PopHandsOverAndEmptyLeavesTargetAlone) {
    TFifoStringThreadSafeU q(128);
    UnicodeString s = u"unchanged";
    EXPECT_FALSE(q.Pop(s));
    EXPECT_EQ(s, u"unchanged");
    q.Push(u"first \u00e9");
    q.Push(u"");
    ASSERT_TRUE(q.Pop(s));
    EXPECT_EQ(s, u"first \u00e9");
    ASSERT_TRUE(q.Pop(s));
    EXPECT_EQ(s, u"");
    EXPECT_EQ(q.Count(), 0);
}

// Leftover lines are released by the queue (the leak checker of the sanitizer build sees it).
TEST(FifoStringThreadSafeU, LeftoversAreReleased) {
    auto q = std::make_unique<TFifoStringThreadSafeU>(16);
    for (int i = 0; i < 300; ++i) q->Push(UnicodeString(200, u'x'));
    q->Clear();
    EXPECT_EQ(q->Count(), 0);
    for (int i = 0; i < 70; ++i) q->Push(Line(0, i));
    q.reset();
}

TEST(FifoStringThreadSafeU, LinesFromSeveralThreadsArriveOnce) {
    constexpr int kProducers = 4, kPerProducer = 5000;
    TFifoStringThreadSafeU q(128);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&q, p] {
            for (int s = 0; s < kPerProducer; ++s) q.Push(Line(p, s));
        });
    std::set<UnicodeString> seen;
    std::vector<int> next(kProducers, 0);
    bool ordered = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (seen.size() < size_t(kProducers) * kPerProducer && std::chrono::steady_clock::now() < deadline) {
        UnicodeString s;
        if (!q.Pop(s)) {
            std::this_thread::yield();
            continue;
        }
        int p = s[0] - u'0';
        if (p < 0 || p >= kProducers || s != Line(p, next[p])) ordered = false;
        else ++next[p];
        if (!seen.insert(s).second) ordered = false;
    }
    for (auto& t : producers) t.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(seen.size(), size_t(kProducers) * kPerProducer);
}

}  // namespace
}  // namespace zel
