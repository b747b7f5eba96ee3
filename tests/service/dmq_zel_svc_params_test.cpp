#include "service/dmq_zel_svc_params.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"
#include "tests/support/net_options.hpp"

namespace zel {
namespace {

struct ClampFamily {
    const char* Name;
    int32_t (*Fn)(int32_t);
    std::vector<std::pair<int32_t, int32_t>> Cases;  // input, expected
};

TEST(SvcParamsTest, ClampsKeepTheirOwnRules) {
    const ClampFamily families[] = {
        {"ClientHandshakeTimeout", ClampClientHandshakeTimeout, {{-1, 2}, {0, 2}, {1, 1}, {20, 20}, {25, 20}}},
        {"MaxSpeechTime",
         ClampMaxSpeechTime,
         {{INT32_MIN, 300}, {0, 300}, {1, 10}, {9, 10}, {10, 10}, {1800, 1800}, {1801, 1800}}},
        {"SpeechPause", ClampSpeechPause, {{-1, 0}, {0, 0}, {1, 1}, {10000, 10000}, {10001, 10000}}},
        {"ManagerSecondaryAuthTime",
         ClampManagerSecondaryAuthTime,
         {{-1, 0}, {0, 0}, {1, 1}, {299, 299}, {300, 300}, {INT32_MAX, 300}}},
        {"QuarantineTime", ClampQuarantineTime, {{-1, 0}, {0, 0}, {4000, 4000}, {4001, 4000}}},
        {"ClientActivityTimeout",
         ClampClientActivityTimeout,
         {{-1, 8}, {0, 8}, {1, 3}, {2, 3}, {3, 3}, {30, 30}, {31, 30}}},
        {"OutputBufferFactor", ClampOutputBufferFactor, {{INT32_MIN, 3}, {-1, 3}, {0, 1}, {1, 1}, {10, 10}, {11, 10}}},
    };
    for (const auto& f : families) {
        for (const auto& [in, out] : f.Cases) {
            EXPECT_EQ(f.Fn(in), out) << f.Name << "(" << in << ")";
        }
    }
}

TEST(SvcParamsTest, ParseAccessInfoMode) {
    using A = TZELSVCAccessInfoMode;
    const struct {
        std::u16string_view Text;
        A Mode;
    } cases[] = {
        {u"a", A::fsaim_Always},   {u"  always ", A::fsaim_Always}, {u"1", A::fsaim_Always},
        {u"NEVER", A::fsaim_Never}, {u"n", A::fsaim_Never},         {u"2", A::fsaim_Never},
        {u"3", A::fsaim_Original}, {u"-1", A::fsaim_Original},      {u"o", A::fsaim_Original},
        {u"sometimes", A::fsaim_Original}, {u"", A::fsaim_Original},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseAccessInfoMode(c.Text), c.Mode);
}

TEST(SvcParamsTest, DefaultNetworkOptions) {
    TZELServNetworkRec rec;
    rec.Name = u"Room";
    rec.Options.MaxClients = 5;
    rec.Options.OwnerEMail = {u"a@b"};
    rec.Options.Parrot.ParrotEnable = true;
    rec.Options.Parrot.ParrotPrefixFileName = u"x";
    rec.Options.LogAdmin = false;
    SetDefaultNetworkRec(rec);
    const auto& o = rec.Options;
    EXPECT_TRUE(rec.Name.empty());
    EXPECT_FALSE(o.Parrot.ParrotEnable);
    EXPECT_EQ(o.Parrot.ParrotMaxRecordTime, 120000u);
    EXPECT_EQ(o.Parrot.ParrotPause, 2000u);
    EXPECT_EQ(o.Parrot.ParrotRepeatCount, 1u);
    EXPECT_TRUE(o.Parrot.ParrotPrefixFileName.empty());
    EXPECT_EQ(o.Parrot.ParrotPrefixMaxTime, 10);
    EXPECT_EQ(o.MaxClients, 65533);
    EXPECT_TRUE(o.OwnerEMail.empty());
    EXPECT_EQ(o.MaxSpeechTime, 300000u);
    EXPECT_EQ(o.SpeechPause, 0u);
    EXPECT_EQ(o.ManagerMode, TZELSystemManagerMode::smm_Standalone);
    EXPECT_FALSE(o.ManagerModeSet);
    EXPECT_EQ(o.OutputBufferLimit, 131072);
    EXPECT_EQ(o.OutputBufferFactor, 3);
    EXPECT_EQ(o.AccessInfoMode, TZELSVCAccessInfoMode::fsaim_Original);
    EXPECT_EQ(o.LogClientLevel, 2);
    EXPECT_EQ(o.ManagersMask, 7);
    EXPECT_TRUE(o.ShortFrames && o.SpeechLimit && o.LogAdmin && o.TempMuteBlock);
    EXPECT_FALSE(o.Hidden || o.LevelMuteBlock || o.ExactMuteBlock || o.UniqCallsign);
    EXPECT_EQ(o.ClientSessionMaxTime, 0);
}

TEST(SvcParamsTest, HexTextField) {
    const struct {
        std::string Field;
        int32_t Result;
        std::string Value;
    } cases[] = {
        {"414243", 3, "ABC"},  {"  4a4B \t", 2, "JK"}, {"", 0, ""},   {"  ", 0, ""},
        {"4", 0, ""},          {"41 42", 2, "AB"},     {"4G", -1, ""}, {"414", -1, ""},
        {"00ff", 2, std::string("\0\xff", 2)},
    };
    for (const auto& c : cases) {
        AnsiString v = "previous";
        EXPECT_EQ(ReadHexTextField(v, c.Field), c.Result) << c.Field;
        EXPECT_EQ(v, c.Value) << c.Field;
    }
}

TEST(SvcParamsTest, ClientTypeField) {
    const struct {
        const char* Field;
        int32_t Result;
        uint8_t Type;
    } cases[] = {{"0", 0, 0}, {" 1 ", 1, 1}, {"2", 2, 2}, {"3", -1, 2}, {"-1", -1, 2}, {"", -1, 2}, {"x", -1, 2}};
    for (const auto& c : cases) {
        uint8_t t = 7;
        EXPECT_EQ(ReadClientTypeField(t, c.Field), c.Result) << c.Field;
        EXPECT_EQ(t, c.Type) << c.Field;
    }
}

TZELServiceNetOptions ServerWide() { return test::ServerWideNetOptions(); }

TZELSVCNetworkOptions Parse(const TZELServiceNetOptions& d, std::u16string_view text) {
    TZELSVCNetworkOptions o;
    ParseNetworkOptions(d, text, o, DefaultConverterOptions());
    return o;
}

TEST(SvcNetOptionsTest, InitTakesTheServerWideValuesOnly) {
    const auto d = ServerWide();
    TZELSVCNetworkOptions o;
    o.Hidden = true;
    o.ManagersMask = 1;
    InitNetworkOptions(d, o);
    EXPECT_EQ(o.CharsetName, u"UTF-8");
    EXPECT_EQ(o.CharsetNameA, "UTF-8");
    EXPECT_EQ(o.ManagerMode, TZELSystemManagerMode::smm_Light);
    EXPECT_FALSE(o.ManagerModeSet);
    EXPECT_EQ(o.OutputBufferLimit, 65536);
    EXPECT_EQ(o.OutputBufferFactor, 5);
    EXPECT_EQ(o.LogClientLevel, 3);
    EXPECT_EQ(o.ClientSessionMaxTime, 600);
    EXPECT_EQ(o.MaxSpeechTime, 120000u);
    EXPECT_EQ(o.SpeechPause, 250u);
    EXPECT_EQ(o.QuarantineTime, 1000u);
    EXPECT_TRUE(o.ShortFrames && !o.SpeechLimit && !o.LogAdmin && !o.TempMuteBlock);
    EXPECT_TRUE(o.LevelMuteBlock && o.ExactMuteBlock && o.UniqCallsign);
    EXPECT_FALSE(o.Hidden);
    EXPECT_EQ(o.ManagersMask, 7);
    EXPECT_EQ(o.MaxClients, 65533);
    EXPECT_EQ(Parse(d, u""), o);
}

TEST(SvcNetOptionsTest, OptionTextTable) {
    const auto d = ServerWide();
    using M = TZELSystemManagerMode;
    using Edit = std::function<void(TZELSVCNetworkOptions&)>;
    const struct {
        std::u16string_view Text;
        Edit Expect;
    } cases[] = {
        {u"maxclients=10", [](auto& o) { o.MaxClients = 10; }},
        {u"MaxClients=0", [](auto&) {}},
        {u"MaxClients=70000", [](auto&) {}},
        {u"MaxClients=10;MaxClients=70000", [](auto& o) { o.MaxClients = 10; }},
        {u"MaxSpeechTime=5", [](auto& o) { o.MaxSpeechTime = 10000; }},
        {u"MaxSpeechTime=-1", [](auto& o) { o.MaxSpeechTime = 300000; }},
        {u"MaxSpeechTime=1801", [](auto& o) { o.MaxSpeechTime = 1800000; }},
        {u"MaxSpeechTime=x", [](auto&) {}},
        {u"MaxSpeechTime=60;MaxSpeechTime=x", [](auto& o) { o.MaxSpeechTime = 60000; }},
        {u"SpeechPause=-3", [](auto& o) { o.SpeechPause = 0; }},
        {u"SpeechPause=20000", [](auto& o) { o.SpeechPause = 10000; }},
        {u"SpeechPause=100;SpeechPause=", [](auto& o) { o.SpeechPause = 100; }},
        {u"QuarantineTime=-1", [](auto& o) { o.QuarantineTime = 0; }},
        {u"QuarantineTime=5000", [](auto& o) { o.QuarantineTime = 4000; }},
        {u"ParrotRepeatCount=x", [](auto&) {}},
        {u"ParrotRepeatCount=7;ParrotRepeatCount=x", [](auto&) {}},
        {u"ParrotRepeatCount=0", [](auto&) {}},
        {u"ParrotRepeatCount=99", [](auto& o) { o.Parrot.ParrotRepeatCount = 50; }},
        {u"ParrotPrefixMaxTime=20;ParrotPrefixMaxTime=x", [](auto&) {}},
        {u"ParrotPrefixMaxTime=-5", [](auto& o) { o.Parrot.ParrotPrefixMaxTime = 0; }},
        {u"ParrotPrefixMaxTime=31", [](auto& o) { o.Parrot.ParrotPrefixMaxTime = 30; }},
        {u"ParrotPause=500;ParrotPause=x", [](auto&) {}},
        {u"ParrotPause=50", [](auto& o) { o.Parrot.ParrotPause = 100; }},
        {u"ParrotPause=20000", [](auto& o) { o.Parrot.ParrotPause = 10000; }},
        {u"ParrotMaxRecordTime=5", [](auto& o) { o.Parrot.ParrotMaxRecordTime = 10000; }},
        {u"ParrotMaxRecordTime=301", [](auto& o) { o.Parrot.ParrotMaxRecordTime = 300000; }},
        {u"ParrotMaxRecordTime=60;ParrotMaxRecordTime=0", [](auto&) {}},
        {u"ParrotMessageDisable=yes;ParrotMessageDisable=x", [](auto&) {}},
        {u"ParrotPrefixRepeatEach=on", [](auto& o) { o.Parrot.ParrotPrefixRepeatEach = true; }},
        {u"ParrotPrefixFileName= pre.wav ", [](auto& o) { o.Parrot.ParrotPrefixFileName = u"pre.wav"; }},
        {u"ParrotEnable=1;ParrotStartStopEnable=T;ParrotMuteEnable=y",
         [](auto& o) { o.Parrot.ParrotEnable = o.Parrot.ParrotStartStopEnable = o.Parrot.ParrotMuteEnable = true; }},
        {u"ParrotEnable=1;ParrotEnable=x", [](auto& o) { o.Parrot.ParrotEnable = true; }},
        {u"OwnerEMail= a@b.c , ,d@e.f ,", [](auto& o) { o.OwnerEMail = {u"a@b.c", u"d@e.f"}; }},
        {u"OwnerEMail=a@b.c;OwnerEMail=", [](auto&) {}},
        {u"ManagerMode=zel", [](auto& o) { o.ManagerMode = M::smm_ZEL, o.ManagerModeSet = true; }},
        {u"ManagerMode=1", [](auto& o) { o.ManagerMode = M::smm_Notify, o.ManagerModeSet = true; }},
        {u"ManagerMode=Z;ManagerMode=bogus", [](auto&) {}},
        {u"ClientSessionMaxTime=1h30m", [](auto& o) { o.ClientSessionMaxTime = 5400; }},
        {u"ClientSessionMaxTime=100;ClientSessionMaxTime=x", [](auto& o) { o.ClientSessionMaxTime = 100; }},
        {u"ClientSessionMaxTime=999999999y", [](auto& o) { o.ClientSessionMaxTime = INT32_MAX; }},
        {u"Hidden=yes;Hidden=x", [](auto& o) { o.Hidden = true; }},
        {u"Hidden", [](auto&) {}},
        {u"ShortFrames=no", [](auto& o) { o.ShortFrames = false; }},
        {u"ShortFrames=no;ShortFrames=x", [](auto&) {}},
        {u"SpeechLimit=yes;UniqCallsign=0;LogAdmin=ON;TempMuteBlock=t;LevelMuteBlock=f;ExactMuteBlock=OFF",
         [](auto& o) {
             o.SpeechLimit = o.LogAdmin = o.TempMuteBlock = true;
             o.UniqCallsign = o.LevelMuteBlock = o.ExactMuteBlock = false;
         }},
        {u"UniqCallsign=0;UniqCallsign=maybe", [](auto&) {}},
        {u"OutputBufferLimit=100", [](auto& o) { o.OutputBufferLimit = 4096; }},
        {u"OutputBufferLimit=99999999", [](auto& o) { o.OutputBufferLimit = 16777216; }},
        {u"OutputBufferLimit=8192;OutputBufferLimit=0", [](auto&) {}},
        {u"OutputBufferFactor=-1", [](auto& o) { o.OutputBufferFactor = 3; }},
        {u"OutputBufferFactor=0", [](auto& o) { o.OutputBufferFactor = 1; }},
        {u"OutputBufferFactor=11", [](auto& o) { o.OutputBufferFactor = 10; }},
        {u"OutputBufferFactor=2;OutputBufferFactor=x", [](auto&) {}},
        {u"LogClientLevel=9", [](auto& o) { o.LogClientLevel = 6, o.LogClientLevelSet = true; }},
        {u"LogClientLevel=-1", [](auto& o) { o.LogClientLevel = 0, o.LogClientLevelSet = true; }},
        {u"LogClientLevel=4;LogClientLevel=x", [](auto& o) { o.LogClientLevel = 4, o.LogClientLevelSet = true; }},
        {u"ManagersMask=8", [](auto&) {}},
        {u"ManagersMask=3;ManagersMask=-1", [](auto& o) { o.ManagersMask = 3; }},
        {u"ManagersMask=0", [](auto& o) { o.ManagersMask = 0; }},
        {u"AccessInfoMode=never", [](auto& o) { o.AccessInfoMode = TZELSVCAccessInfoMode::fsaim_Never; }},
        {u"AccessInfoMode=always;AccessInfoMode=x", [](auto&) {}},
        {u"CharsetName= koi8-r ", [](auto& o) { o.CharsetName = u"koi8-r", o.CharsetNameA = "koi8-r"; }},
        {u"CharsetName=KOI8-R;CharsetName=", [](auto&) {}},
        {u" ; ;  UnknownKey = 5 ;\u00a0hidden = TRUE\u3000; =3", [](auto& o) { o.Hidden = true; }},
    };
    for (const auto& c : cases) {
        TZELSVCNetworkOptions want;
        InitNetworkOptions(d, want);
        c.Expect(want);
        EXPECT_EQ(Parse(d, c.Text), want) << UnicodeToUtf8A(c.Text);
    }
}

TEST(SvcNetOptionsTest, BadCharsetNameIsTheOnlyError) {
    const auto d = ServerWide();
    try {
        Parse(d, u"MaxClients=x;CharsetName=NO-SUCH-SET");
        FAIL() << "no exception";
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        EXPECT_EQ(e.Message(), "Network option \"CharsetName\": Invalid or unknown charset name: NO-SUCH-SET");
    }
}

TEST(SvcNetOptionsTest, NetworkLineTable) {
    const auto d = ServerWide();
    const std::string forty(40, 'n');
    // 31 letters and U+1F600 (a surrogate pair): 33 units, the 32nd the pair's first half.
    const std::string emoji = std::string(31, 'e') + "\xF0\x9F\x98\x80";
    const struct {
        std::string Line;
        bool Result;
        std::u16string Name;
        std::u16string Options;  // printed over d
    } cases[] = {
        {"  Main  |", true, u"Main", u""},
        {"Main", true, u"Main", u""},
        {"\xD0\x9A\xD0\xB8\xD0\xB5\xD0\xB2 | MaxClients=10 ; Hidden=yes", true, u"\u041a\u0438\u0435\u0432",
         u"MaxClients=10; Hidden=Yes"},
        {"Main|Hidden=yes|MaxClients=10", true, u"Main", u"Hidden=Yes"},
        {"|MaxClients=5", false, u"", u""},
        {" \t |x", false, u"", u""},
        {forty + "|", true, std::u16string(32, u'n'), u""},
        {emoji, true, std::u16string(31, u'e'), u""},
        {std::string(31, 'a') + " bc", true, std::u16string(31, u'a'), u""},
    };
    for (const auto& c : cases) {
        TZELServNetworkRec rec;
        rec.Name = u"untouched";
        ASSERT_EQ(ParseNetworkLine(d, c.Line, rec, DefaultConverterOptions()), c.Result) << c.Line;
        if (!c.Result) {
            EXPECT_EQ(rec.Name, u"untouched");
            continue;
        }
        EXPECT_EQ(rec.Name, c.Name) << c.Line;
        EXPECT_EQ(NetworkOptionsToText(d, rec.Options), c.Options) << c.Line;
        // The name always encodes into the list files and reads back the same.
        const AnsiString utf8 = UnicodeToUtf8A(rec.Name);
        EXPECT_EQ(Utf8BufToUnicodeU(utf8.data(), static_cast<int32_t>(utf8.size())), rec.Name) << c.Line;
    }
}

TEST(SvcNetOptionsTest, NetworkLineErrorNamesTheNetwork) {
    TZELServNetworkRec rec;
    try {
        ParseNetworkLine(ServerWide(), " Room |CharsetName=BAD", rec, DefaultConverterOptions());
        FAIL() << "no exception";
    } catch (const EAnsiUnicodeConverterInvalidCharsetName& e) {
        EXPECT_EQ(e.Message(),
                  "Network: \"Room\": Network option \"CharsetName\": Invalid or unknown charset name: BAD");
    }
}

TEST(SvcNetOptionsTest, PrinterTable) {
    const auto d = ServerWide();
    const struct {
        std::u16string_view Text;
        std::u16string_view Printed;
    } cases[] = {
        {u"", u""},
        {u"MaxClients=10;Hidden=yes", u"MaxClients=10; Hidden=Yes"},
        {u"ManagerMode=bogus", u""},
        {u"ManagerMode=L", u""},  // set, but the server-wide mode
        {u"ManagerMode=ZEL", u"ManagerMode=ZEL"},
        {u"ParrotMuteEnable=yes", u""},
        {u"Hidden=no;ParrotEnable=no;ParrotMessageDisable=no", u""},
        {u"ShortFrames=yes;SpeechLimit=no;LogAdmin=no;MaxSpeechTime=120;OutputBufferLimit=65536", u""},
        {u"ParrotPrefixRepeatEach=1;ParrotPrefixMaxTime=0;ParrotPrefixFileName=p.wav;ParrotMessageDisable=1;"
         u"ParrotRepeatCount=3;ParrotPause=100;ParrotMaxRecordTime=10;ParrotStartStopEnable=1;ParrotEnable=1;"
         u"CharsetName=KOI8-R;UniqCallsign=0;ExactMuteBlock=0;LevelMuteBlock=0;TempMuteBlock=1;LogAdmin=1;"
         u"Hidden=1;ClientSessionMaxTime=2m;SpeechLimit=1;AccessInfoMode=A;LogClientLevel=6;"
         u"OutputBufferFactor=10;OutputBufferLimit=4096;ShortFrames=0;QuarantineTime=0;SpeechPause=0;"
         u"MaxSpeechTime=30;MaxClients=9;OwnerEMail=a@b.c,d@e.f;ManagersMask=2;ManagerMode=N",
         u"ManagerMode=NOTIFY; ManagersMask=2; OwnerEMail=a@b.c,d@e.f; MaxClients=9; MaxSpeechTime=30; "
         u"SpeechPause=0; QuarantineTime=0; ShortFrames=No; OutputBufferLimit=4096; OutputBufferFactor=10; "
         u"LogClientLevel=6; AccessInfoMode=ALWAYS; SpeechLimit=Yes; ClientSessionMaxTime=120; Hidden=Yes; "
         u"LogAdmin=Yes; TempMuteBlock=Yes; LevelMuteBlock=No; ExactMuteBlock=No; UniqCallsign=No; "
         u"CharsetName=KOI8-R; ParrotEnable=Yes; ParrotStartStopEnable=Yes; ParrotMaxRecordTime=10; "
         u"ParrotPause=100; ParrotRepeatCount=3; ParrotMessageDisable=Yes; ParrotPrefixFileName=p.wav; "
         u"ParrotPrefixMaxTime=0; ParrotPrefixRepeatEach=Yes"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NetworkOptionsToText(d, Parse(d, c.Text)), c.Printed) << UnicodeToUtf8A(c.Text);
}

TEST(SvcNetOptionsTest, ParsePrintParseKeepsTheRecord) {
    const std::u16string_view texts[] = {
        u"",
        u"MaxClients=10;Hidden=yes",
        u"ManagerMode=ZEL;ManagersMask=5;OwnerEMail=x@y.z, w@v.u;MaxSpeechTime=45;SpeechPause=300",
        u"QuarantineTime=4000;ShortFrames=no;OutputBufferLimit=5000;OutputBufferFactor=0;LogClientLevel=0",
        u"AccessInfoMode=never;SpeechLimit=yes;ClientSessionMaxTime=1d;LogAdmin=yes;TempMuteBlock=yes",
        u"LevelMuteBlock=no;ExactMuteBlock=no;UniqCallsign=no;CharsetName=ISO-8859-5",
        u"ParrotEnable=y;ParrotStartStopEnable=y;ParrotMaxRecordTime=300;ParrotPause=10000;ParrotRepeatCount=50",
        u"ParrotMessageDisable=y;ParrotPrefixFileName=/var/zel/prefix one.wav;ParrotPrefixMaxTime=30;"
        u"ParrotPrefixRepeatEach=y",
        // Session times of ten digits in seconds, the cap among them.
        u"ClientSessionMaxTime=45y", u"ClientSessionMaxTime=999999999y", u"ClientSessionMaxTime=999999999",
    };
    for (const auto& d : {ServerWide(), TZELServiceNetOptions{}}) {
        for (auto t : texts) {
            const auto first = Parse(d, t);
            const auto printed = NetworkOptionsToText(d, first);
            EXPECT_EQ(Parse(d, printed), first) << UnicodeToUtf8A(t) << " -> " << UnicodeToUtf8A(printed);
        }
    }
}

TEST(SvcNetOptionsTest, ServerWideFromConfigAndFromNetwork) {
    TZELServiceConfig c;
    c.ServerCharsetName = u"KOI8-R";
    c.ManagerMode = TZELSystemManagerMode::smm_ZEL;
    c.MaxSpeechTime = 60;
    c.SpeechPause = 500;
    c.QuarantineTime = 2000;
    c.OutputBufferLimit = 8192;
    c.OutputBufferFactor = 4;
    c.LogClientLevel = 5;
    c.ClientSessionMaxTime = 3600;
    c.ShortFrames = false;
    c.SpeechLimit = false;
    c.LogAdmin = false;
    c.TempMuteBlock = false;
    c.LevelMuteBlock = true;
    c.ExactMuteBlock = true;
    c.UniqCallsign = true;
    TZELServiceNetOptions d;
    FillNetOptionsFromService(d, c);
    EXPECT_EQ(d.CharsetName, u"KOI8-R");
    EXPECT_EQ(d.ManagerMode, TZELSystemManagerMode::smm_ZEL);
    EXPECT_EQ(d.MaxSpeechTime, 60000u);
    EXPECT_EQ(d.SpeechPause, 500u);
    EXPECT_EQ(d.QuarantineTime, 2000u);
    EXPECT_EQ(d.OutputBufferLimit, 8192);
    EXPECT_EQ(d.OutputBufferFactor, 4);
    EXPECT_EQ(d.LogClientLevel, 5);
    EXPECT_EQ(d.ClientSessionMaxTime, 3600);
    EXPECT_TRUE(!d.ShortFrames && !d.SpeechLimit && !d.LogAdmin && !d.TempMuteBlock);
    EXPECT_TRUE(d.LevelMuteBlock && d.ExactMuteBlock && d.UniqCallsign);

    // A network's options as the server-wide record: nothing differs, so nothing is printed.
    TZELSVCNetworkOptions o = Parse(ServerWide(), u"MaxSpeechTime=90;ShortFrames=no;CharsetName=KOI8-R");
    TZELServiceNetOptions fromNet;
    FillNetOptionsFromNetwork(fromNet, o);
    EXPECT_EQ(fromNet.MaxSpeechTime, 90000u);
    EXPECT_EQ(NetworkOptionsToText(fromNet, o), u"");
}

}  // namespace
}  // namespace zel
