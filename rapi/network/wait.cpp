#include "rapi/network/wait.h"

#include <ws2tcpip.h>
#include <stdio.h>
#include <string.h>

namespace netwait {

bool Stopping(HANDLE stop) { return WaitForSingleObject(stop, 0) != WAIT_TIMEOUT; }

bool AwaitReadable(SOCKET socket, HANDLE stop, const Deadline &deadline) {
    for (;;) {
        if (Stopping(stop)) return false;
        DWORD left = deadline.Left();
        if (left == 0) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        DWORD slice = left < kSliceMs ? left : kSliceMs;
        timeval wait = {0, static_cast<long>(slice) * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0) return false;
        if (ready > 0) return true;
    }
}

bool ReceiveWithin(SOCKET socket, void *data, size_t count, HANDLE stop, const Deadline &deadline) {
    char *at = static_cast<char *>(data);
    while (count > 0) {
        if (!AwaitReadable(socket, stop, deadline)) return false;
        int got = recv(socket, at, static_cast<int>(count), 0);
        if (got <= 0) return false;
        at += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

bool SendAll(SOCKET socket, const void *data, size_t count) {
    const char *at = static_cast<const char *>(data);
    while (count > 0) {
        int sent = send(socket, at, static_cast<int>(count), 0);
        if (sent <= 0) return false;
        at += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

namespace {

void SetBlocking(SOCKET socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
}

// True once the pending connect has ended, with *connected its outcome.
bool ConnectEnded(SOCKET socket, bool *connected) {
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval wait = {0, static_cast<long>(kSliceMs) * 1000};
    int ready = select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0) return false;
    *connected = ready > 0 && FD_ISSET(socket, &writable) && !FD_ISSET(socket, &failed);
    return true;
}

}  // namespace

SOCKET ConnectWithin(const sockaddr_in &address, HANDLE stop, const Deadline &deadline) {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return socket;
    SetBlocking(socket, false);
    bool connected = connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (!connected && WSAGetLastError() == WSAEWOULDBLOCK) {
        while (!Stopping(stop) && !deadline.Passed() && !ConnectEnded(socket, &connected)) {
        }
    }
    if (!connected) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    SetBlocking(socket, true);
    SendAtOnce(socket);
    return socket;
}

uint32_t U32At(const uint8_t *bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void CloseSocket(SOCKET *socket) {
    if (*socket != INVALID_SOCKET) closesocket(*socket);
    *socket = INVALID_SOCKET;
}

void SendAtOnce(SOCKET socket) {
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

namespace {

// One lookup, shared by the caller and the thread doing it: whichever of
// the two is done with it last frees it.
struct Lookup {
    std::string host;
    in_addr found = {};
    bool ok = false;
    LONG holders = 2;
};

void Release(Lookup *lookup) {
    if (InterlockedDecrement(&lookup->holders) == 0) delete lookup;
}

DWORD WINAPI LookUp(void *parameter) {
    Lookup *lookup = static_cast<Lookup *>(parameter);
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(lookup->host.c_str(), nullptr, &hints, &found) == 0 && found) {
        lookup->found = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
        lookup->ok = true;
    }
    if (found) freeaddrinfo(found);
    Release(lookup);
    return 0;
}

}  // namespace

bool IsDotted(const std::string &host) {
    return !host.empty() && host.find_first_not_of("0123456789.") == std::string::npos &&
           (inet_addr(host.c_str()) != INADDR_NONE || host == "255.255.255.255");
}

bool Resolve(const std::string &host, uint16_t port, sockaddr_in *address, DWORD limitMs) {
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (host.empty()) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (IsDotted(host)) {
        address->sin_addr.s_addr = inet_addr(host.c_str());
        return true;
    }
    Lookup *lookup = new Lookup;
    lookup->host = host;
    HANDLE thread = CreateThread(nullptr, 0, LookUp, lookup, 0, nullptr);
    if (!thread) {
        delete lookup;
        return false;
    }
    bool ok = WaitForSingleObject(thread, limitMs) == WAIT_OBJECT_0 && lookup->ok;
    if (ok) address->sin_addr = lookup->found;
    CloseHandle(thread);
    Release(lookup);
    return ok;
}

std::string DescribeHost(const in_addr &address) {
    char text[32];
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&address);
    snprintf(text, sizeof text, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    return text;
}

std::string Describe(const sockaddr_in &address) {
    return DescribeHost(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

}  // namespace netwait
