#include "service/dmq_zel_svc_notices_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_datafile.hpp"
#include "tests/support/list_file_test.hpp"

namespace zel {
namespace {

using test::AsciiU;

struct Notice {
    std::string Network;  // UTF-8
    std::string Notice1;
    std::string Notice2;
    bool operator==(const Notice&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Notice& n) {
    return os << n.Network << '|' << n.Notice1 << '|' << n.Notice2;
}

class NoticesListTest : public test::ListFileTest {
protected:
    std::vector<Notice> ReadFile(bool& rewrite) {
        TZELSVCNoticeChain chain = ReadNoticesFile(UPath("notices.dat"), rewrite, Warn());
        std::vector<Notice> out;
        for (auto* r = chain.Head(); r != nullptr; r = r->Next)
            out.push_back({DefaultUnicodeToAnsiA(r->Network), r->Data.Notice1, r->Data.Notice2});
        return out;
    }
    std::vector<Notice> Read(const std::string& data, bool& rewrite) {
        Put(Path("notices.dat"), data);
        return ReadFile(rewrite);
    }
};

TEST_F(NoticesListTest, LineRules) {
    using N = std::vector<Notice>;
    struct {
        std::string line;
        N notices;  // empty: the line is dropped with the flag and one warning
    } const rows[] = {
        {"Net|414243|", N{{"Net", "ABC", ""}}},
        {"Net||C3A4", N{{"Net", "", "\xC3\xA4"}}},
        {"Net|FF|", N{{"Net", "\xFF", ""}}},              // the first notice is not checked
        {" Net | 41 42 |43 ", N{{"Net", "AB", "C"}}},    // fields trimmed, blanks inside hex skipped
        {"Net|4|41", N{{"Net", "", "A"}}},               // a single digit is an empty text
        {"Net|41|42|43", N{{"Net", "A", "B"}}},           // fields past the third ignored
        {"Net||", N{}},                                   // both notices empty
        {"Net", N{}},
        {"Net|41|C3", N{}},                               // the second notice must be UTF-8
        {"Net|4G|", N{}},
        {"Net||414", N{}},
        {"|41|41", N{}},
        {"N\xC3|41|41", N{}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        bool rewrite = false;
        warnings_.clear();
        EXPECT_EQ(Read(r.line + "\r\n", rewrite), r.notices);
        EXPECT_EQ(rewrite, r.notices.empty());
        EXPECT_EQ(warnings_.size(), r.notices.empty() ? 1u : 0u);
    }
}

TEST_F(NoticesListTest, FileErrorsRaise) {
    bool rewrite = false;
    EXPECT_THROW(ReadNoticesFile(UPath("none.dat"), rewrite, Warn()), EListFileMissing);
    EXPECT_FALSE(rewrite);
}

// The longest notices the server keeps (500 bytes; 500 characters of four UTF-8 bytes) make a line
// of over 4 KiB that must come back whole.
TEST_F(NoticesListTest, WrittenLinesReadBackEqualNewestFirst) {
    std::string emoji;
    for (int i = 0; i < 500; ++i) emoji += "\xF0\x9F\x98\x80";
    const TZELSVCNoticeData longest{std::string(500, '\xE9'), emoji};
    const TZELSVCNoticeData small{"Hi", ""};
    EXPECT_EQ(BuildNoticeLine("Net", small), "Net|4869|\r\n");
    EXPECT_EQ(BuildNoticeLine("Net", {"", "\xC3\xA4"}), "Net||C3A4\r\n");

    WriteDataFile(UPath("notices.dat"), AsciiU(dir_),
                  std::vector<AnsiString>{BuildNoticeLine("First", longest), BuildNoticeLine("Second", small)});
    bool rewrite = false;
    EXPECT_EQ(ReadFile(rewrite), (std::vector<Notice>{{"Second", "Hi", ""}, {"First", longest.Notice1, emoji}}));
    EXPECT_FALSE(rewrite);
    EXPECT_TRUE(warnings_.empty());
}

}  // namespace
}  // namespace zel
