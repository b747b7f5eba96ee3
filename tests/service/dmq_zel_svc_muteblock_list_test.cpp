#include "service/dmq_zel_svc_muteblock_list.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <limits>
#include <string>
#include <vector>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/list_owner.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

const std::string ID = "kAFQmDzST7DWlj99KOF]cgkd";
const std::string ID2 = "1B2M2Y8AsgTpgAmY7PhCfgR5";
const std::string A = AddIdCheckChars("AAAAAAAAAAAAAAAAAAAAAA");
const std::string B = AddIdCheckChars("BBBBBBBBBBBBBBBBBBBBBB");
const std::string C = AddIdCheckChars("CCCCCCCCCCCCCCCCCCCCCC");

UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

TZELSVCListClientData Client(const std::string& id, const std::string& on = "DL1ABC") {
    TZELSVCListClientData c;
    c.Id = id;
    c.NN = "DE", c.BC = "70cm", c.ON = on;
    return c;
}

TZELSVCListClientData Setter(const std::string& id, TZELClientPrivilege level) {
    TZELSVCListClientData c;
    c.Id = id;
    c.ON = "DL9XYZ";
    c.ON8 = "DL9XYZ \xC3\xA9";
    c.Privilege = level;
    return c;
}

// ---------------------------------------------------------------------------------------------
// Lines

class MuteBlockReadTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

TEST_F(MuteBlockReadTest, LineTable) {
    const int64_t now = 1700000000;
    const std::string head = "Net|" + ID + "|5345|4445||3730636D|444C31414243|2|";
    const std::string utf8Bad = "|||FF||";  // fields 10 to 14: NN8 invalid
    struct Row {
        std::string line;
        bool rewrite;
        int64_t start, end;
        int32_t duration;
        uint8_t level;
        std::string setter;
        uint8_t utf8;
        std::string ai8;
    } const rows[] = {
        {head + "u1700000000||||||1|" + ID2 + "|", false, 1700000000, 0, 0, 1, ID2, 0, ""},
        {head + "u1699999000|C3A9|C3A9||||3||3600", false, 1699999000, 1700002600, 3600, 3, "", 1, "\xC3\xA9"},
        {head + "u1699996400||||||0||3600", false, 1699996400, 1700000000, 3600, 0, "", 0, ""},  // ends now
        {head + "||||||2||3600", false, 0, 0, 0, 2, "", 0, ""},     // a Duration without Start: permanent
        {head + "u5||||||1||-4", false, 5, 0, 0, 1, "", 0, ""},      // not above 0: permanent
        {head + "u5||||||7|", false, 5, 0, 0, 1, "", 0, ""},         // a level out of range gives 1
        {head + "u5|||||||", false, 5, 0, 0, 1, "", 0, ""},          // so does an empty one
        {head + "u5||||||0|" + ID.substr(0, 23) + "|", false, 5, 0, 0, 0, "", 0, ""},  // setter id refused
        {head + "u5", false, 5, 0, 0, 1, "", 0, ""},
        {head + "u9223372036854775800||||||1||3600", false, 9223372036854775800, std::numeric_limits<int64_t>::max(),
         3600, 1, "", 0, ""},  // a hand-edited Start: End does not overflow
        // Older or broken forms: kept, marked for rewriting.
        {head + "u0||||||1|", true, 0, 0, 0, 1, "", 0, ""},
        {head + "20231114221320000||||||1|", true, 1700000000, 0, 0, 1, "", 0, ""},
        {head + "u5||||||1|" + ID2.substr(0, 22) + "|", true, 5, 0, 0, 1, ID2, 0, ""},
        {head + "u5|C3A9" + utf8Bad + "1|", true, 5, 0, 0, 1, "", 0, ""},  // every UTF-8 form cleared
        {head + "u5|FF|||||1|", true, 5, 0, 0, 1, "", 0, ""},               // a bad AI8 alone
        {head + "u5||||||1||1h", true, 5, 0, 0, 1, "", 0, ""},
    };
    for (const Row& r : rows) {
        TZELSVCMuteBlockRecord rec;
        bool rewrite = false;
        AnsiString reason;
        ASSERT_TRUE(ParseMuteBlockLine(rec, r.line, now, rewrite, reason)) << r.line << " " << reason;
        const auto& d = rec.Data;
        EXPECT_EQ(rewrite, r.rewrite) << r.line;
        EXPECT_EQ(d.Start, r.start) << r.line;
        EXPECT_EQ(d.End, r.end) << r.line;
        EXPECT_EQ(d.Duration, r.duration) << r.line;
        EXPECT_EQ(d.SetterLevel, r.level) << r.line;
        EXPECT_EQ(d.SetterId, r.setter) << r.line;
        EXPECT_EQ(d.Utf8, r.utf8) << r.line;
        EXPECT_EQ(d.AI8, r.ai8) << r.line;
        EXPECT_EQ(d.AI, "SE") << r.line;
        EXPECT_EQ(d.BC, "70cm") << r.line;
        EXPECT_EQ(d.ClientType, 2) << r.line;
        EXPECT_EQ(d.Id, ID) << r.line;
    }
}

TEST_F(MuteBlockReadTest, InvalidAndExpiredLines) {
    const int64_t now = GetUnixTime();
    const std::string expired = "Net|" + ID2 + "||||||1|u" + std::to_string(now - 7200) + "||||||1||3600";
    const std::vector<std::string> bad = {
        "Net",
        "Net|" + ID + "|4G|||||1|",
        "Net|" + ID + "||||||9|",
        "Net|" + ID + "||||||",
        "Net|" + ID + "||||||1||||||ZZ",
        "N\xFF|" + ID + "||||||1|",
    };
    std::string data = "Net|" + ID + "||||||1|u3\n" + expired + "\n";
    for (const auto& l : bad) data += l + "\n";
    Put(Path("mutes.dat"), data);
    bool rewrite = false;
    std::vector<int32_t> warned;
    auto chain = ReadMuteBlockFile(U(Path("mutes.dat")), now, rewrite, [&](int32_t n, AnsiView) { warned.push_back(n); });
    EXPECT_TRUE(rewrite);
    EXPECT_EQ(warned, (std::vector<int32_t>{3, 4, 5, 6, 7, 8}));  // the expired line is no warning
    ASSERT_NE(chain.Head(), nullptr);
    EXPECT_EQ(chain.Head()->Data.Id, ID);
    EXPECT_EQ(chain.Head()->Next, nullptr);
}

// The longest line the server writes: every text at its cap, the UTF-8 forms in 3-byte characters.
TEST_F(MuteBlockReadTest, TheLongestWrittenLineReadsBackEqual) {
    auto u8 = [](size_t chars) {
        std::string s;
        for (size_t i = 0; i < chars; ++i) s += "\xE2\x82\xAC";  // the euro sign
        return s;
    };
    test::RecordingNetwork net;
    net.Name = u8(32);
    TZELSVCMuteBlockData d;
    d.Start = 1700000000, d.Duration = 2147483647, d.End = d.Start + d.Duration;
    d.Id = ID, d.SetterId = ID2;
    d.NN = std::string(36, '\xE4'), d.CT = std::string(64, 'c'), d.BC = std::string(36, 'b');
    d.ON = std::string(50, 'o'), d.AI = std::string(50, 'a');
    d.NN8 = u8(36), d.CT8 = u8(64), d.BC8 = u8(36), d.ON8 = u8(50), d.AI8 = u8(50);
    d.ClientType = 1, d.SetterLevel = 3, d.Utf8 = 1;
    TStringBldA b;
    TZELSVCMuteBlock e(net);
    e.AssignData(d, b);
    EXPECT_GT(e.FileLine.size(), 2048u);  // beyond the old limit
    Put(Path("mutes.dat"), e.FileLine);
    bool rewrite = false;
    auto chain = ReadMuteBlockFile(U(Path("mutes.dat")), 0, rewrite, [](int32_t, AnsiView why) {
        ADD_FAILURE() << std::string(why);
    });
    EXPECT_FALSE(rewrite);
    ASSERT_NE(chain.Head(), nullptr);
    TZELSVCMuteBlock back(net);
    back.AssignData(chain.Head()->Data, b);
    EXPECT_EQ(back.FileLine, e.FileLine);
    EXPECT_EQ(chain.Head()->Network, DefaultAnsiToUnicodeU(net.Name));
}

// ---------------------------------------------------------------------------------------------
// Texts

TEST(MuteBlockTextTest, GoldenTextsOfAPermanentAndATemporaryMute) {
    test::RecordingNetwork net;
    TStringBldA b;
    TZELSVCMuteBlock e(net);
    TZELSVCMuteBlockData d;
    d.Start = 1700000000;
    d.Id = ID;
    d.AI = "DL9XYZ";
    d.NN = "DE", d.BC = "70cm", d.ON = "DL1ABC";
    d.SetterId = ID2;
    d.SetterLevel = 1;
    e.AssignData(d, b);
    EXPECT_EQ(e.ProtoLine,
              "<AI>DL9XYZ</AI><NN>DE</NN><CT></CT><BC>70cm</BC><CM>2</CM><ON>DL1ABC</ON>"
              "<ID>kAFQmDzST7DWlj99KOF]cgkd</ID>\r\n");
    EXPECT_EQ(e.CommandLine, "02906DL9XYZ502DE60030470cm206DL1ABC818kAFQmDzST7DWlj99KOF]cgkdC0A1700000000\r\n");
    EXPECT_EQ(e.FileLine,
              "Net|kAFQmDzST7DWlj99KOF]cgkd|444C3958595A|4445||3730636D|444C31414243|2|u1700000000||||||1|"
              "1B2M2Y8AsgTpgAmY7PhCfgR5|\r\n");
    EXPECT_EQ(e.EndText, "");

    d.Duration = 3600, d.End = 1700003600;
    d.AI8 = "DL9XYZ \xC3\xA9";
    d.NN8 = "DE", d.BC8 = "70cm", d.ON8 = "DL1ABC \xC3\xA9";
    d.SetterId.clear();
    d.SetterLevel = 3;
    d.Utf8 = 1;
    e.AssignData(d, b);
    EXPECT_EQ(e.ProtoLine,
              "<AI>DL9XYZ</AI><NN>DE</NN><CT></CT><BC>70cm</BC><CM>2</CM><ON>DL1ABC</ON>"
              "<ID>kAFQmDzST7DWlj99KOF]cgkd</ID><RT>1700003600</RT>\r\n");
    EXPECT_EQ(e.CommandLine,
              "12906DL9XYZA09DL9XYZ \xC3\xA9"
              "502DE60030470cm209DL1ABC \xC3\xA9"
              "818kAFQmDzST7DWlj99KOF]cgkdC0A1700000000B0A1700003600\r\n");
    EXPECT_EQ(e.FileLine,
              "Net|kAFQmDzST7DWlj99KOF]cgkd|444C3958595A|4445||3730636D|444C31414243|2|u1700000000|"
              "444C3958595A20C3A9|4445||3730636D|444C3141424320C3A9|3||3600\r\n");
    EXPECT_EQ(e.EndText, "1700003600");

    TZELSVCMuteBlockRecord rec;
    bool rewrite = false;
    AnsiString reason;
    ASSERT_TRUE(ParseMuteBlockLine(rec, e.FileLine.substr(0, e.FileLine.size() - 2), 0, rewrite, reason));
    EXPECT_FALSE(rewrite);
    TZELSVCMuteBlock back(net);
    back.AssignData(rec.Data, b);
    EXPECT_EQ(back.FileLine, e.FileLine);
    EXPECT_EQ(back.CommandLine, e.CommandLine);
}

// ---------------------------------------------------------------------------------------------
// List operations

TEST(MuteBlockListTest, Removal) {
    using P = TZELClientPrivilege;
    struct Row {
        bool level, exact;
        uint8_t entryLevel;
        std::string setter;
        uint8_t reqLevel;
        std::string reqId;
        bool removed;
    } const rows[] = {
        // Both switches clear: anybody removes anything.
        {false, false, 3, A, 0, B, true},
        {false, false, 3, "", 0, B, true},
        // LevelMuteBlock: a higher level protects, whoever set it.
        {true, false, 2, A, 1, A, false},
        {true, false, 1, A, 1, B, true},
        {true, false, 1, A, 0, A, false},
        {true, false, 1, "", 0, B, false},
        {true, false, 1, "", 1, B, true},
        // Both: equal level protects against other ids; a higher level removes.
        {true, true, 1, A, 1, B, false},
        {true, true, 1, A, 1, A, true},
        {true, true, 1, A, 2, B, true},
        {true, true, 2, A, 1, A, false},
        // ExactMuteBlock alone: only the setter, whatever the levels.
        {false, true, 0, A, 3, B, false},
        {false, true, 3, A, 0, A, true},
        // An entry without a setter id yields to a requester of at least its level.
        {false, true, 1, "", 1, B, true},
        {false, true, 2, "", 1, B, false},
        {true, true, 1, "", 1, B, true},
        {true, true, 3, "", 3, C, true},
        {true, true, 2, "", 1, B, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "level " << r.level << " exact " << r.exact << " entry "
                                          << int(r.entryLevel) << "/" << r.setter << " requester "
                                          << int(r.reqLevel) << "/" << r.reqId);
        test::RecordingNetwork net;
        net.Level = r.level, net.Exact = r.exact;
        TZELSVCMuteBlockList list;
        TStringBldA b;
        MuteBlockListAddClient(list, Client(ID), Setter(r.setter, static_cast<P>(r.entryLevel)), 0, net, b);
        MuteBlockListAddClient(list, Client(ID2), Setter(A, P::clpr_USER), 0, net, b);
        EXPECT_FALSE(MuteBlockListRemove(list, C, r.reqId, r.reqLevel, net));  // not listed
        EXPECT_EQ(MuteBlockListRemove(list, ID, r.reqId, r.reqLevel, net), r.removed);
        EXPECT_EQ(list.Find(ID) == nullptr, r.removed);
        test::ExpectTimeIndexMatches(list);
    }

    // A command-port request: the server's own id at level 3.
    for (const std::string& setter : {std::string(A), std::string("SERVERidSERVERidSERVERid")}) {
        test::RecordingNetwork net;
        net.Level = net.Exact = true;
        TZELSVCMuteBlockList list;
        TStringBldA b;
        MuteBlockListAddClient(list, Client(ID), Setter(setter, P::clpr_SERVOWNER), 0, net, b);
        EXPECT_EQ(MuteBlockListRemoveByServer(list, ID, net), setter != A) << setter;
    }
}

TEST(MuteBlockListTest, AddClientAndFind) {
    test::RecordingNetwork net;
    TZELSVCMuteBlockList list;
    TStringBldA b;
    const int64_t before = GetUnixTime();
    EXPECT_TRUE(MuteBlockListAddClient(list, Client(ID), Setter(A, TZELClientPrivilege::clpr_ADMIN), 600, net, b));
    TZELSVCMuteBlock* e = list.Find(ID);
    ASSERT_NE(e, nullptr);
    EXPECT_GE(e->Data.Start, before);
    EXPECT_EQ(e->Data.End, e->Data.Start + 600);
    EXPECT_EQ(e->Data.AI, "DL9XYZ");
    EXPECT_EQ(e->Data.AI8, "DL9XYZ \xC3\xA9");
    EXPECT_EQ(e->Data.SetterId, A);
    EXPECT_EQ(e->Data.SetterLevel, 1);
    const TZELSVCMuteBlockData first = e->Data;

    TZELSVCListClientData offline;
    offline.Id = ID;
    offline.Online = false;
    struct {
        const char* what;
        TZELSVCListClientData target;
        bool changed;
        std::string on;
    } const rows[] = {
        {"identical: not renewed", Client(ID), false, "DL1ABC"},
        {"changed values", Client(ID, "DL1NEW"), true, "DL1NEW"},
        {"not online: id only", offline, false, "DL1NEW"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(MuteBlockListAddClient(list, r.target, Setter(B, TZELClientPrivilege::clpr_SERVOWNER), 5, net, b),
                  r.changed)
            << r.what;
        const auto& d = list.Find(ID)->Data;
        EXPECT_EQ(d.ON, r.on) << r.what;
        // The setter, the times and the duration of the first mute stay.
        EXPECT_EQ(d.SetterId, first.SetterId) << r.what;
        EXPECT_EQ(d.SetterLevel, first.SetterLevel) << r.what;
        EXPECT_EQ(d.Start, first.Start) << r.what;
        EXPECT_EQ(d.End, first.End) << r.what;
        EXPECT_EQ(d.Duration, 600) << r.what;
    }
    bool differs = true;
    EXPECT_TRUE(MuteBlockListFindClient(list, Client(ID, "DL1NEW"), differs));
    EXPECT_FALSE(differs);
    EXPECT_TRUE(MuteBlockListFindClient(list, Client(ID), differs));
    EXPECT_TRUE(differs);
    EXPECT_FALSE(MuteBlockListFindClient(list, Client(ID2), differs));
    test::ExpectTimeIndexMatches(list);
}

TEST(MuteBlockListTest, ExpiryWalksLastToFirstAndUnmutesFirst) {
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent);
        test::RecordingNetwork net;
        TZELSVCMuteBlockList list;
        TStringBldA b;
        for (const auto& [id, duration] : {std::pair{A, 0}, std::pair{B, 10}, std::pair{C, 1000}, std::pair{ID, 10}})
            MuteBlockListAddClient(list, Client(id), Setter(A, TZELClientPrivilege::clpr_ADMIN), duration, net, b);
        const int64_t now = list.Find(A)->Data.Start + 100;
        net.OnCall = [&](const std::string& call) {
            EXPECT_NE(list.Find(call.substr(7)), nullptr) << "told after the removal: " << call;
        };
        EXPECT_TRUE(MuteBlockListRemoveExpired(list, now, silent, net));
        EXPECT_EQ(test::ListKeys(list), (std::vector<std::string>{A, C}));
        std::vector<std::string> expected;
        if (!silent) expected = {"unmute:" + ID, "unmute:" + B};  // ID sorts after B
        EXPECT_EQ(net.Calls, expected);
        test::ExpectTimeIndexMatches(list);
        EXPECT_FALSE(MuteBlockListRemoveExpired(list, now, silent, net));
    }
}

TEST(MuteBlockListTest, MergeOfAReread) {
    for (bool blocks : {false, true})
        for (bool compare : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "blocks " << blocks << " compare " << compare);
            test::RecordingNetwork net;
            net.Compare = compare;
            TZELSVCMuteBlockList list;
            TStringBldA b;
            MuteBlockListAddClient(list, Client(A), Setter(ID, TZELClientPrivilege::clpr_ADMIN), 0, net, b);
            MuteBlockListAddClient(list, Client(B), Setter(ID, TZELClientPrivilege::clpr_ADMIN), 600, net, b);
            const TZELSVCMuteBlockData oldB = list.Find(B)->Data;

            // The file: B with an operator's new Duration, C new (twice), A gone.
            TZELSVCMuteBlockRecordList file;
            TZELSVCMuteBlockData dB = oldB;
            dB.Duration = 7200, dB.End = dB.Start + 7200;
            for (const auto& d : {dB}) {
                auto r = std::make_unique<TZELSVCMuteBlockRecord>();
                r->Data = d;
                file.Put(std::move(r));
            }
            for (int64_t start : {5, 6}) {
                auto r = std::make_unique<TZELSVCMuteBlockRecord>();
                r->Data.Id = C;
                r->Data.Start = start;
                file.Put(std::move(r));
            }
            EXPECT_TRUE(MuteBlockListMerge(list, file, net, blocks, b));
            EXPECT_EQ(test::ListKeys(list), (std::vector<std::string>{B, C}));
            EXPECT_EQ(list.Find(C)->Data.Start, 6);
            if (blocks)
                EXPECT_EQ(net.Calls, (std::vector<std::string>{"block:" + C}));
            else
                EXPECT_EQ(net.Calls, (std::vector<std::string>{"unmute:" + A, "mute:" + C}));
            const auto& nb = list.Find(B)->Data;
            EXPECT_EQ(nb.Duration, compare ? 7200 : 600);
            EXPECT_EQ(nb.End, nb.Start + nb.Duration);
            EXPECT_NE(list.Find(B)->FileLine.find(compare ? "|7200\r\n" : "|600\r\n"), std::string::npos);
            list.RebuildTimeIndex();
            test::ExpectTimeIndexMatches(list);
        }
}

// An operator's edit of the setter's fields in the file is taken by a reread that compares, so
// the entry's file line (what the next save writes) carries the edit instead of the old values.
TEST(MuteBlockListTest, RereadTakesAnEditOfTheSettersFields) {
    const struct {
        const char* What;
        void (*Edit)(TZELSVCMuteBlockData&);
        std::string InLine;  // in the saved line after the merge
    } edits[] = {
        {"level", [](TZELSVCMuteBlockData& d) { d.SetterLevel = 3; }, "|3|" + ID},
        {"id", [](TZELSVCMuteBlockData& d) { d.SetterId = B; }, "|" + B},
        {"callsign", [](TZELSVCMuteBlockData& d) { d.AI = "K1ABC"; }, "|4B31414243|"},
        {"UTF-8 callsign", [](TZELSVCMuteBlockData& d) { d.AI8 = "K1ABC"; }, "|4B31414243|"},
    };
    for (const auto& e : edits) {
        SCOPED_TRACE(e.What);
        test::RecordingNetwork net;
        net.Compare = true;
        TZELSVCMuteBlockList list;
        TStringBldA b;
        MuteBlockListAddClient(list, Client(A), Setter(ID, TZELClientPrivilege::clpr_ADMIN), 0, net, b);
        ASSERT_EQ(list.Find(A)->FileLine.find(e.InLine), std::string::npos);
        TZELSVCMuteBlockRecordList file;
        auto r = std::make_unique<TZELSVCMuteBlockRecord>();
        r->Data = list.Find(A)->Data;
        e.Edit(r->Data);
        file.Put(std::move(r));
        EXPECT_TRUE(MuteBlockListMerge(list, file, net, false, b));
        EXPECT_NE(list.Find(A)->FileLine.find(e.InLine), std::string::npos) << list.Find(A)->FileLine;
    }
}

TEST(MuteBlockListTest, MergeRecordKeepsANewerOrEqualStart) {
    test::RecordingNetwork net;
    TZELSVCMuteBlockList list;
    TStringBldA b;
    TZELSVCMuteBlockData d;
    d.Id = ID;
    d.Start = 100;
    d.ON = "A";
    EXPECT_TRUE(MuteBlockListMergeRecord(list, d, net, b));
    d.ON = "B";
    EXPECT_FALSE(MuteBlockListMergeRecord(list, d, net, b));
    d.Start = 200;
    EXPECT_TRUE(MuteBlockListMergeRecord(list, d, net, b));
    EXPECT_EQ(list.Find(ID)->Data.ON, "B");
    test::ExpectTimeIndexMatches(list);
}

}  // namespace
}  // namespace zel
