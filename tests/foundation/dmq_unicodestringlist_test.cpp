#include "foundation/dmq_unicodestringlist.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace zel {
namespace {

std::unique_ptr<int> Obj(int v) { return std::make_unique<int>(v); }

// Counts its destructions, to show the list frees what it owns.
struct Tracked {
    explicit Tracked(int& freed) : freed_(freed) {}
    ~Tracked() { ++freed_; }
    int& freed_;
};

TEST(UnicodeStringList, LookUpFoldsOnlyAsciiLetters) {
    TUnicodeStringList<int> l;
    EXPECT_FALSE(l.CaseSensitive());
    EXPECT_EQ(l.AddObjectU(u"Server", Obj(1)), 0);
    EXPECT_EQ(l.AddObjectU(u"stra\u00dfe", Obj(2)), 1);
    EXPECT_EQ(l.AddObjectU(u"\u00e9t\u00e9", Obj(3)), 2);
    EXPECT_EQ(l.AddObjectU(u"\u6100", Obj(4)), 3);
    EXPECT_EQ(l.AddObjectU(u"server", Obj(5)), 4);
    struct { const char16_t* look; int32_t want; } cases[] = {
        {u"SERVER", 0}, {u"server", 0}, {u"STRA\u00dfE", 1},
        {u"\u00c9T\u00c9", -1},  // no folding beyond a..z
        {u"\u00e9T\u00e9", 2},
        {u"\u4100", -1},  // a unit whose high byte is "a" is no "A"
        {u"Serve", -1}, {u"", -1},
    };
    for (auto c : cases) EXPECT_EQ(l.IndexOfU(c.look), c.want) << int(c.look[0]);
    EXPECT_EQ(l.GetU(1), u"stra\u00dfe");
    EXPECT_EQ(*l.GetObject(3), 4);
    l.SetObject(3, Obj(9));
    EXPECT_EQ(*l.GetObject(3), 9);
    l.Delete(0);
    EXPECT_EQ(l.IndexOfU(u"SERVER"), 3);  // the other spelling now
    l.SetCaseSensitive(true);
    EXPECT_EQ(l.IndexOfU(u"SERVER"), -1);
    EXPECT_EQ(l.IndexOfU(u"server"), 3);
}

TEST(UnicodeStringList, OwnsItsObjects) {
    int freed = 0;
    {
        TUnicodeStringList<Tracked> l;
        l.AddObjectU(u"a", std::make_unique<Tracked>(freed));
        l.AddObjectU(u"b", std::make_unique<Tracked>(freed));
        l.AddObjectU(u"c", nullptr);
        l.SetObject(0, std::make_unique<Tracked>(freed));  // the replaced one is freed
        EXPECT_EQ(freed, 1);
        l.Delete(1);
        EXPECT_EQ(freed, 2);
        EXPECT_EQ(l.GetObject(1), nullptr);
    }
    EXPECT_EQ(freed, 3);
}

TEST(UnicodeStringList, SortedListFindsByBisection) {
    TUnicodeStringList<int> l;
    for (const char16_t* s : {u"mike", u"Alpha", u"zulu", u"KILO", u"bravo"}) l.AddObjectU(s, Obj(0));
    l.SetSorted(true);
    const char16_t* order[] = {u"Alpha", u"bravo", u"KILO", u"mike", u"zulu"};
    ASSERT_EQ(l.Count(), 5);
    for (int32_t i = 0; i < 5; ++i) EXPECT_EQ(l.GetU(i), order[i]);
    int32_t at = -1;
    EXPECT_TRUE(l.FindU(u"kilo", at));
    EXPECT_EQ(at, 2);
    EXPECT_FALSE(l.FindU(u"lima", at));
    EXPECT_EQ(at, 3);
    EXPECT_EQ(l.AddObjectU(u"Lima", Obj(1)), 3);
    EXPECT_EQ(l.IndexOfU(u"LIMA"), 3);
    EXPECT_EQ(l.IndexOfU(u"yankee"), -1);
    l.Clear();
    EXPECT_EQ(l.Count(), 0);
    EXPECT_FALSE(l.FindU(u"x", at));
    EXPECT_EQ(at, 0);
}

}  // namespace
}  // namespace zel
