#pragma once
// A voice-network client over a real loopback TCP connection, for the system tests: connect
// (from a chosen 127.x.y.z source when given), the connect line, the login answer, operating
// lines, marked voice blocks, and a reader of the server's packets that counts the marked blocks
// it hears and notes a packet it cannot frame.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/loopback.hpp"
#include "tests/support/packet_framing.hpp"

namespace zel::test {

// A TCP connection to 127.0.0.1:Port, bound first to Source (an IPv4 loopback address) when
// given, with a receive buffer of RecvBuf bytes when above 0 (set before the connect, so the
// window stays small); Flags SOCK_NONBLOCK leaves the connect in progress. -1 on failure.
inline int ConnectLoopback(uint16_t Port, const char* Source = nullptr, int RecvBuf = 0, int Flags = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | Flags, 0);
    if (fd < 0) return -1;
    if (RecvBuf > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &RecvBuf, sizeof RecvBuf);
    if (Source != nullptr) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        if (::inet_pton(AF_INET, Source, &a.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_storage ss;
    const socklen_t len = zeltest::LoopbackAddr(AF_INET, Port, ss);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && !(Flags != 0 && errno == EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends all of Data; false when the connection failed.
inline bool SendAll(int Fd, const std::string& Data) {
    size_t at = 0;
    while (at < Data.size()) {
        const ssize_t n = ::send(Fd, Data.data() + at, Data.size() - at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += size_t(n);
    }
    return true;
}

// Closes with a reset instead of an orderly end: the peer sees the connection vanish.
inline void AbortConnection(int Fd) {
    linger l{1, 0};
    ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(Fd);
}

// One request line to the command port on Port, and its answer up to and with its first CR LF
// within LimitMs ("" when none came).
inline std::string CommandRequest(uint16_t Port, const std::string& Line, int LimitMs = 3000) {
    const int fd = ConnectLoopback(Port);
    if (fd < 0) return "";
    std::string in;
    if (SendAll(fd, Line)) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
        while (in.find("\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
            if (!zeltest::PollFor(fd, POLLIN, 20)) continue;
            char buf[512];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, size_t(n));
        }
    }
    ::close(fd);
    const size_t crlf = in.find("\r\n");
    return crlf == std::string::npos ? std::string() : in.substr(0, crlf + 2);
}

// A connect line; Cef "1" asks for no member list (the client then reads only floor, voice and
// answer packets).
inline std::string ConnectLine(const std::string& EMail, const std::string& Call, const std::string& Network,
                               const std::string& Cef = "1") {
    std::string l = "CT:<VX>2014004</VX><EA>" + EMail + "</EA><PW>pw</PW><ON>" + Call +
                    "</ON><BC>PC Only</BC><CT>Town</CT><NN>Land</NN><NT>" + Network + "</NT>";
    if (!Cef.empty()) l += "<CEF>" + Cef + "</CEF>";
    return l + "\r\n";
}

// A voice block whose payload starts with "ZB" and the 32-bit mark Seq.
inline std::string MarkedVoiceBlock(uint32_t Seq) {
    std::string b = "TX1\r\n" + std::string(325, 'v');
    b[5] = 'Z';
    b[6] = 'B';
    std::memcpy(&b[7], &Seq, 4);
    return b;
}

class TZelClient {
public:
    using Clock = std::chrono::steady_clock;

    TZelClient() = default;
    TZelClient(const TZelClient&) = delete;
    TZelClient& operator=(const TZelClient&) = delete;
    ~TZelClient() { Close(); }

    bool Connect(uint16_t Port, const char* Source = nullptr, int RecvBuf = 0) {
        Close();
        Fd = ConnectLoopback(Port, Source, RecvBuf);
        return Fd >= 0;
    }
    void Close() {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
        In.clear();
        At = 0;
        LoggedIn = false;
    }
    void Abort() {
        if (Fd >= 0) AbortConnection(Fd);
        Fd = -1;
        Close();
    }
    bool Send(const std::string& Data) { return Fd >= 0 && SendAll(Fd, Data); }

    // Sends the connect line and reads the login answer (two lines) within LimitMs; the AL text
    // ("OK", "OWNER", "BLOCK", ...), or "" when none came.
    std::string Login(const std::string& Line, int LimitMs = 5000) {
        if (!Send(Line)) return "";
        const auto end = Clock::now() + std::chrono::milliseconds(LimitMs);
        for (;;) {
            const size_t a = In.find("\r\n");
            const size_t b = a == std::string::npos ? a : In.find("\r\n", a + 2);
            if (b != std::string::npos) {
                Answer = In.substr(0, b + 2);
                At = b + 2;
                const size_t al = Answer.find("<AL>"), ale = Answer.find("</AL>");
                LoggedIn = al != std::string::npos && ale != std::string::npos;
                return LoggedIn ? Answer.substr(al + 4, ale - al - 4) : "";
            }
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0 || !ReadSome(left)) return "";
        }
    }

    // Reads what arrives within Ms (at least one poll) and frames it; false when the connection
    // ended or a packet could not be framed.
    bool Pump(int Ms) {
        const bool alive = ReadSome(Ms);
        Frame();
        return alive && !Broken;
    }
    // Pumps until Done holds or LimitMs passed.
    template <class Fn>
    bool PumpUntil(Fn Done, int LimitMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(LimitMs);
        while (!Done()) {
            const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
            if (left <= 0) return false;
            if (!Pump(std::min(left, 50)) && !Done()) return false;
        }
        return true;
    }

    // Whether the bytes read so far (since the last trim of the framed part) hold Bytes.
    bool Heard(const std::string& Bytes) const { return In.find(Bytes) != std::string::npos; }

    int Fd = -1;
    bool LoggedIn = false;
    std::string Answer;        // the login answer's two lines
    uint64_t Grants = 0;       // floor packets (type 1) received
    uint64_t MarkedBlocks = 0; // voice packets whose payload carries a mark
    uint32_t LastMark = 0;
    uint64_t Packets = 0;
    bool Broken = false;       // a packet of an unknown type came
    bool Ended = false;        // the server closed the connection

private:
    // One poll of up to Ms and one read; false when the connection ended.
    bool ReadSome(int Ms) {
        if (Fd < 0) return false;
        pollfd p{Fd, POLLIN, 0};
        const int r = ::poll(&p, 1, Ms);
        if (r <= 0) return true;
        char buf[65536];
        const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) {
            Ended = true;
            return false;
        }
        In.append(buf, size_t(n));
        return true;
    }
    void Frame() {
        if (!LoggedIn) return;
        while (At < In.size() && !Broken) {
            const uint8_t t = uint8_t(In[At]);
            const size_t end = PacketEnd(In, At, Broken);
            if (end == std::string::npos) break;
            ++Packets;
            if (t == 1) ++Grants;
            if (t == 2 && In[At + 3] == 'Z' && In[At + 4] == 'B') {
                ++MarkedBlocks;
                std::memcpy(&LastMark, In.data() + At + 5, 4);
            }
            At = end;
        }
        if (At > 65536) {
            In.erase(0, At);
            At = 0;
        }
    }

    std::string In;
    size_t At = 0;
};

}  // namespace zel::test
