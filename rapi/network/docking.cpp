#include "rapi/network/docking.h"

#include <stdio.h>

#include <atomic>
#include <new>

namespace netdock {

namespace {

std::atomic<bool> g_boxShown[2] = {{false}, {false}};

struct Message {
    const wchar_t *text;
    Box kind;
};

DWORD WINAPI ShowUserMessage(void *parameter) {
    Message message = *static_cast<Message *>(parameter);
    delete static_cast<Message *>(parameter);
    MessageBoxW(nullptr, message.text, L"Windows CE device", MB_OK | MB_ICONWARNING | MB_SETFOREGROUND | MB_TOPMOST);
    g_boxShown[static_cast<int>(message.kind)] = false;
    return 0;
}

}  // namespace

bool TellUser(const wchar_t *text, Box kind) {
    fwprintf(stderr, L"rapi.dll: %ls\n", text);
    std::atomic<bool> &shown = g_boxShown[static_cast<int>(kind)];
    if (shown.exchange(true)) return false;
    Message *message = new (std::nothrow) Message{text, kind};
    HANDLE thread = message ? CreateThread(nullptr, 0, ShowUserMessage, message, 0, nullptr) : nullptr;
    if (!thread) {
        delete message;
        shown = false;
        return false;
    }
    CloseHandle(thread);
    return true;
}

bool BoxShown(Box kind) { return g_boxShown[static_cast<int>(kind)]; }

}  // namespace netdock
