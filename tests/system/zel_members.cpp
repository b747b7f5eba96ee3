// What members and operators get from the real program: a block, mute or administrator given
// while a client is on its way in (in quarantine, or an old client holding back its KP line)
// reaches it; the last lines of a client that leaves act; a network's own charset makes its 8-bit members' texts for the UTF-8 members;
// over-long 8-bit texts reach the others as a start of what was sent; a client's own texts reach
// the log escaped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "clients/dmq_zel_svc_packets.hpp"
#include "foundation/dmq_ansi_unicode_converter.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/client_packets.hpp"
#include "tests/support/server_process.hpp"
#include "tests/support/zel_client.hpp"

namespace zel {
namespace {

using namespace std::chrono_literals;
using test::TMember;
using test::TPkt;
using test::WaitUntil;

// A connect line of a client of version Version, with extension flags and a UTF-8 part of the
// same (ASCII) values when Cef asks for UTF-8.
struct TLogin {
    TLogin(std::string M, std::string C, std::string N, std::string Ci = "Town", std::string D = "",
           int V = 2014004, int E = 0)
        : Mail(std::move(M)), Call(std::move(C)), Net(std::move(N)), City(std::move(Ci)), Descr(std::move(D)),
          Version(V), Cef(E) {}
    std::string Mail, Call, Net, City, Descr;
    int Version, Cef;
    std::string Line() const {
        std::string l = "CT:<VX>" + std::to_string(Version) + "</VX><EA>" + Mail + "</EA><PW>pw</PW><ON>" + Call +
                        "</ON><BC>PC Only</BC><CT>" + City + "</CT><NN>Land</NN><NT>" + Net + "</NT>";
        if (!Descr.empty()) l += "<DS>" + Descr + "</DS>";
        if (Cef != 0) l += "<CEF>" + std::to_string(Cef) + "</CEF>";
        if (Cef & 8) {
            std::string u8 = "2";
            for (const auto& [k, v] : std::vector<std::pair<char, std::string>>{
                     {'0', Mail}, {'1', "pw"}, {'2', Call}, {'3', "PC Only"}, {'6', "Town"}})
                u8 += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
            l += "<U8TF>" + u8 + "</U8TF>";
        }
        return l + "\r\n";
    }
};

// Extension flags: UTF-8 with the difference list; UTF-8 with the count and the speaker texts.
constexpr int kCefUtf8Diff = 0xB, kCefUtf8Speaker = 0x8A;

class Members : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sd_.Ok()); }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            EXPECT_EQ(sd_.Wait(pid_, 20s), 0);
        }
    }
    // Runs the server on Networks and a configuration of ServerCharset with System lines, until
    // both ports listen. Its clients send no keep-alives: the activity time-out outlasts a test.
    void Start(const std::string& Networks, const std::string& ServerCharset = "UTF-8",
               const std::string& System = "") {
        sd_.Put("networks.cfg", Networks);
        cfg_ = sd_.Config("server.ini", true, "", System, "ClientActivityTimeout=300\n");
        std::string ini = test::ReadWholeFile(cfg_);
        const std::string key = "ServerCharsetName=UTF-8";
        ini.replace(ini.find(key), key.size(), "ServerCharsetName=" + ServerCharset);
        test::WriteWholeFile(cfg_, ini);
        std::filesystem::remove(sd_.Log());
        pid_ = sd_.Spawn({"run", cfg_}, "members");
        for (const char* port : {"Start listening: Command", "Start listening: Client"})
            ASSERT_TRUE(sd_.WaitForLog(port)) << sd_.Get("zel.log");
    }
    std::string Ask(const std::string& Line) { return test::CommandRequest(sd_.CommandPort, Line); }
    // The "list" word's output: the listed members of every network.
    std::string Listed() { return sd_.Run({"list", cfg_}, "list").Out; }
    // Joins M (its packets start after the login answer); the answer's access level.
    std::string Join(TMember& M, const TLogin& L) {
        M.Mail = L.Mail;
        if (!M.C.Connect(sd_.ClientPort) || !M.C.Send(L.Line()) || !M.C.WaitLoginAnswer()) return "";
        const std::string& r = M.C.Received;
        const size_t a = r.find("\r\n");
        M.Parsed = r.find("\r\n", a + 2) + 2;
        const size_t al = r.find("<AL>"), ale = r.find("</AL>");
        return al < ale && ale < M.Parsed ? r.substr(al + 4, ale - al - 4) : "";
    }
    // The first line of data file Name that names Id.
    std::string EntryOf(const std::string& Name, const std::string& Id) {
        std::string line;
        WaitUntil([&] {
            if (Ask(std::string(ZELCmdLineFlushData)) != "+OK\r\n") return false;
            for (const std::string& l : test::SplitLines(sd_.Get(Name)))
                if (l.find("|" + Id + "|") != std::string::npos) line = l;
            return !line.empty();
        });
        return line;
    }

    test::TServerDir sd_;
    std::string cfg_;
    pid_t pid_ = -1;
};

bool Contains(const std::string& S, const std::string& Part) { return S.find(Part) != std::string::npos; }

// The data files keep a client's texts in hexadecimal.
std::string Hex(const std::string& S) {
    static const char digits[] = "0123456789ABCDEF";
    std::string h;
    for (unsigned char c : S) h += {digits[c >> 4], digits[c & 15]};
    return h;
}

std::string Utf8OfCp1251(const std::string& Bytes) {
    TAnsiUnicodeConverter conv;
    conv.SetCharset(u"CP1251");
    return UnicodeToUtf8A(conv.ToUnicode(Bytes));
}

// Block, mute and administrator, from the command port and from an owner, on a client in
// quarantine and on an old client that holds back its KP line: the block drops it, the mute keeps
// it off the floor once it is a member, the administrator comes back with its role; the entries
// carry the client's callsign and city.
TEST_F(Members, ActionsReachAClientOnItsWayIn) {
    Start("Quar|QuarantineTime=4000;OwnerEMail=boss@example.org\nTest|OwnerEMail=boss@example.org\n");
    // The owner of each network, a member (the quarantine is served once, here).
    TMember boss[2];
    const char* nets[2] = {"Quar", "Test"};
    for (int n = 0; n < 2; ++n) ASSERT_EQ(Join(boss[n], {"boss@example.org", "BOSS", nets[n]}), "NETOWNER");
    ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), "Quar:\n    BOSS"); }, 15s)) << Listed();
    enum class Act { Block, Mute, Admin };
    int row = 0;
    for (const bool port : {true, false})
        for (const bool quarantine : {true, false})
            for (const Act act : {Act::Block, Act::Mute, Act::Admin}) {
                ++row;
                const std::string n = std::to_string(row), call = "K" + n + "NEW", mail = "k" + n + "@example.org";
                const std::string id = CalcSourceId(mail);
                const char* what = act == Act::Block ? "block" : act == Act::Mute ? "mute" : "admin";
                SCOPED_TRACE(std::string(port ? "command port " : "owner ") + what +
                             (quarantine ? " in quarantine" : " before the KP line"));
                TMember& owner = boss[quarantine ? 0 : 1];
                const std::string net = quarantine ? "Quar" : "Test";
                TLogin l{mail, call, net, "Cityof" + n};
                if (!quarantine) l.Version = 2010001;
                TMember t;
                ASSERT_EQ(Join(t, l), "OK");
                const auto window = std::chrono::steady_clock::now();
                if (port) {
                    const std::string line = act == Act::Block ? MakeCmdBlock(net, 0, id, true)
                                             : act == Act::Mute ? MakeCmdMute(net, 0, id, true)
                                                                : MakeCmdAdmin(net, id, true);
                    ASSERT_EQ(Ask(line), "+OK\r\n");
                } else {
                    const char* prefix = act == Act::Block ? "BC:" : act == Act::Mute ? "MC:" : "AA:";
                    ASSERT_TRUE(owner.C.Send(std::string(prefix) + "<IP>" + id + "</IP>\r\n"));
                }
                const std::string entry =
                    EntryOf(act == Act::Block ? "blocks.dat" : act == Act::Mute ? "mutes.dat" : "admins.dat", id);
                EXPECT_TRUE(Contains(entry, "|" + Hex(call) + "|")) << entry;
                EXPECT_TRUE(Contains(entry, "|" + Hex(l.City) + "|")) << entry;
                // Still on its way in when the entry was made.
                if (quarantine) {
                    EXPECT_LT(std::chrono::steady_clock::now() - window, 3500ms);
                }
                EXPECT_FALSE(Contains(Listed(), call));
                switch (act) {
                    case Act::Block:
                        EXPECT_TRUE(t.C.WaitClosed(5000));
                        break;
                    case Act::Admin: {
                        EXPECT_TRUE(t.C.WaitClosed(5000));
                        TMember again;
                        EXPECT_EQ(Join(again, l), "ADMIN");
                        break;
                    }
                    case Act::Mute: {
                        if (!quarantine) {
                            ASSERT_TRUE(t.C.Send("KP\r\n"));
                        }
                        ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), call); }, 15s)) << Listed();
                        // Its request, then a text: once the owner has the text, the request was
                        // served, and the floor is still free for the owner.
                        const size_t mark = owner.P.size();
                        ASSERT_TRUE(t.C.Send("TX0\r\nTM:<MS>after" + n + "</MS>\r\n"));
                        const auto text = [&](const TPkt& p) {
                            return p.Type == ZELPacketText && Contains(p.Bytes, "after" + n);
                        };
                        ASSERT_GE(owner.WaitFor(text, mark), 0);
                        const size_t grant = owner.P.size();
                        ASSERT_TRUE(owner.C.Send("TX0\r\n"));
                        EXPECT_GE(owner.WaitFor([](const TPkt& p) { return p.Type == ZELPacketFloorGrant; }, grant), 0);
                        ASSERT_TRUE(owner.C.Send("RX0\r\n"));
                        t.Pump(0);
                        EXPECT_FALSE(t.Has([](const TPkt& p) { return p.Type == ZELPacketFloorGrant; }));
                        break;
                    }
                }
            }
}

// The last lines of a client that leaves take effect: sent with the close in one write, or with
// a pause before the close; and so do the lines before one the server refuses, in the same write.
// A text reaches the other member, a mute or block its file (made from the member online: its
// callsign is in the entry), a blocked member is dropped, a move moves.
TEST_F(Members, LinesBeforeTheCloseTakeEffect) {
    enum class Act { Text, Mute, Block, MuteThenRefused, Move };
    const Act acts[] = {Act::Text, Act::Mute, Act::Block, Act::MuteThenRefused, Act::Move};
    // An owner of its own in every row: the one before may still be leaving.
    std::string owners;
    for (int i = 1; i <= 2 * int(std::size(acts)); ++i) owners += "o" + std::to_string(i) + "@example.org,";
    Start("Test|OwnerEMail=" + owners + "\nOther\n");
    int row = 0;
    for (const bool pause : {false, true})
        for (const Act act : acts) {
            const std::string n = std::to_string(++row);
            const char* what = act == Act::Text                ? "text"
                               : act == Act::Mute            ? "mute"
                               : act == Act::Block           ? "block"
                               : act == Act::MuteThenRefused ? "mute and a refused line"
                                                             : "move";
            SCOPED_TRACE(std::string(what) + (pause ? ", a pause, the close (or the refused line)"
                                                    : " and the close (or the refused line) at once"));
            TMember o, w, x;
            // The owner may move clients (0x400, granted with UTF-8) and takes no member list.
            ASSERT_EQ(Join(o, {"o" + n + "@example.org", "O" + n, "Test", "Town", "", 2014004, 0x409}), "NETOWNER");
            ASSERT_EQ(Join(w, {"w" + n + "@example.org", "W" + n, "Test"}), "OK");
            ASSERT_EQ(Join(x, {"x" + n + "@example.org", "X" + n, "Test"}), "OK");
            ASSERT_TRUE(WaitUntil([&] {
                const std::string l = Listed();
                return Contains(l, "O" + n) && Contains(l, "W" + n) && Contains(l, "X" + n);
            }, 15s)) << Listed();
            const std::string xid = CalcSourceId("x" + n + "@example.org");
            std::string lines;
            switch (act) {
                case Act::Text: lines = "TM:<MS>bye now " + n + "</MS>\r\n"; break;
                case Act::Mute: lines = "MC:<IP>" + xid + "</IP>\r\n"; break;
                case Act::Block: lines = "BC:<IP>" + xid + "</IP>\r\n"; break;
                case Act::MuteThenRefused: lines = "MC:<IP>" + xid + "</IP>\r\n"; break;
                case Act::Move: lines = "MVU:" + EncodeTlvLength(24) + xid + EncodeTlvLength(5) + "Other00\r\n"; break;
            }
            const std::string refused = "XX:junk\r\n";
            if (act == Act::MuteThenRefused && !pause) lines += refused;
            ASSERT_TRUE(o.C.Send(lines));
            // The client's own pause: a line that has been read alone before the end comes.
            if (pause) std::this_thread::sleep_for(10ms);
            if (act == Act::MuteThenRefused) {
                if (pause) {
                    ASSERT_TRUE(o.C.Send(refused));
                }
                EXPECT_TRUE(o.C.WaitClosed(5000)) << "the refused line closes the owner";
            } else {
                o.C.Close();
            }
            switch (act) {
                case Act::Text:
                    EXPECT_GE(w.WaitFor([&](const TPkt& p) {
                        return p.Type == ZELPacketText && Contains(p.Bytes, "bye now " + n);
                    }), 0);
                    break;
                case Act::Mute:
                case Act::MuteThenRefused:
                    EXPECT_TRUE(Contains(EntryOf("mutes.dat", xid), "|" + Hex("X" + n) + "|"));
                    break;
                case Act::Block:
                    EXPECT_TRUE(Contains(EntryOf("blocks.dat", xid), "|" + Hex("X" + n) + "|"));
                    EXPECT_TRUE(x.C.WaitClosed(5000));
                    break;
                case Act::Move:
                    EXPECT_TRUE(WaitUntil([&] { return Contains(Listed(), "Other:\n    X" + n); }, 15s)) << Listed();
                    break;
            }
        }
}

// The 8-bit texts of a member of a CP1251 and of an ISO-8859-1 network on a UTF-8 server reach a
// UTF-8 member right: in the member list, the speaker text and the sender text.
TEST_F(Members, NetworkCharsetMakesTheTextsOfItsMembers) {
    Start("Cyr|CharsetName=CP1251\nLat|CharsetName=ISO-8859-1\n");
    const struct {
        const char* Net;
        std::string City, CityUtf8;
    } rows[] = {
        {"Cyr", "\xCC\xEE\xF1\xEA\xE2\xE0", "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"},  // Москва
        {"Lat", "M\xFCnchen", "M\xC3\xBCnchen"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Net);
        TMember diff, speaker, talker;
        ASSERT_NE(Join(diff, {std::string("d@") + r.Net, "DIFF", r.Net, "Town", "", 2014004, kCefUtf8Diff}), "");
        ASSERT_NE(Join(speaker, {std::string("s@") + r.Net, "SPK", r.Net, "Town", "", 2014004, kCefUtf8Speaker}), "");
        ASSERT_NE(Join(talker, {std::string("t@") + r.Net, "TALK", r.Net, r.City}), "");
        const auto typed = [&](uint8_t Type, const std::string& Text) {
            return [Type, &Text](const TPkt& p) { return p.Type == Type && Contains(p.Bytes, Text); };
        };
        EXPECT_GE(diff.WaitFor([&](const TPkt& p) { return Contains(p.Bytes, r.CityUtf8); }), 0) << "the member list";
        ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), "TALK"); }));
        ASSERT_TRUE(talker.C.Send("TX0\r\n"));
        ASSERT_GE(talker.WaitFor([](const TPkt& p) { return p.Type == ZELPacketFloorGrant; }), 0);
        ASSERT_TRUE(talker.C.Send("TX1\r\n" + std::string(325, 'v') + "RX0\r\nTM:<MS>hi</MS>\r\n"));
        EXPECT_GE(speaker.WaitFor(typed(uint8_t(ZELPacketSpeaker), r.CityUtf8)), 0) << "the speaker text";
        EXPECT_GE(speaker.WaitFor(typed(uint8_t(ZELPacketMessageSender), r.CityUtf8)), 0) << "the sender text";
    }
}

// A 600-byte CP1251 message and an 80-byte CP1251 description, on a CP1251 network of a UTF-8
// server and on a CP1251 server: the members receive a start of what was sent, in their form.
TEST_F(Members, OverLongTextsAreCutInTheirOwnCharset) {
    std::string cyr;  // "Привет, мир! " in CP1251
    for (const char* w : {"\xCF\xF0\xE8\xE2\xE5\xF2", ", ", "\xEC\xE8\xF0", "! "}) cyr += w;
    std::string message, descr;
    while (message.size() < 600) message += cyr;
    message.resize(600);
    descr = message.substr(0, 80);
    const struct {
        const char* What;
        const char* ServerCharset;
        const char* Networks;
    } rows[] = {{"a CP1251 network", "UTF-8", "Cyr|CharsetName=CP1251\n"}, {"a CP1251 server", "CP1251", "Cyr\n"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        Start(r.Networks, r.ServerCharset);
        TMember ansi, utf8, talker;
        ASSERT_NE(Join(ansi, {"a@example.org", "ANSI", "Cyr", "Town", "", 2014004, 1}), "");
        ASSERT_NE(Join(utf8, {"u@example.org", "UTF", "Cyr", "Town", "", 2014004, kCefUtf8Diff}), "");
        ASSERT_NE(Join(talker, {"t@example.org", "TALK", "Cyr", "Town", descr}), "");
        // The description, cut to 70 characters, in the UTF-8 member's list.
        const std::string cut70 = Utf8OfCp1251(descr.substr(0, 70)), cut71 = Utf8OfCp1251(descr.substr(0, 71));
        const int list = utf8.WaitFor([&](const TPkt& p) { return Contains(p.Bytes, "TALK"); });
        ASSERT_GE(list, 0);
        EXPECT_TRUE(Contains(utf8.P[size_t(list)].Bytes, cut70)) << utf8.P[size_t(list)].Bytes;
        EXPECT_FALSE(Contains(utf8.P[size_t(list)].Bytes, cut71));
        ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), "TALK"); }));
        ASSERT_TRUE(talker.C.Send("TM:<MS>" + message + "</MS>\r\n"));
        for (TMember* m : {&ansi, &utf8}) {
            const int i = m->WaitFor([](const TPkt& p) { return p.Type == ZELPacketText; });
            ASSERT_GE(i, 0);
            const std::string& p = m->P[size_t(i)].Bytes;
            const size_t at = p.find("\r\n", p.find("\r\n") + 2) + 2;
            const std::string text = p.substr(at, p.size() - at - 5);
            EXPECT_EQ(text, message.substr(0, 500));
        }
        ::kill(pid_, SIGTERM);
        EXPECT_EQ(sd_.Wait(pid_, 20s), 0);
        pid_ = -1;
    }
}

// C1 controls and DEL of a client's description reach the LOGIN line escaped.
TEST_F(Members, LoginLineEscapesTheClientsTexts) {
    Start("Test\n", "UTF-8", "LogClientLevel=4\n");
    TMember m;
    ASSERT_EQ(Join(m, {"c1@example.org", "CTRL", "Test", "Town", "a\xC2\x85" "b\x7F" "c"}), "OK");
    ASSERT_TRUE(sd_.WaitForLog(" LOGIN")) << sd_.Get("zel.log");
    std::string login;
    for (const std::string& l : test::SplitLines(sd_.Get("zel.log")))
        if (Contains(l, " LOGIN")) login = l;
    EXPECT_TRUE(Contains(login, "Descr=`a\\x85b\\x7Fc`")) << login;
    EXPECT_FALSE(Contains(login, "\x7F")) << login;
    EXPECT_FALSE(Contains(login, "\xC2\x85")) << login;
}

}  // namespace
}  // namespace zel
