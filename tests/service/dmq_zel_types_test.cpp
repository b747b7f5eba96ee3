#include "service/dmq_zel_types.hpp"

#include <gtest/gtest.h>

#include "service/dmq_zel_types_base.hpp"

namespace zel {
namespace {

// The texts travel in the protocol, the configuration and the command channel: their order is
// the enumerations' order.
TEST(ZelTypesTest, TextsFollowTheEnumerationOrder) {
    EXPECT_EQ(ReopenLogSignalText(TZELReopenLogSignal::rls_SIGUSR2), u"SIGUSR2");
    EXPECT_EQ(SystemManagerModeText(TZELSystemManagerMode::smm_Standalone), u"STANDALONE");
    EXPECT_EQ(SystemManagerModeText(TZELSystemManagerMode::smm_ZEL), u"ZEL");
    EXPECT_EQ(VisibleStatusText(TZELVisibleStatus::vs_NotAvailable), u"NOTAVAILABLE");
    EXPECT_EQ(ZELVisibleStatusShortTexts[2], u"AB");
    EXPECT_EQ(ClientTypeText(TZELClientType::clt_GATEWAY), u"GATEWAY");
    EXPECT_EQ(ZELClientTypeShortTexts[0], u"CL");
    EXPECT_EQ(ClientPrivilegeText(TZELClientPrivilege::clpr_SERVOWNER), u"SERVOWNER");
    EXPECT_EQ(ProxyTypeText(TZELProxyType::ZEL_PROXY_TYPE_SOCKS4), u"SOCKS4");
    EXPECT_EQ(ProtoListFormatText(TZELProtoListFormat::fplf_DIFF), u"DIFF");
    EXPECT_EQ(PasswordCycleText(TZELPasswordCycle::dpc_Server), u"Dynamic/Server");
    EXPECT_EQ(ZELExtensionFlagNames[4], u"ListFormat");
    EXPECT_EQ(ZELExtensionFlagNames[14], u"Extender1");
    EXPECT_EQ(ZELProtoAnswerWords[3], "DUPL");
    EXPECT_EQ(ZELProtoAnswerWords[7], "OWNER");
    EXPECT_EQ(ZELBitMasks[0], 1u);
    EXPECT_EQ(ZELBitMasks[31], 2147483648u);
    EXPECT_EQ(ZELClientTypeNames[7].Value, TZELClientType::clt_GATEWAY);
    EXPECT_EQ(ZELClientTypeNames[9].Text, u"PCONLY");
    EXPECT_EQ(ZELProxyTypeNames[14].Value, TZELProxyType::ZEL_PROXY_TYPE_SOCKS4);
}

}  // namespace
}  // namespace zel
