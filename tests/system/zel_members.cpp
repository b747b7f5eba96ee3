// What members and operators get from the real program: a block, mute or administrator given
// while a client is on its way in (in quarantine, or an old client holding back its KP line)
// reaches it; the last lines of a client that leaves act, and so do those it sent before it was
// a member; a network's own charset makes its 8-bit members' texts for the UTF-8 members;
// over-long 8-bit texts reach the others as a start of what was sent; a client's own texts reach
// the log escaped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
    std::string U8City = "Town";  // the UTF-8 part's city
    std::string Line() const {
        std::string l = "CT:<VX>" + std::to_string(Version) + "</VX><EA>" + Mail + "</EA><PW>pw</PW><ON>" + Call +
                        "</ON><BC>PC Only</BC><CT>" + City + "</CT><NN>Land</NN><NT>" + Net + "</NT>";
        if (!Descr.empty()) l += "<DS>" + Descr + "</DS>";
        if (Cef != 0) l += "<CEF>" + std::to_string(Cef) + "</CEF>";
        if (Cef & 8) {
            std::string u8 = "2";
            for (const auto& [k, v] : std::vector<std::pair<char, std::string>>{
                     {'0', Mail}, {'1', "pw"}, {'2', Call}, {'3', "PC Only"}, {'6', U8City}})
                u8 += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
            l += "<U8TF>" + u8 + "</U8TF>";
        }
        return l + "\r\n";
    }
};

// Extension flags: UTF-8 with the difference list; UTF-8 with the count and the speaker texts;
// no member list; UTF-8 and no member list; short frames and no member list.
constexpr int kCefUtf8Diff = 0xB, kCefUtf8Speaker = 0x8A, kCefNoList = 1, kCefUtf8NoList = 9, kCefShort = 0x11;

class Members : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sd_.Ok()); }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            EXPECT_EQ(sd_.Wait(pid_, 20s), 0);
        }
    }
    // Runs the server on Networks and a configuration of ServerCharset with System and Server
    // lines, until both ports listen. Its clients send no keep-alives: the activity time-out
    // outlasts a test.
    void Start(const std::string& Networks, const std::string& ServerCharset = "UTF-8",
               const std::string& System = "", const std::string& Server = "") {
        sd_.Put("networks.cfg", Networks);
        cfg_ = sd_.Config("server.ini", true, "", System, "ClientActivityTimeout=300\n" + Server);
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
    // The network whose listed members hold Call ("" when none does).
    std::string NetOf(const std::string& Call) {
        std::string net;
        for (const std::string& l : test::SplitLines(Listed())) {
            if (!l.empty() && l[0] != ' ' && l.back() == ':') net = l.substr(0, l.size() - 1);
            else if (l.find(Call) != std::string::npos) return net;
        }
        return "";
    }
    // Joins M (its packets start after the login answer); the answer's access level.
    // Lines After go in the same write as the connect line.
    std::string Join(TMember& M, const TLogin& L, const std::string& After = "") {
        M.Mail = L.Mail;
        if (!M.C.Connect(sd_.ClientPort) || !M.C.Send(L.Line() + After) || !M.C.WaitLoginAnswer()) return "";
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

// A UTF-8 text in Charset, as its converter gives it.
std::string InCharset(const std::string& Charset, const std::string& Utf8) {
    TAnsiUnicodeConverter conv;
    conv.SetCharset(WidenStrU(Charset));
    return conv.FromUnicode(DecodeUtf8U(Utf8));
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

// Lines sent with the connect line, or at once after the login answer, act once the client is a
// member: a text reaches the other member after the new member's list entry, an owner's mute
// lands in the file made from the member online. Sent once it is listed, they act as well.
TEST_F(Members, EarlyLinesTakeEffect) {
    std::string owners;
    for (int i = 1; i <= 6; ++i) owners += "o" + std::to_string(i) + "@example.org,";
    Start("Test|OwnerEMail=" + owners + "\n");
    enum class When { WithConnectLine, AfterAnswer, AfterListed };
    int row = 0;
    for (const When when : {When::WithConnectLine, When::AfterAnswer, When::AfterListed})
        for (const bool text : {true, false}) {
            const std::string n = std::to_string(++row);
            SCOPED_TRACE(std::string(text ? "text" : "mute") +
                         (when == When::WithConnectLine ? " with the connect line"
                          : when == When::AfterAnswer   ? " at once after the login answer"
                                                        : " once listed"));
            TMember w, x, a;
            ASSERT_EQ(Join(w, {"w" + n + "@example.org", "W" + n, "Test"}), "OK");
            ASSERT_EQ(Join(x, {"x" + n + "@example.org", "X" + n, "Test"}), "OK");
            ASSERT_TRUE(WaitUntil([&] {
                const std::string l = Listed();
                return Contains(l, "W" + n) && Contains(l, "X" + n);
            }, 15s)) << Listed();
            const std::string xid = CalcSourceId("x" + n + "@example.org");
            const std::string call = text ? "A" + n + "TXT" : "O" + n;
            const std::string lines =
                text ? "TM:<MS>early " + n + "</MS>\r\n" : "MC:<IP>" + xid + "</IP>\r\n";
            const TLogin l{text ? "a" + n + "@example.org" : "o" + n + "@example.org", call, "Test"};
            ASSERT_EQ(Join(a, l, when == When::WithConnectLine ? lines : ""), text ? "OK" : "NETOWNER");
            if (when == When::AfterListed) {
                ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), call); }, 15s)) << Listed();
            }
            if (when != When::WithConnectLine) {
                ASSERT_TRUE(a.C.Send(lines));
            }
            if (text) {
                const int got = w.WaitFor([&](const TPkt& p) {
                    return p.Type == ZELPacketText && Contains(p.Bytes, "early " + n);
                });
                EXPECT_GE(got, 0) << "the text reaches the other member";
                if (got >= 0) {
                    const int entry = w.WaitFor([&](const TPkt& p) {
                        return p.Type != ZELPacketText && Contains(p.Bytes, call);
                    }, 0, 0);
                    EXPECT_TRUE(entry >= 0 && entry < got) << "the sender's list entry comes first";
                }
            } else {
                EXPECT_TRUE(Contains(EntryOf("mutes.dat", xid), "|" + Hex("X" + n) + "|"));
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

// A member moved by the command port into a network of another charset, for good or for a time,
// and back, keeps its texts: the UTF-8 members there read them in the member list, the speaker
// text and the sender text; the 8-bit members get them in that network's charset (a letter the
// set lacks as "?"). Back home, its own network's members get them as at its login.
TEST_F(Members, MovedMemberKeepsItsTexts) {
    // Twelve watchers and a mover from one address.
    Start("Cyr|CharsetName=CP1251\nKoi|CharsetName=KOI8-R\nLat|CharsetName=ISO-8859-1\nUni\n", "UTF-8", "",
          "MaxConnectionsPerAddress=0\n");
    struct TWatched {
        const char* Name;
        const char* Charset;
        TMember Diff, Speaker, Ansi;  // UTF-8 with differences, UTF-8 with speaker texts, 8-bit
        size_t DiffAt = 0, SpeakerAt = 0, AnsiAt = 0;  // where the packets of the present check start
    } nets[] = {{"Cyr", "CP1251", {}, {}, {}},
                {"Koi", "KOI8-R", {}, {}, {}},
                {"Lat", "ISO-8859-1", {}, {}, {}},
                {"Uni", "UTF-8", {}, {}, {}}};
    for (TWatched& n : nets) {
        const std::string net = n.Name;
        ASSERT_NE(Join(n.Diff, {"d@" + net, "DIFF" + net, net, "Town", "", 2014004, kCefUtf8Diff}), "");
        ASSERT_NE(Join(n.Speaker, {"s@" + net, "SPK" + net, net, "Town", "", 2014004, kCefUtf8Speaker}), "");
        ASSERT_NE(Join(n.Ansi, {"a@" + net, "ANSI" + net, net}), "");
    }
    const auto watched = [&](const std::string& Name) -> TWatched& {
        for (TWatched& n : nets)
            if (Name == n.Name) return n;
        return nets[0];
    };
    const std::string moskva = "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0", zhuk = "\xD0\x96\xD1\x83\xD0\xBA";
    const struct {
        const char* What;
        bool Utf8Part;  // the UTF-8 part gives the city; else only the 8-bit field, in Home's set
        const char* Home;
        const char* Away;
        uint32_t Seconds;  // 0: for good, then moved back
    } rows[] = {
        {"8-bit, for good and back", false, "Cyr", "Koi", 0},
        {"8-bit, into a set without its letters and back", false, "Cyr", "Lat", 0},
        {"8-bit, for a time into UTF-8", false, "Cyr", "Uni", 5},
        {"8-bit of a UTF-8 network, for a time", false, "Uni", "Koi", 5},
        {"UTF-8 part, for good and back", true, "Cyr", "Koi", 0},
        {"UTF-8 part, for a time into UTF-8", true, "Koi", "Uni", 5},
    };
    const auto holds = [](uint8_t Type, const std::string& Text) {
        return [Type, Text](const TPkt& p) { return p.Type == Type && Contains(p.Bytes, Text); };
    };
    int row = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        const std::string n = std::to_string(++row), call = "MOVER" + n, mail = "m" + n + "@example.org";
        const std::string& city = r.Utf8Part ? zhuk : moskva;
        TLogin l{mail, call, r.Home, InCharset(watched(r.Home).Charset, city), "", 2014004,
                 r.Utf8Part ? kCefUtf8NoList : kCefNoList};
        l.U8City = city;
        TMember mover;
        const auto entry8 = [&](const TWatched& W) {
            return "<CT>" + InCharset(W.Charset, city) + "</CT><BC>PC Only</BC><CL>2</CL><ON>" + call + "</ON>";
        };
        const auto mark = [&](TWatched& W) {
            W.DiffAt = W.Diff.P.size();
            W.AnsiAt = W.Ansi.P.size();
            W.SpeakerAt = W.Speaker.P.size();
        };
        TWatched& home = watched(r.Home);
        mark(home);
        ASSERT_NE(Join(mover, l), "");
        // The lists that tell a network of the mover's return start after those of its login.
        const int joined = home.Diff.WaitFor([&](const TPkt& p) { return Contains(p.Bytes, call); }, home.DiffAt);
        ASSERT_GE(joined, 0);
        EXPECT_TRUE(Contains(home.Diff.P[size_t(joined)].Bytes, city));
        ASSERT_GE(home.Ansi.WaitFor(holds(uint8_t(ZELPacketMemberList), entry8(home)), home.AnsiAt), 0);
        mark(home);
        // What the members of Net get once the mover is there and has spoken (before a timed
        // move ends).
        const auto arrives = [&](const char* Net, const std::function<void()>& Move) {
            SCOPED_TRACE(Net);
            TWatched& w = watched(Net);
            const size_t own = mover.P.size();
            Move();
            // A member there once the difference list names it.
            const int listed = w.Diff.WaitFor(holds(uint8_t(ZELPacketMemberDiff), call), w.DiffAt, 15000);
            ASSERT_GE(listed, 0);
            EXPECT_TRUE(Contains(w.Diff.P[size_t(listed)].Bytes, city)) << "the UTF-8 list";
            ASSERT_TRUE(mover.C.Send("TX0\r\n"));
            ASSERT_GE(mover.WaitFor([](const TPkt& p) { return p.Type == ZELPacketFloorGrant; }, own), 0);
            ASSERT_TRUE(mover.C.Send("TX1\r\n" + std::string(325, 'v') + "RX0\r\nTM:<MS>hi</MS>\r\n"));
            EXPECT_GE(w.Ansi.WaitFor(holds(uint8_t(ZELPacketMemberList), entry8(w)), w.AnsiAt), 0) << "the 8-bit list";
            // The mover's texts, not an earlier mover's of the same city.
            const auto its = [&](uint8_t Type) {
                return [Type, &call, &city](const TPkt& p) {
                    return p.Type == Type && Contains(p.Bytes, call) && Contains(p.Bytes, city);
                };
            };
            EXPECT_GE(w.Speaker.WaitFor(its(uint8_t(ZELPacketSpeaker)), w.SpeakerAt), 0) << "the speaker text";
            EXPECT_GE(w.Speaker.WaitFor(its(uint8_t(ZELPacketMessageSender)), w.SpeakerAt), 0) << "the sender text";
        };
        const std::string id = CalcSourceId(mail);
        TWatched& away = watched(r.Away);
        mark(away);
        arrives(r.Away, [&] { EXPECT_EQ(Ask(MakeCmdMoveClient(id, r.Home, r.Away, r.Seconds)).substr(0, 1), "+"); });
        arrives(r.Home, [&] {
            if (r.Seconds == 0) {
                EXPECT_EQ(Ask(MakeCmdMoveClient(id, r.Away, r.Home, 0)).substr(0, 1), "+");
            }
        });
    }
}

// A client naming a CP1251 network of 31 bytes, plus one more letter in the server's UTF-8, is
// a member of that network (the 32-byte cut in the network's set ends inside the letter and names
// no network), its texts read in CP1251; the name alone leads there too.
TEST_F(Members, NetworkNamedNearItsCapIsTheOneJoined) {
    const std::string longName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";
    Start("Main\n" + longName + "|CharsetName=CP1251\n");
    TMember diff;
    ASSERT_NE(Join(diff, {"d@example.org", "DIFF", longName, "Town", "", 2014004, kCefUtf8Diff}), "");
    const std::string moskva = "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0";
    const struct {
        const char* What;
        std::string Named;
    } rows[] = {{"the name", longName}, {"the name and a letter", longName + "\xD0\x96"}};
    int row = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.What);
        const std::string call = "NEAR" + std::to_string(++row);
        const size_t mark = diff.P.size();
        TMember m;
        ASSERT_NE(Join(m, {call + "@example.org", call, r.Named, InCharset("CP1251", moskva), "", 2014004, kCefNoList}),
                  "");
        ASSERT_TRUE(WaitUntil([&] { return NetOf(call) != ""; })) << Listed();
        EXPECT_EQ(NetOf(call), longName);
        EXPECT_GE(diff.WaitFor([&](const TPkt& p) { return Contains(p.Bytes, call) && Contains(p.Bytes, moskva); },
                               mark),
                  0);
    }
}

// A talker's short frame, then a pause past the floor housekeeping's silence, then a voice
// block: a member without short frames hears the frame (padded to a voice packet) before the
// silence, once; a member with short frames hears it as it came, before its short silence.
TEST_F(Members, ShortFrameBeforeAPauseIsHeardBeforeItsSilence) {
    Start("Test\n");
    TMember talker, plain, shorts;
    ASSERT_NE(Join(talker, {"t@example.org", "TALK", "Test", "Town", "", 2014004, kCefShort}), "");
    ASSERT_NE(Join(plain, {"p@example.org", "PLAIN", "Test", "Town", "", 2014004, kCefNoList}), "");
    ASSERT_NE(Join(shorts, {"s@example.org", "SHORT", "Test", "Town", "", 2014004, kCefShort}), "");
    ASSERT_TRUE(WaitUntil([&] { return Contains(Listed(), "SHORT"); })) << Listed();
    ASSERT_TRUE(talker.C.Send("TX0\r\n"));
    ASSERT_GE(talker.WaitFor([](const TPkt& p) { return p.Type == ZELPacketFloorGrant; }), 0);
    const std::string frame(65, 'F'), voice(325, 'V');
    const size_t p0 = plain.P.size(), s0 = shorts.P.size();
    ASSERT_TRUE(talker.C.Send("TX8\r\n" + frame));
    // The pause: until the silence has reached both (the voice packets to the plain member are
    // the padded frame and the silence, in some order).
    const auto silence = [&](uint8_t Type) {
        return [Type, &frame](const TPkt& p) { return p.Type == Type && !Contains(p.Bytes, frame.substr(0, 8)); };
    };
    ASSERT_GE(shorts.WaitFor(silence(uint8_t(ZELPacketShortBlock)), s0), 0);
    ASSERT_GE(plain.WaitFor(silence(uint8_t(ZELPacketVoice)), p0), 0);
    ASSERT_TRUE(talker.C.Send("TX1\r\n" + voice + "RX0\r\n"));
    ASSERT_GE(plain.WaitFor([&](const TPkt& p) { return p.Type == ZELPacketVoice && Contains(p.Bytes, voice); }, p0), 0);
    std::vector<std::string> heard;  // the plain member's voice packets: F frame, S silence, V voice
    for (size_t i = p0; i < plain.P.size(); ++i) {
        const std::string& b = plain.P[i].Bytes;
        if (plain.P[i].Type != ZELPacketVoice) continue;
        heard.push_back(Contains(b, voice) ? "V" : Contains(b, frame) ? "F" : "S");
        if (heard.back() == "F") {
            EXPECT_EQ(b.substr(3, 65), frame);
        }
    }
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front(), "F");
    EXPECT_EQ(std::count(heard.begin(), heard.end(), "F"), 1);
    EXPECT_EQ(heard.back(), "V");
    const int first = shorts.WaitFor([&](const TPkt& p) { return p.Type == uint8_t(ZELPacketShortBlock); }, s0);
    ASSERT_GE(first, 0);
    EXPECT_EQ(shorts.P[size_t(first)].Bytes.substr(3), frame);
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
