// The pipe protocol's translator (pipe_translator.cpp): one request of the
// stand-in rapi.dll, answered by the device model.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "model/device.h"
#include "protocol/wire.h"
#include "serve/link_speed.h"
#include "serve/serve_outcome.h"

// Answers one request body of a session (from Device::OpenSession) into
// `answer`; `link` is the cable the device is served over, which an
// administration request may ask about. kDrop: the link is to break now,
// unanswered.
ServeOutcome ServePipeRequest(Device &device, LinkSpeed &link, uint32_t session, const uint8_t *body, size_t size,
                              wire::Writer *answer);
