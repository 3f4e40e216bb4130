#include "rapi/net_link.h"
#include "rapi/startup.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "core/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/link.h"

namespace netlink {

namespace {

// The control channel's first word: below this an information block of
// that many bytes follows; from it on, a password challenge.
const uint32_t kChallengeFrom = rapi1::kPasswordChallengeBase;
// How long a docking device may take over its greeting, and how long its
// remote API port may take to open after it announced itself.
const DWORD kGreetingMs = 10000;
const DWORD kRapiPortMs = 5000;
const DWORD kSliceMs = 20;  // how often blocking waits look at the stop event
// A device that is linked but does not answer a call within this time is
// taken for gone; the second frame of a two-frame reply follows at once.
const DWORD kReplyMs = 60000;
const DWORD kTrailerMs = 2000;
const size_t kTrailerBytes = 64;
const DWORD kDirectRetryMs = 100;

// The start-up in progress or done, and the sockets it made.
struct Net {
    rapistartup::Startup run;      // its worker finds the device and pings it; its
                                   // `state` guards what follows but the socket use
    Choice choice;
    SOCKET listener = INVALID_SOCKET;
    SOCKET control = INVALID_SOCKET;
    SOCKET session = INVALID_SOCKET;
    HANDLE sessionNews = nullptr;  // set when the session's socket has bytes, room or an end
    bool mayHoldMore = false;      // the last receive filled the buffer: look again before waiting
    // Reply bytes received and not yet taken: inbox[inboxStart, inboxEnd).
    std::vector<uint8_t> inbox = std::vector<uint8_t>(64 * 1024);
    size_t inboxStart = 0, inboxEnd = 0;
    std::atomic<bool> lost{false};  // set by the watcher; the session is then shut down
    std::atomic<bool> stopping{false};  // CeRapiUninit is ending the start-up
};

Net &TheNet() {
    static Net *net = new Net();  // never destroyed: threads may outlive static destructors
    return *net;
}

bool Stopping(HANDLE stop) { return WaitForSingleObject(stop, 0) != WAIT_TIMEOUT; }

// The session's socket is non-blocking with an event, waited on in short
// slices after which the wait looks at the link's state: ending the
// start-up or losing the device ends a call waiting for its reply. Under
// Wine a blocking receive, or asking a socket what it holds, costs extra
// wineserver round trips; waiting for the event and then receiving costs
// the fewest. Replies are read through a buffer, so that a small reply
// costs one receive, length and body.
const DWORD kReceiveSliceMs = 250;

// Until the session's socket has news (true), or the slice is over.
bool AwaitSession(Net &net) { return WaitForSingleObject(net.sessionNews, kReceiveSliceMs) == WAIT_OBJECT_0; }

// Flags only: this is asked on every round trip, and an event's state
// would cost a call into the system each time.
bool Linked(Net &net) { return !net.lost && !net.stopping; }

// Makes the session's buffer hold at least `needed` bytes.
bool Fill(Net &net, SOCKET socket, size_t needed, DWORD start, DWORD timeoutMs) {
    if (net.inboxEnd - net.inboxStart >= needed) return true;
    if (net.inboxStart > 0) {
        memmove(net.inbox.data(), net.inbox.data() + net.inboxStart, net.inboxEnd - net.inboxStart);
        net.inboxEnd -= net.inboxStart;
        net.inboxStart = 0;
    }
    if (net.inbox.size() < needed) net.inbox.resize(needed);
    while (net.inboxEnd < needed) {
        if (!Linked(net)) return false;
        if (net.mayHoldMore || AwaitSession(net)) {
            const int room = static_cast<int>(net.inbox.size() - net.inboxEnd);
            int got = recv(socket, reinterpret_cast<char *>(net.inbox.data() + net.inboxEnd), room, 0);
            net.mayHoldMore = got == room;
            if (got > 0) {
                net.inboxEnd += static_cast<size_t>(got);
                continue;
            }
            if (got == 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
        }
        if (GetTickCount() - start >= timeoutMs) {
            calllog::Event("no reply from the device within %lu ms", static_cast<unsigned long>(timeoutMs));
            return false;
        }
    }
    return true;
}

bool SendLinked(Net &net, SOCKET socket, const void *data, size_t count) {
    const char *at = static_cast<const char *>(data);
    while (count > 0) {
        if (!Linked(net)) return false;
        int sent = send(socket, at, static_cast<int>(count), 0);
        if (sent > 0) {
            at += sent;
            count -= static_cast<size_t>(sent);
        } else if (sent == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return false;
        } else {
            // The socket's buffer is full. The wait may take the news of
            // bytes that arrived meanwhile, so the next receive looks first.
            AwaitSession(net);
            net.mayHoldMore = true;
        }
    }
    return true;
}

// Waits until `socket` can be read (true), or the time is up, the socket
// fails or `stop` is set (false).
bool AwaitReadable(SOCKET socket, HANDLE stop, DWORD timeoutMs) {
    DWORD waited = 0;
    for (;;) {
        if (Stopping(stop)) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket, &readable);
        DWORD slice = timeoutMs - waited < kSliceMs ? timeoutMs - waited : kSliceMs;
        timeval wait = {0, static_cast<long>(slice) * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready < 0) return false;
        if (ready > 0) return true;
        waited += slice;
        if (waited >= timeoutMs) return false;
    }
}

// Receives exactly `count` bytes, each piece within timeoutMs.
bool ReceiveWithin(SOCKET socket, void *data, size_t count, HANDLE stop, DWORD timeoutMs) {
    char *at = static_cast<char *>(data);
    while (count > 0) {
        if (!AwaitReadable(socket, stop, timeoutMs)) return false;
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


uint32_t U32At(const uint8_t *bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void CloseSocket(SOCKET *socket) {
    if (*socket != INVALID_SOCKET) closesocket(*socket);
    *socket = INVALID_SOCKET;
}

// Small frames must leave at once rather than wait for more to coalesce.
void SendAtOnce(SOCKET socket) {
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

bool Resolve(const std::string &host, uint16_t port, sockaddr_in *address) {
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    if (host.empty()) {
        address->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    address->sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

std::string Describe(const sockaddr_in &address) {
    char text[64];
    const uint8_t *ip = reinterpret_cast<const uint8_t *>(&address.sin_addr);
    snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], ntohs(address.sin_port));
    return text;
}

// Connects to a device's remote API port; INVALID_SOCKET when it does not answer.
SOCKET ConnectTo(const sockaddr_in &address) {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) return socket;
    if (connect(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        closesocket(socket);
        return INVALID_SOCKET;
    }
    SendAtOnce(socket);
    return socket;
}

// ---- The control channel

std::string Utf8(const std::wstring &text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

// Checks the device's information block (every offset must point inside
// it, every string end inside it) and describes the device.
bool ReadInfoBlock(const uint8_t *block, uint32_t size, std::string *description) {
    rapi1::DeviceInfo info;
    if (!rapi1::ParseInfoBlock(block, size, &info)) return false;
    char text[512];
    snprintf(text, sizeof text, "\"%s\" (%s, %s), OS %u.%u build %u, processor %u", Utf8(info.name).c_str(),
             Utf8(info.platform).c_str(), Utf8(info.model).c_str(), info.major, info.minor, info.build,
             info.processor);
    *description = text;
    return true;
}

DWORD WINAPI ShowUserMessage(void *message) {
    MessageBoxW(nullptr, static_cast<const wchar_t *>(message), L"Windows CE device",
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST);
    return 0;
}

// Tells the user plainly why a device that docked cannot be used, from a
// thread of its own so that the listener keeps listening.
void TellUser(const wchar_t *text) {
    fwprintf(stderr, L"rapi.dll: %ls\n", text);
    HANDLE thread = CreateThread(nullptr, 0, ShowUserMessage, const_cast<wchar_t *>(text), 0, nullptr);
    if (thread) CloseHandle(thread);
}

const wchar_t kPasswordNeeded[] =
    L"The device that docked is protected by a password.\n\n"
    L"Remove the password on the device (Settings, Password), or give it in the "
    L"RAPI_PASSWORD environment variable before starting setup, then dock the device again.";
const wchar_t kPasswordRefused[] =
    L"The device refused the password in the RAPI_PASSWORD environment variable.\n\n"
    L"Correct the variable, or remove the password on the device, then dock the device again.";

// RAPI_PASSWORD as a device wants it after a challenge with `key`: a u16
// byte count, then the UTF-16LE password with its terminator, every byte
// XOR the key. Empty when the variable is not set.
std::vector<uint8_t> PasswordAnswer(uint8_t key) {
    wchar_t password[256];
    DWORD length = GetEnvironmentVariableW(L"RAPI_PASSWORD", password, 256);
    if (length == 0 || length >= 256) return std::vector<uint8_t>();
    std::vector<uint8_t> encoded = rapi1::EncodePassword(std::wstring(password, length), key);
    SecureZeroMemory(password, sizeof password);
    uint16_t bytes = static_cast<uint16_t>(encoded.size());
    std::vector<uint8_t> answer = {static_cast<uint8_t>(bytes), static_cast<uint8_t>(bytes >> 8)};
    answer.insert(answer.end(), encoded.begin(), encoded.end());
    SecureZeroMemory(encoded.data(), encoded.size());
    return answer;
}

// Answers the control channel's password challenge; true when the device
// accepts the password (a non-zero u16).
bool AnswerChallenge(SOCKET control, uint8_t key, HANDLE stop) {
    std::vector<uint8_t> answer = PasswordAnswer(key);
    if (answer.empty()) {
        calllog::Event("the device asks for a password and RAPI_PASSWORD is not set");
        TellUser(kPasswordNeeded);
        return false;
    }
    uint8_t verdict[2] = {0, 0};
    bool sent = SendAll(control, answer.data(), answer.size());
    SecureZeroMemory(answer.data(), answer.size());
    if (!sent || !ReceiveWithin(control, verdict, 2, stop, kGreetingMs)) return false;
    if ((verdict[0] | verdict[1]) == 0) {
        calllog::Event("the device refused the password of RAPI_PASSWORD");
        TellUser(kPasswordRefused);
        return false;
    }
    calllog::Event("the device accepted the password");
    return true;
}

// Reads the greeting of a docking device: a password challenge when it has
// a password, then its information block; the challenge is answered once
// the device announced itself. True when the device is ready to serve;
// `*key` is then the challenge's key, or -1 for a device without password.
bool Greet(SOCKET control, HANDLE stop, int *key) {
    *key = -1;
    for (;;) {
        uint8_t word[4];
        if (!ReceiveWithin(control, word, 4, stop, kGreetingMs)) return false;
        uint32_t header = U32At(word);
        if (header == 0) continue;  // no block yet
        if (header >= kChallengeFrom) {
            *key = static_cast<int>(header & 0xFF);
            continue;
        }
        std::vector<uint8_t> block(header);
        std::string description;
        if (!ReceiveWithin(control, block.data(), header, stop, kGreetingMs)) return false;
        if (!ReadInfoBlock(block.data(), header, &description)) {
            calllog::Event("a device sent an information block that does not hold together (%u bytes); ignored",
                           header);
            return false;
        }
        calllog::Event("device announced: %s%s", description.c_str(), *key >= 0 ? ", with a password" : "");
        return *key < 0 || AnswerChallenge(control, static_cast<uint8_t>(*key), stop);
    }
}

// A device with a password wants it again at the start of each remote API
// session, and answers with one byte (non-zero: accepted).
bool Unlock(SOCKET session, uint8_t key, HANDLE stop) {
    std::vector<uint8_t> answer = PasswordAnswer(key);
    uint8_t verdict = 0;
    bool sent = !answer.empty() && SendAll(session, answer.data(), answer.size());
    SecureZeroMemory(answer.data(), answer.size());
    bool accepted = sent && ReceiveWithin(session, &verdict, 1, stop, kGreetingMs) && verdict != 0;
    if (!accepted) calllog::Event("the device refused the remote API session's password");
    return accepted;
}

// Opens the remote API session to the device at the control connection's
// source address (and unlocks it with the password, when there is one).
SOCKET OpenSessionTo(SOCKET control, uint16_t port, int key, HANDLE stop) {
    sockaddr_in device = {};
    int size = sizeof device;
    if (getpeername(control, reinterpret_cast<sockaddr *>(&device), &size) != 0) return INVALID_SOCKET;
    device.sin_port = htons(port);
    DWORD start = GetTickCount();
    for (;;) {
        SOCKET session = ConnectTo(device);
        if (session != INVALID_SOCKET) {
            if (key >= 0 && !Unlock(session, static_cast<uint8_t>(key), stop)) {
                closesocket(session);
                return INVALID_SOCKET;
            }
            calllog::Event("remote API session open to %s", Describe(device).c_str());
            return session;
        }
        if (GetTickCount() - start > kRapiPortMs || Stopping(stop)) break;
        WaitForSingleObject(stop, kSliceMs);
    }
    calllog::Event("the device's remote API port %s does not answer", Describe(device).c_str());
    return INVALID_SOCKET;
}

// The device is gone: every later call fails with "device not connected".
void MarkLost(Net &net, const char *why) {
    if (net.lost.exchange(true)) return;
    calllog::Event("device lost: %s", why);
    SectionGuard lock(net.run.state);
    // Wakes a call that waits for its reply; the socket is closed at the end.
    if (net.session != INVALID_SOCKET) shutdown(net.session, SD_BOTH);
}

// Pings the docked device every few seconds; three pings without an echo,
// or a broken control channel, mean it is gone.
void Watch(Net &net, SOCKET control) {
    // The control socket signals an event when the device sends something
    // or goes; between pings the watcher sleeps on it and the stop event.
    WSAEVENT readable = WSACreateEvent();
    WSAEventSelect(control, readable, FD_READ | FD_CLOSE);
    int unanswered = 0;
    DWORD lastPing = GetTickCount();
    HANDLE events[2] = {readable, net.run.stopEvent};
    while (!net.stopping && !net.lost) {
        DWORD now = GetTickCount();
        if (now - lastPing >= kPingIntervalMs) {
            if (unanswered >= kMissedPingsForGone) {
                MarkLost(net, "three pings without an echo");
                break;
            }
            uint8_t ping[4] = {0x78, 0x56, 0x34, 0x12};
            if (!SendAll(control, ping, 4)) {
                MarkLost(net, "the control channel broke");
                break;
            }
            ++unanswered;
            lastPing = now;
            continue;
        }
        DWORD which = WaitForMultipleObjects(2, events, FALSE, kPingIntervalMs - (now - lastPing));
        if (which != WAIT_OBJECT_0) continue;
        WSAResetEvent(readable);
        uint8_t word[4];
        int got = recv(control, reinterpret_cast<char *>(word), 4, MSG_PEEK);
        if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
        if (got < 4 && got > 0) continue;  // the rest of the word is on its way
        if (got <= 0 || recv(control, reinterpret_cast<char *>(word), 4, 0) != 4) {
            if (!net.stopping) MarkLost(net, "the control channel broke");
            break;
        }
        if (U32At(word) == rapi1::kPing) unanswered = 0;
    }
    WSAEventSelect(control, nullptr, 0);
    WSACloseEvent(readable);
}

// Publishes the session and tells the caller; false when the start-up was
// ended meanwhile (the caller's record is then no longer ours).
bool Announce(Net &net, SOCKET control, SOCKET session, HRESULT result) {
    SectionGuard lock(net.run.state);
    if (net.run.ending) return false;
    net.control = control;
    net.session = session;
    if (session != INVALID_SOCKET &&
        (!net.sessionNews || WSAEventSelect(session, net.sessionNews, FD_READ | FD_WRITE | FD_CLOSE) != 0)) {
        calllog::Event("cannot watch the remote API session (error %d)", WSAGetLastError());
        closesocket(session);
        net.session = session = INVALID_SOCKET;
        result = HRESULT_FROM_WIN32(rapilink::kNoDevice);
    }
    net.inboxStart = net.inboxEnd = 0;
    net.mayHoldMore = false;
    net.lost = session == INVALID_SOCKET;
    rapistartup::Report(net.run, result);
    return true;
}

// RAPI_DESKTOP: waits for a device to dock, greets it, opens the session.
void AttendListening(Net &net) {
    while (!Stopping(net.run.stopEvent)) {
        if (!AwaitReadable(net.listener, net.run.stopEvent, INFINITE)) continue;
        sockaddr_in from = {};
        int size = sizeof from;
        SOCKET control = accept(net.listener, reinterpret_cast<sockaddr *>(&from), &size);
        if (control == INVALID_SOCKET) continue;
        SendAtOnce(control);
        calllog::Event("a device docks from %s", Describe(from).c_str());
        SOCKET session = INVALID_SOCKET;
        int key = -1;
        if (Greet(control, net.run.stopEvent, &key)) {
            session = OpenSessionTo(control, net.choice.devicePort, key, net.run.stopEvent);
        }
        if (session == INVALID_SOCKET) {
            closesocket(control);
            continue;  // the next device that docks may do better
        }
        if (!Announce(net, control, session, S_OK)) {
            closesocket(session);
            closesocket(control);
            return;
        }
        Watch(net, control);
        return;
    }
}

// RAPI_DEVICE: connects straight to the device's remote API port until it answers.
void AttendDirect(Net &net) {
    sockaddr_in device;
    if (!Resolve(net.choice.host, net.choice.port, &device)) {
        calllog::Event("RAPI_DEVICE: cannot resolve \"%s\"", net.choice.host.c_str());
        return;
    }
    while (!Stopping(net.run.stopEvent)) {
        SOCKET session = ConnectTo(device);
        if (session != INVALID_SOCKET) {
            calllog::Event("remote API session open to %s", Describe(device).c_str());
            if (!Announce(net, INVALID_SOCKET, session, S_OK)) closesocket(session);
            return;
        }
        WaitForSingleObject(net.run.stopEvent, kDirectRetryMs);
    }
}

DWORD WINAPI Attend(void *) {
    Net &net = TheNet();
    if (net.choice.transport == Transport::kListen) {
        AttendListening(net);
    } else {
        AttendDirect(net);
    }
    return 0;
}

SOCKET Listen(const Choice &choice, HRESULT *failure) {
    sockaddr_in address;
    if (!Resolve(choice.host, choice.port, &address)) {
        *failure = HRESULT_FROM_WIN32(WSAHOST_NOT_FOUND);
        return INVALID_SOCKET;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0) {
        *failure = HRESULT_FROM_WIN32(WSAGetLastError());
        calllog::Event("cannot listen on %s (error %d)", Describe(address).c_str(), WSAGetLastError());
        if (listener != INVALID_SOCKET) closesocket(listener);
        return INVALID_SOCKET;
    }
    calllog::Event("listening for devices on %s", Describe(address).c_str());
    return listener;
}

}  // namespace

bool ParseAddress(const std::string &text, uint16_t defaultPort, std::string *host, uint16_t *port) {
    size_t colon = text.rfind(':');
    *host = text.substr(0, colon);
    *port = defaultPort;
    if (colon == std::string::npos) return true;
    std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long value = strtoul(digits.c_str(), nullptr, 10);
    if (value == 0 || value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

Choice ChooseFromEnvironment() {
    Choice choice;
    char text[512];
    DWORD length = GetEnvironmentVariableA("RAPI_DEVICE", text, sizeof text);
    if (length > 0 && length < sizeof text) {
        choice.transport = Transport::kDirect;
        if (!ParseAddress(text, rapi1::kRapiPort, &choice.host, &choice.port) || choice.host.empty()) {
            choice.problem = std::string("RAPI_DEVICE=") + text + ": expected HOST[:PORT]";
        }
        return choice;
    }
    length = GetEnvironmentVariableA("RAPI_DESKTOP", text, sizeof text);
    bool desktop = length < sizeof text && (length > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND);
    if (!desktop) return choice;
    text[length] = '\0';
    choice.transport = Transport::kListen;
    if (!ParseAddress(text, rapi1::kDesktopPort, &choice.host, &choice.port)) {
        choice.problem = std::string("RAPI_DESKTOP=") + text + ": expected [ADDRESS][:PORT]";
    }
    length = GetEnvironmentVariableA("RAPI_DEVICE_PORT", text, sizeof text);
    if (length > 0 && length < sizeof text) {
        std::string ignored;
        if (!ParseAddress(std::string(":") + text, rapi1::kRapiPort, &ignored, &choice.devicePort)) {
            choice.problem = std::string("RAPI_DEVICE_PORT=") + text + ": expected a port number";
        }
    }
    return choice;
}

HRESULT BeginStartup(RAPIINIT *record, const Choice &choice) {
    if (!record || record->cbSize != sizeof(RAPIINIT)) return E_INVALIDARG;
    if (!choice.problem.empty()) {
        calllog::Event("%s", choice.problem.c_str());
        return E_INVALIDARG;
    }
    Net &net = TheNet();
    SectionGuard lock(net.run.state);
    if (net.run.started) return rapistartup::kAlreadyStarted;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return E_FAIL;
    HRESULT failure = S_OK;
    if (choice.transport == Transport::kListen) {
        net.listener = Listen(choice, &failure);
        if (net.listener == INVALID_SOCKET) {
            WSACleanup();
            return failure;
        }
    }
    net.choice = choice;
    net.sessionNews = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    net.stopping = false;
    net.lost = true;  // until a session is open
    HRESULT launched = rapistartup::Launch(net.run, record, Attend);
    if (FAILED(launched)) {
        if (net.sessionNews) CloseHandle(net.sessionNews);
        net.sessionNews = nullptr;
        CloseSocket(&net.listener);
        WSACleanup();
    }
    return launched;
}

namespace {

void WakeWaitingCall() {
    Net &net = TheNet();
    net.stopping = true;
    if (net.session != INVALID_SOCKET) shutdown(net.session, SD_BOTH);
}

void CloseSockets() {
    Net &net = TheNet();
    CloseSocket(&net.session);
    CloseSocket(&net.control);
    CloseSocket(&net.listener);
    if (net.sessionNews) CloseHandle(net.sessionNews);
    net.sessionNews = nullptr;
    net.lost = true;
    WSACleanup();
    calllog::Event("ended");
}

}  // namespace

HRESULT End() { return rapistartup::End(TheNet().run, rapistartup::EndHooks{WakeWaitingCall, CloseSockets}); }

bool InUse() {
    Net &net = TheNet();
    SectionGuard lock(net.run.state);
    return net.run.started;
}

namespace {

// Receives one frame body of at most maxBody bytes.
bool ReceiveFrame(Net &net, SOCKET session, size_t maxBody, std::vector<uint8_t> *body, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    if (!Fill(net, session, 4, start, timeoutMs)) return false;
    uint32_t length = U32At(net.inbox.data() + net.inboxStart);
    if (length > maxBody) {
        calllog::Event("the device answered %u bytes where at most %u fit", length, static_cast<unsigned>(maxBody));
        return false;
    }
    if (!Fill(net, session, 4 + size_t(length), start, timeoutMs)) return false;
    const uint8_t *at = net.inbox.data() + net.inboxStart + 4;
    body->assign(at, at + length);
    net.inboxStart += 4 + size_t(length);
    return true;
}

}  // namespace

bool Call(const std::vector<uint8_t> &frame, size_t maxReply, std::vector<uint8_t> *reply, int trailingFrames) {
    Net &net = TheNet();
    SectionGuard calls(net.run.calls);
    SOCKET session;
    {
        SectionGuard lock(net.run.state);
        session = net.lost ? INVALID_SOCKET : net.session;
    }
    reply->clear();
    if (session == INVALID_SOCKET) {
        rapilink::SetLastError(rapilink::kNoDevice);
        return false;
    }
    std::vector<uint8_t> trailer;
    bool ok = SendLinked(net, session, frame.data(), frame.size()) &&
              ReceiveFrame(net, session, maxReply, reply, kReplyMs);
    for (int i = 0; ok && i < trailingFrames; ++i) ok = ReceiveFrame(net, session, kTrailerBytes, &trailer, kTrailerMs);
    if (!ok) {
        MarkLost(net, "the remote API session broke or sent more than the call allows");
        rapilink::SetLastError(rapilink::kNoDevice);
        reply->clear();
    }
    return ok;
}

void Drop(const char *why) { MarkLost(TheNet(), why); }

}  // namespace netlink
