// The stand-in's network link to a real (or simulated) handheld, used in
// place of the pipe when the environment asks for it (the variables are
// in rapi/network/transport_choice.h).
//
// The listener runs from the first start-up that listens for as long as
// the program does (rapi/network/listen.h); a start-up takes the device it holds.
// One session per start-up; round trips on it are serialised.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "protocol/rapi1.h"
#include "device/rapi_types.h"
#include "rapi/network/transport_choice.h"
#include "rapi/network/wait.h"

namespace netlink {

const DWORD kPingIntervalMs = 5000;
const int kMissedPingsForGone = 3;

// Starts listening (or connecting) and returns at once; the record's event
// is signalled once a remote API session is open.
HRESULT BeginStartup(RAPIINIT *record, const Choice &choice);
// Closes the session, the control channel and the listener.
HRESULT End();
// True between a network start-up and its end: calls go to the network.
bool InUse();

// Sends one whole request frame (length prefix included) and receives the
// reply body, then reads and drops `trailingFrames` more frames (a call
// whose reply comes in two). A reply body longer than maxReply is refused
// unread, and the session is dropped since the stream can no longer be
// trusted. False when the link is down or breaks; it then stays down until
// the next start-up. The call must end within RAPI_CALL_SECONDS, or within
// `whole` when given: the deadline of a call made of several round trips.
bool Call(const std::vector<uint8_t> &frame, size_t maxReply, std::vector<uint8_t> *reply, int trailingFrames = 0,
          const netwait::Deadline *whole = nullptr);

// A deadline of RAPI_CALL_SECONDS from now, for a call of several round trips.
netwait::Deadline CallDeadline();

// Marks the link lost (a reply that does not hold together).
void Drop(const char *why);

// True while the docked device speaks the Windows Mobile 5/6 protocol.
bool SpeaksRapi2();

}  // namespace netlink
