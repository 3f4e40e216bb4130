#include "rapi/network/rapi2_dock.h"

#include <vector>

#include "protocol/little_endian.h"
#include "protocol/rapi2.h"
#include "rapi/call_log.h"
#include "rapi/network/docking.h"

namespace netdock2 {

namespace {

using netwait::Deadline;

// Handshake words a device may send before its information block.
const int kMaxWords = 16;

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

bool ReceiveWord(SOCKET socket, HANDLE stop, const Deadline &deadline, uint32_t *word) {
    uint8_t bytes[4];
    if (!netwait::ReceiveWithin(socket, bytes, 4, stop, deadline)) return false;
    *word = LoadU32(bytes);
    return true;
}

// The device went quiet or away before the step was done (logged unless
// the listener is ending).
bool Broken(const std::string &from, HANDLE stop, const Deadline &deadline, const char *late) {
    if (!netwait::Stopping(stop)) {
        calllog::Event("the Windows Mobile device docking from %s %s: closed", from.c_str(),
                       deadline.Passed() ? late : "went before its handshake was whole");
    }
    return false;
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

// Answers the handshake words until the one that announces the block.
bool AnswerWords(SOCKET control, uint32_t word, const std::string &from, HANDLE stop, const Deadline &deadline) {
    for (int words = 1; word != rapi2::kInfoFollows; ++words) {
        bool answered = false;
        if (words > kMaxWords) {
            calllog::Event("the device at %s sent more than %d handshake words", from.c_str(), kMaxWords);
        } else if (word == rapi2::kInitial) {
            answered = SendWords(control, {rapi2::kInitialAnswer});
        } else if (word == rapi2::kVersionQuery) {
            const uint32_t *answer = rapi2::kVersionAnswer;
            answered = SendWords(control, {answer[0], answer[1], answer[2], answer[3]});
        } else {
            calllog::Event("the device at %s sent the word 0x%08x in its handshake", from.c_str(), word);
        }
        if (!answered) return false;
        if (!ReceiveWord(control, stop, deadline, &word)) {
            return Broken(from, stop, deadline, "sent no whole handshake within 10 s");
        }
    }
    return true;
}

// Reads and checks the information block that follows kInfoFollows.
bool ReadInfo(SOCKET control, const std::string &from, HANDLE stop, const Deadline &deadline, rapi2::DeviceInfo *info) {
    uint32_t length = 0;
    if (!ReceiveWord(control, stop, deadline, &length)) {
        return Broken(from, stop, deadline, "sent no whole handshake within 10 s");
    }
    if (length == 0 || length > rapi2::kMaxInfoBlockBytes) {
        calllog::Event("the device at %s announces an information block of %u bytes", from.c_str(), length);
        return false;
    }
    std::vector<uint8_t> block(length);
    if (!netwait::ReceiveWithin(control, block.data(), block.size(), stop, deadline)) {
        return Broken(from, stop, deadline, "sent no whole handshake within 10 s");
    }
    const char *problem = "";
    if (!rapi2::ParseInfoBlock(block.data(), block.size(), info, &problem)) {
        calllog::Event("the Windows Mobile device at %s sent an information block that does not hold together "
                       "(%u bytes): %s", from.c_str(), length, problem);
        return false;
    }
    const char *lock = info->key == rapi2::kKeyNone             ? ""
                       : info->key == rapi2::kKeyUnlockOnDevice ? ", locked"
                                                                : ", with a password";
    calllog::Event("Windows Mobile device announced: \"%s\" (%s, %s), OS %u.%u build %u, processor %u%s",
                   calllog::Utf8(info->name.c_str()).c_str(), info->platform.c_str(), info->model.c_str(),
                   info->major, info->minor, info->version, info->processor, lock);
    return true;
}

// Unlock mode: the device's user unlocks it on its own screen.
bool AwaitUnlock(SOCKET control, const std::string &from, HANDLE stop) {
    netdock::TellUser(kUnlockOnDevice, netdock::Box::kUnlock);
    Deadline unlock(kUnlockMs);
    uint32_t answer = 0;
    if (!SendWords(control, {rapi2::kUnlockRequest})) return false;
    if (!ReceiveWord(control, stop, unlock, &answer)) {
        return Broken(from, stop, unlock, "was not unlocked within 2 minutes");
    }
    if (answer != rapi2::kUnlocked) {
        calllog::Event("the device answered %u to the request to unlock it", answer);
        return false;
    }
    calllog::Event("the device was unlocked on its own screen");
    return SendWords(control, {rapi2::kUnlockedFollowUp[0], rapi2::kUnlockedFollowUp[1]});
}

// Password mode: RAPI_PASSWORD sent with the key, and the device's verdict
// (u16, non-zero: accepted). One box at a time: while the user is still
// told about the last password, a new one is not answered; a box about a
// device to unlock holds nothing back.
bool SendPassword(SOCKET control, uint32_t key, const std::string &from, HANDLE stop, const Deadline &deadline) {
    if (netdock::BoxShown()) {
        calllog::Event("the device asks for a password while the last message about it is still shown: refused");
        return false;
    }
    std::vector<uint8_t> message = PasswordMessage(key);
    if (message.empty()) {
        calllog::Event("the device asks for a password and RAPI_PASSWORD is not set");
        netdock::TellUser(kPasswordNeeded);
        return false;
    }
    bool sent = netwait::SendAll(control, message.data(), message.size());
    SecureZeroMemory(message.data(), message.size());
    if (sent) calllog::Event("the password of RAPI_PASSWORD was sent to the device at %s", from.c_str());
    uint8_t verdict[2] = {0, 0};
    if (!sent) return false;
    if (!netwait::ReceiveWithin(control, verdict, 2, stop, deadline)) {
        if (!netwait::Stopping(stop)) {
            calllog::Event("the device gave no verdict on the password within %lu s: taken for silent",
                           static_cast<unsigned long>(netdock::kGreetingMs / 1000));
        }
        return false;
    }
    if ((verdict[0] | verdict[1]) == 0) {
        calllog::Event("the device refused the password of RAPI_PASSWORD");
        netdock::TellUser(kPasswordRefused);
        return false;
    }
    calllog::Event("the device accepted the password");
    return true;
}

}  // namespace

int TryListen(const sockaddr_in &address, SOCKET *listener) {
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    if (socket != INVALID_SOCKET && bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        listen(socket, 8) == 0 && ioctlsocket(socket, FIONBIO, &nonBlocking) == 0) {
        calllog::Event("listening for Windows Mobile devices on %s", netwait::Describe(address).c_str());
        *listener = socket;
        return 0;
    }
    int error = WSAGetLastError();
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (error == WSAEADDRNOTAVAIL) return error;
    const unsigned port = ntohs(address.sin_port);
    calllog::Event("cannot listen for Windows Mobile devices on %s (error %d); older devices dock as before",
                   netwait::Describe(address).c_str(), error);
    if (error == WSAEACCES && port < 1024) {
        calllog::Event("ports below 1024 are root's on Linux; once, as root, either allow them: \"sysctl "
                       "net.ipv4.ip_unprivileged_port_start=%u\", or redirect the port: \"iptables -t nat -A "
                       "PREROUTING -p tcp --dport %u -j REDIRECT --to-ports 9990\" and set "
                       "RAPI_DESKTOP2=%s:9990",
                       port, port, netwait::DescribeHost(address.sin_addr).c_str());
    }
    return error;
}

bool FirstWord(SOCKET socket, HANDLE stop, const Deadline &deadline, uint32_t *word) {
    return ReceiveWord(socket, stop, deadline, word);
}

bool IsHandshakeWord(uint32_t word) {
    return word == rapi2::kInitial || word == rapi2::kVersionQuery || word == rapi2::kInfoFollows;
}

bool Greet(SOCKET control, uint32_t first, const std::string &from, HANDLE stop, const Deadline &deadline) {
    rapi2::DeviceInfo info;
    if (!AnswerWords(control, first, from, stop, deadline) || !ReadInfo(control, from, stop, deadline, &info)) {
        return false;
    }
    if (info.key == rapi2::kKeyNone) return true;
    if (info.key == rapi2::kKeyUnlockOnDevice) return AwaitUnlock(control, from, stop);
    return SendPassword(control, info.key, from, stop, deadline);
}

bool AskForSession(SOCKET control, uint32_t id) {
    return SendWords(control, {rapi2::kSessionRequest[0], rapi2::kSessionRequest[1], id});
}

uint32_t NextSessionId(uint32_t id) {
    do {
        ++id;
    } while (IsHandshakeWord(id));
    return id;
}

}  // namespace netdock2
