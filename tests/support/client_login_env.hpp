#pragma once
// The login tests' surroundings: a service with three networks whose answers the tests set, a
// UTF-8 server charset and the present address "h" port "p", socketless clients on it, connect
// lines built from tag lists, UTF-8 parts, and the golden answers' normal form.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "clients/dmq_zel_svc_context.hpp"
#include "foundation/dmq_hex.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_networks_list.hpp"
#include "service/dmq_zel_svc_server_id.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/support/socketless_client.hpp"
#include "tests/support/stand_in_network.hpp"

namespace zel::test {

using DC = TZELSVCDisconnectCause;
using Mode = TZELSystemManagerMode;

// A network whose answers the tests set.
class TNet : public StandInNetwork {
public:
    TNet(UnicodeView Name, AnsiString ClientName) : ClientName(std::move(ClientName)) { Name_ = UnicodeString(Name); }
    AnsiString ClientNameA() const override { return ClientName; }
    AnsiString MessageText() const override { return Mt; }
    AnsiString MessageTextUtf8() const override { return Mtu; }
    Mode EffectiveManagerMode() const override { return ManagerMode; }
    uint32_t ActiveManagersMask() const override { return Mask; }
    int32_t SpeechLimitSeconds() const override { return SpeechLimit; }
    // The charset of its clients' 8-bit texts (the networks file's CharsetName).
    void SetCharsetName(UnicodeView Name) { Options_.CharsetName = UnicodeString(Name); }

    AnsiString ClientName;
    AnsiString Mt, Mtu;
    Mode ManagerMode = Mode::smm_Standalone;
    uint32_t Mask = 0;
    int32_t SpeechLimit = 0;
};

using TCtx = SocketlessClient;

struct TEnvOptions {
    UnicodeString DefaultCountry{};
    bool DefaultNetwork = false;
    bool DisableDUPL = false;
    int32_t LogLevel = 6;
};

// A service with three networks ("Test", "Net01" and "Zürich", whose clients see its name in
// Latin-1), a UTF-8 server charset and the present address "h" port "p".
struct TEnv {
    explicit TEnv(const TEnvOptions& O = {}) : S(u"/etc/server.ini", Config(O)), List(nullptr, 0) {
        List.SetServerCharsetName(u"UTF-8");
        auto add = [&](UnicodeView Name, AnsiString ClientName) {
            auto n = std::make_unique<TNet>(Name, std::move(ClientName));
            TNet* p = n.get();
            List.Add(std::move(n));
            return p;
        };
        Test = add(u"Test", "Test");
        Net01 = add(u"Net01", "Net01");
        Zurich = add(u"Z\u00fcrich", "Z\xfcrich");
        S.SetLoginNetworks(&List, O.DefaultNetwork ? Net01 : nullptr);
        S.PresentServerAddress = u"h";
        S.PresentServerPort = u"p";
        S.DisableDUPL = O.DisableDUPL;
        S.LogClientLevel = O.LogLevel;
    }
    static TZELServiceConfig Config(const TEnvOptions& O) {
        TZELServiceConfig c;
        c.ServerCharsetName = u"UTF-8";
        c.DefaultCountry = O.DefaultCountry;
        return c;
    }
    std::unique_ptr<TCtx> NewClient() { return CreateWrkCtx<TCtx>(&S, -1, "10.0.0.1", 7, 0); }
    // The error lines logged since the last call, without "ERROR: Context: <name>: ".
    std::vector<UnicodeString> Errors() {
        std::vector<UnicodeString> v;
        UnicodeString line;
        const UnicodeString prefix = u"ERROR: Context: 10.0.0.17: ";
        while (S.PopLogLine(line))
            if (line.compare(0, prefix.size(), prefix) == 0) v.push_back(line.substr(prefix.size()));
        return v;
    }
    // The answer of a login-refused record, when one was posted.
    AnsiString Refusal() {
        std::unique_ptr<TZELSVCNetQueueRecord> r;
        AnsiString text;
        while (S.ServQueue().Pop(r))
            if (r->Command == TZELSVCNetQueueCommand::fsnq_LoginRefused) text = r->Text1;
        return text;
    }

    TZELService S;
    TZELNetworksList List;
    TNet* Test;
    TNet* Net01;
    TNet* Zurich;
};

inline std::string Narrow(UnicodeView S) { return NarrowStrA(S); }

using TTags = std::vector<std::pair<std::string, std::string>>;

inline TTags BaseTags() {
    return {{"VX", "2014004"}, {"EA", "a@b.c"},  {"PW", "pw"},   {"ON", "CALL"},
            {"BC", "PC Only"}, {"CT", "Town"},   {"NN", "Land"}, {"NT", "Test"}};
}

inline std::string Join(const TTags& Tags, const std::string& Sep = "") {
    std::string s;
    for (const auto& [t, v] : Tags) {
        if (!s.empty()) s += Sep;
        s += "<" + t + ">" + v + "</" + t + ">";
    }
    return s;
}

inline TTags With(TTags Tags, const std::string& Tag, const std::string& Value) {
    for (auto& [t, v] : Tags)
        if (t == Tag) {
            v = Value;
            return Tags;
        }
    Tags.emplace_back(Tag, Value);
    return Tags;
}

inline TTags Without(TTags Tags, const std::string& Tag) {
    std::erase_if(Tags, [&](const auto& p) { return p.first == Tag; });
    return Tags;
}

// A UTF-8 part: the type digit, then each item as key, length, bytes.
inline std::string U8(char Type, const std::vector<std::pair<char, std::string>>& Items) {
    std::string s(1, Type);
    for (const auto& [k, v] : Items) s += k + EncodeTlvLength(static_cast<int32_t>(v.size())) + v;
    return s;
}

inline std::vector<std::pair<char, std::string>> U8Items() {
    return {{'0', "a@b.c"}, {'1', "pw"}, {'2', "CALL"}, {'3', "PC Only"}, {'6', "Town"}};
}

// The running time is whatever it is; the version text is the build's.
inline std::string Normalized(std::string A) {
    const size_t b = A.find("<UT>");
    const size_t e = A.find("</UT>");
    if (b != std::string::npos && e != std::string::npos && e > b) A.replace(b + 4, e - b - 4, "12");
    return A;
}

inline std::string Expand(std::string T) {
    const std::string tvr(ZELVersionText());
    for (size_t p; (p = T.find("@TVR@")) != std::string::npos;) T.replace(p, 5, tvr);
    for (size_t p; (p = T.find("@ID@")) != std::string::npos;) T.replace(p, 4, CalcSourceId("a@b.c"));
    return T;
}

inline const char kOk[] =
    "2014004\r\n<MT></MT><SV>2014004</SV><AL>OK</AL><BN></BN><BP></BP><ID>@ID@</ID><NT>Test</NT><EM>S</EM>"
    "<UT>12</UT><TVR>@TVR@</TVR>\r\n";

inline std::string Refused(const char* Version, const char* Word, bool FallBack) {
    return std::string(Version) + "\r\n<MT></MT><SV>2014004</SV><AL>" + Word + "</AL>" +
           (FallBack ? "<BN>h</BN><BP>p</BP>" : "<BN></BN><BP></BP>") + "<UT>12</UT><TVR>@TVR@</TVR>\r\n";
}

}  // namespace zel::test
