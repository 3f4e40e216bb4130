#include "rapi/network/docking.h"

#include <stdio.h>

#include <atomic>

namespace netdock {

namespace {

std::atomic<bool> g_boxShown{false};

DWORD WINAPI ShowUserMessage(void *message) {
    MessageBoxW(nullptr, static_cast<const wchar_t *>(message), L"Windows CE device",
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST);
    g_boxShown = false;
    return 0;
}

}  // namespace

bool TellUser(const wchar_t *text) {
    fwprintf(stderr, L"rapi.dll: %ls\n", text);
    if (g_boxShown.exchange(true)) return false;
    HANDLE thread = CreateThread(nullptr, 0, ShowUserMessage, const_cast<wchar_t *>(text), 0, nullptr);
    if (!thread) {
        g_boxShown = false;
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool BoxShown() { return g_boxShown; }

}  // namespace netdock
