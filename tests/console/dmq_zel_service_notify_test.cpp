// The notify datagram against real unix datagram sockets: a path and an abstract name.
#include "console/dmq_zel_service_notify.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "tests/support/temp_dir.hpp"

namespace zel {
namespace {

// A bound datagram socket that stands for the service manager's; Name as NOTIFY_SOCKET gives it.
class TManagerSocket {
public:
    explicit TManagerSocket(const std::string& Name) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, Name.data(), Name.size());
        if (Name[0] == '@') a.sun_path[0] = '\0';
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a),
                                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + Name.size())) == 0;
    }
    ~TManagerSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Ok() const { return ok_; }
    // The next datagram, waited for at most five seconds; empty when none came.
    std::string Receive() const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return "";
        char buf[256];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

class ServiceNotify : public test::TempDirTest {};

TEST_F(ServiceNotify, ReachesPathAndAbstractSockets) {
    const std::string names[] = {Path("notify"), "@zeltest-notify-" + std::to_string(::getpid())};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const TManagerSocket manager(name);
        ASSERT_TRUE(manager.Ok());
        EXPECT_EQ(SendServiceNotify(name, "READY=1"), 0);
        EXPECT_EQ(manager.Receive(), "READY=1");
    }
}

TEST_F(ServiceNotify, RefusesBadNamesAndTellsAMissingListener) {
    for (const char* bad : {"", "@", "/", "relative/notify"}) EXPECT_EQ(SendServiceNotify(bad, "READY=1"), EINVAL) << bad;
    EXPECT_EQ(SendServiceNotify("/" + std::string(sizeof(sockaddr_un::sun_path), 'x'), "READY=1"), EINVAL);
    EXPECT_EQ(SendServiceNotify(Path("nobody"), "READY=1"), ENOENT);
}

// The name leaves the environment: a program the server starts does not inherit it.
TEST_F(ServiceNotify, TakesTheNameOutOfTheEnvironment) {
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1), 0);
    EXPECT_EQ(TakeNotifySocketName(), "/run/systemd/notify");
    EXPECT_EQ(std::getenv("NOTIFY_SOCKET"), nullptr);
    EXPECT_EQ(TakeNotifySocketName(), "");
}

}  // namespace
}  // namespace zel
