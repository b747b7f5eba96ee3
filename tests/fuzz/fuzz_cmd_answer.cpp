// The answers the console reads from the daemon's command port (service/dmq_zel_cmd_proto and
// console/dmq_zel_command_common): the one-line and count lines, the list answer with its network,
// member and client lines, and the printers the console shows them with. Network and member lines
// that read are written again and must read back equal; a refused client status changes nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "console/dmq_zel_cmd_words.hpp"
#include "console/dmq_zel_command_common.hpp"
#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "service/dmq_zel_cmd_proto.hpp"
#include "service/dmq_zel_utils.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

namespace {

bool SameMember(const TZELCmdMemberLine& A, const TZELCmdMemberLine& B) {
    return A.Privilege == B.Privilege && A.Address == B.Address && A.EMail == B.EMail &&
           A.ManagerIds[0] == B.ManagerIds[0] && A.ManagerIds[1] == B.ManagerIds[1] &&
           A.ManagerIds[2] == B.ManagerIds[2] && A.ExtensionFlags == B.ExtensionFlags;
}

std::vector<AnsiString> SplitLines(AnsiView In) {
    std::vector<AnsiString> lines;
    while (!In.empty() && lines.size() < 256) {
        const size_t lf = In.find('\n');
        const size_t n = lf == AnsiView::npos ? In.size() : lf + 1;
        lines.emplace_back(In.substr(0, n));
        In.remove_prefix(n);
    }
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const uint8_t sel = Data[0];
    const std::vector<AnsiString> lines =
        SplitLines(AnsiView(reinterpret_cast<const char*>(Data) + 1, Size - 1));
    if (lines.empty()) return 0;

    (void)ReadCmdSimpleAnswer(lines[0]);
    int32_t count = -7;
    if (ReadCmdCountLine(lines[0], count) == TZELChannelCommandAnswer::fsca_OK)
        FUZZ_CHECK(count >= 0);
    else
        FUZZ_CHECK(count == -7);

    const std::span<const AnsiString> body(lines.data() + 1, lines.size() - 1);
    std::vector<TZELCmdListNetwork> nets;
    (void)ReadCmdListAnswer(body, nets);
    TStringBldA b;
    StrBldAInit(b, 256);
    for (const TZELCmdListNetwork& n : nets) {
        FUZZ_CHECK(n.ClientLines.size() == n.Members.size());
        StrBldAReset(b);
        AddCmdNetworkLine(b, n.Network.Name, n.Network.CharsetName, n.Network.ParrotId);
        TZELCmdNetworkLine nl;
        FUZZ_CHECK(ReadCmdNetworkLine(StrBldAView(b), nl));
        FUZZ_CHECK(nl.Name == n.Network.Name && nl.CharsetName == n.Network.CharsetName &&
                   nl.ParrotId == n.Network.ParrotId);
        for (const TZELCmdMemberLine& m : n.Members) {
            StrBldAReset(b);
            AddCmdMemberLine(b, m);
            TZELCmdMemberLine back;
            FUZZ_CHECK(ReadCmdMemberLine(StrBldAView(b), back));
            FUZZ_CHECK(SameMember(m, back));
        }
        for (const AnsiString& c : n.ClientLines) {
            TZELClientRec rec;
            try {
                DecodeClientLine(c, rec, nullptr);
            } catch (const EZELClientLineError&) {
            }
            TZELClientRec st;
            st.Callsign = u"unchanged";
            st.VisibleStatus = 9;
            if (!DecodeClientStatus(AnsiView(c).substr(0, 2), st))
                FUZZ_CHECK(st.VisibleStatus == 9 && st.Callsign == u"unchanged");
        }
    }

    // What the console prints of it, into the null device.
    TTextFile out;
    if (TryRewriteTextName(out, "/dev/null") != 0) return 0;
    TConsoleListFlags flags;
    flags.ShowIds = sel & 1;
    flags.ShowIPs = sel & 2;
    flags.ShowEMails = sel & 4;
    flags.ShowProtoFlags = sel & 8;
    flags.Flat = sel & 16;
    flags.ShowEmptyNetworks = sel & 32;
    flags.ShowManagerIds = sel & 64;
    (void)PrintClientList(out, body, flags, (sel & 128) ? u'|' : u'\t', nullptr);
    (void)PrintAnswerLines(out, body, nullptr);
    (void)PrintThreadsAnswer(out, body, nullptr);
    (void)TryCloseText(out);
    return 0;
}
