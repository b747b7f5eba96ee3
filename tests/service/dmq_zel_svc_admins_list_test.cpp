#include "service/dmq_zel_svc_admins_list.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/list_owner.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

const std::string ID = "kAFQmDzST7DWlj99KOF]cgkd";
const std::string ID2 = "1B2M2Y8AsgTpgAmY7PhCfgR5";

UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

// A valid id from any 22 letters of the id alphabet.
std::string MakeId(const std::string& body) { return AddIdCheckChars(body); }

TZELSVCListClientData Client(const std::string& id, const std::string& on = "DL1ABC") {
    TZELSVCListClientData c;
    c.Id = id;
    c.NN = "DE", c.CT = "Berlin", c.BC = "2m", c.ON = on;
    c.ClientType = 1;
    return c;
}

// ---------------------------------------------------------------------------------------------
// Lines

class AdminsReadTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(AdminsReadTest, LineTable) {
    const std::string id22 = ID.substr(0, 22);
    struct Row {
        std::string line;
        bool ok;
        bool rewrite;
        int64_t time;
        uint8_t utf8;
    } const rows[] = {
        {"Net|" + ID + "|4445|42|43|44|1|u1700000000|C3A9|||", true, false, 1700000000, 1},
        {"Net|" + ID + "|||||2|", true, false, 0, 0},  // an empty time field: Time 0, no rewrite
        {"Net|" + ID + "|||||2", true, false, 0, 0},   // missing fields are empty
        {"Net|" + ID + "|4||||1|u7", true, false, 7, 0},  // one hex digit decodes to nothing
        {"Net|" + ID + "|||||1|u1|||||x|y|z|w", true, false, 1, 0},  // fields past 12 ignored
        {"Net|" + ID + "|||||0|||||FF", true, false, 0, 0},     // invalid UTF-8 kept, not shown
        {"Net|" + ID + "|||||0||C3A9|||FF", true, false, 0, 0},
        // Older forms, marked for rewriting.
        {"Net|" + id22 + "|||||0|u5", true, true, 5, 0},
        {"Net|" + id22 + "==|||||0|u5", true, true, 5, 0},
        {"Net|" + ID + "|||||0|20231114221320000", true, true, 1700000000, 0},
        {"Net|" + ID + "|||||0|u0", true, true, 0, 0},
        {"Net|" + ID + "|||||0|1700000000", true, true, 0, 0},
    };
    for (const Row& r : rows) {
        TZELSVCAdminRecord rec;
        bool rewrite = false;
        AnsiString reason;
        ASSERT_EQ(ParseAdminLine(rec, r.line, rewrite, reason), r.ok) << r.line << " " << reason;
        EXPECT_EQ(rewrite, r.rewrite) << r.line;
        EXPECT_EQ(rec.Data.Id, ID) << r.line;
        EXPECT_EQ(rec.Data.Time, r.time) << r.line;
        EXPECT_EQ(rec.Data.Utf8, r.utf8) << r.line;
        EXPECT_EQ(rec.Network, u"Net");
    }
    TZELSVCAdminRecord rec;
    bool rewrite = false;
    AnsiString reason;
    ASSERT_TRUE(ParseAdminLine(rec, "Net|" + ID + "|4445|42|43|44|1|u1|C3A9|||FF", rewrite, reason));
    EXPECT_EQ(rec.Data.NN, "DE");
    EXPECT_EQ(rec.Data.ClientType, 1);
    EXPECT_EQ(rec.Data.NN8, "\xC3\xA9");
    EXPECT_EQ(rec.Data.ON8, "\xFF");
}

TEST_F(AdminsReadTest, InvalidLinesAreDroppedWithOneWarningEach) {
    const std::vector<std::string> bad = {
        "Net",                                    // fewer than 2 fields
        "|" + ID + "|||||1|",                     // no network
        "Net\xC3|" + ID + "|||||1|",              // network not UTF-8
        "Net|" + ID.substr(0, 23) + "|||||1|",    // id length
        "Net|" + ID.substr(0, 22) + "xx|||||1|",  // check characters
        "Net|" + ID + "|4G||||1|",                // bad hex
        "Net|" + ID + "|414||||1|",               // odd digit count
        "Net|" + ID + "|||||3|",                  // client type
        "Net|" + ID + "||||||",                   // client type missing
        "Net|" + ID + "|||||1||ZZ",               // bad hex in a UTF-8 field
    };
    std::string data = "# header\r\nNet|" + ID + "|||||1|u3\r\n";
    for (const auto& l : bad) data += l + "\r\n";
    Put(Path("admins.dat"), data);
    bool rewrite = false;
    std::vector<int32_t> lines;
    auto chain = ReadAdminsFile(U(Path("admins.dat")), rewrite, [&](int32_t n, AnsiView why) {
        EXPECT_FALSE(why.empty());
        lines.push_back(n);
    });
    EXPECT_TRUE(rewrite);
    std::vector<int32_t> expected;
    for (size_t i = 0; i < bad.size(); ++i) expected.push_back(static_cast<int32_t>(i) + 3);
    EXPECT_EQ(lines, expected);
    ASSERT_FALSE(chain.Empty());
    EXPECT_EQ(chain.Head()->Data.Time, 3);
    EXPECT_EQ(chain.Head()->Next, nullptr);
}

TEST_F(AdminsReadTest, NewestLineFirstAndNothingOnAnError) {
    Put(Path("admins.dat"), "\xEF\xBB\xBFNet|" + ID + "|||||1|u1\nNet|" + ID2 + "|||||1|u2");
    bool rewrite = false;
    auto chain = ReadAdminsFile(U(Path("admins.dat")), rewrite);
    EXPECT_FALSE(rewrite);
    ASSERT_NE(chain.Head(), nullptr);
    EXPECT_EQ(chain.Head()->Data.Id, ID2);
    ASSERT_NE(chain.Head()->Next, nullptr);
    EXPECT_EQ(chain.Head()->Next->Data.Id, ID);

    EXPECT_THROW(ReadAdminsFile(U(dir_), rewrite), EListFileError);
    EXPECT_THROW(ReadAdminsFile(U(Path("none.dat")), rewrite), EListFileMissing);
}

// ---------------------------------------------------------------------------------------------
// Texts

TEST(AdminsTextTest, GoldenTextsAndTheFileLineReadsBack) {
    test::RecordingNetwork net;
    TZELSVCAdmin a(net);
    TZELSVCAdminData d;
    d.Time = 1700000000;
    d.Id = ID;
    d.NN = "DE", d.CT = "Berlin", d.BC = "2m", d.ON = "DL1ABC J\xF6rg";
    d.NN8 = "DE", d.CT8 = "Berlin", d.BC8 = "2m", d.ON8 = "DL1ABC J\xC3\xB6rg";
    d.ClientType = 1;
    d.Utf8 = 1;
    a.AssignData(d);
    EXPECT_EQ(a.ProtoLine,
              "<NN>DE</NN><CT>Berlin</CT><BC>2m</BC><CM>1</CM><ON>DL1ABC J\xF6rg</ON>"
              "<ID>kAFQmDzST7DWlj99KOF]cgkd</ID>\r\n");
    EXPECT_EQ(a.CommandLine,
              "11502DE606Berlin3022m20CDL1ABC J\xC3\xB6rg818kAFQmDzST7DWlj99KOF]cgkdC0A1700000000\r\n");
    EXPECT_EQ(a.FileLine,
              "Net|kAFQmDzST7DWlj99KOF]cgkd|4445|4265726C696E|326D|444C31414243204AF67267|1|u1700000000|4445|"
              "4265726C696E|326D|444C31414243204AC3B67267\r\n");

    // The 8-bit forms in the command line when the UTF-8 ones are not to be shown; Time 0 empty.
    d.Utf8 = 0;
    d.Time = 0;
    a.AssignData(d);
    EXPECT_EQ(a.CommandLine, "01502DE606Berlin3022m20BDL1ABC J\xF6rg818kAFQmDzST7DWlj99KOF]cgkdC010\r\n");
    EXPECT_NE(a.FileLine.find("|1||4445|"), std::string::npos);

    for (int64_t t : {int64_t{0}, int64_t{1700000000}}) {
        d.Time = t;
        d.Utf8 = 1;
        a.AssignData(d);
        TZELSVCAdminRecord rec;
        bool rewrite = false;
        AnsiString reason;
        ASSERT_TRUE(ParseAdminLine(rec, a.FileLine.substr(0, a.FileLine.size() - 2), rewrite, reason));
        EXPECT_FALSE(rewrite);
        EXPECT_EQ(rec.Network, u"Net");
        EXPECT_TRUE(AdminValuesEqual(rec.Data, d));
        EXPECT_EQ(rec.Data.Time, d.Time);
        EXPECT_EQ(rec.Data.Utf8, d.Utf8);
    }
}

// ---------------------------------------------------------------------------------------------
// List operations

TEST(AdminsListTest, AddClient) {
    test::RecordingNetwork net;
    TZELSVCAdminList list;
    const int64_t before = GetUnixTime();
    EXPECT_TRUE(AdminsListAddClient(list, Client(ID), net));  // new: stamped now
    ASSERT_EQ(list.Count(), 1);
    TZELSVCAdmin* e = list.Get(0);
    EXPECT_GE(e->Data.Time, before);
    EXPECT_LE(e->Data.Time, GetUnixTime());
    e->Data.Time = 1000;  // an older entry
    list.ChangeTimeKey(e);

    struct {
        const char* what;
        TZELSVCListClientData client;
        bool changed;
        std::string on;
    } rows[] = {
        {"identical", Client(ID), false, "DL1ABC"},
        {"changed values", Client(ID, "DL1XYZ"), true, "DL1XYZ"},
        {"only the UTF-8 flag differs", Client(ID, "DL1XYZ"), false, "DL1XYZ"},
        {"not online: id only", TZELSVCListClientData{}, false, "DL1XYZ"},
    };
    rows[2].client.Utf8 = 1;
    rows[3].client.Id = ID;
    rows[3].client.Online = false;
    for (const auto& r : rows) {
        EXPECT_EQ(AdminsListAddClient(list, r.client, net), r.changed) << r.what;
        EXPECT_EQ(list.Get(0)->Data.ON, r.on) << r.what;
        EXPECT_EQ(list.Get(0)->Data.Time, 1000) << r.what;  // the old time stays
        EXPECT_NE(list.Get(0)->FileLine.find(StrToHexA(r.on)), std::string::npos) << r.what;
    }
    EXPECT_TRUE(AdminsListAddClient(list, Client(ID2), net));
    test::ExpectTimeIndexMatches(list);
    EXPECT_TRUE(AdminsListRemove(list, ID));
    EXPECT_FALSE(AdminsListRemove(list, ID));
    test::ExpectTimeIndexMatches(list);
    EXPECT_EQ(test::ListKeys(list), std::vector<std::string>{ID2});
    EXPECT_TRUE(net.Calls.empty());
}

TEST(AdminsListTest, MergeRecordKeepsANewerOrEqualEntry) {
    test::RecordingNetwork net;
    TZELSVCAdminList list;
    TZELSVCAdminData d;
    d.Id = ID;
    d.ON = "A";
    d.Time = 100;
    EXPECT_TRUE(AdminsListMergeRecord(list, d, net));
    d.ON = "B";
    EXPECT_FALSE(AdminsListMergeRecord(list, d, net));  // equal time
    d.Time = 99;
    EXPECT_FALSE(AdminsListMergeRecord(list, d, net));
    EXPECT_EQ(list.Get(0)->Data.ON, "A");
    d.Time = 101;
    EXPECT_TRUE(AdminsListMergeRecord(list, d, net));
    EXPECT_EQ(list.Get(0)->Data.ON, "B");
    test::ExpectTimeIndexMatches(list);
}

TEST(AdminsListTest, MergeOfAReread) {
    const std::string A = MakeId("AAAAAAAAAAAAAAAAAAAAAA"), B = MakeId("BBBBBBBBBBBBBBBBBBBBBB"),
                      C = MakeId("CCCCCCCCCCCCCCCCCCCCCC"), D = MakeId("DDDDDDDDDDDDDDDDDDDDDD");
    for (bool compare : {false, true}) {
        SCOPED_TRACE(compare);
        test::RecordingNetwork net;
        net.Compare = compare;
        TZELSVCAdminList list;
        for (const auto& id : {A, B, C}) AdminsListAddClient(list, Client(id), net);

        // The file: B with another callsign, C as it is, D new (twice: one call), A gone.
        TZELListRecordChain<TZELSVCAdminRecord> chain;
        auto rec = [&](const std::string& id, const std::string& on, int64_t t) {
            auto r = std::make_unique<TZELSVCAdminRecord>();
            r->Network = u"Net";
            r->Data.Id = id;
            r->Data.NN = "DE", r->Data.CT = "Berlin", r->Data.BC = "2m", r->Data.ON = on;
            r->Data.ClientType = 1;
            r->Data.Time = t;
            chain.Push(std::move(r));
        };
        rec(D, "OLD", 1), rec(B, "DL1NEW", 5), rec(C, "DL1ABC", 7), rec(D, "NEW", 2);
        auto groups = GroupListRecords(chain);
        ASSERT_EQ(groups.size(), 1u);

        EXPECT_TRUE(AdminsListMerge(list, *groups[0].Records, net));
        EXPECT_EQ(test::ListKeys(list), (std::vector<std::string>{B, C, D}));
        EXPECT_EQ(net.Calls, (std::vector<std::string>{"role:" + A, "role:" + D}));
        EXPECT_EQ(list.Find(D)->Data.ON, "NEW");
        EXPECT_EQ(list.Find(B)->Data.ON, compare ? "DL1NEW" : "DL1ABC");
        list.RebuildTimeIndex();
        test::ExpectTimeIndexMatches(list);

        // The same file again: nothing changes, nobody is told.
        net.Calls.clear();
        TZELSVCAdminRecordList same;
        for (int32_t i = 0; i < list.Count(); ++i) {
            auto r = std::make_unique<TZELSVCAdminRecord>();
            r->Data = list.Get(i)->Data;
            same.Put(std::move(r));
        }
        EXPECT_FALSE(AdminsListMerge(list, same, net));
        EXPECT_TRUE(net.Calls.empty());
    }
}

}  // namespace
}  // namespace zel
