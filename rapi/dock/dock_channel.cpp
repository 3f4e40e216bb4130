#include "rapi/dock/dock_channel.h"

namespace dockchannel {

namespace {

// One overlapped transfer of up to `count` bytes: how many moved, or -1.
long Transfer(HANDLE pipe, void *data, DWORD count, bool write, HANDLE stop, DWORD limitMs) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent) return -1;
    DWORD moved = 0;
    BOOL done = write ? WriteFile(pipe, data, count, nullptr, &overlapped)
                      : ReadFile(pipe, data, count, nullptr, &overlapped);
    long result = -1;
    if (done || GetLastError() == ERROR_IO_PENDING) {
        HANDLE events[2] = {overlapped.hEvent, stop};
        DWORD which = WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, limitMs);
        if (which != WAIT_OBJECT_0) CancelIo(pipe);
        // After a cancel the transfer has ended either way: its count is
        // what moved before it did.
        if (GetOverlappedResult(pipe, &overlapped, &moved, TRUE) && which == WAIT_OBJECT_0) result = moved;
    }
    CloseHandle(overlapped.hEvent);
    return result;
}

bool Whole(HANDLE pipe, void *data, DWORD count, bool write, HANDLE stop, DWORD limitMs) {
    uint8_t *at = static_cast<uint8_t *>(data);
    const DWORD start = GetTickCount();
    while (count > 0) {
        DWORD spent = GetTickCount() - start;
        if (limitMs != INFINITE && spent >= limitMs) return false;
        long moved = Transfer(pipe, at, count, write, stop, limitMs == INFINITE ? INFINITE : limitMs - spent);
        if (moved <= 0) return false;
        at += moved;
        count -= static_cast<DWORD>(moved);
    }
    return true;
}

}  // namespace

bool ReadWhole(HANDLE pipe, void *data, DWORD count, HANDLE stop, DWORD limitMs) {
    return Whole(pipe, data, count, false, stop, limitMs);
}

bool WriteWhole(HANDLE pipe, const void *data, DWORD count, HANDLE stop, DWORD limitMs) {
    return Whole(pipe, const_cast<void *>(data), count, true, stop, limitMs);
}

bool BeginWatch(HANDLE pipe, Watch *watch) {
    watch->overlapped = OVERLAPPED();
    watch->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!watch->overlapped.hEvent) return false;
    // Done at once: the other end wrote or is gone; the event is set.
    watch->pending = ReadFile(pipe, &watch->byte, 1, nullptr, &watch->overlapped) || GetLastError() == ERROR_IO_PENDING;
    if (!watch->pending) SetEvent(watch->overlapped.hEvent);
    return true;
}

bool AwaitEnd(Watch &watch, HANDLE stop, DWORD limitMs) {
    HANDLE events[2] = {watch.overlapped.hEvent, stop};
    return WaitForMultipleObjects(stop ? 2 : 1, events, FALSE, limitMs) == WAIT_OBJECT_0;
}

void EndWatch(HANDLE pipe, Watch *watch) {
    if (watch->pending) {
        CancelIo(pipe);
        DWORD moved = 0;
        GetOverlappedResult(pipe, &watch->overlapped, &moved, TRUE);
        watch->pending = false;
    }
    if (watch->overlapped.hEvent) CloseHandle(watch->overlapped.hEvent);
    watch->overlapped.hEvent = nullptr;
}

}  // namespace dockchannel
