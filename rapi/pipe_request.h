// One remote API call over the pipe to our simulated device: the request
// and the checks on its answer shared by every call (link.h carries it).
#pragma once

#include <windows.h>
#include <stdint.h>

#include "protocol/wire.h"
#include "rapi/link.h"

namespace pipecall {

inline HANDLE ToHandle(uint32_t id) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id)); }

inline uint32_t FromHandle(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(value);
}

// Starts a request with its operation code.
inline wire::Writer Request(wire::Op op) {
    wire::Writer request;
    request.U32(op);
    return request;
}

// Answers that do not decode count as a lost link.
inline bool Decoded(rapilink::Answer &answer) {
    if (answer.in.ok()) return true;
    rapilink::SetLastError(rapilink::kNoDevice);
    return false;
}

}  // namespace pipecall
