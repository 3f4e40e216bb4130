#include "serve/rapi2_dock.h"

#include <string.h>

#include <vector>

#include "model/text_util.h"
#include "protocol/little_endian.h"
#include "protocol/rapi2.h"
#include "serve/link_speed.h"
#include "serve/rapi2_translator.h"
#include "serve/session_link.h"
#include "serve/session_loop.h"
#include "serve/socket_util.h"

namespace {

bool SendWords(SOCKET socket, std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) AppendU32(&bytes, word);
    return SendWhole(socket, bytes.data(), bytes.size());
}

// A word of the desktop; with `within` ms, only if it comes that soon.
bool ReceiveWord(SOCKET socket, HANDLE stop, uint32_t *word, DWORD within = 0) {
    uint8_t bytes[4];
    if (!ReceiveWhole(socket, bytes, 4, stop, within ? GetTickCount() + within : 0)) return false;
    *word = LoadU32(bytes);
    return true;
}

// The key the block carries: none without a password, the unlock on the
// device's own screen when its user is to unlock it, else an XOR key
// (its low byte, never 0, is what the desktop uses).
uint32_t KeyFor(const Device::Introduction &introduction) {
    if (introduction.password.empty()) return rapi2::kKeyNone;
    if (introduction.unlockAfterMs >= 0) return rapi2::kKeyUnlockOnDevice;
    return 0x5A5A5A00u | (1 + GetTickCount() % 255);
}

// The device's GUID, the same for every docking of the same image.
void GuidOf(const std::wstring &image, uint8_t (&guid)[16]) {
    uint32_t hash = 2166136261u;
    for (int i = 0; i < 16; ++i) {
        for (wchar_t unit : image) hash = (hash ^ static_cast<uint32_t>(unit + i)) * 16777619u;
        guid[i] = static_cast<uint8_t>(hash >> 8);
    }
}

}  // namespace

Rapi2Dock::Rapi2Dock(Device &device, LinkSpeed &link, const NetworkService::Endpoint &device_address,
                     const NetworkService::Endpoint &desktop)
    : device_(device), link_(link), from_(device_address), desktop_(desktop) {}

Rapi2Dock::~Rapi2Dock() { Stop(); }

bool Rapi2Dock::Start(std::string *error) {
    if (stop_) return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        *error = "no network (WSAStartup failed)";
        return false;
    }
    winsock_ = true;
    if (!ResolveAddress(from_.host, 0, &fromAddress_)) {
        *error = "unknown address " + from_.host;
    } else if (!ResolveAddress(desktop_.host, desktop_.port, &desktopAddress_)) {
        *error = "unknown desktop address " + desktop_.host;
    }
    if (!error->empty()) {
        Stop();
        return false;
    }
    undocking_ = false;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    controlThread_ = std::thread(&Rapi2Dock::RunControl, this);
    return true;
}

void Rapi2Dock::Stop() {
    if (stop_) {
        undocking_ = true;
        SetEvent(stop_);
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (control_ != INVALID_SOCKET) shutdown(control_, SD_BOTH);
        }
        controlThread_.join();
        ReapSessions(true);
        if (trigger_ != INVALID_SOCKET) closesocket(trigger_);
        trigger_ = INVALID_SOCKET;
        if (triggerNews_ && triggerNews_ != WSA_INVALID_EVENT) WSACloseEvent(triggerNews_);
        triggerNews_ = nullptr;
        CloseHandle(stop_);
        stop_ = nullptr;
        device_.Note("Windows Mobile link: undocked");
    }
    if (winsock_) WSACleanup();
    winsock_ = false;
    ready_ = false;
}

SOCKET Rapi2Dock::Connect() {
    SOCKET link = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (link == INVALID_SOCKET) return link;
    // From the device's own address: the desktop matches sessions and
    // its RAPI_PEER by the source of each connection.
    if (bind(link, reinterpret_cast<sockaddr *>(&fromAddress_), sizeof fromAddress_) != 0 ||
        connect(link, reinterpret_cast<sockaddr *>(&desktopAddress_), sizeof desktopAddress_) != 0) {
        closesocket(link);
        return INVALID_SOCKET;
    }
    SendAtOnce(link);
    return link;
}

void Rapi2Dock::RunControl() {
    const std::string where = AddressText(desktopAddress_);
    const bool triggered = !forgiving_ && HearTriggers();
    bool reported = false;
    while (WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
        SOCKET link = Connect();
        int code = WSAGetLastError();
        {
            std::lock_guard<std::mutex> lock(lock_);
            control_ = link;
        }
        if (link != INVALID_SOCKET && WaitForSingleObject(stop_, 0) == WAIT_TIMEOUT) {
            reported = false;
            DropTriggers();
            device_.Note("Windows Mobile link: connected to the desktop at " + where);
            Talk(link);
            ready_ = false;
            device_.Note("Windows Mobile link: closed; its sessions end");
            ReapSessions(true);
        } else if (link == INVALID_SOCKET && !reported) {
            device_.Note("Windows Mobile link: no desktop listening at " + where + " (error " + std::to_string(code) +
                         ")" +
                         (forgiving_ ? "; trying again every " + std::to_string(kRetryMs) + " ms (forgiving)"
                          : triggered ? "; waiting for the desktop's trigger"
                                      : "; not docked until the device is re-seated"));
            reported = forgiving_;
        }
        {
            std::lock_guard<std::mutex> lock(lock_);
            control_ = INVALID_SOCKET;
        }
        if (link != INVALID_SOCKET) closesocket(link);
        if (forgiving_) {
            WaitForSingleObject(stop_, kRetryMs);
        } else if (!triggered || !AwaitTrigger()) {
            break;
        }
    }
}

bool Rapi2Dock::HearTriggers() {
    sockaddr_in address = fromAddress_;
    address.sin_port = htons(rapi2::kTriggerPort);
    trigger_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    triggerNews_ = WSACreateEvent();
    if (trigger_ == INVALID_SOCKET || triggerNews_ == WSA_INVALID_EVENT ||
        bind(trigger_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        WSAEventSelect(trigger_, triggerNews_, FD_READ) != 0) {
        device_.Note("Windows Mobile link: cannot hear the desktop's trigger on " + AddressText(address) + " (error " +
                     std::to_string(WSAGetLastError()) + "); it calls the desktop only when it starts");
        return false;
    }
    device_.Note("Windows Mobile link: hears the desktop's trigger on " + AddressText(address));
    return true;
}

void Rapi2Dock::DropTriggers() {
    char bytes[64];
    if (trigger_ == INVALID_SOCKET) return;
    while (recv(trigger_, bytes, sizeof bytes, 0) != SOCKET_ERROR) {
    }
}

bool Rapi2Dock::AwaitTrigger() {
    char bytes[64];
    HANDLE events[2] = {stop_, triggerNews_};
    for (;;) {
        // The event may miss a datagram after the ones dropped unread (as
        // under Wine): the port is read every slice all the same.
        DWORD which = WaitForMultipleObjects(2, events, FALSE, kTriggerSliceMs);
        if (which != WAIT_OBJECT_0 + 1 && which != WAIT_TIMEOUT) return false;
        WSANETWORKEVENTS happened;
        WSAEnumNetworkEvents(trigger_, triggerNews_, &happened);
        sockaddr_in from = {};
        int size = sizeof from;
        int got;
        while ((got = recvfrom(trigger_, bytes, sizeof bytes, 0, reinterpret_cast<sockaddr *>(&from), &size)) !=
               SOCKET_ERROR) {
            if (got == 1 && static_cast<uint8_t>(bytes[0]) == rapi2::kTrigger) {
                device_.Note("Windows Mobile link: the desktop's trigger came from " + AddressText(from));
                return true;
            }
            device_.Note("Windows Mobile link: a datagram of " + std::to_string(got) + " bytes from " +
                         AddressText(from) + " is no trigger: ignored");
            size = sizeof from;
        }
    }
}

// Initial word, version query, then the information block; the desktop's
// answers are read but not insisted on (desktops differ in them).
bool Rapi2Dock::Greet(SOCKET control, uint32_t key) {
    Device::Introduction introduction = device_.Introduce();
    rapi2::DeviceInfo info;
    GuidOf(device_.Image(), info.guid);
    info.major = introduction.major;
    info.minor = introduction.minor;
    info.name = introduction.name;
    info.version = introduction.build;
    info.processor = introduction.processor;
    info.platform = WideToUtf8(introduction.platform);
    info.model = WideToUtf8(introduction.model);
    info.components.assign(rapi2::kComponentBytes, 0);
    info.key = key;
    uint32_t answer[4] = {};
    if (!SendWords(control, {rapi2::kInitial}) || !ReceiveWord(control, stop_, &answer[0], kAnswerMs)) return false;
    if (!SendWords(control, {rapi2::kVersionQuery})) return false;
    for (uint32_t &word : answer) {
        if (!ReceiveWord(control, stop_, &word, kAnswerMs)) return false;
    }
    std::vector<uint8_t> block = rapi2::EncodeInfoBlock(info);
    std::vector<uint8_t> message;
    AppendU32(&message, rapi2::kInfoFollows);
    AppendU32(&message, static_cast<uint32_t>(block.size()));
    message.insert(message.end(), block.begin(), block.end());
    if (!SendWhole(control, message.data(), message.size())) return false;
    device_.Note("Windows Mobile link: information block sent (" + WideToUtf8(info.name) + ", " + info.platform +
                 ", " + info.model + ", OS " + std::to_string(info.major) + "." + std::to_string(info.minor) + ")" +
                 (key == rapi2::kKeyNone ? "" : key == rapi2::kKeyUnlockOnDevice ? ", locked" : ", with a password"));
    return true;
}

// The password step of the key's mode. False: the link is to close.
bool Rapi2Dock::Unlock(SOCKET control, const Device::Introduction &introduction, uint32_t key) {
    if (key == rapi2::kKeyNone) return true;
    if (key == rapi2::kKeyUnlockOnDevice) {
        uint32_t word = 0;
        if (!ReceiveWord(control, stop_, &word)) return false;
        if (word != rapi2::kUnlockRequest) {
            device_.Note("Windows Mobile link: " + Hex(word) + " where the request to unlock was due");
            return false;
        }
        // The user unlocks the device on its own screen after a while.
        if (WaitForSingleObject(stop_, static_cast<DWORD>(introduction.unlockAfterMs)) != WAIT_TIMEOUT) return false;
        device_.Note("Windows Mobile link: unlocked on the device");
        return SendWords(control, {rapi2::kUnlocked});
    }
    // The desktop sends u16 byte count and the encoded text; it may try
    // again after a refusal.
    for (;;) {
        uint8_t count[2];
        if (!ReceiveWhole(control, count, 2, stop_)) return false;
        size_t size = count[0] | (count[1] << 8);
        std::vector<uint8_t> sent(size);
        if (size > 2 * (rapi2::kMaxPasswordUnits + 1) || (size && !ReceiveWhole(control, sent.data(), size, stop_, GetTickCount() + kAnswerMs))) {
            device_.Note("Windows Mobile link: a password of " + std::to_string(size) + " bytes, or cut short");
            return false;
        }
        std::wstring text;
        bool right = rapi2::DecodePassword(sent.data(), size, key, &text) && text == introduction.password;
        SecureZeroMemory(sent.data(), sent.size());
        uint8_t verdict[2] = {static_cast<uint8_t>(right ? 1 : 0), 0};
        if (!SendWhole(control, verdict, 2)) return false;
        device_.Note(right ? "Windows Mobile link: password accepted" : "Windows Mobile link: wrong password");
        if (right) return true;
    }
}

void Rapi2Dock::Talk(SOCKET control) {
    Device::Introduction introduction = device_.Introduce();
    uint32_t key = KeyFor(introduction);
    if (!Greet(control, key) || !Unlock(control, introduction, key)) return;
    ready_ = true;
    // Words that are no request: a few are let pass, a stream of them
    // ends the link (a desktop that speaks something else).
    int ignored = 0;
    for (;;) {
        uint32_t word = 0;
        if (!ReceiveWord(control, stop_, &word)) return;
        if (word == rapi2::kPing) {
            if (!SendWords(control, {rapi2::kPingEcho})) return;
        } else if (word == rapi2::kSessionRequest[0]) {
            uint32_t second = 0, id = 0;
            if (!ReceiveWord(control, stop_, &second, kAnswerMs)) return;
            if (second != rapi2::kSessionRequest[1]) {
                device_.Note("Windows Mobile link: 5 then " + Hex(second) + " is no session request: ignored");
                if (++ignored > kMaxIgnoredWords) return;
                continue;
            }
            if (!ReceiveWord(control, stop_, &id, kAnswerMs)) return;
            ReapSessions(false);
            OpenSession(id);
        } else if (word != rapi2::kUnlockedFollowUp[0] && word != rapi2::kUnlockedFollowUp[1]) {
            if (++ignored > kMaxIgnoredWords) {
                device_.Note("Windows Mobile link: more than " + std::to_string(kMaxIgnoredWords) +
                             " words that are no request: link closed");
                return;
            }
            device_.Note("Windows Mobile link: " + Hex(word) + " is no request of the desktop: ignored");
        }
    }
}

void Rapi2Dock::OpenSession(uint32_t id) {
    size_t serving = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        for (const ServedSession &session : sessions_) serving += !session.state->done;
    }
    if (serving >= kMaxSessions) {
        device_.Note("Windows Mobile link: session " + std::to_string(id) + " asked for while " +
                     std::to_string(kMaxSessions) + " are open: not opened");
        return;
    }
    SOCKET socket = Connect();
    uint8_t first[4];
    StoreU32(first, id);
    if (socket == INVALID_SOCKET || !SendWhole(socket, first, 4)) {
        device_.Note("Windows Mobile link: cannot open session " + std::to_string(id) + " to the desktop");
        if (socket != INVALID_SOCKET) closesocket(socket);
        return;
    }
    auto state = std::make_shared<SessionState>();
    state->news = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    state->lastHeard = GetTickCount();
    std::lock_guard<std::mutex> lock(lock_);
    sessions_.push_back(ServedSession{std::thread(&Rapi2Dock::RunSession, this, socket, id, state), socket, state});
}

void Rapi2Dock::RunSession(SOCKET socket, uint32_t id, std::shared_ptr<SessionState> state) {
    uint32_t session = device_.OpenSession();
    state->number = session;
    std::string name = "[" + std::to_string(session) + "] ";
    device_.Note(name + "Windows Mobile session " + std::to_string(id) + " opened to the desktop");
    {
        SessionLink link(socket, undocking_, *state);
        ServeFrames(device_, link_, link, *state, undocking_, session, name, ServeRapi2Request);
    }
    shutdown(socket, SD_BOTH);
    device_.CloseSession(session);
    device_.Note(name + "Windows Mobile session ended");
    state->done = true;
}

void Rapi2Dock::ReapSessions(bool all) { ReapServedSessions(lock_, sessions_, all); }
