// The desktop's side of one docking device (RAPI_DESKTOP): its greeting,
// read and checked within one deadline for the whole of it, the password,
// and the remote API session opened back to the device that announced
// itself. Each docking device is greeted on a thread of its own, so that
// one that stalls holds no other back.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include "rapi/network/docking.h"

namespace netdock {

// How long the device's remote API port may take to open.
const DWORD kRapiPortMs = 5000;

// A device that greeted whole and whose remote API port answered.
struct Docked {
    SOCKET control = INVALID_SOCKET;  // its control channel
    SOCKET session = INVALID_SOCKET;  // a remote API session to it, open and unlocked
    int key = -1;                     // its password challenge's key, or -1
    sockaddr_in device = {};          // where its remote API is served
    bool rapi2 = false;               // a Windows Mobile 5/6 device: its sessions are asked
                                      // for on the control channel (rapi/network/rapi2_dock.h)
};

// Greets the device that connected on `control` (its socket, blocking or
// not, with no event selected), all within kGreetingMs or until `stop` is
// set. True with the docked device; false when it did not greet properly,
// was refused, or stayed silent (logged; `control` is then left to the
// caller to close).
bool Greet(SOCKET control, uint16_t devicePort, HANDLE stop, Docked *docked);

// Opens a remote API session to `device` before the deadline, and unlocks
// it with the password when the device has one (key >= 0: a device with a
// password wants it again at the start of each session, and answers with
// one byte). INVALID_SOCKET when the port does not answer or refuses.
SOCKET OpenSessionTo(const sockaddr_in &device, int key, HANDLE stop, DWORD limitMs);

}  // namespace netdock
