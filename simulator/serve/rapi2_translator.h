// The Windows Mobile 5/6 translator (rapi2_translator.cpp): one request of
// a RAPI2 session, answered by the device model.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "model/device.h"
#include "serve/serve_outcome.h"

// Answers one request body of a session (from Device::OpenSession):
// `frames` gets the reply frame, its length included. kDrop: the request
// was malformed, its command unknown, or a fault drops the link; close the
// session. Same shape as ServeRapi1Request, so a service serves either.
ServeOutcome ServeRapi2Request(Device &device, uint32_t session, const uint8_t *body, size_t size,
                               std::vector<uint8_t> *frames);
