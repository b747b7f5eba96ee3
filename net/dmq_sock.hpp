#pragma once
// Raw socket routines and the millisecond tick.
//
// The tick is a 32-bit count of monotonic milliseconds that wraps after about 49.7 days: compare
// ticks only by unsigned difference (now - start >= length), never by start + length.
// Every routine that touches a socket returns 0 or an errno value and never raises.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

uint32_t GetTickMs() noexcept;
// The tick of a clock reading: seconds * 1000 + nanoseconds / 1000000, in 32 bits.
uint32_t TickMsFromTimespec(const timespec& ts) noexcept;

// "host:port"; a host with ":" that is not yet bracketed becomes "[host]:port"; "::0" is written
// as "::" ("[::0]" as "[::]").
AnsiString FormatHostPortA(AnsiView host, AnsiView port);
UnicodeString FormatHostPortU(UnicodeView host, UnicodeView port);
void AppendHostPortU(TStringBldU& b, UnicodeView host, UnicodeView port);

// "Socket error <code>: <text>"; the resolver's code for a host that is not found
// (SNPS_HOST_NOT_FOUND of SetVarSin) reads "Host not found" in place of the text.
UnicodeString SockErrorText(int32_t code, UnicodeView text);

// One recv. Data: count = bytes, 0. Nothing there yet (EAGAIN, EINPROGRESS): count 0, 0.
// The peer closed: count 0, ECONNRESET. Any other failure: count 0, errno.
int SockRecv(int handle, void* buffer, size_t length, int flags, size_t& count) noexcept;
// One send with MSG_NOSIGNAL added. Sent: count = bytes, 0. No room (EAGAIN): count 0, 0.
// Failure: count 0, errno.
int SockSend(int handle, const void* buffer, size_t length, int flags, size_t& count) noexcept;

int SockSetNonBlocking(int handle) noexcept;
int SockSetNoDelay(int handle, bool enable) noexcept;
int SockSetReuseAddr(int handle, bool enable) noexcept;
// Nothing to do on this platform; kept so callers need not know.
int SockSetPlatformOption(int handle, int32_t value) noexcept;
// Sets SO_REUSEADDR (result ignored) so the port is free at once, then closes.
int SockClose(int handle) noexcept;
// Nothing for -1; else SockClose, and the handle becomes -1.
int SockCloseVar(int& handle) noexcept;

class TDMQHostEntry {
public:
    UnicodeString Name;
    std::vector<UnicodeString> Aliases;
    // Each address as the four bytes of the look-up in network order, held in one 32-bit word.
    std::vector<uint32_t> Addresses;
};

// IPv4 look-up of a name (nullptr: the empty name); nullptr when nothing is found. Names come
// back through IDNToUnicode. Thread-safe by itself; the socket-call layer still serialises it.
std::unique_ptr<TDMQHostEntry> ResolveHostIPv4(const char* name);

}  // namespace zel
