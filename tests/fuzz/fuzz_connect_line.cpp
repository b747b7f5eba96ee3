// A client's connect line and its UTF-8 part (clients/dmq_zel_svc_context), parsed against a fixed
// service of three networks ("Test", "Net01" and "Zürich", a UTF-8 server charset). The first byte
// picks the service settings; the rest is the line after "CT:". The result must be one of the
// login results with a cause of its kind, every text within its cap, an accepted client in one of
// the networks, and the answer to the result must build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "clients/dmq_zel_svc_context.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_svc_setup_t.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/support/socketless_client.hpp"
#include "tests/support/stand_in_network.hpp"

using namespace zel;

namespace {

using DC = TZELSVCDisconnectCause;

class TNet : public test::StandInNetwork {
public:
    TNet(UnicodeView Name, AnsiString ClientName) : ClientName_(std::move(ClientName)) { Name_ = UnicodeString(Name); }
    AnsiString ClientNameA() const override { return ClientName_; }

private:
    AnsiString ClientName_;
};

using TCtx = test::SocketlessClient;

struct TEnv {
    TEnv() : S(u"/etc/server.ini", Config()), List(nullptr, 0) {
        List.SetServerCharsetName(u"UTF-8");
        Test = Add(u"Test", "Test");
        Net01 = Add(u"Net01", "Net01");
        Zurich = Add(u"Z\u00fcrich", "Z\xfcrich");
        S.PresentServerAddress = u"h";
        S.PresentServerPort = u"p";
    }
    static TZELServiceConfig Config() {
        TZELServiceConfig c;
        c.ServerCharsetName = u"UTF-8";
        return c;
    }
    TNet* Add(UnicodeView Name, AnsiString ClientName) {
        auto n = std::make_unique<TNet>(Name, std::move(ClientName));
        TNet* p = n.get();
        List.Add(std::move(n));
        return p;
    }
    // What the parse left behind: log lines and posted records.
    void Drain() {
        UnicodeString line;
        while (S.PopLogLine(line)) {
        }
        std::unique_ptr<TZELSVCNetQueueRecord> r;
        while (S.ServQueue().Pop(r)) {
        }
    }

    TZELService S;
    TZELNetworksList List;
    TNet* Test;
    TNet* Net01;
    TNet* Zurich;
};

bool ParseCause(DC C) {
    return C == DC::fsdc_InvalidConnectString || C == DC::fsdc_InvalidCharacter || C == DC::fsdc_WrongUnicodePart ||
           C == DC::fsdc_ExtProtoViolation;
}

bool RefusalCause(DC C) {
    return C == DC::fsdc_ServerError || C == DC::fsdc_ServerWrongPasssword || C == DC::fsdc_ServerBlock ||
           C == DC::fsdc_ServerDuplicate;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static TEnv* env = new TEnv();
    if (Size < 1) return 0;
    const uint8_t sel = Data[0];
    env->S.SetLoginNetworks(&env->List, (sel & 1) ? env->Net01 : nullptr);
    env->S.DisableDUPL = (sel & 2) != 0;
    env->S.LogClientLevel = (sel >> 2) % 7;
    const AnsiView line(reinterpret_cast<const char*>(Data) + 1, Size - 1);

    auto c = CreateWrkCtx<TCtx>(&env->S, -1, "10.0.0.1", 7, 0);
    c->ParseConnectString(line);
    FUZZ_CHECK(c->ConnectText.size() == line.size() + 3);
    const uint8_t result = c->HandshakeResult;
    FUZZ_CHECK(result <= ZELLoginDupl);
    FUZZ_CHECK(c->Password.size() <= 100 && c->Callsign.size() <= 50 && c->Band.size() <= 36 &&
               c->City.size() <= 64 && c->Description.size() <= 70 && c->Country.size() <= 36 &&
               c->Network.size() <= 32);
    for (const AnsiString* u8 : {&c->EMailUtf8, &c->PasswordUtf8, &c->CallsignUtf8, &c->BandUtf8, &c->CityUtf8,
                                 &c->DescriptionUtf8, &c->CountryUtf8, &c->NetworkUtf8})
        FUZZ_CHECK(IsValidUtf8A(*u8));
    if (result == ZELLoginInvalid) {
        FUZZ_CHECK(ParseCause(c->Cause()));
    } else if (result == ZELLoginAccepted) {
        FUZZ_CHECK(c->Net == env->Test || c->Net == env->Net01 || c->Net == env->Zurich);
        FUZZ_CHECK(c->Id.size() == static_cast<size_t>(24));
        c->SendAcceptedLogin();
        FUZZ_CHECK(!c->LoginAnswer.empty());
        c->BuildListEntries();
        // An admitted client's texts never open or close an element of their own: its classic
        // entry holds exactly its nine elements, one line, and the entry UTF-8 members get is UTF-8.
        const AnsiString& e = c->ClassicEntry;
        FUZZ_CHECK(std::count(e.begin(), e.end(), '<') == 18 && std::count(e.begin(), e.end(), '>') == 18);
        FUZZ_CHECK(e.find('\n') == e.size() - 1);
        FUZZ_CHECK(IsValidUtf8A(c->CompactEntryUtf8));
    } else {
        c->RefuseHandshake();
        FUZZ_CHECK(RefusalCause(c->Cause()));
    }
    c.reset();
    env->Drain();
    return 0;
}
