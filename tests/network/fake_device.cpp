#include "tests/network/fake_device.h"

#include <ws2tcpip.h>

#include <string.h>

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

// Whether the socket can be read (or accepted from) within 20 ms.
bool ReadableSoon(SOCKET socket) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval wait = {0, 20000};
    return select(0, &readable, nullptr, nullptr, &wait) > 0;
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

// An information block of `size` bytes whose three strings sit at the
// given offsets (a string is written only where it fits).
Bytes InfoBlock(uint32_t size, uint32_t nameAt, uint32_t platformAt, uint32_t modelAt, bool terminated) {
    Bytes block(std::max<uint32_t>(size, 0x24), 0);
    block[4] = 3;
    block[8] = 0x11, block[9] = 0x0A;
    const uint32_t offsets[3] = {nameAt, platformAt, modelAt};
    const wchar_t *texts[3] = {L"Pocket_PC", L"PocketPC", L"Tesh 1"};
    for (int i = 0; i < 3; ++i) {
        for (int b = 0; b < 4; ++b) block[0x18 + 4 * i + b] = static_cast<uint8_t>(offsets[i] >> (8 * b));
        Bytes text;
        PutUnits(&text, texts[i], terminated);
        for (size_t at = 0; offsets[i] < size && at < text.size() && offsets[i] + at < size; ++at) block[offsets[i] + at] = text[at];
    }
    block.resize(size);
    return Frame(block);  // the length word, then the block
}


Bytes GoodInfoBlock() { return InfoBlock(0x80, 0x24, 0x40, 0x60); }

Bytes Words(std::initializer_list<uint32_t> words) {
    Bytes bytes;
    for (uint32_t word : words) PutU32(&bytes, word);
    return bytes;
}

Bytes Wm5Block(uint32_t key, uint32_t nameUnits) {
    Bytes block(16, 0x11);  // the GUID
    PutU32(&block, 5);      // OS 5.1
    PutU32(&block, 1);
    PutU32(&block, nameUnits);
    PutUnits(&block, std::wstring(nameUnits, L'W'), true);
    for (uint32_t word : {0x39ffu, 2577u, 0u, 0u, 0u}) PutU32(&block, word);  // build, processor, ..., ids
    const char platform[] = "PocketPC\0";  // with its NUL: the list's two
    PutU32(&block, sizeof platform);
    block.insert(block.end(), platform, platform + sizeof platform);
    const char model[] = "Tesh 1";  // six bytes, then the byte after it
    PutU32(&block, 6);
    block.insert(block.end(), model, model + sizeof model);
    PutU32(&block, 0);  // no components
    PutU32(&block, key);
    return block;
}

Bytes Wm5Greeting(const Bytes &block) {
    Bytes greeting = Words({0, 6, 4, static_cast<uint32_t>(block.size())});
    greeting.insert(greeting.end(), block.begin(), block.end());
    return greeting;
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

void FakeDevice::Listen(int receiveBuffer) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = Loopback(0);
    // Accepted sockets take the listener's buffer size.
    if (receiveBuffer) {
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receiveBuffer), sizeof(int));
    }
    bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(listener_, 4);
    int size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &size);
    rapiPort_ = ntohs(address.sin_port);
}

void FakeDevice::Serve(Script script, size_t greetingBytes) {
    Listen(0);
    server_ = std::thread([this, script, greetingBytes] { ServeLoop(script, greetingBytes); });
}

void FakeDevice::ServeRaw(Session session, int receiveBuffer) {
    Listen(receiveBuffer);
    server_ = std::thread([this, session] {
        while (!stop_) {
            SOCKET accepted = ReadableSoon(listener_) ? accept(listener_, nullptr, nullptr) : INVALID_SOCKET;
            if (accepted == INVALID_SOCKET) continue;
            session(accepted, stop_);
            closesocket(accepted);
        }
    });
}

void FakeDevice::ServeLoop(Script script, size_t greetingBytes) {
    while (!stop_) {
        if (!ReadableSoon(listener_)) continue;
        SOCKET session = accept(listener_, nullptr, nullptr);
        if (session == INVALID_SOCKET) continue;
        Bytes greeting(greetingBytes);
        const char accepted = 1;
        bool greeted = !greetingBytes || (ReceiveAll(session, greeting.data(), greetingBytes, stop_) &&
                                          send(session, &accepted, 1, 0) == 1);
        EnterCriticalSection(&lock_);
        greeting_ = greeting;
        LeaveCriticalSection(&lock_);
        if (greeted) ServeSession(session, script);
        closesocket(session);
    }
}

// One session at a time is all the stand-in opens.
void FakeDevice::ServeSession(SOCKET session, const Script &script) {
    for (;;) {
        uint8_t prefix[4];
        if (!ReceiveAll(session, prefix, 4, stop_)) break;
        uint32_t length = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (prefix[3] << 24);
        Bytes body(length);
        if (length > (64u << 20) || !ReceiveAll(session, body.data(), length, stop_)) break;
        if (length >= 4) {
            EnterCriticalSection(&lock_);
            commands_.push_back(body[0] | (body[1] << 8) | (body[2] << 16) | (body[3] << 24));
            requests_.push_back(body);
            LeaveCriticalSection(&lock_);
        }
        Bytes answer = script(body);
        if (answer.empty() || send(session, reinterpret_cast<const char *>(answer.data()),
                                   static_cast<int>(answer.size()), 0) != static_cast<int>(answer.size())) {
            break;
        }
    }
    sessionEnded_ = true;
}

Bytes FakeDevice::Greeting() const {
    EnterCriticalSection(&lock_);
    Bytes greeting = greeting_;
    LeaveCriticalSection(&lock_);
    return greeting;
}

std::vector<Bytes> FakeDevice::Requests() const {
    EnterCriticalSection(&lock_);
    std::vector<Bytes> requests = requests_;
    LeaveCriticalSection(&lock_);
    return requests;
}

bool FakeDevice::ServeSession2(uint16_t desktopPort, Script script, DWORD timeoutMs, uint32_t idDelta) {
    Bytes asked = ControlReceived(12, timeoutMs);
    if (asked.size() != 12 || asked[0] != 5 || asked[4] != 4) return false;
    uint32_t id = (asked[8] | (asked[9] << 8) | (asked[10] << 16) | (asked[11] << 24)) + idDelta;
    SOCKET session = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in desktop = Loopback(desktopPort);
    Bytes first;
    PutU32(&first, id);
    if (connect(session, reinterpret_cast<sockaddr *>(&desktop), sizeof desktop) != 0 ||
        send(session, reinterpret_cast<const char *>(first.data()), 4, 0) != 4) {
        closesocket(session);
        return false;
    }
    sessionEnded_ = false;
    server_ = std::thread([this, session, script] {
        ServeSession(session, script);
        closesocket(session);
    });
    SOCKET control = control_;
    undocking_ = false;
    echoer_ = std::thread([this, control] {
        uint8_t word[4];
        const uint8_t echo[4] = {2, 0, 0, 0};
        while (ReceiveAll(control, word, 4, undocking_)) {
            if (word[0] == 1) send(control, reinterpret_cast<const char *>(echo), 4, 0);
        }
    });
    return true;
}

bool FakeDevice::SessionClosedWithin(DWORD timeoutMs) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(10)) {
        if (sessionEnded_) return true;
    }
    return false;
}

std::vector<uint32_t> FakeDevice::Commands() const {
    EnterCriticalSection(&lock_);
    std::vector<uint32_t> commands = commands_;
    LeaveCriticalSection(&lock_);
    return commands;
}

bool FakeDevice::Dock(uint16_t desktopPort, const Bytes &greeting, bool echo, const char *from) {
    control_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in desktop = Loopback(desktopPort);
    sockaddr_in local = Loopback(0);
    local.sin_addr.s_addr = inet_addr(from);
    bind(control_, reinterpret_cast<sockaddr *>(&local), sizeof local);
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
        if (!ReadableSoon(control_)) continue;
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

bool FakeDevice::ClosedWithin(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (control_ != INVALID_SOCKET && GetTickCount() - start < timeoutMs) {
        if (!ReadableSoon(control_)) continue;
        char piece[64];
        if (recv(control_, piece, sizeof piece, 0) <= 0) return true;
    }
    return false;
}

int Boxes(bool close) {
    struct Search {
        bool close;
        int found;
    } search = {close, 0};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            Search *search = reinterpret_cast<Search *>(context);
            DWORD process = 0;
            wchar_t title[64] = {};
            GetWindowThreadProcessId(window, &process);
            GetWindowTextW(window, title, 64);
            if (process != GetCurrentProcessId() || wcscmp(title, L"Windows CE device") != 0) return TRUE;
            ++search->found;
            if (search->close) PostMessageW(window, WM_CLOSE, 0, 0);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void CloseBoxes() {
    for (DWORD start = GetTickCount(); Boxes(true) > 0 && GetTickCount() - start < 3000;) Sleep(20);
}
