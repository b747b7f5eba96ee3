#pragma once
// The login answers a client receives: the accepted answer (its version line and the tagged line:
// message text, server version, answer word, backup address, granted extensions, id, network,
// manager mode, running time and version), the refusals (ERROR, WRONG, BLOCK, DUPL) with the
// disconnect cause each stands for, and the state answer after a change of privilege or network.
// Built from the client's login record and the service's addresses; the service may be absent
// (no addresses, running time 0, DUPL answered as DUPL).
#include <cstdint>

#include "clients/dmq_zel_svc_connect_line.hpp"
#include "foundation/dmq_strbld_a.hpp"
#include "foundation/dmq_types.hpp"

namespace zel {

class TZELService;

// The answer word of the accepted login by Privilege ("OK", "ADMIN", "OWNER", "NETOWNER").
// Raises "Undetected client mode" for an unknown privilege.
AnsiView LoginAnswerWord(const TZELClientLoginData& Client);

// Into a cleared builder: the client's version line and the tagged answer line. A refusal
// (Accepted false) first clears every granted extension flag but UTF8.
void BuildLoginAnswerLines(TStringBldA& Builder, TZELClientLoginData& Client, bool Accepted, AnsiView AL,
                           const TZELService* Service);

// The refusal with reason 2 to 5 (5 is answered BLOCK under DisableDUPL); any other reason
// raises "Unknown login error".
void BuildLoginRefusal(TStringBldA& Builder, TZELClientLoginData& Client, uint8_t Reason,
                       const TZELService* Service);

// The disconnect cause of a refused HandshakeResult 2 to 5 (DUPL is a block under DisableDUPL).
// Result 1 raises "TCP_client_error: there is no any error", anything else "Unknown login error".
TZELSVCDisconnectCause LoginRefusalCause(uint8_t HandshakeResult, const TZELService* Service);

// The answer after a change of privilege or network: the byte 0x90 and one line. False (and an
// empty builder) without a network.
bool BuildLoginStateAnswer(TStringBldA& Builder, const TZELClientLoginData& Client, const TZELService* Service);

}  // namespace zel
