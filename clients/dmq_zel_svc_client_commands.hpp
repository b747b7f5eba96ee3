#pragma once
// The operating half's client commands: what a line of a logged-in client asks for (any line but
// keep-alives, blocks and floor lines), read into the record the network runs. The administrators'
// commands by client id (MC, UM, BC, UC, AA, DA), the owners' commands (ENA, TXR, AT, DT, ETX, RTX,
// AI, AIU), text messages (TM, TME) and an owner's move (MVU). The parser decides by the sender's
// privilege, role and granted extensions alone; a refused line reports its cause and the text the
// disconnect line shows, which the client context stores.
#include <cstdint>

#include "foundation/dmq_types.hpp"
#include "service/dmq_zel_svc_globals.hpp"
#include "service/dmq_zel_svc_queue.hpp"
#include "service/dmq_zel_types.hpp"

namespace zel {

// A client command line as the network is to run it: the record's code, texts and value (Kind
// clk_Move: the service's move request, Text1 the target id, Text2 the network's UTF-8 name).
struct TZELClientLine {
    enum TKind : uint8_t { clk_Record, clk_Move };
    TKind Kind = clk_Record;
    TZELSVCNetQueueCommand Code = TZELSVCNetQueueCommand::fsnq_InstallAdmins;
    AnsiString Text1, Text2, Text3;
    int32_t Value = 0;
};

// Who sent the line, as far as the commands depend on it.
struct TZELClientCommandSender {
    TZELClientPrivilege Privilege = TZELClientPrivilege::clpr_USER;
    uint32_t Extensions = 0;  // the granted extension flags (SEF)
    bool NetOwner = false;    // the role bits say owner
    AnsiString Id;            // the sender's client id, for its text packets
    UnicodeString Charset;    // of its 8-bit texts, its network's; empty: UTF-8
};

// Why a line was refused: the disconnect cause (0: none) and, when HasText, the text the
// disconnect line shows as WRONG_CMD (a line refused without one keeps the caller's last text).
struct TZELClientCommandRefusal {
    TZELSVCDisconnectCause Cause = TZELSVCDisconnectCause::fsdc_DisconnectWithoutAuth;
    bool HasText = false;
    UnicodeString Text;
};

// What Line asks for; false for a refused line, with Refusal set.
bool ParseClientCommandLine(AnsiView Line, const TZELClientCommandSender& Sender, TZELClientLine& Out,
                            TZELClientCommandRefusal& Refusal);

// A text packet as the network relays it: the type byte (ZELPacketText, or ZELPacketTextUtf8 for
// the UTF-8 form), "3", the sender's id, the text, "P" (private) or "A" (to all), each line ended
// by CR LF.
AnsiString BuildTextPacket(char Type, AnsiView Id, AnsiView Text, bool Private);

// Bytes a client sent, for a log line: converted from the server's character set (UTF-8 when none
// is named), then every control character escaped (EscapeLogTextU).
UnicodeString ClientBytesLogText(UnicodeView ServerCharset, AnsiView Bytes);

}  // namespace zel
