#include "serve/network_service.h"

#include <ws2tcpip.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <vector>

#include "model/device.h"
#include "model/text_util.h"
#include "protocol/rapi1.h"
#include "serve/link_speed.h"
#include "serve/rapi1_translator.h"
#include "serve/rapi2_translator.h"
#include "serve/session_link.h"
#include "serve/session_loop.h"
#include "serve/socket_util.h"

namespace {

const DWORD kRetryMs = 3000;        // between attempts to reach the desktop
const uint16_t kMaxPasswordBytes = 1024;

bool Resolve(const NetworkService::Endpoint &endpoint, sockaddr_in *address) {
    return ResolveAddress(endpoint.host, endpoint.port, address);
}

bool SendAll(SOCKET socket, const uint8_t *data, size_t count) { return SendWhole(socket, data, count); }

void PutU32(std::vector<uint8_t> *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

enum class Password { kAccepted, kRefused, kBroken };

// Judges a password (u16 byte count, the encoded bytes) and says whether
// it is right; a count above any password's breaks the link.
Password JudgePassword(const uint8_t count[2], const std::function<bool(uint8_t *, size_t)> &receive,
                       const std::wstring &password, uint8_t key) {
    uint16_t size = static_cast<uint16_t>(count[0] | (count[1] << 8));
    if (size > kMaxPasswordBytes) return Password::kBroken;
    std::vector<uint8_t> sent(size);
    if (size && !receive(sent.data(), size)) return Password::kBroken;
    return sent == rapi1::EncodePassword(password, key) ? Password::kAccepted : Password::kRefused;
}

// Whether session `a` makes way before session `b` when room is needed.
bool MakesWayBefore(const SessionState &a, const SessionState &b, DWORD now) {
    if (a.served != b.served) return !a.served;
    return now - a.lastHeard > now - b.lastHeard;
}

}  // namespace

bool NetworkService::ParseEndpoint(const std::string &text, uint16_t defaultPort, Endpoint *endpoint) {
    size_t colon = text.rfind(':');
    endpoint->host = text.substr(0, colon);
    endpoint->port = defaultPort;
    if (colon != std::string::npos) {
        uint64_t port = 0;
        if (!ParseUnsigned(text.substr(colon + 1), &port) || port > 65535) return false;
        endpoint->port = static_cast<uint16_t>(port);
    }
    return !endpoint->host.empty() && endpoint->host.find(':') == std::string::npos;
}

NetworkService::NetworkService(Device &device, LinkSpeed &link, const Endpoint &rapi, const Endpoint &desktop,
                               bool bareRapi2)
    : device_(device), link_(link), rapi_(rapi), desktop_(desktop), bareRapi2_(bareRapi2) {}

NetworkService::~NetworkService() { Stop(); }

bool NetworkService::Start(std::string *error) {
    if (stop_) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *error = "no network (WSAStartup failed)";
        return false;
    }
    winsock_ = true;
    std::string where = rapi_.host + ":" + std::to_string(rapi_.port);
    std::string problem;
    if (!Resolve(rapi_, &rapiAddress_)) {
        problem = "unknown address " + rapi_.host;
    } else if ((listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) == INVALID_SOCKET) {
        problem = "cannot make a socket (error " + std::to_string(WSAGetLastError()) + ")";
    } else if (bind(listener_, reinterpret_cast<sockaddr *>(&rapiAddress_), sizeof rapiAddress_) != 0 ||
               listen(listener_, SOMAXCONN) != 0) {
        int code = WSAGetLastError();
        problem = code == WSAEADDRINUSE    ? "port " + where + " is in use"
                 : code == WSAEACCES      ? "no right to port " + where + " (ports below 1024 need privileges)"
                 : code == WSAEADDRNOTAVAIL ? "address " + rapi_.host + " is not one of this machine's"
                                            : "cannot listen on " + where + " (error " + std::to_string(code) + ")";
    }
    if (!problem.empty()) {
        *error = problem;
        Stop();
        return false;
    }
    int length = sizeof rapiAddress_;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&rapiAddress_), &length);
    port_ = ntohs(rapiAddress_.sin_port);
    undocking_ = false;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    accept_ = WSACreateEvent();
    WSAEventSelect(listener_, accept_, FD_ACCEPT);
    passwordKey_ = static_cast<uint8_t>(1 + GetTickCount() % 255);
    device_.Note(std::string(bareRapi2_ ? "bare Windows Mobile remote API sessions" : "remote API") + " served on " +
                 AddressText(rapiAddress_));
    listenThread_ = std::thread(&NetworkService::Listen, this);
    if (!desktop_.host.empty() && !bareRapi2_) desktopThread_ = std::thread(&NetworkService::RunDesktopLink, this);
    return true;
}

void NetworkService::Stop() {
    if (stop_) {
        undocking_ = true;
        SetEvent(stop_);
        listenThread_.join();
        // Pulling the device out: every session breaks at once. A waiting
        // session wakes on the stop event; shutting the sockets down ends
        // a busy one at its next send and tells every client.
        for (int attempt = 0; attempt < 200; ++attempt) {
            std::lock_guard<std::mutex> lock(lock_);
            bool running = false;
            for (ServedSession &session : sessions_) {
                if (session.state->done) continue;
                running = true;
                shutdown(session.socket, SD_BOTH);
            }
            if (control_ != INVALID_SOCKET) shutdown(control_, SD_BOTH);
            if (!running) break;
            Sleep(10);
        }
        ReapSessions(true);
        if (desktopThread_.joinable()) desktopThread_.join();
        WSACloseEvent(accept_);
        CloseHandle(stop_);
        stop_ = nullptr;
        device_.Note("remote API no longer served (undocked)");
    }
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    listener_ = INVALID_SOCKET;
    if (winsock_) WSACleanup();
    winsock_ = false;
    port_ = 0;
    desktopReady_ = false;
}

void NetworkService::Listen() {
    HANDLE events[2] = {accept_, stop_};
    for (;;) {
        DWORD which = WaitForMultipleObjects(2, events, FALSE, 1000);
        if (which == WAIT_OBJECT_0 + 1 || which == WAIT_FAILED) break;
        WSANETWORKEVENTS happened;
        WSAEnumNetworkEvents(listener_, accept_, &happened);
        // Everything waiting is taken first. Of more than kMaxSessions
        // waiting at once, the oldest would only make way for the newer
        // ones: they are closed unserved, and cost no session.
        std::deque<std::pair<SOCKET, sockaddr_in>> waiting;
        size_t unserved = 0;
        for (;;) {
            sockaddr_in peer = {};
            int length = sizeof peer;
            SOCKET client = accept(listener_, reinterpret_cast<sockaddr *>(&peer), &length);
            if (client == INVALID_SOCKET) break;  // none left waiting
            waiting.emplace_back(client, peer);
            if (waiting.size() <= kMaxSessions) continue;
            closesocket(waiting.front().first);
            waiting.pop_front();
            ++unserved;
        }
        if (unserved) {
            device_.Note(std::to_string(unserved + kMaxSessions) + " connections at once: the oldest " +
                         std::to_string(unserved) + " closed unserved (" + std::to_string(kMaxSessions) +
                         " sessions at once at most)");
        }
        for (const auto &client : waiting) {
            Admit(client.first, client.second);
            ReapSessions(false);
        }
        ReapSessions(false);
    }
}

// Starts a session for a new client; when kMaxSessions are served already,
// one is told to end to make room: of those that never completed a call the
// one silent longest, else the one silent longest of all.
void NetworkService::Admit(SOCKET client, const sockaddr_in &peer) {
    // Accepted sockets inherit the listener's event selection; the
    // session replaces it with its own.
    SendAtOnce(client);
    auto state = std::make_shared<SessionState>();
    state->news = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state->lastHeard = GetTickCount();
    std::lock_guard<std::mutex> lock(lock_);
    ServedSession *quietest = nullptr;
    size_t serving = 0;
    DWORD now = GetTickCount();
    for (ServedSession &session : sessions_) {
        if (session.state->done || session.state->closing) continue;
        ++serving;
        if (!quietest || MakesWayBefore(*session.state, *quietest->state, now)) quietest = &session;
    }
    if (serving >= kMaxSessions && quietest) {
        quietest->state->closing = true;
        shutdown(quietest->socket, SD_BOTH);
        if (quietest->state->news) SetEvent(quietest->state->news);
        device_.Note("[" + std::to_string(quietest->state->number) + "] session closed to make room for one from " +
                     AddressText(peer) + ": " + std::to_string(kMaxSessions) +
                     " sessions at once at most, and it " +
                     (quietest->state->served ? "was silent longest" : "had completed no call"));
    }
    sessions_.push_back(ServedSession{std::thread(&NetworkService::RunSession, this, client, AddressText(peer), state),
                                client, state});
}

void NetworkService::RunSession(SOCKET socket, std::string peer, std::shared_ptr<SessionState> state) {
    uint32_t session = device_.OpenSession();
    state->number = session;
    std::string name = "[" + std::to_string(session) + "] ";
    device_.Note(name + "network session from " + peer);
    // The bare sessions of the newer protocol carry no password: the
    // handshake that would ask for it is not theirs.
    std::wstring password = bareRapi2_ ? std::wstring() : device_.Introduce().password;
    SessionLink link(socket, undocking_, *state);
    bool serving = true;
    if (!password.empty()) {
        // The session's first bytes are the password; one byte answers it.
        uint8_t count[2];
        auto receive = [&link](uint8_t *data, size_t size) { return link.ReceiveAll(data, size); };
        Password answer = link.ReceiveAll(count, 2) ? JudgePassword(count, receive, password, passwordKey_)
                                                    : Password::kBroken;
        uint8_t reply = answer == Password::kAccepted ? 1 : 0;
        if (answer != Password::kBroken) link.SendAll(&reply, 1);
        device_.Note(name + (answer == Password::kAccepted  ? "password accepted"
                             : answer == Password::kRefused ? "wrong password: session closed"
                                                            : "no password sent: session closed"));
        serving = answer == Password::kAccepted;
    }
    if (serving) {
        ServeFrames(device_, link_, link, *state, undocking_, session, name,
                    bareRapi2_ ? ServeRapi2Request : ServeRapi1Request);
    }
    // The socket itself is closed by whoever joins this thread, so that
    // its handle cannot be reused while the service may still shut it.
    shutdown(socket, SD_BOTH);
    device_.CloseSession(session);
    device_.Note(name + "network session ended");
    state->done = true;
}

void NetworkService::ReapSessions(bool all) { ReapServedSessions(lock_, sessions_, all); }

void NetworkService::RunDesktopLink() {
    sockaddr_in desktop = {};
    std::string where = desktop_.host + ":" + std::to_string(desktop_.port);
    if (!Resolve(desktop_, &desktop)) {
        device_.Note("control channel: unknown desktop address " + desktop_.host);
        return;
    }
    bool reported = false;
    while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        // From the device's own address: the desktop takes the remote API
        // to be at the source of this connection.
        sockaddr_in local = rapiAddress_;
        local.sin_port = 0;
        {
            std::lock_guard<std::mutex> lock(lock_);
            control_ = link;
        }
        bool connected = link != INVALID_SOCKET &&
                         bind(link, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
                         connect(link, reinterpret_cast<sockaddr *>(&desktop), sizeof desktop) == 0;
        int code = WSAGetLastError();
        if (connected && WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
            reported = false;
            SendAtOnce(link);
            device_.Note("control channel: connected to the desktop at " + where);
            TalkToDesktop(link);
            desktopReady_ = false;
            device_.Note("control channel: closed");
        } else if (!connected && !reported) {
            device_.Note("control channel: no desktop listening at " + where + " (error " + std::to_string(code) + ")" +
                         (forgiving_ ? "; trying again every " + std::to_string(kRetryMs / 1000) + " s (forgiving)"
                                     : "; not docked until the device is re-seated"));
            reported = true;
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            control_ = INVALID_SOCKET;
        }
        if (link != INVALID_SOCKET) closesocket(link);
        if (!forgiving_) break;
        WaitForSingleObject(stop_, kRetryMs);
    }
}

// The device speaks first: a password challenge when it has a password,
// then its information block; then it echoes every ping.
void NetworkService::TalkToDesktop(SOCKET link) {
    Device::Introduction introduction = device_.Introduce();
    rapi1::DeviceInfo info;
    info.major = static_cast<uint8_t>(introduction.major);
    info.minor = static_cast<uint8_t>(introduction.minor);
    info.build = static_cast<uint16_t>(introduction.build);
    info.processor = static_cast<uint16_t>(introduction.processor);
    info.name = introduction.name;
    info.platform = introduction.platform;
    info.model = introduction.model;
    std::vector<uint8_t> block = rapi1::InfoBlock(info);
    std::vector<uint8_t> hello;
    bool locked = !introduction.password.empty();
    if (locked) PutU32(&hello, rapi1::kPasswordChallengeBase | passwordKey_);
    PutU32(&hello, static_cast<uint32_t>(block.size()));
    hello.insert(hello.end(), block.begin(), block.end());
    if (!SendAll(link, hello.data(), hello.size())) return;
    device_.Note("control channel: information block sent (" + WideToUtf8(info.name) + ", " +
                 WideToUtf8(info.platform) + ", " + WideToUtf8(info.model) + ")" +
                 (locked ? ", then a password challenge" : ""));
    while (locked) {
        uint8_t count[2];
        auto receive = [&](uint8_t *data, size_t size) { return ReceiveWhole(link, data, size, stop_); };
        if (!receive(count, 2)) return;
        Password answer = JudgePassword(count, receive, introduction.password, passwordKey_);
        uint8_t reply[2] = {static_cast<uint8_t>(answer == Password::kAccepted ? 1 : 0), 0};
        if (answer == Password::kBroken || !SendAll(link, reply, 2)) return;
        device_.Note(answer == Password::kAccepted ? "control channel: password accepted"
                                                   : "control channel: wrong password");
        locked = answer != Password::kAccepted;
    }
    desktopReady_ = true;
    for (;;) {
        uint8_t word[4];
        if (!ReceiveWhole(link, word, 4, stop_)) return;
        uint32_t value = word[0] | (word[1] << 8) | (word[2] << 16) | (static_cast<uint32_t>(word[3]) << 24);
        if (value == rapi1::kPing) {
            if (!SendAll(link, word, 4)) return;
        } else if (value != 0) {
            char text[16];
            snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
            device_.Note(std::string("control channel: ") + text + " is no ping: ignored");
        }
    }
}
