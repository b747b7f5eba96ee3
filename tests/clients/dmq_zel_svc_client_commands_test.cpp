#include "clients/dmq_zel_svc_client_commands.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/client_login_env.hpp"

namespace zel {
namespace {

using namespace test;

// Client command lines, read through a logged-in context whose privilege and extensions each row
// sets.

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

TEST(ZELClientCommands, CommandLineTable) {
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
TEST(ZELClientCommands, RandomCommandLines) {
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

// The parser decides by the sender alone. A line refused without a text of its own leaves the
// context's last one.
TEST(ZELClientCommands, TheSenderDecides) {
    const std::string id = CalcSourceId("t@example.org");
    TZELClientCommandSender s;
    s.Privilege = TZELClientPrivilege::clpr_ADMIN;
    s.Id = CalcSourceId("a@b.c");
    TZELClientLine l;
    TZELClientCommandRefusal r;
    ASSERT_TRUE(ParseClientCommandLine("MC:<IP>" + id + "</IP>", s, l, r));
    EXPECT_EQ(l.Code, TZELSVCNetQueueCommand::fsnq_ClientMute);
    EXPECT_EQ(l.Text1, id);
    EXPECT_FALSE(ParseClientCommandLine("ENA:1", s, l, r));
    EXPECT_EQ(r.Cause, DC::fsdc_PrivilegeViolation);
    EXPECT_TRUE(r.HasText);
    s.NetOwner = true;
    ASSERT_TRUE(ParseClientCommandLine("ENA:1", s, l, r));
    EXPECT_EQ(l.Code, TZELSVCNetQueueCommand::fsnq_ClientConnModeOn);
    EXPECT_FALSE(ParseClientCommandLine("ENA:2", s, l, r));
    EXPECT_FALSE(r.HasText);
    EXPECT_EQ(r.Cause, DC::fsdc_DisconnectWithoutAuth);

    TEnv e;
    auto c = e.NewClient();
    c->ParseConnectString(Join(BaseTags()));
    TZELClientLine cl;
    EXPECT_FALSE(c->ParseCommandLine("MC:<IP>" + id + "</IP>", cl));
    EXPECT_FALSE(c->ParseCommandLine("XYZ:1", cl));
    EXPECT_EQ(c->LastErrorText, u"Client has no privilege for MC command");
    EXPECT_EQ(c->Cause(), DC::fsdc_PrivilegeViolation);
}

}  // namespace
}  // namespace zel
