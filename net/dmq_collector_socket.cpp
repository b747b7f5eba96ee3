#include "net/dmq_collector_socket.hpp"

#include <cerrno>
#include <sys/socket.h>

#include "foundation/dmq_fileutils.hpp"
#include "foundation/dmq_syscharset.hpp"
#include "net/dmq_sock.hpp"

namespace zel {

TCollectorReadResult TCollectorSocket::ReadSource(void* dest, uint32_t count, uint32_t& got) {
    size_t n = 0;
    got = 0;
    // The idle probe looks without taking: a readable socket (input or the peer's close) is the
    // end of the stream, as a zero-byte receive reports it; a quiet one gives nothing.
    char peek;
    bool probe = count == 0;
    int rc = probe ? SockRecv(Handle, &peek, 1, MSG_NOSIGNAL | MSG_DONTWAIT | MSG_PEEK, n)
                   : SockRecv(Handle, dest, count, MSG_NOSIGNAL | MSG_DONTWAIT, n);
    if (rc == ECONNRESET || (rc == 0 && probe && n > 0)) return TCollectorReadResult::colrr_EOF;
    if (rc != 0) {
        errorCode_ = rc;
        errorText_ = SysCharsetToUnicodeProc(SysErrorText(rc));
        return TCollectorReadResult::colrr_Error;
    }
    got = probe ? 0 : uint32_t(n);
    return TCollectorReadResult::colrr_OK;
}

}  // namespace zel
