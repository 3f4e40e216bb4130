// The remote API v1 translator (rapi1_translator.cpp): one request of a
// networked client, answered by the device model.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "model/device.h"
#include "serve/serve_outcome.h"

// Answers one request body of a session (from Device::OpenSession):
// `frames` gets what to send back, length prefixes included. kDrop: the
// request was malformed or a fault drops the link; close the session.
ServeOutcome ServeRapi1Request(Device &device, uint32_t session, const uint8_t *body, size_t size,
                               std::vector<uint8_t> *frames);
