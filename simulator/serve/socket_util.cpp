#include "serve/socket_util.h"

#include <ws2tcpip.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace {

const DWORD kPollMs = 500;  // how soon a waiting receive notices its stop event

}  // namespace

std::string AddressText(const sockaddr_in &address) {
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&address.sin_addr);
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], ntohs(address.sin_port));
    return text;
}

bool ResolveAddress(const std::string &host, uint16_t port, sockaddr_in *address) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    memcpy(address, found->ai_addr, sizeof *address);
    address->sin_port = htons(port);
    freeaddrinfo(found);
    return true;
}

bool SendWhole(SOCKET socket, const uint8_t *data, size_t count) {
    while (count > 0) {
        int sent = send(socket, reinterpret_cast<const char *>(data), static_cast<int>(std::min<size_t>(count, 1u << 20)), 0);
        if (sent <= 0) return false;
        data += sent;
        count -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveWhole(SOCKET socket, uint8_t *data, size_t count, HANDLE stop, DWORD deadline) {
    while (count > 0) {
        if (stop || deadline) {
            if (stop && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return false;
            DWORD wait = kPollMs;
            if (deadline) {
                DWORD left = deadline - GetTickCount();
                if (static_cast<int32_t>(left) <= 0) return false;
                wait = std::min(wait, left);
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket, &readable);
            timeval slice = {0, static_cast<long>(wait) * 1000};
            int ready = select(0, &readable, nullptr, nullptr, &slice);
            if (ready < 0) return false;
            if (ready == 0) continue;
        }
        int got = recv(socket, reinterpret_cast<char *>(data), static_cast<int>(count), 0);
        if (got <= 0) return false;
        data += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

void SendAtOnce(SOCKET socket) {
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}
