#include "tests/network/fake_device.h"

#include <ws2tcpip.h>

#include <algorithm>

namespace {

struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Receives exactly count bytes; false when the socket closes or `stop` is
// set (a blocked recv is not reliably woken by shutdown under Wine).
bool ReceiveAll(SOCKET socket, uint8_t *data, size_t count, const std::atomic<bool> &stop) {
    while (count > 0) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        timeval wait = {0, 20000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0 || stop) return false;
        if (ready == 0) continue;
        int got = recv(socket, reinterpret_cast<char *>(data), static_cast<int>(count), 0);
        if (got <= 0) return false;
        data += got;
        count -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

void PutU32(Bytes *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutUnits(Bytes *bytes, const std::wstring &text, bool terminator) {
    for (wchar_t unit : text) {
        bytes->push_back(static_cast<uint8_t>(unit));
        bytes->push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminator) bytes->insert(bytes->end(), 2, 0);
}

Bytes Frame(const Bytes &body) {
    Bytes frame(4 + body.size(), 0);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(body.size() >> (8 * i));
    std::copy(body.begin(), body.end(), frame.begin() + 4);
    return frame;
}

uint16_t FreePort() {
    static WinsockUser winsock;
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address);
    int size = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &size);
    closesocket(socket);
    return ntohs(address.sin_port);
}

FakeDevice::FakeDevice() {
    static WinsockUser winsock;
    InitializeCriticalSection(&lock_);
}

FakeDevice::~FakeDevice() {
    stop_ = true;
    Undock();
    if (server_.joinable()) server_.join();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    DeleteCriticalSection(&lock_);
}

void FakeDevice::Serve(Script script, size_t greetingBytes) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener_, 4);
    int size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
    rapiPort_ = ntohs(address.sin_port);
    server_ = std::thread([this, script, greetingBytes] { ServeLoop(script, greetingBytes); });
}

void FakeDevice::ServeLoop(Script script, size_t greetingBytes) {
    while (!stop_) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener_, &readable);
        timeval wait = {0, 20000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        SOCKET session = accept(listener_, nullptr, nullptr);
        if (session == INVALID_SOCKET) continue;
        Bytes greeting(greetingBytes);
        const char accepted = 1;
        bool greeted = !greetingBytes || (ReceiveAll(session, greeting.data(), greetingBytes, stop_) &&
                                          send(session, &accepted, 1, 0) == 1);
        EnterCriticalSection(&lock_);
        greeting_ = greeting;
        LeaveCriticalSection(&lock_);
        // One session at a time is all the stand-in opens.
        while (greeted) {
            uint8_t prefix[4];
            if (!ReceiveAll(session, prefix, 4, stop_)) break;
            uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (prefix[3] << 24);
            Bytes body(length);
            if (length > (64u << 20) || !ReceiveAll(session, body.data(), length, stop_)) break;
            if (length >= 4) {
                EnterCriticalSection(&lock_);
                commands_.push_back(body[0] | (body[1] << 8) | (body[2] << 16) | (body[3] << 24));
                LeaveCriticalSection(&lock_);
            }
            Bytes answer = script(body);
            if (answer.empty() || send(session, reinterpret_cast<const char *>(answer.data()),
                                       static_cast<int>(answer.size()), 0) != static_cast<int>(answer.size())) {
                break;
            }
        }
        closesocket(session);
    }
}

Bytes FakeDevice::Greeting() const {
    EnterCriticalSection(&lock_);
    Bytes greeting = greeting_;
    LeaveCriticalSection(&lock_);
    return greeting;
}

std::vector<uint32_t> FakeDevice::Commands() const {
    EnterCriticalSection(&lock_);
    std::vector<uint32_t> commands = commands_;
    LeaveCriticalSection(&lock_);
    return commands;
}

bool FakeDevice::Dock(uint16_t desktopPort, const Bytes &greeting, bool echo) {
    control_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in desktop = Loopback(desktopPort);
    if (connect(control_, reinterpret_cast<sockaddr *>(&desktop), sizeof desktop) != 0) {
        closesocket(control_);
        control_ = INVALID_SOCKET;
        return false;
    }
    BOOL on = TRUE;
    setsockopt(control_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    bool sent = send(control_, reinterpret_cast<const char *>(greeting.data()), static_cast<int>(greeting.size()),
                     0) == static_cast<int>(greeting.size());
    if (sent && echo) {
        // Echoes every word the desktop sends (its pings).
        SOCKET control = control_;
        undocking_ = false;
        echoer_ = std::thread([this, control] {
            uint8_t word[4];
            while (ReceiveAll(control, word, 4, undocking_)) send(control, reinterpret_cast<const char *>(word), 4, 0);
        });
    }
    return sent;
}

Bytes FakeDevice::ControlReceived(size_t count, DWORD timeoutMs) {
    Bytes bytes;
    DWORD start = GetTickCount();
    while (bytes.size() < count && GetTickCount() - start < timeoutMs && control_ != INVALID_SOCKET) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(control_, &readable);
        timeval wait = {0, 20000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
        char piece[256];
        int got = recv(control_, piece, static_cast<int>(std::min<size_t>(sizeof piece, count - bytes.size())), 0);
        if (got <= 0) break;
        bytes.insert(bytes.end(), piece, piece + got);
    }
    return bytes;
}

void FakeDevice::Undock() {
    undocking_ = true;
    if (echoer_.joinable()) echoer_.join();
    if (control_ != INVALID_SOCKET) closesocket(control_);
    control_ = INVALID_SOCKET;
}

bool FakeDevice::SendControl(const Bytes &bytes) {
    return control_ != INVALID_SOCKET && send(control_, reinterpret_cast<const char *>(bytes.data()),
                                              static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}
