// Waiting on handles while this thread's window messages keep flowing.
#pragma once

#include <windows.h>

// Waits until one of the handles is signalled or the limit (milliseconds, or
// INFINITE) runs out, dispatching every message that reaches this thread's
// queue meanwhile. Returns the index of the lowest signalled handle, or a
// value that is not below count: WAIT_TIMEOUT, WAIT_FAILED, or the last wake
// for input when the limit ran out just after it.
DWORD WaitWithMessages(DWORD count, const HANDLE *handles, DWORD limitMs);
