// Serving the frames of one network session with a protocol's translator,
// shared by the services of every protocol: each request is read whole
// within the session's limits, answered, paced over the cable and sent.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "serve/serve_outcome.h"

class Device;
class LinkSpeed;
class SessionLink;
struct SessionState;

// ServeRapi1Request, ServeRapi2Request.
using Translator = ServeOutcome (*)(Device &device, uint32_t session, const uint8_t *body, size_t size,
                                    std::vector<uint8_t> *frames);

// Until the client goes, the device is undocked, the session is told to
// close, a frame breaks a limit or a request is to drop the link. `name`
// starts each log line.
void ServeFrames(Device &device, LinkSpeed &cable, SessionLink &link, SessionState &state,
                 const std::atomic<bool> &undocking, uint32_t session, const std::string &name,
                 Translator translate);
