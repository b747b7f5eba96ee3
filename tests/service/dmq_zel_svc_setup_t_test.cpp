#include "service/dmq_zel_svc_setup_t.hpp"

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "foundation/dmq_syscharset.hpp"

namespace zel {
namespace {

using Config = TZELServiceConfig;
using Check = std::function<void(const Config&)>;

// The least a server.ini must hold to be read.
const std::string kMinimal = "[Server]\nServerOwnerEMail=owner@example.org\nServerCharsetName=UTF-8\n";

class ConfigFile : public test::TempDirTest {
protected:
    UnicodeString Write(const std::string& text) {
        Put(Path("server.ini"), text);
        return WidenStrU(Path("server.ini"));
    }
};

const TZELSvcSysmanParams& M(const Config& c, int i) { return c.Managers[i]; }

TEST_F(ConfigFile, ReadsKeysWithDefaultsTrimsAndClamps) {
    struct Case {
        const char* name;
        std::string ini;  // appended to the minimal file
        Check check;
    };
    const std::vector<Case> cases = {
        {"defaults", "",
         [](const Config& c) {
             EXPECT_EQ(c.ServerVersion, 2014004);
             EXPECT_EQ(c.LastClientVersion, 2014004);
             EXPECT_TRUE(c.ListenServerPorts.empty());
             EXPECT_EQ(c.ClientsPerThread, 500);
             EXPECT_EQ(c.ClientHandshakeTimeout, 2);
             EXPECT_EQ(c.ClientActivityTimeout, 8);
             EXPECT_EQ(c.OutputBufferLimit, 131072);
             EXPECT_EQ(c.OutputBufferFactor, 3);
             EXPECT_EQ(c.MaxTotalConnections, 1000);
             EXPECT_EQ(c.ManagerMode, TZELSystemManagerMode::smm_Standalone);
             EXPECT_EQ(c.MaxSpeechTime, 300);
             EXPECT_EQ(c.ThreadCacheTime, 20);
             EXPECT_EQ(c.ClientSessionMaxTime, 0);
             EXPECT_EQ(c.ManagerSecondaryAuthTime, 40);
             EXPECT_EQ(c.MaxWaitConnections, 5);
             EXPECT_EQ(c.MaxConnectionsPerAddress, 8);
             EXPECT_TRUE(c.ShortFrames && c.SpeechLimit && c.LogExec && c.LogData && c.LogAdmin);
             EXPECT_FALSE(c.LogReopenLog || c.KeepHotThread || c.DisableDUPL || c.UniqCallsign);
             EXPECT_EQ(c.IPVersion, 0);
             EXPECT_EQ(c.ReopenLogSignal, TZELReopenLogSignal::rls_SIGHUP);
             EXPECT_EQ(c.ListDelimiter, u';');
             EXPECT_EQ(c.NetworksFileName, u"networks.cfg");
             EXPECT_EQ(c.OwnerFileName, u"owner.dat");
             EXPECT_EQ(c.SystemCharsetName, WidenStrU(SystemCharset));
             EXPECT_TRUE(c.RereadCompareAttr);
             // [Manager] is on by default, the other two off; all inherit from [Server].
             EXPECT_TRUE(M(c, 0).ManagerEnabled);
             EXPECT_FALSE(M(c, 1).ManagerEnabled);
             EXPECT_FALSE(M(c, 2).ManagerEnabled);
             EXPECT_EQ(M(c, 0).ManagerAddress, ZELDefaultManagerAddress);
             EXPECT_EQ(M(c, 0).ManagerPort, 10025);
             EXPECT_EQ(M(c, 0).ManagerAuthEMail, u"owner@example.org");
             EXPECT_EQ(M(c, 0).ManagerReconnectInterval, 60);
             EXPECT_EQ(M(c, 0).ManagerDelayAfterConnect, 10);
             EXPECT_EQ(M(c, 0).Connection.ManagerConnectTimeout, 10000);
             EXPECT_EQ(M(c, 0).Connection.ManagerActivityTimeout, 8000);
             EXPECT_EQ(M(c, 0).Connection.ProxyConnectTimeout, 5000);
             EXPECT_EQ(M(c, 0).Connection.ProxyType, TZELProxyType::ZEL_PROXY_TYPE_NONE);
             EXPECT_EQ(M(c, 0).Connection.ProxyCharsetName, u"UTF-8");
             EXPECT_EQ(M(c, 2).ServerVersion, 2014004);
             EXPECT_FALSE(c.Command.CommandEnabled);
             EXPECT_EQ(c.Command.CommandPort, 10023);
             EXPECT_EQ(c.Command.CommandIPVersion, 1);
             EXPECT_TRUE(c.Command.CommandPreferIPv4);
             EXPECT_EQ(c.Command.CommandTimeout1, 1500);
             EXPECT_EQ(c.Command.CommandTimeout2, 1000);
         }},
        {"listen ports", "ListenServerPorts= 10024 abc 0 70000  010025 \nPresentServerPort=9000\n",
         [](const Config& c) {
             EXPECT_EQ(c.ListenServerPorts, (std::vector<UnicodeString>{u"10024", u"10025"}));
         }},
        {"listen ports from the present port", "PresentServerPort=010030\n",
         [](const Config& c) {
             EXPECT_EQ(c.ListenServerPorts, (std::vector<UnicodeString>{u"10030"}));
             EXPECT_EQ(c.PresentServerPort, u"010030");
             EXPECT_EQ(M(c, 1).PresentServerPort, u"010030");
         }},
        {"versions", "ServerVersion=0\nLastClientVersion=-5\n",
         [](const Config& c) {
             EXPECT_EQ(c.ServerVersion, 2014004);
             EXPECT_EQ(c.LastClientVersion, 2014004);
         }},
        {"durations", "MaxSpeechTime=2m\nThreadCacheTime=2\nClientSessionMaxTime=1h 30m\n",
         [](const Config& c) {
             EXPECT_EQ(c.MaxSpeechTime, 120);
             EXPECT_EQ(c.ThreadCacheTime, 5);
             EXPECT_EQ(c.ClientSessionMaxTime, 5400);
         }},
        {"unparsable durations keep the preset", "MaxSpeechTime=long\nThreadCacheTime=abc\nClientSessionMaxTime=x\n",
         [](const Config& c) {
             EXPECT_EQ(c.MaxSpeechTime, 300);
             EXPECT_EQ(c.ThreadCacheTime, 20);
             EXPECT_EQ(c.ClientSessionMaxTime, 0);
         }},
        {"huge durations saturate instead of wrapping",
         "MaxSpeechTime=99999999d\nThreadCacheTime=999999999h\nClientSessionMaxTime=999999999y\n",
         [](const Config& c) {
             EXPECT_EQ(c.MaxSpeechTime, 1800);
             EXPECT_EQ(c.ThreadCacheTime, 300);
             EXPECT_EQ(c.ClientSessionMaxTime, 2147483647);
         }},
        {"clamps",
         "ClientsPerThread=0\nClientHandshakeTimeout=25\nClientActivityTimeout=2\nOutputBufferLimit=100\n"
         "OutputBufferFactor=0\nMaxTotalConnections=2000000\nSpeechPause=-4\nQuarantineTime=5000\n"
         "ManagerSecondaryAuthTime=301\nMaxWaitConnections=1\nMaxConnectionsPerAddress=-7\n"
         "[System]\nLogClientLevel=9\n",
         [](const Config& c) {
             EXPECT_EQ(c.ClientsPerThread, 1);
             EXPECT_EQ(c.ClientHandshakeTimeout, 20);
             EXPECT_EQ(c.ClientActivityTimeout, 3);
             EXPECT_EQ(c.OutputBufferLimit, 4096);
             EXPECT_EQ(c.OutputBufferFactor, 1);
             EXPECT_EQ(c.MaxTotalConnections, 1000000);
             EXPECT_EQ(c.SpeechPause, 0);
             EXPECT_EQ(c.QuarantineTime, 4000);
             EXPECT_EQ(c.ManagerSecondaryAuthTime, 300);
             EXPECT_EQ(c.MaxWaitConnections, 2);
             EXPECT_EQ(c.MaxConnectionsPerAddress, -1);
             EXPECT_EQ(c.LogClientLevel, 9);  // clamped where it is used
         }},
        {"parsed words",
         "ManagerMode= light \nIPVersion=6\nMaxTotalConnections=0\n"
         "[System]\nReopenLogSignal=usr2\nListDelimiter=\\x09\n",
         [](const Config& c) {
             EXPECT_EQ(c.ManagerMode, TZELSystemManagerMode::smm_Light);
             EXPECT_EQ(c.IPVersion, 2);
             EXPECT_EQ(c.MaxTotalConnections, 1);
             EXPECT_EQ(c.ReopenLogSignal, TZELReopenLogSignal::rls_SIGUSR2);
             EXPECT_EQ(c.ListDelimiter, u'\t');
         }},
        {"invalid words give their defaults",
         "ManagerMode=LIGHTS\nIPVersion=5\n[System]\nReopenLogSignal=SIGTERM\nListDelimiter=\\xZZ\n",
         [](const Config& c) {
             EXPECT_EQ(c.ManagerMode, TZELSystemManagerMode::smm_Standalone);
             EXPECT_EQ(c.IPVersion, 0);
             EXPECT_EQ(c.ReopenLogSignal, TZELReopenLogSignal::rls_SIGHUP);
             EXPECT_EQ(c.ListDelimiter, u';');
         }},
        {"manager sections inherit and clamp",
         "ServerVersion=77\nPresentServerAddress=srv.example.org\nManagerInvalidPasswordScript=/bin/inv\n"
         "ManagerUnicode=no\n"
         "[Manager]\nManagerAddress=mgr.example.org\nManagerPort=abc\nManagerConnectTimeout=1\n"
         "ManagerActivityTimeout=0\nProxyType=s5\nProxyPort=01080\nProxyCharsetName=utf-8\n"
         "ProxyConnectTimeout=0\nManagerReconnectInterval=2h\nManagerDelayAfterConnect=0\n"
         "[Manager1]\nManagerEnabled=1\nServerVersion=5\nManagerAuthEMail=m1@example.org\n"
         "ManagerReconnectInterval=0\nProxyType=bogus\nManagerConnectTimeout=31\nManagerUnicode=yes\n",
         [](const Config& c) {
             const auto& m0 = M(c, 0);
             EXPECT_EQ(m0.ManagerAddress, u"mgr.example.org");
             EXPECT_EQ(m0.ManagerPort, 10025);
             EXPECT_TRUE(m0.ManagerPortInvalid);
             EXPECT_FALSE(M(c, 1).ManagerPortInvalid) << "no text, no fault";
             EXPECT_EQ(m0.ServerVersion, 77);
             EXPECT_EQ(m0.PresentServerAddress, u"srv.example.org");
             EXPECT_EQ(m0.ManagerInvalidPasswordScript, u"/bin/inv");
             EXPECT_FALSE(m0.ManagerUnicode);
             EXPECT_EQ(m0.Connection.ManagerConnectTimeout, 3000);
             EXPECT_EQ(m0.Connection.ManagerActivityTimeout, 10000);
             EXPECT_EQ(m0.Connection.ProxyType, TZELProxyType::ZEL_PROXY_TYPE_SOCKS5);
             EXPECT_EQ(m0.Connection.ProxyPort, 1080);
             EXPECT_EQ(m0.Connection.ProxyCharsetName, u"UTF-8");
             EXPECT_EQ(m0.Connection.ProxyConnectTimeout, 5000);
             EXPECT_EQ(m0.ManagerReconnectInterval, 3600);
             EXPECT_EQ(m0.ManagerDelayAfterConnect, 1);
             const auto& m1 = M(c, 1);
             EXPECT_TRUE(m1.ManagerEnabled);
             EXPECT_EQ(m1.ServerVersion, 5);
             EXPECT_EQ(m1.ManagerAuthEMail, u"m1@example.org");
             EXPECT_EQ(m1.ManagerReconnectInterval, 1);
             EXPECT_EQ(m1.Connection.ProxyType, TZELProxyType::ZEL_PROXY_TYPE_NONE);
             EXPECT_EQ(m1.Connection.ManagerConnectTimeout, 30000);
             EXPECT_TRUE(m1.ManagerUnicode);
             EXPECT_EQ(m1.ConfigFileName, c.ConfigFileName);
         }},
        {"command section",
         "[Command]\nCommandEnabled=yes\nCommandPort=012345\nCommandIPVersion=64\nCommandPreferIPv4=0\n"
         "CommandLogLevel=-3\nCommandTimeout1=5\nCommandTimeout2=-1\n",
         [](const Config& c) {
             EXPECT_TRUE(c.Command.CommandEnabled);
             EXPECT_EQ(c.Command.CommandPort, 12345);
             EXPECT_EQ(c.Command.CommandIPVersion, 0);
             EXPECT_FALSE(c.Command.CommandPreferIPv4);
             EXPECT_EQ(c.Command.CommandLogLevel, -3) << "negative silences the refusal line";
             EXPECT_EQ(c.Command.CommandTimeout1, 100);
             EXPECT_EQ(c.Command.CommandTimeout2, 1000);
         }},
        {"command section invalid values",
         "[Command]\nCommandPort=70000\nCommandIPVersion=7\nCommandLogLevel=3\nCommandTimeout1=999999\n",
         [](const Config& c) {
             EXPECT_EQ(c.Command.CommandPort, 10023);
             EXPECT_EQ(c.Command.CommandIPVersion, 1);
             EXPECT_EQ(c.Command.CommandLogLevel, 3);
             EXPECT_EQ(c.Command.CommandTimeout1, 60000);
         }},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        const UnicodeString path = Write(kMinimal + tc.ini);
        Config c;
        ASSERT_NO_THROW(ReadServiceConfig(c, path));
        EXPECT_EQ(c.ConfigFileName, path);
        tc.check(c);
    }
}

TEST_F(ConfigFile, ServerPasswordSetByCallerIsTheManagerPasswordDefault) {
    Config c;
    c.ServerPassword = u"secret";
    ReadServiceConfig(c, Write(kMinimal + "[Manager2]\nManagerAuthPassword=own\n"));
    EXPECT_EQ(c.ServerPassword, u"secret");
    EXPECT_EQ(M(c, 0).ManagerAuthPassword, u"secret");
    EXPECT_EQ(M(c, 2).ManagerAuthPassword, u"own");
}

TEST_F(ConfigFile, ErrorsInReadingOrder) {
    struct Case {
        const char* name;
        std::string ini;
        const char* cls;
        std::string messageStart;
    };
    const std::string email = "[Server]\nServerOwnerEMail=a@b.c\n";
    const std::vector<Case> cases = {
        {"no e-mail, no charset", "[Server]\nServerOwnerEMail=  \n", "EZELServiceInvalidServerOwnerEMail",
         "[Server].ServerOwnerEMail: Invalid or empty server owner email address"},
        {"no charset", email, "Exception", "Parameter [Server].ServerCharsetName is empty"},
        {"unknown server charset", email + "ServerCharsetName=NO-SUCH-SET\n[Manager]\nProxyCharsetName=bad\n",
         "EAnsiUnicodeConverterInvalidCharsetName", "Parameter [Server].ServerCharsetName: "},
        {"unknown proxy charset before the system charset",
         kMinimal + "[Manager2]\nProxyCharsetName=no-such-set\n[System]\nSystemCharsetName=no-such-set\n",
         "EAnsiUnicodeConverterInvalidCharsetName", "Section [Manager2]: Parameter [Manager2].ProxyCharsetName: "},
        {"unknown system charset", kMinimal + "[System]\nSystemCharsetName=no-such-set\n",
         "EAnsiUnicodeConverterInvalidCharsetName", "Parameter [System].SystemCharsetName: "},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        Config c;
        try {
            ReadServiceConfig(c, Write(tc.ini));
            ADD_FAILURE() << "no exception";
        } catch (const std::exception& e) {
            EXPECT_STREQ(ExceptionClassName(e), tc.cls);
            EXPECT_EQ(std::string(e.what()).substr(0, tc.messageStart.size()), tc.messageStart) << e.what();
        }
    }
    Config c;
    try {
        ReadServiceConfig(c, WidenStrU(dir_ + "/missing.ini"));
        ADD_FAILURE() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(ExceptionClassName(e), "EFileExceptionOpenError");
    }
}

TEST_F(ConfigFile, CheckManagerSectionsDisablesBrokenSections) {
    // As read: [Manager] has no password; [Manager1] has no keys, is off and stays unchecked;
    // [Manager2] is switched on with a password, then loses its address and port.
    Config c;
    ReadServiceConfig(c, Write(kMinimal + "[Manager2]\nManagerEnabled=true\nManagerAuthPassword=pw\n"));
    c.Managers[2].ManagerAddress.clear();
    c.Managers[2].ManagerPort = 0;
    std::vector<UnicodeString> lines;
    CheckManagerSections(c, [&](const UnicodeString& l) { lines.push_back(l); });
    const std::vector<UnicodeString> want = {
        u"ERROR: Parameter ManagerAuthPassword in section [Manager] is empty",
        u"WARNING: Section [Manager] is disabled because of configuration errors",
        u"ERROR: Parameter ManagerAddress in section [Manager2] is empty",
        u"ERROR: Parameter ManagerPort in section [Manager2] is invalid",
        u"WARNING: Section [Manager2] is disabled because of configuration errors",
    };
    EXPECT_EQ(lines, want);
    for (const auto& m : c.Managers) EXPECT_FALSE(m.ManagerEnabled);

    // All four faults in one section, and a sound section that passes untouched.
    Config d;
    d.Managers[0].ManagerEnabled = true;
    d.Managers[1] = TZELSvcSysmanParams{};
    d.Managers[1].ManagerEnabled = true;
    d.Managers[1].ManagerAddress = u"m";
    d.Managers[1].ManagerPort = 1;
    d.Managers[1].ManagerAuthEMail = u"e";
    d.Managers[1].ManagerAuthPassword = u"p";
    lines.clear();
    CheckManagerSections(d, [&](const UnicodeString& l) { lines.push_back(l); });
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[2], u"ERROR: Parameter ManagerAuthEMail in section [Manager] is empty");
    EXPECT_FALSE(d.Managers[0].ManagerEnabled);
    EXPECT_TRUE(d.Managers[1].ManagerEnabled);
}

// A ManagerPort that is no port is reported, but the section stays on with the default port:
// a typo must not switch the server to STANDALONE.
TEST_F(ConfigFile, ManagerPortTypoIsReportedAndKeepsTheSection) {
    Config c;
    ReadServiceConfig(c, Write(kMinimal + "[Manager]\nManagerPort= 100x5 \nManagerAuthPassword=pw\n"
                                          "[Manager2]\nManagerEnabled=1\nManagerPort=10030\nManagerAuthPassword=pw\n"));
    std::vector<UnicodeString> lines;
    CheckManagerSections(c, [&](const UnicodeString& l) { lines.push_back(l); });
    const std::vector<UnicodeString> want = {u"ERROR: Parameter ManagerPort in section [Manager] is invalid"};
    EXPECT_EQ(lines, want);
    EXPECT_TRUE(M(c, 0).ManagerEnabled);
    EXPECT_EQ(M(c, 0).ManagerPort, 10025);
    EXPECT_TRUE(M(c, 2).ManagerEnabled);
    EXPECT_EQ(M(c, 2).ManagerPort, 10030);
}

// The e-mail and the password go to the manager as the elements OW and PW: one that could cut its
// element (and leave the rest of a password unmasked in the debug log) disables the section; other
// punctuation passes.
TEST_F(ConfigFile, ManagerSecretsThatCouldForgeAnElementDisableTheSection) {
    Config c;
    ReadServiceConfig(c, Write(kMinimal + "[Manager]\nManagerAuthPassword=se</PW><XX>cret\n"
                                          "[Manager1]\nManagerEnabled=1\nManagerAuthEMail=a@b.c>\nManagerAuthPassword=p\n"
                                          "[Manager2]\nManagerEnabled=1\nManagerAuthPassword=s3cr3t!#%&*()\n"));
    std::vector<UnicodeString> lines;
    CheckManagerSections(c, [&](const UnicodeString& l) { lines.push_back(l); });
    const std::vector<UnicodeString> want = {
        u"ERROR: Parameter ManagerAuthPassword in section [Manager] holds forbidden characters",
        u"WARNING: Section [Manager] is disabled because of configuration errors",
        u"ERROR: Parameter ManagerAuthEMail in section [Manager1] holds forbidden characters",
        u"WARNING: Section [Manager1] is disabled because of configuration errors",
    };
    EXPECT_EQ(lines, want);
    EXPECT_FALSE(M(c, 0).ManagerEnabled);
    EXPECT_FALSE(M(c, 1).ManagerEnabled);
    EXPECT_TRUE(M(c, 2).ManagerEnabled);
}

TEST(ConfigManagers, FindByAddress) {
    Config c;
    const char16_t* addr[3] = {u"One.example", u"two.example", u"TWO.EXAMPLE"};
    for (int i = 0; i < 3; ++i) {
        c.Managers[i].ManagerEnabled = true;
        c.Managers[i].ManagerAddress = addr[i];
    }
    EXPECT_EQ(FindConfigManagerByAddress(c, u"one.EXAMPLE"), 0);
    EXPECT_EQ(FindConfigManagerByAddress(c, u"two.example"), -2);
    EXPECT_EQ(FindConfigManagerByAddress(c, u"three.example"), -1);
    c.Managers[1].ManagerEnabled = false;
    EXPECT_EQ(FindConfigManagerByAddress(c, u"Two.Example"), 2);
}

}  // namespace
}  // namespace zel
