#include "rapi/net_dock2.h"

#include <stdio.h>

#include "protocol/little_endian.h"
#include "protocol/rapi2.h"
#include "rapi/call_log.h"
#include "rapi/net_dock.h"

namespace netdock2 {

namespace {

using netwait::Deadline;

// How long a docking device may take over its handshake (and over the
// verdict on its password), how long its user has to unlock it on its own
// screen, and how long it may take to open the session asked for.
const DWORD kGreetingMs = 10000;
const DWORD kUnlockMs = 120000;
const DWORD kSessionMs = 5000;
// Connections attended at once; a new one beyond replaces the oldest.
const size_t kMaxDockings = 8;
// Handshake words a device may send before its information block.
const int kMaxWords = 16;

enum Stage { kFirstWord, kWords, kLength, kBlock, kVerdict, kUnlock, kSession };
enum class Step { kMore, kReady, kBroken };

const wchar_t kPasswordNeeded[] =
    L"The Windows Mobile device that docked is protected by a password.\n\n"
    L"Give it in the RAPI_PASSWORD environment variable before starting setup, or remove the "
    L"password on the device, then dock the device again.";
const wchar_t kPasswordRefused[] =
    L"The Windows Mobile device refused the password in the RAPI_PASSWORD environment variable.\n\n"
    L"Correct the variable, or remove the password on the device, then dock the device again.";
const wchar_t kUnlockOnDevice[] =
    L"The Windows Mobile device that docked is locked.\n\n"
    L"Unlock it on its own screen within two minutes; setup goes on once it is unlocked.";

bool SendWords(SOCKET socket, std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) AppendU32(&bytes, word);
    return netwait::SendAll(socket, bytes.data(), bytes.size());
}

// Expects the next `size` bytes (a u32, or the u16 of a verdict).
void Await(Docking &docking, int stage, size_t size, DWORD ms) {
    docking.stage = stage;
    docking.wordSize = size;
    docking.wordHave = 0;
    docking.deadline = Deadline(ms);
}

// RAPI_PASSWORD as the device wants it for `key`; empty when not set.
std::vector<uint8_t> PasswordMessage(uint32_t key) {
    wchar_t password[256];
    DWORD length = GetEnvironmentVariableW(L"RAPI_PASSWORD", password, 256);
    if (length == 0 || length >= 256) return std::vector<uint8_t>();
    std::vector<uint8_t> message = rapi2::EncodePassword(std::wstring(password, length), key);
    SecureZeroMemory(password, sizeof password);
    return message;
}

bool AskForSession(Doorway2 &door, Docking &docking) {
    docking.sessionId = door.nextId;
    // Ids never look like a handshake word, so a session cannot pass for a control connection.
    do {
        ++door.nextId;
    } while (door.nextId == rapi2::kInitial || door.nextId == rapi2::kInfoFollows ||
             door.nextId == rapi2::kVersionQuery);
    calllog::Event("asking the device at %s for a remote API session (id %u)", docking.from.c_str(),
                   docking.sessionId);
    Await(docking, kSession, 0, kSessionMs);
    return SendWords(docking.socket, {rapi2::kSessionRequest[0], rapi2::kSessionRequest[1], docking.sessionId});
}

// The whole information block is in: checks it and handles the password key.
bool Announced(Doorway2 &door, Docking &docking) {
    rapi2::DeviceInfo info;
    const char *problem = "";
    if (!rapi2::ParseInfoBlock(docking.block.data(), docking.block.size(), &info, &problem)) {
        calllog::Event("the Windows Mobile device at %s sent an information block that does not hold together "
                       "(%u bytes): %s", docking.from.c_str(), static_cast<unsigned>(docking.block.size()), problem);
        return false;
    }
    docking.key = info.key;
    const char *lock = info.key == rapi2::kKeyNone             ? ""
                       : info.key == rapi2::kKeyUnlockOnDevice ? ", locked"
                                                               : ", with a password";
    calllog::Event("Windows Mobile device announced: \"%s\" (%s, %s), OS %u.%u build %u, processor %u%s",
                   calllog::Utf8(info.name.c_str()).c_str(), info.platform.c_str(), info.model.c_str(), info.major, info.minor,
                   info.version, info.processor, lock);
    if (info.key == rapi2::kKeyNone) return AskForSession(door, docking);
    if (info.key == rapi2::kKeyUnlockOnDevice) {
        netdock::TellUser(kUnlockOnDevice);
        Await(docking, kUnlock, 4, kUnlockMs);
        return SendWords(docking.socket, {rapi2::kUnlockRequest});
    }
    // One box at a time: while the user is still told about the last
    // password, a new one is not answered.
    if (netdock::BoxShown()) {
        calllog::Event("the device asks for a password while the last message about it is still shown: refused");
        return false;
    }
    std::vector<uint8_t> message = PasswordMessage(info.key);
    if (message.empty()) {
        calllog::Event("the device asks for a password and RAPI_PASSWORD is not set");
        netdock::TellUser(kPasswordNeeded);
        return false;
    }
    bool sent = netwait::SendAll(docking.socket, message.data(), message.size());
    SecureZeroMemory(message.data(), message.size());
    Await(docking, kVerdict, 2, kGreetingMs);
    return sent;
}

// A handshake word, the block's length, a verdict or the unlock answer is in.
bool Take(Doorway2 &door, Docking &docking) {
    uint32_t word = docking.wordSize == 2 ? docking.word[0] | (docking.word[1] << 8) : LoadU32(docking.word);
    docking.wordHave = 0;
    switch (docking.stage) {
    case kWords:
        if (++docking.words > kMaxWords) return false;
        if (word == rapi2::kInitial) return SendWords(docking.socket, {rapi2::kInitialAnswer});
        if (word == rapi2::kVersionQuery) {
            const uint32_t *answer = rapi2::kVersionAnswer;
            return SendWords(docking.socket, {answer[0], answer[1], answer[2], answer[3]});
        }
        if (word != rapi2::kInfoFollows) {
            calllog::Event("the device at %s sent the word 0x%08x in its handshake", docking.from.c_str(), word);
            return false;
        }
        docking.stage = kLength;
        return true;
    case kLength:
        if (word == 0 || word > rapi2::kMaxInfoBlockBytes) {
            calllog::Event("the device at %s announces an information block of %u bytes", docking.from.c_str(), word);
            return false;
        }
        docking.block.assign(word, 0);
        docking.blockHave = 0;
        docking.stage = kBlock;
        return true;
    case kVerdict:
        if (word == 0) {
            calllog::Event("the device refused the password of RAPI_PASSWORD");
            netdock::TellUser(kPasswordRefused);
            return false;
        }
        calllog::Event("the device accepted the password");
        return AskForSession(door, docking);
    case kUnlock:
        if (word != rapi2::kUnlocked) {
            calllog::Event("the device answered %u to the request to unlock it", word);
            return false;
        }
        calllog::Event("the device was unlocked on its own screen");
        return SendWords(docking.socket, {rapi2::kUnlockedFollowUp[0], rapi2::kUnlockedFollowUp[1]}) &&
               AskForSession(door, docking);
    default:
        return false;
    }
}

// Reads what the connection holds without waiting.
Step Advance(Doorway2 &door, Docking &docking) {
    while (docking.stage != kSession) {
        bool inBlock = docking.stage == kBlock;
        uint8_t *into = inBlock ? docking.block.data() + docking.blockHave : docking.word + docking.wordHave;
        size_t want = inBlock ? docking.block.size() - docking.blockHave : docking.wordSize - docking.wordHave;
        int got = recv(docking.socket, reinterpret_cast<char *>(into), static_cast<int>(want), 0);
        if (got == 0) return Step::kBroken;
        if (got < 0) return WSAGetLastError() == WSAEWOULDBLOCK ? Step::kMore : Step::kBroken;
        if (inBlock) {
            docking.blockHave += static_cast<size_t>(got);
            if (docking.blockHave == docking.block.size() && !Announced(door, docking)) return Step::kBroken;
            continue;
        }
        docking.wordHave += static_cast<size_t>(got);
        if (docking.wordHave < docking.wordSize) continue;
        if (docking.stage == kFirstWord) return Step::kReady;  // the caller tells what it is
        if (!Take(door, docking)) return Step::kBroken;
    }
    return Step::kMore;
}

void Drop(Doorway2 &door, size_t index, const char *why) {
    Docking &docking = door.dockings[index];
    if (why) calllog::Event("the device connecting from %s %s: closed", docking.from.c_str(), why);
    closesocket(docking.socket);
    door.dockings.erase(door.dockings.begin() + static_cast<std::ptrdiff_t>(index));
}

// A connection whose first word is in: the session a docking device was
// asked for, or the start of a handshake. The index of the docking whose
// session it is, or -1 (then the newcomer is a handshake, or dropped).
int Classify(Doorway2 &door, size_t index, bool *keep) {
    Docking &newcomer = door.dockings[index];
    uint32_t word = LoadU32(newcomer.word);
    newcomer.wordHave = 0;
    *keep = true;
    for (size_t i = 0; i < door.dockings.size(); ++i) {
        const Docking &asked = door.dockings[i];
        if (asked.stage == kSession && asked.address.s_addr == newcomer.address.s_addr && asked.sessionId == word) {
            return static_cast<int>(i);
        }
    }
    if (word == rapi2::kInitial || word == rapi2::kVersionQuery || word == rapi2::kInfoFollows) {
        newcomer.stage = kWords;
        newcomer.words = 0;
        *keep = Take(door, newcomer);
        return -1;
    }
    calllog::Event("a connection from %s opened with 0x%08x, which is no session asked for", newcomer.from.c_str(),
                   word);
    *keep = false;
    return -1;
}

void Accept(netdock::Doorway &door) {
    Doorway2 &door2 = door.wm5;
    sockaddr_in from = {};
    int size = sizeof from;
    SOCKET socket = accept(door2.listener, reinterpret_cast<sockaddr *>(&from), &size);
    if (socket == INVALID_SOCKET) return;
    if (!door.anyPeer && from.sin_addr.s_addr != door.peer.s_addr) {
        closesocket(socket);
        if (door.told.insert({2, from.sin_addr.s_addr}).second) {
            calllog::Event("a connection to the Windows Mobile port from %s, which is not RAPI_PEER's address: closed",
                           netwait::DescribeHost(from.sin_addr).c_str());
        }
        return;
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket, FIONBIO, &nonBlocking);
    netwait::SendAtOnce(socket);
    if (door2.dockings.size() >= kMaxDockings) Drop(door2, 0, "made way for a newer one");
    door2.dockings.emplace_back();
    Docking &docking = door2.dockings.back();
    docking.socket = socket;
    docking.address = from.sin_addr;
    docking.from = netwait::Describe(from);
    Await(docking, kFirstWord, 4, kGreetingMs);
    calllog::Event("a connection to the Windows Mobile port from %s", docking.from.c_str());
}

const char *Late(int stage) {
    if (stage == kUnlock) return "was not unlocked within 2 minutes";
    if (stage == kSession) return "opened no session within 5 s";
    return "sent no whole handshake within 10 s";
}

}  // namespace

void Open(const std::string &host, uint16_t port, Doorway2 *door) {
    sockaddr_in address;
    if (!netwait::Resolve(host, port, &address)) {
        calllog::Event("RAPI_DESKTOP2: cannot resolve \"%s\"", host.c_str());
        return;
    }
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    if (listener == INVALID_SOCKET || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 8) != 0 || ioctlsocket(listener, FIONBIO, &nonBlocking) != 0) {
        int error = WSAGetLastError();
        calllog::Event("cannot listen for Windows Mobile devices on %s (error %d); older devices dock as before",
                       netwait::Describe(address).c_str(), error);
        if (error == WSAEACCES && port < 1024) {
            calllog::Event("ports below 1024 are root's on Linux; once, as root, either allow them: \"sysctl "
                           "net.ipv4.ip_unprivileged_port_start=%u\", or redirect the port: \"iptables -t nat -A "
                           "PREROUTING -p tcp --dport %u -j REDIRECT --to-ports 9990\" and set "
                           "RAPI_DESKTOP2=%s:9990",
                           port, port, netwait::DescribeHost(address.sin_addr).c_str());
        }
        if (listener != INVALID_SOCKET) closesocket(listener);
        return;
    }
    calllog::Event("listening for Windows Mobile devices on %s", netwait::Describe(address).c_str());
    door->listener = listener;
    door->nextId = 1;
}

void Close(Doorway2 *door) {
    DropAll(door);
    netwait::CloseSocket(&door->listener);
}

void Watch(const Doorway2 &door, fd_set *readable) {
    if (door.listener == INVALID_SOCKET) return;
    FD_SET(door.listener, readable);
    // A device asked for a session is not read meanwhile: its control
    // connection would make every select return at once.
    for (const Docking &docking : door.dockings) {
        if (docking.stage != kSession) FD_SET(docking.socket, readable);
    }
}

bool Attend(netdock::Doorway &door, const fd_set &readable, SOCKET *control, SOCKET *session) {
    Doorway2 &door2 = door.wm5;
    if (door2.listener == INVALID_SOCKET) return false;
    for (size_t i = door2.dockings.size(); i-- > 0;) {
        Docking &docking = door2.dockings[i];
        bool news = docking.stage != kSession && FD_ISSET(docking.socket, &readable);
        Step step = news ? Advance(door2, docking) : Step::kMore;
        if (step == Step::kBroken) {
            Drop(door2, i, "broke off its handshake");
        } else if (step == Step::kMore && docking.deadline.Passed()) {
            Drop(door2, i, Late(docking.stage));
        } else if (step == Step::kReady) {
            bool keep = true;
            int asked = Classify(door2, i, &keep);
            if (asked >= 0) {
                *control = door2.dockings[asked].socket;
                *session = door2.dockings[i].socket;
                calllog::Event("remote API session open from %s (id %u)", door2.dockings[i].from.c_str(),
                               door2.dockings[asked].sessionId);
                door2.dockings[asked].socket = door2.dockings[i].socket = INVALID_SOCKET;
                DropAll(&door2);
                return true;
            }
            if (!keep) Drop(door2, i, nullptr);
        }
    }
    if (FD_ISSET(door2.listener, &readable)) Accept(door);
    return false;
}

void DropAll(Doorway2 *door) {
    for (Docking &docking : door->dockings) {
        if (docking.socket != INVALID_SOCKET) closesocket(docking.socket);
    }
    door->dockings.clear();
}

void TurnAway(netdock::Doorway &door) {
    Doorway2 &door2 = door.wm5;
    if (door2.listener == INVALID_SOCKET) return;
    for (;;) {
        sockaddr_in from = {};
        int size = sizeof from;
        SOCKET socket = accept(door2.listener, reinterpret_cast<sockaddr *>(&from), &size);
        if (socket == INVALID_SOCKET) return;
        closesocket(socket);
        if (door.told.insert({3, from.sin_addr.s_addr}).second) {
            calllog::Event("a connection to the Windows Mobile port from %s while a device is docked: closed",
                           netwait::DescribeHost(from.sin_addr).c_str());
        }
    }
}

}  // namespace netdock2
