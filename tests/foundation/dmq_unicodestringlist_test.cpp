#include "foundation/dmq_unicodestringlist.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace zel {
namespace {

void* Ptr(uintptr_t v) { return reinterpret_cast<void*>(v); }

TEST(UnicodeStringList, LookUpFoldsOnlyAsciiLetters) {
    TUnicodeStringList l;
    EXPECT_FALSE(l.CaseSensitive());
    EXPECT_EQ(l.AddObjectU(u"Server", Ptr(1)), 0);
    EXPECT_EQ(l.AddObjectU(u"stra\u00dfe", Ptr(2)), 1);
    EXPECT_EQ(l.AddObjectU(u"\u00e9t\u00e9", Ptr(3)), 2);
    EXPECT_EQ(l.AddObjectU(u"\u6100", Ptr(4)), 3);
    EXPECT_EQ(l.AddObjectU(u"server", Ptr(5)), 4);
    struct { const char16_t* look; int32_t want; } cases[] = {
        {u"SERVER", 0}, {u"server", 0}, {u"STRA\u00dfE", 1},
        {u"\u00c9T\u00c9", -1},  // no folding beyond a..z
        {u"\u00e9T\u00e9", 2},
        {u"\u4100", -1},  // a unit whose high byte is "a" is no "A"
        {u"Serve", -1}, {u"", -1},
    };
    for (auto c : cases) EXPECT_EQ(l.IndexOfU(c.look), c.want) << int(c.look[0]);
    EXPECT_EQ(l.GetU(1), u"stra\u00dfe");
    EXPECT_EQ(l.GetObject(3), Ptr(4));
    l.SetObject(3, Ptr(9));
    EXPECT_EQ(l.GetObject(3), Ptr(9));
    l.Delete(0);
    EXPECT_EQ(l.IndexOfU(u"SERVER"), 3);  // the other spelling now
    l.SetCaseSensitive(true);
    EXPECT_EQ(l.IndexOfU(u"SERVER"), -1);
    EXPECT_EQ(l.IndexOfU(u"server"), 3);
}

TEST(UnicodeStringList, SortedListFindsByBisection) {
    TUnicodeStringList l;
    for (const char16_t* s : {u"mike", u"Alpha", u"zulu", u"KILO", u"bravo"}) l.AddObjectU(s, nullptr);
    l.SetSorted(true);
    const char16_t* order[] = {u"Alpha", u"bravo", u"KILO", u"mike", u"zulu"};
    ASSERT_EQ(l.Count(), 5);
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(l.GetU(i), order[i]);
    int32_t at = -1;
    EXPECT_TRUE(l.FindU(u"kilo", at));
    EXPECT_EQ(at, 2);
    EXPECT_FALSE(l.FindU(u"lima", at));
    EXPECT_EQ(at, 3);
    EXPECT_EQ(l.AddObjectU(u"Lima", Ptr(1)), 3);
    EXPECT_EQ(l.IndexOfU(u"LIMA"), 3);
    EXPECT_EQ(l.IndexOfU(u"yankee"), -1);
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_FALSE(l.FindU(u"x", at));
    EXPECT_EQ(at, 0);
}

}  // namespace
}  // namespace zel
