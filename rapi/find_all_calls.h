// CeFindAllFiles over each transport: a folder's whole listing in one call,
// handed to the caller as one array it releases with CeRapiFreeBuffer.
// Entries of the call tables (rapi/pipe/pipe_calls.cpp, rapi/network/rapi1_calls.cpp).
#pragma once

#include "device/rapi_types.h"

namespace pipecall {
BOOL WINAPI PipeFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
}  // namespace pipecall

namespace netcall {
BOOL WINAPI NetFindAllFiles(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
}  // namespace netcall

namespace netcall2 {
BOOL WINAPI NetFindAllFiles2(LPCWSTR path, DWORD flags, LPDWORD foundCount, CE_FIND_DATA **found);
}  // namespace netcall2

// The array CeFindAllFiles hands over, released by CeRapiFreeBuffer.
void ReleaseFoundArray(void *array);
