#include "rapi/net_dock.h"

#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

#include "protocol/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/net_wait.h"

namespace netdock {

namespace {

using netwait::Deadline;

// The control channel's first word: below this an information block of
// that many bytes follows; from it on, a password challenge.
const uint32_t kChallengeFrom = rapi1::kPasswordChallengeBase;
// How long a docking device may take over its whole greeting (and over
// the verdict on its password), and how long its remote API port may take
// to open after it announced itself.
const DWORD kGreetingMs = 10000;
const DWORD kRapiPortMs = 5000;
// Docking devices greeted at once; a new one beyond replaces the oldest.
const size_t kMaxGreetings = 8;

enum Reason { kNotThePeer, kDeviceDocked };

// Accepts one waiting connection: INVALID_SOCKET when none waits or when
// it comes from another address than RAPI_PEER's (it is then closed, and
// logged once per address).
SOCKET AcceptAllowed(Doorway &door, sockaddr_in *from) {
    int size = sizeof *from;
    SOCKET socket = accept(door.listener, reinterpret_cast<sockaddr *>(from), &size);
    if (socket == INVALID_SOCKET) return socket;
    if (door.anyPeer || from->sin_addr.s_addr == door.peer.s_addr) return socket;
    closesocket(socket);
    if (door.told.insert({kNotThePeer, from->sin_addr.s_addr}).second) {
        calllog::Event("a connection from %s, which is not RAPI_PEER's address: closed",
                       netwait::DescribeHost(from->sin_addr).c_str());
    }
    return INVALID_SOCKET;
}

std::string Utf8(const std::wstring &text) {
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

// Checks the device's information block (every offset must point inside
// it, every string end inside it) and describes the device.
bool ReadInfoBlock(const std::vector<uint8_t> &block, std::string *description) {
    rapi1::DeviceInfo info;
    if (!rapi1::ParseInfoBlock(block.data(), block.size(), &info)) return false;
    char text[512];
    snprintf(text, sizeof text, "\"%s\" (%s, %s), OS %u.%u build %u, processor %u", Utf8(info.name).c_str(),
             Utf8(info.platform).c_str(), Utf8(info.model).c_str(), info.major, info.minor, info.build,
             info.processor);
    *description = text;
    return true;
}

std::atomic<bool> g_boxShown{false};

DWORD WINAPI ShowUserMessage(void *message) {
    MessageBoxW(nullptr, static_cast<const wchar_t *>(message), L"Windows CE device",
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST);
    g_boxShown = false;
    return 0;
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

// Sends the password and reads the device's verdict of `verdictBytes`
// bytes (non-zero: accepted).
bool PasswordAccepted(SOCKET socket, uint8_t key, size_t verdictBytes, HANDLE stop) {
    std::vector<uint8_t> answer = PasswordAnswer(key);
    uint8_t verdict[2] = {0, 0};
    bool sent = !answer.empty() && netwait::SendAll(socket, answer.data(), answer.size());
    SecureZeroMemory(answer.data(), answer.size());
    return sent && netwait::ReceiveWithin(socket, verdict, verdictBytes, stop, Deadline(kGreetingMs)) &&
           (verdict[0] | verdict[1]) != 0;
}

// Answers the control channel's password challenge; true when the device
// accepts the password. While the user is still being told about the last
// password, a new challenge is refused unanswered: one box at a time.
bool AnswerChallenge(SOCKET control, uint8_t key, HANDLE stop) {
    if (g_boxShown) {
        calllog::Event("the device asks for a password while the last message about it is still shown: refused");
        return false;
    }
    if (GetEnvironmentVariableW(L"RAPI_PASSWORD", nullptr, 0) == 0) {
        calllog::Event("the device asks for a password and RAPI_PASSWORD is not set");
        TellUser(kPasswordNeeded);
        return false;
    }
    if (!PasswordAccepted(control, key, 2, stop)) {
        calllog::Event("the device refused the password of RAPI_PASSWORD");
        TellUser(kPasswordRefused);
        return false;
    }
    calllog::Event("the device accepted the password");
    return true;
}

// Opens the remote API session to the device at the control connection's
// source address (and unlocks it with the password, when there is one: a
// device with a password wants it again at the start of each session, and
// answers with one byte).
SOCKET OpenSessionTo(SOCKET control, uint16_t port, int key, HANDLE stop) {
    sockaddr_in device = {};
    int size = sizeof device;
    if (getpeername(control, reinterpret_cast<sockaddr *>(&device), &size) != 0) return INVALID_SOCKET;
    device.sin_port = htons(port);
    Deadline deadline(kRapiPortMs);
    for (;;) {
        SOCKET session = netwait::ConnectWithin(device, stop, deadline);
        if (session != INVALID_SOCKET) {
            if (key >= 0 && !PasswordAccepted(session, static_cast<uint8_t>(key), 1, stop)) {
                calllog::Event("the device refused the remote API session's password");
                closesocket(session);
                return INVALID_SOCKET;
            }
            calllog::Event("remote API session open to %s", netwait::Describe(device).c_str());
            return session;
        }
        if (deadline.Passed() || netwait::Stopping(stop)) break;
        WaitForSingleObject(stop, netwait::kSliceMs);
    }
    calllog::Event("the device's remote API port %s does not answer", netwait::Describe(device).c_str());
    return INVALID_SOCKET;
}

// One docking device's greeting as it arrives: words (zero: nothing yet; a
// challenge and its key), then an information block. Bytes are read into
// the record, never peeked, and only as many as the greeting holds.
struct Greeting {
    SOCKET socket = INVALID_SOCKET;
    std::string from;
    Deadline deadline{kGreetingMs};
    uint8_t word[4] = {};
    size_t wordHave = 0;
    std::vector<uint8_t> block;  // sized once its length is known
    size_t blockHave = 0;
    int key = -1;                // the challenge's key, or -1
};

enum class Step { kMore, kWhole, kBroken };

// Reads what the connection holds without waiting.
Step Advance(Greeting &greeting) {
    for (;;) {
        bool inBlock = !greeting.block.empty();
        uint8_t *into = inBlock ? greeting.block.data() + greeting.blockHave : greeting.word + greeting.wordHave;
        size_t want = inBlock ? greeting.block.size() - greeting.blockHave : 4 - greeting.wordHave;
        int got = recv(greeting.socket, reinterpret_cast<char *>(into), static_cast<int>(want), 0);
        if (got == 0) return Step::kBroken;
        if (got < 0) return WSAGetLastError() == WSAEWOULDBLOCK ? Step::kMore : Step::kBroken;
        if (inBlock) {
            greeting.blockHave += static_cast<size_t>(got);
            if (greeting.blockHave == greeting.block.size()) return Step::kWhole;
            continue;
        }
        greeting.wordHave += static_cast<size_t>(got);
        if (greeting.wordHave < 4) continue;
        greeting.wordHave = 0;
        uint32_t header = netwait::U32At(greeting.word);
        if (header >= kChallengeFrom) {
            greeting.key = static_cast<int>(header & 0xFF);
        } else if (header > 0) {
            greeting.block.resize(header);  // below kChallengeFrom: small
        }
    }
}

// The device greeted whole: checks its block, answers its challenge and
// opens the session to it. The password goes only to this device.
SOCKET Welcome(Doorway &door, Greeting &greeting) {
    std::string description;
    if (!ReadInfoBlock(greeting.block, &description)) {
        calllog::Event("a device sent an information block that does not hold together (%u bytes); ignored",
                       static_cast<unsigned>(greeting.block.size()));
        return INVALID_SOCKET;
    }
    calllog::Event("device announced: %s%s", description.c_str(), greeting.key >= 0 ? ", with a password" : "");
    if (greeting.key >= 0 && !AnswerChallenge(greeting.socket, static_cast<uint8_t>(greeting.key), door.stop)) {
        return INVALID_SOCKET;
    }
    return OpenSessionTo(greeting.socket, door.devicePort, greeting.key, door.stop);
}

void Drop(std::vector<Greeting> *greetings, size_t index, const char *why) {
    Greeting &greeting = (*greetings)[index];
    if (why) calllog::Event("the device docking from %s %s: closed", greeting.from.c_str(), why);
    closesocket(greeting.socket);
    greetings->erase(greetings->begin() + static_cast<std::ptrdiff_t>(index));
}

void AcceptGreeting(Doorway &door, std::vector<Greeting> *greetings) {
    sockaddr_in from = {};
    SOCKET socket = AcceptAllowed(door, &from);
    if (socket == INVALID_SOCKET) return;
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    netwait::SendAtOnce(socket);
    if (greetings->size() >= kMaxGreetings) Drop(greetings, 0, "made way for a newer one");
    greetings->emplace_back();
    greetings->back().socket = socket;
    greetings->back().from = netwait::Describe(from);
    calllog::Event("a device docks from %s", greetings->back().from.c_str());
}

}  // namespace

bool TellUser(const wchar_t *text) {
    fwprintf(stderr, L"rapi.dll: %ls\n", text);
    if (g_boxShown.exchange(true)) return false;
    HANDLE thread = CreateThread(nullptr, 0, ShowUserMessage, const_cast<wchar_t *>(text), 0, nullptr);
    if (!thread) {
        g_boxShown = false;
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool BoxShown() { return g_boxShown; }

bool AwaitDevice(Doorway &door, SOCKET *control, SOCKET *session) {
    std::vector<Greeting> greetings;
    *session = INVALID_SOCKET;
    door.rapi2 = false;
    while (*session == INVALID_SOCKET && !netwait::Stopping(door.stop)) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(door.listener, &readable);
        for (const Greeting &greeting : greetings) FD_SET(greeting.socket, &readable);
        netdock2::Watch(door.wm5, &readable);
        timeval wait = {0, static_cast<long>(netwait::kSliceMs) * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) < 0) Sleep(netwait::kSliceMs);
        for (size_t i = greetings.size(); i-- > 0;) {
            Greeting &greeting = greetings[i];
            Step step = FD_ISSET(greeting.socket, &readable) ? Advance(greeting) : Step::kMore;
            if (step == Step::kBroken) {
                Drop(&greetings, i, "went before its greeting was whole");
            } else if (step == Step::kMore && greeting.deadline.Passed()) {
                Drop(&greetings, i, "sent no whole greeting within 10 s");
            } else if (step == Step::kWhole) {
                *session = Welcome(door, greeting);
                *control = greeting.socket;
                if (*session != INVALID_SOCKET) {
                    greetings.erase(greetings.begin() + static_cast<std::ptrdiff_t>(i));
                    break;
                }
                Drop(&greetings, i, nullptr);
            }
        }
        if (*session == INVALID_SOCKET && FD_ISSET(door.listener, &readable)) AcceptGreeting(door, &greetings);
        if (*session == INVALID_SOCKET) door.rapi2 = netdock2::Attend(door, readable, control, session);
    }
    netdock2::DropAll(&door.wm5);
    // Only the device that is docked is attended.
    while (!greetings.empty()) Drop(&greetings, greetings.size() - 1, nullptr);
    return *session != INVALID_SOCKET;
}

void TurnAway(Doorway &door) {
    netdock2::TurnAway(door);
    for (;;) {
        sockaddr_in from = {};
        SOCKET socket = AcceptAllowed(door, &from);
        if (socket == INVALID_SOCKET) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) return;
            continue;  // not RAPI_PEER's, closed already
        }
        closesocket(socket);
        if (door.told.insert({kDeviceDocked, from.sin_addr.s_addr}).second) {
            calllog::Event("a connection from %s while a device is docked: closed",
                           netwait::DescribeHost(from.sin_addr).c_str());
        }
    }
}

}  // namespace netdock
