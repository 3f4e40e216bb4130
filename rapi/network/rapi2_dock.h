// Docking of a Windows Mobile 5/6 device (RAPI_DESKTOP2): the device
// connects to the desktop's port (990), goes through the handshake of
// protocol/rapi2.h with its information block and password key, and on
// request opens a second connection to the same port, its first four
// bytes the request's id, which then carries the remote API session.
// Each connection to that port is read on a greeting thread of its own
// (rapi/network/listen_serve.cpp), so none holds another; each step has its deadline.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stdint.h>

#include <string>

#include "rapi/network/wait.h"

namespace netdock2 {

// How long a locked device's user has to unlock it on its own screen, and
// how long a device may take to open the session asked for.
const DWORD kUnlockMs = 120000;
const DWORD kSessionMs = 5000;

// Binds and listens where RAPI_DESKTOP2 says: 0 when listening (into
// `*listener`), else the socket error. A failure other than an address this
// PC does not have yet is logged with, for a port below 1024 without the
// right to it, the one-time ways to allow it; older devices dock as before.
int TryListen(const sockaddr_in &address, SOCKET *listener);

// A connection's first word: a handshake word, or the id of a session
// asked for.
bool FirstWord(SOCKET socket, HANDLE stop, const netwait::Deadline &deadline, uint32_t *word);
bool IsHandshakeWord(uint32_t word);

// Goes on with the handshake that began with `first`, before the deadline
// (an unlock on the device's own screen has kUnlockMs of its own): the
// words answered, the information block checked, the password key
// handled. True when the device is ready to be asked for a session.
bool Greet(SOCKET control, uint32_t first, const std::string &from, HANDLE stop, const netwait::Deadline &deadline);

// Asks the device for a session whose connection will open with `id`.
bool AskForSession(SOCKET control, uint32_t id);

// The next session id after `id`: never one that looks like a handshake
// word, so that a session cannot pass for a control connection.
uint32_t NextSessionId(uint32_t id);

}  // namespace netdock2
