// The pipe protocol's administration requests (pipe_admin.cpp): a second
// cedevice.exe asks the one serving a pipe which image it serves and over
// what link, or changes that device while it serves (a fault, a card, a
// program started by hand).
#pragma once

#include <stdint.h>

#include <string>

#include "model/device.h"
#include "protocol/wire.h"
#include "serve/link_speed.h"

// Answers one administration request (op kAdminImage and on, after the
// operation word) into `out`, the model's lock held. False when the request
// does not decode exactly: it is then unanswered, to be dropped. `prefix`
// starts the log lines.
bool AnswerAdminRequest(Device &d, LinkSpeed &link, uint32_t op, const std::string &prefix, wire::Reader *in,
                        wire::Writer *out);
