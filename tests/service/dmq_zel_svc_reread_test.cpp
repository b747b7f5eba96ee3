#include "service/dmq_zel_svc_reread.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/dmq_datetime.hpp"
#include "foundation/dmq_hex.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "tests/support/service_fixture.hpp"
#include "tests/support/stand_in_network.hpp"
#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

using K = TZELSVCMainQueueCommand;
using Q = TZELSVCNetQueueCommand;

const std::string ID = "kAFQmDzST7DWlj99KOF]cgkd";
const std::string ID2 = "1B2M2Y8AsgTpgAmY7PhCfgR5";

// The rereads run on the main thread as the service thread runs them, over the networks "A" and
// "B" made by service start's reader; the records they post are taken off the service queue.
class Reread : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        Put(Path("networks.cfg"), "A\nB\n");
        TZELServiceConfig c;
        c.NetworksFileName = WidenStrU(Path("networks.cfg"));
        c.DataDir = WidenStrU(dir_);
        c.AdminsFileName = u"admins.dat";
        c.MutesFileName = u"mutes.dat";
        c.BlocksFileName = u"blocks.dat";
        c.RightsFileName = u"rights.dat";
        c.ModesFileName = u"modes.dat";
        c.NoticesFileName = u"notices.dat";
        s = std::make_unique<TZELService>(u"/etc/server.ini", c);
        s->SetFactory(std::make_unique<test::StandInFactory>());
        log.Install(*s);
        s->LogData = false;
        s->ReadNetworks();
        ASSERT_EQ(s->Networks().Count(), 2);
        log.Lines.clear();
        InstallListRereads(*s);
    }

    // The one record posted since the last call.
    std::unique_ptr<TZELSVCNetQueueRecord> Posted() {
        std::unique_ptr<TZELSVCNetQueueRecord> r;
        EXPECT_TRUE(s->ServQueue().Pop(r));
        EXPECT_EQ(s->ServQueue().Count(), 0);
        return r;
    }
    template <class P>
    static const P* Part(const TZELSVCNetQueueRecord& R, size_t I) {
        if (I >= R.Objects.size() || !R.Objects[I]) return nullptr;
        auto* p = dynamic_cast<const P*>(R.Objects[I].get());
        EXPECT_NE(p, nullptr);
        return p;
    }
    template <class R>
    static std::vector<std::string> Keys(const TZELSVCRecordListPayload<R>* P) {
        std::vector<std::string> keys;
        for (int32_t i = 0; P != nullptr && i < P->Records->Count(); ++i) keys.emplace_back(P->Records->Get(i)->Key());
        return keys;
    }

    test::TLogCapture log;
    std::unique_ptr<TZELService> s;
};

// Each network gets its own entries at its place in the list; entries of a network that does not
// exist are dropped, and only a reread of the configured file asks for the file to be written
// again without them.
TEST_F(Reread, RecordListsGoToTheirNetworks) {
    const std::string now = std::to_string(GetUnixTime());
    const std::vector<std::pair<const char*, std::string>> files = {
        {"admins.dat", "B|" + ID + "|||||2|u5\nA|" + ID2 + "|||||2|u5\nA|" + ID + "|||||2|u5\nGone|" + ID + "|||||2|u5\n"},
        {"mutes.dat", "B|" + ID + "||||||1|u" + now + "\nA|" + ID2 + "||||||1|u" + now + "\nA|" + ID + "||||||1|u" +
                          now + "\nGone|" + ID + "||||||1|u" + now + "\n"},
    };
    for (bool configured : {true, false}) {
        SCOPED_TRACE(configured);
        Put(Path("admins.dat"), files[0].second);
        ASSERT_TRUE(configured ? s->RereadAdmins() : s->RereadAdminsFrom(WidenStrU(Path("admins.dat")), false));
        auto r = Posted();
        EXPECT_EQ(r->Command, Q::fsnq_InstallAdmins);
        ASSERT_EQ(r->Objects.size(), 2u);
        EXPECT_EQ(Keys(Part<TZELSVCAdminsPayload>(*r, 0)), (std::vector<std::string>{ID2, ID}));  // key order
        EXPECT_EQ(Keys(Part<TZELSVCAdminsPayload>(*r, 1)), (std::vector<std::string>{ID}));
        EXPECT_EQ(r->Value1, configured ? 1 : 0);
        EXPECT_TRUE(s->KeptLines(K::fsmq_SaveAdmins).empty());  // the networks are the whole file's

        Put(Path("mutes.dat"), files[1].second);
        const int64_t t = GetUnixTime();
        ASSERT_TRUE(configured ? s->RereadMuteBlocks(0, t)
                               : s->RereadMuteBlocksFrom(0, WidenStrU(Path("mutes.dat")), false, t));
        r = Posted();
        EXPECT_EQ(r->Command, Q::fsnq_InstallMutes);
        EXPECT_EQ(Keys(Part<TZELSVCMuteBlocksPayload>(*r, 0)).size(), 2u);
        EXPECT_EQ(Keys(Part<TZELSVCMuteBlocksPayload>(*r, 1)), (std::vector<std::string>{ID}));
        EXPECT_EQ(r->Value1, configured ? 1 : 0);
    }

    // Blocks and rights: a file of known networks only, in the current form, asks for no save; a
    // network without entries gets none (its list is emptied).
    Put(Path("blocks.dat"), "A|" + ID + "||||||1|u" + now + "\n");
    ASSERT_TRUE(s->RereadMuteBlocks(1, GetUnixTime()));
    auto r = Posted();
    EXPECT_EQ(r->Command, Q::fsnq_InstallBlocks);
    EXPECT_EQ(Keys(Part<TZELSVCMuteBlocksPayload>(*r, 0)), (std::vector<std::string>{ID}));
    EXPECT_EQ(r->Objects[1], nullptr);
    EXPECT_EQ(r->Value1, 0);

    Put(Path("rights.dat"), "B|1|" + StrToHexA("op@example.org") + "|||||2|u5\n");
    ASSERT_TRUE(s->RereadRights(GetUnixTime()));
    r = Posted();
    EXPECT_EQ(r->Command, Q::fsnq_InstallRights);
    EXPECT_EQ(r->Objects[0], nullptr);
    ASSERT_NE(Part<TZELSVCRightsPayload>(*r, 1), nullptr);
    EXPECT_EQ(Part<TZELSVCRightsPayload>(*r, 1)->Records->Count(), 1);
    EXPECT_EQ(r->Value1, 0);
    EXPECT_TRUE(log.Lines.empty());
}

// While the networks in service are no networks file's (here the stand-in set for a missing
// file), the lines of other networks are kept as read, named once per network, and every save of
// the list writes them back behind its own lines; a reread of another file leaves them.
TEST_F(Reread, LinesOfNetworksNotInServiceAreKeptForEverySave) {
    std::filesystem::remove(Path("networks.cfg"));
    s->ReadNetworks();
    ASSERT_EQ(s->Networks().Count(), 2);  // Test, Net01
    ASSERT_FALSE(s->NetworksFromFile());
    log.Lines.clear();
    const std::string a1 = "A|" + ID + "|||||2|u5", b = "B|" + ID + "|||||2|u5", a2 = "A|" + ID2 + "|||||2|u5";
    Put(Path("admins.dat"), a1 + "\nNet01|" + ID + "|||||2|u5\n  " + b + "\r\n" + a2 + "\n");
    ASSERT_TRUE(s->RereadAdmins());
    auto r = Posted();
    EXPECT_EQ(r->Objects[0], nullptr);
    EXPECT_EQ(Keys(Part<TZELSVCAdminsPayload>(*r, 1)), (std::vector<std::string>{ID}));
    EXPECT_EQ(r->Value1, 0);  // nothing was dropped
    const TZELSVCWriteArray kept = {a1 + "\r\n", b + "\r\n", a2 + "\r\n"};
    EXPECT_EQ(s->KeptLines(K::fsmq_SaveAdmins), kept);
    // The warning says how the entries come back.
    const UnicodeString back = u"; they are the network's again only after a restart with the networks file mended";
    const std::vector<UnicodeString> warnings = {
        u"WARNING: Reread of admins: " + WidenStrU(Path("admins.dat")) +
            u": network \"A\" is not in service: its entries are kept, not dropped" + back,
        u"WARNING: Reread of admins: " + WidenStrU(Path("admins.dat")) +
            u": network \"B\" is not in service: its entries are kept, not dropped" + back,
    };
    EXPECT_EQ(log.Lines, warnings);

    TZELSVCWriteArray written;
    s->DataFileWriter = [&](const UnicodeString&, const UnicodeString&, const TZELSVCWriteArray& Lines) {
        written = Lines;
        return true;
    };
    for (int i = 0; i < 2; ++i) {
        written.clear();
        s->PostMainSave(K::fsmq_SaveAdmins, {"Net01|x\r\n"});
        s->ProcessMainQueue();
        TZELSVCWriteArray want = {"Net01|x\r\n"};
        want.insert(want.end(), kept.begin(), kept.end());
        EXPECT_EQ(written, want);
    }
    Put(Path("other.dat"), "Net01|" + ID + "|||||2|u5\n");
    ASSERT_TRUE(s->RereadAdminsFrom(WidenStrU(Path("other.dat")), false));
    Posted();
    EXPECT_EQ(s->KeptLines(K::fsmq_SaveAdmins), kept);
    EXPECT_TRUE(s->KeptLines(K::fsmq_SaveMutes).empty());
}

// Modes: of two lines for one network the one nearer the start counts; notices: the last line
// (the reader's newest) counts. A second line for a network asks for a save.
TEST_F(Reread, RepeatedNetworksKeepOneLine) {
    Put(Path("modes.dat"), "A|1|0\nB|0|1\nA|1|1\n");
    ASSERT_TRUE(s->RereadModes());
    auto r = Posted();
    EXPECT_EQ(r->Command, Q::fsnq_InstallModes);
    EXPECT_EQ(Part<TZELSVCModesPayload>(*r, 0)->Modes, 256);
    EXPECT_EQ(Part<TZELSVCModesPayload>(*r, 1)->Modes, 1);
    EXPECT_EQ(r->Value1, 1);

    Put(Path("notices.dat"), "B|41|\nA||42\nB|43|\n");
    ASSERT_TRUE(s->RereadNotices());
    r = Posted();
    EXPECT_EQ(r->Command, Q::fsnq_InstallNotices);
    EXPECT_EQ(Part<TZELSVCNoticesPayload>(*r, 0)->Notice.Notice2, "B");
    EXPECT_EQ(Part<TZELSVCNoticesPayload>(*r, 1)->Notice.Notice1, "C");
    EXPECT_EQ(r->Value1, 1);

    // The same files given by name: no save asked.
    ASSERT_TRUE(s->RereadModesFrom(WidenStrU(Path("modes.dat")), false));
    EXPECT_EQ(Posted()->Value1, 0);
}

// A dropped line is reported with the file and its line, and the file is written again.
TEST_F(Reread, DroppedLineIsReportedAndAsksForASave) {
    Put(Path("admins.dat"), "A|" + ID + "|||||2|u5\nA|short|||||2|u5\n");
    ASSERT_TRUE(s->RereadAdmins());
    const auto r = Posted();
    EXPECT_EQ(Keys(Part<TZELSVCAdminsPayload>(*r, 0)), (std::vector<std::string>{ID}));
    EXPECT_EQ(r->Value1, 1);
    ASSERT_EQ(log.Lines.size(), 1u);
    EXPECT_EQ(test::Narrow(log.Lines[0]).rfind("WARNING: Reread of admins: " + Path("admins.dat") + ": line 2", 0), 0u)
        << test::Narrow(log.Lines[0]);
}

// A configured file that cannot be read changes nothing: no install, the error logged, the list's
// save stays blocked; once it reads again the block is lifted and the entries go out. A missing
// file is no read failure of an existing file: its list may be saved.
TEST_F(Reread, UnreadableListKeepsItsListAndItsSaveBlock) {
    std::filesystem::create_directory(Path("mutes.dat"));
    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(s->RereadMuteBlocks(0, GetUnixTime()));
        EXPECT_EQ(s->ServQueue().Count(), 0);
        EXPECT_FALSE(ListSaveAllowed(s->ListLoad(K::fsmq_SaveMutes)));
    }
    EXPECT_TRUE(log.HasPrefix(u"ERROR: Reread mutes: " + WidenStrU(Path("mutes.dat")) + u": "));

    // Another file by name leaves the configured file's state alone.
    Put(Path("other.dat"), "A|" + ID + "||||||1|u" + std::to_string(GetUnixTime()) + "\n");
    ASSERT_TRUE(s->RereadMuteBlocksFrom(0, WidenStrU(Path("other.dat")), false, GetUnixTime()));
    Posted();
    EXPECT_FALSE(ListSaveAllowed(s->ListLoad(K::fsmq_SaveMutes)));

    std::filesystem::remove(Path("mutes.dat"));
    std::filesystem::rename(Path("other.dat"), Path("mutes.dat"));
    ASSERT_TRUE(s->RereadMuteBlocks(0, GetUnixTime()));
    EXPECT_EQ(Keys(Part<TZELSVCMuteBlocksPayload>(*Posted(), 0)), (std::vector<std::string>{ID}));
    EXPECT_TRUE(ListSaveAllowed(s->ListLoad(K::fsmq_SaveMutes)));

    EXPECT_FALSE(s->RereadNotices());  // notices.dat does not exist
    EXPECT_EQ(s->ServQueue().Count(), 0);
    EXPECT_EQ(s->ListLoad(K::fsmq_SaveNotices).State, TZELListLoadState::lls_Missing);
    EXPECT_TRUE(ListSaveAllowed(s->ListLoad(K::fsmq_SaveNotices)));
}

}  // namespace
}  // namespace zel
