// Socket helpers of the network link whose every wait ends: at a deadline,
// or as soon as the start-up's stop event is set, whatever the peer does.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <string>

namespace netwait {

// How often a wait looks at the stop event.
const DWORD kSliceMs = 20;
// How long a host name's lookup may take.
const DWORD kResolveMs = 5000;

// A point in time some milliseconds from now, on the tick counter.
struct Deadline {
    DWORD start;
    DWORD limitMs;
    explicit Deadline(DWORD ms) : start(GetTickCount()), limitMs(ms) {}
    bool Passed() const { return GetTickCount() - start >= limitMs; }
    DWORD Left() const {
        DWORD spent = GetTickCount() - start;
        return spent >= limitMs ? 0 : limitMs - spent;
    }
};

bool Stopping(HANDLE stop);

// Waits until `socket` can be read (true), or the deadline passes, the
// socket fails or `stop` is set (false).
bool AwaitReadable(SOCKET socket, HANDLE stop, const Deadline &deadline);

// Receives exactly `count` bytes before the deadline.
bool ReceiveWithin(SOCKET socket, void *data, size_t count, HANDLE stop, const Deadline &deadline);

// Sends all of a small message; false when the socket cannot take it.
bool SendAll(SOCKET socket, const void *data, size_t count);

// Connects without blocking: the attempt is given up at the deadline or
// when `stop` is set, so that an address that never answers (its packets
// dropped) costs no more than that. INVALID_SOCKET when it did not connect.
SOCKET ConnectWithin(const sockaddr_in &address, HANDLE stop, const Deadline &deadline);

uint32_t U32At(const uint8_t *bytes);
void CloseSocket(SOCKET *socket);
// Small frames must leave at once rather than wait for more to coalesce.
void SendAtOnce(SOCKET socket);
// A dotted IPv4 address, which needs no lookup.
bool IsDotted(const std::string &host);
// A numeric or named IPv4 address; an empty host is every address. A name
// is looked up on a thread of its own and given up after limitMs: a name
// server that does not answer holds no one longer.
bool Resolve(const std::string &host, uint16_t port, sockaddr_in *address, DWORD limitMs = kResolveMs);
std::string Describe(const sockaddr_in &address);
std::string DescribeHost(const in_addr &address);

}  // namespace netwait
