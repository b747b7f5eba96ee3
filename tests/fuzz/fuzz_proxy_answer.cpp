// Proxy answers (net/dmq_snps_blcksock): the SOCKS4, SOCKS5 (with and without a password) and
// HTTP CONNECT negotiations of the blocking socket, against a loopback peer that answers with the
// input and then ends its side. The first byte picks the protocol. A negotiation either fails with
// an error or ends in the tunnel it was asked for; nothing else.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_snps_blcksock.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "tests/support/scripted_peer.hpp"

using namespace zel;

namespace {

// Sends Answer at once, ends its side, and reads what comes until the client closes (2 s at most).
void Peer(const zeltest::TcpListener& L, std::string Answer) {
    const int fd = L.Accept();
    if (fd < 0) return;
    if (!Answer.empty()) (void)send(fd, Answer.data(), Answer.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    char buf[4096];
    while (zeltest::PollFor(fd, POLLIN, 2000) && recv(fd, buf, sizeof buf, 0) > 0) {
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static zeltest::TcpListener* listener = new zeltest::TcpListener(AF_INET, 16);
    if (Size < 1 || listener->port == 0) return 0;
    const uint8_t mode = Data[0] % 5;
    std::thread peer(Peer, std::cref(*listener), std::string(reinterpret_cast<const char*>(Data) + 1, Size - 1));

    const UnicodeString port = SysCharsetToUnicodeProc(std::to_string(listener->port));
    TTCPBlockSocket s;
    s.RaiseExcept = false;
    if (mode <= 2) {
        s.SocksIP = u"127.0.0.1";
        s.SocksPort = port;
        s.SocksTimeout = 2000;
        s.SocksType = mode == 0 ? TSocksType::ST_Socks4 : TSocksType::ST_Socks5;
        if (mode == 2) {
            s.SocksUsername = u"user";
            s.SocksPassword = u"pass";
        }
    } else {
        s.HTTPTunnelIP = u"127.0.0.1";
        s.HTTPTunnelPort = port;
        s.HTTPTunnelTimeout = 2000;
        if (mode == 4) {
            s.HTTPTunnelUser = u"user";
            s.HTTPTunnelPass = u"pass";
        }
        s.OnHTTPTunnelConnectAnswer = [](TBlockSocket*, int32_t Code, const UnicodeString&) {
            FUZZ_CHECK(Code == -1 || (Code >= 0 && Code <= 999));
        };
    }
    s.Connect(u"192.0.2.1", u"8080");
    if (s.LastError() == 0) FUZZ_CHECK(mode <= 2 ? s.UsingSocks() : s.HTTPTunnel());
    // A proxy's answer is kept only for a refusal.
    if (s.LastError() == 0) FUZZ_CHECK(s.ProxyAnswer().empty());
    s.CloseSocket();
    peer.join();
    return 0;
}
