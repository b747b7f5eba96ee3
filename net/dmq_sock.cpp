#include "net/dmq_sock.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/dmq_snps_addr.hpp"
#include "net/dmq_snps_idn.hpp"

namespace zel {

namespace {

template <class Str, class View>
Str FormatHostPortT(View host, View port) {
    using Char = typename View::value_type;
    static constexpr Char kAny0[] = {':', ':', '0', 0};
    static constexpr Char kAnyBr0[] = {'[', ':', ':', '0', ']', 0};
    static constexpr Char kAny[] = {':', ':', 0};
    static constexpr Char kAnyBr[] = {'[', ':', ':', ']', 0};
    View h = host;
    if (h == View(kAny0)) h = View(kAny);
    else if (h == View(kAnyBr0)) h = View(kAnyBr);
    Str out;
    out.reserve(h.size() + port.size() + 3);
    const bool bare6 = h.find(Char(':')) != View::npos && h.find(Char('[')) == View::npos;
    if (bare6) out.push_back(Char('['));
    out.append(h);
    if (bare6) out.push_back(Char(']'));
    out.push_back(Char(':'));
    out.append(port);
    return out;
}

int SetIntOption(int handle, int level, int option, int value) noexcept {
    return setsockopt(handle, level, option, &value, sizeof(value)) == 0 ? 0 : errno;
}

}  // namespace

uint32_t TickMsFromTimespec(const timespec& ts) noexcept {
    return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

uint32_t GetTickMs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return TickMsFromTimespec(ts);
}

AnsiString FormatHostPortA(AnsiView host, AnsiView port) {
    return FormatHostPortT<AnsiString>(host, port);
}

UnicodeString FormatHostPortU(UnicodeView host, UnicodeView port) {
    return FormatHostPortT<UnicodeString>(host, port);
}

void AppendHostPortU(TStringBldU& b, UnicodeView host, UnicodeView port) {
    StrBldUAdd(b, FormatHostPortU(host, port));
}

UnicodeString SockErrorText(int32_t code, UnicodeView text) {
    UnicodeString out = u"Socket error ";
    out += WidenStrU(std::to_string(code));
    out += u": ";
    if (code == SNPS_HOST_NOT_FOUND) out += u"Host not found";
    else out.append(text);
    return out;
}

int SockRecv(int handle, void* buffer, size_t length, int flags, size_t& count) noexcept {
    count = 0;
    // recv of 0 bytes also returns 0, which must not read as the peer's close.
    if (length == 0) return 0;
    ssize_t n;
    do {
        n = recv(handle, buffer, length, flags);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        count = static_cast<size_t>(n);
        return 0;
    }
    if (n == 0) return ECONNRESET;
    const int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS) return 0;
    return e;
}

int SockSend(int handle, const void* buffer, size_t length, int flags, size_t& count) noexcept {
    count = 0;
    ssize_t n;
    do {
        n = send(handle, buffer, length, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        count = static_cast<size_t>(n);
        return 0;
    }
    const int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) return 0;
    return e;
}

int SockSetNonBlocking(int handle) noexcept {
    const int fl = fcntl(handle, F_GETFL);
    if (fl < 0) return errno;
    return fcntl(handle, F_SETFL, fl | O_NONBLOCK) == 0 ? 0 : errno;
}

int SockSetNoDelay(int handle, bool enable) noexcept {
    return SetIntOption(handle, IPPROTO_TCP, TCP_NODELAY, enable ? 1 : 0);
}

int SockSetReuseAddr(int handle, bool enable) noexcept {
    return SetIntOption(handle, SOL_SOCKET, SO_REUSEADDR, enable ? 1 : 0);
}

int SockSetPlatformOption(int /*handle*/, int32_t /*value*/) noexcept { return 0; }

int SockClose(int handle) noexcept {
    (void)SetIntOption(handle, SOL_SOCKET, SO_REUSEADDR, 1);
    // No retry on EINTR: the descriptor is released either way, and it may already be reused.
    return close(handle) == 0 ? 0 : errno;
}

int SockCloseVar(int& handle) noexcept {
    if (handle == -1) return 0;
    const int r = SockClose(handle);
    handle = -1;
    return r;
}

std::unique_ptr<TDMQHostEntry> ResolveHostIPv4(const char* name) {
    hostent he{};
    hostent* found = nullptr;
    int herr = 0;
    std::vector<char> work(2048);
    // The reentrant form, grown while the system asks for more room (bounded).
    for (int tries = 0; tries < 8; ++tries) {
        const int r = gethostbyname_r(name ? name : "", &he, work.data(), work.size(), &found, &herr);
        if (r != ERANGE) break;
        work.resize(work.size() * 2);
        found = nullptr;
    }
    if (!found || found->h_addrtype != AF_INET || found->h_length != 4) return nullptr;

    auto entry = std::make_unique<TDMQHostEntry>();
    if (found->h_name) entry->Name = IDNToUnicode(found->h_name);
    if (found->h_aliases)
        for (char** a = found->h_aliases; *a; ++a) entry->Aliases.push_back(IDNToUnicode(*a));
    if (found->h_addr_list)
        for (char** a = found->h_addr_list; *a; ++a) {
            uint32_t addr;
            std::memcpy(&addr, *a, 4);
            entry->Addresses.push_back(addr);
        }
    return entry;
}

}  // namespace zel
