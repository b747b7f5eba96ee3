#include "service/dmq_zel_svc_rights_list.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_hex.hpp"
#include "tests/support/list_owner.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

TZELSVCListClientData Client(const std::string& email, const std::string& on = "DL1ABC") {
    TZELSVCListClientData c;
    c.EMail = email;
    c.EMailKey = PadKey8A(email);
    c.NN = "DE", c.BC = "70cm", c.ON = on;
    return c;
}

// ---------------------------------------------------------------------------------------------
// Lines

class RightsReadTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(RightsReadTest, LineTable) {
    const std::string mail = StrToHexA("a@b.org");
    struct Row {
        std::string line;
        uint8_t mark;
        bool rewrite;
        int64_t time;
        uint8_t utf8;
    } const rows[] = {
        {"Net|1|" + mail + "|4445||||2|u5||||", 1, false, 5, 0},
        {"Net||" + mail + "|||||2|", 0, false, 0, 0},  // an empty mark is "0"; an empty time 0
        {"Net|0|" + mail + "|||||2|", 0, false, 0, 0},
        {"Net|x|" + mail + "|||||2|", 1, false, 0, 0},  // one character other than '0'
        {"Net|10|" + mail + "|||||2|", 0, false, 0, 0},  // two characters
        {"Net|1|" + mail + "|||||1|u5|C3A9|||", 1, false, 5, 1},
        // Older or broken forms, kept and marked.
        {"Net|1|" + mail + "|||||1|20231114221320000", 1, true, 1700000000, 0},
        {"Net|1|" + mail + "|||||1|u0", 1, true, 0, 0},
        {"Net|1|" + mail + "|||||1|u5|C3A9|FF||", 1, true, 5, 0},  // UTF-8 forms cleared
    };
    for (const Row& r : rows) {
        TZELSVCAccessRecord rec;
        bool rewrite = false;
        AnsiString reason;
        ASSERT_TRUE(ParseAccessLine(rec, r.line, rewrite, reason)) << r.line << " " << reason;
        EXPECT_EQ(rec.Data.Mark, r.mark) << r.line;
        EXPECT_EQ(rewrite, r.rewrite) << r.line;
        EXPECT_EQ(rec.Data.Time, r.time) << r.line;
        EXPECT_EQ(rec.Data.Utf8, r.utf8) << r.line;
        EXPECT_EQ(rec.Data.EMail, "a@b.org") << r.line;
        EXPECT_EQ(rec.Data.Key, AnsiString("a@b.org\0", 8)) << r.line;
        if (r.rewrite && r.utf8 == 0) {
            EXPECT_EQ(rec.Data.NN8, "");
        }
    }
}

TEST_F(RightsReadTest, InvalidLinesAreDroppedWithOneWarningEach) {
    const std::string mail = StrToHexA("a@b.org");
    const std::vector<std::string> bad = {
        "Net|1",                            // fewer than 3 fields
        "Net|1||||||2|",                    // no e-mail
        "Net|1|6|||||2|",                   // an e-mail that decodes to nothing
        "Net|1|ZZ|||||2|",                  // not hex
        "Net|1|" + mail + "|4G|||2|",       // bad hex
        "Net|1|" + mail + "|||||5|",         // client type
        "|1|" + mail + "|||||2|",            // no network
        "Net|1|" + mail + "|||||2||||ZZ|",   // bad hex in a UTF-8 field
        "Net|1|" + mail + "00|||||2|",       // a NUL would share the key of the e-mail without it
    };
    std::string data;
    for (const auto& l : bad) data += l + "\n";
    data += "Net|1|" + mail + "|||||2|u9\n";
    Put(Path("rights.dat"), data);
    bool rewrite = false;
    std::vector<int32_t> warned;
    auto chain = ReadAccessFile(U(Path("rights.dat")), rewrite, [&](int32_t n, AnsiView) { warned.push_back(n); });
    EXPECT_TRUE(rewrite);
    EXPECT_EQ(warned, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_NE(chain.Head(), nullptr);
    EXPECT_EQ(chain.Head()->Data.Time, 9);
    EXPECT_EQ(chain.Head()->Next, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Texts

TEST(RightsTextTest, GoldenTextsOfAMarkedEntry) {
    test::RecordingNetwork net;
    TZELSVCAccessData d;
    d.Time = 5;
    d.EMail = "a@b.org";
    d.Key = PadKey8A(d.EMail);
    d.NN = "DE", d.BC = "70cm", d.ON = "DL1ABC";
    d.Mark = 1;
    TZELSVCAccess e(net, d);
    EXPECT_EQ(e.ProtoLine, "<AI>0</AI><NN>DE</NN><CT></CT><BC>70cm</BC><ON>DL1ABC</ON><ID>a@b.org</ID>\r\n");
    EXPECT_EQ(e.CommandLine, "00502DE60030470cm206DL1ABC007a@b.orgC015\r\n");
    EXPECT_EQ(e.FileLine, "Net|1|6140622E6F7267|4445||3730636D|444C31414243|2|u5||||\r\n");

    EXPECT_FALSE(e.SetMark(1));
    EXPECT_TRUE(e.SetMark(0));  // the texts follow the mark
    EXPECT_EQ(e.ProtoLine.substr(0, 10), "<AI>1</AI>");
    EXPECT_EQ(e.CommandLine.substr(0, 2), "01");
    EXPECT_EQ(e.FileLine.substr(0, 6), "Net|0|");

    for (uint8_t mark : {0, 1}) {
        e.SetMark(mark);
        TZELSVCAccessRecord rec;
        bool rewrite = false;
        AnsiString reason;
        ASSERT_TRUE(ParseAccessLine(rec, e.FileLine.substr(0, e.FileLine.size() - 2), rewrite, reason));
        EXPECT_FALSE(rewrite);
        EXPECT_TRUE(AccessValuesEqual(rec.Data, e.Data));
        EXPECT_EQ(rec.Data.Mark, mark);
        EXPECT_EQ(rec.Data.Key, e.Data.Key);
    }
}

// ---------------------------------------------------------------------------------------------
// List operations

TEST(RightsListTest, AddClientRemoveAndMark) {
    test::RecordingNetwork net;
    TZELSVCAccessList list;
    const int64_t before = GetUnixTime();
    EXPECT_TRUE(AccessListAddClient(list, Client("a@b.org"), net));
    TZELSVCAccess* e = list.Find(PadKey8A("a@b.org"));
    ASSERT_NE(e, nullptr);
    EXPECT_GE(e->Data.Time, before);
    EXPECT_EQ(e->Data.Mark, 0);
    e->Data.Time = 1000;
    list.ChangeTimeKey(e);
    EXPECT_TRUE(AccessListSetMark(list, "a@b.org", 1));

    TZELSVCListClientData offline;
    offline.EMail = "a@b.org";
    offline.EMailKey = PadKey8A("a@b.org");
    offline.Online = false;
    struct {
        const char* what;
        TZELSVCListClientData client;
        bool changed;
        std::string on;
    } const rows[] = {
        {"identical", Client("a@b.org"), false, "DL1ABC"},
        {"changed values", Client("a@b.org", "DL1NEW"), true, "DL1NEW"},
        {"not online: key only", offline, false, "DL1NEW"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(AccessListAddClient(list, r.client, net), r.changed) << r.what;
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.Get(0)->Data.ON, r.on) << r.what;
        EXPECT_EQ(list.Get(0)->Data.Time, 1000) << r.what;  // time and mark stay
        EXPECT_EQ(list.Get(0)->Data.Mark, 1) << r.what;
    }
    EXPECT_FALSE(AccessListSetMark(list, "x@y", 1));
    // An owner's or the command port's e-mail that would close the ID element is never taken.
    for (const char* forged : {"x@y</ID><ID>1B2M2Y8AsgTpgAmY7PhCfgR5", "x@y>", "x@\r\ny"}) {
        TZELSVCListClientData c = offline;
        c.EMail = forged;
        c.EMailKey = PadKey8A(forged);
        EXPECT_FALSE(AccessListAddClient(list, c, net)) << forged;
    }
    EXPECT_TRUE(AccessListAddClient(list, Client("x@y"), net));
    test::ExpectTimeIndexMatches(list);
    EXPECT_TRUE(AccessListRemove(list, "a@b.org"));
    EXPECT_FALSE(AccessListRemove(list, "a@b.org"));
    EXPECT_EQ(test::ListKeys(list), std::vector<std::string>{PadKey8A("x@y")});
    test::ExpectTimeIndexMatches(list);
    EXPECT_TRUE(net.Calls.empty());
}

// Keys with bytes from 0x80 up: the list's order and the merge's comparison must agree (an order
// of signed bytes would walk past equal keys and replace every entry).
TEST(RightsListTest, MergeOfAReread) {
    const std::vector<std::string> mails = {"zz@x", "\xC3\xA9t\xC3\xA9@x", "aa@x", "\xFF\xFE@x", "m@x"};
    for (bool compare : {false, true}) {
        SCOPED_TRACE(compare);
        test::RecordingNetwork net;
        net.Compare = compare;
        TZELSVCAccessList list;
        for (const auto& m : mails) AccessListAddClient(list, Client(m), net);
        for (int32_t i = 1; i < list.Count(); ++i) EXPECT_LT(CompareKey8(list.Key(i - 1), list.Key(i)), 0);

        auto fileOf = [&](auto change) {
            auto file = std::make_unique<TZELSVCAccessRecordList>();
            for (int32_t i = 0; i < list.Count(); ++i) {
                auto r = std::make_unique<TZELSVCAccessRecord>();
                r->Data = list.Get(i)->Data;
                change(r->Data);
                file->Put(std::move(r));
            }
            return file;
        };
        // The same file: nothing changes.
        const TZELSVCAccess* first = list.Find(PadKey8A("\xFF\xFE@x"));
        auto same = fileOf([](TZELSVCAccessData&) {});
        EXPECT_FALSE(AccessListMerge(list, *same, net));
        EXPECT_EQ(list.Find(PadKey8A("\xFF\xFE@x")), first);  // the entries themselves stay

        // A mark changed by the operator is taken with or without RereadCompareAttr; other values
        // only with it.
        auto marked = fileOf([](TZELSVCAccessData& d) {
            if (d.EMail == "\xC3\xA9t\xC3\xA9@x") d.Mark = 1;
            if (d.EMail == "m@x") d.ON = "DL1NEW";
        });
        EXPECT_TRUE(AccessListMerge(list, *marked, net));
        EXPECT_EQ(list.Find(PadKey8A("\xC3\xA9t\xC3\xA9@x"))->Data.Mark, 1);
        EXPECT_EQ(list.Find(PadKey8A("m@x"))->Data.ON, compare ? "DL1NEW" : "DL1ABC");

        // One entry gone, one new.
        auto file = fileOf([](TZELSVCAccessData&) {});
        auto r = std::make_unique<TZELSVCAccessRecord>();
        r->Data.EMail = "\xE0@x";
        r->Data.Key = PadKey8A(r->Data.EMail);
        file->Put(std::move(r));
        std::vector<std::string> expected = test::ListKeys(list);
        expected.erase(std::find(expected.begin(), expected.end(), PadKey8A("aa@x")));
        TZELSVCAccessRecordList shorter;
        for (int32_t i = 0; i < file->Count(); ++i)
            if (file->Get(i)->Data.EMail != "aa@x") shorter.Put(file->Take(i));
        EXPECT_TRUE(AccessListMerge(list, shorter, net));
        expected.push_back(PadKey8A("\xE0@x"));
        std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
            return CompareKey8(a, b) < 0;
        });
        EXPECT_EQ(test::ListKeys(list), expected);
        EXPECT_TRUE(net.Calls.empty());
        list.RebuildTimeIndex();
        test::ExpectTimeIndexMatches(list);
    }
}

TEST(RightsListTest, MergeRecordKeepsANewerOrEqualEntry) {
    test::RecordingNetwork net;
    TZELSVCAccessList list;
    TZELSVCAccessData d;
    d.EMail = "a@b";
    d.Key = PadKey8A(d.EMail);
    d.Time = 10;
    EXPECT_TRUE(AccessListMergeRecord(list, d, net));
    d.Mark = 1;
    EXPECT_FALSE(AccessListMergeRecord(list, d, net));
    d.Time = 11;
    EXPECT_TRUE(AccessListMergeRecord(list, d, net));
    EXPECT_EQ(list.Get(0)->Data.Mark, 1);
    test::ExpectTimeIndexMatches(list);
}

}  // namespace
}  // namespace zel
