// The desktop's side of one docking device (RAPI_DESKTOP): its greeting,
// read and checked within one deadline for the whole of it, the password,
// and the remote API session opened back to the device that announced
// itself. Each docking device is greeted on a thread of its own, so that
// one that stalls holds no other back.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

namespace netdock {

// How long a docking device may take over its whole greeting: its words
// and information block, the verdict on its password, and the opening of
// its remote API port.
const DWORD kGreetingMs = 10000;
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

// What a message to the user is about: a password (needed or refused),
// or a device to unlock on its own screen.
enum class Box { kPassword, kUnlock };

// Shows a message about the device to the user, in a box of its own
// thread so that the listener keeps listening; at most one box of each
// kind at a time. False, with nothing shown, while the last box of that
// kind is still up.
bool TellUser(const wchar_t *text, Box kind = Box::kPassword);
// True while a box of that kind is up.
bool BoxShown(Box kind = Box::kPassword);

}  // namespace netdock
