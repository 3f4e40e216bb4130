// Docking of a Windows Mobile 5/6 device (RAPI_DESKTOP2): the device
// connects to the desktop's port (990), goes through the handshake of
// protocol/rapi2.h with its information block and password key, and on
// request opens a second connection to the same port, its first four
// bytes the request's id, which then carries the remote API session.
// Every docking device is read without waiting, so none holds another;
// each step has its deadline.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "rapi/net_wait.h"

namespace netdock {
struct Doorway;
}

namespace netdock2 {

// One connection to the Windows Mobile port being attended: a device in
// its handshake, or a newcomer whose first word is not in yet.
struct Docking {
    SOCKET socket = INVALID_SOCKET;
    in_addr address = {};
    std::string from;
    int stage = 0;
    netwait::Deadline deadline{0};
    uint8_t word[4] = {};
    size_t wordHave = 0;
    size_t wordSize = 4;
    std::vector<uint8_t> block;  // the information block, once its length is known
    size_t blockHave = 0;
    int words = 0;               // handshake words so far
    uint32_t key = 0;
    uint32_t sessionId = 0;      // once a session is asked for
};

struct Doorway2 {
    SOCKET listener = INVALID_SOCKET;  // non-blocking; INVALID_SOCKET: not listened for
    std::vector<Docking> dockings;
    uint32_t nextId = 1;
};

// Listens where RAPI_DESKTOP2 says. When it cannot (a port below 1024
// without the right to it, say), the log says how to allow it, and only
// the older devices' port is listened on.
void Open(const std::string &host, uint16_t port, Doorway2 *door);
void Close(Doorway2 *door);

// Puts the sockets that may have news into `readable` before a select.
void Watch(const Doorway2 &door, fd_set *readable);

// After a select: accepts and advances every docking. True once a device
// is ready, with its control connection and session.
bool Attend(netdock::Doorway &door, const fd_set &readable, SOCKET *control, SOCKET *session);

// Closes every docking in progress (a device docked, or the end).
void DropAll(Doorway2 *door);

// While a device is docked: closes at once every connection waiting on
// the Windows Mobile port.
void TurnAway(netdock::Doorway &door);

}  // namespace netdock2
