#include "service/dmq_zel_svc_globals.hpp"

#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <vector>

namespace zel {
namespace {

struct ClampFamily {
    const char* Name;
    int32_t (*Fn)(int32_t);
    std::vector<std::pair<int32_t, int32_t>> Cases;  // input, expected
};

TEST(SvcGlobalsTest, ClampsKeepTheirOwnRules) {
    const ClampFamily families[] = {
        {"ClientsPerThread", ClampClientsPerThread, {{INT32_MIN, 1}, {0, 1}, {1, 1}, {5000, 5000}, {5001, 5000}}},
        {"LogClientLevel", ClampLogClientLevel, {{-1, 0}, {0, 0}, {6, 6}, {7, 6}}},
        {"ManagerConnectTimeout",
         ClampManagerConnectTimeout,
         {{INT32_MIN, 10}, {0, 10}, {1, 3}, {2, 3}, {3, 3}, {30, 30}, {31, 30}}},
        {"ProxyConnectTimeout", ClampProxyConnectTimeout, {{0, 5}, {-7, 5}, {1, 1}, {20, 20}, {21, 20}}},
        {"MaxWaitConnections",
         ClampMaxWaitConnections,
         {{-3, 5}, {0, 5}, {1, 2}, {2, 2}, {500, 500}, {1000, 1000}, {1001, 1000}}},
        {"MaxConnectionsPerAddress",
         ClampMaxConnectionsPerAddress,
         {{INT32_MIN, -1}, {-100, -1}, {-1, -1}, {0, 0}, {100000, 100000}, {INT32_MAX, 100000}}},
    };
    for (const auto& f : families) {
        for (const auto& [in, out] : f.Cases) {
            EXPECT_EQ(f.Fn(in), out) << f.Name << "(" << in << ")";
        }
    }
}

TEST(SvcGlobalsTest, OutputBufferLimitFromText) {
    const struct {
        std::u16string_view Text;
        int32_t Expected;
    } cases[] = {
        {u"", 777},        {u"0", 777},         {u"-5", 777},           {u"abc", 777},
        {u"100", 4096},    {u" 8192 ", 8192},   {u"16777217", 16777216}, {u"2147483648", 777},
        {u"4096", 4096},   {u"16777216", 16777216},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClampOutputBufferLimit(c.Text, 777), c.Expected);
    }
}

TEST(SvcGlobalsTest, ParseSystemManagerMode) {
    using M = TZELSystemManagerMode;
    const struct {
        std::u16string_view Text;
        bool Ok;
        M Mode;
    } cases[] = {
        {u"2", true, M::smm_Light},          {u"light", true, M::smm_Light}, {u"  L\t", true, M::smm_Light},
        {u"Light", true, M::smm_Light},      {u"0", true, M::smm_Standalone}, {u"3", true, M::smm_ZEL},
        {u"z", true, M::smm_ZEL},            {u"notify", true, M::smm_Notify}, {u"S", true, M::smm_Standalone},
        {u"4", false, M::smm_Notify},        {u"-1", false, M::smm_Notify},  {u"LIGHTS", false, M::smm_Notify},
        {u"", false, M::smm_Notify},
    };
    for (const auto& c : cases) {
        M mode = M::smm_Notify;  // sentinel: must stay on failure
        EXPECT_EQ(ParseSystemManagerMode(c.Text, mode), c.Ok);
        EXPECT_EQ(mode, c.Mode);
    }
}

TEST(SvcGlobalsTest, DisconnectCauseTable) {
    using C = TZELSVCDisconnectCause;
    EXPECT_EQ(ZELSVCDisconnectCauseTable.size(), 42u);
    EXPECT_EQ(static_cast<int>(C::fsdc_ServerWrongPasssword), 11);
    EXPECT_EQ(static_cast<int>(C::fsdc_GracefullDisconnect), 28);
    EXPECT_EQ(DisconnectCauseInfo(C::fsdc_DisconnectWithoutAuth).Text, u"HANDSHAKE_NONE");
    EXPECT_EQ(DisconnectCauseInfo(C::fsdc_ManagerTimeout).Level, 5);
    EXPECT_EQ(DisconnectCauseInfo(C::fsdc_InvalidPeer).Text, u"HANDSHAKE_INVALID_PEER");
    EXPECT_EQ(DisconnectCauseInfo(C::fsdc_ByOwner).Text, u"DISCONNECT_BY_SERVER_OWNER");
    EXPECT_EQ(DisconnectCauseInfo(C::fsdc_ByOwner).Level, 4);
    for (const auto& row : ZELSVCDisconnectCauseTable) {
        EXPECT_FALSE(row.Text.empty());
        EXPECT_GE(row.Level, 1);
        EXPECT_LE(row.Level, 5);
    }
}

// A native build names the machine it runs on, as `uname -s`-`uname -m` prints it; the version
// text that clients see carries the same platform text.
TEST(SvcGlobalsTest, PlatformAndVersionTextsNameTheBuildTarget) {
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    const std::string host = std::string(u.sysname) + "-" + u.machine;
    EXPECT_EQ(ZELPlatformText(), host);
    EXPECT_EQ(ZELVersionText(), "r6583-" + host);
}

}  // namespace
}  // namespace zel
