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
#include "tests/support/packet_framing.hpp"

namespace zel::test {

// One packet of the server's stream after the login answer.
struct TPkt {
    uint8_t Type = 0;
    std::string Bytes;
    uint16_t Index() const { return uint16_t((uint8_t(Bytes[1]) << 8) | uint8_t(Bytes[2])); }
};

// Parses whole packets of S from At on into Out; returns where the first incomplete one starts.
inline size_t ParsePackets(const std::string& S, size_t At, std::vector<TPkt>& Out) {
    while (At < S.size()) {
        bool unknown = false;
        const size_t end = PacketEnd(S, At, unknown);
        if (unknown) {
            ADD_FAILURE() << "unknown packet type " << int(uint8_t(S[At])) << " at " << At;
            return S.size();
        }
        if (end == std::string::npos) return At;
        Out.push_back(TPkt{uint8_t(S[At]), S.substr(At, end - At)});
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
