#include "service/dmq_zel_svc_modes_list.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "tests/support/list_file_test.hpp"

namespace zel {
namespace {

using test::AsciiU;

struct Mode {
    std::string Network;  // ASCII
    int Connection;
    int Talk;
    bool operator==(const Mode&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Mode& m) {
    return os << m.Network << '|' << m.Connection << '|' << m.Talk;
}

class ModesListTest : public test::ListFileTest {
protected:
    std::vector<Mode> Read(const std::string& data, bool& rewrite) {
        Put(Path("modes.dat"), data);
        TZELSVCModesArray modes{{u"stale", 1, 1}};
        ReadModesFile(UPath("modes.dat"), modes, rewrite, Warn());
        std::vector<Mode> out;
        for (const auto& m : modes)
            out.push_back({DefaultUnicodeToAnsiA(m.Network), m.ConnectionMode, m.TalkMode});
        return out;
    }
};

TEST_F(ModesListTest, LineRules) {
    using M = std::vector<Mode>;
    struct {
        std::string line;
        M modes;
        bool rewrite;
        bool warned;
    } const rows[] = {
        {"Net01|1|0", M{{"Net01", 1, 0}}, false, false},
        {"Net01|0|1", M{{"Net01", 0, 1}}, false, false},
        {"Net01|2|0", M{{"Net01", 1, 0}}, true, false},      // on, written again as "1"
        {"Net01|-1|1", M{{"Net01", 1, 1}}, true, false},
        {"Net01|0|0", M{}, true, true},                      // both off: no line of its own
        {"Net01|1", M{}, true, true},                        // one switch field
        {"Net01|1|", M{}, true, true},                       // empty talk field
        {"Net01||1", M{}, true, true},
        {"Net01|x|1", M{}, true, true},
        {"Net01|1|on", M{}, true, true},
        {"|1|1", M{}, true, true},
        {"Net\xff|1|1", M{}, true, true},                    // name not UTF-8
        {";Net01|1|1", M{}, false, false},                   // comments
        {"#Net01|1|1", M{}, false, false},
        {" Net01 |1|0", M{{"Net01", 1, 0}}, false, false},   // the name is trimmed
        {"Net01| 1 |0", M{{"Net01", 1, 0}}, true, false},    // blanks around a switch: kept
        {"Net01|1|1|more", M{{"Net01", 1, 1}}, false, false},
        {"\t Net01|1|1 \t", M{{"Net01", 1, 1}}, false, false},
        {"\xEF\xBB\xBFNet01|1|0", M{{"Net01", 1, 0}}, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        bool rewrite = false;
        warnings_.clear();
        EXPECT_EQ(Read(r.line + "\r\n", rewrite), r.modes);
        EXPECT_EQ(rewrite, r.rewrite);
        EXPECT_EQ(warnings_.size(), r.warned ? 1u : 0u);
    }
}

TEST_F(ModesListTest, RecordsComeInFileOrderAndBadLinesAreNamed) {
    bool rewrite = false;
    EXPECT_EQ(Read("Zed|1|1\nbad|0|0\nAlpha|0|1\n", rewrite), (std::vector<Mode>{{"Zed", 1, 1}, {"Alpha", 0, 1}}));
    EXPECT_TRUE(rewrite);
    ASSERT_EQ(warnings_.size(), 1u);
    EXPECT_EQ(warnings_[0].LineNo, 2);
    EXPECT_EQ(warnings_[0].Reason, "both modes off");
}

TEST_F(ModesListTest, FileErrorsRaiseAndLeaveNothing) {
    TZELSVCModesArray modes{{u"stale", 1, 1}};
    bool rewrite = false;
    EXPECT_THROW(ReadModesFile(UPath("none.dat"), modes, rewrite, Warn()), EListFileMissing);
    EXPECT_TRUE(modes.empty());
    ASSERT_EQ(::mkdir(Path("dir.dat").c_str(), 0755), 0);
    modes.push_back({u"stale", 1, 1});
    try {
        ReadModesFile(UPath("dir.dat"), modes, rewrite, Warn());
        ADD_FAILURE() << "no exception";
    } catch (const EListFileError& e) {
        EXPECT_EQ(e.Code(), EISDIR);
    }
    EXPECT_TRUE(modes.empty());
    EXPECT_FALSE(rewrite);
}

TEST_F(ModesListTest, WrittenLinesReadBackEqual) {
    EXPECT_EQ(BuildModesLine("Net01", true, false), "Net01|1|0\r\n");
    EXPECT_EQ(BuildModesLine("\xC3\x96sterreich", false, true), "\xC3\x96sterreich|0|1\r\n");
    const std::vector<AnsiString> lines{BuildModesLine("Net01", true, false), BuildModesLine("Net02", false, true),
                                        BuildModesLine("\xC3\x96sterreich", true, true)};
    WriteDataFile(UPath("modes.dat"), AsciiU(dir_), lines);
    TZELSVCModesArray modes;
    bool rewrite = false;
    ReadModesFile(UPath("modes.dat"), modes, rewrite, Warn());
    ASSERT_EQ(modes.size(), 3u);
    EXPECT_EQ(modes[0].Network, u"Net01");
    EXPECT_EQ(modes[1].Network, u"Net02");
    EXPECT_EQ(modes[2].Network, u"\u00D6sterreich");
    EXPECT_EQ((std::vector<int>{modes[0].ConnectionMode, modes[0].TalkMode, modes[1].ConnectionMode,
                                modes[1].TalkMode, modes[2].ConnectionMode, modes[2].TalkMode}),
              (std::vector<int>{1, 0, 0, 1, 1, 1}));
    EXPECT_FALSE(rewrite);
    EXPECT_TRUE(warnings_.empty());
}

}  // namespace
}  // namespace zel
