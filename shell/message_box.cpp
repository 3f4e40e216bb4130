#include "shell/message_box.h"

#include <stdio.h>

#include "resources/texts.h"

int ShowMessage(const char *text, const char *caption, UINT flags) {
    return MessageBoxA(nullptr, text, caption, flags);
}

void ShowSystemErrorBox(DWORD errorCode) {
    char *systemText = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        errorCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char *>(&systemText), 0, nullptr);
    if (length != 0 && systemText) {
        ShowMessage(systemText, kCaptionError, MB_OK | MB_ICONWARNING);
    } else {
        char fallback[64];
        snprintf(fallback, sizeof fallback, kTextUnknownErrorFormat, static_cast<unsigned long>(errorCode),
                 static_cast<unsigned long>(errorCode));
        ShowMessage(fallback, kCaptionError, MB_OK | MB_ICONWARNING);
    }
    LocalFree(systemText);
}

bool ConfirmAbort() {
    return ShowMessage(kTextAbortQuestion, kCaptionSetup, MB_ICONQUESTION | MB_YESNO) == IDYES;
}
