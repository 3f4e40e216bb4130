// The stand-in's pipe to the simulated device's service: the start-up
// attempt that CeRapiInitEx begins, and one round trip per remote call. The
// link is one per process and may be used from any thread; round trips are
// serialised. The session's last error is rapi/last_error.h.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <vector>

#include "protocol/wire.h"
#include "device/rapi_types.h"

namespace rapilink {

HRESULT BeginStartup(RAPIINIT *record);
HRESULT End();

// An answer body, with its reader placed after the last-error field.
struct Answer {
    std::vector<uint8_t> body;
    wire::Reader in{nullptr, 0};
};

// Sends one request frame and receives the answer. False when the link is
// down or breaks (the session's last error then says so); the link stays
// down until the next start-up.
bool Call(wire::Writer &request, Answer *answer);

}  // namespace rapilink
