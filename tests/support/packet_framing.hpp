#pragma once
// The framing of the server's packet stream after the login answer, by the type byte: fixed sizes,
// one line, a count line and that many lines, and the member-list forms. Shared by the in-process
// client tests (client_packets.hpp) and the system tests' client (zel_client.hpp).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

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
    switch (uint8_t(S[At])) {
        case 0: case 137: end = At + 1; break;
        case 1: end = At + 3; break;
        case 2: end = At + 328; break;
        case 129: end = At + 68; break;
        case 130: case 142: case 143: case 145: case 146: case 147: end = lineEnd(At + 1); break;
        case 4: case 0x85: case 6: case 7: case 8: case 9: case 10: case 11:
        case 134: case 135: case 136: case 138: case 139:
            end = counted(At + 1);
            break;
        case 3: case 131:
            if (S.size() >= At + 3) end = counted(At + 3);
            break;
        case 132: {
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
