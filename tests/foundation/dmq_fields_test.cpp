#include "foundation/dmq_fields.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zel {
namespace {

struct Split {
    int32_t count;
    std::vector<std::string> fields;  // the first count entries
    std::vector<TBufFieldRec> raw;    // all MaxFields entries
};

Split RunSplit(const std::string& text, int32_t max_fields, char delimiter = ';') {
    Split s;
    s.raw.assign(static_cast<size_t>(max_fields) + 1, TBufFieldRec{nullptr, -99});
    TSplitBufInfo info;
    info.Text = text.data();
    info.Fields = s.raw.data();
    info.Len = static_cast<int32_t>(text.size());
    info.MaxFields = max_fields;
    info.Delimiter = static_cast<uint8_t>(delimiter);
    s.count = SplitBufFields(info);
    for (int32_t i = 0; i < s.count; ++i) s.fields.emplace_back(s.raw[i].P, static_cast<size_t>(s.raw[i].Len));
    return s;
}

TEST(SplitBufFields, Table) {
    struct Case {
        std::string text;
        int32_t max;
        std::vector<std::string> fields;
    } cases[] = {
        {"a;b", 5, {"a", "b"}},
        {"a;b;", 5, {"a", "b", ""}},
        {";", 5, {"", ""}},
        {"", 5, {}},
        {"abc", 5, {"abc"}},
        {"a;;b", 4, {"a", "", "b"}},
        {";;", 5, {"", "", ""}},
        {"a;b;c;", 3, {"a", "b", "c"}},  // no fourth (empty) field: MaxFields reached
        {"a;b;c;d;e", 2, {"a", "b"}},
        {"a;b", 0, {}},
        {std::string("x\0y;z", 5), 3, {std::string("x\0y", 3), "z"}},
    };
    for (const auto& c : cases) {
        Split s = RunSplit(c.text, c.max);
        EXPECT_EQ(s.count, static_cast<int32_t>(c.fields.size())) << c.text;
        EXPECT_EQ(s.fields, c.fields) << c.text;
    }
}

TEST(SplitBufFields, FieldsPointIntoTheTextAndTheRestIsEndZero) {
    const std::string text = "a;;b";
    Split s = RunSplit(text, 4);
    ASSERT_EQ(s.count, 3);
    EXPECT_EQ(s.raw[0].P, text.data());
    EXPECT_EQ(s.raw[1].P, text.data() + 2);
    EXPECT_EQ(s.raw[1].Len, 0);
    EXPECT_EQ(s.raw[2].P, text.data() + 3);
    EXPECT_EQ(s.raw[3].P, text.data() + 4);  // (end, 0)
    EXPECT_EQ(s.raw[3].Len, 0);
    EXPECT_EQ(s.raw[4].Len, -99);  // nothing written beyond MaxFields

    const std::string three = "a;b;c;";
    Split t = RunSplit(three, 3);
    EXPECT_EQ(t.count, 3);
    EXPECT_EQ(t.raw[3].Len, -99);

    const std::string trailing = "a;";
    Split u = RunSplit(trailing, 3);
    ASSERT_EQ(u.count, 2);
    EXPECT_EQ(u.raw[1].P, trailing.data() + 2);
    EXPECT_EQ(u.raw[2].P, trailing.data() + 2);
}

TEST(SplitBufFields, HighByteDelimiter) {
    Split s = RunSplit("a\xff" "b", 3, '\xff');
    EXPECT_EQ(s.fields, (std::vector<std::string>{"a", "b"}));
}

TEST(ExtractField, Table) {
    struct Case {
        const char* text;
        int32_t n;
        bool ok;
        const char* field;
    } cases[] = {
        {"a;b", 1, true, "a"},   {"a;b", 2, true, "b"},  {"a;b", 3, false, ""},
        {"a;", 2, true, ""},     {"a;", 1, true, "a"},   {";", 2, true, ""},
        {"", 1, false, ""},      {"a", 0, false, ""},    {"a", -1, false, ""},
        {"x;;z", 2, true, ""},   {"x;;z", 3, true, "z"}, {"abc", 1, true, "abc"},
    };
    for (const auto& c : cases) {
        AnsiString a = "junk";
        EXPECT_EQ(ExtractFieldA(c.text, ';', c.n, a), c.ok) << c.text << " " << c.n;
        EXPECT_EQ(a, c.field) << c.text << " " << c.n;
        UnicodeString u = u"junk";
        EXPECT_EQ(ExtractFieldU(WidenStrU(c.text), u';', c.n, u), c.ok) << c.text << " " << c.n;
        EXPECT_EQ(u, WidenStrU(c.field)) << c.text << " " << c.n;
    }
}

TEST(FieldCount, SeparatorsPlusOne) {
    EXPECT_EQ(FieldCountA("", ','), 0);
    EXPECT_EQ(FieldCountA("a", ','), 1);
    EXPECT_EQ(FieldCountA(",", ','), 2);
    EXPECT_EQ(FieldCountA("a,b,,c", ','), 4);
    EXPECT_EQ(FieldCountU(u"", u','), 0);
    EXPECT_EQ(FieldCountU(u"a\u3000b", u'\u3000'), 2);
}

TEST(SmallText, CopyFromReverseWhiteSpaceCharIn) {
    EXPECT_EQ(CopyFromA("abcd", 2), "bcd");
    EXPECT_EQ(CopyFromA("abcd", 1), "abcd");
    EXPECT_EQ(CopyFromA("abcd", 0), "abcd");
    EXPECT_EQ(CopyFromA("abcd", -7), "abcd");
    EXPECT_EQ(CopyFromA("abcd", 4), "d");
    EXPECT_EQ(CopyFromA("abcd", 5), "");
    EXPECT_EQ(CopyFromU(u"abcd", 3), u"cd");
    EXPECT_EQ(CopyFromU(u"abcd", 9), u"");

    EXPECT_EQ(ReverseStrA("abc"), "cba");
    EXPECT_EQ(ReverseStrA(""), "");

    for (char c : {'\r', '\n', '\t', '\f', ' '}) EXPECT_TRUE(IsWhiteSpaceA(c)) << int(c);
    for (char c : {'\v', '\0', 'a', '\xa0'}) EXPECT_FALSE(IsWhiteSpaceA(c)) << int(c);

    EXPECT_TRUE(CharInStrA('b', "abc"));
    EXPECT_FALSE(CharInStrA('z', "abc"));
    EXPECT_FALSE(CharInStrA('a', ""));
    EXPECT_TRUE(CharInStrA('\0', AnsiView("a\0", 2)));
}

}  // namespace
}  // namespace zel
