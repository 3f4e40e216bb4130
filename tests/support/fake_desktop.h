// A desktop of our own for the simulated device's network tests. Every
// wait on it lasts at most kFakeDesktopWaitMs.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdint.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "protocol/rapi1.h"

const DWORD kFakeDesktopWaitMs = 15000;

// A desktop's control port of our own: a listening socket on a free
// loopback port, or (listening later) one that refuses connections.
class FakeDesktop {
public:
    FakeDesktop() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        int length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~FakeDesktop() {
        if (session_ != INVALID_SOCKET) closesocket(session_);
        if (link_ != INVALID_SOCKET) closesocket(link_);
        closesocket(listener_);
        WSACleanup();
    }
    std::string Where() const { return "127.0.0.1:" + std::to_string(port_); }
    void Listen() { listen(listener_, 1); }
    // Waits for the device to connect; the connection's source address.
    // A second connection (a session) is kept apart: Read and Write take
    // it with `session` true.
    // `waitMs`: how long a device may take to come.
    bool Accept(std::string *source, bool session = false, DWORD waitMs = kFakeDesktopWaitMs) {
        SOCKET &link_ = session ? session_ : this->link_;
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener_, &ready);
        timeval wait = {static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1) return false;
        sockaddr_in peer = {};
        int length = sizeof peer;
        link_ = accept(listener_, reinterpret_cast<sockaddr *>(&peer), &length);
        char text[32];
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        *source = text;
        DWORD timeout = kFakeDesktopWaitMs;
        setsockopt(link_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
        return link_ != INVALID_SOCKET;
    }
    bool Read(void *data, int count, bool session = false) {
        for (char *at = static_cast<char *>(data); count > 0;) {
            int got = recv(session ? session_ : link_, at, count, 0);
            if (got <= 0) return false;
            at += got;
            count -= got;
        }
        return true;
    }
    // True when the device closed the connection (not when it stayed silent).
    bool Closed(bool session = false) {
        char byte;
        return recv(session ? session_ : link_, &byte, 1, 0) == 0;
    }
    uint32_t ReadU32(bool session = false) {
        uint8_t bytes[4] = {};
        return Read(bytes, 4, session) ? bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24)
                              : 0xDEADDEADu;
    }
    void Write(const std::vector<uint8_t> &bytes, bool session = false) {
        send(session ? session_ : link_, reinterpret_cast<const char *>(bytes.data()), static_cast<int>(bytes.size()), 0);
    }
    std::vector<uint8_t> Password(const std::wstring &password, uint8_t key) {
        std::vector<uint8_t> encoded = rapi1::EncodePassword(password, key);
        encoded.insert(encoded.begin(), {static_cast<uint8_t>(encoded.size()), 0});
        return encoded;
    }

private:
    SOCKET listener_ = INVALID_SOCKET, link_ = INVALID_SOCKET, session_ = INVALID_SOCKET;
    uint16_t port_ = 0;
};

// u32 words, little-endian.
inline std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
    return bytes;
}
