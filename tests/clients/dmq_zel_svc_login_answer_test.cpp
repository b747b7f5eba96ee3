#include "clients/dmq_zel_svc_login_answer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "tests/support/client_login_env.hpp"

namespace zel {
namespace {

using namespace test;

// Golden answers.

TEST(ZELLoginAnswer, AcceptedAnswers) {
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

TEST(ZELLoginAnswer, Refusals) {
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
TEST(ZELLoginAnswer, RefuseHandshakeCausesAndRecord) {
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

TEST(ZELLoginAnswer, StateAnswer) {
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

// The running time goes on past 2^32 ms, where the millisecond tick wraps: it is the tick's count
// of seconds, as the uptime answer's.
TEST(ZELLoginAnswer, RunningTimeCountsOnPastTheTickWrap) {
    TEnv e;
    uint32_t now = e.S.StartTick();
    e.S.TickClock = [&] { return now; };
    // One second counted per call.
    constexpr uint32_t kSeconds = 0xFFFFFFFFu / 1000u + 5u;
    for (uint32_t i = 0; i < kSeconds; ++i) {
        now += 1000;
        e.S.TimerTick();
    }
    ASSERT_EQ(e.S.SecondsCounted(), kSeconds);
    auto c = e.NewClient();
    c->ParseConnectString(Join(BaseTags()));
    ASSERT_EQ(c->HandshakeResult, ZELLoginAccepted);
    TStringBldA b;
    ASSERT_TRUE(c->BuildStateAnswer(b));
    EXPECT_NE(StrBldAToStr(b).find("<UT>" + std::to_string(kSeconds) + "</UT>"), std::string::npos)
        << StrBldAToStr(b);
}

}  // namespace
}  // namespace zel
