#include "device/message_wait.h"

namespace {

// Wake on any input, posted or sent message, timer, paint or hot key.
const DWORD kWakeOnAnyMessage = 0xFF;
// When the message-aware wait is unavailable, poll the handles this often.
const DWORD kFallbackPollMs = 100;

// Removes and dispatches every message waiting in this thread's queue. No
// key translation and no dialog-message handling: the wait is not a dialog's
// message loop, it only keeps the thread's windows alive.
void DispatchWaitingMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

}  // namespace

DWORD WaitWithMessages(DWORD count, const HANDLE *handles, DWORD limitMs) {
    const DWORD start = GetTickCount();
    DWORD timeLeft = limitMs;
    for (;;) {
        DWORD result = MsgWaitForMultipleObjects(count, handles, FALSE, timeLeft, kWakeOnAnyMessage);
        if (result == WAIT_FAILED) {
            // Degrade into a poll of the handles; a poll that times out is
            // treated like waiting input, so the loop below runs again.
            result = WaitForMultipleObjects(count, handles, FALSE, kFallbackPollMs);
            if (result == WAIT_FAILED) return result;
        } else if (result == WAIT_TIMEOUT) {
            return result;
        }
        if (result < count) return result;
        DispatchWaitingMessages();
        if (limitMs == INFINITE) continue;
        // Time left counts from the start, so messages never stretch the
        // limit. Signed: a time left of exactly 0 still gets one more
        // (zero-length) wait; only a negative one ends the wait.
        const LONG left = static_cast<LONG>(start + limitMs - GetTickCount());
        if (left < 0) return result;
        timeLeft = static_cast<DWORD>(left);
    }
}
