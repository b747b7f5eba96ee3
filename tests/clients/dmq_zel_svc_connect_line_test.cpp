#include "clients/dmq_zel_svc_connect_line.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/client_login_env.hpp"

namespace zel {
namespace {

using namespace test;

// The connect line, read through the context as the worker reads it; the table rows also send
// the answer or the refusal the result leads to.

struct TLineRow {
    const char* Name;
    std::string Line;
    uint8_t Result;
    DC Cause;  // after the refusal, for results 2 to 5
    std::u16string Message;
    std::string Answer;  // the refusal, or the accepted answer of a user
};

void RunRows(TEnv& E, const std::vector<TLineRow>& Rows) {
    for (const TLineRow& r : Rows) {
        SCOPED_TRACE(r.Name);
        auto c = E.NewClient();
        c->ParseConnectString(r.Line);
        EXPECT_EQ(c->ConnectText, "CT:" + r.Line);
        ASSERT_EQ(c->HandshakeResult, r.Result);
        AnsiString answer;
        if (r.Result >= ZELLoginError) {
            c->RefuseHandshake();
            answer = E.Refusal();
        } else if (r.Result == ZELLoginAccepted) {
            EXPECT_EQ(c->Net != nullptr, true);
            c->SendAcceptedLogin();
            answer = c->LoginAnswer;
        }
        EXPECT_EQ(c->Cause(), r.Cause);
        const std::vector<UnicodeString> errors = E.Errors();
        if (r.Message.empty()) {
            EXPECT_TRUE(errors.empty()) << Narrow(errors.front());
        } else {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], r.Message);
        }
        EXPECT_EQ(Normalized(answer), Expand(r.Answer));
    }
}

TEST(ZELConnectLine, ConnectLineTable) {
    TEnv e;
    const TTags base = BaseTags();
    std::vector<TLineRow> rows = {
        {"valid", Join(base), 1, DC::fsdc_DisconnectWithoutAuth, u"", kOk},
        {"no fields", "hello", 0, DC::fsdc_InvalidConnectString, u"No fields on connect string", ""},
        {"empty", "", 0, DC::fsdc_InvalidConnectString, u"No fields on connect string", ""},
        {"second CR", Join(base) + "\r", 0, DC::fsdc_InvalidCharacter, u"Connect string contains wrong characters",
         ""},
        {"control byte in a value", Join(With(base, "ON", "CA\x01L")), 0, DC::fsdc_InvalidCharacter,
         u"Connect string contains wrong characters", ""},
        {"VX empty", Join(With(base, "VX", " ")), 4, DC::fsdc_ServerBlock, u"Empty ANSI VX [ClientVersion] field",
         Refused("2014004", "BLOCK", true)},
        {"VX x", Join(With(base, "VX", "x")), 4, DC::fsdc_ServerBlock,
         u"Wrong value of ANSI VX [ClientVersion] field", Refused("2014004", "BLOCK", true)},
        {"EA @", Join(With(With(base, "EA", " @ "), "VX", "2014003")), 4, DC::fsdc_ServerBlock, u"",
         Refused("2014003", "BLOCK", true)},
        {"EA empty", Join(With(base, "EA", "")), 3, DC::fsdc_ServerWrongPasssword,
         u"Empty ANSI EA [EmailAddress] field", Refused("2014004", "WRONG", true)},
        {"ON empty", Join(With(base, "ON", "  ")), 3, DC::fsdc_ServerWrongPasssword,
         u"Empty ANSI ON [CallsignOpname] field", Refused("2014004", "WRONG", true)},
        {"CT empty", Join(With(base, "CT", "")), 3, DC::fsdc_ServerWrongPasssword,
         u"Empty ANSI CT [CityCityPart] field", Refused("2014004", "WRONG", true)},
        // From step 10 on the capabilities are known: a current client gets no fall-back address.
        {"CEF abc", Join(With(base, "CEF", "abc")), 4, DC::fsdc_ServerBlock,
         u"Wrong CEF [Tolvenar Extention Flags] field: abc", Refused("2014004", "BLOCK", false)},
        {"NN empty, no default country", Join(With(base, "NN", "")), 3, DC::fsdc_ServerWrongPasssword,
         u"Empty NN \"Country\" fileld", Refused("2014004", "WRONG", false)},
        // UTF8 without a list format is dropped by the adjustment: an ordinary login.
        {"CEF 8 without U8TF", Join(With(base, "CEF", "8")), 1, DC::fsdc_DisconnectWithoutAuth, u"", kOk},
        {"CEF 10 without U8TF", Join(With(base, "CEF", "10")), 0, DC::fsdc_WrongUnicodePart,
         u"Wrong length of Unicode(UTF8) part", ""},
        {"U8TF junk", Join(With(With(base, "CEF", "10"), "U8TF", U8('2', U8Items()) + "x")), 0,
         DC::fsdc_WrongUnicodePart, u"Junk on UTF8 part", ""},
        {"U8TF without city",
         Join(With(With(base, "CEF", "10"), "U8TF", U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C"}, {'3', "B"}}))),
         0, DC::fsdc_WrongUnicodePart, u"Got not all of mandatory fields on Unicode(UTF8) part", ""},
        {"U8TF wrong type digit", Join(With(With(base, "CEF", "10"), "U8TF", U8('1', U8Items()))), 0,
         DC::fsdc_WrongUnicodePart, u"Wrong client type on Unicode(UTF8) part", ""},
        {"U8TF no type digit", Join(With(With(base, "CEF", "10"), "U8TF", U8('x', U8Items()))), 0,
         DC::fsdc_WrongUnicodePart, u"Wrong client type on Unicode(UTF8) part", ""},
        {"U8TF overlong", Join(With(With(base, "CEF", "10"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "\xC0\xAF"}, {'3', "B"}, {'6', "T"}}))),
         0, DC::fsdc_WrongUnicodePart, u"Check UTF8 failed: CallsignOpname", ""},
        {"U8TF surrogate", Join(With(With(base, "CEF", "10"), "U8TF",
                                     U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C"}, {'3', "\xED\xA0\x80"}, {'6', "T"}}))),
         0, DC::fsdc_WrongUnicodePart, u"Check UTF8 failed: BandChannel", ""},
        {"U8TF cut sequence", Join(With(With(base, "CEF", "10"), "U8TF",
                                        U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C"}, {'3', "B"}, {'6', "\xE2\x82"}}))),
         0, DC::fsdc_WrongUnicodePart, u"Check UTF8 failed: CityCityPart", ""},
        {"U8TF password count differs", Join(With(With(base, "CEF", "10"), "U8TF",
                                                  U8('2', {{'0', "a@b.c"}, {'1', "pwx"}, {'2', "C"}, {'3', "B"}, {'6', "T"}}))),
         0, DC::fsdc_WrongUnicodePart, u"Check UTF8 failed: Password", ""},
        {"U8TF length past the end", Join(With(With(base, "CEF", "10"), "U8TF", U8('2', U8Items()) + "207ABC")), 0,
         DC::fsdc_WrongUnicodePart, u"Wrong UTF8 field: 2", ""},
        // Tolerance.
        {"reordered, unknown CL", "<CL>2</CL><NT>Test</NT><NN>Land</NN><CT>Town</CT><BC>PC Only</BC><ON>CALL</ON>"
                                  "<PW>pw</PW><EA>a@b.c</EA><VX>2014004</VX>",
         1, DC::fsdc_DisconnectWithoutAuth, u"", kOk},
        {"blanks and tabs between", " " + Join(base, " \t ") + "\t", 1, DC::fsdc_DisconnectWithoutAuth, u"", kOk},
        {"other case network", Join(With(base, "NT", "tEsT")), 1, DC::fsdc_DisconnectWithoutAuth, u"", kOk},
        {"unknown network: the first", Join(With(base, "NT", "Nowhere")), 1, DC::fsdc_DisconnectWithoutAuth, u"",
         kOk},
    };
    // Each missing mandatory tag.
    const std::pair<const char*, const char16_t*> missing[] = {
        {"VX", u"No ANSI VX [ClientVersion] field"}, {"EA", u"No ANSI EA [EmailAddress] field"},
        {"PW", u"No ANSI PW [Password] field"},      {"ON", u"No ANSI ON [CallsignOpname] field"},
        {"BC", u"No ANSI BC [BandChannel] field"},   {"CT", u"No ANSI CT [City - CityPart] field"},
        {"NN", u"No ANSI NN [Country] field"},       {"NT", u"No ANSI NT [Network] field"},
    };
    for (const auto& [tag, message] : missing)
        rows.push_back({tag, Join(Without(base, tag)), 0, DC::fsdc_InvalidConnectString, message, ""});
    // A required tag beyond the first 64 elements counts as missing.
    TTags many = Without(base, "NT");
    for (int i = 0; many.size() < 64; ++i) many.emplace_back("X" + std::to_string(i), "y");
    many.emplace_back("NT", "Test");
    rows.push_back({"NT as the 65th element", Join(many), 0, DC::fsdc_InvalidConnectString,
                    u"No ANSI NT [Network] field", ""});
    RunRows(e, rows);
}

// A text that lands in other members' list entries and could close its element and open a forged
// one (or split a list line) is refused where it enters: an 8-bit field with WRONG, naming the
// field; a UTF-8 item as an invalid item. Everything a real name, place or e-mail holds passes.
TEST(ZELConnectLine, ForgedTextsAreRefused) {
    TEnv e;
    const TTags base = BaseTags();
    const std::string forged = "<ID>" + CalcSourceId("someone@else.org") + "</ID>";
    const auto wrong = [&](const char* Name, const char* Tag, const std::string& Value, const char16_t* Field,
                           bool FallBack) {
        return TLineRow{Name, Join(With(base, Tag, Value)), 3, DC::fsdc_ServerWrongPasssword,
                        u"Forbidden characters in ANSI " + std::u16string(Field) + u" field",
                        Refused("2014004", "WRONG", FallBack)};
    };
    const auto item = [&](const char* Name, char Key, const std::string& Value, const char16_t* Message) {
        auto items = U8Items();
        bool found = false;
        for (auto& [k, v] : items)
            if (k == Key) v = Value, found = true;
        if (!found) items.emplace_back(Key, Value);
        return TLineRow{Name, Join(With(With(base, "CEF", "10"), "U8TF", U8('2', items))), 0,
                        DC::fsdc_WrongUnicodePart, Message, ""};
    };
    RunRows(e, {
        wrong("city holding an id", "CT", "Ber" + forged + "lin", u"CT [CityCityPart]", true),
        wrong("callsign closing the city", "ON", "A<B</CT>", u"ON [CallsignOpname]", true),
        wrong("callsign for a setter's AI", "ON", "DL1X</AI>" + forged + "<AI>", u"ON [CallsignOpname]", true),
        wrong("country with an element", "NN", "DE<S>1</S>", u"NN [Country]", false),
        wrong("band with a bare '>'", "BC", "70cm>", u"BC [BandChannel]", true),
        wrong("description with an id", "DS", "rig" + forged, u"DS [Description]", false),
        wrong("e-mail with an id", "EA", "a@b.c" + forged, u"EA [EmailAddress]", true),
        wrong("callsign with a tab inside", "ON", "DL1\tX", u"ON [CallsignOpname]", true),
        item("UTF-8 callsign with an id", '2', "C" + forged, u"Check UTF8 failed: CallsignOpname"),
        item("UTF-8 city with a '<'", '6', "T<wn", u"Check UTF8 failed: CityCityPart"),
        item("UTF-8 country with a tab", '5', "La\tnd", u"Check UTF8 failed: Country field"),
        item("UTF-8 description with a '>'", '4', "x>", u"Check UTF8 failed: Description field"),
        item("UTF-8 e-mail with a '>'", '0', "a@b.c>", u"Check UTF8 failed: EMail"),
    });
    // What real clients send passes: punctuation, quotes, '&', non-ASCII letters, and a password
    // (never shown to members) holding '<' and '>'.
    auto c = e.NewClient();
    const std::string city = "Saint-\xC3\x89tienne & \"Umgebung\" (70%)";
    c->ParseConnectString(Join(With(With(With(With(base, "CT", city), "ON", "DL1ABC/P"), "PW", "p<w>d"), "DS",
                                    "Tom's rig; 5/9 + 20dB")));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->City, city);
    EXPECT_EQ(c->Password, "p<w>d");
    EXPECT_NE(c->ClassicEntry.find("<CT>" + city + "</CT>"), std::string::npos);
    auto u = e.NewClient();
    auto items = U8Items();
    items[1].second = "p<w>";
    u->ParseConnectString(Join(With(With(With(base, "CEF", "10"), "PW", "p<w>"), "U8TF", U8('2', items))));
    EXPECT_EQ(u->HandshakeResult, ZELLoginAccepted);
    EXPECT_TRUE(e.Errors().empty());
}

// The two forms of a password are compared by their characters before either is cut: 60 two-byte
// characters are 120 bytes, cut to 100 in the 8-bit form, but the same 60 characters in both.
TEST(ZELConnectLine, LongPasswordInBothFormsIsCountedBeforeTheCuts) {
    TEnv e;
    std::string pw;
    for (int i = 0; i < 60; ++i) pw += "\xC3\xA4";
    auto items = U8Items();
    items[1].second = pw;
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "CEF", "10"), "PW", pw), "U8TF", U8('2', items))));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->Password, pw.substr(0, 100));
    EXPECT_EQ(c->PasswordUtf8, pw);
    EXPECT_TRUE(e.Errors().empty());
    // One character more in the UTF-8 form is still refused.
    items[1].second = pw + "x";
    c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "CEF", "10"), "PW", pw), "U8TF", U8('2', items))));
    EXPECT_EQ(c->HandshakeResult, ZELLoginInvalid);
    EXPECT_EQ(c->Cause(), DC::fsdc_WrongUnicodePart);
}

TEST(ZELConnectLine, ToleratedFormsKeepTheirValues) {
    TEnv e;
    auto c = e.NewClient();
    // A tag given twice: the first wins.
    c->ParseConnectString(Join(With(BaseTags(), "ON", "DL1ABC/P")) + "<ON>SECOND</ON><DS> desc </DS>");
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->Callsign, "DL1ABC/P");
    EXPECT_EQ(c->Description, "desc");
    EXPECT_EQ(c->ClientType, TZELClientType::clt_PC);
    EXPECT_EQ(c->Net, e.Test);

    c = e.NewClient();
    c->ParseConnectString(Join(With(With(BaseTags(), "BC", ""), "PW", "")));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->Band, "PC Only");
    EXPECT_EQ(c->Password.size(), 1u);
    EXPECT_TRUE(c->Password[0] >= 'A' && c->Password[0] <= 'Z');

    c = e.NewClient();
    c->ParseConnectString(Join(With(BaseTags(), "BC", "Crosslink")));
    EXPECT_EQ(c->ClientType, TZELClientType::clt_CROSSLINK);
    EXPECT_EQ(c->ClientFlags.load() & ZELClientTypeMask, 0u);
    c = e.NewClient();
    c->ParseConnectString(Join(With(BaseTags(), "BC", "70cm")));
    EXPECT_EQ(c->ClientType, TZELClientType::clt_GATEWAY);
    EXPECT_EQ(c->ClientFlags.load() & ZELClientTypeMask, 0x10u);
}

TEST(ZELConnectLine, NetworkChoice) {
    struct Row {
        const char* Name;
        TTags Tags;
        bool DefaultNetwork;
        const char* Expect;  // the network's client name
    } rows[] = {
        {"exact", With(BaseTags(), "NT", "Net01"), false, "Net01"},
        {"UTF-8 name", With(BaseTags(), "NT", "Z\xC3\xBCrich"), false, "Z\xFCrich"},
        {"8-bit name", With(BaseTags(), "NT", "Z\xFCrich"), false, "Z\xFCrich"},
        {"UTF-8 part's name", With(With(With(BaseTags(), "NT", "zzz"), "CEF", "10"), "U8TF",
                                   U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C"}, {'3', "B"}, {'6', "T"},
                                            {'7', "Z\xC3\xBCrich"}})),
         false, "Z\xFCrich"},
        {"unknown, default network", With(BaseTags(), "NT", "Nowhere"), true, "Net01"},
        {"absent, default network", Without(BaseTags(), "NT"), true, "Net01"},
        {"empty, default network", With(BaseTags(), "NT", ""), true, "Net01"},
        {"empty, no default", With(BaseTags(), "NT", ""), false, "Test"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e({.DefaultNetwork = r.DefaultNetwork});
        auto c = e.NewClient();
        c->ParseConnectString(Join(r.Tags));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        ASSERT_NE(c->Net, nullptr);
        EXPECT_EQ(c->Net->ClientNameA(), r.Expect);
    }

    // No network at all: WRONG.
    TZELService s(u"/etc/server.ini", TEnv::Config({}));
    auto c = CreateWrkCtx<TCtx>(&s, -1, "p", 1, 0);
    c->ParseConnectString(Join(BaseTags()));
    EXPECT_EQ(c->HandshakeResult, ZELLoginWrong);
    EXPECT_EQ(c->Net, nullptr);
}

// The network is chosen once, before the texts are read in its charset: a UTF-8 part's network
// item leads to its network, whose charset reads the 8-bit texts the part does not give (the
// country here); a part the line does not ask for leads nowhere.
TEST(ZELConnectLine, TextsAreReadInTheChosenNetworksCharset) {
    const std::string moskva = "\xCC\xEE\xF1\xEA\xE2\xE0";  // Москва in CP1251
    const auto part = [](const std::string& Net) {
        return U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C"}, {'3', "B"}, {'6', "T"}, {'7', Net}});
    };
    struct Row {
        const char* Name;
        TTags Tags;
        const char* Expect;  // the network's client name
        UnicodeString Country;
    } rows[] = {
        {"8-bit name", With(With(BaseTags(), "NT", "Z\xFCrich"), "NN", moskva), "Z\xFCrich", u"\u041C\u043E\u0441\u043A\u0432\u0430"},
        {"UTF-8 part's name", With(With(With(With(BaseTags(), "NN", moskva), "CEF", "10"), "U8TF", part("Z\xC3\xBCrich")), "NT", "Test"),
         "Z\xFCrich", u"\u041C\u043E\u0441\u043A\u0432\u0430"},
        {"a part not asked for", With(With(With(BaseTags(), "NN", "Land"), "CEF", "2"), "U8TF", part("Z\xC3\xBCrich")),
         "Test", u"Land"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e;
        e.Zurich->SetCharsetName(u"CP1251");
        auto c = e.NewClient();
        c->ParseConnectString(Join(r.Tags));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        ASSERT_NE(c->Net, nullptr);
        EXPECT_EQ(c->Net->ClientNameA(), r.Expect);
        EXPECT_EQ(c->CountryU, r.Country);
    }
}

TEST(ZELConnectLine, DefaultCountry) {
    TEnv e({.DefaultCountry = u"Deutschland"});
    for (const TTags& tags : {With(BaseTags(), "NN", ""), Without(BaseTags(), "NN")}) {
        auto c = e.NewClient();
        c->ParseConnectString(Join(tags));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        EXPECT_EQ(c->Country, "Deutschland");
        EXPECT_EQ(c->CountryU, u"Deutschland");
    }
}

// Messages go out from the client log level of each: 1 for the line, 2 for the UTF-8 part, 6 for
// the three detailed ones, any level for a type digit that differs.
TEST(ZELConnectLine, MessageLevels) {
    const TTags cef = With(BaseTags(), "CEF", "10");
    struct Row {
        std::string Line;
        int32_t Least;
    } rows[] = {
        {Join(With(BaseTags(), "EA", "")), 1},
        {"x", 1},
        {Join(With(cef, "U8TF", U8('2', U8Items()) + "x")), 2},
        {Join(cef), 6},
        {Join(With(cef, "U8TF", U8('x', U8Items()))), 6},
        {Join(With(cef, "U8TF", U8('2', U8Items()) + "2FF")), 6},
        {Join(With(cef, "U8TF", U8('1', U8Items()))), 0},
    };
    for (const Row& r : rows) {
        for (int32_t level = 0; level <= 6; ++level) {
            SCOPED_TRACE(r.Line + " at " + std::to_string(level));
            TEnv e({.LogLevel = level});
            auto c = e.NewClient();
            c->ParseConnectString(r.Line);
            EXPECT_EQ(e.Errors().size(), level >= r.Least ? 1u : 0u);
        }
    }
    // The requested flags are told at level 6.
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(BaseTags(), "CEF", "6")));
    UnicodeString line;
    ASSERT_TRUE(e.S.PopLogLine(line));
    EXPECT_EQ(line, u"Context: 10.0.0.17: Requested Tolvenar Extention Flags: 6: COUNT, SoundAck");
}

// A cap in bytes never splits a character of a multi-byte server set.
TEST(ZELConnectLine, CapsCutAtWholeCharacters) {
    TEnv e;
    std::string call, city;
    for (int i = 0; i < 40; ++i) call += "\xD0\x96";  // Ж, 2 bytes
    for (int i = 0; i < 30; ++i) city += "\xE2\x82\xAC";  // €, 3 bytes
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "ON", call), "CT", city), "DS", city)));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->Callsign, call.substr(0, 50));
    EXPECT_TRUE(IsValidUtf8A(c->Callsign));
    EXPECT_EQ(c->City, city.substr(0, 63));
    EXPECT_EQ(c->Description, city.substr(0, 69));
    EXPECT_EQ(c->CallsignU.size(), 25u);
    EXPECT_TRUE(IsValidUtf8A(c->CompactEntry));
    // Within its cap a text keeps its bytes.
    c = e.NewClient();
    c->ParseConnectString(Join(With(BaseTags(), "ON", call.substr(0, 50))));
    EXPECT_EQ(c->Callsign, call.substr(0, 50));
}

// Bytes the server's set does not read (a text in another set) are cut as bytes, never widened
// and encoded again: the field is always a start of what was sent, and no well-formed UTF-8
// sequence in it is split.
TEST(ZELConnectLine, ForeignBytesAreCutAsBytes) {
    TEnv e;
    std::string cp1251;  // "Привет, мир! " in CP1251
    while (cp1251.size() < 80) cp1251 += "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0! ";
    const std::string straddling = "\xFF" + std::string(68, 'a') + "\xD0\x9F" + std::string(20, 'b');
    const struct {
        std::string Descr;
        size_t Kept;
    } rows[] = {{cp1251.substr(0, 80), 70}, {straddling, 69}};
    for (const auto& r : rows) {
        auto c = e.NewClient();
        c->ParseConnectString(Join(With(BaseTags(), "DS", r.Descr)));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        EXPECT_EQ(c->Description, r.Descr.substr(0, r.Kept));
    }
}

// A non-ASCII password given in both forms is admitted: the character counts are compared.
TEST(ZELConnectLine, NonAsciiPasswordInBothForms) {
    TEnv e;
    const std::string pw = "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";  // Пароль
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "PW", pw), "CEF", "10"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', pw}, {'2', "CALL"}, {'3', "PC Only"}, {'6', "Town"}}))));
    EXPECT_TRUE(e.Errors().empty());
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->PasswordUtf8, pw);
    EXPECT_EQ(c->PasswordU.size(), 6u);
}

TEST(ZELConnectLine, Utf8PartValues) {
    TEnv e({.DefaultCountry = u"Deutschland"});
    std::string longCall;
    for (int i = 0; i < 60; ++i) longCall += "\xF0\x9F\x98\x80";  // a character beyond U+FFFF
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(BaseTags(), "CEF", "10"), "U8TF",
                                    U8('2', {{'9', "skipped"},
                                             {'0', " a@b.c "},
                                             {'1', "pw"},
                                             {'2', longCall},
                                             {'2', "second"},
                                             {'3', "Band\xC3\xA4"},
                                             {'6', "Town"},
                                             {'4', ""},
                                             {'5', ""}}))));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(c->EMailUtf8, "a@b.c");
    // 50 characters, 100 units: the cap counts characters and keeps the pairs whole.
    EXPECT_EQ(c->CallsignUtf8, longCall.substr(0, 200));
    EXPECT_EQ(c->CallsignU.size(), 100u);
    EXPECT_EQ(c->BandU, u"Band\u00e4");
    EXPECT_EQ(c->CountryUtf8, "Deutschland");  // empty item: the default country
    EXPECT_EQ(c->DescriptionUtf8, "");
    EXPECT_EQ(c->Country, "Land");
    EXPECT_NE(c->ClientFlags.load() & ZELClientUtf8, 0u);
    EXPECT_EQ(c->AcceptedFlags, 10u);
    // The user key is built from the UTF-8 forms.
    EXPECT_EQ(Narrow(c->UserKey), StrToHexA("a@b.c") + "00" + StrToHexA(longCall.substr(0, 200)));
}

TEST(ZELConnectLine, CacheListAndSpeakerInfoNeedAListFormatAndUtf8) {
    TEnv e;
    struct Row {
        uint32_t Cef;
        bool WithPart;
        uint32_t Sef;
        uint32_t Flags;  // ClientFlags bits 0x2000000 and 0x4000000
    } rows[] = {
        {0x80 | 8 | 1, true, 0x89, ZELClientSpeakerInfo},
        {0x80 | 8 | 2, true, 0x8A, ZELClientSpeakerInfo},
        {0x880 | 8 | 2, true, 0x80A, ZELClientCacheList},
        {0x80 | 1, false, 1, 0},         // no UTF-8 part
        {0x80 | 8 | 3, true, 0xB, 0},    // the difference list takes neither
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Cef);
        auto c = e.NewClient();
        TTags tags = With(BaseTags(), "CEF", std::to_string(r.Cef));
        if (r.WithPart) tags = With(tags, "U8TF", U8('2', U8Items()));
        c->ParseConnectString(Join(tags));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        EXPECT_EQ(c->AcceptedFlags, r.Sef);
        EXPECT_EQ(c->ClientFlags.load() & (ZELClientSpeakerInfo | ZELClientCacheList), r.Flags);
        EXPECT_EQ((c->ClientFlags.load() & ZELClientListFormatMask) >> 8, r.Sef & 3);
        EXPECT_EQ(c->Caps & ZELCapsExtensions, ZELCapsExtensions);
    }
}

// The record and its parser stand without a service: what they read comes in the environment,
// what they tell goes out in the report (the cause, and the lines that pass the client log level).
TEST(ZELConnectLine, RecordParsesWithoutAService) {
    TZELNetworksList list(nullptr, 0);
    list.SetServerCharsetName(u"UTF-8");
    auto n = std::make_unique<TNet>(u"Test", "Test");
    TNet* net = n.get();
    list.Add(std::move(n));
    TZELConnectLineEnv env;
    env.Networks = &list;
    env.LogLevel = 6;
    TZELClientLoginData d;
    TZELConnectLineReport report;
    d.ParseConnectLine(Join(With(BaseTags(), "CEF", "6")), env, report);
    EXPECT_EQ(d.HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(d.Net, net);
    EXPECT_EQ(report.Cause, DC::fsdc_DisconnectWithoutAuth);
    ASSERT_EQ(report.Lines.size(), 1u);
    EXPECT_FALSE(report.Lines[0].Error);
    EXPECT_EQ(report.Lines[0].Text, u"Requested Tolvenar Extention Flags: 6: COUNT, SoundAck");
    // A UTF-8 part asked for and not given: the cause always, the lines only from level 6.
    for (int32_t level : {5, 6}) {
        SCOPED_TRACE(level);
        env.LogLevel = level;
        TZELClientLoginData u;
        TZELConnectLineReport r;
        u.ParseConnectLine(Join(With(BaseTags(), "CEF", "10")), env, r);
        EXPECT_EQ(u.HandshakeResult, ZELLoginInvalid);
        EXPECT_EQ(r.Cause, DC::fsdc_WrongUnicodePart);
        // At 6 the requested flags come first, as an ordinary line.
        ASSERT_EQ(r.Lines.size(), level >= 6 ? 2u : 0u);
        if (level >= 6) {
            EXPECT_FALSE(r.Lines[0].Error);
            EXPECT_TRUE(r.Lines[1].Error);
            EXPECT_EQ(r.Lines[1].Text, u"Wrong length of Unicode(UTF8) part");
        }
    }
}

}  // namespace
}  // namespace zel
