// The session's last error, as CeGetLastError gives it: set by every
// transport's calls, and by the stand-in itself when there is no device to
// make a call.
#pragma once

#include <windows.h>

namespace rapilink {

// The error a call reports when there is no device to make it.
const DWORD kNoDevice = ERROR_DEVICE_NOT_CONNECTED;

DWORD LastError();
void SetLastError(DWORD error);

}  // namespace rapilink
