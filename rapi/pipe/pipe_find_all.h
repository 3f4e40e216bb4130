// CeFindAllFiles over the pipe: an entry of the pipe's call table
// (rapi/pipe/pipe_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace pipecall {
BOOL WINAPI PipeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
}  // namespace pipecall
