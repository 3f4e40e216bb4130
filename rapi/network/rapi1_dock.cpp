#include "rapi/network/rapi1_dock.h"

#include <stdio.h>

#include <string>
#include <vector>

#include "protocol/rapi1.h"
#include "rapi/call_log.h"
#include "rapi/network/docking.h"
#include "rapi/network/wait.h"

namespace netdock {

namespace {

using netwait::Deadline;

// The control channel's first word: below this an information block of
// that many bytes follows; from it on, a password challenge.
const uint32_t kChallengeFrom = rapi1::kPasswordChallengeBase;

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

enum class Verdict { kAccepted, kRefused, kSilent };

// Who received the password, as the log must say.
void LogPasswordSent(SOCKET socket) {
    sockaddr_in to = {};
    int size = sizeof to;
    getpeername(socket, reinterpret_cast<sockaddr *>(&to), &size);
    calllog::Event("the password of RAPI_PASSWORD was sent to the device at %s",
                   netwait::DescribeHost(to.sin_addr).c_str());
}

// Sends the password and reads the device's verdict of `verdictBytes`
// bytes (non-zero: accepted) before the deadline. A device that says
// nothing in time has not refused anything: it is silent.
Verdict JudgedPassword(SOCKET socket, uint8_t key, size_t verdictBytes, HANDLE stop, const Deadline &deadline) {
    std::vector<uint8_t> answer = PasswordAnswer(key);
    uint8_t verdict[2] = {0, 0};
    bool sent = !answer.empty() && netwait::SendAll(socket, answer.data(), answer.size());
    SecureZeroMemory(answer.data(), answer.size());
    if (!sent) return Verdict::kRefused;
    LogPasswordSent(socket);
    if (!netwait::ReceiveWithin(socket, verdict, verdictBytes, stop, deadline)) return Verdict::kSilent;
    return (verdict[0] | verdict[1]) != 0 ? Verdict::kAccepted : Verdict::kRefused;
}

// Answers the control channel's password challenge; true when the device
// accepts the password. While the user is still being told about the last
// password, a new challenge is refused unanswered (one box at a time, and
// a refused password is never tried again unasked); a box about a device
// to unlock holds nothing back.
bool AnswerChallenge(SOCKET control, uint8_t key, HANDLE stop, const Deadline &deadline) {
    if (BoxShown(Box::kPassword)) {
        calllog::Event("the device asks for a password while the last message about it is still shown: refused");
        return false;
    }
    if (GetEnvironmentVariableW(L"RAPI_PASSWORD", nullptr, 0) == 0) {
        calllog::Event("the device asks for a password and RAPI_PASSWORD is not set");
        TellUser(kPasswordNeeded);
        return false;
    }
    switch (JudgedPassword(control, key, 2, stop, deadline)) {
    case Verdict::kAccepted:
        calllog::Event("the device accepted the password");
        return true;
    case Verdict::kSilent:
        calllog::Event("the device gave no verdict on the password within %lu s: taken for silent",
                       static_cast<unsigned long>(kGreetingMs / 1000));
        return false;
    case Verdict::kRefused:
        break;
    }
    calllog::Event("the device refused the password of RAPI_PASSWORD");
    TellUser(kPasswordRefused);
    return false;
}

// Reads the greeting: words (zero: nothing yet; a challenge and its key),
// then the information block, whose length word is below kChallengeFrom.
// Only as many bytes as the greeting holds are read.
bool ReadGreeting(SOCKET control, HANDLE stop, const Deadline &deadline, int *key, std::vector<uint8_t> *block) {
    for (;;) {
        uint8_t word[4];
        if (!netwait::ReceiveWithin(control, word, 4, stop, deadline)) return false;
        uint32_t header = netwait::U32At(word);
        if (header >= kChallengeFrom) {
            *key = static_cast<int>(header & 0xFF);
        } else if (header > 0) {
            block->resize(header);
            return netwait::ReceiveWithin(control, block->data(), block->size(), stop, deadline);
        }
    }
}

}  // namespace

SOCKET OpenSessionTo(const sockaddr_in &device, int key, HANDLE stop, DWORD limitMs) {
    Deadline deadline(limitMs);
    for (;;) {
        SOCKET session = netwait::ConnectWithin(device, stop, deadline);
        if (session != INVALID_SOCKET) {
            if (key >= 0 &&
                JudgedPassword(session, static_cast<uint8_t>(key), 1, stop, deadline) != Verdict::kAccepted) {
                calllog::Event("the device did not accept the remote API session's password");
                closesocket(session);
                return INVALID_SOCKET;
            }
            calllog::Event("remote API session open to %s", netwait::Describe(device).c_str());
            return session;
        }
        if (netwait::Stopping(stop)) return INVALID_SOCKET;
        if (deadline.Passed()) break;
        WaitForSingleObject(stop, netwait::kSliceMs);
    }
    calllog::Event("the device's remote API port %s does not answer", netwait::Describe(device).c_str());
    return INVALID_SOCKET;
}

bool Greet(SOCKET control, uint16_t devicePort, HANDLE stop, Docked *docked) {
    Deadline deadline(kGreetingMs);
    sockaddr_in from = {};
    int size = sizeof from;
    if (getpeername(control, reinterpret_cast<sockaddr *>(&from), &size) != 0) return false;
    const std::string where = netwait::Describe(from);
    std::vector<uint8_t> block;
    int key = -1;
    if (!ReadGreeting(control, stop, deadline, &key, &block)) {
        if (!netwait::Stopping(stop)) {
            calllog::Event("the device docking from %s %s: closed", where.c_str(),
                           deadline.Passed() ? "sent no whole greeting within 10 s" : "went before its greeting was whole");
        }
        return false;
    }
    std::string description;
    if (!ReadInfoBlock(block, &description)) {
        calllog::Event("a device sent an information block that does not hold together (%u bytes); ignored",
                       static_cast<unsigned>(block.size()));
        return false;
    }
    calllog::Event("device announced: %s%s", description.c_str(), key >= 0 ? ", with a password" : "");
    if (key >= 0 && !AnswerChallenge(control, static_cast<uint8_t>(key), stop, deadline)) return false;
    docked->device = from;
    docked->device.sin_port = htons(devicePort);
    DWORD left = deadline.Left() < kRapiPortMs ? deadline.Left() : kRapiPortMs;
    docked->session = OpenSessionTo(docked->device, key, stop, left);
    if (docked->session == INVALID_SOCKET) return false;
    docked->control = control;
    docked->key = key;
    return true;
}

}  // namespace netdock
