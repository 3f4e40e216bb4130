// The channel between the docking service (rapidock.exe, which listens for
// devices from the wizard's start and holds the one docked) and the
// stand-in in setup.exe, which takes a remote API session from it for each
// start-up. A local named pipe, named by RAPI_DOCK, which the service sets
// for the program it starts and for no other:
//
//   stand-in -> service   u32 its process id
//   service -> stand-in   u32 HRESULT: S_OK with a session, else the
//                         listener's failure; u32 1 for a Windows Mobile
//                         5/6 device, else 0; with S_OK, the session's
//                         socket as WSADuplicateSocketW describes it
//                         (WSAPROTOCOL_INFOW), duplicated into the stand-in
//
// The service then keeps the pipe open for as long as that device stays
// docked, and closes it when the device is lost; the stand-in closes its
// end when its start-up ends. A client that is gone ends the wait.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

namespace dockchannel {

struct Reply {
    uint32_t result = 0;
    uint32_t rapi2 = 0;
    WSAPROTOCOL_INFOW session = {};
};

// Reads exactly `count` bytes from an overlapped pipe: false when the pipe
// breaks, `stop` is set, or `limitMs` passes (INFINITE: no limit).
bool ReadWhole(HANDLE pipe, void *data, DWORD count, HANDLE stop, DWORD limitMs);
bool WriteWhole(HANDLE pipe, const void *data, DWORD count, HANDLE stop, DWORD limitMs);

// A one-byte read left pending on the pipe: its event is set when the
// other end writes or goes away, which is all either side waits for.
struct Watch {
    OVERLAPPED overlapped = {};
    uint8_t byte = 0;
    bool pending = false;
};
bool BeginWatch(HANDLE pipe, Watch *watch);
// Until the other end went away (true) or `stop` is set, or `limitMs`
// passed (false).
bool AwaitEnd(Watch &watch, HANDLE stop, DWORD limitMs);
void EndWatch(HANDLE pipe, Watch *watch);

}  // namespace dockchannel
