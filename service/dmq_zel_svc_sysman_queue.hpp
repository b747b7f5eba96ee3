#pragma once
// Requests to a System Manager link: one TZELSysManQueueData per request, created by the posting
// thread and owned by the link once pushed. The request queue is locked (any thread pushes, the
// link thread pops); the pending list belongs to the link thread alone and holds the
// authentication requests sent and not yet answered, oldest first. A record left in either
// queue is freed with it.
#include <array>
#include <cstdint>
#include <memory>

#include "foundation/dmq_fifo_ts.hpp"
#include "foundation/dmq_fifo_tus.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TZELSVCNetworkBase;
class TZELSVCWrkCtxBase;

enum class TZELSysManRequestKind : uint8_t {
    fsmr_AuthClient,
    fsmr_ClientLogout,
    fsmr_Connect,
    fsmr_Stop,
    fsmr_Disconnect,
    fsmr_NewPassword
};

// The arguments of ManagerSuccessAuthScript that come from the client, in this order (the script
// then gets the client's address, the manager's answer line, the manager index, ManagerAddress
// and ManagerPort). UTF-8 forms when the client sent a UTF-8 part, else its 8-bit forms.
enum TZELSysManScriptText : uint8_t {
    smst_EMail,
    smst_Callsign,
    smst_Band,
    smst_City,
    smst_Country,
    smst_Description,
    smst_Id,
    smst_Network,
    smst_Count
};
using TZELSysManScriptTexts = std::array<UnicodeString, smst_Count>;

struct TZELSysManQueueData {
    // fsmr_AuthClient: the client's session number (its context's Number() when asked), handed
    // back as the answer's OwnerId.
    uint32_t ClientId = 0;
    AnsiString Text1;  // auth: the client's "CC:" request text, without a line end
    AnsiString Text2;  // auth: the client's UTF-8 part ("<U8TF>...</U8TF>"), may be empty
    AnsiString Text3;  // auth: the client's address
    AnsiString Text4;  // auth and logout: the client's id
    AnsiString NetName;      // logout: the network's name in the server's character set
    AnsiString NetNameUtf8;  // auth and logout: the network's name in UTF-8
    UnicodeString Password;  // fsmr_NewPassword
    TZELSysManScriptTexts Script;  // auth, only when ManagerSuccessAuthScript is set
    // The requester of an authentication: the network the verdict goes to. Handed back with the
    // answer, never dereferenced by the link.
    TZELSVCNetworkBase* Network = nullptr;
    // The client of an authentication, or the requesting command-port context of a disconnect;
    // handed back as the answer's Owner, never dereferenced by the link.
    TZELSVCWrkCtxBase* Context = nullptr;
    // Auth: the requester's own tag, handed back. Disconnect: the command-port request id.
    int32_t Value = 0;
    bool WantAnswer = false;  // fsmr_Disconnect
    // Auth: the link's tick when the request line was written (link thread).
    uint32_t SentTick = 0;
    TZELSysManRequestKind Kind = TZELSysManRequestKind::fsmr_AuthClient;
};

// A request of Kind with every other field empty.
std::unique_ptr<TZELSysManQueueData> NewSysManRequest(TZELSysManRequestKind Kind);

class TZELSysManQueue : public TFifoThreadSafe<TZELSysManQueueData> {
public:
    static constexpr int32_t kBlockSize = 128;
    TZELSysManQueue() : TFifoThreadSafe(kBlockSize) {}
};

class TZELSysManReqQueue : public TFifoThreadUnSafe<TZELSysManQueueData> {
public:
    static constexpr int32_t kBlockSize = 128;
    TZELSysManReqQueue() : TFifoThreadUnSafe(kBlockSize) {}
};

}  // namespace zel
