// The stand-in's network link to a real (or simulated) handheld, used in
// place of the pipe when the environment asks for it:
//
//   RAPI_DESKTOP=[ADDRESS][:PORT]  listen for a docking device (the
//                                  loopback address unless an address is
//                                  named, 0.0.0.0 for all; port 5679 by
//                                  default), as the desktop's connection
//                                  manager does; the remote API session is
//                                  then opened to the announcing
//                                  connection's source address.
//   RAPI_DESKTOP2=[ADDRESS][:PORT] with RAPI_DESKTOP: where a Windows
//                                  Mobile 5/6 device docks (RAPI_DESKTOP's
//                                  address and port 990 unless named;
//                                  "off": not listened for).
//   RAPI_PEER=ADDRESS              only a device connecting from this
//                                  address may dock.
//   RAPI_DEVICE=HOST[:PORT]        open the remote API session straight to a
//                                  device's port (990 by default).
//   RAPI_DEVICE_PORT=PORT          the device's remote API port when it is
//                                  found by listening (990 by default; tests
//                                  and unprivileged simulated devices use
//                                  another).
//   RAPI_PASSWORD=TEXT             the answer to a device's password
//                                  challenge.
//   RAPI_CALL_SECONDS=N            how long one call may take before the
//                                  device is taken for gone (60).
//   RAPI_DOCK=PIPE                 with RAPI_DESKTOP: the docking service
//                                  (rapidock.exe) listens, and has since the
//                                  wizard started; a start-up takes its
//                                  session from it (rapi/dock/). The service
//                                  sets it for the program it starts.
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
#include "rapi/network/wait.h"

namespace netlink {

const DWORD kPingIntervalMs = 5000;
const int kMissedPingsForGone = 3;
const DWORD kCallSeconds = 60;
const DWORD kMaxCallSeconds = 3600;

enum class Transport { kPipe, kListen, kDirect };

struct Choice {
    Transport transport = Transport::kPipe;
    std::string host;  // for kListen: the loopback address unless named
    uint16_t port = 0;
    uint16_t devicePort = rapi1::kRapiPort;  // for kListen
    std::string peer;                        // for kListen: a dotted address, or empty for any
    bool listen2 = false;                    // for kListen: also for Windows Mobile 5/6 devices
    std::string host2;
    uint16_t port2 = 0;
    std::string dock;  // for kListen: the docking service's pipe, when it listens
    DWORD callMs = kCallSeconds * 1000;
    std::string problem;  // set when a variable cannot be understood
};

// Reads RAPI_DESKTOP, RAPI_DESKTOP2, RAPI_PEER, RAPI_DEVICE,
// RAPI_DEVICE_PORT, RAPI_CALL_SECONDS and RAPI_DOCK.
Choice ChooseFromEnvironment();

// "[HOST][:PORT]": false when the port is not a number in 1..65535.
bool ParseAddress(const std::string &text, uint16_t defaultPort, std::string *host, uint16_t *port);

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
