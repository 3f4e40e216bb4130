// The pipe protocol's registry requests (pipe_registry.cpp): opening,
// creating, enumerating, querying, setting, deleting and closing keys and
// values, each answered by one operation of the device model.
#pragma once

#include <stdint.h>

#include <string>

#include "model/device.h"
#include "protocol/wire.h"

// Answers one registry request (after the operation word) into `out`, the
// model's lock held. False when the request does not decode exactly: it is
// then unanswered, to be dropped. `prefix` starts the log line.
bool AnswerPipeRegistryRequest(Device &d, uint32_t session, uint32_t op, const std::string &prefix,
                               wire::Reader *in, wire::Writer *out);
