#include "service/dmq_zel_svc_list_base.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_svc_admins_list.hpp"
#include "service/dmq_zel_svc_muteblock_list.hpp"
#include "service/dmq_zel_svc_notices_list.hpp"
#include "service/dmq_zel_svc_rights_list.hpp"
#include "tests/support/alloc_failure.hpp"
#include "tests/support/list_owner.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

UnicodeString U(const std::string& s) { return UnicodeString(s.begin(), s.end()); }

// ---------------------------------------------------------------------------------------------
// Reader

struct Warning {
    int32_t LineNo;
    std::string Reason;
    bool operator==(const Warning&) const = default;
};

class ListReaderTest : public test::TempDirTest {
protected:
    // Every line the parser is given; a line starting "drop" is refused (its rest is the reason),
    // one starting "old" is taken in an older form.
    std::vector<std::string> Read(const std::string& data, bool& rewrite, const TZELListReadParams& params = {}) {
        Put(Path("list.dat"), data);
        return ReadFile(Path("list.dat"), rewrite, params);
    }
    std::vector<std::string> ReadFile(const std::string& name, bool& rewrite, const TZELListReadParams& params = {}) {
        std::vector<std::string> lines;
        ReadListFile(
            U(name),
            [&](AnsiView line, bool& rw, AnsiString& reason) {
                if (line.substr(0, 4) == "drop") {
                    reason = AnsiString(line.substr(4));
                    return false;
                }
                if (line.substr(0, 3) == "old") rw = true;
                lines.emplace_back(line);
                return true;
            },
            rewrite, [&](int32_t n, AnsiView why) { warnings.push_back({n, std::string(why)}); }, params);
        return lines;
    }
    std::vector<Warning> warnings;
};

TEST_F(ListReaderTest, LinesCommentsAndByteOrderMark) {
    using L = std::vector<std::string>;
    const std::string bom = "\xEF\xBB\xBF";
    struct {
        std::string data;
        L lines;
    } const rows[] = {
        {"a\r\nb\nc", L{"a", "b", "c"}},                       // CRLF, LF, last line without LF
        {"a\r\n\r\n\n  \t\n", L{"a"}},                          // empty and blank lines
        {"# note\n  #x\n y|z \n", L{"y|z "}},                   // comments; leading bytes only
        {bom + "a\n" + bom + "b\n", L{"a", bom + "b"}},         // the mark on line 1 only
        {bom + "#c\n", L{}},                                    // a comment behind the mark
        {"a\r\r\n", L{"a\r"}},                                  // one CR dropped, not two
        {"", L{}},
    };
    for (const auto& r : rows) {
        bool rewrite = false;
        EXPECT_EQ(Read(r.data, rewrite), r.lines) << r.data;
        EXPECT_FALSE(rewrite) << r.data;
    }
    EXPECT_TRUE(warnings.empty());
}

TEST_F(ListReaderTest, DroppedLinesAreReportedAndMarkTheFile) {
    bool rewrite = false;
    EXPECT_EQ(Read("a\ndropfield 2: invalid id\n#\ndrop\nb\n", rewrite), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(rewrite);
    // A drop without a reason (an expired entry) is no warning.
    EXPECT_EQ(warnings, (std::vector<Warning>{{2, "field 2: invalid id"}}));

    rewrite = false;
    Read("old\n", rewrite);
    EXPECT_TRUE(rewrite);
}

// A file of many bad lines gives the first few warnings, then one that counts the rest. A file that
// gives bytes without end is refused with the code of a file read past its size.
TEST_F(ListReaderTest, WarningsOfOneReadAreBounded) {
    std::string data;
    for (int i = 0; i < ZELListWarningsShown + 25; ++i) data += "dropbad\n";
    bool rewrite = false;
    Read(data, rewrite);
    ASSERT_EQ(warnings.size(), size_t(ZELListWarningsShown + 1));
    EXPECT_EQ(warnings[ZELListWarningsShown - 1], (Warning{ZELListWarningsShown, "bad"}));
    EXPECT_EQ(warnings.back(), (Warning{0, "25 more lines refused"}));
    EXPECT_EQ(FormatListLineMessage(0, "25 more lines refused"), "25 more lines refused");
    EXPECT_TRUE(rewrite);

    // The process's own page map: a regular file of size 0 that gives bytes without end.
    warnings.clear();
    rewrite = false;
    try {
        ReadFile("/proc/self/pagemap", rewrite);
        ADD_FAILURE();
    } catch (const EListFileError& e) {
        EXPECT_EQ(e.Code(), ErrFileReadPastSize);
    }
    EXPECT_FALSE(rewrite);
}

TEST_F(ListReaderTest, LineLimit) {
    const std::string longest(ZELListMaxLineLen, 'x');
    const std::string bom = "\xEF\xBB\xBF";
    for (const std::string eol : {"\n", "\r\n", ""}) {
        warnings.clear();
        bool rewrite = false;
        // At the limit: read whole (with a byte order mark and a CR around it too).
        EXPECT_EQ(Read(bom + longest + eol, rewrite), std::vector<std::string>{longest});
        EXPECT_FALSE(rewrite);
        // One byte over, and far over: dropped with a warning, the next line still read.
        for (size_t len : {size_t{ZELListMaxLineLen} + 1, size_t{20000}}) {
            warnings.clear();
            rewrite = false;
            EXPECT_EQ(Read("a\n" + std::string(len, 'y') + "\r\nb" + eol, rewrite),
                      (std::vector<std::string>{"a", "b"}));
            EXPECT_TRUE(rewrite);
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].LineNo, 2);
            EXPECT_NE(warnings[0].Reason.find("16384"), std::string::npos);
        }
    }
}

// Lines ended by CR alone: nothing is read, one warning says why, the caller learns it and the
// file is not marked for rewriting (the list is kept in the file as the operator wrote it). A CR
// inside a file that has line feeds, or ending its one line, is no such file.
TEST_F(ListReaderTest, FileWithoutLineFeedsIsToldAndNotMarked) {
    using L = std::vector<std::string>;
    struct {
        std::string data;
        bool noLineFeeds;
        L lines;
    } const rows[] = {
        {"# This file was created automaticly.\rNet|a|old\rNet|b|old\r", true, L{}},
        {"Net|a|old\rdropbad", true, L{}},
        {"#\r" + std::string(20000, 'x') + "\rNet|a", true, L{}},  // more than the line limit
        {"old\rb\n", false, L{"old\rb"}},                  // one line with a CR inside
        {"Net|a\r", false, L{"Net|a"}},                     // one line ended by CR LF but for the LF
        {"a\r\nb\r\n", false, L{"a", "b"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.data.substr(0, 40));
        warnings.clear();
        bool rewrite = false, noLineFeeds = false;
        TZELListReadParams params;
        params.Hooks.NoLineFeeds = &noLineFeeds;
        EXPECT_EQ(Read(r.data, rewrite, params), r.lines);
        EXPECT_EQ(noLineFeeds, r.noLineFeeds);
        if (r.noLineFeeds) {
            EXPECT_FALSE(rewrite);
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0].LineNo, 0);
            EXPECT_NE(warnings[0].Reason.find("no line feeds"), std::string::npos) << warnings[0].Reason;
        } else {
            EXPECT_EQ(rewrite, r.lines.size() == 1 && r.lines[0].rfind("old", 0) == 0);
            EXPECT_TRUE(warnings.empty());
        }
    }
}

// The stop hook is asked every ZELListStopCheckLines lines: once it says so, the read raises and
// marks nothing; one that never says so costs nothing.
TEST_F(ListReaderTest, AStopGivesTheReadUp) {
    std::string data;
    for (int i = 0; i < 3 * ZELListStopCheckLines; ++i) data += "old" + std::to_string(i) + "\n";
    int asked = 0;
    TZELListReadParams params;
    params.Hooks.Stop = [&] { return ++asked == 2; };
    bool rewrite = false;
    std::vector<std::string> lines;
    Put(Path("list.dat"), data);
    try {
        ReadListFile(
            U(Path("list.dat")),
            [&](AnsiView line, bool& rw, AnsiString&) {
                rw = true;
                lines.emplace_back(line);
                return true;
            },
            rewrite, {}, params);
        ADD_FAILURE() << "no exception";
    } catch (const EListReadStopped& e) {
        EXPECT_EQ(e.Message(), "reading given up at the stop");
    }
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(lines.size(), size_t(ZELListStopCheckLines));
    EXPECT_FALSE(rewrite);

    params.Hooks.Stop = [] { return false; };
    EXPECT_EQ(Read(data, rewrite, params).size(), size_t(3 * ZELListStopCheckLines));
    EXPECT_TRUE(rewrite);
}

TEST_F(ListReaderTest, FileErrorsKeepTheirCodeAndMissingIsToldApart) {
    bool rewrite = false;
    try {
        ReadFile(dir_, rewrite);  // a directory opens, then its read fails
        FAIL() << "no exception";
    } catch (const EListFileMissing&) {
        FAIL() << "a directory is not a missing file";
    } catch (const EListFileError& e) {
        EXPECT_EQ(e.Code(), EISDIR);
        EXPECT_NE(e.Message().find(dir_), std::string::npos);
    }
    try {
        ReadFile(Path("absent.dat"), rewrite);
        FAIL() << "no exception";
    } catch (const EListFileMissing& e) {
        EXPECT_EQ(e.Code(), ENOENT);
    }
    EXPECT_FALSE(rewrite);
}

TEST_F(ListReaderTest, ParserExceptionsNameTheLine) {
    Put(Path("list.dat"), "#\nold\nboom\n");
    bool rewrite = false;
    try {
        ReadListFile(
            U(Path("list.dat")),
            [](AnsiView line, bool& rw, AnsiString&) -> bool {
                rw = true;
                if (line == "boom") throw Exception("bad thing");
                return true;
            },
            rewrite, {});
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "line 3: bad thing");
    }
    EXPECT_FALSE(rewrite);  // a failed read marks nothing
}

// ---------------------------------------------------------------------------------------------
// Load state and save block

TEST(ListLoadStateTest, SaveBlockedOnlyAfterAFailedRead) {
    const UnicodeString file = u"/data/admins.dat";
    TZELListLoadData l;
    EXPECT_TRUE(ListSaveAllowed(l));  // nothing read: nothing to lose

    SetListLoadFailure(l, EListFileError(EISDIR, "error [21] of reading file"));
    EXPECT_EQ(l.State, TZELListLoadState::lls_Failed);
    EXPECT_EQ(l.Code, EISDIR);
    EXPECT_FALSE(ListSaveAllowed(l));
    try {
        CheckListSave(l, file);
        FAIL() << "save not refused";
    } catch (const EListSaveRefused& e) {
        EXPECT_NE(e.Message().find("/data/admins.dat"), std::string::npos);
        EXPECT_NE(e.Message().find("error [21] of reading file"), std::string::npos);
    }

    SetListLoaded(l);  // a later read succeeded
    EXPECT_TRUE(ListSaveAllowed(l));
    EXPECT_NO_THROW(CheckListSave(l, file));

    SetListLoadFailure(l, EListFileMissing(ENOENT, "missing"));
    EXPECT_EQ(l.State, TZELListLoadState::lls_Missing);
    EXPECT_NO_THROW(CheckListSave(l, file));  // the save creates the file

    SetListLoadFailure(l, Exception("line 4: out of memory"));  // no file error: still a failure
    EXPECT_EQ(l.State, TZELListLoadState::lls_Failed);
    EXPECT_EQ(l.Code, 0);
    EXPECT_THROW(CheckListSave(l, file), EListSaveRefused);
}

// Every client text of a list line goes into the entries that members receive: a hex text that
// decodes to something that could close its element and open a forged one, or split a packet
// line, drops the line with the reader's warning, in each list file; the good line beside it
// stays.
TEST_F(ListReaderTest, ForgedHexTextsAreDroppedWithTheReadersWarning) {
    const std::string id = "kAFQmDzST7DWlj99KOF]cgkd";
    const std::string forged = "<ID>1B2M2Y8AsgTpgAmY7PhCfgR5</ID>";
    const auto hex = [](const std::string& t) { return std::string(StrToHexA(t)); };
    using TReader = std::function<int(const std::string&, bool&, const TZELListWarningProc&)>;
    const auto count = [](auto chain) {
        int n = 0;
        for (auto* r = chain.Head(); r != nullptr; r = r->Next) ++n;
        return n;
    };
    const TReader admins = [&](const std::string& f, bool& rw, const TZELListWarningProc& w) {
        return count(ReadAdminsFile(U(f), rw, w));
    };
    const TReader mutes = [&](const std::string& f, bool& rw, const TZELListWarningProc& w) {
        return count(ReadMuteBlockFile(U(f), 0, rw, w));
    };
    const TReader rights = [&](const std::string& f, bool& rw, const TZELListWarningProc& w) {
        return count(ReadAccessFile(U(f), rw, w));
    };
    const TReader notices = [&](const std::string& f, bool& rw, const TZELListWarningProc& w) {
        return count(ReadNoticesFile(U(f), rw, w));
    };
    struct Row {
        const char* Name;
        const TReader& Read;
        std::string Good, Forged, Reason;
    } const rows[] = {
        {"admin NN holding CR LF", admins, "Net|" + id + "|4445|||44|1|u1",
         "Net2|" + id + "|" + hex("\r\n2") + "|||44|1|u1", "field 3: forbidden characters"},
        {"admin ON closing its element", admins, "Net|" + id + "|||||1|u1",
         "Net2|" + id + "||||" + hex("X</ON>" + forged + "<ON>") + "|1|u1", "field 6: forbidden characters"},
        {"admin UTF-8 CT holding a tab", admins, "Net|" + id + "|||||1|u1",
         "Net2|" + id + "|||||1|u1||" + hex("Ber\tlin") + "||", "field 10: forbidden characters"},
        {"mute setter forging an id", mutes, "Net|" + id + "|" + hex("DL1X") + "|||||1|u1",
         "Net2|" + id + "|" + hex("DL1X</AI>" + forged + "<AI>") + "|||||1|u1", "field 3: forbidden characters"},
        {"mute UTF-8 setter with a '>'", mutes, "Net|" + id + "||||||1|u1",
         "Net2|" + id + "||||||1|u1|" + hex("a>b"), "field 10: forbidden characters"},
        {"rights e-mail closing the ID", rights, "Net|1|" + hex("a@b.c") + "|||||1|u1",
         "Net|1|" + hex("x@y.z</ID>" + forged) + "|||||1|u1", "field 3: forbidden characters"},
        {"rights ON with a '<'", rights, "Net|1|" + hex("a@b.c") + "|||||1|u1",
         "Net|1|" + hex("x@y.z") + "||||" + hex("A<B") + "|1|u1", "field 7: forbidden characters"},
        {"notice holding CR LF", notices, "Net|" + hex("Welcome <all>") + "|",
         "Net2|" + hex("one\r\n2") + "|", "notice holds a control character"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        Put(Path("list.dat"), r.Good + "\r\n" + r.Forged + "\r\n");
        std::vector<Warning> got;
        bool rewrite = false;
        const int n = r.Read(Path("list.dat"), rewrite, [&](int32_t l, AnsiView why) {
            got.push_back({l, std::string(why)});
        });
        EXPECT_EQ(n, 1);
        EXPECT_TRUE(rewrite);
        EXPECT_EQ(got, (std::vector<Warning>{{2, r.Reason}}));
    }
}

// ---------------------------------------------------------------------------------------------
// Fields

TEST(ListFieldsTest, SplitTrimsAndPadsWithEmptyFields) {
    TZELListLineFields f;
    EXPECT_EQ(f.Split(" a |b\t|| c", 16), 4);
    EXPECT_EQ(f[1], "a");
    EXPECT_EQ(f[2], "b");
    EXPECT_EQ(f[3], "");
    EXPECT_EQ(f[4], "c");
    EXPECT_EQ(f[5], "");
    EXPECT_EQ(f.Split("1|2|3|4", 3), 3);
    EXPECT_EQ(f[3], "3");
    EXPECT_EQ(f[4], "");
}

TEST(ListFieldsTest, TimeField) {
    setenv("TZ", "UTC", 1);
    tzset();
    struct {
        const char* field;
        int64_t time;
        bool rewrite;
    } const rows[] = {
        {"", 0, false},
        {"  ", 0, false},
        {"u1700000000", 1700000000, false},
        {"U5", 5, false},
        {"u1", 1, false},
        {"u0", 0, true},
        {"u-3", 0, true},
        {"u", 0, true},
        {"uxyz", 0, true},
        {"u99999999999999999999", 0, true},
        {"20231114221320000", 1700000000, true},  // local stamp under TZ=UTC
        {"19000101000000000", 0, true},           // before 1970: 0
        {"2023111422132000x", 0, true},
        {"1700000000", 0, true},
    };
    for (const auto& r : rows) {
        int64_t t = -1;
        bool rewrite = false;
        ReadListTimeField(r.field, t, rewrite);
        EXPECT_EQ(t, r.time) << r.field;
        EXPECT_EQ(rewrite, r.rewrite) << r.field;
    }
}

TEST(ListFieldsTest, IdAndNetworkFields) {
    const std::string id = "kAFQmDzST7DWlj99KOF]cgkd";
    struct {
        std::string field;
        bool ok;
        bool rewrite;
    } const rows[] = {
        {id, true, false},
        {" " + id + " ", true, false},
        {id.substr(0, 22), true, true},
        {id.substr(0, 22) + "==", true, true},
        {id.substr(0, 22) + "kD", false, false},
        {id.substr(0, 23), false, false},
        {"", false, false},
    };
    for (const auto& r : rows) {
        AnsiString got;
        bool rewrite = false;
        EXPECT_EQ(ReadListIdField(r.field, got, rewrite), r.ok) << r.field;
        EXPECT_EQ(rewrite, r.rewrite) << r.field;
        if (r.ok) {
            EXPECT_EQ(got, id);
        }
    }

    UnicodeString n;
    EXPECT_TRUE(ReadListNetworkField(" Net\xC3\xA9 \xF0\x9F\x93\xA1", n));
    EXPECT_EQ(n, u"Net\u00E9 \U0001F4E1");
    for (const char* bad : {"", "  ", "Net\xC3", "\xC0\xAF", "\xED\xA0\x80"}) {
        EXPECT_FALSE(ReadListNetworkField(bad, n)) << bad;
    }
}

TEST(ListFieldsTest, WritersAndSaturatingEnd) {
    TStringBldA b;
    AddListHexField(b, "A\xFF");
    AddListTimeField(b, 0);
    AddListTimeField(b, 1700000000);
    StrBldAAddChar(b, '|');
    StrBldAAddInt64(b, std::numeric_limits<int64_t>::min());
    EXPECT_EQ(TakeListText(b), "|41FF||u1700000000|-9223372036854775808");
    EXPECT_EQ(b.Len(), 0);

    EXPECT_EQ(AddListSeconds(100, 20), 120);
    EXPECT_EQ(AddListSeconds(std::numeric_limits<int64_t>::max() - 5, 3600), std::numeric_limits<int64_t>::max());
}

// ---------------------------------------------------------------------------------------------
// Records

struct Rec {
    Rec* Next = nullptr;
    UnicodeString Network;
    AnsiString Id;
    int64_t T = 0;
    int Line = 0;
    const AnsiString& Key() const { return Id; }
    int64_t Time() const { return T; }
};

TEST(ListRecordsTest, GroupsByNetworkAndKeepsTheNewerRecordOfAKey) {
    // Lines in file order; the chain holds them newest first, as a reader builds it.
    struct {
        const char16_t* net;
        const char* id;
        int64_t t;
    } const lines[] = {
        {u"A", "id2", 10}, {u"A", "id1", 5}, {u"B", "id1", 1}, {u"A", "id1", 7},  // greater time wins
        {u"A", "id2", 10},                                                          // equal: later line
        {u"A", "id1", 6},
    };
    TZELListRecordChain<Rec> chain;
    int n = 0;
    for (const auto& l : lines) chain.Push(std::unique_ptr<Rec>(new Rec{nullptr, l.net, l.id, l.t, ++n}));
    auto groups = GroupListRecords(chain);
    EXPECT_TRUE(chain.Empty());
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].Network, u"A");
    EXPECT_EQ(groups[1].Network, u"B");
    auto& a = *groups[0].Records;
    ASSERT_EQ(a.Count(), 2);  // short keys are padded, so they do not compare equal
    EXPECT_EQ(a.Key(0), PadKey8A("id1"));
    EXPECT_EQ(a.Get(0)->Line, 4);
    EXPECT_EQ(a.Get(1)->Line, 5);
    std::unique_ptr<Rec> taken = a.Take(1);
    EXPECT_EQ(a.Get(1), nullptr);
    EXPECT_EQ(groups[1].Records->Get(0)->Line, 3);
}

// PutAll leaves what Put of each record in turn leaves: the same keys in the same order and, of
// the records of one key (repeated with equal and with differing times, in short unpadded keys
// and whole words), the same one kept; into an empty list and into one that holds records, one of
// them taken.
TEST(ListRecordsTest, PutAllKeepsWhatPutInTurnKeeps) {
    const std::vector<std::string> ids = {"id1", "id2", "id10", "k0000001", "k0000002", "k0000001k0000001",
                                          std::string("id1\0", 4), "\xFF\xFE", "Z", "a"};
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        int line = 0;
        auto make = [&] {
            return std::unique_ptr<Rec>(
                new Rec{nullptr, u"A", ids[rng() % ids.size()], int64_t(rng() % 4), ++line});
        };
        for (const bool prefilled : {false, true}) {
            TZELSVCRecordList<Rec> oneByOne, together;
            if (prefilled) {
                for (int i = 0; i < 6; ++i) {
                    auto r = make();
                    together.Put(std::make_unique<Rec>(*r));
                    oneByOne.Put(std::move(r));
                }
                const int32_t taken = int32_t(rng() % uint32_t(oneByOne.Count()));
                oneByOne.Take(taken);
                together.Take(taken);
            }
            std::vector<std::unique_ptr<Rec>> batch;
            for (int i = 0; i < 300; ++i) {
                auto r = make();
                batch.push_back(std::make_unique<Rec>(*r));
                oneByOne.Put(std::move(r));
            }
            together.PutAll(std::move(batch));
            ASSERT_EQ(together.Count(), oneByOne.Count());
            for (int32_t i = 0; i < oneByOne.Count(); ++i) {
                EXPECT_EQ(together.Key(i), oneByOne.Key(i)) << i;
                ASSERT_EQ(together.Get(i) == nullptr, oneByOne.Get(i) == nullptr) << i;
                if (oneByOne.Get(i) != nullptr) {
                    EXPECT_EQ(together.Get(i)->Line, oneByOne.Get(i)->Line) << i;
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Entry list

int g_live = 0;  // entries alive

struct Entry {
    explicit Entry(std::string k, int64_t t = 0) : K(std::move(k)), T(t) { ++g_live; }
    ~Entry() { --g_live; }
    std::string K;
    int64_t T;
    const AnsiString& Key() const { return K; }
    int64_t TimeKey() const { return T; }
};

std::string Key8(int i) {
    char b[16];  // 8 for the keys used
    snprintf(b, sizeof b, "k%07d", i);
    return b;
}

TEST(EntryListTest, OwnsItsEntriesAndFreesOneWhoseInsertFails) {
    g_live = 0;
    {
        TZELSVCEntryList<Entry> list;
        for (int i = 0; i < 64; ++i) {  // both arrays full: the next insert must grow them
            int32_t at = 0;
            ASSERT_FALSE(list.Find(Key8(i), at));
            list.Insert(at, std::make_unique<Entry>(Key8(i), 64 - i), true);
        }
        int32_t at = 0;
        ASSERT_FALSE(list.Find(Key8(99), at));
        auto e = std::make_unique<Entry>(Key8(99));
        EXPECT_TRUE(test::FailsForLackOfMemory([&] { list.Insert(at, std::move(e), true); }));
        EXPECT_EQ(g_live, 64);  // the refused entry is freed
        EXPECT_EQ(list.Count(), 64);
        test::ExpectTimeIndexMatches(list);

        ASSERT_TRUE(list.Find(Key8(5), at));
        list.Remove(at);
        EXPECT_EQ(g_live, 63);
        test::ExpectTimeIndexMatches(list);
    }
    EXPECT_EQ(g_live, 0);  // and the rest with the list
}

TEST(EntryListTest, AWalkThatRaisesLeavesNoFreedEntryInTheTimeIndex) {
    g_live = 0;
    TZELSVCEntryList<Entry> list;
    for (int i : {1, 2, 3}) list.Insert(i - 1, std::make_unique<Entry>(Key8(i), i), true);
    struct Rec {
        Rec* Next = nullptr;
        std::string K;
        const AnsiString& Key() const { return K; }
        int64_t Time() const { return 0; }
    };
    TZELSVCRecordList<Rec> file;  // key 1 gone, key 4 new
    for (int i : {2, 3, 4}) file.Put(std::unique_ptr<Rec>(new Rec{nullptr, Key8(i)}));
    std::vector<std::string> told;
    EXPECT_THROW(MergeListWalk(
                     list, file,
                     [&](const Rec& r) { return std::make_unique<Entry>(r.K, 9); },
                     [&](AnsiView k) { throw Exception("network failed on " + std::string(k)); },
                     [](Entry&, const Rec&) { return false; },
                     [&](AnsiView k) { told.emplace_back(k); }),
                 Exception);
    EXPECT_EQ(told, std::vector<std::string>{Key8(1)});
    test::ExpectTimeIndexMatches(list);  // rebuilt: the removed entry is gone, the new one in
    EXPECT_EQ(g_live, 3);
}

// The walk keeps the entries of keys in both lists (the same objects), makes those only in the
// file and frees those only in the list, and tells the additions and removals in key order once
// the list holds its new order; a removal of many expired entries at once keeps the time index
// whole.
TEST(EntryListTest, MergeAndRemovalsOfManyKeepOrderEntriesAndTimeIndex) {
    g_live = 0;
    struct Rec {
        Rec* Next = nullptr;
        std::string K;
        const AnsiString& Key() const { return K; }
        int64_t Time() const { return 0; }
    };
    // The keys 0 to 39 in the lists' order; the list holds the evens, the file the multiples of 4
    // (they stay) and the odds (they come); the other evens go.
    std::vector<int> order(40);
    for (int i = 0; i < 40; ++i) order[size_t(i)] = i;
    std::sort(order.begin(), order.end(), [](int a, int b) { return CompareKey8(Key8(a), Key8(b)) < 0; });
    TZELSVCEntryList<Entry> list;
    std::map<std::string, Entry*> before;
    for (int i = 0; i < 40; i += 2) {
        int32_t at = 0;
        ASSERT_FALSE(list.Find(Key8(i), at));
        before[Key8(i)] = list.Insert(at, std::make_unique<Entry>(Key8(i), 100 - i), true);
    }
    TZELSVCRecordList<Rec> file;
    std::vector<std::unique_ptr<Rec>> recs;
    for (int i = 0; i < 40; ++i)
        if (i % 4 == 0 || i % 2 == 1) recs.push_back(std::unique_ptr<Rec>(new Rec{nullptr, Key8(i)}));
    file.PutAll(std::move(recs));
    std::vector<std::string> told, expected, keys, stay;
    for (int i : order) {
        if (i % 4 != 0) expected.push_back((i % 2 == 1 ? "+" : "-") + Key8(i));
        if (i % 4 == 0 || i % 2 == 1) keys.push_back(Key8(i));
        if (i % 4 == 0) stay.push_back(Key8(i));
    }
    EXPECT_TRUE(MergeListWalk(
        list, file, [](const Rec& r) { return std::make_unique<Entry>(r.K, 7); },
        [&](AnsiView k) {
            EXPECT_EQ(list.Count(), 30);  // told once the list is whole
            told.push_back("+" + std::string(k));
        },
        [](Entry&, const Rec&) { return false; }, [&](AnsiView k) { told.push_back("-" + std::string(k)); }));
    EXPECT_EQ(told, expected);
    EXPECT_EQ(test::ListKeys(list), keys);
    for (int32_t i = 0; i < list.Count(); ++i) {
        const auto it = before.find(list.Key(i));
        if (it != before.end()) {
            EXPECT_EQ(list.Get(i), it->second) << i;
        }
    }
    EXPECT_EQ(g_live, 30);
    list.RebuildTimeIndex();
    test::ExpectTimeIndexMatches(list);

    // Many at once (the new entries, of time 7), then a few.
    std::vector<int32_t> many;
    for (int32_t i = 0; i < list.Count(); ++i)
        if (list.Get(i)->T == 7) many.push_back(i);
    list.RemoveMany(many);
    EXPECT_EQ(test::ListKeys(list), stay);
    EXPECT_EQ(g_live, 10);
    test::ExpectTimeIndexMatches(list);
    list.RemoveMany({0, 9});
    stay.erase(stay.begin() + 9);
    stay.erase(stay.begin());
    EXPECT_EQ(test::ListKeys(list), stay);
    EXPECT_EQ(g_live, 8);
    test::ExpectTimeIndexMatches(list);
}

}  // namespace
}  // namespace zel
