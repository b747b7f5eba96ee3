#include "clients/dmq_zel_svc_speaker_cache.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_exception.hpp"
#include "tests/support/socketless_client.hpp"

namespace zel {
namespace {

using TCtx = test::SocketlessClient;

// A cache over Count clients whose entries are "E<serial>"; the positions freed are recorded.
struct TFixture {
    explicit TFixture(int Count) {
        for (int i = 0; i < Count; ++i) {
            Clients.push_back(CreateWrkCtx<TCtx>(nullptr, -1, "10.0.0.1", 1, 0));
            Clients.back()->EntrySerial = static_cast<uint32_t>(i);
        }
    }
    TCtx& operator[](size_t I) { return *Clients[I]; }

    std::vector<std::unique_ptr<TCtx>> Clients;
    std::vector<int32_t> Freed;
    int32_t Entries = 0;
    TZELNetSpeakerCache Cache{[this](int32_t Pos) { Freed.push_back(Pos); },
                              [this](TStringBldA& B, const TZELSVCContext& C) {
                                  ++Entries;
                                  StrBldAAdd(B, "E" + std::to_string(C.EntrySerial));
                              }};
};

TEST(SpeakerCacheTest, HandsOutPositionsFromZeroAndEvictsTheLeastRecentlyUsed) {
    TFixture f(ZELNetCacheSize + 2);
    for (int i = 0; i < ZELNetCacheSize; ++i) {
        f.Cache.Touch(f[size_t(i)]);
        EXPECT_EQ(f[size_t(i)].CachePos, i);
    }
    EXPECT_EQ(f.Cache.FreeCount(), 0);
    EXPECT_EQ(f.Cache.HeldCount(), ZELNetCacheSize);
    EXPECT_TRUE(f.Freed.empty());

    // Client 0 speaks again: client 1 is now the least recently used.
    f.Cache.Touch(f[0]);
    EXPECT_EQ(f[0].CachePos, 0);
    f.Cache.Touch(f[ZELNetCacheSize]);
    EXPECT_EQ(f[1].CachePos, -1);
    EXPECT_EQ(f[ZELNetCacheSize].CachePos, 1);
    EXPECT_EQ(f.Freed, std::vector<int32_t>({1})) << "the members forget the position before its reuse";
    f.Cache.Touch(f[ZELNetCacheSize + 1]);
    EXPECT_EQ(f[2].CachePos, -1);
    EXPECT_EQ(f[ZELNetCacheSize + 1].CachePos, 2);
    EXPECT_EQ(f.Freed, std::vector<int32_t>({1, 2}));
    EXPECT_EQ(f.Cache.HeldCount(), ZELNetCacheSize);

    // The evicted client comes back at the position of the next least recently used.
    f.Cache.Touch(f[1]);
    EXPECT_EQ(f[3].CachePos, -1);
    EXPECT_EQ(f[1].CachePos, 3);
}

TEST(SpeakerCacheTest, RemovedPositionGoesBackOnTopOfTheFreeStack) {
    TFixture f(4);
    f.Cache.Touch(f[0]);
    f.Cache.Touch(f[1]);
    f.Cache.Touch(f[2]);
    f.Cache.Remove(f[1]);
    EXPECT_EQ(f[1].CachePos, -1);
    EXPECT_EQ(f.Freed, std::vector<int32_t>({1}));
    EXPECT_EQ(f.Cache.HeldCount(), 2);
    EXPECT_EQ(f.Cache.FreeCount(), ZELNetCacheSize - 2);
    f.Cache.Touch(f[3]);
    EXPECT_EQ(f[3].CachePos, 1);
    f.Cache.Remove(f[1]);  // without a position: nothing
    EXPECT_EQ(f.Freed.size(), 1u);
}

TEST(SpeakerCacheTest, TextsNameThePositionAndAreBuiltOncePerPositionAndEntry) {
    TFixture f(2);
    f[1].EntrySerial = 7;
    f.Cache.Touch(f[0]);
    f.Cache.Touch(f[1]);
    EXPECT_EQ(f.Cache.CacheText(), AnsiString(1, ZELPacketCacheEntry) + "01E7");
    EXPECT_EQ(f.Cache.PosText(), AnsiString(1, ZELPacketCachePosition) + "01\r\n");
    EXPECT_EQ(f.Entries, 2);
    f.Cache.TextsFor(f[1]);
    f.Cache.Touch(f[1]);
    EXPECT_EQ(f.Entries, 2) << "the texts are still client 1's";
    f.Cache.TextsFor(f[0]);
    EXPECT_EQ(f.Cache.CacheText(), AnsiString(1, ZELPacketCacheEntry) + "00E0");
    EXPECT_EQ(f.Entries, 3);
    ++f[0].EntrySerial;
    f.Cache.TextsFor(f[0]);
    EXPECT_EQ(f.Cache.CacheText(), AnsiString(1, ZELPacketCacheEntry) + "00E1") << "a changed entry";
    // A client that lost its position gets one again.
    f.Cache.Remove(f[1]);
    f.Cache.TextsFor(f[1]);
    EXPECT_EQ(f[1].CachePos, 1);
    EXPECT_EQ(f.Cache.PosText(), AnsiString(1, ZELPacketCachePosition) + "01\r\n");
}

TEST(SpeakerCacheTest, HoldsTellsWhetherATargetWasSentTheSendersPosition) {
    TFixture f(2);
    EXPECT_FALSE(TZELNetSpeakerCache::Holds(f[1], f[0])) << "no position";
    f.Cache.Touch(f[0]);
    f.Cache.Touch(f[0]);
    EXPECT_FALSE(TZELNetSpeakerCache::Holds(f[1], f[0]));
    f[1].CacheBitmap = 1u << f[0].CachePos;
    EXPECT_TRUE(TZELNetSpeakerCache::Holds(f[1], f[0]));
}

TEST(SpeakerCacheTest, RecordsOutOfStepWithThePositionsRaise) {
    {
        TFixture f(1);
        f[0].CachePos = 5;  // a position the cache never gave
        EXPECT_THROW(f.Cache.Touch(f[0]), Exception);
    }
    {
        TFixture f(ZELNetCacheSize + 1);
        for (int i = 0; i < ZELNetCacheSize; ++i) f.Cache.Touch(f[size_t(i)]);
        f[0].CachePos = 9;  // the least recently used no longer names its position
        try {
            f.Cache.Touch(f[ZELNetCacheSize]);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(), "Cache sort array element not synchonized");
        }
        EXPECT_EQ(f[ZELNetCacheSize].CachePos, -1);
        EXPECT_TRUE(f.Freed.empty());
    }
}

}  // namespace
}  // namespace zel
