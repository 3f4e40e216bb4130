// The desktop's side of docking (RAPI_DESKTOP): who may dock, the greeting
// of each docking device (several are attended at once, each with one
// deadline for its whole greeting), the password, and the remote API
// session opened back to the device that announced itself.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <set>
#include <utility>

#include "rapi/net_dock2.h"
#include "rapi/net_link.h"

namespace netdock {

// Who may connect to the listener, and whom the log was told about.
struct Doorway {
    SOCKET listener = INVALID_SOCKET;  // non-blocking
    HANDLE stop = nullptr;
    uint16_t devicePort = 0;
    bool anyPeer = true;               // RAPI_PEER not set
    in_addr peer = {};
    std::set<std::pair<int, uint32_t>> told;  // (reason, address) already logged
    netdock2::Doorway2 wm5;            // the Windows Mobile 5/6 devices' port
    bool rapi2 = false;                // the device docked speaks their protocol
};

// Accepts and greets docking devices until one is ready to serve: true
// with its control channel and remote API session; false once `stop` is set.
bool AwaitDevice(Doorway &door, SOCKET *control, SOCKET *session);

// While a device is docked: closes at once every connection waiting on
// the listener.
void TurnAway(Doorway &door);

// Shows a message about the device to the user, in a box of its own
// thread so that the listener keeps listening; at most one box at a time.
// False, with nothing shown, while the last box is still up.
bool TellUser(const wchar_t *text);
// True while such a box is up.
bool BoxShown();

}  // namespace netdock
