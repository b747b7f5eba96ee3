#pragma once
// The framing of the server's packet stream after the login answer, by the type byte: fixed sizes,
// one line, a count line and that many lines, and the member-list forms. Shared by the in-process
// client tests (client_packets.hpp) and the system tests' client (zel_client.hpp).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "clients/dmq_zel_svc_packets.hpp"

namespace zel::test {

// The end of the packet that starts at At in S: npos while it is incomplete; Unknown is set (and
// npos returned) for a type byte the server never sends.
inline size_t PacketEnd(const std::string& S, size_t At, bool& Unknown) {
    constexpr size_t npos = std::string::npos;
    const auto lineEnd = [&](size_t From) {
        const size_t p = S.find("\r\n", From);
        return p == npos ? p : p + 2;
    };
    // A count line at From and the lines it counts.
    const auto counted = [&](size_t From) {
        size_t end = lineEnd(From);
        if (end == npos) return end;
        long n = std::strtol(S.substr(From, end - 2 - From).c_str(), nullptr, 10);
        while (n-- > 0 && end != npos) end = lineEnd(end);
        return end;
    };
    Unknown = false;
    size_t end = npos;
    switch (S[At]) {
        case ZELPacketFloorFree: case ZELPacketSoundAck: end = At + 1; break;
        case ZELPacketFloorGrant: end = At + 3; break;
        case ZELPacketVoice: end = At + 328; break;
        case ZELPacketShortBlock: end = At + 68; break;
        case ZELPacketMemberCount: case ZELPacketSpeaker: case ZELPacketMessageSender: case ZELPacketCacheEntry:
        case ZELPacketCachePosition: case ZELPacketMessagePosition: case ZELPacketState:
            end = lineEnd(At + 1);
            break;
        case ZELPacketText: case ZELPacketTextUtf8: case ZELPacketAdmins: case ZELPacketRights: case ZELPacketBlocks:
        case ZELPacketMutes: case ZELPacketModes: case ZELPacketNotice: case ZELPacketBlocksUtf8:
        case ZELPacketMutesUtf8: case ZELPacketAdminsUtf8: case ZELPacketNoticeUtf8: case ZELPacketRightsUtf8:
            end = counted(At + 1);
            break;
        case ZELPacketMemberList: case ZELPacketMemberListUtf8:
            if (S.size() >= At + 3) end = counted(At + 3);
            break;
        case ZELPacketMemberDiff: {
            if (S.size() < At + 11) break;
            long n = std::strtol(S.substr(At + 3, 6).c_str(), nullptr, 10);
            end = At + 11;
            while (n-- > 0 && end != npos) end = lineEnd(end);
            break;
        }
        default: Unknown = true; return npos;
    }
    return end == npos || end > S.size() ? npos : end;
}

}  // namespace zel::test
