#include "clients/dmq_zel_svc_member_lists.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "clients/dmq_zel_svc_packets.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/socketless_client.hpp"

namespace zel::test {
namespace {

// A member as the lists see it: its entries and sort key from its callsign, no socket, no service.
class TListMember : public SocketlessClient {
public:
    TListMember(const std::string& Call, uint32_t Flags) : SocketlessClient(nullptr, -1, "", 0, 0) {
        Callsign = CallsignUtf8 = Call;
        Id = CalcSourceId(Call + "@example.org");
        Country = CountryUtf8 = "Land";
        City = CityUtf8 = "Town";
        Band = BandUtf8 = "PC Only";
        ClientFlags.fetch_or(Flags);
        BuildListEntries();
    }
};

std::string Entry(const TZELSVCContext& C) {
    TStringBldA b;
    AddCompactEntry(b, &C);
    return std::string(StrBldAView(b));
}

std::string Head(char Type, uint16_t Talker) {
    return std::string{Type, static_cast<char>(Talker >> 8), static_cast<char>(Talker & 0xFF)};
}

// Members A1 to E1 (listed in that order by their callsigns), of which the test makes some
// members of the network.
class MemberListsTest : public ::testing::Test {
protected:
    MemberListsTest() : Lists(0) {
        for (const char* call : {"A1", "B1", "C1", "D1", "E1"})
            M.push_back(std::make_unique<TListMember>(call, ZELClientUtf8 | 0x300));
    }
    TListMember& At(size_t I) { return *M[I]; }
    void Join(size_t I) { Members.emplace(M[I]->SortKey, M[I].get()); }
    void Part(size_t I) { Part(I, Lists); }
    void Part(size_t I, TZELNetMemberLists& L) {
        Members.erase(M[I]->SortKey);
        L.Unlist(M[I].get());
    }
    std::vector<uint16_t> Indexes() const {
        std::vector<uint16_t> v;
        for (const TZELSVCContext* c : Lists.ListedOrder()) v.push_back(c->ListIndex);
        return v;
    }

    std::vector<std::unique_ptr<TListMember>> M;
    TZELNetMembers Members;
    TZELNetMemberLists Lists;
};

TEST_F(MemberListsTest, FullListsCountAndTheirMembersByForm) {
    for (size_t i : {2, 0, 1}) Join(i);
    Lists.ListAll(Members);
    EXPECT_EQ(Indexes(), (std::vector<uint16_t>{1, 2, 3}));
    ASSERT_EQ(Lists.ListedCount(), 3);
    EXPECT_EQ(Lists.ListedOrder()[0], &At(0));

    // No member takes counts: no count text, and none is sent.
    Lists.BuildFull(Members);
    EXPECT_TRUE(Lists.CountText().empty());
    EXPECT_EQ(Lists.FullText(),
              Head(ZELPacketMemberList, 0) + "3\r\n" + At(0).ClassicEntry + At(1).ClassicEntry + At(2).ClassicEntry);
    EXPECT_EQ(Lists.FullTextUtf8(),
              Head(ZELPacketMemberListUtf8, 0) + "3\r\n" + Entry(At(0)) + Entry(At(1)) + Entry(At(2)));

    At(1).ClientFlags.fetch_and(~ZELClientListFormatMask);
    At(1).ClientFlags.fetch_or(0x200);
    Lists.BuildFull(Members);
    EXPECT_EQ(Lists.CountText(), std::string(1, ZELPacketMemberCount) + "3\r\n");

    // Each text with the group of members that takes it, in sending order, the talker's index in
    // the three shared texts.
    (void)Lists.Merge(Members);
    std::vector<std::tuple<std::string, uint32_t, uint32_t>> sent;
    Lists.Publish(0x0102, [&](AnsiView T, uint32_t Mask, uint32_t Value) { sent.emplace_back(T, Mask, Value); });
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], std::make_tuple(std::string(1, ZELPacketMemberCount) + "3\r\n", 0x800700u, 0x200u));
    EXPECT_EQ(std::get<0>(sent[1]).substr(0, 3), Head(ZELPacketMemberListUtf8, 0x0102));
    EXPECT_EQ(std::make_tuple(std::get<1>(sent[1]), std::get<2>(sent[1])), std::make_tuple(0xC00780u, 0x400380u));
    EXPECT_EQ(std::get<0>(sent[2]), Head(ZELPacketMemberDiff, 0x0102) + "000000\r\n");
    EXPECT_EQ(std::make_tuple(std::get<1>(sent[2]), std::get<2>(sent[2])), std::make_tuple(0xC00780u, 0x380u));
    EXPECT_EQ(std::get<0>(sent[3]).substr(0, 3), Head(ZELPacketMemberList, 0x0102));
    EXPECT_EQ(std::make_tuple(std::get<1>(sent[3]), std::get<2>(sent[3])), std::make_tuple(0x800700u, 0u));
}

TEST_F(MemberListsTest, DifferenceCountsPositionsInTheListAsChangedSoFar) {
    for (size_t i : {0, 1, 2, 3}) Join(i);
    Lists.ListAll(Members);
    // Two neighbours leave: their slots stay empty, the others keep their indexes until the merge.
    Part(1);
    Part(2);
    EXPECT_EQ(Lists.ListedCount(), 2);
    EXPECT_EQ(Lists.Listed().size(), 4u);
    EXPECT_EQ(Indexes(), (std::vector<uint16_t>{1, 4}));
    // A status change of D1, an entry change of A1, and E1 joins behind D1.
    At(3).ClientFlags.fetch_or(ZELClientChanged);
    At(0).ClientFlags.fetch_or(ZELClientEntryChanged);
    Join(4);
    const uint32_t serialA = At(0).EntrySerial, serialD = At(3).EntrySerial;

    const TZELNetListChanges ch = Lists.Merge(Members);
    EXPECT_TRUE(ch.Members);
    EXPECT_TRUE(ch.Entry);
    EXPECT_TRUE(ch.Status);
    EXPECT_EQ(Lists.DiffText(), Head(ZELPacketMemberDiff, 0) + "000004\r\n" +  //
                                    "0000=" + Entry(At(0)) +                    //
                                    "0001-2\r\n" +                              //
                                    "0001*" + Entry(At(3)).substr(0, 2) + "\r\n" + "0002+" + Entry(At(4)));
    EXPECT_EQ(Indexes(), (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(Lists.Listed().size(), 3u);
    EXPECT_EQ(At(0).EntrySerial, serialA + 1);
    EXPECT_EQ(At(3).EntrySerial, serialD + 1);
    EXPECT_EQ(At(3).ClientFlags.load() & (ZELClientChanged | ZELClientEntryChanged), 0u);
    EXPECT_EQ(At(0).ClientFlags.load() & (ZELClientChanged | ZELClientEntryChanged), 0u);

    // Nothing changed since: no line, nothing to tell.
    const TZELNetListChanges none = Lists.Merge(Members);
    EXPECT_FALSE(none.Members || none.Entry || none.Status);
    EXPECT_EQ(Lists.DiffText(), Head(ZELPacketMemberDiff, 0) + "000000\r\n");

    // The last member leaves; one that joins in front moves everyone up one place.
    Part(4);
    Join(1);
    EXPECT_TRUE(Lists.Merge(Members).Members);
    EXPECT_EQ(Lists.DiffText(), Head(ZELPacketMemberDiff, 0) + "000002\r\n" + "0001+" + Entry(At(1)) + "0003-1\r\n");
    EXPECT_EQ(Indexes(), (std::vector<uint16_t>{1, 2, 3}));
    EXPECT_EQ(At(3).ListIndex, 3);
}

TEST_F(MemberListsTest, OutputLimitFollowsTheListOnceItIsPublished) {
    TZELNetMemberLists lists(5000);
    EXPECT_EQ(TZELNetMemberLists(0).OutputLimit(), 131072);
    for (size_t i : {0, 1, 2}) Join(i);
    lists.ListAll(Members);
    lists.BuildFull(Members);
    // Before the first list the configured limit holds.
    lists.UpdateOutputLimit(3, 10, 1000);
    EXPECT_EQ(lists.OutputLimit(), 5000);
    lists.Publish(0, [](AnsiView, uint32_t, uint32_t) {});
    lists.UpdateOutputLimit(3, 10, 1000);
    const int32_t full = static_cast<int32_t>(lists.FullText().size()) * 3 + 17000;
    EXPECT_EQ(lists.OutputLimit(), full);
    // A shorter list lowers the limit only after the wait.
    Part(0, lists);
    Part(1, lists);
    (void)lists.Merge(Members);
    lists.BuildFull(Members);
    lists.UpdateOutputLimit(3, 10, 2000);
    const int32_t lower = static_cast<int32_t>(lists.FullText().size()) * 3 + 17000;
    ASSERT_LT(lower, full);
    lists.ApplyLowerLimit(6999, 5000);
    EXPECT_EQ(lists.OutputLimit(), full);
    lists.ApplyLowerLimit(7000, 5000);
    EXPECT_EQ(lists.OutputLimit(), lower);
    // A longer one holds at once.
    Join(0);
    (void)lists.Merge(Members);
    lists.BuildFull(Members);
    lists.UpdateOutputLimit(3, 10, 8000);
    EXPECT_GT(lists.OutputLimit(), lower);
    EXPECT_EQ(lists.OutputLimit(), static_cast<int32_t>(lists.FullText().size()) * 3 + 17000);
}

}  // namespace
}  // namespace zel::test
