#pragma once
// The server's packet stream as a client reads it after its login answer: each packet by its type
// byte (fixed sizes, one line, or a count line and that many lines), and a member that reads it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/client_service.hpp"

namespace zel::test {

// One packet of the server's stream after the login answer.
struct TPkt {
    uint8_t Type = 0;
    std::string Bytes;
    uint16_t Index() const { return uint16_t((uint8_t(Bytes[1]) << 8) | uint8_t(Bytes[2])); }
};

// Parses whole packets of S from At on into Out; returns where the first incomplete one starts.
inline size_t ParsePackets(const std::string& S, size_t At, std::vector<TPkt>& Out) {
    const auto lineEnd = [&](size_t From) {
        const size_t p = S.find("\r\n", From);
        return p == std::string::npos ? p : p + 2;
    };
    while (At < S.size()) {
        const uint8_t t = uint8_t(S[At]);
        size_t end = std::string::npos;
        switch (t) {
            case 0:
            case 137: end = At + 1; break;
            case 1: end = At + 3; break;
            case 2: end = At + 328; break;
            case 129: end = At + 68; break;
            case 130:
            case 142:
            case 143:
            case 147:
            case 145:
            case 146: end = lineEnd(At + 1); break;
            case 4:
            case 0x85:
            case 6:
            case 7:
            case 8:
            case 9:
            case 10:
            case 11:
            case 134:
            case 135:
            case 136:
            case 138:
            case 139: {
                end = lineEnd(At + 1);
                if (end == std::string::npos) return At;
                int n = std::stoi(S.substr(At + 1, end - 2 - At - 1));
                while (n-- > 0 && end != std::string::npos) end = lineEnd(end);
                break;
            }
            case 3:
            case 131: {
                if (S.size() < At + 3) return At;
                end = lineEnd(At + 3);
                if (end == std::string::npos) return At;
                int n = std::stoi(S.substr(At + 3, end - 2 - At - 3));
                while (n-- > 0 && end != std::string::npos) end = lineEnd(end);
                break;
            }
            case 132: {
                if (S.size() < At + 11) return At;
                int n = std::stoi(S.substr(At + 3, 6));
                end = At + 11;
                while (n-- > 0 && end != std::string::npos) end = lineEnd(end);
                break;
            }
            default:
                ADD_FAILURE() << "unknown packet type " << int(t) << " at " << At;
                return S.size();
        }
        if (end == std::string::npos || end > S.size()) return At;
        Out.push_back(TPkt{t, S.substr(At, end - At)});
        At = end;
    }
    return At;
}

// A member seen from its own socket: the packets after its login answer.
struct TMember {
    TTestClient C;
    std::string Mail;
    size_t Parsed = 0;
    std::vector<TPkt> P;
    void Pump(int Ms) {
        C.ReadFor(Ms);
        Parsed = ParsePackets(C.Received, Parsed, P);
    }
    // Reads until a packet from index From on satisfies Cond; its index in P, or -1.
    int WaitFor(const std::function<bool(const TPkt&)>& Cond, size_t From = 0, int Ms = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
        for (;;) {
            for (size_t i = From; i < P.size(); ++i)
                if (Cond(P[i])) return int(i);
            if (std::chrono::steady_clock::now() >= end || C.Closed) return -1;
            Pump(20);
        }
    }
    bool Has(const std::function<bool(const TPkt&)>& Cond, size_t From = 0) const {
        for (size_t i = From; i < P.size(); ++i)
            if (Cond(P[i])) return true;
        return false;
    }
};

}  // namespace zel::test
