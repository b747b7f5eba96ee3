// Command-port request lines (service/dmq_zel_cmd_proto): the line preparation and the request
// parser. A request that parses is printed again by the console's line makers and must parse to
// the same request; a refused line leaves the request untouched.
#include <cstddef>
#include <cstdint>

#include "service/dmq_zel_cmd_proto.hpp"
#include "tests/fuzz/fuzz_check.hpp"

using namespace zel;

namespace {

using C = TZELCmdRequestCode;

bool SameValue(const TZELCmdValue& A, const TZELCmdValue& B) { return A.Bytes == B.Bytes && A.Text == B.Text; }

bool SameRequest(const TZELCmdRequest& A, const TZELCmdRequest& B) {
    return A.Code == B.Code && SameValue(A.Network, B.Network) && SameValue(A.Target, B.Target) &&
           SameValue(A.Client, B.Client) && SameValue(A.Text, B.Text) && SameValue(A.Address, B.Address) &&
           A.Seconds == B.Seconds && A.Index == B.Index && A.LogLevel == B.LogLevel && A.Port == B.Port &&
           A.ManagerMode == B.ManagerMode && A.Flag == B.Flag;
}

// The console's line for a request; empty for the codes without a maker.
AnsiString Remake(const TZELCmdRequest& R) {
    const bool on = R.Flag == ZELCmdFlagOn;
    const auto secs = static_cast<uint32_t>(R.Seconds);
    switch (R.Code) {
        case C::fcrq_SetManagerPasswordByIndex: return MakeCmdSetManagerPasswordByIndex(R.Index, R.Text.Bytes);
        case C::fcrq_SetManagerPasswordByAddress:
            return MakeCmdSetManagerPasswordByAddress(R.Address.Bytes, R.Text.Bytes);
        case C::fcrq_RereadAdmins: case C::fcrq_RereadMutes: case C::fcrq_RereadBlocks:
        case C::fcrq_RereadRights: case C::fcrq_RereadModes: case C::fcrq_RereadNotices:
            return MakeCmdReread(static_cast<TZELCmdRereadList>(static_cast<char>(R.Code) - '3'), R.Text.Bytes);
        case C::fcrq_List: return R.Network.Given() ? MakeCmdListNetwork(R.Network.Bytes) : AnsiString(ZELCmdLineListAll);
        case C::fcrq_Mute: return MakeCmdMute(R.Network.Bytes, secs, R.Client.Bytes, on);
        case C::fcrq_Block: return MakeCmdBlock(R.Network.Bytes, secs, R.Client.Bytes, on);
        case C::fcrq_Admin: return MakeCmdAdmin(R.Network.Bytes, R.Client.Bytes, on);
        case C::fcrq_Right: return MakeCmdRight(R.Network.Bytes, R.Text.Bytes, on);
        case C::fcrq_RightMark: return MakeCmdRightMark(R.Network.Bytes, R.Text.Bytes, on);
        case C::fcrq_NoticeSet: return MakeCmdNoticeSet(R.Network.Bytes, R.Text.Bytes);
        case C::fcrq_NoticeClear: return MakeCmdNoticeClear(R.Network.Bytes);
        case C::fcrq_ConnMode: return MakeCmdConnMode(R.Network.Bytes, R.Flag);
        case C::fcrq_TalkMode: return MakeCmdTalkMode(R.Network.Bytes, R.Flag);
        case C::fcrq_ServerManagerMode: return MakeCmdServerManagerMode(R.ManagerMode);
        case C::fcrq_NetManagerMode: return MakeCmdNetManagerMode(R.Network.Bytes, R.ManagerMode);
        case C::fcrq_MoveClient: return MakeCmdMoveClient(R.Client.Bytes, R.Network.Bytes, R.Target.Bytes, secs);
        case C::fcrq_Disconnect: return MakeCmdDisconnect(R.Network.Bytes, R.Client.Bytes);
        case C::fcrq_LogText: return MakeCmdLogText(R.Text.Bytes);
        case C::fcrq_DisconnectManagerByIndex: return MakeCmdDisconnectManagerByIndex(R.Index);
        case C::fcrq_DisconnectManagerByAddress: return MakeCmdDisconnectManagerByAddress(R.Address.Bytes, R.Port);
        case C::fcrq_LogLevel: return MakeCmdSetLogLevel(R.LogLevel);
        case C::fcrq_RereadAll: return AnsiString(ZELCmdLineRereadAll);
        case C::fcrq_Stop: return AnsiString(ZELCmdLineStop);
        case C::fcrq_ReopenLog: return AnsiString(ZELCmdLineReopenLog);
        case C::fcrq_Threads: return AnsiString(ZELCmdLineThreads);
        case C::fcrq_FlushData: return AnsiString(ZELCmdLineFlushData);
        case C::fcrq_Uptime: return AnsiString(ZELCmdLineUptime);
        case C::fcrq_Pid: return AnsiString(ZELCmdLinePid);
        default: return AnsiString();
    }
}

TZELCmdRequest Sentinel() {
    TZELCmdRequest r;
    r.Code = C::fcrq_LogLevel;
    r.Network.Bytes = "sentinel";
    r.Network.Text = u"sentinel";
    r.Seconds = 77;
    r.Flag = 'x';
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const AnsiView raw(reinterpret_cast<const char*>(Data), Size);
    AnsiView line;
    const TZELCmdLineKind kind = PrepareCmdRequestLine(raw, line);
    if (kind != TZELCmdLineKind::fclk_Request) return 0;
    FUZZ_CHECK(line.data() >= raw.data() && line.data() + line.size() <= raw.data() + raw.size());
    FUZZ_CHECK(!line.empty() && static_cast<uint8_t>(line.front()) > 32 && static_cast<uint8_t>(line.back()) > 32);

    TZELCmdRequest r = Sentinel();
    if (!ParseCmdRequest(line, r)) {
        FUZZ_CHECK(SameRequest(r, Sentinel()));
        return 0;
    }
    FUZZ_CHECK(r.Seconds >= 0 && r.Index >= 0 && r.Index <= 2 && r.LogLevel >= 0 && r.LogLevel <= 6);
    const AnsiString again = Remake(r);
    if (again.empty()) return 0;
    AnsiView line2;
    FUZZ_CHECK(PrepareCmdRequestLine(again, line2) == TZELCmdLineKind::fclk_Request);
    TZELCmdRequest r2;
    FUZZ_CHECK(ParseCmdRequest(line2, r2));
    FUZZ_CHECK(SameRequest(r, r2));
    return 0;
}
