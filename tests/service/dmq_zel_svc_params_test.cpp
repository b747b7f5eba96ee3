#include "service/dmq_zel_svc_params.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace zel
