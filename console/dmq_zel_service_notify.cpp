#include "console/dmq_zel_service_notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace zel {

namespace {
constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";
}

AnsiString TakeNotifySocketName() {
    const char* name = std::getenv(kNotifySocketVariable);
    AnsiString result = name ? AnsiString(name) : AnsiString();
    ::unsetenv(kNotifySocketVariable);
    return result;
}

int SendServiceNotify(AnsiView SocketName, AnsiView State) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (SocketName.size() < 2 || SocketName.size() > sizeof a.sun_path ||
        (SocketName[0] != '/' && SocketName[0] != '@'))
        return EINVAL;
    std::memcpy(a.sun_path, SocketName.data(), SocketName.size());
    // An abstract name begins with a NUL and is exactly as long as given.
    if (a.sun_path[0] == '@') a.sun_path[0] = '\0';
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + SocketName.size());

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    ssize_t n;
    do {
        n = ::sendto(fd, State.data(), State.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), length);
    } while (n < 0 && errno == EINTR);
    const int result = n < 0 ? errno : (static_cast<size_t>(n) == State.size() ? 0 : EMSGSIZE);
    ::close(fd);
    return result;
}

}  // namespace zel
