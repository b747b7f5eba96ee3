#include "clients/dmq_zel_svc_context.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/dmq_hex.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "foundation/dmq_zel_classes.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/socketless_client.hpp"
#include "tests/support/stand_in_network.hpp"

namespace zel {
namespace {

using DC = TZELSVCDisconnectCause;
using Mode = TZELSystemManagerMode;

// A network whose answers the tests set.
class TNet : public test::StandInNetwork {
public:
    TNet(UnicodeView Name, AnsiString ClientName) : ClientName(std::move(ClientName)) { Name_ = UnicodeString(Name); }
    AnsiString ClientNameA() const override { return ClientName; }
    AnsiString MessageText() const override { return Mt; }
    AnsiString MessageTextUtf8() const override { return Mtu; }
    Mode EffectiveManagerMode() const override { return ManagerMode; }
    uint32_t ActiveManagersMask() const override { return Mask; }
    int32_t SpeechLimitSeconds() const override { return SpeechLimit; }

    AnsiString ClientName;
    AnsiString Mt, Mtu;
    Mode ManagerMode = Mode::smm_Standalone;
    uint32_t Mask = 0;
    int32_t SpeechLimit = 0;
};

using TCtx = test::SocketlessClient;

struct TEnvOptions {
    UnicodeString DefaultCountry{};
    bool DefaultNetwork = false;
    bool DisableDUPL = false;
    int32_t LogLevel = 6;
};

// A service with three networks ("Test", "Net01" and "Zürich", whose clients see its name in
// Latin-1), a UTF-8 server charset and the present address "h" port "p".
struct TEnv {
    explicit TEnv(const TEnvOptions& O = {}) : S(u"/etc/server.ini", Config(O)), List(nullptr, 0) {
        List.SetServerCharsetName(u"UTF-8");
        auto add = [&](UnicodeView Name, AnsiString ClientName) {
            auto n = std::make_unique<TNet>(Name, std::move(ClientName));
            TNet* p = n.get();
            List.Add(std::move(n));
            return p;
        };
        Test = add(u"Test", "Test");
        Net01 = add(u"Net01", "Net01");
        Zurich = add(u"Z\u00fcrich", "Z\xfcrich");
        S.SetLoginNetworks(&List, O.DefaultNetwork ? Net01 : nullptr);
        S.PresentServerAddress = u"h";
        S.PresentServerPort = u"p";
        S.DisableDUPL = O.DisableDUPL;
        S.LogClientLevel = O.LogLevel;
    }
    static TZELServiceConfig Config(const TEnvOptions& O) {
        TZELServiceConfig c;
        c.ServerCharsetName = u"UTF-8";
        c.DefaultCountry = O.DefaultCountry;
        return c;
    }
    std::unique_ptr<TCtx> NewClient() { return CreateWrkCtx<TCtx>(&S, -1, "10.0.0.1", 7, 0); }
    // The error lines logged since the last call, without "ERROR: Context: <name>: ".
    std::vector<UnicodeString> Errors() {
        std::vector<UnicodeString> v;
        UnicodeString line;
        const UnicodeString prefix = u"ERROR: Context: 10.0.0.17: ";
        while (S.PopLogLine(line))
            if (line.compare(0, prefix.size(), prefix) == 0) v.push_back(line.substr(prefix.size()));
        return v;
    }
    // The answer of a login-refused record, when one was posted.
    AnsiString Refusal() {
        std::unique_ptr<TZELSVCNetQueueRecord> r;
        AnsiString text;
        while (S.ServQueue().Pop(r))
            if (r->Command == TZELSVCNetQueueCommand::fsnq_LoginRefused) text = r->Text1;
        return text;
    }

    TZELService S;
    TZELNetworksList List;
    TNet* Test;
    TNet* Net01;
    TNet* Zurich;
};

std::string Narrow(UnicodeView S) { return NarrowStrA(S); }

using TTags = std::vector<std::pair<std::string, std::string>>;

TTags BaseTags() {
    return {{"VX", "2014004"}, {"EA", "a@b.c"},  {"PW", "pw"},   {"ON", "CALL"},
            {"BC", "PC Only"}, {"CT", "Town"},   {"NN", "Land"}, {"NT", "Test"}};
}

std::string Join(const TTags& Tags, const std::string& Sep = "") {
    std::string s;
    for (const auto& [t, v] : Tags) {
        if (!s.empty()) s += Sep;
        s += "<" + t + ">" + v + "</" + t + ">";
    }
    return s;
}

TTags With(TTags Tags, const std::string& Tag, const std::string& Value) {
    for (auto& [t, v] : Tags)
        if (t == Tag) {
            v = Value;
            return Tags;
        }
    Tags.emplace_back(Tag, Value);
    return Tags;
}

TTags Without(TTags Tags, const std::string& Tag) {
    std::erase_if(Tags, [&](const auto& p) { return p.first == Tag; });
    return Tags;
}

// A UTF-8 part: the type digit, then each item as key, length, bytes.
std::string U8(char Type, const std::vector<std::pair<char, std::string>>& Items) {
    std::string s(1, Type);
    for (const auto& [k, v] : Items) s += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
    return s;
}

std::vector<std::pair<char, std::string>> U8Items() {
    return {{'0', "a@b.c"}, {'1', "pw"}, {'2', "CALL"}, {'3', "PC Only"}, {'6', "Town"}};
}

// The running time is whatever it is; the version text is the build's.
std::string Normalized(std::string A) {
    const size_t b = A.find("<UT>");
    const size_t e = A.find("</UT>");
    if (b != std::string::npos && e != std::string::npos && e > b) A.replace(b + 4, e - b - 4, "12");
    return A;
}

std::string Expand(std::string T) {
    const std::string tvr(ZELVersionText());
    for (size_t p; (p = T.find("@TVR@")) != std::string::npos;) T.replace(p, 5, tvr);
    for (size_t p; (p = T.find("@ID@")) != std::string::npos;) T.replace(p, 4, CalcSourceId("a@b.c"));
    return T;
}

// ---------------------------------------------------------------------------------------------
// The connect line.

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

const char kOk[] =
    "2014004\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><ID>@ID@</ID><NT>Test</NT><EM>S</EM>"
    "<UT>12</UT><TVR>@TVR@</TVR>\r\n";

std::string Refused(const char* Version, const char* Word, bool FallBack) {
    return std::string(Version) + "\r\n<MT></MT><SV>2014004</SV><AL>" + Word + "</AL>" +
           (FallBack ? "<BN>h</BN><BP>p</BP>" : "<BN></BN><BP></BP>") + "<UT>12</UT><TVR>@TVR@</TVR>\r\n";
}

TEST(ZELSVCContext, ConnectLineTable) {
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
TEST(ZELSVCContext, ForgedTextsAreRefused) {
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
TEST(ZELSVCContext, LongPasswordInBothFormsIsCountedBeforeTheCuts) {
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

TEST(ZELSVCContext, ToleratedFormsKeepTheirValues) {
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

TEST(ZELSVCContext, NetworkChoice) {
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

TEST(ZELSVCContext, DefaultCountry) {
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
TEST(ZELSVCContext, MessageLevels) {
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

// ---------------------------------------------------------------------------------------------
// Mended faults.

// A cap in bytes never splits a character of a multi-byte server set.
TEST(ZELSVCContext, CapsCutAtWholeCharacters) {
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

// A non-ASCII password given in both forms is admitted: the character counts are compared.
TEST(ZELSVCContext, NonAsciiPasswordInBothForms) {
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

// ---------------------------------------------------------------------------------------------
// The UTF-8 part.

TEST(ZELSVCContext, Utf8PartValues) {
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

// ---------------------------------------------------------------------------------------------
// Golden answers.

TEST(ZELSVCContext, AcceptedAnswers) {
    struct Row {
        const char* Name;
        TTags Tags;
        TZELClientPrivilege Privilege;
        std::string Answer;
        bool NetTexts = false;  // the network gives texts, a speech limit and ZEL mode
    } rows[] = {
        {"KP at 2010001", With(BaseTags(), "VX", "2010001"), TZELClientPrivilege::clpr_USER,
         "2010001\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><BN>h</BN><BP>p</BP><KP>111111</KP><ID>@ID@</ID>"
         "<NT>Test</NT><EM>S</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"},
        {"OWNER at 2012002", With(BaseTags(), "VX", "2012002"), TZELClientPrivilege::clpr_NETOWNER,
         "2012002\r\n<MT></MT><SV>2014004</SV><AL>OWNER</AL><BN>h</BN><BP>p</BP><ID>@ID@</ID>"
         "<NT>Test</NT><EM>S</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"},
        {"NETOWNER at 2012003", With(BaseTags(), "VX", "2012003"), TZELClientPrivilege::clpr_NETOWNER,
         "2012003\r\n<MT></MT><SV>2014004</SV><AL>NETOWNER</AL><BN>h</BN><BP>p</BP><ID>@ID@</ID>"
         "<NT>Test</NT><EM>S</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"},
        {"BN and BP at 2014000", With(BaseTags(), "VX", "2014000"), TZELClientPrivilege::clpr_ADMIN,
         "2014000\r\n<MT></MT><SV>2014004</SV><AL>ADMIN</AL><BN>h</BN><BP>p</BP><ID>@ID@</ID>"
         "<NT>Test</NT><EM>S</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"},
        {"none at 2014003", With(BaseTags(), "VX", "2014003"), TZELClientPrivilege::clpr_SERVOWNER,
         "2014003\r\n<MT></MT><SV>2014004</SV><AL>OWNER</AL><BN></BN><BP></BP><ID>@ID@</ID>"
         "<NT>Test</NT><EM>S</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"},
        {"SEF for CEF 0", With(BaseTags(), "CEF", "0"), TZELClientPrivilege::clpr_USER, kOk},
        {"SEF for CEF 6", With(BaseTags(), "CEF", "6"), TZELClientPrivilege::clpr_USER,
         "2014004\r\n<MT>m</MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><SEF>6</SEF><ID>@ID@</ID>"
         "<NT>Test</NT><TT>300</TT><EM>Z</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n", true},
        {"SEF for CEF 10", With(With(BaseTags(), "CEF", "10"), "U8TF", U8('2', U8Items())),
         TZELClientPrivilege::clpr_USER,
         "2014004\r\n<MT>m</MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><SEF>10</SEF><MTU>m8</MTU>"
         "<ID>@ID@</ID><NT>Test</NT><TT>300</TT><EM>Z</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n", true},
        {"SEF for CEF 20", With(BaseTags(), "CEF", "20"), TZELClientPrivilege::clpr_USER,
         "2014004\r\n<MT>m</MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><SEF>4</SEF><ID>@ID@</ID>"
         "<NT>Test</NT><TT>300</TT><EM>Z</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n", true},
        {"CacheList wins over SpeakerInfo", With(With(BaseTags(), "CEF", std::to_string(0x800 | 0x80 | 8 | 1)), "U8TF",
                                                 U8('2', U8Items())),
         TZELClientPrivilege::clpr_USER,
         "2014004\r\n<MT>m</MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><SEF>2057</SEF><MTU>m8</MTU>"
         "<ID>@ID@</ID><NT>Test</NT><CZ>32</CZ><TT>300</TT><EM>Z</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e;
        if (r.NetTexts) {
            e.Test->Mt = "m";
            e.Test->Mtu = "m8";
            e.Test->SpeechLimit = 300;
            e.Test->ManagerMode = Mode::smm_ZEL;
        }
        auto c = e.NewClient();
        c->ParseConnectString(Join(r.Tags));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        c->Privilege = r.Privilege;
        c->SendAcceptedLogin();
        EXPECT_EQ(Normalized(c->LoginAnswer), Expand(r.Answer));
    }
}

TEST(ZELSVCContext, CacheListAndSpeakerInfoNeedAListFormatAndUtf8) {
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

TEST(ZELSVCContext, Refusals) {
    struct Row {
        const char* Name;
        TTags Tags;
        bool DisableDUPL;
        uint8_t Reason;
        std::string Answer;
    } rows[] = {
        {"ERROR", BaseTags(), false, 2, Refused("2014004", "ERROR", false)},
        {"DUPL", BaseTags(), false, 5, Refused("2014004", "DUPL", false)},
        {"DUPL under DisableDUPL", BaseTags(), true, 5, Refused("2014004", "BLOCK", false)},
        {"with U8TF: SEF 8 stays", With(With(BaseTags(), "CEF", "14"), "U8TF", U8('2', U8Items())), false, 3,
         "2014004\r\n<MT></MT><SV>2014004</SV><AL>WRONG</AL><BN></BN><BP></BP><SEF>8</SEF><UT>12</UT>"
         "<TVR>@TVR@</TVR>\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e({.DisableDUPL = r.DisableDUPL});
        auto c = e.NewClient();
        c->ParseConnectString(Join(r.Tags));
        c->Net = nullptr;  // refused before it joins
        TStringBldA b;
        c->BuildRefusal(b, r.Reason);
        EXPECT_EQ(Normalized(StrBldAToStr(b)), Expand(r.Answer));
    }
    TEnv e;
    auto c = e.NewClient();
    TStringBldA b;
    for (uint8_t bad : {0, 1, 6}) {
        try {
            c->BuildRefusal(b, bad);
            ADD_FAILURE();
        } catch (const Exception& x) {
            EXPECT_EQ(x.Message(), "Unknown login error");
        }
    }
}

// RefuseHandshake: the cause by result (DUPL becomes BLOCK under DisableDUPL) and a login-refused
// record that carries the answer; result 1 and unknown results raise.
TEST(ZELSVCContext, RefuseHandshakeCausesAndRecord) {
    struct Row {
        uint8_t Result;
        bool DisableDUPL;
        DC Cause;
        const char* Word;
    } rows[] = {
        {2, false, DC::fsdc_ServerError, "ERROR"},         {3, false, DC::fsdc_ServerWrongPasssword, "WRONG"},
        {4, false, DC::fsdc_ServerBlock, "BLOCK"},         {5, false, DC::fsdc_ServerDuplicate, "DUPL"},
        {5, true, DC::fsdc_ServerBlock, "BLOCK"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Result);
        TEnv e({.DisableDUPL = r.DisableDUPL});
        auto c = e.NewClient();
        c->HandshakeResult = r.Result;
        c->RefuseHandshake();
        EXPECT_EQ(c->Cause(), r.Cause);
        std::unique_ptr<TZELSVCNetQueueRecord> rec;
        ASSERT_TRUE(e.S.ServQueue().Pop(rec));
        EXPECT_EQ(rec->Command, TZELSVCNetQueueCommand::fsnq_LoginRefused);
        EXPECT_EQ(rec->Owner, c.get());
        EXPECT_EQ(Normalized(rec->Text1), Expand(Refused("2014004", r.Word, true)));
    }
    TEnv e;
    auto c = e.NewClient();
    for (auto [result, message] : {std::pair<uint8_t, const char*>{1, "TCP_client_error: there is no any error"},
                                   {0, "Unknown login error"},
                                   {9, "Unknown login error"}}) {
        c->HandshakeResult = result;
        try {
            c->RefuseHandshake();
            ADD_FAILURE();
        } catch (const Exception& x) {
            EXPECT_EQ(x.Message(), message);
        }
    }
    c->Privilege = static_cast<TZELClientPrivilege>(9);
    EXPECT_THROW(c->SendAcceptedLogin(), Exception);
}

TEST(ZELSVCContext, StateAnswer) {
    TEnv e;
    e.Test->Mt = "m";
    e.Test->Mtu = "m8";
    e.Test->SpeechLimit = 60;
    e.Test->ManagerMode = Mode::smm_Light;
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(BaseTags(), "CEF", "10"), "U8TF", U8('2', U8Items()))));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    c->Privilege = TZELClientPrivilege::clpr_ADMIN;
    TStringBldA b;
    ASSERT_TRUE(c->BuildStateAnswer(b));
    EXPECT_EQ(Normalized(StrBldAToStr(b)),
              Expand("\x90<AL>ADMIN</AL><SEF>10</SEF><NT>Test</NT><ID>@ID@</ID><MT>m</MT><MTU>m8</MTU><TT>60</TT>"
                     "<EM>L</EM><UT>12</UT><TVR>@TVR@</TVR>\r\n"));
    c->Net = nullptr;
    EXPECT_FALSE(c->BuildStateAnswer(b));
    EXPECT_EQ(b.Len(), 0);
}

// ---------------------------------------------------------------------------------------------
// The managers' verdict.

TEST(ZELSVCContext, ManagerAcceptTable) {
    const char* table[4] = {"111111", "111111", "111001", "110000"};
    for (int m = 0; m < 4; ++m)
        for (uint8_t a = 0; a < 6; ++a)
            EXPECT_EQ(TZELSVCContext::ManagerAccepts(static_cast<Mode>(m), a), table[m][a] == '1') << m << a;
}

TEST(ZELSVCContext, ManagerVerdict) {
    struct Row {
        const char* Name;
        Mode NetMode;
        uint32_t Mask;
        std::array<uint8_t, 3> Answers;
        bool Accepted;
        uint8_t Reason;  // 99: unchanged
    } rows[] = {
        {"no link selected", Mode::smm_ZEL, 0, {3, 3, 3}, false, 99},
        {"one link, no answer yet", Mode::smm_ZEL, 2, {3, 0, 3}, true, 0},
        {"one link, WRONG", Mode::smm_ZEL, 2, {1, 3, 1}, false, 3},
        {"one link, OK", Mode::smm_ZEL, 4, {3, 3, 1}, true, 0},
        {"one link, ERROR under LIGHT", Mode::smm_Light, 1, {2, 3, 3}, true, 0},
        {"three links, DUPL first", Mode::smm_ZEL, 7, {2, 5, 3}, false, 5},
        {"three links, WRONG before BLOCK", Mode::smm_ZEL, 7, {4, 3, 2}, false, 3},
        {"three links, BLOCK before ERROR", Mode::smm_ZEL, 7, {4, 2, 4}, false, 4},
        {"three links, one accepts", Mode::smm_Light, 7, {4, 2, 3}, true, 0},
        {"three links, all ERROR", Mode::smm_ZEL, 7, {2, 2, 2}, false, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        TEnv e;
        e.Test->ManagerMode = r.NetMode;
        e.Test->Mask = r.Mask;
        auto c = e.NewClient();
        c->Net = e.Test;
        c->ResetManagerAnswers(r.NetMode);
        for (int i = 0; i < 3; ++i) c->ManagerInfo[i].Answer = r.Answers[i];
        c->RemarkManagerAnswers(r.NetMode);
        uint8_t reason = 99;
        EXPECT_EQ(c->ManagerVerdict(reason), r.Accepted);
        if (!r.Accepted) {
            EXPECT_EQ(reason, r.Reason);
        }
    }
    TEnv e;
    auto c = e.NewClient();
    uint8_t reason = 0;
    try {
        c->ManagerVerdict(reason);
        ADD_FAILURE();
    } catch (const Exception& x) {
        EXPECT_EQ(x.Message(), "Manager mode must not be STANDALONE");
    }
    c->Net = e.Test;
    EXPECT_THROW(c->ManagerVerdict(reason), Exception);
}

// Construction clears all three links' records; a cleared link drops one from the count.
TEST(ZELSVCContext, ManagerRecords) {
    TEnv e;
    auto c = e.NewClient();
    for (const TZELSVCContextManagerInfo& m : c->ManagerInfo) {
        EXPECT_TRUE(m.Session.empty());
        EXPECT_EQ(m.Answer, 0);
        EXPECT_FALSE(m.Accept);
    }
    for (TZELSVCContextManagerInfo& m : c->ManagerInfo) m = {"s", 3, false};
    c->ManagerAnswerCount = 3;
    c->ClearManagerAnswer(2, Mode::smm_ZEL);
    EXPECT_EQ(c->ManagerAnswerCount, 2);
    EXPECT_TRUE(c->ManagerInfo[2].Session.empty());
    EXPECT_EQ(c->ManagerInfo[2].Answer, 0);
    EXPECT_TRUE(c->ManagerInfo[2].Accept);
    EXPECT_EQ(c->ManagerInfo[1].Session, "s");
    c->ResetManagerAnswers(Mode::smm_ZEL);
    EXPECT_EQ(c->ManagerAnswerCount, 0);
    EXPECT_TRUE(c->ManagerInfo[1].Session.empty());
}

// ---------------------------------------------------------------------------------------------
// Entries, sort key and log lines.

TEST(ZELSVCContext, ListEntries) {
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(BaseTags()));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    const std::string id = CalcSourceId("a@b.c");
    EXPECT_EQ(c->ClassicEntry, "<S>0</S><M>0</M><NN>Land</NN><CT>Town</CT><BC>PC Only</BC><CL>2</CL><ON>CALL</ON>"
                               "<ID>" + id + "</ID><DS></DS>\r\n");
    // Flags 0x700820 and 63 = 0x20; an empty description is its tag and "00".
    EXPECT_EQ(c->CompactEntry, "20" "504Land" "604Town" "307PC Only" "204CALL" "818" + id + "400" "\r\n");
    EXPECT_EQ(c->CompactEntryUtf8, c->CompactEntry);
    EXPECT_TRUE(c->ManagerUtf8Part.empty());

    c->ClientFlags.fetch_or(ZELClientListenOnly | ZELClientMuted | 2);
    c->WriteEntryStatus();
    EXPECT_EQ(c->ClassicEntry[ZELEntryStatusPos], '7');
    EXPECT_EQ(c->ClassicEntry[ZELEntryMutedPos], '1');
    EXPECT_EQ(c->ClassicEntry.substr(0, 16), "<S>7</S><M>1</M>");

    auto u = e.NewClient();
    u->ParseConnectString(Join(With(With(BaseTags(), "CEF", "9"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C\xC3\xA4"}, {'3', "B"}, {'6', "T"}}))));
    ASSERT_EQ(u->HandshakeResult, ZELLoginAccepted);
    // 0x700820 with list format 1 (0x100) and UTF-8 (0x80), and 191: 0xA0.
    EXPECT_EQ(u->CompactEntryUtf8, "A0" "500" "601T" "301B" "203C\xC3\xA4" "818" + id + "400" "\r\n");
    EXPECT_EQ(u->ManagerUtf8Part,
              "<U8TF>2" "005a@b.c" "102pw" "203C\xC3\xA4" "301B" "400" "500" "601T" "</U8TF>");

    // Without a UTF-8 part, 8-bit fields that are not valid in the server's charset (UTF-8 here)
    // reach UTF-8 members converted: each byte that does not convert is a "?".
    auto raw = e.NewClient();
    raw->ParseConnectString(Join(With(With(BaseTags(), "ON", "\xff\xfe\x80"), "DS", "Gr\xC3\xBC\xC3\x9F" "e\xE9")));
    ASSERT_EQ(raw->HandshakeResult, ZELLoginAccepted);
    EXPECT_EQ(raw->CompactEntry.substr(0, 32), "20" "504Land" "604Town" "307PC Only" "203\xff\xfe\x80");
    EXPECT_EQ(raw->CompactEntryUtf8,
              "20" "504Land" "604Town" "307PC Only" "203???" "818" + id + "408Gr\xC3\xBC\xC3\x9F" "e?" "\r\n");
    EXPECT_TRUE(IsValidUtf8A(raw->CompactEntryUtf8));
}

TEST(ZELSVCContext, SortKeyOrdersByTypeCountryCityCallsignBandNumber) {
    TEnv e;
    auto key = [&](const TTags& Tags) {
        auto c = e.NewClient();
        c->ParseConnectString(Join(Tags));
        EXPECT_EQ(c->HandshakeResult, ZELLoginAccepted);
        return c->SortKey;
    };
    const std::string a = key(BaseTags());
    const std::string b = key(BaseTags());  // a later context: its number orders it after
    const std::string gateway = key(With(BaseTags(), "BC", "2m"));
    const std::string country = key(With(BaseTags(), "NN", "Lane"));
    const std::string city = key(With(BaseTags(), "CT", "Towo"));
    EXPECT_EQ(a.size(), 96u);  // 92 bytes padded to a multiple of 8
    EXPECT_LT(CompareKey8(a, b), 0);
    EXPECT_LT(CompareKey8(gateway, a), 0);
    EXPECT_LT(CompareKey8(a, country), 0);
    EXPECT_LT(CompareKey8(a, city), 0);
    EXPECT_LT(CompareKey8(city, country), 0);
}

TEST(ZELSVCContext, LogLines) {
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(With(With(With(BaseTags(), "CEF", "14"), "DS", "d"), "U8TF",
                                    U8('2', {{'0', "a@b.c"}, {'1', "pw"}, {'2', "C\xC3\xA4"}, {'3', "B"}, {'6', "T"}}))));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    c->ManagerInfo[1].Session = "S1";
    c->Privilege = TZELClientPrivilege::clpr_NETOWNER;
    c->ClientFlags.fetch_or(ZELClientListenOnly);
    TStringBldU b;
    c->AddLogDescription(b);
    const std::string id = CalcSourceId("a@b.c");
    EXPECT_EQ(Narrow(StrBldUView(b)), " EMail=`a@b.c` Call=`C\xE4` Net=`Test` MID1=`S1` SID=`" + id +
                                          "` City=`T` Band=`B` Descr=`d` Country=`Land` Priv=NETOWNER"
                                          " ListenOnly UTF8 SoundAck ListFormat=COUNT");

    EXPECT_EQ(c->LogName, u"Client: 10.0.0.1 7");
    c->SetDisconnectCause(DC::fsdc_ClientWrongCommand);
    c->LastErrorText = u"Invalid MC command: MC:";
    c->SetDisconnectText("bad\\\x01");
    EXPECT_EQ(c->DisconnectLogLine(),
              u"Client: 10.0.0.1 7 DISCONNECT_INVALID_COMMAND WRONG_CMD=`Invalid MC command: MC:` "
              u"ERROR_TEXT=`bad\\x5C\\x01`");
    // A client's own bytes (a refused line, the connect line) are read in the server's charset,
    // then their control characters escaped: characters, never mojibake or raw controls.
    EXPECT_EQ(c->LogTextOf("Gr\xC3\xBC\xC3\x9F" "e\x1B[m\xC2\x85"), u"Gr\u00fc\u00dfe\\x1B[m\\x85");

    auto actor = e.NewClient();
    actor->ParseConnectString(Join(With(With(BaseTags(), "EA", "o@p.q"), "ON", "OWN")));
    actor->Privilege = TZELClientPrivilege::clpr_SERVOWNER;
    auto target = e.NewClient();
    target->ParseConnectString(Join(BaseTags()));
    EXPECT_EQ(Narrow(target->ActionLogLine(*actor, u" MUTED")),
              "Client: 10.0.0.1 7 MUTED: by=SERVOWNER byCall=`OWN` byEMail=`o@p.q` EMail=`a@b.c` Call=`CALL` "
              "Net=`Test` SID=`" + id + "` City=`Town` Band=`PC Only` Country=`Land` ListFormat=ZEL");
}

TEST(ZELSVCContext, ConstructionState) {
    TEnv e;
    auto c = e.NewClient();
    EXPECT_EQ(c->Tag, ZELWrkCtxTagClient);
    EXPECT_EQ(c->ClientFlags.load(), ZELClientFlagsInitial);
    EXPECT_EQ(c->State, 1);
    EXPECT_EQ(c->Phase, 0);
    EXPECT_EQ(c->ServerVersion, 2014004);
    EXPECT_EQ(c->ClientVersion, 2014004);
    EXPECT_EQ(c->Caps, 0u);
    EXPECT_EQ(c->Name(), u"10.0.0.17");
    for (int32_t i : c->ListCacheIndex) EXPECT_EQ(i, -1);
    EXPECT_GE(c->RecvLine.Capacity(), 250);
    EXPECT_GE(c->Answer.Capacity(), 150);
    EXPECT_FALSE(c->vIsOutputOverLimit(0));
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2010001), ZELCapsKP | ZELCapsOwnerWord);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2010002), ZELCapsOwnerWord);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2012003), 0u);
    EXPECT_EQ(TZELSVCContext::CapsOfVersion(2014003), ZELCapsOwnTexts);
}

// ---------------------------------------------------------------------------------------------
// Client command lines.

std::string Tlv(const std::string& V) { return EncodeTlvLength(static_cast<int32_t>(V.size())) + V; }

struct TCommandRow {
    const char* Name;
    TZELClientPrivilege Privilege;
    uint32_t Sef;
    std::string Line;
    int Code;  // -1 refused; 28 a move request
    std::string Text1{}, Text2{}, Text3{};
    int32_t Value = 0;
    bool HasCause = false;
    DC Cause = DC::fsdc_DisconnectWithoutAuth;
    std::string Error{};  // LastErrorText of a refusal ("" when the caller keeps the line)
};

TEST(ZELSVCContext, CommandLineTable) {
    using P = TZELClientPrivilege;
    TEnv e;
    const std::string id = CalcSourceId("t@example.org");
    const std::string me = CalcSourceId("a@b.c");
    const std::string long600(600, 'a');
    const std::string gruesse = "Gr\xC3\xBC\xC3\x9F" "e";
    const auto packet = [&](char Type, const std::string& Text, bool Private) {
        return std::string(1, Type) + "3\r\n" + me + "\r\n" + Text + "\r\n" + (Private ? "P" : "A") + "\r\n";
    };
    const std::string mc = "MC:<IP>" + id + "</IP>";
    const std::vector<TCommandRow> rows = {
        {"MC user", P::clpr_USER, 0, mc, -1, "", "", "", 0, true, DC::fsdc_PrivilegeViolation,
         "Client has no privilege for MC command"},
        {"UC user", P::clpr_USER, 0, "UC:<IP>" + id + "</IP>", -1, "", "", "", 0, true,
         DC::fsdc_PrivilegeViolation, "Client has no privilege for UC command"},
        {"AA admin", P::clpr_ADMIN, 0, "AA:<IP>" + id + "</IP>", -1, "", "", "", 0, true,
         DC::fsdc_PrivilegeViolation, "Client has no privilege for AA command"},
        {"MC admin", P::clpr_ADMIN, 0, mc, 64, id},
        {"MC TI without SEF", P::clpr_ADMIN, 0, mc + "<TI>60</TI>", 64, id, "", "", 0},
        {"BC TI with SEF", P::clpr_ADMIN, 0x100, "BC:<IP> " + id + " </IP><TI>60</TI>", 66, id, "", "", 60},
        {"MC bad TI", P::clpr_ADMIN, 0x100, mc + "<TI>-5</TI>", -1, "", "", "", 0, false, {},
         "Invalid MC command: " + mc + "<TI>-5</TI>"},
        {"MC bad id", P::clpr_ADMIN, 0, "MC:<IP>abc</IP>", -1, "", "", "", 0, false, {},
         "Invalid MC command: MC:<IP>abc</IP>"},
        {"MC control byte", P::clpr_ADMIN, 0, "MC:<IP>\x01</IP>", -1, "", "", "", 0, true,
         DC::fsdc_InvalidCharacter, "Invalid MC command: MC:<IP>\\x01</IP>"},
        {"DA owner", P::clpr_NETOWNER, 0, "DA:<IP>" + id + "</IP>", 69, id},
        {"ENA:2", P::clpr_NETOWNER, 0, "ENA:2", -1},
        {"ENA:1 user", P::clpr_USER, 0, "ENA:1", -1, "", "", "", 0, true, DC::fsdc_PrivilegeViolation,
         "Client is not a network owner"},
        {"ENA:1 owner", P::clpr_NETOWNER, 0, "ENA:1", 70},
        {"TXR:0 owner", P::clpr_SERVOWNER, 0, "TXR:0", 73},
        {"empty", P::clpr_SERVOWNER, 0, "", -1},
        {"one byte", P::clpr_SERVOWNER, 0, "X", -1},
        {"two bytes", P::clpr_SERVOWNER, 0, "MC", -1},
        {"AT", P::clpr_NETOWNER, 0, "AT:<EA> x@y.z </EA>", 74, "x@y.z", "", "", -1},
        {"ETX empty EAU", P::clpr_NETOWNER, 0x8, "ETX:<EA>x@y.z</EA><EAU></EAU>", -1, "", "", "", 0, false, {},
         "Invalid ETX command: ETX:<EA>x@y.z</EA><EAU></EAU>"},
        {"RTX with EAU", P::clpr_NETOWNER, 0x8, "RTX:<EA>x@y.z</EA><EAU>x@y.z</EAU>", 78, "x@y.z", "x@y.z", "", -1},
        {"AT admin", P::clpr_ADMIN, 0, "AT:<EA>x@y.z</EA>", -1, "", "", "", 0, true, DC::fsdc_PrivilegeViolation,
         "Client is not a network owner"},
        {"AI", P::clpr_NETOWNER, 0, "AI:<SMS>Hello</SMS>", 79, "Hello"},
        {"AI without SMS", P::clpr_NETOWNER, 0, "AI:<MS>Hello</MS>", -1, "", "", "", 0, false, {},
         "Invalid AI command: AI:<MS>Hello</MS>"},
        {"AIU non-ASCII", P::clpr_NETOWNER, 0, "AIU:" + Tlv(gruesse) + Tlv(gruesse), 80, gruesse, gruesse},
        {"AIU counts differ", P::clpr_NETOWNER, 0, "AIU:" + Tlv(gruesse) + Tlv("Gruse!"), -1, "", "", "", 0, false,
         {}, "Invalid AIU(EXT) command: AIU:" + Tlv(gruesse) + Tlv("Gruse!")},
        {"AIU bytes left", P::clpr_NETOWNER, 0, "AIU:" + Tlv("ab") + Tlv("ab") + "x", -1, "", "", "", 0, false, {},
         "Invalid AIU(EXT) command: AIU:" + Tlv("ab") + Tlv("ab") + "x"},
        {"TM 600 bytes", P::clpr_USER, 0, "TM:<MS>" + long600 + "</MS>", 62, "",
         packet('\x04', long600.substr(0, 500), false)},
        {"TM private", P::clpr_USER, 0, "TM:<MS>hi</MS><ID>" + id + "</ID>", 62, id, packet('\x04', "hi", true)},
        {"TM bad id", P::clpr_USER, 0, "TM:<MS>hi</MS><ID>zz</ID>", -1, "", "", "", 0, false, {},
         "invalid message command: \"TM:<MS>hi</MS><ID>zz</ID>\""},
        {"TM without MS", P::clpr_USER, 0, "TM:<ID>" + id + "</ID>", -1, "", "", "", 0, false, {},
         "invalid message command: \"TM:<ID>" + id + "</ID>\""},
        {"TME to all", P::clpr_USER, 0, "TME:" + Tlv("") + Tlv("hi") + Tlv(" " + gruesse + " "), 63, "",
         packet('\x04', "hi", false), packet('\x85', gruesse, false)},
        {"TME bad UTF-8", P::clpr_USER, 0, "TME:" + Tlv(id) + Tlv("hi") + Tlv("\xC3"), -1, "", "", "", 0, false, {},
         "invalid message(EXT) command: \"TME:" + Tlv(id) + Tlv("hi") + "01\xC3\""},
        {"MVU without SEF", P::clpr_NETOWNER, 0, "MVU:" + Tlv(id) + Tlv("Test") + "1E", -1, "", "", "", 0, true,
         DC::fsdc_PrivilegeViolation, "Client has no privilege for MVU command"},
        {"MVU", P::clpr_NETOWNER, 0x400, "MVU:" + Tlv(id) + Tlv("Test") + "1E", 28, id, "Test", "", 30},
        {"MVU short id", P::clpr_NETOWNER, 0x400, "MVU:" + Tlv(id.substr(0, 22)) + Tlv("Test") + "1E", -1, "", "",
         "", 0, false, {}, "invalid \"move client\" command: \"MVU:" + Tlv(id.substr(0, 22)) + Tlv("Test") + "1E\""},
        {"unknown", P::clpr_SERVOWNER, 0, "XYZ:1", -1},
    };
    for (const TCommandRow& r : rows) {
        SCOPED_TRACE(r.Name);
        auto c = e.NewClient();
        c->ParseConnectString(Join(BaseTags()));
        ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
        c->Privilege = r.Privilege;
        c->ClientFlags.fetch_and(~ZELClientRoleMask);
        if (r.Privilege >= P::clpr_NETOWNER) c->ClientFlags.fetch_or(ZELClientRoleOwner);
        if (r.Privilege == P::clpr_ADMIN) c->ClientFlags.fetch_or(ZELClientRoleAdmin);
        c->AcceptedFlags = r.Sef;
        TZELClientLine l;
        const bool ok = c->ParseCommandLine(r.Line, l);
        EXPECT_EQ(ok, r.Code >= 0);
        if (r.Code < 0) {
            EXPECT_EQ(c->HasCause(), r.HasCause);
            if (r.HasCause) {
                EXPECT_EQ(c->Cause(), r.Cause);
            }
            // The line as the server's charset (UTF-8 here) reads it: characters, not bytes.
            EXPECT_EQ(c->LastErrorText, DefaultAnsiToUnicodeU(r.Error));
            continue;
        }
        EXPECT_EQ(l.Kind == TZELClientLine::clk_Move ? 28 : int(l.Code), r.Code);
        EXPECT_EQ(l.Text1, r.Text1);
        EXPECT_EQ(l.Text2, r.Text2);
        EXPECT_EQ(l.Text3, r.Text3);
        EXPECT_EQ(l.Value, r.Value);
        EXPECT_FALSE(c->HasCause());
    }
}

// Random lines from a fixed seed: each is either a well-formed record or refused, never a crash
// (the sanitizer builds run it too).
TEST(ZELSVCContext, RandomCommandLines) {
    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(BaseTags()));
    c->Privilege = TZELClientPrivilege::clpr_SERVOWNER;
    c->ClientFlags.fetch_or(ZELClientRoleOwner);
    c->AcceptedFlags = 0xFFF;
    const std::vector<std::string> heads = {"MC:", "UM:", "BC:", "UC:", "AA:", "DA:", "AT:", "DT:", "ETX:", "RTX:",
                                            "AI:", "AIU:", "TM:", "TME:", "MVU:", "ENA:", "TXR:", ""};
    const std::string alphabet = "<>/IPTMSEAUD0123456789ABCDEF \x01\x7F\xC3\xA4\x80";
    uint32_t seed = 12345;
    const auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (int i = 0; i < 20000; ++i) {
        std::string line = heads[next() % heads.size()];
        const uint32_t n = next() % 40;
        for (uint32_t k = 0; k < n; ++k) line += alphabet[next() % alphabet.size()];
        TZELClientLine l;
        if (c->ParseCommandLine(line, l)) {
            const bool known =
                l.Kind == TZELClientLine::clk_Move || (int(l.Code) >= 62 && int(l.Code) <= 80 && int(l.Code) != 76);
            ASSERT_TRUE(known) << line;
            if (int(l.Code) == 62 || int(l.Code) == 63) {
                EXPECT_LE(l.Text2.size(), 500u + 36u) << line;
            }
        }
    }
}

}  // namespace
}  // namespace zel
