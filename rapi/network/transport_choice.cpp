// Which transport the environment asks for, and where.
#include "rapi/network/transport_choice.h"

#include <winsock2.h>
#include <stdlib.h>
#include <string.h>

#include "protocol/rapi2.h"
#include "rapi/network/wait.h"

namespace netlink {

namespace {

const char kLoopback[] = "127.0.0.1";

// The variable's value in `text`: false when it is not set (an empty
// value is set), or too long to be meant.
bool Variable(const char *name, char (&text)[512]) {
    SetLastError(ERROR_SUCCESS);  // an empty value leaves the last error as it was
    DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
    if (length >= sizeof text || (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)) return false;
    text[length] = '\0';
    return true;
}

bool ParseNumber(const std::string &digits, unsigned long lowest, unsigned long highest, unsigned long *value) {
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = strtoul(digits.c_str(), nullptr, 10);
    return *value >= lowest && *value <= highest;
}

// RAPI_DESKTOP2: where Windows Mobile 5/6 devices dock, RAPI_DESKTOP's
// address and their own port unless named.
void ReadListening2(Choice *choice, char (&text)[512]) {
    choice->listen2 = true;
    choice->host2 = choice->host;
    choice->port2 = rapi2::kDesktopPort;
    if (!Variable("RAPI_DESKTOP2", text)) return;
    if (strcmp(text, "off") == 0) {
        choice->listen2 = false;
        return;
    }
    std::string host;
    if (!ParseAddress(text, rapi2::kDesktopPort, &host, &choice->port2)) {
        choice->problem = std::string("RAPI_DESKTOP2=") + text + ": expected [ADDRESS][:PORT] or off";
    }
    if (!host.empty()) choice->host2 = host;
}

void ReadListening(Choice *choice, char (&text)[512]) {
    choice->transport = Transport::kListen;
    if (!ParseAddress(text, rapi1::kDesktopPort, &choice->host, &choice->port)) {
        choice->problem = std::string("RAPI_DESKTOP=") + text + ": expected [ADDRESS][:PORT]";
    }
    // No address named: only this machine may dock, never a whole network.
    if (choice->host.empty()) choice->host = kLoopback;
    if (Variable("RAPI_DEVICE_PORT", text) && *text) {
        std::string ignored;
        if (!ParseAddress(std::string(":") + text, rapi1::kRapiPort, &ignored, &choice->devicePort)) {
            choice->problem = std::string("RAPI_DEVICE_PORT=") + text + ": expected a port number";
        }
    }
    ReadListening2(choice, text);
    if (Variable("RAPI_PEER", text) && *text) {
        choice->peer = text;
        // Matched against connections' source addresses: a name would mean nothing.
        if (!netwait::IsDotted(choice->peer)) choice->problem = std::string("RAPI_PEER=") + text + ": expected an address";
    }
    if (Variable("RAPI_DOCK", text)) choice->dock = text;
}

}  // namespace

bool ParseAddress(const std::string &text, uint16_t defaultPort, std::string *host, uint16_t *port) {
    size_t colon = text.rfind(':');
    *host = text.substr(0, colon);
    *port = defaultPort;
    if (colon == std::string::npos) return true;
    unsigned long value = 0;
    if (!ParseNumber(text.substr(colon + 1), 1, 65535, &value)) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

Choice ChooseFromEnvironment() {
    Choice choice;
    char text[512];
    if (Variable("RAPI_DEVICE", text) && *text) {
        choice.transport = Transport::kDirect;
        if (!ParseAddress(text, rapi1::kRapiPort, &choice.host, &choice.port) || choice.host.empty()) {
            choice.problem = std::string("RAPI_DEVICE=") + text + ": expected HOST[:PORT]";
        }
    } else if (Variable("RAPI_DESKTOP", text)) {
        ReadListening(&choice, text);
    } else {
        return choice;
    }
    unsigned long seconds = 0;
    if (Variable("RAPI_CALL_SECONDS", text) && *text) {
        if (ParseNumber(text, 1, kMaxCallSeconds, &seconds)) {
            choice.callMs = static_cast<DWORD>(seconds) * 1000;
        } else {
            choice.problem = std::string("RAPI_CALL_SECONDS=") + text + ": expected 1 to 3600";
        }
    }
    return choice;
}

}  // namespace netlink
