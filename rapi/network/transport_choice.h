// Which transport the stand-in uses, as the environment asks: the pipe to
// the simulated device unless one of these names the network:
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
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

#include "protocol/rapi1.h"

namespace netlink {

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

}  // namespace netlink
