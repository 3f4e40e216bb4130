// The pieces every remote API call over the pipe to our simulated device
// shares: handles and keys as the device numbers them, a request with its
// operation code, the checks on an answer, and the records the device
// sends (find data, file times).
#pragma once

#include <windows.h>
#include <stdint.h>

#include <string>

#include "device/rapi_types.h"
#include "protocol/wire.h"
#include "rapi/last_error.h"
#include "rapi/pipe/pipe_link.h"

namespace pipecall {

// A device handle as the caller holds it, and back (0 for one that no
// device number fits).
HANDLE ToHandle(uint32_t id);
uint32_t FromHandle(HANDLE handle);
// A registry key as the device numbers it: a root or an opened key.
uint32_t FromKey(HKEY key);

// A text argument; an absent one is empty.
std::wstring TextOf(LPCWSTR text);

// Starts a request with its operation code.
wire::Writer Request(wire::Op op);

// Answers that do not decode count as a lost link.
bool Decoded(rapilink::Answer &answer);

// The find data of an answer into the caller's record (the name cut to
// MAX_PATH - 1 units).
void CopyFound(wire::Reader &in, CE_FIND_DATA *found);

// A time the device sent into the caller's FILETIME (when given), and a
// caller's FILETIME as the device takes it (0 when not given).
void PutTime(FILETIME *to, uint64_t value);
uint64_t TimeValue(const FILETIME *time);

// A path-only call whose answer is a success flag.
BOOL PathCall(wire::Op op, LPCWSTR path);

// Fails a call before it goes out, as the platform does for bad arguments.
template <typename T> T Refuse(T result, DWORD error) {
    rapilink::SetLastError(error);
    return result;
}

}  // namespace pipecall
