#include "service/dmq_zel_svc_owner_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/dmq_zel_svc_datafile.hpp"
#include "tests/support/list_file_test.hpp"

namespace zel {
namespace {

using test::AsciiU;

class OwnerListTest : public test::ListFileTest {
protected:
    bool Read(const std::string& data, TZELSVCOwnerData& owner, bool& rewrite) {
        Put(Path("owner.dat"), data);
        owner = {"stale", "stale"};
        return ReadOwnerFile(UPath("owner.dat"), owner, rewrite, Warn());
    }
};

TEST_F(OwnerListTest, LineRules) {
    struct {
        std::string line;
        bool parsed;
        std::string on, on8;
    } const rows[] = {
        {"CALLSIGN|4F4B31414243|C396", true, "OK1ABC", "\xC3\x96"},
        {"CALLSIGN||", true, "", ""},
        {"CALLSIGN", true, "", ""},
        {" CALLSIGN | 41 |42 ", true, "A", "B"},
        {"CALLSIGN|41|42|x|y", true, "A", "B"},
        {"callsign|41|42", false, "", ""},  // the word is case-sensitive
        {"CALLSIGNS|41|42", false, "", ""},
        {"CALLSIGN|4G|42", false, "", ""},
        {"CALLSIGN|41|421", false, "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        TZELSVCOwnerData owner;
        bool rewrite = false;
        warnings_.clear();
        EXPECT_EQ(Read(r.line + "\r\n", owner, rewrite), r.parsed);
        EXPECT_EQ(owner.ON, r.on);
        EXPECT_EQ(owner.ON8, r.on8);
        EXPECT_EQ(rewrite, !r.parsed);
        EXPECT_EQ(warnings_.size(), r.parsed ? 0u : 1u);
    }
}

// A bad line after a valid one must not clear or half-fill the owner that the next save writes.
TEST_F(OwnerListTest, TheLastValidLineDecides) {
    struct {
        std::string data;
        std::string on, on8;
        bool rewrite;
    } const rows[] = {
        {"CALLSIGN|41|42\r\nCALLSIGN|43|ZZ\r\n", "A", "B", true},
        {"CALLSIGN|41|42\r\ncallsign|43|44\r\n", "A", "B", true},
        {"CALLSIGN|41|42\r\nCALLSIGN|43|44\r\n", "C", "D", false},
        {"CALLSIGN|41|ZZ\r\nCALLSIGN|43|44\r\n", "C", "D", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.data);
        TZELSVCOwnerData owner;
        bool rewrite = false;
        EXPECT_TRUE(Read(r.data, owner, rewrite));
        EXPECT_EQ(owner.ON, r.on);
        EXPECT_EQ(owner.ON8, r.on8);
        EXPECT_EQ(rewrite, r.rewrite);
    }
}

TEST_F(OwnerListTest, EmptyOrMissingFileGivesNoOwner) {
    TZELSVCOwnerData owner;
    bool rewrite = false;
    EXPECT_FALSE(Read("# only a comment\r\n", owner, rewrite));
    EXPECT_TRUE(owner.ON.empty() && owner.ON8.empty());
    owner = {"stale", "stale"};
    EXPECT_THROW(ReadOwnerFile(UPath("none.dat"), owner, rewrite, Warn()), EListFileMissing);
    EXPECT_TRUE(owner.ON.empty() && owner.ON8.empty());
    EXPECT_FALSE(rewrite);
}

TEST_F(OwnerListTest, WrittenLineReadsBackEqual) {
    EXPECT_EQ(BuildOwnerLine({}), "CALLSIGN||\r\n");
    const TZELSVCOwnerData owner{"OK1\xD6", "OK1\xC3\x96"};
    EXPECT_EQ(BuildOwnerLine(owner), "CALLSIGN|4F4B31D6|4F4B31C396\r\n");
    for (const TZELSVCOwnerData& o : {owner, TZELSVCOwnerData{}}) {
        WriteDataFile(UPath("owner.dat"), AsciiU(dir_), std::vector<AnsiString>{BuildOwnerLine(o)});
        TZELSVCOwnerData back{"stale", "stale"};
        bool rewrite = false;
        EXPECT_TRUE(ReadOwnerFile(UPath("owner.dat"), back, rewrite, Warn()));
        EXPECT_EQ(back.ON, o.ON);
        EXPECT_EQ(back.ON8, o.ON8);
        EXPECT_FALSE(rewrite);
    }
    EXPECT_TRUE(warnings_.empty());
}

}  // namespace
}  // namespace zel
